// The engine manager: loading a model, finding llama-completion, the
// processes of sessions, and reading a model's chat template (the line rule,
// runs of the fake and the real llama-completion, and what is kept between
// calls).
#include "common/test_support.h"
#include "engine/chat_template.h"
#include "engine/llama_cpp_manager.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <atomic>

#include <unistd.h>

namespace {

// Stands in for a running llama-completion.
class FakeProcess : public ProcessHandle {
public:
    explicit FakeProcess(bool running = true) : m_running(running) {}
    bool isRunning() const override { return m_running; }
    qint64 processId() const override { return 4242; }
    void terminate() override
    {
        ++terminateCount;
        m_running = false;
    }
    void kill() override { m_running = false; }
    std::atomic<int> terminateCount{0};

private:
    std::atomic<bool> m_running;
};

AIModel downloadedModel(const QString &path, const QString &name = QStringLiteral("Tiny"))
{
    AIModel m = AIModel::make(name, QStringLiteral("https://example.invalid/") + name);
    m.isDownloaded = true;
    m.filePath = path;
    return m;
}

const QString kAppBinary = QStringLiteral(".local/share/Quorvane/llama.cpp/build/bin/llama-completion");
const QString kDesktopBinary = QStringLiteral("Desktop/Quorvane/Quorvane/llama.cpp/build/bin/llama-completion");

using Result = std::optional<QString>;

const QString kTemplate = QStringLiteral("{% for message in messages %}{{ message.content }}{% endfor %}");

// An engine whose program directory may hold the fake llama-completion.
struct Harness {
    explicit Harness(EngineTimings timings = {}) : engine(nullptr, timings)
    {
        qputenv("FAKE_LLAMA_RECORD", recordPath().toUtf8());
    }
    ~Harness()
    {
        qunsetenv("FAKE_LLAMA_RECORD");
        qunsetenv("FAKE_LLAMA_SCRIPT");
    }
    QString programPath() const { return home.dataDir() + QStringLiteral("/llama.cpp/build/bin/llama-completion"); }
    void install(const QString &program = QStringLiteral(FAKE_LLAMA_COMPLETION)) const
    {
        QDir().mkpath(QFileInfo(programPath()).path());
        QFile::remove(programPath());
        QFile::link(program, programPath());
    }
    void script(const QByteArray &text) const
    {
        qputenv("FAKE_LLAMA_SCRIPT", home.writeFile(QStringLiteral("script.txt"), text).toUtf8());
    }
    QString recordPath() const { return home.home() + QStringLiteral("/record.jsonl"); }
    int runs() const { return QFile::exists(recordPath()) ? int(readFileBytes(recordPath()).count('\n')) : 0; }

    TempHome home;
    LlamaCPPManager engine;
};

} // namespace

class TestEngine : public QObject {
    Q_OBJECT

private slots:
    void loadModelOutcomes_data()
    {
        QTest::addColumn<bool>("isDownloaded");
        QTest::addColumn<bool>("fileExists");
        QTest::addColumn<QString>("expectedError");
        QTest::newRow("usable") << true << true << QString();
        QTest::newRow("not downloaded") << false << true << QStringLiteral("Model is not downloaded");
        QTest::newRow("file deleted") << true << false << QStringLiteral("Model file not found");
    }
    // A usable model replaces the loaded one and stops running generations;
    // a refused one leaves both as they were.
    void loadModelOutcomes()
    {
        QFETCH(bool, isDownloaded);
        QFETCH(bool, fileExists);
        QFETCH(QString, expectedError);
        TempHome home;
        LlamaCPPManager engine;
        const AIModel previous = downloadedModel(home.writeFile("prev.gguf", "GGUF"), QStringLiteral("Prev"));
        engine.loadModel(previous);
        QVERIFY(engine.isModelLoaded());

        AIModel model = downloadedModel(home.home() + "/next.gguf", QStringLiteral("Next"));
        if (fileExists)
            home.writeFile("next.gguf", "GGUF");
        model.isDownloaded = isDownloaded;
        auto running = std::make_shared<FakeProcess>();
        const QUuid session = QUuid::createUuid();
        engine.registerProcess(session, running);
        QSignalSpy loadedChanged(&engine, &LlamaCPPManager::isModelLoadedChanged);
        engine.loadModel(model);

        const bool ok = expectedError.isEmpty();
        QCOMPARE(engine.errorMessage().value_or(QString()), expectedError);
        QVERIFY(engine.isModelLoaded());
        QCOMPARE(engine.currentModel()->id, ok ? model.id : previous.id);
        QCOMPARE(engine.loadingProgress(), 1.0);
        QCOMPARE(running->terminateCount.load(), ok ? 1 : 0);
        QCOMPARE(engine.hasProcess(session), !ok);
        // A reload passes through the unloaded state on the way.
        QCOMPARE(loadedChanged.count(), ok ? 2 : 0);
    }

