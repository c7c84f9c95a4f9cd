#include "engine/server_http.h"

#include "engine/server_events.h"
#include "platform/main_thread.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSslError>
#include <QThread>

#include <future>

namespace {

// The texts of this file shown to the user, translated in the context "Replies".
struct Text {
    Q_DECLARE_TR_FUNCTIONS(Replies)
};

} // namespace

void RequestStop::stop()
{
    std::function<void()> action;
    {
        std::lock_guard lock(m_lock);
        if (m_stopped.exchange(true))
            return;
        action = m_action;
    }
    if (action)
        action();
}

bool RequestStop::setAction(std::function<void()> action)
{
    std::lock_guard lock(m_lock);
    if (m_stopped)
        return false;
    m_action = std::move(action);
    return true;
}

void RequestStop::clearAction()
{
    std::lock_guard lock(m_lock);
    m_action = nullptr;
}

struct ServerHttp::Worker {
    QThread thread;
    QObject *context = nullptr; // lives on the thread; parent of the network manager
    QNetworkAccessManager *manager = nullptr;
    std::atomic<bool> closed{false};

    // Runs fn on the network thread, from any thread, unless the thread has
    // been shut down (its context object is deleted then).
    void post(std::function<void()> fn)
    {
        std::lock_guard lock(postLock);
        if (contextAlive)
            mainthread::invokeOn(context, std::move(fn), Qt::QueuedConnection);
    }
    std::mutex postLock;
    bool contextAlive = true;
};

namespace {

constexpr qsizetype kMaxKeptBody = 4 * 1024 * 1024; // error bodies and get() answers

// What a request collects on the network thread.
struct Exchange {
    HttpResult result;
    bool stoppedByUs = false;
    bool endedByReader = false;
    QString certificateErrors;
};

bool isSuccess(int status) { return status >= 200 && status <= 299; }

// A body of known length (sent as it is, not compressed) that came short.
bool bodyShorterThanAnnounced(QNetworkReply *reply, qint64 received)
{
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    return (encoding.isEmpty() || encoding == "identity") && length.isValid() && received < length.toLongLong();
}

HttpOutcome outcomeOfStatus(int status)
{
    if (status == 401 || status == 403)
        return HttpOutcome::Unauthorized;
    if (status == 404)
        return HttpOutcome::NotFound;
    if (status >= 400 && status <= 499)
        return HttpOutcome::ClientError;
    if (status >= 500 && status <= 599)
        return HttpOutcome::ServerError;
    return HttpOutcome::OtherError;
}

// Fills in the outcome once the reply has finished.
void classify(QNetworkReply *reply, Exchange &x, bool closing)
{
    HttpResult &r = x.result;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    r.status = status.isValid() ? status.toInt() : 0;
    const QNetworkReply::NetworkError error = reply->error();
    const bool cancelled =
        error == QNetworkReply::OperationCanceledError || error == QNetworkReply::TimeoutError;
    if (x.stoppedByUs || (cancelled && closing)) {
        r.outcome = HttpOutcome::Stopped;
        r.message = Text::tr("The request was stopped.");
        return;
    }
    if (x.endedByReader) {
        r.outcome = HttpOutcome::EndedByReader;
        return;
    }
    if (cancelled) { // the only other abort is the silence limit's
        r.outcome = HttpOutcome::Silence;
        r.message = Text::tr("The server sent nothing for too long.");
        return;
    }
    if (isSuccess(r.status)) {
        if (error == QNetworkReply::NoError && !bodyShorterThanAnnounced(reply, r.bodyBytes)) {
            r.outcome = HttpOutcome::Complete;
            return;
        }
        r.outcome = HttpOutcome::CutOff;
        r.message = error == QNetworkReply::NoError
                        ? Text::tr("The connection closed before the answer ended.")
                        : reply->errorString();
        return;
    }
    if (r.status != 0) {
        r.outcome = outcomeOfStatus(r.status);
        r.message = serverErrorMessage(r.body);
        if (r.message.isEmpty()) {
            const QString phrase = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
            r.message = QStringLiteral("HTTP %1 %2").arg(r.status).arg(phrase).trimmed();
        }
        return;
    }
    r.message = reply->errorString();
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
        r.outcome = HttpOutcome::ConnectionRefused;
        break;
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
        r.outcome = HttpOutcome::Unreachable;
        break;
    case QNetworkReply::SslHandshakeFailedError:
        r.outcome = HttpOutcome::Certificate;
        if (!x.certificateErrors.isEmpty())
            r.message = x.certificateErrors;
        break;
    default:
        r.outcome = x.certificateErrors.isEmpty() ? HttpOutcome::OtherError : HttpOutcome::Certificate;
        if (!x.certificateErrors.isEmpty())
            r.message = x.certificateErrors;
        break;
    }
}

} // namespace

