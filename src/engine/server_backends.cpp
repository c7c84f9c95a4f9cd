#include "engine/server_backends.h"

#include "engine/llama_cpp_manager.h"
#include "engine/llama_server.h"
#include "engine/remote_server.h"
#include "engine/server_events.h"
#include "engine/server_http.h"
#include "platform/logging.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <atomic>

namespace {

// The texts of this file shown to the user, translated in the context "Replies".
struct Text {
    Q_DECLARE_TR_FUNCTIONS(Replies)
};

} // namespace

using namespace std::chrono_literals;

namespace {

// A reply request as the engine's stop sees it: running until the run lets
// it go; terminating it aborts the request. It has no process of its own.
class RequestHandle : public ProcessHandle {
public:
    explicit RequestHandle(std::shared_ptr<RequestStop> stop) : m_stop(std::move(stop)) {}
    bool isRunning() const override { return m_running.load(); }
    qint64 processId() const override { return 0; }
    void terminate() override { m_stop->stop(); }
    void kill() override { m_stop->stop(); }
    void finish() { m_running = false; }

private:
    std::shared_ptr<RequestStop> m_stop;
    std::atomic<bool> m_running{true};
};

// What one streamed reply brought.
struct Stream {
    HttpResult http;
    QString output;
    bool ended = false;          // the server said the reply was over
    FinishReason finish = FinishReason::None;
    ServerFigures figures;
    std::optional<ReplyPiece> fault; // an error the server reported, or an event that is not JSON
    QByteArray faultData;
    qint64 firstPieceMs = -1, lastPieceMs = -1;
};

template <typename T> void keep(std::optional<T> &into, const std::optional<T> &value)
{
    if (value)
        into = value;
}

Stream stream(ServerHttp &http, const ServerHttp::Request &request, ServerApi api, const QByteArray &body,
              const std::function<void(const QString &)> &onPiece)
{
    Stream out;
    ServerEventReader reader;
    QElapsedTimer clock;
    clock.start();
    out.http = http.post(request, body, [&](const QByteArray &bytes) {
        for (const ServerEvent &event : reader.feed(bytes)) {
            const ReplyPiece piece = decodeReplyEvent(api, event);
            if (piece.kind == ReplyPiece::Kind::Error || piece.kind == ReplyPiece::Kind::Invalid) {
                out.fault = piece;
                out.faultData = event.data;
                return false;
            }
            const ServerFigures &f = piece.figures;
            keep(out.figures.generatedTokens, f.generatedTokens);
            keep(out.figures.tokensPerSecond, f.tokensPerSecond);
            keep(out.figures.generationMs, f.generationMs);
            if (!piece.text.isEmpty()) {
                out.lastPieceMs = clock.elapsed();
                if (out.firstPieceMs < 0)
                    out.firstPieceMs = out.lastPieceMs;
                out.output += piece.text;
                if (onPiece)
                    onPiece(piece.text);
            }
            if (piece.isFinal)
                out.finish = piece.finish;
            out.ended = out.ended || piece.isFinal || piece.kind == ReplyPiece::Kind::Done;
        }
        return true;
    });
    return out;
}

ReplyError errorOf(HttpOutcome outcome)
{
    switch (outcome) {
    case HttpOutcome::Unreachable: return ReplyError::ServerUnreachable;
    case HttpOutcome::ConnectionRefused: return ReplyError::ConnectionRefused;
    case HttpOutcome::Unauthorized: return ReplyError::Unauthorized;
    case HttpOutcome::NotFound: return ReplyError::NotFound;
    case HttpOutcome::ClientError:
    case HttpOutcome::ServerError: return ReplyError::ServerFailed;
    case HttpOutcome::Complete:
    case HttpOutcome::EndedByReader:
    case HttpOutcome::CutOff: return ReplyError::CutOff;
    case HttpOutcome::Certificate: return ReplyError::Certificate;
    case HttpOutcome::Silence: return ReplyError::Silence;
    default: return ReplyError::ServerUnreachable;
    }
}

// Sends one reply request and says how it went. server, when given, is the
// local server: a request whose connection it drops is explained by its
// last words.
ReplyRun runRequest(ServerHttp &http, ServerHttp::Request request, ServerApi api, const QByteArray &body,
                    const ReplyJob &job, ReplyControl &control, ReplyRun result, LlamaServer *server)
{
    request.silenceLimit = control.timings().silenceLimit;
    const Stream got = stream(http, request, api, body, job.onPiece);
    result.output = got.output;
    const ServerFigures &f = got.figures;
    result.figures.tokenCount = f.generatedTokens;
    result.figures.tokensPerSecond = f.tokensPerSecond;
    // A server that does not time its replies: the speed between the first
    // piece and the last.
    const qint64 streamedMs = got.lastPieceMs - got.firstPieceMs;
    if (!f.tokensPerSecond && f.generatedTokens && *f.generatedTokens > 1 && streamedMs > 0)
        result.figures.tokensPerSecond = double(*f.generatedTokens - 1) * 1000.0 / double(streamedMs);
    if (got.finish == FinishReason::EndOfText)
        result.stopReason = StopReason::EndOfText;
    else if (got.finish == FinishReason::Limit)
        result.stopReason = StopReason::TokenLimit;

    const QString host = request.url.authority();
    if (got.fault) {
        result.end = ReplyRun::End::Failed;
        if (got.fault->kind == ReplyPiece::Kind::Invalid) {
            result.error = ReplyError::BadAnswer;
            result.errorText = Text::tr("The server at %1 sent an event that is not JSON: %2")
                                   .arg(host, QString::fromUtf8(got.faultData.left(80)));
        } else {
            result.error = ReplyError::ServerFailed;
            result.errorText = Text::tr("The server at %1 reported an error: %2").arg(host, got.fault->message);
        }
        return result;
    }
    const bool whole = got.http.succeeded() && got.ended;
    if (whole || got.http.outcome == HttpOutcome::Stopped)
        return result;
    result.end = ReplyRun::End::Failed;
    result.error = errorOf(got.http.outcome);
    const bool sentKey = !request.apiKey.isEmpty();
    result.errorText = remoteserver::replyFailureMessage(got.http, request.url, sentKey,
                                                         int(request.silenceLimit.count()), !got.output.isEmpty());
    // A local server that dropped the connection has died: its own last
    // words say why, as a process engine's do.
    const HttpOutcome o = got.http.outcome;
    const bool dropped = o == HttpOutcome::Complete || o == HttpOutcome::CutOff || o == HttpOutcome::ConnectionRefused
                         || o == HttpOutcome::Unreachable || o == HttpOutcome::OtherError;
    if (server && dropped && server->waitForState(LlamaServerState::Failed, 2s) && !server->errorText().isEmpty()) {
        result.error = ReplyError::EngineFailed;
        result.errorText = server->errorText();
    }
    qCInfo(lcLlamaCPP, "Reply request failed (%s)", qPrintable(result.errorText));
    return result;
}

// Registers the request as the conversation's running reply, so that a
// stop aborts it; false when a stop came first.
bool registerRequest(ReplyControl &control, const std::shared_ptr<RequestHandle> &handle, const ReplyJob &job,
                     const char *engineName)
{
    int active = 0;
    if (control.launch(handle, [] { return true; }, &active) != ReplyControl::Launch::Started)
        return false;
    qCInfo(lcLlamaCPP, "Sending the reply request to %s for session: %s", engineName,
           qPrintable(logging::shortId(canonicalUuid(job.sessionId))));
    return true;
}

void releaseRequest(ReplyControl &control, const std::shared_ptr<RequestHandle> &handle)
{
    control.release(handle.get());
    handle->finish();
}

} // namespace

