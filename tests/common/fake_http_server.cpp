#include "common/fake_http_server.h"

#include "common/test_support.h"
#include "platform/child_process.h"

#include <QSslKey>
#include <QSslServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

QByteArray FakeHttpServer::answer(const QByteArray &statusLine, const QByteArray &body)
{
    return "HTTP/1.1 " + statusLine + "\r\nContent-Type: application/json\r\nContent-Length: "
           + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

namespace {

// A certificate for 127.0.0.1 signed by itself, made once by openssl.
QSslConfiguration selfSignedTls()
{
    static const QSslConfiguration made = [] {
        QTemporaryDir dir;
        const QString key = dir.filePath(QStringLiteral("key.pem")), cert = dir.filePath(QStringLiteral("cert.pem"));
        const ChildProcess::Result openssl = ChildProcess::run(
            QStringLiteral("/usr/bin/openssl"),
            {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-subj",
             "/CN=127.0.0.1", "-days", "2", "-keyout", key, "-out", cert},
            30000, 1 << 20);
        if (!openssl.succeeded())
            qFatal("openssl could not make a certificate: %s %s", qPrintable(openssl.error),
                   openssl.standardError.constData());
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setLocalCertificate(QSslCertificate(readFileBytes(cert)));
        tls.setPrivateKey(QSslKey(readFileBytes(key), QSsl::Ec));
        return tls;
    }();
    return made;
}

} // namespace

FakeHttpServer::FakeHttpServer(const QList<QByteArray> &script)
    : m_script(script), m_server(script.value(0) == "<tls>" ? new QSslServer : new QTcpServer)
{
    if (auto *ssl = qobject_cast<QSslServer *>(m_server.get()))
        ssl->setSslConfiguration(selfSignedTls());
    m_server->listen(QHostAddress::LocalHost);
    QObject::connect(m_server.get(), &QTcpServer::pendingConnectionAvailable, m_server.get(), [this] {
        QTcpSocket *socket = m_server->nextPendingConnection();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
            request += socket->readAll();
            const qsizetype end = request.indexOf("\r\n\r\n");
            const QByteArray length = request.mid(request.indexOf("Content-Length: ") + 16).split('\r').first();
            if (end >= 0 && request.size() >= end + 4 + length.toInt() && !m_playing) {
                m_playing = true;
                play(socket, 0);
            }
        });
    });
}

void FakeHttpServer::play(QTcpSocket *socket, int step)
{
    for (; step < m_script.size(); ++step) {
        if (m_script[step] == "<pause>") {
            socket->flush();
            QTimer::singleShot(100, socket, [this, socket, step] { play(socket, step + 1); });
            return;
        }
        if (m_script[step] == "<close>" || m_script[step] == "<end>") {
            if (m_script[step] == "<close>")
                socket->abort();
            else
                socket->disconnectFromHost();
            return;
        }
        socket->write(m_script[step]);
    }
    socket->flush();
}