    // Where llama-completion is looked for, and that "installed" needs an
    // execute bit on the one found.
    void findLlamaCompletion_data()
    {
        QTest::addColumn<int>("dataPerms"); // -1: no file there
        QTest::addColumn<int>("desktopPerms");
        QTest::addColumn<QString>("expected"); // relative to home, "" = none
        QTest::addColumn<bool>("installed");
        const int rw = int(QFileDevice::ReadOwner | QFileDevice::WriteOwner), rwx = rw | int(QFileDevice::ExeOwner);
        QTest::newRow("none") << -1 << -1 << QString() << false;
        QTest::newRow("data folder, not executable") << rw << -1 << kAppBinary << false;
        QTest::newRow("data folder, other may execute") << (rw | int(QFileDevice::ExeOther)) << -1 << kAppBinary << true;
        QTest::newRow("desktop only") << -1 << rwx << kDesktopBinary << true;
        QTest::newRow("both: data folder wins") << rw << rwx << kAppBinary << false;
    }
    void findLlamaCompletion()
    {
        QFETCH(int, dataPerms);
        QFETCH(int, desktopPerms);
        QFETCH(QString, expected);
        QFETCH(bool, installed);
        TempHome home;
        for (const auto &[relative, perms] : {std::pair(kAppBinary, dataPerms), std::pair(kDesktopBinary, desktopPerms)})
            if (perms >= 0)
                QFile::setPermissions(home.writeFile(relative, "#!/bin/sh\n"), QFileDevice::Permissions(perms));
        LlamaCPPManager engine;
        LogCapture log;
        const auto found = engine.findLlamaCompletion();
        if (expected.isEmpty()) {
            QVERIFY(!found);
            QVERIFY(log.contains("App's llama-completion not found - installation required"));
        } else {
            QCOMPARE(found.value_or(QString()), home.home() + '/' + expected);
            QVERIFY(log.contains("✓ Found app's llama-completion at: " + *found));
        }
        QCOMPARE(engine.isLlamaCPPInstalled(), installed);
    }

    // Stopping all terminates only running processes; the run that owned an
    // old process ends after a new run registered, and keeps the new one.
    void sessionProcesses()
    {
        LlamaCPPManager engine;
        auto a = std::make_shared<FakeProcess>(), b = std::make_shared<FakeProcess>();
        auto finished = std::make_shared<FakeProcess>(false);
        const QUuid idA = QUuid::createUuid(), idB = QUuid::createUuid(), idC = QUuid::createUuid();
        engine.registerProcess(idA, finished);
        engine.registerProcess(idA, a);
        engine.unregisterProcess(idA, finished.get());
        QVERIFY(engine.hasProcess(idA));
        engine.registerProcess(idB, b);
        engine.registerProcess(idC, finished);
        LogCapture log;
        engine.stopAllSessions();
        QCOMPARE((QList<int>{a->terminateCount, b->terminateCount, finished->terminateCount}), (QList<int>{1, 1, 0}));
        QVERIFY(!engine.hasProcess(idA) && !engine.hasProcess(idB) && !engine.hasProcess(idC));
        QCOMPARE(log.count("Terminated process for session: "), 2);
        QVERIFY(log.contains("Terminated process for session: " + canonicalUuid(idA).left(8)));
        QVERIFY(log.lines().last().endsWith("All session processes stopped"));
        engine.registerProcess(idA, finished);
        engine.unregisterProcess(idA, finished.get());
        QVERIFY(!engine.hasProcess(idA));
    }

    void realProgramOnTheTinyModel()
    {
        const QString binary = QStringLiteral(QUORVANE_LLAMA_COMPLETION);
        QVERIFY2(QFileInfo(binary).isExecutable(),
                 qPrintable(binary + QStringLiteral(" is missing: run scripts/build-llama-completion.sh")));
        Harness h;
        h.install(binary);
        // llama.cpp shortens long values in its metadata lines, so what comes out
        // is the start of the ChatML template followed by "...".
        const Result found = h.engine.prewarmChatTemplate(QStringLiteral(TINY_GGUF));
        QVERIFY(found);
        QVERIFY2(found->startsWith(QStringLiteral("{% for message in messages %}")), qPrintable(*found));
        QVERIFY2(found->contains(QStringLiteral("<|im_")), qPrintable(*found));
    }

