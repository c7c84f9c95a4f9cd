#include "platform/secret_store.h"

#include "platform/logging.h"

#include <qt6keychain/keychain.h>

SecretStore::SecretStore(const QString &service, const QString &account, QObject *parent)
    : QObject(parent), m_service(service), m_account(account)
{
}

// Jobs still running are left to finish on their own: the store's callbacks
// hold on to them, so they are not children of this object, and their
// results are dropped once it is gone.
SecretStore::~SecretStore() = default;

void SecretStore::load()
{
    m_setsSinceLoad = 0;
    start(new QKeychain::ReadPasswordJob(m_service));
}

void SecretStore::setSecret(const QString &value)
{
    ++m_setsSinceLoad;
    if (value != m_secret) {
        m_secret = value;
        emit secretChanged();
    }
    if (value.isEmpty()) {
        start(new QKeychain::DeletePasswordJob(m_service));
    } else {
        auto *job = new QKeychain::WritePasswordJob(m_service);
        job->setTextData(value);
        start(job);
    }
}

void SecretStore::start(QKeychain::Job *job)
{
    job->setKey(m_account);
    job->setAutoDelete(true);
    job->setInsecureFallback(false); // never a plain-text copy in a settings file
    connect(job, &QKeychain::Job::finished, this, [this](QKeychain::Job *j) { finish(j); });
    if (m_running++ == 0)
        emit busyChanged();
    job->start();
}

void SecretStore::finish(QKeychain::Job *job)
{
    const QKeychain::Error error = job->error();
    if (auto *read = qobject_cast<QKeychain::ReadPasswordJob *>(job)) {
        const bool found = error == QKeychain::NoError;
        if (found && m_setsSinceLoad == 0 && read->textData() != m_secret) {
            m_secret = read->textData();
            emit secretChanged();
        }
        noteStore(found || error == QKeychain::EntryNotFound, job->errorString());
        if (!m_loaded) {
            m_loaded = true;
            emit loadedChanged();
        }
    } else {
        // removing an entry that is not there is a success too
        const bool done = error == QKeychain::NoError
                          || (error == QKeychain::EntryNotFound && qobject_cast<QKeychain::DeletePasswordJob *>(job));
        noteStore(done, job->errorString());
        emit saved(done);
    }
    if (--m_running == 0)
        emit busyChanged();
}

void SecretStore::noteStore(bool answered, const QString &error)
{
    m_lastError = answered ? QString() : error;
    if (m_memoryOnly != !answered) {
        if (!answered)
            qCInfo(lcAppState, "Secret store unavailable, the API key is kept in memory until quit: %s", qPrintable(error));
        m_memoryOnly = !answered;
        emit memoryOnlyChanged();
    }
}
