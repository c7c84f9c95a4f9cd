#include "nginx_server.h"

#include "common/test_support.h"
#include "platform/child_process.h"

#include <QDir>
#include <QHostAddress>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>

NginxServer::NginxServer(const QString &root, const QString &extraLocations)
    : m_root(QDir(root).absolutePath()), m_extra(extraLocations), m_dir(QDir::tempPath() + QStringLiteral("/nginx-XXXXXX"))
{
}

NginxServer::~NginxServer() = default; // a child process is killed when it goes

QString NginxServer::accessLog() const
{
    return QString::fromUtf8(readFileBytes(m_dir.filePath(QStringLiteral("access.log"))));
}

bool NginxServer::start()
{
    const QString nginx =
        QStandardPaths::findExecutable(QStringLiteral("nginx"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin")});
    m_error = QStringLiteral("nginx is not installed (scripts/install-deps.sh installs it)");
    // Relative paths in the config are taken from the prefix, this server's own folder.
    const QString prefix = m_dir.path() + u'/';
    // A port found free may be taken by someone else before nginx binds it: then another is tried.
    for (int attempt = 0; attempt < 4 && !nginx.isEmpty(); ++attempt) {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        m_port = probe.serverPort();
        probe.close();
        QFile::remove(prefix + QStringLiteral("error.log"));
        QFile::remove(prefix + QStringLiteral("nginx.pid"));
        QFile conf(prefix + QStringLiteral("nginx.conf"));
        conf.open(QIODevice::WriteOnly | QIODevice::Truncate); // nginx says so when it cannot read it
        conf.write(QStringLiteral(
                       "daemon off;\n"
                       "master_process off;\n"
                       "pid nginx.pid;\n"
                       "events { }\n"
                       "http {\n"
                       "    sendfile on;\n"
                       "    log_format tests escape=none '$request_method $request_uri $status $body_bytes_sent "
                       "range=[$http_range] if-range=[$http_if_range]';\n"
                       "    access_log access.log tests;\n"
                       "    client_body_temp_path body;\n"
                       "    proxy_temp_path proxy;\n"
                       "    fastcgi_temp_path fastcgi;\n"
                       "    uwsgi_temp_path uwsgi;\n"
                       "    scgi_temp_path scgi;\n"
                       "    server {\n"
                       "        listen 127.0.0.1:%1;\n"
                       "        root \"%2\";\n"
                       "%3\n"
                       "    }\n"
                       "}\n")
                       .arg(QString::number(m_port), m_root, m_extra)
                       .toUtf8());
        conf.close();
        // A child process dies with us, so a test that crashes takes its server with it.
        const QStringList arguments = {QStringLiteral("-c"), conf.fileName(), QStringLiteral("-p"), prefix,
                                       QStringLiteral("-e"), prefix + QStringLiteral("error.log")};
        m_process = std::make_unique<ChildProcess>(nginx, arguments);
        m_process->setStandardError(ChildProcess::StreamMode::Merged);
        if (!m_process->start()) {
            m_error = QStringLiteral("cannot run %1: %2").arg(nginx, m_process->errorString());
            return false;
        }
        // nginx writes its pid file only once its sockets are bound, so a connect after that reached nginx and not
        // a program that took the port meanwhile.
        const QByteArray pid = QByteArray::number(m_process->processId());
        const bool up = waitUntil([&] {
            if (!m_process->isRunning())
                return true;
            if (readFileBytes(prefix + QStringLiteral("nginx.pid")).trimmed() != pid)
                return false;
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, m_port);
            return socket.waitForConnected(1000);
        }, 10000);
        if (up && m_process->isRunning())
            return true;
        const QByteArray output = m_process->takeBuffered(ChildProcess::Channel::StandardOutput);
        m_process.reset();
        m_error = QStringLiteral("nginx did not come up on port %1: ").arg(m_port)
                  + QString::fromLocal8Bit(readFileBytes(prefix + QStringLiteral("error.log")) + output).trimmed();
        if (!m_error.contains(QLatin1String("Address already in use")))
            return false;
    }
    return false;
}