    // What the loader says about the model, found or not, ended at the time
    // limit or not: one run per model, whose answer is kept (unless there was
    // no program to ask). The line rule: the first line naming chat_template
    // with an "=" and, trimmed of spaces and quotes, more than ten characters.
    void chatTemplate_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<Result>("expected");
        QTest::addColumn<int>("program");   // 0: the fake, 1: none, 2: a file that cannot run
        QTest::addColumn<bool>("timesOut"); // ended at the time limit (300 ms)
        const auto says = [](const QString &output) { return "err " + output.toUtf8().replace("\n", "\\n") + "\\n\n"; };
        const auto row = [&](const char *name, const QString &output, const Result &expected, int program = 0) {
            QTest::newRow(name) << says(output) << expected << program << false;
        };
        row("quoted, with type word",
            "llama_model_loader: - kv 22: tokenizer.chat_template str = \"" + kTemplate + "\"  ", kTemplate);
        row("no equals sign", "tokenizer.chat_template: " + kTemplate, Result());
        row("10 characters", "chat_template = abcdefghij", Result());
        row("11, without the tokenizer prefix", "x chat_template = abcdefghijk", QStringLiteral("abcdefghijk"));
        row("quotes only", "chat_template = '\"\"'", Result());
        row("single quotes, nested", "tokenizer.chat_template = ''" + kTemplate + "'", kTemplate);
        row("split at the first equals sign", "chat_template = a == b and c = d", QStringLiteral("a == b and c = d"));
        row("first qualifying line wins",
            "loading\nchat_template = short\ntokenizer.chat_template = first template\n"
            "tokenizer.chat_template = second template",
            QStringLiteral("first template"));
        row("not UTF-8", "tokenizer.chat_template = \\xff" + kTemplate, Result());
        row("program missing", "tokenizer.chat_template = " + kTemplate, Result(), 1);
        row("program cannot run", "tokenizer.chat_template = " + kTemplate, Result(), 2);
        QTest::newRow("with standard output") << QByteArray("err loading\\n\nerr tokenizer.chat_template str = ")
                                                     + kTemplate.toUtf8() + "\\n\nout > EOF by user\\n\n"
                                              << Result(kTemplate) << 0 << false;
        QTest::newRow("template past the output limit")
            << QByteArray("out ") + QByteArray(9 * 1024 * 1024, 'a') + "\nout \\ntokenizer.chat_template = "
                   + kTemplate.toUtf8() + "\\n\n"
            << Result() << 0 << false;
        QTest::newRow("hangs") << QByteArray("err tokenizer.chat_template = " + kTemplate.toUtf8() + "\\n\nhang\n")
                               << Result() << 0 << true;
        QTest::newRow("hangs, ignores SIGTERM") << QByteArray("ignore-sigterm\nhang\n") << Result() << 0 << true;
    }

    void chatTemplate()
    {
        QFETCH(QByteArray, script);
        QFETCH(Result, expected);
        QFETCH(int, program);
        QFETCH(bool, timesOut);
        EngineTimings timings;
        if (timesOut)
            timings.templateLimit = std::chrono::milliseconds(300);
        Harness h(timings);
        if (program == 0)
            h.install();
        else if (program == 2)
            h.home.writeFile(kAppBinary, "not a program");
        // The fake first copies its standard input: had the run inherited ours,
        // the template line waiting there would be what is found.
        h.script("echo-stdin\n" + script);
        int fds[2];
        QCOMPARE(::pipe(fds), 0);
        const QByteArray waiting = "\ntokenizer.chat_template = typed by the user\n";
        QCOMPARE(::write(fds[1], waiting.constData(), size_t(waiting.size())), ssize_t(waiting.size()));
        ::close(fds[1]);
        const int savedInput = ::dup(0);
        ::dup2(fds[0], 0);
        ::close(fds[0]);
        const auto restore = qScopeGuard([&] {
            ::dup2(savedInput, 0);
            ::close(savedInput);
        });
        LogCapture log;
        const QString model = h.home.writeFile(QStringLiteral("model.gguf"), "GGUF");
        QCOMPARE(h.engine.prewarmChatTemplate(model), expected);
        QCOMPARE(log.count(QStringLiteral("Chat-template extraction timed out, terminating")), timesOut ? 1 : 0);
        h.install();
        QCOMPARE(h.engine.prewarmChatTemplate(model), program == 1 ? Result(kTemplate) : expected);
        QCOMPARE(h.runs(), program == 2 ? 0 : 1);
        if (program != 2) {
            const QByteArray record = readFileBytes(h.recordPath());
            QVERIFY2(record.contains("\"args\":[\"-m\",\"" + model.toUtf8() + "\",\"--verbose\",\"-n\",\"0\"]"),
                     record.constData());
        }
    }
};

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
