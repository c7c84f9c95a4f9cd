#include "engine/llama_server.h"

#include "engine/generation_run.h"
#include "platform/child_process.h"
#include "platform/logging.h"
#include "platform/paths.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The texts of this file shown to the user, translated in the context "Replies".
struct Text {
    Q_DECLARE_TR_FUNCTIONS(Replies)
};

} // namespace

using Clock = std::chrono::steady_clock;
using State = LlamaServerState;

QStringList llamaServerArguments(const QString &modelPath, int port, const QString &apiKeyFile, int gpuLayers)
{
    return {QStringLiteral("--host"), QStringLiteral("127.0.0.1"),
            QStringLiteral("--port"), QString::number(port),
            QStringLiteral("--api-key-file"), apiKeyFile,
            QStringLiteral("-m"), modelPath,
            QStringLiteral("-c"), QStringLiteral("8192"),
            QStringLiteral("-np"), QStringLiteral("1"),
            QStringLiteral("-ngl"), QString::number(gpuLayers)};
}

namespace {

// A line of the server's log without its time and level ("0.00.007.394 E ").
QString plainLine(const QByteArray &bytes)
{
    static const QRegularExpression prefix(QStringLiteral("^\\d+\\.\\d+\\.\\d+\\.\\d+ [A-Z] "));
    return QString::fromUtf8(bytes).trimmed().remove(prefix);
}

// The last lines a server wrote, lines put together across reads.
class OutputTail {
public:
    void add(const QByteArray &bytes)
    {
        m_partial += bytes;
        qsizetype end;
        while ((end = m_partial.indexOf('\n')) >= 0) {
            const QString line = plainLine(m_partial.left(end));
            m_partial.remove(0, end + 1);
            if (line.isEmpty())
                continue;
            m_lines.push_back(line);
            if (m_lines.size() > 50)
                m_lines.pop_front();
        }
    }
    QStringList last(int n) const
    {
        QStringList out;
        for (size_t i = m_lines.size() > size_t(n) ? m_lines.size() - size_t(n) : 0; i < m_lines.size(); ++i)
            out << m_lines[i];
        const QString partial = plainLine(m_partial);
        if (!partial.isEmpty())
            out << partial;
        return out.mid(qMax(0, int(out.size()) - n));
    }
    bool contains(const QString &fragment) const
    {
        return std::any_of(m_lines.begin(), m_lines.end(), [&](const QString &l) { return l.contains(fragment); });
    }
    void clear()
    {
        m_partial.clear();
        m_lines.clear();
    }

private:
    QByteArray m_partial;
    std::deque<QString> m_lines;
};

// A port on 127.0.0.1 that nothing listens on just now; 0 when none was found.
int freeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

QByteArray randomHex(int bytes)
{
    QByteArray raw(bytes, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(raw.data()), bytes / 4);
    return raw.toHex();
}

qint64 physicalMemoryBytes()
{
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    return pages > 0 && pageSize > 0 ? qint64(pages) * qint64(pageSize) : 0;
}

// Our environment without llama.cpp's option variables: a server option that
// one of them set would override a default we rely on (an extra API key, a
// path prefix), so only the command line speaks.
QStringList serverEnvironment()
{
    QStringList entries = QProcessEnvironment::systemEnvironment().toStringList();
    entries.removeIf([](const QString &entry) {
        return entry.startsWith(QLatin1String("LLAMA_ARG_")) || entry.startsWith(QLatin1String("LLAMA_API_KEY="));
    });
    return entries;
}

} // namespace

struct LlamaServerCore {
    QString binFolder;
    LlamaServerTimings timings;
    mutable std::mutex lock; // guards everything below
    mutable std::condition_variable changed;

    // What is wanted, said from any thread.
    std::optional<QString> wanted;  // the model; none: no server
    quint64 startRequests = 0;      // asks for a start of a server not running with the wanted model
    int users = 0;                  // leases held
    Clock::time_point lastUse = Clock::now();
    bool quitting = false;
    LlamaServer::StateCallback callback;

    // What runs, written by the object's own thread (and the output callbacks).
    State state = State::Stopped;
    quint64 attempt = 0;           // the start requests served so far
    int launches = 0;              // launches of the current attempt (another port after a bind failure)
    quint64 launchSerial = 0;
    QString model;
    int port = 0;
    QByteArray key;
    QString keyFile;
    std::shared_ptr<ChildProcess> process;
    int endedStreams = 0;          // both output streams at their end: the process has ended
    Clock::time_point loadDeadline, nextPoll, killDeadline;
    QString endError;              // the error a stop under way ends with (a load that took too long)
    QString error;
    OutputTail tail;
    std::vector<State> notices;    // changes not yet told to the callback
    std::shared_ptr<RequestStop> quitStop = std::make_shared<RequestStop>(); // ends a /health request at quit

