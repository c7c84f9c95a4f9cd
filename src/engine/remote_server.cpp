#include "engine/remote_server.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

namespace remoteserver {

namespace {

// The texts of this file shown to the user, translated in one context.
struct Text {
    Q_DECLARE_TR_FUNCTIONS(RemoteServer)
};

QString example() { return Text::tr("for example http://192.168.1.20:8080"); }

// The reason an error answer gives, as OpenAI-style servers write it
// ({"error": {"message": ...}}, {"error": "..."}) or FastAPI's {"detail": ...}.
QString serverReason(const QByteArray &body)
{
    const QJsonObject o = QJsonDocument::fromJson(body).object();
    const QJsonValue error = o.value(QLatin1String("error"));
    QString reason = error.isObject() ? error.toObject().value(QLatin1String("message")).toString() : error.toString();
    if (reason.isEmpty())
        reason = o.value(QLatin1String("detail")).toString();
    reason = reason.simplified();
    if (reason.size() > 200)
        reason = reason.left(200) + QChar(0x2026);
    return reason.isEmpty() ? QString() : QStringLiteral(": ") + reason;
}

} // namespace

BaseUrl parseBaseUrl(const QString &text)
{
    const QString typed = text.trimmed();
    if (typed.isEmpty())
        return {{}, Text::tr("Enter the server's address, %1.").arg(example())};
    QUrl url(typed, QUrl::StrictMode);
    const QString scheme = typed.section(QLatin1String("://"), 0, 0).toLower();
    if (!typed.contains(QLatin1String("://")) || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return {{}, Text::tr("The address must start with http:// or https://, %1.").arg(example())};
    if (!url.isValid())
        return {{}, Text::tr("\"%1\" is not a valid address.").arg(typed)};
    if (url.host().isEmpty())
        return {{}, Text::tr("\"%1\" names no server, %2.").arg(typed, example())};
    if (!url.userInfo().isEmpty())
        return {{}, Text::tr("Put the API key in its own field, not in the address.")};
    if (url.hasQuery() || url.hasFragment())
        return {{}, Text::tr("The address cannot contain \"?\" or \"#\".")};
    QString path = url.path();
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    if (path.endsWith(QLatin1String("/v1")))
        path.chop(3);
    url.setPath(path);
    return {url, {}};
}

QUrl endpoint(const QUrl &base, const QString &path)
{
    QUrl url = base;
    url.setPath(base.path() + QStringLiteral("/v1/") + path);
    return url;
}

namespace {

QString seconds(int ms)
{
    const int n = (ms + 999) / 1000;
    return n == 1 ? Text::tr("1 second") : Text::tr("%1 seconds").arg(n);
}

// An answer that is not 2xx.
QString statusFailure(const QUrl &url, int status, const QByteArray &body, bool sentKey)
{
    const QString server = url.authority();
    const QString reason = serverReason(body);
    if (status == 401 || status == 403)
        return (sentKey ? Text::tr("The server at %1 did not accept the API key (HTTP %2%3). Check the key.")
                        : Text::tr("The server at %1 needs an API key (HTTP %2%3)."))
            .arg(server, QString::number(status), reason);
    if (status == 404)
        return Text::tr("The server at %1 has no %2 (HTTP 404%3). Check the address and the model.")
            .arg(server, url.path(), reason);
    if (status >= 500)
        return Text::tr("The server at %1 failed (HTTP %2%3).").arg(server, QString::number(status), reason);
    return Text::tr("The server at %1 answered HTTP %2%3.").arg(server, QString::number(status), reason);
}

QString refused(const QString &server)
{
    return Text::tr("The server at %1 refused the connection. Check the address and the port, "
                    "and that the server is running.")
        .arg(server);
}

} // namespace

QString failureMessage(QNetworkReply *reply, const QByteArray &body, bool sentKey, bool timedOut, int timeLimitMs)
{
    const QUrl url = reply->url();
    const QString server = url.authority();
    if (timedOut)
        return Text::tr("The server at %1 did not answer within %2.").arg(server, seconds(timeLimitMs));
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 200 && status <= 299)
        return reply->error() == QNetworkReply::NoError
                   ? QString()
                   : Text::tr("The answer from the server at %1 broke off: %2").arg(server, reply->errorString());
    if (status == 0) {
        switch (reply->error()) {
        case QNetworkReply::ConnectionRefusedError:
            return refused(server);
        case QNetworkReply::HostNotFoundError:
            return Text::tr("The server %1 could not be found. Check the address.").arg(url.host());
        case QNetworkReply::SslHandshakeFailedError:
            return Text::tr("The secure connection to %1 failed: %2").arg(server, reply->errorString());
        default:
            return Text::tr("Could not reach the server at %1: %2").arg(server, reply->errorString());
        }
    }
    return statusFailure(url, status, body, sentKey);
}

QString replyFailureMessage(const HttpResult &result, const QUrl &url, bool sentKey, int silenceLimitMs,
                            bool hasPartialReply)
{
    const QString server = url.authority();
    switch (result.outcome) {
    case HttpOutcome::ConnectionRefused:
        return refused(server);
    case HttpOutcome::Unauthorized:
    case HttpOutcome::NotFound:
    case HttpOutcome::ClientError:
    case HttpOutcome::ServerError:
        return statusFailure(url, result.status, result.body, sentKey);
    case HttpOutcome::Certificate:
        return Text::tr("The secure connection to %1 failed: %2").arg(server, result.message);
    case HttpOutcome::Silence:
        return Text::tr("The server at %1 sent nothing for %2.").arg(server, seconds(silenceLimitMs));
    case HttpOutcome::Complete:
    case HttpOutcome::CutOff:
        return (hasPartialReply ? Text::tr("The reply above was cut off: the connection to the server at %1 "
                                           "closed before the reply ended.")
                                : Text::tr("The connection to the server at %1 closed before the reply began."))
            .arg(server);
    default:
        return Text::tr("Could not reach the server at %1: %2").arg(server, result.message);
    }
}

} // namespace remoteserver

