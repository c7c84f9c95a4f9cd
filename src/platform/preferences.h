#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QVariant>

#include <memory>
#include <optional>

class QSettings;

// The per-user key-value store. Each instance opens the store as it is at
// construction (paths::preferencesFile on Linux); several instances, also on
// different threads, see each other's writes. Every write is flushed to disk
// at once, so nothing waits for the application to quit.
//
// Typed reads are strict: a value of another type reads as absent, so that
// garbage under a key falls back to the key's default instead of being
// misread (the text "garbage" is not a true boolean).
//
// A file the INI reader cannot parse is not overwritten: it is renamed to
// "<file>.unreadable" (logged), and what could be read of it is carried over
// into a fresh file.
//
// A write that fails (the folder cannot be written, the disk is full) returns
// false, leaves the file as it was, and is kept in this instance: it reads back here, and is tried again with the next
// write, so that it reaches the file once the store can be written.
class Preferences {
public:
    Preferences();
    ~Preferences();
    Preferences(const Preferences &) = delete;
    Preferences &operator=(const Preferences &) = delete;

    bool contains(const QString &key) const;
    QVariant value(const QString &key) const;

    std::optional<QByteArray> data(const QString &key) const;
    std::optional<QString> string(const QString &key) const;
    std::optional<bool> boolean(const QString &key) const;

    // false when absent or not a boolean
    bool boolValue(const QString &key) const { return boolean(key).value_or(false); }

    // Each returns false when the store could not be written.
    bool setData(const QString &key, const QByteArray &value);
    bool setString(const QString &key, const QString &value);
    bool setBool(const QString &key, bool value);
    bool setInt(const QString &key, int value);
    bool remove(const QString &key);

    // The file behind the store (empty where the platform store is native).
    QString fileName() const;

private:
    void open();
    void setAsideUnreadable();
    void prepareWrite();
    bool sync();
    bool write(const QString &key, const std::optional<QVariant> &value); // nullopt removes
    QString m_file;
    std::unique_ptr<QSettings> m_settings;
    QList<QPair<QString, std::optional<QVariant>>> m_unsaved; // failed writes, in order
};
