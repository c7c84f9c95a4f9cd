// Times one reply of the tiny model through LlamaCPPManager::generateResponse
// (process queue, transcript, staged prompt file, child process with its
// reader and watchdog threads, decoding, cleaning, the hop back to the main
// thread) against a plain llama-completion call with the same arguments and
// the same prompt file content.
//
// It needs the real llama-completion (scripts/build-llama-completion.sh; or
// QUORVANE_LLAMA_COMPLETION=<path>) and the tiny model, written into a
// temporary folder by make_tiny_gguf (QUORVANE_MAKE_TINY_GGUF=<generator>
// overrides it; QUORVANE_TINY_GGUF=<model> uses a model as it is; without a
// generator, the model of the test build is used).
//
// The program samples with a random seed (no argument or variable fixes it),
// so the length of the output differs from run to run, from nothing to a
// thousand characters, and the time with it. The two ways alternate; for
// each a line is fitted to (output length, time) through medians, and the
// headline compares the two lines at the same length. The plain ratio of the
// median times is printed as well. QUORVANE_BENCH_VERBOSE=1 lists the runs.
#include "core/preference_keys.h"
#include "engine/generation_run.h"
#include "engine/llama_cpp_manager.h"
#include "engine/prompt_assembly.h"
#include "platform/preferences.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

const QString kPrompt = QStringLiteral("Write two sentences about the sea, please.");
constexpr int kRounds = 41;
constexpr int kRunTimeoutMs = 10 * 60 * 1000;

[[noreturn]] void fail(const QString &message)
{
    std::fprintf(stderr, "generation_overhead: %s\n", qPrintable(message));
    std::exit(1);
}

// The binary that scripts/build-llama-completion.sh leaves in its cache
// (resolved with the real HOME, before the private one replaces it).
QString findLlamaCompletion()
{
    const QString override = qEnvironmentVariable("QUORVANE_LLAMA_COMPLETION");
    QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
    if (cache.isEmpty())
        cache = QDir::homePath() + QStringLiteral("/.cache");
    const QString path = !override.isEmpty()
                             ? override
                             : cache + QStringLiteral("/quorvane-dev/llama.cpp/build/bin/llama-completion");
    const QFileInfo info(path);
    if (!info.isFile() || !info.isExecutable())
        fail(QStringLiteral("no llama-completion at %1; run scripts/build-llama-completion.sh "
                            "(or set QUORVANE_LLAMA_COMPLETION)")
                 .arg(path));
    return info.absoluteFilePath();
}

QString makeTinyModel(const QString &dir)
{
    if (const QString given = qEnvironmentVariable("QUORVANE_TINY_GGUF"); !given.isEmpty()) {
        if (!QFileInfo(given).isFile())
            fail(QStringLiteral("QUORVANE_TINY_GGUF names no file: %1").arg(given));
        return QFileInfo(given).absoluteFilePath();
    }
    QString generator = qEnvironmentVariable("QUORVANE_MAKE_TINY_GGUF");
#ifdef QUORVANE_MAKE_TINY_GGUF
    if (generator.isEmpty())
        generator = QStringLiteral(QUORVANE_MAKE_TINY_GGUF);
#endif
    if (generator.isEmpty() || !QFileInfo(generator).isExecutable()) {
        // Without the generator, the model that the test build wrote.
        const QString built = QStringLiteral(QUORVANE_BUILT_TINY_GGUF);
        if (QFileInfo(built).isFile())
            return built;
        fail(QStringLiteral("no make_tiny_gguf (%1) and no %2; build the tests first or set "
                            "QUORVANE_MAKE_TINY_GGUF or QUORVANE_TINY_GGUF")
                 .arg(generator.isEmpty() ? QStringLiteral("not configured") : generator, built));
    }
    const QString model = dir + QStringLiteral("/tiny.gguf");
    const QByteArray command = QFile::encodeName(generator);
    const QByteArray out = QFile::encodeName(model);
    pid_t pid = -1;
    char *argv[] = {const_cast<char *>(command.constData()), const_cast<char *>(out.constData()), nullptr};
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ) != 0)
        fail(QStringLiteral("cannot run %1").arg(generator));
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !QFileInfo(model).isFile())
        fail(QStringLiteral("%1 did not write the model").arg(generator));
    return model;
}