LocalServerReplyBackend::LocalServerReplyBackend(std::weak_ptr<LlamaServer> server)
    : m_server(std::move(server)), m_http(std::make_unique<ServerHttp>())
{
}

LocalServerReplyBackend::~LocalServerReplyBackend() = default;

ReplyRun LocalServerReplyBackend::run(const ReplyJob &job, ReplyControl &control)
{
    ReplyRun result;
    result.figures.engineName = QString::fromLatin1(kEngineName);
    result.figures.modelName = job.model.name;
    if (control.engine().isTerminating()) {
        result.end = ReplyRun::End::Abandoned;
        return result;
    }
    auto stop = std::make_shared<RequestStop>();
    auto handle = std::make_shared<RequestHandle>(stop);
    if (!registerRequest(control, handle, job, kEngineName))
        return result; // stopped before it was sent
    const std::shared_ptr<LlamaServer> server = m_server.lock();
    LlamaServerLease lease = server ? server->acquire(job.model.filePath, stop) : LlamaServerLease();
    if (!server || (!lease.isReady() && !lease.stopped)) {
        releaseRequest(control, handle);
        result.end = ReplyRun::End::Failed;
        result.error = ReplyError::EngineFailed;
        result.errorText = server ? lease.error : Text::tr("llama-server is not running");
        return result;
    }
    if (!lease.stopped) {
        ServerHttp::Request request;
        request.url = QUrl(lease.baseUrl.toString() + QStringLiteral("/completion"));
        request.apiKey = lease.apiKey;
        request.stop = stop;
        const QByteArray body = replyRequestBody(ServerApi::LlamaCompletion, job.prompt, QString(), job.sampling);
        result = runRequest(*m_http, request, ServerApi::LlamaCompletion, body, job, control, result, server.get());
    }
    lease.release();
    releaseRequest(control, handle);
    return result;
}

RemoteReplyBackend::RemoteReplyBackend(RemoteServerConfig config)
    : m_config(std::move(config)), m_http(std::make_unique<ServerHttp>())
{
}

RemoteReplyBackend::~RemoteReplyBackend() = default;

ReplyRun RemoteReplyBackend::run(const ReplyJob &job, ReplyControl &control)
{
    ReplyRun result;
    result.figures.engineName = m_config.baseUrl.authority();
    result.figures.modelName = m_config.modelId;
    if (control.engine().isTerminating()) {
        result.end = ReplyRun::End::Abandoned;
        return result;
    }
    if (m_config.baseUrl.isEmpty() || m_config.modelId.isEmpty()) {
        result.end = ReplyRun::End::Failed;
        result.error = ReplyError::NoServer;
        result.errorText = Text::tr("No server is set up for replies. Connect to one in Settings.");
        return result;
    }
    auto stop = std::make_shared<RequestStop>();
    auto handle = std::make_shared<RequestHandle>(stop);
    if (!registerRequest(control, handle, job, "the remote server"))
        return result;
    ServerHttp::Request request;
    request.url = remoteserver::endpoint(m_config.baseUrl, QStringLiteral("completions"));
    request.apiKey = m_config.apiKey;
    request.stop = stop;
    const QByteArray body = replyRequestBody(ServerApi::OpenAICompletions, job.prompt, m_config.modelId, job.sampling);
    result = runRequest(*m_http, request, ServerApi::OpenAICompletions, body, job, control, result, nullptr);
    releaseRequest(control, handle);
    return result;
}
