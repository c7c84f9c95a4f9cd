// Generation runs against the fake llama-completion: what is passed to the
// program, how its output streams, and the one outcome of every request
// (stopping mid-reply is the chat-turn test's).
#include "common/test_support.h"
#include "core/preference_keys.h"
#include "engine/generation_run.h"
#include "engine/llama_cpp_manager.h"
#include "engine/prompt_assembly.h"
#include "platform/preferences.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// An outcome in one line: "finished: <reply>", "stopped: <partial>" or
// "failed <error>: <reason>".
QString describe(const ReplyOutcome &o)
{
    static const char *const errors[] = {"no model", "busy", "blank", "not installed", "model missing",
                                         "staging", "launch", "engine", "no output"};
    if (o.kind == ReplyOutcome::Kind::Failed)
        return QStringLiteral("failed %1: %2").arg(QLatin1String(errors[int(o.error)]), o.errorText);
    return (o.kind == ReplyOutcome::Kind::Finished ? QStringLiteral("finished: ") : QStringLiteral("stopped: ")) + o.text;
}

// What one request delivered to its callbacks, in order.
struct Outcome {
    QStringList partials;
    QStringList completions; // described
    ReplyOutcome last;
    bool done() const { return !completions.isEmpty(); }
};

class Harness {
public:
    explicit Harness(EngineTimings timings = {400ms, 50ms, 300ms}) : engine(nullptr, timings)
    {
        // The fake in the place the installers put the real program.
        QVERIFY(home.installProgram(QStringLiteral(FAKE_LLAMA_COMPLETION)));
        model = AIModel::make(QStringLiteral("Tiny"), QStringLiteral("https://example.invalid/tiny.gguf"));
        model.isDownloaded = true;
        model.filePath = home.writeFile(QStringLiteral("tiny.gguf"), "GGUF");
        engine.loadModel(model);
        qputenv("FAKE_LLAMA_RECORD", (home.home() + QStringLiteral("/record.jsonl")).toUtf8());
    }
    ~Harness()
    {
        qunsetenv("FAKE_LLAMA_RECORD");
        qunsetenv("FAKE_LLAMA_SCRIPT_TEXT");
    }

    // "await N" in a script: the fake goes on once the test has seen N pieces.
    void script(QByteArray text)
    {
        qputenv("FAKE_LLAMA_SCRIPT_TEXT", text.replace("await ", "await " + QFile::encodeName(home.home()) + "/go-"));
    }

    std::shared_ptr<Outcome> ask(const QString &prompt, const QUuid &session = QUuid::createUuid())
    {
        auto outcome = std::make_shared<Outcome>();
        engine.generateResponse(
            prompt, session, {ChatMessage::make(prompt, true)},
            [outcome](const QString &piece) { outcome->partials << piece; },
            [outcome](const ReplyOutcome &o) {
                outcome->completions << describe(o);
                outcome->last = o;
            });
        return outcome;
    }

    bool finished(const std::shared_ptr<Outcome> &o, int ms = 10000) const
    {
        return waitUntil([&] {
            QFile(home.home() + QStringLiteral("/go-%1").arg(o->partials.size())).open(QIODevice::WriteOnly);
            return o->done();
        }, ms);
    }

    // The recorded runs of the fake.
    QList<QJsonObject> runs() const
    {
        QList<QJsonObject> list;
        for (const QByteArray &line : readFileBytes(home.home() + QStringLiteral("/record.jsonl")).split('\n'))
            if (line.startsWith('{'))
                list << QJsonDocument::fromJson(line).object();
        return list;
    }

    TempHome home;
    LlamaCPPManager engine;
    AIModel model;
};

} // namespace

