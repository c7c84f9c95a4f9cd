#include "common/fake_http_server.h"

#include <QSslServer>
#include <QTcpSocket>
#include <QTimer>

QByteArray FakeHttpServer::chunk(const QByteArray &bytes)
{
    return QByteArray::number(bytes.size(), 16) + "\r\n" + bytes + "\r\n";
}

QByteArray FakeHttpServer::answer(const QByteArray &statusLine, const QByteArray &body)
{
    return "HTTP/1.1 " + statusLine + "\r\nContent-Type: application/json\r\nContent-Length: "
           + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

FakeHttpServer::FakeHttpServer(const QList<QByteArray> &script, const QSslConfiguration &tls)
    : m_script(script), m_server(script.value(0) == "<tls>" ? new QSslServer : new QTcpServer)
{
    if (auto *ssl = qobject_cast<QSslServer *>(m_server.get()))
        ssl->setSslConfiguration(tls);
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
        if (m_script[step] == "<close>") {
            socket->abort();
            return;
        }
        socket->write(m_script[step]);
    }
    socket->flush();
}
