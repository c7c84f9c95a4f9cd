#pragma once

#include <QLoggingCategory>
#include <QString>

// One category per area, "com.quorvane.app.<Area>", all used at info level.
Q_DECLARE_LOGGING_CATEGORY(lcAppState)
Q_DECLARE_LOGGING_CATEGORY(lcModelPersistence)
Q_DECLARE_LOGGING_CATEGORY(lcChatPersistence)
Q_DECLARE_LOGGING_CATEGORY(lcLlamaCPP)
Q_DECLARE_LOGGING_CATEGORY(lcDownload)
Q_DECLARE_LOGGING_CATEGORY(lcMigrate)
Q_DECLARE_LOGGING_CATEGORY(lcChatView)

namespace logging {

// What a log line shows in place of user text or model output.
inline constexpr const char *kPrivate = "<private>";

// Stands in for a private argument (model output, user text). The value is
// taken so that call sites read like the public ones, and never written.
template <typename T>
inline const char *priv(const T &) { return kPrivate; }

// The first 8 characters of a conversation id, as log lines show it.
QString shortId(const QString &canonicalUuid);

} // namespace logging