    bool processEnded() const { return endedStreams >= 2; }
    bool readyWith(const QString &modelPath) const
    {
        return state == State::Ready && process && !processEnded() && model == modelPath;
    }
    void setState(State next)
    {
        if (state == next)
            return;
        state = next;
        notices.push_back(next);
        changed.notify_all();
    }
    void removeKeyFile()
    {
        if (!keyFile.isEmpty())
            QFile::remove(keyFile);
        keyFile.clear();
    }
};

namespace {

using Lock = std::unique_lock<std::mutex>;

void launch(LlamaServerCore &core)
{
    const QString program = LlamaServer::programPath(core.binFolder);
    core.model = *core.wanted;
    core.port = freeLoopbackPort();
    core.key = randomHex(32);
    core.keyFile = paths::temporaryDirectory() + QStringLiteral("/quorvane-server-") + QString::fromLatin1(randomHex(8))
                   + QStringLiteral(".key");
    core.tail.clear();
    core.error.clear();
    if (core.port == 0) {
        core.error = Text::tr("No free port on 127.0.0.1 for llama-server");
        core.setState(State::Failed);
        return;
    }
    if (const auto failure = stagePromptFile(core.keyFile, QString::fromLatin1(core.key + '\n'))) {
        core.keyFile.clear();
        core.error = Text::tr("Could not write the server's key file: %1").arg(*failure);
        core.setState(State::Failed);
        return;
    }
    const QFileInfo modelInfo(core.model);
    const int layers = gpuLayerCount(physicalMemoryBytes(),
                                     modelInfo.exists() ? std::optional<qint64>(modelInfo.size()) : std::nullopt);
    auto process = std::make_shared<ChildProcess>(program, llamaServerArguments(core.model, core.port, core.keyFile, layers));
    process->setEnvironment(serverEnvironment());
    const quint64 serial = ++core.launchSerial;
    LlamaServerCore *const c = &core; // the core outlives its processes: they end before it is freed
    const auto collect = [c, serial](const QByteArray &chunk) {
        std::lock_guard lock(c->lock);
        if (c->launchSerial != serial)
            return;
        if (!chunk.isEmpty()) {
            c->tail.add(chunk);
        } else if (++c->endedStreams >= 2) {
            c->changed.notify_all();
        }
    };
    process->setOutputCallback(ChildProcess::Channel::StandardOutput, collect);
    process->setOutputCallback(ChildProcess::Channel::StandardError, collect);
    core.endedStreams = 0;
    if (!process->start()) { // never ran: no reading thread, safe to drop under the lock
        core.error = process->errorString();
        core.removeKeyFile();
        core.setState(State::Failed);
        qCInfo(lcLlamaCPP, "llama-server could not start: %s", qPrintable(core.error));
        return;
    }
    ++core.launches;
    core.process = process;
    core.loadDeadline = Clock::now() + core.timings.loadLimit;
    core.nextPoll = Clock::now();
    core.setState(State::Starting);
    qCInfo(lcLlamaCPP, "llama-server started (pid %lld, port %d)", process->processId(), core.port);
}

void beginStop(LlamaServerCore &core, const QString &endError)
{
    core.endError = endError;
    core.process->terminate();
    core.killDeadline = Clock::now() + core.timings.killGrace;
    core.setState(State::Stopping);
}

// The process has ended (both outputs closed): reap it and say what that means.
void reap(LlamaServerCore &core, Lock &lock)
{
    std::shared_ptr<ChildProcess> process = std::move(core.process);
    const bool wasStopping = core.state == State::Stopping;
    const bool wasLoading = core.state == State::Starting || core.state == State::Loading;
    const QString endError = std::exchange(core.endError, QString());
    // Dropping the process waits for its reading thread, whose callbacks take
    // the lock: never while holding it.
    lock.unlock();
    if (!process->waitForExit(int(core.timings.killGrace.count()))) {
        process->kill();
        process->waitForExit();
    }
    const auto reason = process->exitReason();
    const int status = process->exitStatus();
    process.reset();
    lock.lock();
    core.removeKeyFile();
    if (wasStopping) {
        core.error = endError;
        core.setState(endError.isEmpty() ? State::Stopped : State::Failed);
        qCInfo(lcLlamaCPP, "llama-server stopped");
        return;
    }
    if (wasLoading && core.tail.contains(QStringLiteral("couldn't bind")) && core.launches < 3 && !core.quitting
        && core.wanted == core.model) {
        launch(core); // another program took the port first: try another
        return;
    }
    const QStringList tail = core.tail.last(5);
    core.error = !tail.isEmpty() ? tail.join(QStringLiteral(" | "))
                 : reason == ChildProcess::ExitReason::Signal
                     ? Text::tr("llama-server was ended by signal %1").arg(status)
                     : Text::tr("llama-server exited with status %1").arg(status);
    core.setState(State::Failed);
    qCInfo(lcLlamaCPP, "llama-server ended (status=%d, reason=%d). Stderr tail: %s", status, int(reason),
           qPrintable(core.error));
}

void pollHealth(LlamaServerCore &core, Lock &lock, ServerHttp &http)
{
    const auto process = core.process;
    ServerHttp::Request request;
    request.url = QUrl(QStringLiteral("http://127.0.0.1:%1/health").arg(core.port));
    request.apiKey = core.key;
    request.silenceLimit = std::chrono::milliseconds(5000);
    request.stop = core.quitStop;
    lock.unlock();
    const HttpResult answer = http.get(request);
    lock.lock();
    core.nextPoll = Clock::now() + core.timings.healthPoll;
    if (core.process != process || (core.state != State::Starting && core.state != State::Loading))
        return;
    if (answer.status != 0)
        core.removeKeyFile(); // it answers, so it has read its options
    // Only while our process runs: an answer from a program that took the
    // port before it is not our server's.
    if (answer.status == 200 && !core.processEnded() && process->isRunning()) {
        core.lastUse = Clock::now();
        core.setState(State::Ready);
        qCInfo(lcLlamaCPP, "llama-server ready");
    } else if (answer.status == 503) {
        core.setState(State::Loading);
    }
}

void tellChanges(LlamaServerCore &core, Lock &lock)
{
    if (core.notices.empty())
        return;
    const std::vector<State> notices = std::exchange(core.notices, {});
    const auto callback = core.callback;
    if (!callback || core.quitting)
        return;
    lock.unlock();
    for (const State s : notices)
        callback(s);
    lock.lock();
}

void shutDown(LlamaServerCore &core, Lock &lock)
{
    std::shared_ptr<ChildProcess> process = std::move(core.process);
    ++core.launchSerial; // its callbacks change nothing any more
    lock.unlock();
    if (process) {
        process->terminate();
        if (!process->waitForExit(int(core.timings.killGrace.count()))) {
            process->kill();
            process->waitForExit();
        }
        process.reset();
    }
    lock.lock();
    core.removeKeyFile();
    core.state = State::Stopped;
    core.changed.notify_all();
}

// The object's own thread: the server's whole life.
void runServerLife(const std::shared_ptr<LlamaServerCore> &owner)
{
    pthread_setname_np(pthread_self(), "quorvane-server");
    LlamaServerCore &core = *owner;
    ServerHttp http;
    Lock lock(core.lock);
    for (;;) {
        tellChanges(core, lock);
        if (core.quitting)
            break;
        const auto now = Clock::now();
        std::optional<Clock::time_point> wake;
        if (core.process && core.processEnded()) {
            reap(core, lock);
            continue;
        }
        if (core.process) {
            if (core.state != State::Stopping) {
                if (core.wanted != core.model) { // stopped, or another model
                    beginStop(core, QString());
                    continue;
                }
                core.attempt = core.startRequests; // served by the server that runs
            }
            switch (core.state) {
            case State::Starting:
            case State::Loading:
                if (now >= core.loadDeadline) {
                    beginStop(core, Text::tr("llama-server did not finish loading the model in %1 s")
                                        .arg(core.timings.loadLimit.count() / 1000));
                    continue;
                }
                if (now >= core.nextPoll) {
                    pollHealth(core, lock, http);
                    continue;
                }
                wake = std::min(core.nextPoll, core.loadDeadline);
                break;
            case State::Ready:
                if (core.users == 0) {
                    const auto idleEnd = core.lastUse + core.timings.idleLimit;
                    if (now >= idleEnd) {
                        qCInfo(lcLlamaCPP, "llama-server unused for %lld s, stopping",
                               qint64(core.timings.idleLimit.count() / 1000));
                        core.wanted.reset();
                        beginStop(core, QString());
                        continue;
                    }
                    wake = idleEnd;
                }
                break;
            case State::Stopping:
                if (now >= core.killDeadline) {
                    core.process->kill(); // only until reaped: never another process
                    core.killDeadline = Clock::time_point::max();
                }
                if (core.killDeadline != Clock::time_point::max())
                    wake = core.killDeadline;
                break;
            default:
                break;
            }
        } else if (core.wanted && core.attempt < core.startRequests) {
            core.attempt = core.startRequests;
            core.launches = 0;
            launch(core);
            continue;
        }
        if (wake)
            core.changed.wait_until(lock, *wake);
        else
            core.changed.wait(lock);
    }
    shutDown(core, lock);
}

} // namespace

