#include "provisioning/blocking_http.h"

#include "platform/main_thread.h"

#include <QCoreApplication>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QThread>

#include <atomic>
#include <future>

namespace {

// The texts of this file shown to the user, translated in the context "Installer".
struct Text {
    Q_DECLARE_TR_FUNCTIONS(Installer)
};

// A body of known length (sent as it is, not compressed) that came short.
bool bodyShorterThanAnnounced(QNetworkReply *reply, qint64 received)
{
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    return (encoding.isEmpty() || encoding == "identity") && length.isValid() && received < length.toLongLong();
}

} // namespace

struct BlockingHttp::Worker {
    QThread thread;
    QObject *context = nullptr; // lives on the thread; parent of the network manager
    QNetworkAccessManager *manager = nullptr;
    std::atomic<bool> closed{false};
};

BlockingHttp::BlockingHttp() : m_worker(std::make_shared<Worker>())
{
    m_worker->thread.setObjectName(QStringLiteral("com.quorvane.http"));
    m_worker->context = new QObject;
    m_worker->context->moveToThread(&m_worker->thread);
    QObject::connect(&m_worker->thread, &QThread::finished, m_worker->context, &QObject::deleteLater);
    m_worker->thread.start();
}

BlockingHttp::~BlockingHttp()
{
    abortAll();
    m_worker->thread.quit();
    m_worker->thread.wait();
}

void BlockingHttp::abortAll()
{
    m_worker->closed = true;
    if (QThread::currentThread() == &m_worker->thread)
        return;
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
}

BlockingHttp::Response BlockingHttp::get(const QUrl &url, const Headers &headers, int silenceLimitMs,
                                         const QString &toFile)
{
    Response response;
    if (m_worker->closed) {
        response.transportError = Text::tr("The request was cancelled.");
        return response;
    }
    auto done = std::make_shared<std::promise<Response>>();
    std::future<Response> result = done->get_future();
    auto worker = m_worker;

    const bool posted = mainthread::invokeOn(
        worker->context,
        [worker, url, headers, silenceLimitMs, toFile, done] {
            if (!worker->manager)
                worker->manager = new QNetworkAccessManager(worker->context);
            auto state = std::make_shared<Response>();
            if (worker->closed) {
                state->transportError = Text::tr("The request was cancelled.");
                done->set_value(*state);
                return;
            }
            std::shared_ptr<QFile> file;
            if (!toFile.isEmpty()) {
                file = std::make_shared<QFile>(toFile);
                if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
                    state->fileError = file->errorString();
                    done->set_value(*state);
                    return;
                }
            }
            QNetworkRequest request(url);
            for (const auto &[name, value] : headers)
                request.setRawHeader(name, value);
            request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                                 QNetworkRequest::NoLessSafeRedirectPolicy);
            request.setTransferTimeout(silenceLimitMs);
            QNetworkReply *reply = worker->manager->get(request);

            auto drain = [reply, state, file] {
                const QByteArray chunk = reply->readAll();
                if (!file) {
                    state->body += chunk;
                    return;
                }
                if (!state->fileError.isEmpty() || chunk.isEmpty())
                    return;
                if (file->write(chunk) != chunk.size()) {
                    state->fileError = file->errorString();
                    reply->abort();
                    return;
                }
                state->bytesWritten += chunk.size();
            };
            QObject::connect(reply, &QNetworkReply::readyRead, reply, drain);
            QObject::connect(reply, &QNetworkReply::finished, reply, [reply, state, file, done, drain, worker] {
                drain();
                if (file) {
                    if (!file->flush() && state->fileError.isEmpty())
                        state->fileError = file->errorString();
                    file->close();
                }
                const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
                state->status = status.isValid() ? status.toInt() : 0;
                // The status of an error answer is the answer; a success
                // counts only with its whole body.
                const bool success = state->status >= 200 && state->status <= 299;
                const QNetworkReply::NetworkError error = reply->error();
                if (state->fileError.isEmpty() && (!status.isValid() || success)) {
                    if (error == QNetworkReply::OperationCanceledError) {
                        // aborted by us at quit, or by the silence limit
                        state->transportError = worker->closed ? Text::tr("The request was cancelled.")
                                                               : Text::tr("The request timed out.");
                    } else if (error != QNetworkReply::NoError) {
                        state->transportError = reply->errorString();
                    } else if (bodyShorterThanAnnounced(reply, file ? state->bytesWritten : state->body.size())) {
                        state->transportError = Text::tr("The connection closed before the whole file arrived.");
                    }
                }
                reply->deleteLater();
                done->set_value(*state);
            });
        },
        Qt::QueuedConnection);
    if (!posted) {
        response.transportError = Text::tr("The request was cancelled.");
        return response;
    }
    try {
        return result.get();
    } catch (const std::future_error &) { // the network thread ended before the request ran
        response.transportError = Text::tr("The request was cancelled.");
        return response;
    }
}