class TestGeneration : public QObject {
    Q_OBJECT

private slots:
    void passesTheFixedCommandLineAndStagedPrompt()
    {
        Harness h;
        Preferences().setString(QString::fromLatin1(prefkeys::kSystemPrompt), QStringLiteral("  Be brief.  "));
        const QUuid session = QUuid::createUuid();
        const QString promptPath = promptFilePath(session);
        // A file planted under a guessable name beside the prompt, linked from
        // elsewhere: the prompt must never be written into it.
        const QString planted = promptPath + QStringLiteral(".tmp-") + QString::number(::getpid());
        const QString spy = h.home.writeFile(QStringLiteral("spy"), "");
        QCOMPARE(::link(QFile::encodeName(spy).constData(), QFile::encodeName(planted).constData()), 0);
        // Look at the staged file while the run holds it.
        h.script("sleep 300\nprompt\n");
        auto outcome = h.ask(QStringLiteral("Hello there"), session);
        QVERIFY(waitUntil([&] { return QFile::exists(promptPath); }));
        const QFileDevice::Permissions promptPermissions = QFile::permissions(promptPath);
        QVERIFY(h.finished(outcome));

        QCOMPARE(promptPath, h.home.runtimeDir() + QStringLiteral("/quorvane-prompt-") + canonicalUuid(session)
                                 + QStringLiteral(".txt"));
        QCOMPARE(promptPermissions, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser
                                        | QFileDevice::WriteUser);
        QVERIFY(!QFile::exists(promptPath)); // gone once the run ended
        QCOMPARE(readFileBytes(spy), QByteArray());
        QCOMPARE(QDir(h.home.runtimeDir()).entryList(QDir::Files), QStringList{QFileInfo(planted).fileName()});

        const auto runs = h.runs();
        QCOMPARE(runs.size(), 1);
        const QStringList args = runs[0].value(QStringLiteral("args")).toVariant().toStringList();
        QStringList expected = {"-m", h.model.filePath, "-f", promptPath, "-n", "2048", "-c", "8192",
                                "--temp", "0.8", "--top-k", "40", "--top-p", "0.9", "--repeat-penalty", "1.0",
                                "--repeat-last-n", "64", "-ngl", "99", "--no-display-prompt"};
        // the layer count depends on this machine's memory; the rest is fixed
        QVERIFY(QStringList({"99", "32", "0"}).contains(args.value(19)));
        expected[19] = args.value(19);
        QCOMPARE(args, expected);
        QCOMPARE(runs[0].value(QStringLiteral("prompt")).toString(),
                 QStringLiteral("System: Be brief.\n\nUser: Hello there\n\nAssistant:"));
    }

