// Reading a model's chat template through llama-completion's verbose loading
// output.
#include "engine/chat_template.h"

#include "engine/llama_cpp_manager.h"
#include "engine/prompt_assembly.h"
#include "platform/child_process.h"
#include "platform/logging.h"

#include <QStringDecoder>

#include <functional>
#include <mutex>

namespace {

constexpr qsizetype kOutputCap = 8 * 1024 * 1024; // 8 MiB
constexpr int kKillGraceMs = 5000;
constexpr int kReadEndMs = 5000;

template <typename Pred>
QString trimmed(const QString &text, Pred trimmable)
{
    qsizetype begin = 0, end = text.size();
    while (begin < end && trimmable(text.at(begin)))
        ++begin;
    while (end > begin && trimmable(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin);
}

bool isSpaceOrTab(QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); }
bool isQuote(QChar c) { return c == QLatin1Char('"') || c == QLatin1Char('\''); }

// The merged output of one run, filled by the reader thread.
struct OutputBuffer {
    std::mutex lock;
    QByteArray bytes;
};

// Runs llama-completion on the model and returns what it wrote, or nullopt
// when it could not be launched, ran out of time or was stopped. track is
// told of the running process (false: stop it at once) and untrack of its end.
std::optional<QByteArray> loaderOutput(const QString &program, const QString &modelPath, int limitMs,
                                       const std::function<bool(ProcessHandle *)> &track,
                                       const std::function<void(ProcessHandle *)> &untrack)
{
    ChildProcess process(program, {QStringLiteral("-m"), modelPath, QStringLiteral("--verbose"),
                                   QStringLiteral("-n"), QStringLiteral("0")});
    process.setStandardError(ChildProcess::StreamMode::Merged);
    // The standard input stays on the null device: with a model that has a
    // template, llama-completion waits for the user's line there, and must
    // neither hang until the limit nor read from our terminal.
    process.setStandardInput(ChildProcess::StreamMode::Null);

    auto buffer = std::make_shared<OutputBuffer>();
    process.setOutputCallback(ChildProcess::Channel::StandardOutput, [buffer](const QByteArray &chunk) {
        std::lock_guard guard(buffer->lock);
        if (buffer->bytes.size() < kOutputCap)
            buffer->bytes.append(chunk);
    });
    if (!process.start()) {
        qCInfo(lcLlamaCPP, "Chat-template extraction could not start: %s", qPrintable(process.errorString()));
        return std::nullopt;
    }
    bool stopped = !track(&process);
    if (stopped)
        process.kill();

    bool timedOut = false;
    if (!process.waitForExit(limitMs)) {
        timedOut = true;
        qCInfo(lcLlamaCPP, "Chat-template extraction timed out, terminating");
        process.terminate();
        // A program that ignores SIGTERM is killed, so the caller is never
        // held for good.
        if (!process.waitForExit(kKillGraceMs))
            process.kill();
        process.waitForExit();
    }
    untrack(&process);
    // A child of the program may still hold the pipe open.
    process.waitForReadEnd(kReadEndMs);
    process.stopReading();

    if (timedOut || stopped)
        return std::nullopt;
    std::lock_guard guard(buffer->lock);
    return buffer->bytes;
}

} // namespace

std::optional<QString> chatTemplateFromLoaderOutput(const QString &text)
{
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString &rawLine : lines) {
        const QString line = trimmed(rawLine, isSpaceOrTab);
        if (!line.contains(QLatin1String("tokenizer.chat_template")) && !line.contains(QLatin1String("chat_template")))
            continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals < 0)
            continue;
        const QString value = trimmed(trimmed(line.mid(equals + 1), isSpaceOrTab), isQuote);
        if (!value.isEmpty() && graphemeCount(value) > 10)
            return value;
    }
    return std::nullopt;
}

std::optional<QString> LlamaCPPManager::prewarmChatTemplate(const QString &modelPath)
{
    {
        std::lock_guard guard(m_templateCacheLock);
        if (const auto it = m_templateCache.constFind(modelPath); it != m_templateCache.constEnd())
            return *it;
    }
    const auto program = findLlamaCompletion();
    if (!program)
        return std::nullopt; // not kept: a call after installing tries again

    const auto track = [this](ProcessHandle *run) {
        std::lock_guard guard(m_templateRunsLock);
        if (m_terminating)
            return false;
        m_templateRuns.insert(run);
        return true;
    };
    const auto untrack = [this](ProcessHandle *run) {
        std::lock_guard guard(m_templateRunsLock);
        m_templateRuns.remove(run);
    };
    const auto bytes = loaderOutput(*program, modelPath, int(m_timings.templateLimit.count()), track, untrack);
    if (!bytes && m_terminating)
        return std::nullopt; // stopped by quitting: not kept

    std::optional<QString> result;
    if (bytes) {
        auto decoder = QStringDecoder(QStringDecoder::Utf8);
        const QString text = decoder.decode(*bytes);
        if (!decoder.hasError())
            result = chatTemplateFromLoaderOutput(text);
    }

    std::lock_guard guard(m_templateCacheLock);
    m_templateCache.insert(modelPath, result);
    return result;
}
