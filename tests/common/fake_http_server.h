#pragma once

#include <QTcpServer>

#include <memory>

// A loopback server that answers its first request with a script of writes: "<pause>" waits 100 ms, "<close>"
// drops the connection, "<end>" closes it once everything is sent. With the script "<tls>" it speaks TLS with a
// certificate signed by itself and plays nothing.
class FakeHttpServer {
public:
    explicit FakeHttpServer(const QList<QByteArray> &script);
    quint16 port() const { return m_server->serverPort(); }
    QByteArray request; // what the one request brought, head and body

    static QByteArray chunk(const QByteArray &bytes) // one piece of a chunked body
    {
        return QByteArray::number(bytes.size(), 16) + "\r\n" + bytes + "\r\n";
    }
    static QByteArray answer(const QByteArray &statusLine, const QByteArray &body); // a whole JSON answer
    // a 200 event stream, chunked
    static constexpr const char *kStreamHead =
        "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n";

private:
    void play(QTcpSocket *socket, int step);

    QList<QByteArray> m_script;
    std::unique_ptr<QTcpServer> m_server;
    bool m_playing = false;
};
