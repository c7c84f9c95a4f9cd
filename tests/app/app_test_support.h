#pragma once
// Stored values and files written by hand, as a user or an older release leaves them, not by the encoder under test.
#include "common/test_support.h"
#include "core/preference_keys.h"
#include "core/records.h"
#include "platform/preferences.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

inline const QUuid kS1 = QUuid::fromString(QStringLiteral("aaaaaaaa-1111-4111-8111-111111111111"));
inline const QUuid kS2 = QUuid::fromString(QStringLiteral("bbbbbbbb-2222-4222-8222-222222222222"));
inline const QUuid kS3 = QUuid::fromString(QStringLiteral("cccccccc-3333-4333-8333-333333333333"));
inline const QUuid kUnlisted = QUuid::fromString(QStringLiteral("dddddddd-4444-4444-8444-444444444444"));
inline const QUuid kModelA = QUuid::fromString(QStringLiteral("0f8fad5b-d9cb-469f-a165-70867728950e"));

inline QString key(const char *k) { return QString::fromLatin1(k); }
inline std::optional<QByteArray> storedData(const char *k) { return Preferences().data(key(k)); }

inline QString sessionsDir(const TempHome &home) { return home.dataDir() + QStringLiteral("/Sessions"); }
inline QString sessionFile(const TempHome &home, const QUuid &id)
{
    return sessionsDir(home) + '/' + canonicalUuid(id) + ".json";
}

inline QJsonObject messageJson(const QString &id, const QString &content, bool fromUser, double timestamp)
{
    return {{"id", id}, {"content", content}, {"isFromUser", fromUser}, {"timestamp", timestamp}};
}
inline QJsonObject sessionJson(const QUuid &id, const QString &title, double createdAt, const QJsonArray &messages = {})
{
    return {{"id", id.toString(QUuid::WithoutBraces)}, {"title", title}, {"createdAt", createdAt}, {"messages", messages}};
}
template <typename J> QByteArray json(const J &j) { return QJsonDocument(j).toJson(QJsonDocument::Compact); }

template <typename T> QList<T> field(const QList<ChatSession> &sessions, T ChatSession::*member)
{
    QList<T> out;
    for (const ChatSession &s : sessions)
        out << s.*member;
    return out;
}
inline QList<QUuid> ids(const QList<ChatSession> &sessions) { return field(sessions, &ChatSession::id); }
