// Reading a model's chat template: the line rule, and runs of the fake
// llama-completion.
#include "common/test_support.h"
#include "engine/chat_template.h"
#include "engine/llama_cpp_manager.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

namespace {

const QString kAppBinary = QStringLiteral(".local/share/Quorvane/llama.cpp/build/bin/llama-completion");

using Result = std::optional<QString>;

const QString kTemplate = QStringLiteral("{% for message in messages %}{{ message.content }}{% endfor %}");

// An engine whose program directory may hold the fake llama-completion, and
// the fake's record of its runs.
struct Harness {
    explicit Harness(EngineTimings timings = {}) : engine(nullptr, timings)
    {
        qputenv("FAKE_LLAMA_RECORD", recordPath().toUtf8());
    }
    ~Harness() { qunsetenv("FAKE_LLAMA_RECORD"); }
    void install(const QString &program = QStringLiteral(FAKE_LLAMA_COMPLETION)) const
    {
        QFile::remove(home.home() + u'/' + kAppBinary);
        QVERIFY(home.installProgram(program));
    }
    QString recordPath() const { return home.home() + QStringLiteral("/record.jsonl"); }

    TempHome home;
    LlamaCPPManager engine;
};

} // namespace

class TestEngine : public QObject {
    Q_OBJECT

private slots:
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
            << "bulk out 9437184\nout \\ntokenizer.chat_template = " + kTemplate.toUtf8() + "\\n\n"
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
        qputenv("FAKE_LLAMA_SCRIPT_TEXT", "echo-stdin\n" + script);
        const auto typed = h.home.writeFile(QStringLiteral("typed"), "\ntokenizer.chat_template = typed by the user\n");
        const int input = ::open(QFile::encodeName(typed).constData(), O_RDONLY);
        const int savedInput = ::dup(0);
        ::dup2(input, 0);
        ::close(input);
        const auto restore = qScopeGuard([&] {
            ::dup2(savedInput, 0);
            ::close(savedInput);
            qunsetenv("FAKE_LLAMA_SCRIPT_TEXT");
        });
        LogCapture log;
        const QString model = h.home.writeFile(QStringLiteral("model.gguf"), "GGUF");
        QCOMPARE(h.engine.prewarmChatTemplate(model), expected);
        QCOMPARE(log.count(QStringLiteral("Chat-template extraction timed out, terminating")), timesOut ? 1 : 0);
        h.install();
        QCOMPARE(h.engine.prewarmChatTemplate(model), program == 1 ? Result(kTemplate) : expected);
        // one run, with these arguments, unless nothing could run
        const QByteArray record = readFileBytes(h.recordPath());
        QCOMPARE(record.count('\n'), program == 2 ? 0 : 1);
        QVERIFY2(program == 2 || record.contains("\"args\":[\"-m\",\"" + model.toUtf8() + "\",\"--verbose\",\"-n\",\"0\"]"),
                 record.constData());
    }
};

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
