#include "engine/prompt_assembly.h"

#include "core/preference_keys.h"
#include "platform/logging.h"

#include <QTextBoundaryFinder>

namespace {

// UTF-16 position after the first n grapheme clusters (the text's size when
// it has fewer). Positions reported by the finder are always cluster
// boundaries, so a surrogate pair is never split.
qsizetype positionAfterGraphemes(const QString &text, qsizetype n)
{
    if (n <= 0)
        return 0;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype pos = 0;
    for (qsizetype i = 0; i < n; ++i) {
        pos = finder.toNextBoundary();
        if (pos < 0)
            return text.size();
    }
    return pos;
}

QString userTurn(const ChatMessage &message, bool isNewestUserMessage, const AttachmentTextFunction &attachmentText)
{
    QString turn = QStringLiteral("User: ") + message.content;
    if (message.attachedFiles && !message.attachedFiles->isEmpty()) {
        const QList<AttachedFile> &files = *message.attachedFiles;
        if (isNewestUserMessage) {
            turn += QStringLiteral("\n\n[Attached Files]:\n");
            for (const AttachedFile &file : files) {
                turn += QStringLiteral("\n--- File: ") + file.fileName + QStringLiteral(" (Type: ") + file.fileType
                        + QStringLiteral(") ---\n");
                // There is no per-file access grant to obtain on this
                // platform: the path alone is enough to read the file.
                if (attachmentText)
                    turn += attachmentText(file);
                turn += QStringLiteral("\n--- End of ") + file.fileName + QStringLiteral(" ---\n");
            }
        } else {
            QStringList names;
            names.reserve(files.size());
            for (const AttachedFile &file : files)
                names << file.fileName;
            turn += QStringLiteral("\n[Previously attached: ") + names.join(QStringLiteral(", ")) + u']';
        }
    }
    turn += QStringLiteral("\n\n");
    return turn;
}

} // namespace

qsizetype graphemeCount(const QString &text)
{
    if (text.isEmpty())
        return 0;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    while (finder.toNextBoundary() >= 0)
        ++count;
    return count;
}

QString firstGraphemes(const QString &text, qsizetype n)
{
    return text.left(positionAfterGraphemes(text, n));
}

QString dropFirstGraphemes(const QString &text, qsizetype n)
{
    return text.mid(positionAfterGraphemes(text, n));
}

bool isBlankPrompt(const QString &prompt)
{
    return prompt.trimmed().isEmpty();
}

MessageKind messageKind(const ChatMessage &message)
{
    if (message.isFromUser)
        return MessageKind::Unset;
    if (message.kind != MessageKind::Unset)
        return message.kind;
    const QString &text = message.content;
    if (text == QLatin1String(kGenerationStoppedText))
        return MessageKind::Stopped;
    if (text.startsWith(QString::fromUtf8(kReplyFailedPrefix)))
        return MessageKind::Error;
    if (text.startsWith(QLatin1String("**Model Still Downloading**\n\n"))
        || text.startsWith(QLatin1String("**Model Loading Failed**\n\n")))
        return MessageKind::Notice;
    return MessageKind::Reply;
}

QList<ChatMessage> keptHistory(const QList<ChatMessage> &messages)
{
    QList<ChatMessage> kept;
    kept.reserve(messages.size());
    for (const ChatMessage &message : messages) {
        if (messageKind(message) == MessageKind::Stopped)
            continue;
        kept.append(message);
    }
    return kept;
}

QString assembleConversation(const QList<ChatMessage> &kept, const AttachmentTextFunction &attachmentText)
{
    Q_ASSERT_X(attachmentText, "assembleConversation", "an attachment text function is required");
    qsizetype newestUser = -1;
    for (qsizetype i = kept.size() - 1; i >= 0; --i) {
        if (kept.at(i).isFromUser) {
            newestUser = i;
            break;
        }
    }

    QString transcript;
    for (qsizetype i = 0; i < kept.size(); ++i) {
        const ChatMessage &message = kept.at(i);
        if (message.isFromUser)
            transcript += userTurn(message, i == newestUser, attachmentText);
        else
            transcript += QStringLiteral("Assistant: ") + message.content + QStringLiteral("\n\n");
    }
    return transcript;
}

bool needsPromptTurn(const QList<ChatMessage> &kept, const QString &prompt)
{
    if (kept.isEmpty())
        return true;
    const ChatMessage &last = kept.last();
    return !(last.isFromUser && last.content == prompt);
}

QString buildTranscript(const QString &prompt, const QList<ChatMessage> &kept,
                        const AttachmentTextFunction &attachmentText)
{
    QString transcript = assembleConversation(kept, attachmentText);
    if (needsPromptTurn(kept, prompt))
        transcript += QStringLiteral("User: ") + prompt + QStringLiteral("\n\n");
    transcript += QStringLiteral("Assistant:");
    return transcript;
}

QString systemSection(const std::optional<QString> &storedSystemPrompt)
{
    const QString text = storedSystemPrompt.value_or(QString::fromUtf8(prefkeys::kDefaultSystemPrompt)).trimmed();
    if (text.isEmpty())
        return {};
    return QStringLiteral("System: ") + text + QStringLiteral("\n\n");
}

QString fitPromptToBudget(const QString &transcript, const std::optional<QString> &storedSystemPrompt)
{
    const QString system = systemSection(storedSystemPrompt);
    const qsizetype available = std::max<qsizetype>(kMinTranscriptRoom, kCharBudget - graphemeCount(system));
    const qsizetype count = graphemeCount(transcript);
    if (count <= available)
        return system + transcript;

    const QString marker = QString::fromUtf8(kTruncationMarker);
    const qsizetype markerCount = graphemeCount(marker);
    const qsizetype drop = std::min(count, count - available + markerCount);
    // The marker ends in a line break, after which a cluster always starts,
    // so the kept part keeps its own count: the result holds exactly
    // `available` characters.
    const QString cut = marker + dropFirstGraphemes(transcript, drop);
    qCInfo(lcLlamaCPP, "Prompt truncated: %lld → %lld chars (~%d tok budget)", static_cast<long long>(count),
           static_cast<long long>(graphemeCount(cut)), kTokenBudget);
    return system + cut;
}
