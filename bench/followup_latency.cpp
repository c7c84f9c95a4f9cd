// Time from sending a message to the first streamed piece of its reply, at
// the first and at the twentieth turn of a conversation, through one process
// per reply and through the model kept loaded in a local llama-server; and
// the generation speed of both, as the figures under their replies give it.
//
// The replies go through AppState and ReplyEngines as in the application:
// the composer sends, the chosen engine mode makes the reply, the stop
// button's path ends it once its first piece arrived (the partial reply
// stays in the conversation, as it does for a user).
//
// The model is a random-weight one written by the fixture generator,
// 512 wide with 8 layers (about 100 MB), so that reading a prompt takes
// measurable time. Its vocabulary is byte-level: every character of a
// prompt is a token. A user message is 55 words (about 330 characters), so
// that the twentieth turn's transcript (about 6,500 tokens) stays within the
// 8,192-token context both engines ask for.
//
// The kept-loaded engine runs all twenty turns, since its speed comes from
// what the earlier turns left in the server. The one-process engine keeps
// nothing between replies, so its twentieth turn runs in a copy of the first
// nineteen turns of that conversation; the run stays short.
//
// It needs the real llama-completion and llama-server
// (scripts/build-llama-completion.sh; QUORVANE_LLAMA_COMPLETION=<path>
// overrides) and make_tiny_gguf (QUORVANE_MAKE_TINY_GGUF=<path> overrides).
// QUORVANE_BENCH_VERBOSE=1 lists every turn.
#include "app/app_state.h"
#include "app/composer_state.h"
#include "app/reply_engines.h"
#include "core/preference_keys.h"
#include "core/record_json.h"
#include "core/sessions_store.h"
#include "engine/llama_cpp_manager.h"
#include "engine/llama_server.h"
#include "platform/preferences.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

