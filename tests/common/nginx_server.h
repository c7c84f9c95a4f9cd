#pragma once

#include <QString>
#include <QTemporaryDir>

#include <memory>

class ChildProcess;

// nginx from the system on 127.0.0.1, as one foreground process of the current user with its own folder for config,
// pid, logs and temp files; killed when the object goes. Each access log line is
//   <method> <uri> <status> <body bytes sent> range=[<Range>] if-range=[<If-Range>]
// and is written just after the response went out (a test checking it right after a reply waits for it).
class NginxServer {
    Q_DISABLE_COPY(NginxServer)
public:
    // root: folder served at "/". extraLocations: text placed inside the server { } block, e.g.
    // "location /slow/ { limit_rate 100k; }".
    explicit NginxServer(const QString &root, const QString &extraLocations = {});
    ~NginxServer();

    bool start(); // false (with errorString()) when nginx is missing or did not come up
    QString errorString() const { return m_error; }
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_port); }
    QString accessLog() const;

private:
    QString m_root;
    QString m_extra;
    QTemporaryDir m_dir;
    std::unique_ptr<ChildProcess> m_process;
    quint16 m_port = 0;
    QString m_error;
};
