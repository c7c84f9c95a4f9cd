#include "engine/generation_run.h"

#include "engine/llama_cpp_manager.h"
#include "platform/child_launch.h"
#include "platform/child_process.h"
#include "platform/logging.h"
#include "platform/paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <charconv>
#include <cmath>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <sys/stat.h>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

// The texts of this file shown to the user, translated in the context "Replies".
struct Text {
    Q_DECLARE_TR_FUNCTIONS(Replies)
};

// The length of the start of a UTF-8 character at the end of bytes that more
// bytes could still complete; 0 when the bytes end on a whole character or
// on a sequence that can never be one.
qsizetype incompleteTail(const QByteArray &bytes)
{
    const auto at = [&](qsizetype i) { return uchar(bytes[i]); };
    for (qsizetype back = 1; back <= 3 && back <= bytes.size(); ++back) {
        const uchar lead = at(bytes.size() - back);
        if (lead >= 0x80 && lead < 0xC0)
            continue; // a continuation byte: the lead is further back
        const int length = lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3
                         : lead >= 0xF0 && lead < 0xF5 ? 4 : 0;
        if (length <= back)
            return 0;
        if (back > 1) {
            // the second byte's range excludes overlong forms, surrogates
            // and code points past U+10FFFF
            const uchar second = at(bytes.size() - back + 1);
            const uchar low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
            const uchar high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
            if (second < low || second > high)
                return 0;
        }
        return back;
    }
    return 0;
}

} // namespace

// Qt's own stateful decoder drops the byte that follows a character cut off
// at the end of one call, so the unfinished bytes are kept here and decoded
// together with the next ones.
Utf8StreamDecoder::Utf8StreamDecoder()
    : m_decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom | QStringDecoder::Flag::Stateless)
{
}

QString Utf8StreamDecoder::decode(const QByteArray &bytes)
{
    QByteArray all = m_pending + bytes;
    const qsizetype tail = incompleteTail(all);
    m_pending = all.right(tail);
    all.chop(tail);
    return m_decoder.decode(all);
}

int gpuLayerCount(qint64 physicalMemoryBytes, std::optional<qint64> modelFileBytes)
{
    constexpr double gib = 1024.0 * 1024.0 * 1024.0;
    const double availableGB = double(physicalMemoryBytes) / gib - 3.0;
    const double sizeGB = modelFileBytes ? double(*modelFileBytes) / gib : 4.0;
    if (availableGB > 0) {
        if (sizeGB <= 0.6 * availableGB)
            return 99;
        if (sizeGB > 0.9 * availableGB)
            return 0;
        return 32;
    }
    return sizeGB <= 0 ? 99 : 0;
}

QString floatArgument(float value)
{
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    QString text = QString::fromLatin1(buffer, int(result.ptr - buffer));
    if (!text.contains(QLatin1Char('.')) && !text.contains(QLatin1Char('e')) && !text.contains(QLatin1Char('n')))
        text += QStringLiteral(".0");
    return text;
}

QStringList generationArguments(const QString &modelPath, const QString &promptPath, int gpuLayers,
                                const SamplingValues &sampling)
{
    return {QStringLiteral("-m"), modelPath,
            QStringLiteral("-f"), promptPath,
            QStringLiteral("-n"), QString::number(sampling.maxTokens),
            QStringLiteral("-c"), QString::number(sampling.contextLength),
            QStringLiteral("--temp"), floatArgument(sampling.temperature),
            QStringLiteral("--top-k"), QString::number(sampling.topK),
            QStringLiteral("--top-p"), floatArgument(sampling.topP),
            QStringLiteral("--repeat-penalty"), floatArgument(sampling.repeatPenalty),
            QStringLiteral("--repeat-last-n"), QString::number(sampling.repeatLastN),
            QStringLiteral("-ngl"), QString::number(gpuLayers),
            QStringLiteral("--no-display-prompt")};
}

QString promptFilePath(const QUuid &sessionId)
{
    return paths::temporaryDirectory() + QStringLiteral("/quorvane-prompt-") + canonicalUuid(sessionId)
           + QStringLiteral(".txt");
}

