#pragma once

#include <QObject>
#include <QThread>

#include <functional>
#include <mutex>

class QNetworkAccessManager;

// The network side of the download manager: one thread with an event loop
// of its own that holds the network manager and every transfer. Work
// reaches it only through post and call, from any other thread; nothing
// that runs on it takes the lock below. The thread starts with the first
// piece of work.
class DownloadSession {
public:
    DownloadSession();
    ~DownloadSession(); // as close()
    DownloadSession(const DownloadSession &) = delete;
    DownloadSession &operator=(const DownloadSession &) = delete;

    // Session thread only: the network manager, made on first use, and the
    // parent of the transfers.
    QNetworkAccessManager *network();
    QObject *context() const { return m_context; }

    // Runs fn on the session thread later; dropped once closed.
    void post(std::function<void()> fn);
    // Runs fn on the session thread and waits for it; false once closed.
    bool call(const std::function<void()> &fn);
    // Stops every transfer without further events and ends the thread.
    void close();

private:
    void startLocked();

    std::mutex m_mutex;
    bool m_closed = false;
    bool m_started = false;
    QThread m_thread;
    QObject *m_context = nullptr;
    QNetworkAccessManager *m_network = nullptr;
};
