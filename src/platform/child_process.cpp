#include "platform/child_process.h"

#include "platform/child_launch.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtGlobal>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

using ExitReason = ChildProcess::ExitReason;

struct ChildProcess::State {
    mutable std::mutex mutex; // guards everything below but the callbacks and stdin
    std::condition_variable changed;
    pid_t pid = -1;
    bool started = false;
    bool reaped = false; // signals go out only while false, under the mutex
    ExitReason reason = ExitReason::None;
    int status = -1;
    bool ended[2] = {true, true};
    bool readerDone = true;
    QByteArray buffered[2];
    int wakeWrite = -1; // closing it stops the reader

    std::mutex callbackMutex; // held while a callback runs
    std::shared_ptr<const DataCallback> callbacks[2];
    std::atomic<std::thread::id> readerThread{};

    std::mutex stdinMutex;
    int stdinFd = -1;
};

using namespace child_launch;

namespace {

constexpr size_t kReadChunk = 64 * 1024;

void deliver(ChildProcess::State &state, int channel, const QByteArray &chunk)
{
    std::unique_lock lock(state.callbackMutex);
    const auto callback = state.callbacks[channel]; // survives being replaced from inside itself
    if (callback) {
        try {
            (*callback)(chunk);
        } catch (...) {
            qWarning("ChildProcess: an output callback threw; the exception was dropped");
        }
        return;
    }
    lock.unlock();
    if (!chunk.isEmpty()) {
        std::lock_guard stateLock(state.mutex);
        state.buffered[channel] += chunk;
    }
}

void readerLoop(std::shared_ptr<ChildProcess::State> state, int outFd, int errFd, int wakeFd)
{
    state->readerThread = std::this_thread::get_id();
    int fds[2] = {outFd, errFd};
    const auto buffer = std::make_unique<char[]>(kReadChunk);
    while (fds[0] >= 0 || fds[1] >= 0) {
        pollfd polled[3];
        int channelOf[3];
        nfds_t count = 0;
        polled[count] = {wakeFd, POLLIN, 0};
        channelOf[count++] = -1;
        for (int c = 0; c < 2; ++c) {
            if (fds[c] >= 0) {
                polled[count] = {fds[c], POLLIN, 0};
                channelOf[count++] = c;
            }
        }
        const int ready = ::poll(polled, count, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || polled[0].revents != 0) // stop requested (or poll broke)
            break;
        for (nfds_t i = 1; i < count; ++i) {
            if (polled[i].revents == 0)
                continue;
            const int c = channelOf[i];
            const ssize_t got = ::read(fds[c], buffer.get(), kReadChunk);
            if (got > 0) {
                deliver(*state, c, QByteArray(buffer.get(), qsizetype(got)));
                continue;
            }
            if (got < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            ::close(fds[c]);
            fds[c] = -1;
            deliver(*state, c, QByteArray());
            std::lock_guard lock(state->mutex);
            state->ended[c] = true;
            state->changed.notify_all();
        }
    }
    for (int fd : fds) {
        if (fd >= 0)
            ::close(fd);
    }
    ::close(wakeFd);
    std::lock_guard lock(state->mutex);
    state->ended[0] = state->ended[1] = true;
    state->readerDone = true;
    state->changed.notify_all();
}

// Waits for the exit without reaping, then reaps under the state's lock, so
// that no signal can go out between the reaping and the flag.
void waiterLoop(std::shared_ptr<ChildProcess::State> state, pid_t pid)
{
    bool canWaitWithoutReaping = true;
    for (;;) {
        {
            std::lock_guard lock(state->mutex);
            int status = 0;
            const pid_t got = ::waitpid(pid, &status, WNOHANG);
            if (got == pid || (got < 0 && errno != EINTR)) {
                if (got == pid && WIFEXITED(status)) {
                    state->reason = ExitReason::Exit;
                    state->status = WEXITSTATUS(status);
                } else if (got == pid && WIFSIGNALED(status)) {
                    state->reason = ExitReason::Signal;
                    state->status = WTERMSIG(status);
                } // else reaped behind our back (SIGCHLD ignored): the status is unknown
                state->reaped = true;
                state->changed.notify_all();
                return;
            }
        }
        if (canWaitWithoutReaping) {
            siginfo_t info{};
            if (::waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT) != 0 && errno != EINTR)
                canWaitWithoutReaping = false;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

} // namespace

ChildProcess::ChildProcess() : m_state(std::make_shared<State>()) {}

ChildProcess::ChildProcess(QString program, QStringList arguments)
    : m_program(std::move(program)), m_arguments(std::move(arguments)), m_state(std::make_shared<State>())
{
}

ChildProcess::~ChildProcess()
{
    sendSignal(SIGKILL); // nothing once it has exited
    closeStandardInput();
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->wakeWrite >= 0)
            ::close(std::exchange(m_state->wakeWrite, -1));
    }
    if (m_waiter.joinable())
        m_waiter.join();
    if (m_reader.joinable()) {
        if (m_reader.get_id() == std::this_thread::get_id())
            m_reader.detach(); // destroyed from a callback: the reader ends on its own
        else
            m_reader.join();
    }
}

void ChildProcess::setOutputCallback(Channel channel, DataCallback callback)
{
    const int c = channel == Channel::StandardOutput ? 0 : 1;
    auto shared = callback ? std::make_shared<const DataCallback>(std::move(callback)) : nullptr;
    // Before start() there is no reader, so no callback can run: no lock is
    // needed (and none taken under a lock of the caller's that a callback
    // takes too).
    if (!m_reader.joinable() || m_state->readerThread.load() == std::this_thread::get_id()) {
        m_state->callbacks[c] = std::move(shared); // or we hold the callback lock already
        return;
    }
    std::lock_guard lock(m_state->callbackMutex);
    m_state->callbacks[c] = std::move(shared);
}

void ChildProcess::setError(int error, const QString &path)
{
    m_errorNumber = error;
    m_errorString = path + QLatin1String(": ") + qt_error_string(error);
}

bool ChildProcess::start()
{
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->started) {
            m_errorNumber = EBUSY;
            m_errorString = m_program + QLatin1String(": the process object was already used");
            return false;
        }
    }
    if (m_program.isEmpty() || !QDir::isAbsolutePath(m_program)) {
        m_errorNumber = EINVAL;
        m_errorString = QLatin1Char('"') + m_program + QLatin1String("\": not an absolute path");
        return false;
    }

    // The child's ends and ours of the three streams.
    Fd childEnd[3], ourEnd[3];
    for (int i = 0; i < 3; ++i) {
        switch (m_modes[i]) {
        case StreamMode::Pipe: {
            const bool ok = i == 0 ? makePipe(childEnd[i], ourEnd[i]) : makePipe(ourEnd[i], childEnd[i]);
            if (!ok) {
                setError(errno, QStringLiteral("pipe"));
                return false;
            }
            break;
        }
        case StreamMode::Null:
            childEnd[i] = openNullDevice(i == 0 ? O_RDONLY : O_WRONLY);
            if (childEnd[i].get() < 0) {
                setError(errno, QStringLiteral("/dev/null"));
                return false;
            }
            break;
        case StreamMode::Inherit:
        case StreamMode::Merged:
            break;
        }
    }
    const bool reading = ourEnd[1].get() >= 0 || ourEnd[2].get() >= 0;
    Fd wakeRead, wakeWrite;
    if (reading && !makePipe(wakeRead, wakeWrite)) {
        setError(errno, QStringLiteral("pipe"));
        return false;
    }

    // Everything the child needs, prepared before it exists.
    const QByteArray path = QFile::encodeName(m_program);
    std::vector<QByteArray> argStorage{path};
    for (const QString &argument : std::as_const(m_arguments))
        argStorage.push_back(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &argument : argStorage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<QByteArray> envStorage;
    std::vector<char *> envp;
    if (m_environment) {
        for (const QString &entry : std::as_const(*m_environment))
            envStorage.push_back(entry.toLocal8Bit());
        for (QByteArray &entry : envStorage)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
    }
    const QByteArray directory = QFile::encodeName(m_workingDirectory);

    LaunchPlan plan;
    plan.path = path.constData();
    plan.argv = argv.data();
    plan.envp = m_environment ? envp.data() : nullptr;
    plan.directory = m_workingDirectory.isEmpty() ? nullptr : directory.constData();
    for (int i = 0; i < 3; ++i)
        plan.streams[i] = childEnd[i].get();
    if (m_modes[2] == StreamMode::Merged)
        plan.streams[2] = plan.streams[1];
    plan.newProcessGroup = m_ownProcessGroup;

    const LaunchOutcome outcome = launchChild(plan);
    for (Fd &fd : childEnd) // only the child holds them now, so end of stream can come
        fd.reset();
    if (outcome.error != 0) {
        int error = outcome.error;
        // posix_spawn does not say which step failed
        const bool inDirectory =
            outcome.inDirectory || (!m_workingDirectory.isEmpty() && !QFileInfo(m_workingDirectory).isDir());
        if (!inDirectory && error == EACCES && QFileInfo(m_program).isDir())
            error = EISDIR;
        setError(error, inDirectory ? m_workingDirectory : m_program);
        return false;
    }

    {
        std::lock_guard lock(m_state->mutex);
        m_state->pid = outcome.pid;
        m_state->started = true;
        m_state->ended[0] = ourEnd[1].get() < 0;
        m_state->ended[1] = ourEnd[2].get() < 0;
        m_state->readerDone = !reading;
    }
    {
        std::lock_guard lock(m_state->stdinMutex);
        m_state->stdinFd = ourEnd[0].release();
    }

    try {
        m_waiter = std::thread(waiterLoop, m_state, outcome.pid);
    } catch (const std::system_error &failure) {
        // Without a waiter nobody would reap it: end it here.
        std::lock_guard lock(m_state->mutex);
        ::kill(outcome.pid, SIGKILL);
        while (::waitpid(outcome.pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        m_state->reaped = true;
        m_state->readerDone = true;
        m_state->ended[0] = m_state->ended[1] = true;
        setError(failure.code().value(), m_program);
        return false;
    }
    if (reading) {
        try {
            m_reader = std::thread(readerLoop, m_state, ourEnd[1].get(), ourEnd[2].get(), wakeRead.get());
            ourEnd[1].release();
            ourEnd[2].release();
            wakeRead.release();
            std::lock_guard lock(m_state->mutex);
            m_state->wakeWrite = wakeWrite.release();
        } catch (const std::system_error &failure) {
            kill();
            m_waiter.join();
            std::lock_guard lock(m_state->mutex);
            m_state->readerDone = true;
            m_state->ended[0] = m_state->ended[1] = true;
            setError(failure.code().value(), m_program);
            return false;
        }
    }
    return true;
}

void ChildProcess::closeStandardInput()
{
    std::lock_guard lock(m_state->stdinMutex);
    if (m_state->stdinFd >= 0)
        ::close(std::exchange(m_state->stdinFd, -1));
}

bool ChildProcess::isRunning() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->started && !m_state->reaped;
}

qint64 ChildProcess::processId() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->started ? qint64(m_state->pid) : -1;
}

