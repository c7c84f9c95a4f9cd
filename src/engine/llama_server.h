#pragma once

#include "engine/server_http.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

// Where a local llama-server is in its life.
enum class LlamaServerState {
    Stopped,  // no server (never started, stopped, or stopped when idle)
    Starting, // launched, not answering HTTP yet
    Loading,  // answers /health with 503 while it reads the model
    Ready,    // /health answered 200
    Stopping, // asked to end; SIGKILL follows after the grace time
    Failed,   // could not start, did not get ready, or died; errorText() tells why
};

struct LlamaServerTimings {
    std::chrono::milliseconds idleLimit{15 * 60 * 1000}; // unused this long, the server is stopped
    std::chrono::milliseconds loadLimit{10 * 60 * 1000}; // not ready after this long, it is ended
    std::chrono::milliseconds healthPoll{200};           // how often /health is asked while loading
    std::chrono::milliseconds killGrace{3000};           // SIGTERM to SIGKILL
};

// The arguments of one server start, in order. Every option that matters is
// given, since this llama.cpp's defaults differ from older ones; the key is
// read from an owner-only file so that it never shows in the process list.
QStringList llamaServerArguments(const QString &modelPath, int port, const QString &apiKeyFile, int gpuLayers);

struct LlamaServerCore;

// One ready server, held by one request. While any lease is held the server
// is not stopped for being idle; the idle time counts from the last release.
class LlamaServerLease {
public:
    LlamaServerLease() = default;
    ~LlamaServerLease() { release(); }
    LlamaServerLease(LlamaServerLease &&other) noexcept;
    LlamaServerLease &operator=(LlamaServerLease &&other) noexcept;

    bool isReady() const { return m_core != nullptr; }
    void release();

    QUrl baseUrl;      // "http://127.0.0.1:<port>"
    QByteArray apiKey;
    bool stopped = false; // the request's own stop came first
    QString error;        // otherwise, why no server is ready

private:
    friend class LlamaServer;
    std::shared_ptr<LlamaServerCore> m_core;
};

// A llama-server child process kept running with one model, so that replies
// reuse what it already computed. It listens on 127.0.0.1 on a free port and
// takes a key made anew for each start; its standard error is kept as a tail
// for error texts; it dies with the application (a ChildProcess).
//
// A thread of the object's own runs the server's life: it launches, polls
// /health, stops, restarts for another model and stops an idle server. The
// other calls only say what is wanted and wait for the state they need.
// Every call may come from any thread; only acquire() and waitForState()
// block, so the main thread calls start(), stop() and the getters, and the
// engine's process queue calls acquire().
class LlamaServer {
public:
    explicit LlamaServer(QString binFolder, LlamaServerTimings timings = {});
    ~LlamaServer(); // ends the server (SIGTERM, SIGKILL after the grace time) and waits for it
    LlamaServer(const LlamaServer &) = delete;
    LlamaServer &operator=(const LlamaServer &) = delete;

    // The program in an installed bin folder (beside llama-completion), and
    // whether it is there and executable.
    static QString programPath(const QString &binFolder);
    static bool isInstalled(const QString &binFolder);

    // Wants a server with this model: starts one, or restarts a running one
    // that has another model (also while leases are held: their requests
    // fail). Returns at once.
    void start(const QString &modelPath);
    // Wants no server. Returns at once; the server ends in the background.
    void stop();
    void setIdleLimit(std::chrono::milliseconds limit);

    // A ready server with this model for one request: waits while one
    // starts or loads, and starts one when none runs with it (also when the
    // last one stopped when idle or died) - at most once per call, so a
    // start that fails gives its error. Ends early with stopped set when the
    // request's stop comes first. Never call it on the main thread.
    LlamaServerLease acquire(const QString &modelPath, const std::shared_ptr<RequestStop> &stop = nullptr);

    LlamaServerState state() const;
    QString modelPath() const;   // the model of the current (or last) server
    QString errorText() const;   // why the last start failed or the server died
    qint64 processId() const;    // of the current server, else -1
    // Blocks until the state is reached or the time runs out; tests and quit.
    bool waitForState(LlamaServerState state, std::chrono::milliseconds timeout) const;

    // Called on the object's own thread after each change of state, with no
    // lock held; it must not call waitForState() or acquire().
    using StateCallback = std::function<void(LlamaServerState)>;
    void setStateCallback(StateCallback callback);

private:
    std::shared_ptr<LlamaServerCore> m_core;
    std::thread m_thread;
};
