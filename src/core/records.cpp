#include "core/records.h"

QString canonicalUuid(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces).toUpper();
}

std::optional<QUuid> parseUuid(const QString &text)
{
    // Only the plain 8-4-4-4-12 form: QUuid::fromString would also take
    // braces and the undashed form, and gives the null UUID on failure,
    // which cannot be told apart from a stored all-zero id.
    if (text.size() != 36)
        return std::nullopt;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != u'-')
                return std::nullopt;
        } else if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F'))) {
            return std::nullopt;
        }
    }
    return QUuid::fromString(text);
}

AIModel AIModel::make(const QString &name, const QString &url)
{
    AIModel m;
    m.id = QUuid::createUuid();
    m.name = name;
    m.url = url;
    m.createdAt = Date::now();
    return m;
}

ChatMessage ChatMessage::make(const QString &content, bool isFromUser,
                              std::optional<QList<AttachedFile>> attachedFiles)
{
    ChatMessage m;
    m.id = QUuid::createUuid();
    m.content = content;
    m.isFromUser = isFromUser;
    m.timestamp = Date::now();
    m.attachedFiles = std::move(attachedFiles);
    return m;
}

ChatMessage ChatMessage::assistant(const QString &content, MessageKind kind)
{
    ChatMessage m = make(content, false);
    m.kind = kind;
    return m;
}

void ChatMessage::addVersion(const ReplyVersion &version)
{
    if (versions.isEmpty())
        versions.append({content, timestamp, figures});
    versions.append(version);
    showVersion(int(versions.size()) - 1);
}

bool ChatMessage::showVersion(int i)
{
    if (i < 0 || i >= versions.size())
        return false;
    shownVersion = i;
    const ReplyVersion &v = versions.at(i);
    content = v.content;
    timestamp = v.timestamp;
    figures = v.figures;
    return true;
}

ChatSession ChatSession::make()
{
    ChatSession s;
    s.id = QUuid::createUuid();
    s.createdAt = Date::now();
    return s;
}

QString QuorvaneError::description() const
{
    switch (m_kind) {
    case Kind::DownloadFailed:
        return QCoreApplication::translate("Errors", "Download failed: %1").arg(m_message);
    case Kind::LlamaCppError:
        return QCoreApplication::translate("Errors", "Llama.cpp error: %1").arg(m_message);
    case Kind::HttpError:
        return QCoreApplication::translate("Errors", "Server returned HTTP %1. The file may have been moved, renamed, "
                                                     "or require authentication.")
            .arg(m_statusCode);
    case Kind::ModelNotFound:
        return QCoreApplication::translate("Errors", "Model not found");
    case Kind::InvalidModelFormat:
        return QCoreApplication::translate("Errors", "Invalid model format");
    case Kind::NetworkError:
        return QCoreApplication::translate("Errors", "Network connection error");
    }
    return {};
}

QString appearanceModeString(AppearanceMode mode)
{
    return mode == AppearanceMode::Light ? QStringLiteral("light") : QStringLiteral("dark");
}

AppearanceMode appearanceModeFromString(const QString &text)
{
    return text == QLatin1String("light") ? AppearanceMode::Light : AppearanceMode::Dark;
}