    // The one outcome of a run, with the figures read from the timing lines
    // of standard error (written as the real program writes them, or split
    // across writes in an older program's words). The pieces stream as they
    // come, never splitting a character.
    void finalOutcomes_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("stop");     // StopReason of a finished reply
        QTest::addColumn<int>("tokens");   // -1: unknown
        QTest::addColumn<double>("speed"); // -1: unknown
        const int end = int(StopReason::EndOfText), limit = int(StopReason::TokenLimit),
                  unknown = int(StopReason::Unknown);
        QTest::newRow("reply and timing lines")
            << QByteArray("out Hello\nerr 0.05.035.134 I common_perf_print: prompt eval time =     987.59 ms /    95 "
                          "tokens (   10.40 ms per token,    96.19 tokens per second)\\n0.05.035.140 I "
                          "common_perf_print:        eval time =    2932.22 ms /     8 runs   (  366.53 ms per "
                          "token,     2.73 tokens per second)\\n\n")
            << QStringLiteral("finished: Hello") << end << 8 << 2.73;
        QTest::newRow("token limit, line split across writes")
            << QByteArray("out Hi\nerr llama_perf_context_print:        eval time =   100.00 ms /  2047 tok\n"
                          "sleep 50\nerr ens (    0.05 ms per token, 20470.00 tokens per second)\\n\n")
            << QStringLiteral("finished: Hi") << limit << 2047 << 20470.0;
        QTest::newRow("reply despite a crash")
            << QByteArray("out partial answer\nerr eval time = 1.00 ms / 3 runs (0.33 ms per token, 3000.00 tokens "
                          "per second)\\n\nsignal 11\n")
            << QStringLiteral("finished: partial answer") << unknown << 3 << 3000.0;
        // 😀 is F0 9F 98 80: two writes, the second once the first was read
        QTest::newRow("split character") << QByteArray("out a\\xf0\\x9f\nawait 1\nout \\x98\\x80b\n")
                                         << QStringLiteral("finished: a😀b") << unknown << -1 << -1.0;
        // a character that the next write shows to be cut off: the text after it is kept
        QTest::newRow("cut character") << QByteArray("out a\\xe2\\x82\nawait 1\nout b\\xe2\\x82\\xac\n")
                                       << QStringLiteral("finished: a\uFFFD\uFFFDb€") << unknown << -1 << -1.0;
        QTest::newRow("stderr tail, last five lines")
            << QByteArray("err one\\ntwo\\n\\nthree\\nfour\\nfive\\nsix\\n\nexit 1\n")
            << QStringLiteral("failed engine: two | three | four | five | six") << unknown << -1 << -1.0;
        QTest::newRow("a stderr line that is not UTF-8 is dropped")
            << QByteArray("err \\xff\\xfe\\nreal line\\n\nexit 1\n") << QStringLiteral("failed engine: real line")
            << unknown << -1 << -1.0;
        // silent too long: the stderr tail explains it
        QTest::newRow("silent") << QByteArray("err loading\\n\nhang\n") << QStringLiteral("failed engine: loading")
                                << unknown << -1 << -1.0;
        QTest::newRow("silent, ignores SIGTERM") << QByteArray("ignore-sigterm\nerr loading\\n\nhang\n")
                                                 << QStringLiteral("failed engine: loading") << unknown << -1 << -1.0;
    }
    void finalOutcomes()
    {
        QFETCH(QByteArray, script);
        QFETCH(QString, expected);
        QFETCH(int, stop);
        QFETCH(int, tokens);
        QFETCH(double, speed);
        Harness h;
        h.script(script);
        auto outcome = h.ask(QStringLiteral("Hi"));
        QVERIFY(h.finished(outcome));
        QTest::qWait(50); // a second completion would arrive now
        QCOMPARE(outcome->completions, QStringList{expected});
        const ReplyOutcome &o = outcome->last;
        if (o.kind == ReplyOutcome::Kind::Finished) {
            QCOMPARE(int(o.stopReason), stop);
            QCOMPARE(outcome->partials.join(QString()), o.text);
        }
        QCOMPARE(o.figures.tokenCount.value_or(-1), qint64(tokens));
        QCOMPARE(o.figures.tokensPerSecond.value_or(-1.0), speed);
        // the time to the first piece, when one came
        QCOMPARE(o.figures.secondsToFirstToken.has_value(), !outcome->partials.isEmpty());
    }

    // Requests refused or failing before any run: one error, nothing launched.
    void refusals_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QString>("expected"); // ending in a space: a prefix followed by the reason
        QTest::newRow("no model") << "no model" << "failed no model: No model loaded";
        QTest::newRow("program missing") << "program" << "failed not installed: llama.cpp not installed";
        QTest::newRow("model file missing") << "model" << "failed model missing: Model file not found";
        QTest::newRow("temporary folder is a file") << "temp" << "failed staging: Could not stage prompt file — ";
        QTest::newRow("program not executable") << "exec" << "failed launch: ";
    }
    void refusals()
    {
        QFETCH(QString, situation);
        QFETCH(QString, expected);
        Harness h;
        h.script("out should not run\n");
        const QUuid session = QUuid::createUuid();
        const QString bin = h.home.dataDir() + QStringLiteral("/llama.cpp/build/bin/llama-completion");
        if (situation == "no model") {
            h.engine.unloadModel();
        } else if (situation == "program") {
            QFile::remove(bin);
        } else if (situation == "model") {
            QFile::remove(h.model.filePath);
        } else if (situation == "temp") {
            QDir(h.home.runtimeDir()).removeRecursively();
            h.home.writeFile(QStringLiteral("run"), "not a folder");
        } else {
            QFile::remove(bin);
            h.home.writeFile(QStringLiteral(".local/share/Quorvane/llama.cpp/build/bin/llama-completion"), "#!/bin/sh\n");
        }
        auto outcome = h.ask(QStringLiteral("Hi"), session);
        QVERIFY(h.finished(outcome));
        QCOMPARE(outcome->completions.size(), 1);
        const QString text = outcome->completions[0];
        QVERIFY2(text == expected || (expected.endsWith(' ') && text.startsWith(expected) && text.size() > expected.size()),
                 qPrintable(text));
        QVERIFY(outcome->partials.isEmpty());
        QCOMPARE(h.runs().size(), 0);
        QVERIFY(!h.engine.hasProcess(session) && !QFile::exists(promptFilePath(session)));
    }

    // A request of a conversation that is running is refused. A model that
    // cannot be loaded leaves the loaded one and its run alone; a usable one
    // replaces it (passing through "unloaded") and ends the run, which is then
    // no stop: the stderr tail explains it.
    void reloadDuringARun()
    {
        Harness h(EngineTimings{60s, 2s, 300ms});
        h.script("err loading\\n\nsleep 5000\n");
        const QUuid session = QUuid::createUuid();
        auto outcome = h.ask(QStringLiteral("Hi"), session);
        QVERIFY(waitUntil([&] { return h.engine.hasProcess(session); }));
        auto again = h.ask(QStringLiteral("again"), session);
        QVERIFY(h.finished(again));
        QCOMPARE(again->completions, QStringList{QStringLiteral("failed busy: Already generating")});
        QTest::qWait(100);
        AIModel next = AIModel::make(QStringLiteral("Next"), QStringLiteral("https://example.invalid/next.gguf"));
        next.filePath = h.model.filePath;
        h.engine.loadModel(next);
        QCOMPARE(h.engine.errorMessage().value_or(QString()), QStringLiteral("Model is not downloaded"));
        QCOMPARE(h.engine.currentModel()->id, h.model.id);
        QVERIFY(h.engine.hasProcess(session));
        QSignalSpy loadedChanged(&h.engine, &LlamaCPPManager::isModelLoadedChanged);
        next.isDownloaded = true;
        h.engine.loadModel(next);
        QCOMPARE(loadedChanged.count(), 2);
        QCOMPARE(h.engine.loadingProgress(), 1.0);
        QVERIFY(h.engine.errorMessage().value_or(QString()).isEmpty() && h.engine.currentModel()->id == next.id);
        QVERIFY(h.finished(outcome, 8000));
        QCOMPARE(outcome->completions, QStringList{QStringLiteral("failed engine: loading")});
    }

    // Quitting ends the run at once, and a request still waiting for its turn
    // never starts (the run's own end is the end-to-end test's).
    void quittingStartsNothingMore()
    {
        Harness h;
        h.script("out partial\nsleep 5000\n");
        auto running = h.ask(QStringLiteral("first"));
        auto queued = h.ask(QStringLiteral("second"));
        QVERIFY(waitUntil([&] { return !running->partials.isEmpty(); }));
        QVERIFY(QMetaObject::invokeMethod(QCoreApplication::instance(), "aboutToQuit", Qt::DirectConnection));
        QVERIFY(h.finished(running, 3000));
        h.engine.processQueue().sync([] {});
        QTest::qWait(50);
        QCOMPARE(h.runs().size(), 1);
        QVERIFY(!queued->done());
        QCOMPARE(QDir(h.home.runtimeDir()).entryList(QDir::Files), QStringList());
    }

    // Prompts a killed run left behind go when the engine starts, unless
    // another engine of the same user still runs (and may be using them).
    void leftoverPromptsAtStart()
    {
        for (const bool alone : {true, false}) {
            TempHome home;
            std::optional<LlamaCPPManager> other;
            if (!alone)
                other.emplace();
            const QString staged = QFileInfo(promptFilePath(QUuid::createUuid())).fileName();
            for (const QString &name : {staged, staged + QStringLiteral(".tmp-0a1b"), QStringLiteral("unrelated.txt")})
                home.writeFile(QStringLiteral("run/") + name, "left");
            LlamaCPPManager engine;
            QCOMPARE(QDir(home.runtimeDir()).entryList(QDir::Files).size(), alone ? 1 : 3);
            QVERIFY(QFile::exists(home.runtimeDir() + QStringLiteral("/unrelated.txt")));
        }
    }

    // The real program with the tiny model streams, ends when stopped and
    // leaves neither a process nor a prompt file behind.
    void realProgramStopsMidReply()
    {
        Harness h({60s, 2s, 300ms});
        QFile::remove(h.home.dataDir() + QStringLiteral("/llama.cpp/build/bin/llama-completion"));
        QVERIFY(h.home.installProgram(QStringLiteral(QUORVANE_LLAMA_COMPLETION)));
        h.model.filePath = QStringLiteral(TINY_GGUF);
        h.engine.loadModel(h.model);
        const QUuid session = QUuid::createUuid();
        auto outcome = h.ask(QStringLiteral("Write a long answer."), session);
        QVERIFY(waitUntil([&] { return !outcome->partials.isEmpty() || outcome->done(); }, 60000));
        h.engine.stopGeneration(session);
        QVERIFY(h.finished(outcome));
        QCOMPARE(outcome->completions.size(), 1);
        QVERIFY2(outcome->last.kind != ReplyOutcome::Kind::Failed, qPrintable(outcome->completions.first()));
        QVERIFY(!h.engine.hasProcess(session));
        QCOMPARE(processesWith(h.home.runtimeDir().toUtf8()), 0);
        QCOMPARE(QDir(h.home.runtimeDir()).entryList(QDir::Files), QStringList());
    }

    // The layers offloaded for a machine's memory and a model's size.
    void gpuLayers()
    {
        constexpr qint64 gib = qint64(1) << 30;
        QCOMPARE(gpuLayerCount(16 * gib, qint64(7.8 * gib)), 99); // 16 GiB: at the 0.6 boundary
        QCOMPARE(gpuLayerCount(16 * gib, 10 * gib), 32);
        QCOMPARE(gpuLayerCount(16 * gib, 12 * gib), 0);
        QCOMPARE(gpuLayerCount(16 * gib, std::nullopt), 99); // a size unknown is taken as 4 GiB
        QCOMPARE(gpuLayerCount(2 * gib, gib / 2), 0);
    }
};

QTEST_GUILESS_MAIN(TestGeneration)
#include "tst_generation.moc"
