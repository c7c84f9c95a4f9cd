#include "engine/reply_backend.h"

#include "engine/llama_cpp_manager.h"
#include "engine/prompt_assembly.h"
#include "engine/response_cleaning.h"
#include "platform/logging.h"

#include <QCoreApplication>

ReplyOutcome ReplyOutcome::finished(const QString &reply, StopReason reason)
{
    ReplyOutcome o;
    o.kind = Kind::Finished;
    o.text = reply;
    o.stopReason = reason;
    return o;
}

ReplyOutcome ReplyOutcome::stopped(const QString &partial)
{
    ReplyOutcome o;
    o.kind = Kind::Stopped;
    o.text = partial;
    return o;
}

ReplyOutcome ReplyOutcome::failed(ReplyError error, const QString &reason, const QString &partial)
{
    ReplyOutcome o;
    o.kind = Kind::Failed;
    o.error = error;
    o.errorText = reason;
    o.text = partial;
    return o;
}

ReplyControl::ReplyControl(LlamaCPPManager &engine, const QUuid &sessionId, quint64 request)
    : m_engine(engine), m_sessionId(sessionId), m_request(request)
{
}

ReplyControl::Launch ReplyControl::launch(const std::shared_ptr<ProcessHandle> &work,
                                          const std::function<bool()> &start, int *activeCount)
{
    return m_engine.registerAndLaunch(m_sessionId, m_request, work, start, activeCount);
}

int ReplyControl::release(const ProcessHandle *work) { return m_engine.unregisterProcess(m_sessionId, work); }

bool ReplyControl::keepUntilQuit(const QString &path) { return m_engine.noteStagedPrompt(path); }

void ReplyControl::forget(const QString &path) { m_engine.forgetStagedPrompt(path); }

const EngineTimings &ReplyControl::timings() const { return m_engine.timings(); }

ReplyOutcome settleReply(const ReplyRun &run, bool stoppedByRequest)
{
    const QString cleaned = cleanResponse(run.output);
    if (run.end == ReplyRun::End::Ran) {
        qCInfo(lcLlamaCPP, "Raw response length: %lld characters", qint64(graphemeCount(run.output)));
        qCInfo(lcLlamaCPP, "Raw response preview: %s", logging::priv(run.output));
        qCInfo(lcLlamaCPP, "Cleaned response length: %lld characters", qint64(graphemeCount(cleaned)));
        qCInfo(lcLlamaCPP, "Response preview: %s", logging::priv(cleaned));
    }
    ReplyOutcome outcome;
    if (run.end == ReplyRun::End::Failed)
        outcome = ReplyOutcome::failed(run.error, run.errorText, cleaned);
    else if (stoppedByRequest)
        outcome = ReplyOutcome::stopped(cleaned);
    else if (!cleaned.isEmpty())
        outcome = ReplyOutcome::finished(cleaned, run.stopReason);
    else if (!run.complaints.isEmpty())
        outcome = ReplyOutcome::failed(ReplyError::EngineFailed, run.complaints.join(QStringLiteral(" | ")));
    else
        outcome = ReplyOutcome::failed(ReplyError::NoOutput,
                                       QCoreApplication::translate("Replies", "the model produced no output"));
    outcome.figures = run.figures;
    return outcome;
}