LlamaServerLease::LlamaServerLease(LlamaServerLease &&other) noexcept { *this = std::move(other); }

LlamaServerLease &LlamaServerLease::operator=(LlamaServerLease &&other) noexcept
{
    if (this != &other) {
        release();
        baseUrl = std::move(other.baseUrl);
        apiKey = std::move(other.apiKey);
        stopped = other.stopped;
        error = std::move(other.error);
        m_core = std::move(other.m_core);
    }
    return *this;
}

void LlamaServerLease::release()
{
    if (!m_core)
        return;
    {
        std::lock_guard lock(m_core->lock);
        --m_core->users;
        m_core->lastUse = Clock::now();
    }
    m_core->changed.notify_all();
    m_core.reset();
}

LlamaServer::LlamaServer(QString binFolder, LlamaServerTimings timings) : m_core(std::make_shared<LlamaServerCore>())
{
    m_core->binFolder = std::move(binFolder);
    m_core->timings = timings;
    m_thread = std::thread(runServerLife, m_core);
}

LlamaServer::~LlamaServer()
{
    {
        std::lock_guard lock(m_core->lock);
        m_core->quitting = true;
    }
    m_core->changed.notify_all();
    m_core->quitStop->stop();
    m_thread.join();
}

QString LlamaServer::programPath(const QString &binFolder) { return binFolder + QStringLiteral("/llama-server"); }