namespace {

constexpr int kTurns = 20;
constexpr int kWordsPerMessage = 55;
constexpr int kSpeedReplies = 3;
constexpr int kLimitMs = 15 * 60 * 1000;
const QString kSpeedPrompt = QStringLiteral("Tell me a long story about the sea.");

[[noreturn]] void fail(const QString &message)
{
    std::fprintf(stderr, "followup_latency: %s\n", qPrintable(message));
    std::exit(1);
}

QString pref(const char *key) { return QString::fromLatin1(key); }

// Runs the event loop until done() holds; false after limitMs.
bool spin(const std::function<bool()> &done, int limitMs = kLimitMs)
{
    QElapsedTimer elapsed;
    elapsed.start();
    QTimer tick; // wakes the loop to look again
    tick.start(50);
    while (!done()) {
        if (elapsed.elapsed() > limitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

QString cachedProgram(const QString &name)
{
    QString path = qEnvironmentVariable("QUORVANE_LLAMA_COMPLETION");
    if (path.isEmpty()) {
        QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
        if (cache.isEmpty())
            cache = QDir::homePath() + QStringLiteral("/.cache");
        path = cache + QStringLiteral("/quorvane-dev/llama.cpp/build/bin/llama-completion");
    }
    const QFileInfo program(QFileInfo(path).absolutePath() + QLatin1Char('/') + name);
    if (!program.isExecutable())
        fail(QStringLiteral("no %1; run scripts/build-llama-completion.sh (or set QUORVANE_LLAMA_COMPLETION)")
                 .arg(program.filePath()));
    return program.absoluteFilePath();
}

QString makeModel(const QString &dir)
{
    QString generator = qEnvironmentVariable("QUORVANE_MAKE_TINY_GGUF");
    if (generator.isEmpty())
        generator = QStringLiteral(QUORVANE_MAKE_TINY_GGUF);
    const QString model = dir + QStringLiteral("/followup.gguf");
    if (QProcess::execute(generator, {model, QStringLiteral("512"), QStringLiteral("8"), QStringLiteral("1408")}) != 0
        || !QFileInfo(model).isFile())
        fail(QStringLiteral("%1 did not write the model").arg(generator));
    return model;
}

// The same made-up English every run, different for every turn.
QString userMessage(int turn)
{
    static const QStringList words = QStringLiteral(
        "the of and to in is it you that he was for on are with as they be at one have this from or had by "
        "word but what some we can out other were all there when up use your how said an each she which do "
        "their time if will way about many then them write would like so these her long make thing see him "
        "two has look more day could go come did number sound no most people my over know water than call")
                                         .split(QLatin1Char(' '));
    quint32 state = 2654435761u * quint32(turn + 1);
    QStringList out;
    for (int i = 0; i < kWordsPerMessage; ++i) {
        state = state * 1664525u + 1013904223u;
        out << words.at(int((state >> 8) % quint32(words.size())));
    }
    return QStringLiteral("Turn %1: ").arg(turn + 1) + out.join(QLatin1Char(' ')) + QLatin1Char('?');
}

// The application over the private home, replies made as mode says.
struct App {
    explicit App(const char *mode)
    {
        Preferences().setString(pref(prefkeys::kEngineMode), QString::fromLatin1(mode));
        state = std::make_unique<AppState>(engine);
        composer = std::make_unique<ComposerState>(*state);
        if (!spin([&] { return engine.isLlamaCPPVerified() && engine.isModelLoaded(); }))
            fail(QStringLiteral("llama.cpp was not verified or the model not loaded"));
    }
    QUuid current() const { return state->currentSession() ? state->currentSession()->id : QUuid(); }
    bool idle() const { return !state->isCurrentSessionGenerating() && !engine.hasProcess(current()); }

    // Sends text; the milliseconds until the first piece of its reply shows,
    // after which the reply is stopped. -1 when the reply ended without one.
    double firstPieceMs(const QString &text)
    {
        QElapsedTimer timer;
        timer.start();
        composer->setMessageText(text);
        composer->sendMessage();
        const auto piece = [&] { return !state->sessionStreamingContent().value(current()).isEmpty(); };
        if (!spin([&] { return piece() || !state->isCurrentSessionGenerating(); }))
            fail(QStringLiteral("no reply came"));
        const double ms = piece() ? timer.nsecsElapsed() / 1e6 : -1;
        state->stopCurrentReply();
        if (!spin([&] { return idle(); }))
            fail(QStringLiteral("the reply did not stop"));
        return ms;
    }

    // The median of the generation speeds under whole replies.
    double tokensPerSecond()
    {
        std::vector<double> speeds;
        for (int attempt = 0; attempt < 4 * kSpeedReplies && int(speeds.size()) < kSpeedReplies; ++attempt) {
            state->createNewChat();
            composer->setMessageText(kSpeedPrompt);
            composer->sendMessage();
            if (!spin([&] { return !state->isCurrentSessionGenerating(); }) || !spin([&] { return idle(); }))
                fail(QStringLiteral("a whole reply did not end"));
            const QList<ChatMessage> &messages = state->chatMessages();
            if (!messages.isEmpty() && messages.last().figures.tokensPerSecond)
                speeds.push_back(*messages.last().figures.tokensPerSecond);
        }
        if (speeds.empty())
            fail(QStringLiteral("no reply gave its generation speed"));
        std::sort(speeds.begin(), speeds.end());
        return speeds[speeds.size() / 2];
    }

    LlamaCPPManager engine;
    std::unique_ptr<AppState> state;
    std::unique_ptr<ComposerState> composer;
};

void note(const char *engine, int turn, double ms)
{
    if (qEnvironmentVariableIsSet("QUORVANE_BENCH_VERBOSE"))
        std::fprintf(stderr, "%s turn %d: %.0f ms to the first piece\n", engine, turn, ms);
}

double residentMegabytes(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return -1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (!qEnvironmentVariableIsSet("QUORVANE_BENCH_LOG"))
        QLoggingCategory::setFilterRules(QStringLiteral("com.quorvane.*=false"));
    qputenv("OMP_WAIT_POLICY", "passive");
    const QString completion = cachedProgram(QStringLiteral("llama-completion"));
    const QString server = cachedProgram(QStringLiteral("llama-server"));

    QTemporaryDir root;
    if (!root.isValid())
        fail(QStringLiteral("no temporary folder"));
    const QString home = root.path();
    for (const char *name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"}) {
        const QString dir = home + QLatin1Char('/') + QString::fromLatin1(name).toLower();
        QDir().mkpath(dir);
        qputenv(name, QFile::encodeName(dir));
    }
    QFile::setPermissions(home + QStringLiteral("/xdg_runtime_dir"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString bin = home + QStringLiteral("/xdg_data_home/Quorvane/llama.cpp/build/bin");
    QDir().mkpath(bin);
    if (!QFile::link(completion, bin + QStringLiteral("/llama-completion"))
        || !QFile::link(server, bin + QStringLiteral("/llama-server")))
        fail(QStringLiteral("cannot place the programs in %1").arg(bin));

    const QString modelPath = makeModel(home);
    AIModel model = AIModel::make(QStringLiteral("Followup"), QStringLiteral("file://") + modelPath);
    model.isDownloaded = true;
    model.filePath = modelPath;
    Preferences prefs;
    prefs.setData(pref(prefkeys::kDownloadedModels), *recordjson::encodeModelList({model}));
    prefs.setString(pref(prefkeys::kSelectedModelId), canonicalUuid(model.id));
    prefs.setBool(pref(prefkeys::kDidCompleteOnboarding), true);

    // The model kept loaded: twenty turns, then whole replies.
    double warmFirst = 0, warmLast = 0, warmSpeed = 0, serverMb = -1;
    QList<ChatMessage> nineteenTurns;
    {
        App warm(prefkeys::kEngineModeLocalServer);
        if (!spin([&] { return warm.state->engines().isLocalServerReady(); }))
            fail(QStringLiteral("llama-server did not get ready: %1").arg(warm.state->engines().localServerState()));
        warm.state->createNewChat();
        for (int turn = 0; turn < kTurns; ++turn) {
            if (turn == kTurns - 1)
                nineteenTurns = warm.state->chatMessages();
            const double ms = warm.firstPieceMs(userMessage(turn));
            note("kept loaded", turn + 1, ms);
            (turn == 0 ? warmFirst : warmLast) = ms;
        }
        warmSpeed = warm.tokensPerSecond();
        QElapsedTimer pause; // the server settles after the last reply
        pause.start();
        spin([&] { return pause.elapsed() >= 2000; });
        serverMb = residentMegabytes(warm.state->engines().localServer()->processId());
    }

    // One process per reply: the first turn, the twentieth in a copy of the
    // first nineteen turns above, then whole replies.
    ChatSession copy = ChatSession::make();
    copy.title = QStringLiteral("Nineteen turns");
    copy.messages = nineteenTurns;
    if (!SessionsStore::standard().save(copy))
        fail(QStringLiteral("cannot store the conversation copy"));
    double processFirst = 0, processLast = 0, processSpeed = 0;
    qsizetype transcriptChars = 0;
    {
        App process(prefkeys::kEngineModeProcess);
        process.state->createNewChat();
        processFirst = process.firstPieceMs(userMessage(0));
        note("one process", 1, processFirst);
        if (!spin([&] {
                process.state->selectSessionById(canonicalUuid(copy.id));
                return process.current() == copy.id;
            }))
            fail(QStringLiteral("the conversation copy did not load"));
        for (const ChatMessage &m : process.state->chatMessages())
            transcriptChars += m.content.size();
        processLast = process.firstPieceMs(userMessage(kTurns - 1));
        note("one process", kTurns, processLast);
        processSpeed = process.tokensPerSecond();
    }
    if (warmFirst < 0 || warmLast < 0 || processFirst < 0 || processLast < 0)
        fail(QStringLiteral("a measured reply ended before its first piece; run again"));

    std::printf("figure process_turn1_first_piece_ms: %.0f\n", processFirst);
    std::printf("figure process_turn20_first_piece_ms: %.0f (messages before it: %lld characters)\n", processLast,
                qint64(transcriptChars));
    std::printf("figure warm_turn1_first_piece_ms: %.0f\n", warmFirst);
    std::printf("figure warm_turn20_first_piece_ms: %.0f\n", warmLast);
    std::printf("figure process_tokens_per_s: %.1f (median of %d replies)\n", processSpeed, kSpeedReplies);
    std::printf("figure warm_tokens_per_s: %.1f (median of %d replies)\n", warmSpeed, kSpeedReplies);
    std::printf("figure warm_server_idle_rss_mb: %.0f (llama-server VmRSS, model file %.0f MB)\n", serverMb,
                QFileInfo(modelPath).size() / 1e6);
    std::printf("ratio warm_turn20_vs_turn1: %.2f (goal <= 1.5)\n", warmLast / warmFirst);
    std::printf("ratio process_vs_warm_turn20: %.1f (goal >= 20)\n", processLast / warmLast);
    std::printf("ratio warm_vs_process_tokens_per_s: %.3f (goal >= 0.95)\n", warmSpeed / processSpeed);
    return 0;
}
