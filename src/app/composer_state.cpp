#include "app/composer_state.h"

#include "app/app_state.h"
#include "app/reply_engines.h"
#include "platform/logging.h"

#include <QFileInfo>

namespace {

// The extension as the message records it: lower case, without the dot,
// empty for "name", "name." and ".hidden".
QString pathExtension(const QString &fileName)
{
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    return dot > 0 ? fileName.mid(dot + 1).toLower() : QString();
}

} // namespace

ComposerState::ComposerState(AppState &appState, QObject *parent)
    : QObject(parent), m_appState(appState), m_attachments(new ComposerAttachments(m_attachedFiles, this))
{
    connect(&m_appState, &AppState::messageFieldFocusRequested, this, &ComposerState::messageFieldFocusRequested);
}

void ComposerState::setMessageText(const QString &text)
{
    if (m_messageText == text)
        return;
    m_messageText = text;
    emit messageTextChanged();
}

void ComposerState::setShowingNoModelAlert(bool value)
{
    if (m_showingNoModelAlert == value)
        return;
    m_showingNoModelAlert = value;
    emit showingNoModelAlertChanged();
}

void ComposerState::setShowingAttachmentAlert(bool value)
{
    if (m_showingAttachmentAlert == value)
        return;
    m_showingAttachmentAlert = value;
    emit attachmentAlertChanged();
}

void ComposerState::sendMessage()
{
    if (m_appState.isCurrentSessionGenerating())
        return;
    if (!m_appState.selectedModel() && !m_appState.engines().repliesWithoutLocalModel()) {
        setShowingNoModelAlert(true);
        return;
    }
    if (m_messageText.trimmed().isEmpty() && m_attachedFiles.isEmpty())
        return;
    if (!m_appState.currentSession())
        m_appState.createNewChat();

    const QString content = m_messageText.isEmpty() ? tr("(Attached files)") : m_messageText;

    // Files that vanished or became unreadable since they were attached are
    // left out; the message is still sent.
    QList<AttachedFile> files;
    for (const QUrl &url : std::as_const(m_attachedFiles)) {
        const QString path = url.toLocalFile();
        const QFileInfo info(path);
        if (!info.exists() || info.isDir() || !info.isReadable()) {
            qCInfo(lcChatView, "Failed to read attached file attributes: %s",
                   qPrintable(path + QStringLiteral(": no readable file there")));
            continue;
        }
        files.append({QUuid::createUuid(), info.fileName(), info.absoluteFilePath(), pathExtension(info.fileName()),
                      info.size()});
    }
    m_appState.addMessage(ChatMessage::make(
        content, true, files.isEmpty() ? std::nullopt : std::optional<QList<AttachedFile>>(files)));

    setMessageText(QString());
    clearAttachments();
    m_appState.beginReply(content);
}
