#pragma once

#include <QString>
#include <QTemporaryDir>

#include <memory>

class ChildProcess;

// nginx from the system, run by one test on 127.0.0.1 with its own config,
// prefix, pid, lock, logs and temp paths, as a single foreground process of
// the current user (daemon off; master_process off). Stopped (SIGTERM, then
// SIGKILL after 5 s) and its folder removed when the object goes.
//
// Static files get 200, 206 for Range (also with If-Range), HEAD and 404 as
// nginx gives them. Each access log line is
//   <method> <uri> <status> <body bytes sent> range=[<Range>] if-range=[<If-Range>]
// and is written just after the response went out, so a test that checks it
// right after a reply finished waits for it (waitUntil).
class NginxServer {
public:
    // root: folder served at "/". extraLocations: extra text placed inside
    // the server { } block, e.g. "location /fail/ { return 500; }",
    // "location = /moved { return 302 /files/a.bin; }" or
    // "location /slow/ { limit_rate 100k; }".
    explicit NginxServer(const QString &root, const QString &extraLocations = {});
    ~NginxServer();
    NginxServer(const NginxServer &) = delete;
    NginxServer &operator=(const NginxServer &) = delete;

    bool start(); // false (with errorString()) when nginx is missing or did not come up
    QString errorString() const { return m_error; }
    quint16 port() const { return m_port; }
    QString baseUrl() const; // "http://127.0.0.1:<port>"
    QString accessLog() const;

private:
    enum class Attempt { Up, PortTaken, Failed };
    Attempt startOn(const QString &nginx, quint16 port);
    void stop();

    QString m_root;
    QString m_extra;
    QTemporaryDir m_dir;
    std::unique_ptr<ChildProcess> m_process;
    quint16 m_port = 0;
    QString m_error;
};