int removeLeftoverPrompts()
{
    const QString directory = paths::temporaryDirectory();
    int removed = 0;
    paths::holdFolder(directory, [&] {
        const QDir dir(directory);
        for (const QString &name : dir.entryList({QStringLiteral("quorvane-prompt-*")}, QDir::Files | QDir::Hidden))
            removed += QFile::remove(dir.filePath(name)) ? 1 : 0;
    });
    if (removed > 0)
        qCInfo(lcLlamaCPP, "Removed %d staged prompt files left by an earlier run", removed);
    return removed;
}

std::optional<QString> stagePromptFile(const QString &path, const QString &prompt)
{
    // The prompt is the user's private conversation. It is written to a new
    // file under a name no one can guess, created owner-only and never
    // through a link or into a file that was already there, then renamed
    // into place.
    const QByteArray finalName = QFile::encodeName(path);
    auto errorText = [] { return QString::fromLocal8Bit(strerror(errno)); };
    QByteArray tempName;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 8; ++attempt) {
        quint32 random[4];
        QRandomGenerator::system()->fillRange(random);
        tempName = finalName + ".tmp-" + QByteArray(reinterpret_cast<const char *>(random), sizeof random).toHex();
        fd = ::open(tempName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0)
        return errorText();
    // The umask may have taken the owner's bits; the program must read it.
    const QByteArray bytes = prompt.toUtf8();
    if (::fchmod(fd, 0600) != 0 || !child_launch::writeAll(fd, bytes.constData(), size_t(bytes.size()))) {
        const QString error = errorText();
        ::close(fd);
        ::unlink(tempName.constData());
        return error;
    }
    if (::close(fd) != 0 || ::rename(tempName.constData(), finalName.constData()) != 0) {
        const QString error = errorText();
        ::unlink(tempName.constData());
        return error;
    }
    return std::nullopt;
}

namespace {

qint64 physicalMemoryBytes()
{
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    return pages > 0 && pageSize > 0 ? qint64(pages) * qint64(pageSize) : 0;
}

// What one run collects from the program while it runs.
class RunOutput {
public:
    // Appends decoded standard output; returns the new text.
    QString addOutput(const QByteArray &bytes)
    {
        std::lock_guard lock(m_outputLock);
        const QString text = m_decoder.decode(bytes);
        m_outputText += text;
        return text;
    }
    QString outputText() const
    {
        std::lock_guard lock(m_outputLock);
        return m_outputText;
    }

    // Keeps the last 50 non-empty lines of standard error. A line that is
    // not UTF-8 is dropped on its own, so a bad byte never takes the lines
    // that happened to arrive in the same read with it.
    void addError(const QByteArray &bytes)
    {
        const QList<QByteArray> rawLines = bytes.split('\n');
        std::lock_guard lock(m_errorLock);
        m_errorTail += bytes;
        if (m_errorTail.size() > kErrorTailBytes)
            m_errorTail.remove(0, m_errorTail.size() - kErrorTailBytes);
        for (const QByteArray &raw : rawLines) {
            if (raw.isEmpty())
                continue;
            auto decoder = QStringDecoder(QStringDecoder::Utf8);
            const QString line = decoder.decode(raw);
            if (decoder.hasError() || line.isEmpty())
                continue;
            m_errorLines.push_back(line);
            if (m_errorLines.size() > 50)
                m_errorLines.pop_front();
        }
    }
    // The last bytes of standard error as they came, lines split across
    // reads whole again.
    QByteArray errorTail() const
    {
        std::lock_guard lock(m_errorLock);
        return m_errorTail;
    }
    QStringList lastErrorLines(int n) const
    {
        std::lock_guard lock(m_errorLock);
        QStringList out;
        const size_t first = m_errorLines.size() > size_t(n) ? m_errorLines.size() - size_t(n) : 0;
        for (size_t i = first; i < m_errorLines.size(); ++i)
            out << m_errorLines[i];
        return out;
    }

    void touch()
    {
        std::lock_guard lock(m_activityLock);
        m_lastActivity = std::chrono::steady_clock::now();
    }
    std::chrono::steady_clock::duration idle() const
    {
        std::lock_guard lock(m_activityLock);
        return std::chrono::steady_clock::now() - m_lastActivity;
    }

private:
    mutable std::mutex m_outputLock;
    Utf8StreamDecoder m_decoder;
    QString m_outputText;

