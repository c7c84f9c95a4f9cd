// Files attached to the next message, from the file picker or a drop.
#include "app/composer_state.h"

#include "engine/attachment_text.h"
#include "platform/byte_count.h"
#include "platform/logging.h"

#include <QDir>
#include <QFileInfo>

#include <optional>

namespace {

// Two URLs naming the same file in different spellings ("a//b", "a/./b")
// count as one attachment.
QString attachmentKey(const QUrl &url) { return QDir::cleanPath(url.toLocalFile()); }

// The file's size in bytes, or nothing when the file system does not tell
// (the file is missing or cannot be reached).
std::optional<qint64> fileSize(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return std::nullopt;
    return info.size();
}

} // namespace

void ComposerState::addAttachments(const QList<QUrl> &urls)
{
    QList<QUrl> accepted;
    QStringList present;
    for (const QUrl &url : std::as_const(m_attachedFiles))
        present << attachmentKey(url);
    QStringList refusalLines;

    for (const QUrl &url : urls) {
        if (!url.isLocalFile()) {
            qCInfo(lcChatView, "Ignored an attachment that is not a local file: %s",
                   qPrintable(url.toDisplayString()));
            continue;
        }
        const QString key = attachmentKey(url);
        if (present.contains(key))
            continue;
        const QString path = url.toLocalFile();
        if (QFileInfo(path).isDir()) {
            qCInfo(lcChatView, "Ignored a folder given as an attachment: %s", qPrintable(path));
            continue;
        }
        const std::optional<qint64> size = fileSize(path);
        if (size && *size > kAttachmentSizeLimit) {
            refusalLines << QFileInfo(path).fileName() + QStringLiteral(" (") + formatByteCount(*size)
                                + QLatin1Char(')');
            continue;
        }
        // Also accepted when the size is unknown; sending looks at the file
        // again and leaves it out if it still cannot be read.
        accepted << url;
        present << key;
    }

    if (!accepted.isEmpty()) {
        const int first = int(m_attachedFiles.size());
        m_attachments->beginInsertRows({}, first, first + int(accepted.size()) - 1);
        m_attachedFiles += accepted;
        m_attachments->endInsertRows();
        emit attachedFilesChanged();
    }

    if (refusalLines.isEmpty())
        return;
    const QString limit = QString::fromLatin1(kAttachmentLimitText);
    QString message;
    if (refusalLines.size() == 1)
        message =
            tr("%1 is larger than the %2 attachment limit and was not attached.").arg(refusalLines.first(), limit);
    else
        message = tr("These files are larger than the %1 attachment limit and were not attached:\n\n%2")
                      .arg(limit, refusalLines.join(QLatin1Char('\n')));
    m_attachmentAlertMessage = message;
    m_showingAttachmentAlert = true;
    emit attachmentAlertChanged();
    qCInfo(lcChatView, "Rejected %ld oversized attachment(s)", long(refusalLines.size()));
}

bool ComposerState::dropUrls(const QList<QUrl> &urls)
{
    bool accepted = false;
    for (const QUrl &url : urls) {
        if (!url.isLocalFile())
            continue;
        accepted = true;
        if (QFileInfo(url.toLocalFile()).isDir())
            continue;
        // One at a time: each oversized file raises its own alert.
        addAttachments({url});
    }
    return accepted;
}

void ComposerState::removeAttachment(int index)
{
    if (index < 0 || index >= m_attachedFiles.size()) {
        qCInfo(lcChatView, "No attachment at position %d to remove", index);
        return;
    }
    m_attachments->beginRemoveRows({}, index, index);
    m_attachedFiles.removeAt(index);
    m_attachments->endRemoveRows();
    emit attachedFilesChanged();
}

void ComposerState::clearAttachments()
{
    if (m_attachedFiles.isEmpty())
        return;
    m_attachments->beginRemoveRows({}, 0, int(m_attachedFiles.size()) - 1);
    m_attachedFiles.clear();
    m_attachments->endRemoveRows();
    emit attachedFilesChanged();
}

QVariant ComposerAttachments::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const QUrl &url = m_files.at(index.row());
    const QString fileName = QFileInfo(url.toLocalFile()).fileName();
    switch (role) {
    case UrlRole:
        return url;
    case Qt::DisplayRole:
    case FileNameRole:
        return fileName;
    case IsPdfRole: {
        const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
        return dot > 0 && QStringView(fileName).mid(dot + 1) == QLatin1String("pdf");
    }
    }
    return {};
}

QHash<int, QByteArray> ComposerAttachments::roleNames() const
{
    return {{UrlRole, "url"}, {FileNameRole, "fileName"}, {IsPdfRole, "isPdf"}};
}
