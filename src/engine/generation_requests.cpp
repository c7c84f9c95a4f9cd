// Requests for replies and stopping them.
#include "core/preference_keys.h"
#include "engine/attachment_text.h"
#include "engine/llama_cpp_manager.h"
#include "engine/prompt_assembly.h"
#include "platform/logging.h"
#include "platform/main_thread.h"
#include "platform/preferences.h"

#include <QCoreApplication>
#include <QPointer>

#include <atomic>

namespace {

// Runs the delayed SIGKILLs of stopped processes.
SerialQueue &escalationQueue()
{
    static SerialQueue *queue = new SerialQueue(QStringLiteral("com.quorvane.stopEscalation"));
    return *queue;
}

// One queued request, as it waits for its turn.
struct QueuedReply {
    QString prompt;
    QList<ChatMessage> kept;
    AttachmentTextFunction attachmentText;
    ReplyJob job;
    std::function<void(const QString &)> onPartial;
    std::function<void(const ReplyOutcome &)> onComplete;
};

// The request's turn on the process queue: the final prompt, the run by the
// backend in use, and the one outcome, reported on the main thread.
void runReply(QPointer<LlamaCPPManager> engine, QueuedReply queued)
{
    if (!engine)
        return;
    LlamaCPPManager *const owner = engine.data();
    ReplyJob &job = queued.job;
    auto report = [owner, onComplete = queued.onComplete](const ReplyOutcome &outcome) {
        mainthread::post(owner, [onComplete, outcome] {
            if (onComplete)
                onComplete(outcome);
        });
    };

    // A request stopped while it waited for its turn is not run at all: no
    // one is waiting for its reply, and it would hold up the others. It
    // reads no attachments either.
    if (owner->isRequestStopped(job.sessionId, job.request)) {
        owner->endRequest(job.sessionId, job.request);
        report(ReplyOutcome::stopped());
        return;
    }

    // The transcript, with the text of the newest message's attachments, is
    // built now rather than when the request was made: reading a file may
    // take a converter 30 seconds, which must not freeze the window. It is
    // shaped to the budget with the system prompt as stored now.
    const QString transcript = buildTranscript(queued.prompt, queued.kept, queued.attachmentText);
    qCInfo(lcLlamaCPP, "Final prompt length: %lld characters", qint64(graphemeCount(transcript)));
    job.prompt = fitPromptToBudget(transcript, Preferences().string(QString::fromLatin1(prefkeys::kSystemPrompt)));

    // The time to the first piece counts from here, whichever backend runs.
    const auto started = std::chrono::steady_clock::now();
    std::atomic<qint64> firstPieceNs{-1};
    job.onPiece = [owner, &started, &firstPieceNs, onPartial = queued.onPartial](const QString &piece) {
        if (firstPieceNs.load() < 0) {
            qint64 none = -1;
            const auto elapsed = std::chrono::steady_clock::now() - started;
            firstPieceNs.compare_exchange_strong(
                none, std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count());
        }
        if (onPartial)
            mainthread::post(owner, [onPartial, piece] { onPartial(piece); });
    };

    const std::shared_ptr<ReplyBackend> backend = owner->replyBackend();
    ReplyControl control(*owner, job.sessionId, job.request);
    const ReplyRun run = backend->run(job, control);
    if (run.end == ReplyRun::End::Abandoned)
        return; // quitting: no one is left to show it
    const bool stopped = owner->endRequest(job.sessionId, job.request);
    ReplyOutcome outcome = settleReply(run, stopped);
    if (!outcome.figures.secondsToFirstToken && firstPieceNs >= 0)
        outcome.figures.secondsToFirstToken = double(firstPieceNs.load()) / 1e9;
    report(outcome);
    if (run.end == ReplyRun::End::Ran)
        qCInfo(lcLlamaCPP, "Generation completed successfully");
}

} // namespace

