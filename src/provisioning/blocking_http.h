#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>

#include <memory>

// HTTP for background queues that want to wait for an answer: each call
// blocks the calling thread while a network manager on a thread of this
// object's own does the work. Redirects are followed. Never call it from the
// main thread.
class BlockingHttp {
public:
    BlockingHttp();
    ~BlockingHttp(); // ends every request still running, as abortAll()
    BlockingHttp(const BlockingHttp &) = delete;
    BlockingHttp &operator=(const BlockingHttp &) = delete;

    struct Response {
        // Why no answer arrived (connection refused, time-out, aborted), or
        // why a 2xx answer's body broke off (a reset, the silence limit, fewer
        // bytes than announced); empty when the server answered in full.
        QString transportError;
        // The HTTP status of the last answer; 0 when there was none (no
        // answer, or a URL scheme other than HTTP).
        int status = 0;
        // The body, unless it went to a file.
        QByteArray body;
        // Writing the body to the file failed: why.
        QString fileError;
        qint64 bytesWritten = 0;

        bool answered() const { return transportError.isEmpty(); }
        bool isSuccess() const { return answered() && fileError.isEmpty() && status >= 200 && status <= 299; }
    };

    using Headers = QList<QPair<QByteArray, QByteArray>>;

    // GET. silenceLimitMs: the request fails when nothing arrives for that
    // long. With a file path, the body is written there (created or
    // truncated) as it arrives instead of being kept in memory.
    Response get(const QUrl &url, const Headers &headers, int silenceLimitMs, const QString &toFile = QString());

    // Ends every running request with an error; later requests fail at once.
    void abortAll();

    struct Worker;

private:
    std::shared_ptr<Worker> m_worker;
};
