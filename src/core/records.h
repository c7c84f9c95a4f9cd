#pragma once

#include "core/date.h"

#include <QList>
#include <QMap>
#include <QCoreApplication>
#include <QObject>
#include <QString>
#include <QUuid>

#include <algorithm>
#include <optional>

// Upper-case canonical text of a UUID: 8-4-4-4-12 hex digits, no braces.
QString canonicalUuid(const QUuid &id);
// Parses a UUID written in canonical form (any letter case); nullopt otherwise.
std::optional<QUuid> parseUuid(const QString &text);

// Per-model generation settings; kept in memory only, never stored with the
// model list.
struct Modelfile {
    QString fromPath;
    QString systemPrompt;
    QString templateText;              // "template" in JSON
    QMap<QString, QString> parameters;

    friend bool operator==(const Modelfile &, const Modelfile &) = default;
};

struct AIModel {
    QUuid id;
    QString name;
    QString url;
    bool isDownloaded = false;
    QString filePath;
    QString size;
    double downloadProgress = 0.0;
    qint64 downloadedBytes = 0;
    qint64 totalBytes = 0;
    double downloadSpeed = 0.0;        // MB (2^20 bytes) per second, smoothed
    Date createdAt;
    std::optional<Modelfile> modelfile;

    // A fresh record: new random id, created now.
    static AIModel make(const QString &name, const QString &url);

    // Models are identified by id alone.
    friend bool operator==(const AIModel &a, const AIModel &b) { return a.id == b.id; }
};

struct AttachedFile {
    QUuid id;
    QString fileName;
    QString filePath;
    QString fileType;                  // lower-case extension without the dot
    qint64 fileSize = 0;

    friend bool operator==(const AttachedFile &, const AttachedFile &) = default;
};

// How a reply was made: shown under it, stored with it. Every figure may be
// unknown (nullopt, or an empty name); a message without any known figure
// has none to show.
struct ReplyFigures {
    std::optional<double> secondsToFirstToken; // from the start of the run to the first piece
    std::optional<double> tokensPerSecond;     // generation speed, after the prompt was read
    std::optional<qint64> tokenCount;          // tokens generated
    QString engineName;                        // "llama-completion", ...
    QString modelName;

    bool isEmpty() const
    {
        return !secondsToFirstToken && !tokensPerSecond && !tokenCount && engineName.isEmpty() && modelName.isEmpty();
    }
    friend bool operator==(const ReplyFigures &, const ReplyFigures &) = default;
};

// What an assistant's message is. Messages written before kinds were kept
// have none (Unset) and are told apart by their text (messageKind in the
// engine's prompt assembly).
enum class MessageKind { Unset, Reply, Notice, Error, Stopped };

// One of the answers a reply was given; the others were asked for again.
struct ReplyVersion {
    QString content;
    Date timestamp;
    ReplyFigures figures;

    friend bool operator==(const ReplyVersion &, const ReplyVersion &) = default;
};

struct ChatMessage {
    QUuid id;
    QString content;
    bool isFromUser = false;
    Date timestamp;
    std::optional<QList<AttachedFile>> attachedFiles;
    ReplyFigures figures;              // an assistant's reply; empty for every other message
    MessageKind kind = MessageKind::Unset;
    // Every answer of a reply that was asked for again, oldest first; empty
    // for one that never was. The shown one is also held in content,
    // timestamp and figures, so that what is shown is what the message says.
    QList<ReplyVersion> versions;
    int shownVersion = 0;

    static ChatMessage make(const QString &content, bool isFromUser,
                            std::optional<QList<AttachedFile>> attachedFiles = std::nullopt);
    // An assistant's message of the given kind.
    static ChatMessage assistant(const QString &content, MessageKind kind);

    // Adds an answer and shows it; the first call keeps the current one as
    // the first version.
    void addVersion(const ReplyVersion &version);
    // Shows version i (ignored when there is none such).
    bool showVersion(int i);

    friend bool operator==(const ChatMessage &, const ChatMessage &) = default;
};

// A conversation's title until its first message names it (translated, context "Conversations").
inline constexpr const char *kNewChatTitle = QT_TRANSLATE_NOOP("Conversations", "New Chat");

struct ChatSession {
    QUuid id;
    QString title = QCoreApplication::translate("Conversations", kNewChatTitle);
    QList<ChatMessage> messages;
    Date createdAt;
    // The user chose the title: it is never replaced automatically.
    bool hasManualTitle = false;

    static ChatSession make();

    friend bool operator==(const ChatSession &, const ChatSession &) = default;
};

// Finds the first element of a list whose id equals the given one.
template <typename List>
auto findById(List &list, const QUuid &id) -> decltype(list.begin())
{
    return std::find_if(list.begin(), list.end(), [&](const auto &e) { return e.id == id; });
}

class QuorvaneError {
public:
    enum class Kind { DownloadFailed, LlamaCppError, HttpError, ModelNotFound, InvalidModelFormat, NetworkError };

    static QuorvaneError downloadFailed(const QString &why) { return {Kind::DownloadFailed, why, 0}; }
    static QuorvaneError llamaCppError(const QString &why) { return {Kind::LlamaCppError, why, 0}; }
    static QuorvaneError httpError(int statusCode) { return {Kind::HttpError, {}, statusCode}; }
    static QuorvaneError modelNotFound() { return {Kind::ModelNotFound, {}, 0}; }
    static QuorvaneError invalidModelFormat() { return {Kind::InvalidModelFormat, {}, 0}; }
    static QuorvaneError networkError() { return {Kind::NetworkError, {}, 0}; }

    Kind kind() const { return m_kind; }
    const QString &message() const { return m_message; }
    int statusCode() const { return m_statusCode; }

    // The text an alert or a log line shows.
    QString description() const;

    friend bool operator==(const QuorvaneError &, const QuorvaneError &) = default;

private:
    QuorvaneError(Kind k, QString m, int code) : m_kind(k), m_message(std::move(m)), m_statusCode(code) {}
    Kind m_kind;
    QString m_message;
    int m_statusCode;
};

namespace Quorvane {
Q_NAMESPACE

// The top-level screens, in order; welcome is the initial one.
enum class AppView { Welcome, Chat, Models, Settings };
Q_ENUM_NS(AppView)

enum class AppearanceMode { Dark, Light };
Q_ENUM_NS(AppearanceMode)

} // namespace Quorvane

using Quorvane::AppearanceMode;
using Quorvane::AppView;

// "dark" / "light"; any other text reads as dark.
QString appearanceModeString(AppearanceMode mode);
AppearanceMode appearanceModeFromString(const QString &text);