bool LlamaServer::isInstalled(const QString &binFolder)
{
    const QFileInfo info(programPath(binFolder));
    return info.isFile() && info.isExecutable();
}

void LlamaServer::start(const QString &modelPath)
{
    {
        std::lock_guard lock(m_core->lock);
        const bool underWay = m_core->wanted == modelPath && m_core->model == modelPath && m_core->process
                              && m_core->state != State::Stopping && !m_core->processEnded();
        if (underWay)
            return;
        m_core->wanted = modelPath;
        ++m_core->startRequests;
    }
    m_core->changed.notify_all();
}

void LlamaServer::stop()
{
    {
        std::lock_guard lock(m_core->lock);
        m_core->wanted.reset();
    }
    m_core->changed.notify_all();
}

void LlamaServer::setIdleLimit(std::chrono::milliseconds limit)
{
    {
        std::lock_guard lock(m_core->lock);
        m_core->timings.idleLimit = limit;
    }
    m_core->changed.notify_all();
}

LlamaServerLease LlamaServer::acquire(const QString &modelPath, const std::shared_ptr<RequestStop> &stop)
{
    LlamaServerLease lease;
    auto core = m_core;
    if (stop && !stop->setAction([core] {
            { std::lock_guard lock(core->lock); } // a waiter is either asleep or yet to look
            core->changed.notify_all();
        })) {
        lease.stopped = true;
        return lease;
    }
    Lock lock(core->lock);
    const bool usable = core->wanted == modelPath && core->process && !core->processEnded()
                        && core->model == modelPath && core->state != State::Stopping;
    if (!usable) {
        core->wanted = modelPath;
        ++core->startRequests;
        core->changed.notify_all();
    }
    const quint64 target = core->startRequests;
    core->changed.wait(lock, [&] {
        return core->quitting || (stop && stop->isStopped()) || core->wanted != modelPath
               || core->readyWith(modelPath) || (core->attempt >= target && core->state == State::Failed);
    });
    if (stop && stop->isStopped()) {
        lease.stopped = true;
    } else if (core->readyWith(modelPath)) {
        ++core->users;
        lease.baseUrl = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(core->port));
        lease.apiKey = core->key;
        lease.m_core = core;
    } else if (core->state == State::Failed && core->wanted == modelPath && !core->quitting) {
        lease.error = core->error;
    } else {
        lease.error = Text::tr("llama-server was stopped before it was ready");
    }
    lock.unlock();
    if (stop)
        stop->clearAction();
    return lease;
}

LlamaServerState LlamaServer::state() const
{
    std::lock_guard lock(m_core->lock);
    return m_core->state;
}

QString LlamaServer::modelPath() const
{
    std::lock_guard lock(m_core->lock);
    return m_core->model;
}

QString LlamaServer::errorText() const
{
    std::lock_guard lock(m_core->lock);
    return m_core->error;
}

qint64 LlamaServer::processId() const
{
    std::lock_guard lock(m_core->lock);
    return m_core->process ? m_core->process->processId() : -1;
}

bool LlamaServer::waitForState(LlamaServerState state, std::chrono::milliseconds timeout) const
{
    Lock lock(m_core->lock);
    return m_core->changed.wait_for(lock, timeout, [&] { return m_core->state == state; });
}

void LlamaServer::setStateCallback(StateCallback callback)
{
    std::lock_guard lock(m_core->lock);
    m_core->callback = std::move(callback);
}
