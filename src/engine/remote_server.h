#pragma once

#include "engine/server_http.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// A server elsewhere that makes replies through the OpenAI-style API
// (llama.cpp's llama-server, vLLM, Ollama): its address, the messages for
// its failures, and its model list.
namespace remoteserver {

// A base URL as the user typed it, checked.
struct BaseUrl {
    QUrl url;      // http or https, with no trailing "/" and no trailing "/v1"
    QString error; // why the text is not usable; empty when url is
    bool ok() const { return error.isEmpty(); }
};
BaseUrl parseBaseUrl(const QString &text);

// An API path under a checked base URL: ("http://h:8080", "models") gives
// "http://h:8080/v1/models".
QUrl endpoint(const QUrl &base, const QString &path);

// What went wrong with a finished request, in words for the user; empty when
// the server answered 2xx. body is what the reply brought (error answers
// often say why); sentKey tells a wrong key from a missing one; timedOut is
// set when the caller aborted the reply at its own time limit.
QString failureMessage(QNetworkReply *reply, const QByteArray &body, bool sentKey, bool timedOut, int timeLimitMs);

// The same for a streamed reply request that did not bring a whole reply,
// from ServerHttp's outcome: url is the request's; a stream that ended
// without its last event (Complete or CutOff) is a cut-off reply, told
// differently when part of the reply came before it.
QString replyFailureMessage(const HttpResult &result, const QUrl &url, bool sentKey, int silenceLimitMs,
                            bool hasPartialReply);

} // namespace remoteserver

// Fetches a remote server's model list, GET <base>/v1/models, for the
// settings screen. One request at a time, on the main thread; the answer
// arrives as finished(). Certificate errors fail the request, never ignored.
class RemoteModelList : public QObject {
    Q_OBJECT

public:
    static constexpr int kDefaultTimeLimitMs = 15000;

    explicit RemoteModelList(QObject *parent = nullptr);
    ~RemoteModelList() override;

    // The whole request, connection included, must end within this.
    void setTimeLimitMs(int ms) { m_timeLimitMs = ms; }

    // Starts a fetch with the optional bearer key. A fetch still running is
    // dropped without a finished() of its own. A base URL that does not pass
    // parseBaseUrl finishes (later, on the event loop) with its message.
    void fetch(const QString &baseUrl, const QString &apiKey);
    // Drops the running fetch; no finished() follows.
    void cancel();
    bool isBusy() const { return !m_reply.isNull(); }

signals:
    // ids in the server's order, or an error for the user.
    void finished(const QStringList &ids, const QString &error);

private:
    void done(const QByteArray &body);

    QNetworkAccessManager *m_network = nullptr;
    QPointer<QNetworkReply> m_reply;
    QTimer *m_timer = nullptr;
    int m_timeLimitMs = kDefaultTimeLimitMs;
    bool m_sentKey = false;
    bool m_timedOut = false;
};
