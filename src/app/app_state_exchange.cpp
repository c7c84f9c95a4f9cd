// Conversations written out (Markdown or the stored JSON) and read back in.
#include "app/app_state.h"

#include "core/conversation_export.h"
#include "core/record_json.h"
#include "platform/byte_count.h"
#include "platform/logging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

// Writes the bytes atomically; the reason of a failure, else empty.
QString writeFile(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return {};
    return file.errorString();
}

std::optional<QByteArray> exportBytes(const ChatSession &session, bool json)
{
    if (json)
        return recordjson::encodeSessionDocument(session);
    return conversationexport::markdown(session).toUtf8();
}

QString quoted(const QString &text) { return QStringLiteral("\u201C") + text + QStringLiteral("\u201D"); }

} // namespace

QUrl AppState::suggestedExportFile(const QString &id) const
{
    const auto uuid = parseUuid(id);
    const auto it = uuid ? findById(m_chatSessions, *uuid) : m_chatSessions.cend();
    const QString title = it != m_chatSessions.cend() ? it->title : QString();
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return QUrl::fromLocalFile(QDir(folder).filePath(conversationexport::fileNameStem(title) + QStringLiteral(".md")));
}

QString AppState::exportSession(const QString &id, const QUrl &file)
{
    const auto uuid = parseUuid(id);
    const ChatSession *session = uuid ? listedSession(*uuid) : nullptr;
    if (!session)
        return tr("There is no such conversation to export.");
    const QString path = file.toLocalFile();
    if (path.isEmpty())
        return tr("Conversations can only be exported to a file on this computer.");
    const auto bytes = exportBytes(*session, path.endsWith(QLatin1String(".json"), Qt::CaseInsensitive));
    if (!bytes)
        return tr("The conversation holds a value that cannot be written out.");
    const QString why = writeFile(path, *bytes);
    if (!why.isEmpty())
        return tr("Could not write %1: %2").arg(quoted(path), why);
    qCInfo(lcChatPersistence, "Exported conversation %s", qPrintable(logging::shortId(canonicalUuid(session->id))));
    return {};
}

QString AppState::exportAllSessions(const QUrl &folder)
{
    const QString dir = folder.toLocalFile();
    const QFileInfo info(dir);
    if (dir.isEmpty() || !info.isDir())
        return tr("%1 is not a folder.").arg(quoted(dir.isEmpty() ? folder.toString() : dir));
    if (!info.isWritable())
        return tr("The folder %1 is not writable; nothing was exported.").arg(quoted(dir));
    QSet<QString> used;
    for (const ChatSession &session : std::as_const(m_chatSessions)) {
        QString stem = conversationexport::fileNameStem(session.title);
        for (int n = 2; used.contains(stem.toLower()) || QFileInfo::exists(QDir(dir).filePath(stem + ".json"))
                        || QFileInfo::exists(QDir(dir).filePath(stem + ".md"));
             ++n)
            stem = conversationexport::fileNameStem(session.title) + QStringLiteral(" (%1)").arg(n);
        used.insert(stem.toLower());
        for (const bool json : {true, false}) {
            const QString path = QDir(dir).filePath(stem + (json ? QStringLiteral(".json") : QStringLiteral(".md")));
            const auto bytes = exportBytes(session, json);
            const QString why = bytes ? writeFile(path, *bytes) : tr("a value cannot be written out");
            if (!why.isEmpty())
                return tr("Could not write %1: %2").arg(quoted(path), why);
        }
    }
    qCInfo(lcChatPersistence, "Exported %ld conversations", long(m_chatSessions.size()));
    return {};
}

QString AppState::importSessionFile(const QUrl &file)
{
    const QString path = file.toLocalFile();
    const QString name = quoted(QFileInfo(path).fileName());
    QFile in(path);
    if (path.isEmpty() || !in.open(QIODevice::ReadOnly))
        return tr("Could not open %1: %2").arg(name, path.isEmpty() ? file.toString() : in.errorString());
    if (in.size() > conversationexport::kMaxImportBytes)
        return tr("%1 is too large to import (%2; at most %3).")
            .arg(name, formatByteCount(in.size()), formatByteCount(conversationexport::kMaxImportBytes));
    const auto imported = conversationexport::readJson(in.readAll());
    if (!imported.session)
        return tr("%1 could not be imported: %2.").arg(name, imported.error);

    ChatSession session = *imported.session;
    if (findById(std::as_const(m_chatSessions), session.id) != m_chatSessions.cend())
        session.id = QUuid::createUuid();
    // Newest first, as the list is read at start-up.
    const auto at = std::find_if(m_chatSessions.begin(), m_chatSessions.end(),
                                 [&](const ChatSession &s) { return s.createdAt <= session.createdAt; });
    m_chatSessions.insert(at, session);
    writeSession(session);
    saveSessionListChange();
    emit chatSessionsChanged();
    setCurrent(session);
    if (m_currentView != AppView::Chat)
        setCurrentView(AppView::Chat);
    qCInfo(lcChatPersistence, "Imported conversation %s with %ld messages",
           qPrintable(logging::shortId(canonicalUuid(session.id))), long(session.messages.size()));
    if (imported.messagesGivenIds > 0)
        return tr("%1 was imported; %2 of its messages had no id and were given one.")
            .arg(name, QString::number(imported.messagesGivenIds));
    return {};
}
