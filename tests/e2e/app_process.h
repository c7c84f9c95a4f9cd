#pragma once

#include "common/test_support.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>

#include <csignal>
#include <sys/prctl.h>

// One run of quorvane_e2e (QUORVANE_E2E) with its control connection (commands: see quorvane_e2e.cpp). Its standard
// error goes to ours, or is appended to errorLog when one is given.
class AppProcess {
public:
    explicit AppProcess(const QStringList &arguments, const QString &errorLog = {})
        : m_socketPath(m_dir.filePath(QStringLiteral("control")))
    {
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setStandardErrorFile(errorLog.isEmpty() ? QString("/dev/stderr") : errorLog, QIODevice::Append);
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        m_process.start(QStringLiteral(QUORVANE_E2E), arguments + QStringList{QStringLiteral("--control"), m_socketPath});
    }

    bool connect()
    {
        return waitUntil([&] {
            if (m_process.state() == QProcess::NotRunning)
                return true;
            m_socket.connectToServer(m_socketPath);
            return m_socket.waitForConnected(200);
        }, 30000) && m_socket.state() == QLocalSocket::ConnectedState;
    }

    QJsonObject send(const QStringList &command)
    {
        m_socket.write(command.join(u'\t').toUtf8() + '\n');
        m_socket.flush();
        while (!m_socket.canReadLine() && m_socket.waitForReadyRead(30000))
            continue;
        return QJsonDocument::fromJson(m_socket.readLine()).object(); // empty, so not "ok", without an answer
    }
    bool ok(const QStringList &command) { return send(command).value(QStringLiteral("ok")).toBool(); }
    QJsonObject state() { return send({QStringLiteral("state")}); }
    bool sendMessage(const QString &text)
    {
        const QString field = QStringLiteral("Send a message");
        return ok({QStringLiteral("type"), field, text}) && ok({QStringLiteral("key"), field, QStringLiteral("Return")});
    }
    bool waitForState(const std::function<bool(const QJsonObject &)> &pred, int timeoutMs = 30000)
    {
        return waitUntil([&] { return pred(state()); }, timeoutMs);
    }
    bool waitFor(const QString &field, const QJsonValue &value, int timeoutMs = 30000)
    {
        return waitForState([&](const QJsonObject &s) { return s.value(field) == value; }, timeoutMs);
    }
    QStringList texts()
    {
        return send({QStringLiteral("texts")}).value(QStringLiteral("texts")).toVariant().toStringList();
    }
    bool click(const QString &name) // once the control is shown
    {
        return waitUntil([&] { return ok({QStringLiteral("click"), name}); }, 30000);
    }

    void signal(int number) // never to pid 0, our own process group, once the program has ended
    {
        if (const auto pid = pid_t(m_process.processId()); pid > 0)
            ::kill(pid, number);
    }
    qint64 pid() const { return m_process.processId(); }
    bool waitForExit(int timeoutMs = 30000) { return m_process.waitForFinished(timeoutMs); }
    int exitCode() const { return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1; }

private:
    QTemporaryDir m_dir;
    QString m_socketPath;
    QProcess m_process; // kills the program, if still running, when it goes
    QLocalSocket m_socket;
};
