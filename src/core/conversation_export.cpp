#include "core/conversation_export.h"

#include "core/record_json.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace conversationexport {

namespace {

// The texts of this file meant for people (not the JSON keys), translated in
// the context "Conversations".
struct Text {
    Q_DECLARE_TR_FUNCTIONS(Conversations)
};

QString localTime(const Date &date)
{
    return date.toDateTime().toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

QString roleOf(const ChatMessage &m)
{
    if (m.isFromUser)
        return Text::tr("User");
    switch (m.kind) {
    case MessageKind::Notice: return Text::tr("Assistant (notice)");
    case MessageKind::Error: return Text::tr("Assistant (error)");
    case MessageKind::Stopped: return Text::tr("Assistant (stopped)");
    default: return Text::tr("Assistant");
    }
}

bool hasUuid(const QJsonObject &o)
{
    return parseUuid(o.value(QLatin1String("id")).toString()).has_value();
}

QString newId() { return canonicalUuid(QUuid::createUuid()); }

} // namespace

QString markdown(const ChatSession &session)
{
    QString out = QStringLiteral("# ") + session.title + QStringLiteral("\n\n*")
                  + Text::tr("Created %1").arg(localTime(session.createdAt)) + QStringLiteral("*\n");
    for (const ChatMessage &m : session.messages) {
        out += QStringLiteral("\n## ") + roleOf(m) + QStringLiteral(" · ") + localTime(m.timestamp)
               + QStringLiteral("\n\n");
        if (m.versions.size() > 1)
            out += QStringLiteral("*") + Text::tr("Answer %1 of %2").arg(m.shownVersion + 1).arg(m.versions.size())
                   + QStringLiteral("*\n\n");
        out += m.content;
        if (!m.content.endsWith(QLatin1Char('\n')))
            out += QLatin1Char('\n');
        if (m.attachedFiles && !m.attachedFiles->isEmpty()) {
            QStringList names;
            for (const AttachedFile &f : *m.attachedFiles)
                names << QLatin1Char('`') + f.fileName + QLatin1Char('`');
            out += QLatin1Char('\n') + Text::tr("Attached: %1").arg(names.join(QStringLiteral(", ")))
                   + QLatin1Char('\n');
        }
    }
    return out;
}

QString fileNameStem(const QString &title)
{
    static const QRegularExpression unsafe(QStringLiteral("[/\\\\:*?\"<>|\\x00-\\x1f]+"));
    QString stem = QString(title).replace(unsafe, QStringLiteral("-")).trimmed().left(60).trimmed();
    while (stem.startsWith(QLatin1Char('.')) || stem.startsWith(QLatin1Char('-')))
        stem.remove(0, 1);
    return stem.isEmpty() ? QStringLiteral("Conversation") : stem;
}

Imported readJson(const QByteArray &bytes)
{
    Imported result;
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        result.error = Text::tr("it is not JSON (%1 at byte %2)")
                           .arg(parseError.errorString(), QString::number(parseError.offset));
        return result;
    }
    if (!doc.isObject()) {
        result.error = Text::tr("it holds no conversation (a JSON object was expected)");
        return result;
    }
    QJsonObject o = doc.object();
    if (!hasUuid(o))
        o.insert(QLatin1String("id"), newId());
    if (o.value(QLatin1String("messages")).isArray()) {
        QJsonArray messages = o.value(QLatin1String("messages")).toArray();
        for (QJsonValueRef value : messages) {
            QJsonObject m = value.toObject();
            if (value.isObject() && !hasUuid(m)) {
                m.insert(QLatin1String("id"), newId());
                value = m;
                ++result.messagesGivenIds;
            }
        }
        o.insert(QLatin1String("messages"), messages);
    }
    recordjson::DecodeError error;
    result.session = recordjson::decodeChatSession(o, &error);
    if (!result.session)
        result.error = Text::tr("it is not a conversation (%1)").arg(error.text);
    return result;
}

} // namespace conversationexport