    static constexpr qsizetype kErrorTailBytes = 8192;
    mutable std::mutex m_errorLock;
    std::deque<QString> m_errorLines;
    QByteArray m_errorTail;

    mutable std::mutex m_activityLock;
    std::chrono::steady_clock::time_point m_lastActivity = std::chrono::steady_clock::now();
};

// Ends a process that stays silent on both streams for longer than the
// limit: SIGTERM, then SIGKILL after the grace time if it still runs.
class Watchdog {
public:
    Watchdog(std::shared_ptr<ChildProcess> process, const RunOutput &output, const EngineTimings &timings)
        : m_thread([this, process, &output, timings] { watch(*process, output, timings); })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopped = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }

private:
    // Sleeps for d or until the watchdog is stopped; true when stopped.
    bool sleepFor(std::chrono::milliseconds d)
    {
        std::unique_lock lock(m_mutex);
        return m_wake.wait_for(lock, d, [this] { return m_stopped; });
    }

    void watch(ChildProcess &process, const RunOutput &output, const EngineTimings &timings)
    {
        pthread_setname_np(pthread_self(), "quorvane-watch");
        while (process.isRunning()) {
            if (sleepFor(timings.watchdogPoll))
                return;
            const auto idle = output.idle();
            if (idle <= timings.silenceLimit || !process.isRunning())
                continue;
            qCInfo(lcLlamaCPP, "Watchdog: no output for %llds, terminating",
                   qint64(std::chrono::duration_cast<std::chrono::seconds>(idle).count()));
            process.terminate();
            // The run may end meanwhile; the kill must still follow for a
            // process that ignores SIGTERM, so wait the grace time out.
            std::this_thread::sleep_for(timings.killGrace);
            if (process.isRunning())
                process.kill(); // never reaches a reaped (reused) identifier
            return;
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopped = false;
    std::thread m_thread;
};

} // namespace


namespace {

// The figures of the last "eval time" line (the generation, not the prompt):
// "... eval time = 2932.22 ms / 8 runs (366.53 ms per token, 2.73 tokens per
// second)". Older builds print "tokens" for "runs".
void readEvalTiming(const QByteArray &standardErrorTail, ReplyFigures *figures)
{
    static const QRegularExpression line(QStringLiteral(
        "(?<!prompt )eval time\\s*=\\s*[0-9.]+ ms\\s*/\\s*(\\d+) (?:runs|tokens)\\s*\\(\\s*\\S+ ms per token,"
        "\\s*(\\S+) tokens per second\\)"));
    QRegularExpressionMatch last;
    auto matches = line.globalMatch(QString::fromUtf8(standardErrorTail));
    while (matches.hasNext())
        last = matches.next();
    if (!last.hasMatch())
        return;
    bool ok = false;
    const qint64 tokens = last.captured(1).toLongLong(&ok);
    if (ok)
        figures->tokenCount = tokens;
    const double speed = last.captured(2).toDouble(&ok);
    if (ok && std::isfinite(speed))
        figures->tokensPerSecond = speed;
}

} // namespace

ReplyRun ProcessReplyBackend::run(const ReplyJob &job, ReplyControl &control)
{
    LlamaCPPManager &engine = control.engine();
    const QString idText = canonicalUuid(job.sessionId);
    ReplyRun result;
    result.figures.engineName = QString::fromLatin1(kEngineName);
    result.figures.modelName = job.model.name;
    auto fail = [&result](ReplyError error, const QString &text) {
        result.end = ReplyRun::End::Failed;
        result.error = error;
        result.errorText = text;
        return result;
    };

    // 1. The program and the model.
    const QString executable = engine.findLlamaCompletion().value_or(
        paths::dataDirectory() + QStringLiteral("/llama.cpp/build/bin/llama-completion"));
    if (!QFileInfo::exists(executable))
        return fail(ReplyError::NotInstalled, Text::tr("llama.cpp not installed"));
    if (!QFileInfo::exists(job.model.filePath))
        return fail(ReplyError::ModelFileMissing, Text::tr("Model file not found"));

    // 2. The prompt, staged for the program. Once the application is
    // quitting no run starts any more.
    const QString promptPath = promptFilePath(job.sessionId);
    if (!control.keepUntilQuit(promptPath)) {
        result.end = ReplyRun::End::Abandoned;
        return result;
    }
    if (const auto error = stagePromptFile(promptPath, job.prompt)) {
        control.forget(promptPath);
        return fail(ReplyError::StagingFailed, Text::tr("Could not stage prompt file — %1").arg(*error));
    }
    auto removePrompt = [&control, promptPath] {
        QFile::remove(promptPath);
        control.forget(promptPath);
    };

    // 3. The process, registered for the conversation as it is launched.
    auto process = std::make_shared<ChildProcess>();
    const QFileInfo modelInfo(job.model.filePath);
    const std::optional<qint64> modelSize =
        modelInfo.exists() ? std::optional<qint64>(modelInfo.size()) : std::nullopt;
    process->setProgram(executable);
    process->setArguments(generationArguments(job.model.filePath, promptPath,
                                              gpuLayerCount(physicalMemoryBytes(), modelSize), job.sampling));
    process->setStandardInput(ChildProcess::StreamMode::Pipe);

    RunOutput output;
    const auto &onPiece = job.onPiece;
    process->setOutputCallback(ChildProcess::Channel::StandardOutput, [&output, &onPiece](const QByteArray &chunk) {
        if (chunk.isEmpty())
            return;
        output.touch();
        const QString text = output.addOutput(chunk);
        if (!text.isEmpty() && onPiece)
            onPiece(text);
    });
    process->setOutputCallback(ChildProcess::Channel::StandardError, [&output](const QByteArray &chunk) {
        if (chunk.isEmpty())
            return;
        output.touch();
        output.addError(chunk);
    });

    int activeCount = 0;
    const auto launch = control.launch(process, [&process] { return process->start(); }, &activeCount);
    if (launch == ReplyControl::Launch::Stopped) {
        // stopped while its prompt was being prepared
        removePrompt();
        return result;
    }
    qCInfo(lcLlamaCPP, "Created dedicated llama.cpp process for session: %s", qPrintable(logging::shortId(idText)));
    qCInfo(lcLlamaCPP, "Active session processes: %d", activeCount);
    if (launch == ReplyControl::Launch::Failed) {
        removePrompt();
        return fail(ReplyError::LaunchFailed, process->errorString());
    }
    process->closeStandardInput();
    output.touch();

    // 4. Wait for the end, watching for silence.
    {
        Watchdog watchdog(process, output, control.timings());
        process->waitForExit();
    }
    // Output still in the pipes is read to its end (bounded, in case a child
    // of the program holds them open); an incomplete character at the very
    // end is dropped.
    process->waitForReadEnd(5000);
    process->stopReading();
    process->setOutputCallback(ChildProcess::Channel::StandardOutput, nullptr);
    process->setOutputCallback(ChildProcess::Channel::StandardError, nullptr);

    const int status = process->exitStatus();
    const auto reason = process->exitReason();
    const bool exitedCleanly = status == 0 && reason == ChildProcess::ExitReason::Exit;
    if (!exitedCleanly) {
        qCInfo(lcLlamaCPP, "Process exited abnormally (status=%d, reason=%d). Stderr tail: %s", status, int(reason),
               qPrintable(output.lastErrorLines(10).join(QStringLiteral(" | "))));
    }

    // 5. What it made, and its figures.
    result.output = output.outputText();
    result.complaints = output.lastErrorLines(5);
    readEvalTiming(output.errorTail(), &result.figures);
    // The last token of a run that reaches the limit is not always decoded.
    if (exitedCleanly && result.figures.tokenCount)
        result.stopReason = *result.figures.tokenCount + 1 >= job.sampling.maxTokens ? StopReason::TokenLimit
                                                                                      : StopReason::EndOfText;

    const int remaining = control.release(process.get());
    removePrompt();
    qCInfo(lcLlamaCPP, "Closed llama.cpp process for session: %s", qPrintable(logging::shortId(idText)));
    qCInfo(lcLlamaCPP, "Remaining active session processes: %d", remaining);
    return result;
}
