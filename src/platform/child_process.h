#pragma once

#include "platform/process_handle.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <thread>

// One child process started from an absolute executable path with an
// explicit argument list (no shell). Each standard stream is a pipe, the null
// device or inherited from us. Output on the pipes is read as it arrives by a
// reader thread of the object's own and handed to callbacks on that thread;
// a second thread waits for the exit. Nothing here needs an event loop.
//
// Signals are sent only while the child has not been reaped (reaping and
// signalling share one lock), so terminate() and kill() never reach another
// process that got the same identifier later; both may be called from any
// thread. On Linux every child gets SIGKILL when this application dies.
//
// Destroying the object while the child runs kills it (SIGKILL) and reaps it.
class ChildProcess : public ProcessHandle {
public:
    // Merged is for the standard error only: it goes into the standard
    // output's pipe (or wherever the standard output goes).
    enum class StreamMode { Pipe, Null, Inherit, Merged };
    enum class Channel { StandardOutput, StandardError };
    // Numbered as the logs show the exit reason.
    enum class ExitReason { None = 0, Exit = 1, Signal = 2 };

    // A chunk of bytes as it was read; an empty chunk once, at end of stream.
    using DataCallback = std::function<void(const QByteArray &chunk)>;

    ChildProcess();
    ChildProcess(QString program, QStringList arguments);
    ~ChildProcess() override;
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Set up before start(). By default the standard input is the null device
    // and both outputs are pipes; the child inherits our environment and
    // working directory.
    void setProgram(const QString &absolutePath) { m_program = absolutePath; }
    void setArguments(const QStringList &arguments) { m_arguments = arguments; }
    void setWorkingDirectory(const QString &directory) { m_workingDirectory = directory; }
    // "NAME=value" entries replacing the inherited environment.
    void setEnvironment(const QStringList &entries) { m_environment = entries; }
    void setStandardInput(StreamMode mode) { m_modes[0] = mode; }
    void setStandardOutput(StreamMode mode) { m_modes[1] = mode; }
    void setStandardError(StreamMode mode) { m_modes[2] = mode; }
    // The child leads a new process group, and terminate() and kill() reach
    // the whole group (a build tool and the compilers it started).
    void setOwnProcessGroup(bool own) { m_ownProcessGroup = own; }
    const QString &program() const { return m_program; }
    const QStringList &arguments() const { return m_arguments; }

    // Install before start() to see every byte. May be changed or removed
    // (nullptr) while the child runs: once the call returns, no call of the
    // old callback is running any more, and bytes read while none is
    // installed are kept for takeBuffered(). A callback may release the
    // last owner of this object; it must not throw, nor wait for the reading
    // of its own process to end.
    void setOutputCallback(Channel channel, DataCallback callback);

    // Launches the child. On failure returns false and errorString() tells
    // why, naming the path at fault ("/x/llama-completion: No such file or
    // directory"). A process object runs at most one child.
    bool start();
    QString errorString() const { return m_errorString; }
    int errorNumber() const { return m_errorNumber; }

    // Closing the standard-input pipe (StreamMode::Pipe) gives the child end of file.
    void closeStandardInput();

    bool isRunning() const override;
    // The child's identifier once started (also after it exited), else -1.
    qint64 processId() const override;
    void terminate() override; // SIGTERM
    void kill() override;      // SIGKILL

    // Blocks until the child has exited and been reaped. False when it was
    // never started or the time ran out.
    bool waitForExit();
    bool waitForExit(int timeoutMs);

    ExitReason exitReason() const;
    // The exit code after a normal exit, the signal number after a signal.
    int exitStatus() const;

    // Output may still be in the pipes when the child has exited (or a child
    // of its own may hold them open). True once both piped outputs reached
    // end of stream and every chunk went to its callback.
    bool atEnd(Channel channel) const;
    bool waitForReadEnd(int timeoutMs);
    // Bytes read while the channel had no callback.
    QByteArray takeBuffered(Channel channel);
    // Stops reading and closes our ends of the output pipes; what the child
    // writes afterwards is lost (it gets EPIPE). Waits for a callback that is
    // running, unless called from one.
    void stopReading();

    // Runs a program to its end with the standard input on the null device,
    // collecting at most maxOutputBytes of each output (the rest is read and
    // dropped). Past timeoutMs (negative: no limit) the child gets SIGTERM,
    // and killGraceMs later SIGKILL if it still runs (negative: wait for it).
    // After the exit the outputs are read for at most 5 more seconds.
    struct Result {
        bool started = false;
        QString error; // why it could not be launched
        bool timedOut = false;
        ExitReason reason = ExitReason::None;
        int status = -1;
        QByteArray standardOutput;
        QByteArray standardError;
        bool outputTruncated = false;
        bool errorTruncated = false;
        // Launched, not timed out, exit status 0.
        bool succeeded() const { return started && !timedOut && reason == ExitReason::Exit && status == 0; }
    };
    static Result run(const QString &program, const QStringList &arguments, int timeoutMs,
                      qsizetype maxOutputBytes, int killGraceMs = 5000);

    struct State; // shared with the reader and waiter threads

private:
    void setError(int error, const QString &path);
    void sendSignal(int signalNumber);

    QString m_program;
    QStringList m_arguments;
    QString m_workingDirectory;
    std::optional<QStringList> m_environment;
    StreamMode m_modes[3] = {StreamMode::Null, StreamMode::Pipe, StreamMode::Pipe};
    bool m_ownProcessGroup = false;

    QString m_errorString;
    int m_errorNumber = 0;

    std::shared_ptr<State> m_state;
    std::thread m_reader;
    std::thread m_waiter;
};