void ChildProcess::sendSignal(int signalNumber)
{
    std::lock_guard lock(m_state->mutex);
    if (m_state->started && !m_state->reaped && m_state->pid > 0)
        ::kill(m_ownProcessGroup ? -m_state->pid : m_state->pid, signalNumber);
}

void ChildProcess::terminate() { sendSignal(SIGTERM); }

void ChildProcess::kill() { sendSignal(SIGKILL); }

bool ChildProcess::waitForExit() { return waitForExit(-1); }

bool ChildProcess::waitForExit(int timeoutMs)
{
    std::unique_lock lock(m_state->mutex);
    if (!m_state->started)
        return false;
    const auto exited = [&] { return m_state->reaped; };
    if (timeoutMs < 0) {
        m_state->changed.wait(lock, exited);
        return true;
    }
    return m_state->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), exited);
}

ChildProcess::ExitReason ChildProcess::exitReason() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->reason;
}

int ChildProcess::exitStatus() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->status;
}

bool ChildProcess::atEnd(Channel channel) const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->ended[channel == Channel::StandardOutput ? 0 : 1];
}

bool ChildProcess::waitForReadEnd(int timeoutMs)
{
    std::unique_lock lock(m_state->mutex);
    const auto done = [&] { return m_state->readerDone; };
    if (timeoutMs < 0) {
        m_state->changed.wait(lock, done);
        return true;
    }
    return m_state->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
}