ServerHttp::ServerHttp() : m_worker(std::make_shared<Worker>())
{
    m_worker->thread.setObjectName(QStringLiteral("com.quorvane.serverHttp"));
    m_worker->context = new QObject;
    m_worker->context->moveToThread(&m_worker->thread);
    QObject::connect(&m_worker->thread, &QThread::finished, m_worker->context, &QObject::deleteLater);
    m_worker->thread.start();
}

ServerHttp::~ServerHttp()
{
    m_worker->closed = true;
    auto worker = m_worker;
    mainthread::invokeOn(
        worker->context,
        [worker] {
            if (!worker->manager)
                return;
            const auto replies = worker->manager->findChildren<QNetworkReply *>();
            for (QNetworkReply *reply : replies)
                reply->abort();
        },
        Qt::BlockingQueuedConnection);
    {
        std::lock_guard lock(m_worker->postLock);
        m_worker->contextAlive = false;
    }
    m_worker->thread.quit();
    m_worker->thread.wait();
}

HttpResult ServerHttp::post(const Request &request, const QByteArray &json, const BodyCallback &onBody)
{
    return run(request, &json, onBody);
}

HttpResult ServerHttp::get(const Request &request) { return run(request, nullptr, nullptr); }

HttpResult ServerHttp::run(const Request &request, const QByteArray *json, const BodyCallback &onBody)
{
    HttpResult stopped;
    stopped.outcome = HttpOutcome::Stopped;
    stopped.message = Text::tr("The request was stopped.");
    if (m_worker->closed || (request.stop && request.stop->isStopped()))
        return stopped;

    auto done = std::make_shared<std::promise<HttpResult>>();
    std::future<HttpResult> future = done->get_future();
    auto worker = m_worker;
    const bool isPost = json != nullptr;
    const QByteArray body = isPost ? *json : QByteArray();
    // The caller blocks until the promise is kept, so the callback outlives
    // every call of it.
    const BodyCallback *callback = isPost ? &onBody : nullptr;

    const bool posted = mainthread::invokeOn(
        worker->context,
        [worker, request, isPost, body, callback, done, stopped] {
            if (worker->closed) {
                done->set_value(stopped);
                return;
            }
            if (!worker->manager)
                worker->manager = new QNetworkAccessManager(worker->context);
            QNetworkRequest http(request.url);
            http.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
            http.setTransferTimeout(int(request.silenceLimit.count()));
            if (!request.apiKey.isEmpty())
                http.setRawHeader("Authorization", "Bearer " + request.apiKey);
            if (isPost)
                http.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
            QNetworkReply *reply = isPost ? worker->manager->post(http, body) : worker->manager->get(http);
            auto x = std::make_shared<Exchange>();

            if (request.stop) {
                QPointer<QNetworkReply> target(reply); // read on the network thread only
                auto abort = [worker, target, x] {
                    worker->post([target, x] {
                        if (target && target->isRunning()) {
                            x->stoppedByUs = true;
                            target->abort();
                        }
                    });
                };
                if (!request.stop->setAction(abort)) { // stopped meanwhile
                    x->stoppedByUs = true;
                    reply->abort();
                }
            }
            QObject::connect(reply, &QNetworkReply::sslErrors, reply, [x](const QList<QSslError> &errors) {
                QStringList texts;
                for (const QSslError &e : errors)
                    texts << e.errorString();
                x->certificateErrors = texts.join(QStringLiteral("; "));
            });
            auto drain = [reply, x, callback] {
                if (!reply->isOpen()) // aborted
                    return;
                const QByteArray piece = reply->readAll();
                if (x->endedByReader || x->stoppedByUs || piece.isEmpty())
                    return;
                const bool success = isSuccess(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt());
                if (success)
                    x->result.bodyBytes += piece.size();
                if (success && callback) {
                    if (!(*callback)(piece)) {
                        x->endedByReader = true;
                        reply->abort();
                    }
                } else if (x->result.body.size() < kMaxKeptBody) {
                    x->result.body += piece.left(kMaxKeptBody - x->result.body.size());
                }
            };
            QObject::connect(reply, &QNetworkReply::readyRead, reply, drain);
            QObject::connect(reply, &QNetworkReply::finished, reply, [reply, x, worker, request, done, drain] {
                drain();
                if (request.stop)
                    request.stop->clearAction();
                classify(reply, *x, worker->closed);
                reply->deleteLater();
                done->set_value(x->result);
            });
        },
        Qt::QueuedConnection);
    if (!posted)
        return stopped;
    try {
        return future.get();
    } catch (const std::future_error &) { // the network thread ended before the request ran
        return stopped;
    }
}