// Puts a link to program where the engine looks for llama-completion.
void placeProgram(const QString &link, const QString &program)
{
    QFile::remove(link);
    if (!QFile::link(program, link))
        fail(QStringLiteral("cannot link %1 to %2").arg(link, program));
}

// A private HOME and XDG folders; returns where the engine looks for the
// program.
QString preparePrivateHome(const QString &home)
{
    const QString data = home + QStringLiteral("/.local/share");
    const QString runtime = home + QStringLiteral("/run");
    for (const QString &dir : {data, home + QStringLiteral("/.config"), home + QStringLiteral("/.cache"), runtime})
        QDir().mkpath(dir);
    QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("HOME", home.toUtf8());
    qputenv("XDG_DATA_HOME", data.toUtf8());
    qputenv("XDG_CONFIG_HOME", (home + QStringLiteral("/.config")).toUtf8());
    qputenv("XDG_CACHE_HOME", (home + QStringLiteral("/.cache")).toUtf8());
    qputenv("XDG_RUNTIME_DIR", runtime.toUtf8());
    const QString binDir = data + QStringLiteral("/Quorvane/llama.cpp/build/bin");
    QDir().mkpath(binDir);
    return binDir + QStringLiteral("/llama-completion");
}

qint64 physicalMemoryBytes()
{
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    return pages > 0 && pageSize > 0 ? qint64(pages) * qint64(pageSize) : 0;
}

struct RunResult {
    double ms = 0;
    qsizetype replyChars = 0; // the program's output as it streamed, trimmed
};