RemoteModelList::RemoteModelList(QObject *parent) : QObject(parent) {}

RemoteModelList::~RemoteModelList() { cancel(); }

void RemoteModelList::fetch(const QString &baseUrl, const QString &apiKey)
{
    cancel();
    const remoteserver::BaseUrl base = remoteserver::parseBaseUrl(baseUrl);
    if (!base.ok()) {
        QTimer::singleShot(0, this, [this, error = base.error] { emit finished({}, error); });
        return;
    }
    if (!m_network) {
        m_network = new QNetworkAccessManager(this);
        // the key goes only where it was meant to go
        m_network->setRedirectPolicy(QNetworkRequest::SameOriginRedirectPolicy);
        m_timer = new QTimer(this);
        m_timer->setSingleShot(true);
        connect(m_timer, &QTimer::timeout, this, [this] {
            m_timedOut = true;
            if (m_reply)
                m_reply->abort();
        });
    }
    QNetworkRequest request(remoteserver::endpoint(base.url, QStringLiteral("models")));
    request.setRawHeader("Accept", "application/json");
    m_sentKey = !apiKey.isEmpty();
    if (m_sentKey)
        request.setRawHeader("Authorization", "Bearer " + apiKey.toUtf8());
    m_timedOut = false;
    m_reply = m_network->get(request);
    QNetworkReply *reply = m_reply;
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        if (reply == m_reply)
            done(reply->isOpen() ? reply->readAll() : QByteArray());
        reply->deleteLater();
    });
    m_timer->start(m_timeLimitMs);
}

void RemoteModelList::cancel()
{
    if (m_timer)
        m_timer->stop();
    if (QNetworkReply *reply = m_reply) {
        m_reply = nullptr;
        reply->abort();
    }
}

void RemoteModelList::done(const QByteArray &body)
{
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    m_timer->stop();
    const QString server = reply->url().authority();
    QString error = remoteserver::failureMessage(reply, body, m_sentKey, m_timedOut, m_timeLimitMs);
    QStringList ids;
    if (error.isEmpty()) {
        QJsonParseError parse{};
        const QJsonDocument doc = QJsonDocument::fromJson(body, &parse);
        const QJsonValue data = doc.object().value(QLatin1String("data"));
        for (const QJsonValue &entry : data.toArray()) {
            const QString id = entry.toObject().value(QLatin1String("id")).toString();
            if (!id.isEmpty())
                ids << id;
        }
        if (parse.error != QJsonParseError::NoError)
            error = tr("The server at %1 did not send a model list: its answer is not JSON.").arg(server);
        else if (!data.isArray())
            error = tr("The server at %1 did not send a model list: its answer has no \"data\" list.").arg(server);
        else if (ids.isEmpty())
            error = tr("The server at %1 offers no models.").arg(server);
    }
    emit finished(ids, error);
}
