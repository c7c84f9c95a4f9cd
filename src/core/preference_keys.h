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

inline constexpr const char *kDefaultSystemPrompt =
    "You are Quorvane, a helpful AI assistant running locally on the user's device.";

} // namespace prefkeys