// The reference: spawn the program with the null device as standard input,
// read both outputs to their end, reap it.
RunResult plainRun(const QString &binary, const QStringList &arguments)
{
    std::vector<QByteArray> args{QFile::encodeName(binary)};
    for (const QString &a : arguments)
        args.push_back(a.toUtf8());
    std::vector<char *> argv;
    for (QByteArray &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    QElapsedTimer timer;
    timer.start();
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        fail(QStringLiteral("pipe failed"));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    if (spawned != 0)
        fail(QStringLiteral("cannot start %1").arg(binary));

    QByteArray reply, errors;
    char buffer[65536];
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            fail(QStringLiteral("poll failed"));
        }
        for (pollfd &p : fds) {
            if (p.fd < 0 || p.revents == 0)
                continue;
            const ssize_t n = ::read(p.fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                ::close(p.fd);
                p.fd = -1;
                --open;
                continue;
            }
            (p.fd == out[0] ? reply : errors).append(buffer, n);
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    const double ms = timer.nsecsElapsed() / 1e6;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail(QStringLiteral("the plain call failed (status %1): %2")
                 .arg(status)
                 .arg(QString::fromUtf8(errors.right(2000))));
    return {ms, QString::fromUtf8(reply).trimmed().size()};
}

// One reply through the engine, from the request to onComplete on the main
// thread. When promptSeen is given, the staged prompt file is read while the
// run goes on, to check what the engine hands the program.
RunResult engineRun(LlamaCPPManager &engine, QString *promptSeen = nullptr)
{
    const QUuid session = QUuid::createUuid();
    const QList<ChatMessage> messages{ChatMessage::make(kPrompt, true)};
    QEventLoop loop;
    QString reply, partial;
    std::optional<ReplyError> failure;
    bool done = false;
    QTimer watch;
    if (promptSeen) {
        const QString path = promptFilePath(session);
        QObject::connect(&watch, &QTimer::timeout, [&, path] {
            QFile f(path);
            if (promptSeen->isEmpty() && f.open(QIODevice::ReadOnly))
                *promptSeen = QString::fromUtf8(f.readAll());
        });
        watch.start(1);
    }
    QTimer::singleShot(kRunTimeoutMs, &loop, [&] { fail(QStringLiteral("the engine's run did not end")); });

    QElapsedTimer timer;
    timer.start();
    engine.generateResponse(
        kPrompt, session, messages, [&](const QString &piece) { partial += piece; },
        [&](const ReplyOutcome &outcome) {
            failure = outcome.kind == ReplyOutcome::Kind::Failed ? std::optional(outcome.error) : std::nullopt;
            reply = outcome.errorText;
            done = true;
            loop.quit();
        });
    if (!done)
        loop.exec();
    const double ms = timer.nsecsElapsed() / 1e6;
    // An empty reply (the model may pick the end at once) comes back as a
    // failure too; only a run that could not start is a failure here.
    if (failure == ReplyError::NotInstalled || failure == ReplyError::ModelFileMissing
        || failure == ReplyError::StagingFailed)
        fail(QStringLiteral("the engine's run failed: %1").arg(reply));
    return {ms, partial.trimmed().size()};
}

template <typename T>
T median(std::vector<T> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The line through the runs, time = intercept + slope * output length
// (Theil-Sen: the median of the pairwise slopes, so one run slowed by another
// program on the machine does not tilt it).
struct Line {
    double intercept;
    double slope;
    double at(double length) const { return intercept + slope * length; }
};

Line fitLine(const std::vector<double> &ms, const std::vector<qsizetype> &chars)
{
    std::vector<double> slopes;
    for (size_t i = 0; i < ms.size(); ++i)
        for (size_t j = i + 1; j < ms.size(); ++j)
            if (chars[i] != chars[j])
                slopes.push_back((ms[j] - ms[i]) / double(chars[j] - chars[i]));
    const double slope = slopes.empty() ? 0.0 : median(slopes);
    std::vector<double> intercepts;
    for (size_t i = 0; i < ms.size(); ++i)
        intercepts.push_back(ms[i] - slope * double(chars[i]));
    return {median(intercepts), slope};
}

struct Runs {
    std::vector<double> engineMs, plainMs;
    std::vector<qsizetype> engineChars, plainChars;
};

// Alternates the two ways, starting with each in turn.
Runs measure(LlamaCPPManager &engine, const QString &program, const QStringList &arguments, int rounds)
{
    const bool verbose = qEnvironmentVariableIsSet("QUORVANE_BENCH_VERBOSE");
    Runs runs;
    for (int r = 0; r < rounds; ++r) {
        auto one = [&](bool viaEngine) {
            const RunResult result = viaEngine ? engineRun(engine) : plainRun(program, arguments);
            (viaEngine ? runs.engineMs : runs.plainMs).push_back(result.ms);
            (viaEngine ? runs.engineChars : runs.plainChars).push_back(result.replyChars);
        };
        one(r % 2 == 0);
        one(r % 2 != 0);
        if (verbose)
            std::fprintf(stderr, "%s run %d: engine %.1f ms (%lld characters), plain call %.1f ms (%lld characters)\n",
                         qPrintable(QFileInfo(program).fileName()), r, runs.engineMs.back(),
                         qint64(runs.engineChars.back()), runs.plainMs.back(), qint64(runs.plainChars.back()));
    }
    return runs;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (!qEnvironmentVariableIsSet("QUORVANE_BENCH_LOG"))
        QLoggingCategory::setFilterRules(QStringLiteral("com.quorvane.*=false"));

    const QString binary = findLlamaCompletion();
    QTemporaryDir root;
    if (!root.isValid())
        fail(QStringLiteral("no temporary folder"));
    const QString model = makeTinyModel(root.path());
    const QString link = preparePrivateHome(root.path() + QStringLiteral("/home"));
    placeProgram(link, binary);

    // What the engine writes to the prompt file for this request, made with
    // its own functions, and the same 21 arguments.
    const QString transcript = buildTranscript(kPrompt, keptHistory({ChatMessage::make(kPrompt, true)}),
                                               [](const AttachedFile &) { return QString(); });
    const QString prompt =
        fitPromptToBudget(transcript, Preferences().string(QString::fromLatin1(prefkeys::kSystemPrompt)));
    const QString promptPath = root.path() + QStringLiteral("/prompt.txt");
    if (const auto error = stagePromptFile(promptPath, prompt))
        fail(QStringLiteral("cannot write the prompt file: %1").arg(*error));
    const QStringList arguments =
        generationArguments(model, promptPath, gpuLayerCount(physicalMemoryBytes(), QFileInfo(model).size()));
    if (arguments.size() != 21)
        fail(QStringLiteral("expected 21 arguments, got %1").arg(arguments.size()));

    LlamaCPPManager engine;
    AIModel record = AIModel::make(QStringLiteral("Tiny"), QStringLiteral("file://") + model);
    record.isDownloaded = true;
    record.filePath = model;
    engine.loadModel(record);
    if (!engine.isModelLoaded())
        fail(QStringLiteral("the engine did not take the model: %1").arg(engine.errorMessageText()));

    // Warm-up of both ways; the engine's staged prompt must be ours.
    QString staged;
    engineRun(engine, &staged);
    plainRun(binary, arguments);
    if (staged.isEmpty())
        std::fprintf(stderr, "generation_overhead: note: the staged prompt file was not caught during the run\n");
    else if (staged != prompt)
        fail(QStringLiteral("the engine staged another prompt than the reference uses:\n%1\n---\n%2").arg(staged, prompt));

    const Runs llama = measure(engine, binary, arguments, kRounds);
    const auto &[engineMs, plainMs, engineChars, plainChars] = llama;

    // What the engine adds around a program that does nothing: the same
    // request with /bin/true in the program's place.
    const QString doNothing = QFileInfo(QStringLiteral("/usr/bin/true")).isExecutable() ? QStringLiteral("/usr/bin/true")
                                                                                         : QStringLiteral("/bin/true");
    placeProgram(link, doNothing);
    engineRun(engine);
    const Runs empty = measure(engine, doNothing, arguments, kRounds);

    std::printf("figure engine_reply_ms: %.1f (median of %d; output %lld characters median)\n", median(engineMs),
                kRounds, qint64(median(engineChars)));
    std::printf("figure plain_call_ms: %.1f (median of %d; output %lld characters median)\n", median(plainMs), kRounds,
                qint64(median(plainChars)));
    std::vector<qsizetype> allChars = engineChars;
    allChars.insert(allChars.end(), plainChars.begin(), plainChars.end());
    const double length = double(median(allChars));
    const Line engineLine = fitLine(engineMs, engineChars);
    const Line plainLine = fitLine(plainMs, plainChars);
    std::printf("figure fixed_overhead_ms: %.2f (around /bin/true: engine %.2f ms, plain call %.2f ms)\n",
                median(empty.engineMs) - median(empty.plainMs), median(empty.engineMs), median(empty.plainMs));
    std::printf("figure fitted_engine_ms: %.1f + %.3f per character\n", engineLine.intercept, engineLine.slope);
    std::printf("figure fitted_plain_call_ms: %.1f + %.3f per character\n", plainLine.intercept, plainLine.slope);
    std::printf("figure fitted_at_%.0f_characters_ms: engine %.1f, plain call %.1f\n", length, engineLine.at(length),
                plainLine.at(length));
    std::printf("ratio generation_overhead_of_medians: %.3f (goal <= 1.05)\n", median(engineMs) / median(plainMs));
    // Time of a reply through the engine against the plain call, for the
    // same output length: 1.0 means the engine adds nothing.
    std::printf("ratio generation_overhead: %.3f (goal <= 1.05)\n", engineLine.at(length) / plainLine.at(length));
    return 0;
}
