#pragma once

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

// A private home for one test: HOME, XDG_DATA_HOME, XDG_CONFIG_HOME,
// XDG_CACHE_HOME and XDG_RUNTIME_DIR point into a fresh temporary folder
// while the object lives, and are restored afterwards.
class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome &) = delete;
    TempHome &operator=(const TempHome &) = delete;

    QString home() const { return m_dir.path(); }
    QString dataDir() const;        // the application's data folder
    QString configFile() const;     // the preferences file
    QString runtimeDir() const;

    // Places program (by a symbolic link) where the application installs
    // llama-completion; false when that failed.
    bool installProgram(const QString &program) const;

    // Writes a file (creating folders), returns its path.
    QString writeFile(const QString &relativePath, const QByteArray &bytes) const;

private:
    QTemporaryDir m_dir;
    QList<QPair<QByteArray, QByteArray>> m_saved;
    QList<QByteArray> m_unset;
};

// Collects every log line written while it lives, as "category: message".
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList lines() const;
    bool contains(const QString &fragment) const;
    int count(const QString &fragment) const;
    void clear();
};

// The bytes of a file, or "<unreadable>".
QByteArray readFileBytes(const QString &path);
// The SHA-256 of a file in hex, or "<unreadable>".
QByteArray sha256(const QString &path);
// How many running processes have marker in their command line (arguments
// joined by spaces).
int processesWith(const QByteArray &marker);
// Every entry of a folder (hidden ones too), sorted by name.
QStringList folderEntries(const QString &dir);
// What an entry is, for "nothing changed" checks: its kind plus its content
// ("file:<bytes>", "dir:<name>=<bytes>;...", "link:<target>", "fifo",
// "missing").
QByteArray entrySnapshot(const QString &path);

// Spins the event loop until pred holds or timeoutMs passes; returns pred().
bool waitUntil(const std::function<bool()> &pred, int timeoutMs = 5000);
