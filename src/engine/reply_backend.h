#pragma once

// The seam between the chat flow and the ways of making a reply. The engine
// front (LlamaCPPManager::generateResponse) refuses what it must, queues the
// request, builds the final prompt once (transcript, system section, budget
// cut) and hands one ReplyJob to a ReplyBackend on its serial process queue.
// The backend streams pieces through the job and hands back one ReplyRun;
// the front turns that into exactly one ReplyOutcome with the same rules for
// every backend (cleaning, "no output", the tail of the engine's complaints).

#include "core/records.h"
#include "platform/process_handle.h"

#include <QString>
#include <QStringList>
#include <QUuid>

#include <functional>
#include <memory>

class LlamaCPPManager;
struct EngineTimings;

// The sampling values of every reply, whichever backend makes it.
struct SamplingValues {
    int contextLength = 8192;
    int maxTokens = 2048;
    float temperature = 0.8f;
    int topK = 40;
    float topP = 0.9f;
    float repeatPenalty = 1.0f;
    int repeatLastN = 64;
};

// Why a finished reply ended.
enum class StopReason { EndOfText, TokenLimit, Unknown };

// Why a reply failed. The first three are refusals before the request is
// queued; the next four stop a run before the engine makes any output. The
// server kinds may come after part of a reply, which the outcome keeps.
enum class ReplyError {
    NoModelLoaded,
    AlreadyGenerating,
    EmptyPrompt,
    NotInstalled,
    ModelFileMissing,
    StagingFailed,
    LaunchFailed,
    EngineFailed, // no reply; the text is the engine's last complaints
    NoOutput,     // no reply and no complaint
    NoServer,           // no remote server is set up
    ServerUnreachable,  // the host is not found or not reachable
    ConnectionRefused,  // nothing listens at the address
    Unauthorized,       // 401 or 403: a missing or wrong API key
    NotFound,           // 404: a wrong address or model
    ServerFailed,       // 5xx, another refusal, or an error the server reported in the stream
    CutOff,             // the stream broke off before the reply ended
    BadAnswer,          // an event that is not JSON
    Silence,            // nothing arrived for the silence limit
    Certificate,        // the server's certificate is not trusted
};

// How one request ended; the engine front reports exactly one per request.
struct ReplyOutcome {
    enum class Kind { Finished, Stopped, Failed };
    Kind kind = Kind::Failed;
    // Finished: the cleaned reply. Stopped and Failed: the cleaned part of
    // the reply that came before the end, often empty.
    QString text;
    StopReason stopReason = StopReason::Unknown; // Finished only
    ReplyError error = ReplyError::NoOutput;     // Failed only
    QString errorText; // Failed: the reason shown to the user, after "Error: "
    ReplyFigures figures;

    static ReplyOutcome finished(const QString &reply, StopReason reason);
    static ReplyOutcome stopped(const QString &partial = {});
    static ReplyOutcome failed(ReplyError error, const QString &reason, const QString &partial = {});
};

// One reply to make.
struct ReplyJob {
    QUuid sessionId;
    quint64 request = 0;  // its number in the order of requests (LlamaCPPManager)
    AIModel model;        // filePath and name are what backends use
    QString prompt;       // system section and transcript, cut to the budget; ends with "Assistant:"
    SamplingValues sampling;
    // Takes each newly decoded, non-empty piece of output, on any thread.
    std::function<void(const QString &)> onPiece;
};

// What a backend hands back when its run is over.
struct ReplyRun {
    enum class End {
        Ran,       // the engine ran (or was stopped before it could start)
        Failed,    // the backend could not make the reply; error and errorText say why
        Abandoned, // the application is quitting: nothing is reported
    };
    End end = End::Ran;
    QString output;          // everything the engine produced, uncleaned
    QStringList complaints;  // the engine's last lines of complaint (at most five), oldest first
    StopReason stopReason = StopReason::Unknown;
    ReplyError error = ReplyError::NoOutput;
    QString errorText;
    ReplyFigures figures;    // what the backend measured; the front adds what it measures itself
};

// What a backend may ask of the engine while it runs one job.
class ReplyControl {
public:
    ReplyControl(LlamaCPPManager &engine, const QUuid &sessionId, quint64 request);

    enum class Launch { Started, Stopped, Failed };
    // Registers the work as the conversation's running reply and starts it
    // with start(), both under the lock that stops take: a stop that comes
    // first keeps it from starting (Stopped), one that comes later finds it
    // registered and calls its terminate() (and kill() after the grace time
    // when its processId() is above 0). Only Started leaves it registered;
    // activeCount gets the number of registered replies with it.
    Launch launch(const std::shared_ptr<ProcessHandle> &work, const std::function<bool()> &start, int *activeCount);
    // The work has ended: it is no longer registered. Returns the number of
    // registered replies left.
    int release(const ProcessHandle *work);

    // A file to remove at quit unless the run removes it first; false once
    // quitting has begun (then nothing may start).
    bool keepUntilQuit(const QString &path);
    void forget(const QString &path);

    const EngineTimings &timings() const;
    LlamaCPPManager &engine() const { return m_engine; }

private:
    LlamaCPPManager &m_engine;
    QUuid m_sessionId;
    quint64 m_request;
};

// One way of making replies. run() makes one reply on the engine's process
// queue thread and returns when it has ended; it never reports to the chat
// itself.
class ReplyBackend {
public:
    virtual ~ReplyBackend() = default;
    virtual ReplyRun run(const ReplyJob &job, ReplyControl &control) = 0;
    // Whether replies need the selected local model (a remote server has
    // models of its own); the front refuses a request without one.
    virtual bool needsLocalModel() const { return true; }
};

// The rules every backend's run ends with: the output is cleaned; a stopped
// request is Stopped with what it had made; a failed run keeps its partial
// reply; an empty reply fails with the engine's complaints, or with "the
// model produced no output".
ReplyOutcome settleReply(const ReplyRun &run, bool stoppedByRequest);