void LlamaCPPManager::generateResponse(const QString &prompt, const QUuid &sessionId,
                                       const QList<ChatMessage> &messages,
                                       std::function<void(const QString &)> onPartial,
                                       std::function<void(const ReplyOutcome &)> onComplete)
{
    auto refuse = [this, onComplete](ReplyError error, const char *reason) {
        mainthread::post(this, [onComplete, error, reason] {
            if (onComplete)
                onComplete(ReplyOutcome::failed(error, QCoreApplication::translate("Replies", reason)));
        });
    };
    // A remote server needs no local model; the backend in use when the
    // request is made decides.
    if ((!m_isModelLoaded || !m_currentModel) && replyBackend()->needsLocalModel()) {
        refuse(ReplyError::NoModelLoaded, kErrorNoModelLoaded);
        return;
    }
    {
        std::lock_guard lock(m_sessionLock);
        const auto it = m_sessionProcesses.constFind(sessionId);
        if (it != m_sessionProcesses.constEnd() && it.value() && it.value()->isRunning()) {
            refuse(ReplyError::AlreadyGenerating, kErrorAlreadyGenerating);
            return;
        }
    }
    if (isBlankPrompt(prompt)) {
        refuse(ReplyError::EmptyPrompt, kErrorEmptyPrompt);
        return;
    }
    qCInfo(lcLlamaCPP, "Starting generation, prompt length %lld", qint64(graphemeCount(prompt)));
    quint64 number = 0;
    {
        std::lock_guard lock(m_sessionLock);
        number = ++m_lastRequest;
    }

    const QList<ChatMessage> kept = keptHistory(messages);
    qCInfo(lcLlamaCPP, "Session ID: %s", qPrintable(logging::shortId(canonicalUuid(sessionId))));
    qCInfo(lcLlamaCPP, "Using %lld messages - llama.cpp manages context", qint64(kept.size()));
    if (kept.isEmpty()) {
        qCInfo(lcLlamaCPP, "WARNING: No conversation history - starting fresh");
    } else {
        qCInfo(lcLlamaCPP, "Context messages:");
        for (qsizetype i = 0; i < kept.size(); ++i)
            qCInfo(lcLlamaCPP, "  %lld. %s: %s...", qint64(i + 1), kept[i].isFromUser ? "User" : "Assistant",
                   logging::priv(kept[i].content));
    }

    const AttachmentTextFunction attachmentText =
        m_attachmentText ? m_attachmentText
                         : AttachmentTextFunction([](const AttachedFile &file) { return extractAttachmentText(file); });
    ReplyJob job{sessionId, number, m_currentModel.value_or(AIModel()), QString(), {}, {}};
    QueuedReply queued{prompt, kept, attachmentText, job, std::move(onPartial), std::move(onComplete)};
    QPointer<LlamaCPPManager> self(this);
    m_processQueue->async([self, queued = std::move(queued)]() mutable { runReply(self, std::move(queued)); });
}

void LlamaCPPManager::stopGeneration(const std::optional<QUuid> &sessionId)
{
    qCInfo(lcLlamaCPP, "Stopping generation process");
    std::vector<std::shared_ptr<ProcessHandle>> collected;
    {
        std::lock_guard lock(m_sessionLock);
        // Every request made so far is stopped; a later one is not.
        if (sessionId)
            m_stoppedUpTo.insert(*sessionId, m_lastRequest);
        else
            m_allStoppedUpTo = m_lastRequest;
        if (sessionId) {
            const auto it = m_sessionProcesses.find(*sessionId);
            if (it != m_sessionProcesses.end() && it.value() && it.value()->isRunning()) {
                collected.push_back(it.value());
                m_sessionProcesses.erase(it);
                qCInfo(lcLlamaCPP, "Terminated process for session: %s",
                       qPrintable(logging::shortId(canonicalUuid(*sessionId))));
            }
        } else if (m_currentProcess && m_currentProcess->isRunning()) {
            collected.push_back(m_currentProcess);
            qCInfo(lcLlamaCPP, "Process terminated successfully");
        }
        m_currentProcess.reset();
    }
    if (collected.empty())
        return;

    std::vector<std::pair<std::shared_ptr<ProcessHandle>, qint64>> toEscalate;
    for (const auto &process : collected) {
        process->terminate();
        if (process->processId() > 0)
            toEscalate.emplace_back(process, process->processId());
    }
    // A process that ignores SIGTERM is killed a little later, but only while
    // it still runs under the identifier it had.
    escalationQueue().asyncAfter(m_timings.killGrace, [toEscalate] {
        for (const auto &[process, pid] : toEscalate) {
            if (process->isRunning() && process->processId() == pid) {
                qCInfo(lcLlamaCPP, "Escalating to SIGKILL pid=%lld", pid);
                process->kill();
            }
        }
    });
}
