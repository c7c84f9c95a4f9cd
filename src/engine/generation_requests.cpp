// Requests for replies and stopping them.
#include "engine/attachment_text.h"
#include "engine/generation_run.h"
#include "engine/llama_cpp_manager.h"
#include "engine/prompt_assembly.h"
#include "platform/logging.h"
#include "platform/main_thread.h"

#include <QPointer>

namespace {

// Runs the delayed SIGKILLs of stopped processes.
SerialQueue &escalationQueue()
{
    static SerialQueue *queue = new SerialQueue(QStringLiteral("com.quorvane.stopEscalation"));
    return *queue;
}

} // namespace

void LlamaCPPManager::generateResponse(const QString &prompt, const QUuid &sessionId,
                                       const QList<ChatMessage> &messages,
                                       std::function<void(const QString &)> onPartial,
                                       std::function<void(const QString &)> onComplete)
{
    auto refuse = [this, onComplete](const char *text) {
        mainthread::post(this, [onComplete, text] {
            if (onComplete)
                onComplete(QString::fromLatin1(text));
        });
    };
    if (!m_isModelLoaded || !m_currentModel) {
        refuse(kErrorNoModelLoaded);
        return;
    }
    {
        std::lock_guard lock(m_sessionLock);
        const auto it = m_sessionProcesses.constFind(sessionId);
        if (it != m_sessionProcesses.constEnd() && it.value() && it.value()->isRunning()) {
            refuse(kErrorAlreadyGenerating);
            return;
        }
    }
    if (isBlankPrompt(prompt)) {
        refuse(kErrorEmptyPrompt);
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

    // The transcript, with the text of the newest message's attachments, is
    // built when the run's turn comes on the process queue: reading a file
    // may take a converter 30 seconds, which must not freeze the window.
    const AttachmentTextFunction attachmentText =
        m_attachmentText ? m_attachmentText
                         : AttachmentTextFunction([](const AttachedFile &file) { return extractAttachmentText(file); });
    GenerationRequest request{*m_currentModel, QString(), sessionId, std::move(onPartial), std::move(onComplete),
                              QString::fromLatin1(kGenerationStoppedText), number};
    QPointer<LlamaCPPManager> self(this);
    m_processQueue->async([self, prompt, kept, attachmentText, request = std::move(request)]() mutable {
        // A stopped request reads no attachments; the run answers it at once.
        if (self && !self->isRequestStopped(request.sessionId, request.number)) {
            request.transcript = buildTranscript(prompt, kept, attachmentText);
            qCInfo(lcLlamaCPP, "Final prompt length: %lld characters", qint64(graphemeCount(request.transcript)));
        }
        runGeneration(self, std::move(request));
    });
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
