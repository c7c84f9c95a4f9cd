#pragma once

#include "core/records.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <optional>

// JSON coding of the records. Keys are exactly the field names; unknown keys
// are ignored on reading; every key but a message's attachedFiles and
// figures is required and must hold a value of the right type, or the whole
// object is unreadable. A model's modelfile is never written and never read.
//
// A message's figures are one optional object under "figures", written only
// when at least one figure is known, with the known ones among
// "secondsToFirstToken", "tokensPerSecond", "tokenCount", "engine" and
// "model". Readers that predate it skip the key; this reader takes a figure
// of the wrong type as unknown and never refuses a message for its figures.
//
// Later optional keys, skipped by readers that predate them and never a
// reason to refuse a record: a message's "kind" ("reply", "notice", "error",
// "stopped"), a reply's earlier answers under "versions" (objects with
// "content", "timestamp" and "figures") with the index of the shown one
// under "shownVersion" (whose text "content" repeats), and a conversation's
// "hasManualTitle".
//
// Conversations store dates as seconds since 2001, the model list as seconds
// since 1970. Encoding fails (nullopt) on a value JSON cannot hold, such as a
// non-finite number, rather than writing something that would not read back.
namespace recordjson {

enum class DateEpoch { Since2001, Since1970 };

// Documents read into a byte array with this many spare bytes of capacity
// past their end are decoded without being copied first.
inline constexpr qsizetype kDocumentPadding = 64;

// Why decoding failed, in words fit for a log line
// ("messages[2].timestamp: missing key").
struct DecodeError {
    QString text;
};

std::optional<QJsonObject> encode(const AttachedFile &file);
std::optional<QJsonObject> encode(const ChatMessage &message);
std::optional<QJsonObject> encode(const ChatSession &session);
std::optional<QJsonObject> encode(const AIModel &model);
QJsonObject encode(const Modelfile &modelfile);

std::optional<AttachedFile> decodeAttachedFile(const QJsonObject &o, DecodeError *error = nullptr);
std::optional<ChatMessage> decodeChatMessage(const QJsonObject &o, DecodeError *error = nullptr);
std::optional<ChatSession> decodeChatSession(const QJsonObject &o, DecodeError *error = nullptr);
std::optional<AIModel> decodeAIModel(const QJsonObject &o, DecodeError *error = nullptr);
std::optional<Modelfile> decodeModelfile(const QJsonObject &o, DecodeError *error = nullptr);

// Whole documents, as stored: one conversation per file, the model list, the
// legacy array of all conversations.
std::optional<QByteArray> encodeSessionDocument(const ChatSession &session);
std::optional<ChatSession> decodeSessionDocument(const QByteArray &json, DecodeError *error = nullptr);

std::optional<QByteArray> encodeModelList(const QList<AIModel> &models);
std::optional<QList<AIModel>> decodeModelList(const QByteArray &json, DecodeError *error = nullptr);

std::optional<QList<ChatSession>> decodeSessionList(const QByteArray &json, DecodeError *error = nullptr);

} // namespace recordjson
