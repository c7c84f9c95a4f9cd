#include "nginx_server.h"

#include "platform/child_process.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>

namespace {

QString quoted(const QString &path)
{
    QString s = path;
    s.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('"'), QLatin1String("\\\""));
    return QLatin1Char('"') + s + QLatin1Char('"');
}

quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

QString readText(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

} // namespace

NginxServer::NginxServer(const QString &root, const QString &extraLocations)
    : m_root(QDir(root).absolutePath()), m_extra(extraLocations), m_dir(QDir::tempPath() + QStringLiteral("/nginx-XXXXXX"))
{
}

NginxServer::~NginxServer() { stop(); }

QString NginxServer::baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_port); }

QString NginxServer::accessLog() const { return readText(m_dir.filePath(QStringLiteral("access.log"))); }

bool NginxServer::start()
{
    m_error.clear();
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("cannot make a temporary folder for nginx");
        return false;
    }
    const QString nginx =
        QStandardPaths::findExecutable(QStringLiteral("nginx"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin")});
    if (nginx.isEmpty()) {
        m_error = QStringLiteral("nginx is not installed (scripts/install-deps.sh installs it)");
        return false;
    }
    for (int attempt = 0; attempt < 4; ++attempt) {
        const quint16 port = freePort();
        if (port == 0) {
            m_error = QStringLiteral("no free port on 127.0.0.1");
            return false;
        }
        switch (startOn(nginx, port)) {
        case Attempt::Up:
            m_port = port;
            return true;
        case Attempt::PortTaken:
            continue;
        case Attempt::Failed:
            return false;
        }
    }
    m_error = QStringLiteral("nginx found every chosen port taken");
    return false;
}

NginxServer::Attempt NginxServer::startOn(const QString &nginx, quint16 port)
{
    const QString prefix = m_dir.path();
    const auto in = [&](const char *name) { return quoted(prefix + QLatin1Char('/') + QLatin1String(name)); };
    QDir().mkpath(prefix + QStringLiteral("/temp"));
    QFile::remove(prefix + QStringLiteral("/error.log"));
    QFile::remove(prefix + QStringLiteral("/nginx.pid"));

    const QString conf = QStringLiteral(
        "daemon off;\n"
        "master_process off;\n"
        "worker_processes 1;\n"
        "pid %1;\n"
        "lock_file %2;\n"
        "error_log %3 info;\n"
        "events { worker_connections 256; }\n"
        "http {\n"
        "    types { application/octet-stream bin gguf gz; application/json json; }\n"
        "    default_type application/octet-stream;\n"
        "    sendfile on;\n"
        "    server_tokens off;\n"
        "    log_format tests escape=none '$request_method $request_uri $status $body_bytes_sent "
        "range=[$http_range] if-range=[$http_if_range]';\n"
        "    access_log %4 tests;\n"
        "    client_body_temp_path %5;\n"
        "    proxy_temp_path %6;\n"
        "    fastcgi_temp_path %7;\n"
        "    uwsgi_temp_path %8;\n"
        "    scgi_temp_path %9;\n"
        "    server {\n"
        "        listen 127.0.0.1:%10;\n"
        "        root %11;\n"
        "%12\n"
        "    }\n"
        "}\n")
        .arg(in("nginx.pid"), in("nginx.lock"), in("error.log"), in("access.log"), in("temp/body"),
             in("temp/proxy"), in("temp/fastcgi"), in("temp/uwsgi"), in("temp/scgi"), QString::number(port),
             quoted(m_root), m_extra);
    const QString confPath = prefix + QStringLiteral("/nginx.conf");
    QFile f(confPath);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(conf.toUtf8()) < 0) {
        m_error = QStringLiteral("cannot write %1").arg(confPath);
        return Attempt::Failed;
    }
    f.close();

    // A test that crashes or is killed takes its server with it (a child
    // process dies with us).
    m_process = std::make_unique<ChildProcess>(
        nginx, QStringList{QStringLiteral("-c"), confPath, QStringLiteral("-p"), prefix + QLatin1Char('/'),
                           QStringLiteral("-e"), prefix + QStringLiteral("/error.log")});
    m_process->setStandardError(ChildProcess::StreamMode::Merged);
    if (!m_process->start()) {
        m_error = QStringLiteral("cannot run %1: %2").arg(nginx, m_process->errorString());
        return Attempt::Failed;
    }

    // nginx writes its pid file only once its sockets are bound, so a
    // connect that succeeds after that reached nginx and not a program that
    // took the port meanwhile.
    const QString errorLog = prefix + QStringLiteral("/error.log");
    const QString pid = QString::number(m_process->processId());
    const QDeadlineTimer deadline(10000);
    bool portTaken = false;
    while (!deadline.hasExpired()) {
        if (m_process->waitForExit(20))
            break;
        portTaken = readText(errorLog).contains(QLatin1String("Address already in use"));
        if (portTaken)
            break;
        if (readText(prefix + QStringLiteral("/nginx.pid")).trimmed() != pid)
            continue;
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (socket.waitForConnected(1000))
            return Attempt::Up;
    }

    const QString log = readText(errorLog);
    const QString output = QString::fromLocal8Bit(m_process->takeBuffered(ChildProcess::Channel::StandardOutput));
    const bool exited = !m_process->isRunning();
    stop();
    if (portTaken || log.contains(QLatin1String("Address already in use")))
        return Attempt::PortTaken;
    m_error = (exited ? QStringLiteral("nginx exited on port %1").arg(port)
                      : QStringLiteral("nginx did not listen on port %1 within 10 s").arg(port))
        + QStringLiteral(": ") + (log.isEmpty() ? output : log).trimmed();
    return Attempt::Failed;
}

void NginxServer::stop()
{
    if (!m_process || !m_process->isRunning())
        return;
    m_process->terminate();
    if (!m_process->waitForExit(5000)) {
        m_process->kill();
        m_process->waitForExit(5000);
    }
}
