#pragma once

#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <optional>

// A private home for one test: HOME and the XDG folders point into a fresh temporary folder while the object lives.
class TempHome {
    Q_DISABLE_COPY(TempHome)
public:
    TempHome();
    ~TempHome();

    QString home() const { return m_dir.path(); }
    QString dataDir() const { return home() + QStringLiteral("/.local/share/Quorvane"); }
    QString configFile() const { return home() + QStringLiteral("/.config/Quorvane/Quorvane.conf"); }
    QString runtimeDir() const { return home() + QStringLiteral("/run"); }

    bool installProgram(const QString &program) const; // links it where the application installs llama-completion
    QString writeFile(const QString &relativePath, const QByteArray &bytes) const; // with its folders; its path

private:
    QTemporaryDir m_dir;
    QList<std::optional<QByteArray>> m_saved; // each variable's value before, in the order they are set
};

// Collects every log line written while it lives, as "category: message".
class LogCapture {
    Q_DISABLE_COPY(LogCapture)
public:
    LogCapture();
    ~LogCapture();

    QStringList lines() const;
    bool contains(const QString &fragment) const { return count(fragment) > 0; }
    int count(const QString &fragment) const;
    void clear();
};

QByteArray readFileBytes(const QString &path); // or "<unreadable>"
int processesWith(const QByteArray &marker); // running processes with marker in their arguments joined by spaces
QStringList folderEntries(const QString &dir); // every entry (hidden ones too), sorted by name
// What an entry is, for "nothing changed" checks: "file:<bytes>", "dir:<name>=<bytes>;...", "link:<target>",
// "fifo" or "missing".
QByteArray entrySnapshot(const QString &path);

// Spins the event loop until pred holds or timeoutMs passes; returns pred().
bool waitUntil(const std::function<bool()> &pred, int timeoutMs = 5000);
