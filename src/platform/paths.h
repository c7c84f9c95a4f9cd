#pragma once

#include <QString>

#include <functional>

// Where the application keeps things on this platform. Every function reads
// the environment anew, so tests may point HOME and the XDG variables at
// temporary folders between cases.
namespace paths {

// The user's home folder, without a trailing slash.
QString homeDirectory();

// The per-user data folder: $XDG_DATA_HOME/Quorvane (default
// ~/.local/share/Quorvane) on Linux, ~/Library/Application Support/Quorvane
// on macOS. Not created here.
QString dataDirectory();

// ~/Documents, where an older release kept models and chat history.
QString documentsDirectory();

// The per-user temporary folder: $XDG_RUNTIME_DIR when it is set and
// absolute, else the system temporary folder.
QString temporaryDirectory();

// The preferences file (Linux: $XDG_CONFIG_HOME/Quorvane/Quorvane.conf).
// Empty on macOS, where the native store is used.
QString preferencesFile();

// Marks a folder as in use by this process until it ends: a shared lock on
// the folder, taken by the first call for it. When no other process holds
// the folder at that moment, clearLeftovers runs first under an exclusive
// lock, so it can remove what a killed run left without touching the files
// of a running one. Later calls for the same folder do nothing.
void holdFolder(const QString &directory, const std::function<void()> &clearLeftovers);

} // namespace paths
