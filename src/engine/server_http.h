#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

// A stop for one request, made before the request and usable from any
// thread: stop() ends the request that runs with it, or keeps the request
// from starting when it comes first. Shared between the thread that makes
// the request and the one that stops it.
class RequestStop {
public:
    void stop();
    bool isStopped() const { return m_stopped.load(); }

    // The one action stop() takes while the request runs. Installing it after
    // the stop runs nothing and returns false. The action runs on the
    // stopping thread, outside any lock of this object, and may still run
    // just after clearAction() returns: it must hold what it uses.
    bool setAction(std::function<void()> action);
    void clearAction();

private:
    std::atomic<bool> m_stopped{false};
    std::mutex m_lock;
    std::function<void()> m_action;
};

// How a request ended.
enum class HttpOutcome {
    Complete,          // a 2xx answer arrived whole (a reply stream may still lack its last event)
    EndedByReader,     // the body callback asked for no more
    Stopped,           // its RequestStop ended it (or kept it from starting)
    Unreachable,       // the name does not resolve, or there is no route to the host
    ConnectionRefused, // nothing listens at the address
    Unauthorized,      // 401 or 403: a missing or wrong API key
    NotFound,          // 404: a wrong path or model
    ClientError,       // another 4xx
    ServerError,       // 5xx
    CutOff,            // a 2xx answer whose body broke off
    Certificate,       // the server's certificate is not trusted (never ignored)
    Silence,           // nothing arrived for the silence limit
    OtherError,        // any other failure; message tells
};

struct HttpResult {
    HttpOutcome outcome = HttpOutcome::OtherError;
    int status = 0;     // the HTTP status; 0 when no answer came
    // For failures, why: the server's own message when an error body had
    // one, else the network's description.
    QString message;
    // get(): the body. post(): the body of an answer that is not 2xx. At
    // most the first 4 MB are kept.
    QByteArray body;
    qint64 bodyBytes = 0; // bytes of a 2xx body received

    bool succeeded() const { return outcome == HttpOutcome::Complete || outcome == HttpOutcome::EndedByReader; }
};

// HTTP to a model server for a thread that waits for the answer (the
// engine's process queue): each call blocks its caller while a network
// manager on a thread of this object's own does the work. Never call it on
// the main thread. Calls from several threads run side by side. Redirects
// are not followed; certificate errors fail the request.
class ServerHttp {
public:
    ServerHttp();
    ~ServerHttp(); // ends every request still running (Stopped)
    ServerHttp(const ServerHttp &) = delete;
    ServerHttp &operator=(const ServerHttp &) = delete;

    struct Request {
        QUrl url;
        QByteArray apiKey;   // sent as "Authorization: Bearer <key>" when not empty
        std::chrono::milliseconds silenceLimit{60000}; // nothing arriving this long fails it
        std::shared_ptr<RequestStop> stop; // may be null
    };

    // Called with each piece of a 2xx body as it arrives, on this object's
    // network thread; returns false to read no more (EndedByReader).
    using BodyCallback = std::function<bool(const QByteArray &piece)>;

    // POSTs a JSON body and streams a 2xx answer's body to onBody.
    HttpResult post(const Request &request, const QByteArray &json, const BodyCallback &onBody);
    // GETs a small answer whole (for /health and /v1/models).
    HttpResult get(const Request &request);

    struct Worker;

private:
    HttpResult run(const Request &request, const QByteArray *json, const BodyCallback &onBody);

    std::shared_ptr<Worker> m_worker;
};
