#pragma once

// Keys of the preferences store and their defaults.
namespace prefkeys {

inline constexpr const char *kDownloadedModels = "downloadedModels";       // data: JSON array of models
inline constexpr const char *kSelectedModelId = "selectedModelId";         // string: canonical UUID
inline constexpr const char *kHasDownloadedModels = "hasDownloadedModels"; // bool, default false
inline constexpr const char *kDidCompleteOnboarding = "didCompleteOnboarding"; // bool, default false
inline constexpr const char *kSystemPrompt = "systemPrompt";               // string
inline constexpr const char *kAppearanceMode = "appearanceMode";           // "dark" (default) or "light"
inline constexpr const char *kSavedChatSessions = "savedChatSessions";     // legacy data: all conversations

// How replies are made: one process per reply (default), a llama-server kept
// running here, or a server elsewhere.
inline constexpr const char *kEngineMode = "engineMode";                   // string, one of:
inline constexpr const char *kEngineModeProcess = "process";               //   default
inline constexpr const char *kEngineModeLocalServer = "localServer";
inline constexpr const char *kEngineModeRemoteServer = "remoteServer";
inline constexpr const char *kLocalServerIdleMinutes = "localServerIdleMinutes"; // int, minutes
inline constexpr int kDefaultLocalServerIdleMinutes = 15;
inline constexpr const char *kRemoteServerURL = "remoteServerURL";         // string: base URL, http(s)
inline constexpr const char *kRemoteModelId = "remoteModelId";             // string: an id of its /v1/models

// The remote server's API key lives in the desktop's secret store under this
// service and account, never in the preferences file.
inline constexpr const char *kSecretService = "Quorvane";
inline constexpr const char *kRemoteAPIKeyAccount = "remoteServerAPIKey";

inline constexpr const char *kDefaultSystemPrompt =
    "You are Quorvane, a helpful AI assistant running locally on the user's device.";

} // namespace prefkeys