QByteArray ChildProcess::takeBuffered(Channel channel)
{
    std::lock_guard lock(m_state->mutex);
    return std::exchange(m_state->buffered[channel == Channel::StandardOutput ? 0 : 1], QByteArray());
}

void ChildProcess::stopReading()
{
    std::unique_lock lock(m_state->mutex);
    if (m_state->wakeWrite >= 0)
        ::close(std::exchange(m_state->wakeWrite, -1));
    if (m_state->readerThread.load() == std::this_thread::get_id())
        return;
    m_state->changed.wait(lock, [&] { return m_state->readerDone; });
}

ChildProcess::Result ChildProcess::run(const QString &program, const QStringList &arguments, int timeoutMs,
                                       qsizetype maxOutputBytes, int killGraceMs)
{
    struct Collected {
        std::mutex mutex;
        QByteArray bytes[2];
        bool truncated[2] = {false, false};
    };
    const auto collected = std::make_shared<Collected>();

    ChildProcess process(program, arguments);
    process.setStandardInput(StreamMode::Null);
    for (int c = 0; c < 2; ++c) {
        process.setOutputCallback(c == 0 ? Channel::StandardOutput : Channel::StandardError,
                                  [collected, c, maxOutputBytes](const QByteArray &chunk) {
                                      std::lock_guard lock(collected->mutex);
                                      QByteArray &bytes = collected->bytes[c];
                                      const qsizetype room = maxOutputBytes < 0 ? chunk.size()
                                                                                : maxOutputBytes - bytes.size();
                                      if (room >= chunk.size()) {
                                          bytes += chunk;
                                      } else {
                                          bytes += chunk.left(qMax<qsizetype>(room, 0));
                                          collected->truncated[c] = true;
                                      }
                                  });
    }

    Result result;
    if (!process.start()) {
        result.error = process.errorString();
        return result;
    }
    result.started = true;
    if (!process.waitForExit(timeoutMs)) {
        result.timedOut = true;
        process.terminate();
        if (killGraceMs >= 0 && !process.waitForExit(killGraceMs))
            process.kill();
        process.waitForExit();
    }
    process.waitForReadEnd(5000);
    process.stopReading();

    result.reason = process.exitReason();
    result.status = process.exitStatus();
    std::lock_guard lock(collected->mutex);
    result.standardOutput = std::move(collected->bytes[0]);
    result.standardError = std::move(collected->bytes[1]);
    result.outputTruncated = collected->truncated[0];
    result.errorTruncated = collected->truncated[1];
    return result;
}
