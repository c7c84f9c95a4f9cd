#pragma once

#include <QObject>
#include <QString>

namespace QKeychain {
class Job;
}

// One secret (an API key) kept in the desktop's secret store: the Secret
// Service (GNOME Keyring, KWallet) on Linux, the keychain on macOS. Never in
// the preferences file.
//
// Everything is asynchronous and reported on the main thread: load() reads the
// stored value and returns at once, so that reading at start-up never holds up
// the window. secret() is the value known now: the one read, or the one last
// set, which counts at once while its write is still running.
//
// Where no secret store answers (no session bus, no keyring service, a store
// that refuses), the value is kept in this object only, until the application
// quits, and memoryOnly says so.
class SecretStore : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool loaded READ isLoaded NOTIFY loadedChanged)
    Q_PROPERTY(bool hasSecret READ hasSecret NOTIFY secretChanged)
    Q_PROPERTY(bool memoryOnly READ isMemoryOnly NOTIFY memoryOnlyChanged)
    Q_PROPERTY(bool busy READ isBusy NOTIFY busyChanged)

public:
    // service and account name the entry in the store ("Quorvane",
    // "remoteServerApiKey").
    SecretStore(const QString &service, const QString &account, QObject *parent = nullptr);
    ~SecretStore() override;

    // Reads the stored value; loadedChanged follows once the store answered
    // (secretChanged too when a value was found). A value set meanwhile wins
    // over the one read.
    void load();
    // Keeps value (an empty one removes the entry). secretChanged at once;
    // saved() once the store answered.
    void setSecret(const QString &value);
    void clear() { setSecret(QString()); }

    QString secret() const { return m_secret; }
    bool hasSecret() const { return !m_secret.isEmpty(); }
    bool isLoaded() const { return m_loaded; }
    bool isMemoryOnly() const { return m_memoryOnly; }
    bool isBusy() const { return m_running > 0; }
    // Why the store last failed, for the log; empty after a success.
    QString lastError() const { return m_lastError; }

signals:
    void loadedChanged();
    void secretChanged();
    void memoryOnlyChanged();
    void busyChanged();
    // A setSecret() reached the store (inStore) or stays in memory only.
    void saved(bool inStore);

private:
    void start(QKeychain::Job *job);
    void finish(QKeychain::Job *job);
    void noteStore(bool answered, const QString &error);

    QString m_service;
    QString m_account;
    QString m_secret;
    bool m_loaded = false;
    bool m_memoryOnly = false;
    int m_running = 0;
    int m_setsSinceLoad = 0; // a read started before a set does not undo the set
    QString m_lastError;
};
