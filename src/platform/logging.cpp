#include "platform/logging.h"

Q_LOGGING_CATEGORY(lcAppState, "com.quorvane.app.AppState", QtInfoMsg)
Q_LOGGING_CATEGORY(lcModelPersistence, "com.quorvane.app.ModelPersistence", QtInfoMsg)
Q_LOGGING_CATEGORY(lcChatPersistence, "com.quorvane.app.ChatPersistence", QtInfoMsg)
Q_LOGGING_CATEGORY(lcLlamaCPP, "com.quorvane.app.LlamaCPP", QtInfoMsg)
Q_LOGGING_CATEGORY(lcDownload, "com.quorvane.app.Download", QtInfoMsg)
Q_LOGGING_CATEGORY(lcMigrate, "com.quorvane.app.Migrate", QtInfoMsg)
Q_LOGGING_CATEGORY(lcChatView, "com.quorvane.app.ChatView", QtInfoMsg)

namespace logging {

QString shortId(const QString &canonicalUuid) { return canonicalUuid.left(8); }

} // namespace logging
