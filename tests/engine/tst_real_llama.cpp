// Replies from the real llama-completion and the tiny model of the fixtures.
#include "common/test_support.h"
#include "engine/llama_cpp_manager.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <csignal>

namespace {

struct Outcome {
    QStringList partials;
    QList<ReplyOutcome> completions;
    qint64 completedAtMs = 0;
    bool done() const { return !completions.isEmpty(); }
};

bool processExists(qint64 pid) { return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno != ESRCH); }

} // namespace

class TestRealLlama : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void streamsOneCleanedReply();
    void stoppingMidReply();
    void twoConversationsRunOneAfterTheOther();

private:
    std::shared_ptr<Outcome> ask(const QString &prompt, const QUuid &session);

    std::unique_ptr<TempHome> m_home;
    std::unique_ptr<LlamaCPPManager> m_engine;
    AIModel m_model;
    QElapsedTimer m_clock;
};

void TestRealLlama::initTestCase()
{
    const QString binary = QStringLiteral(QUORVANE_LLAMA_COMPLETION);
    QVERIFY2(QFileInfo(binary).isExecutable(),
             qPrintable(binary + QStringLiteral(" is missing: run scripts/build-llama-completion.sh")));
    QVERIFY(QFile::exists(QStringLiteral(TINY_GGUF)));
    m_clock.start();
}

void TestRealLlama::cleanup()
{
    m_engine.reset();
    m_home.reset();
}

std::shared_ptr<Outcome> TestRealLlama::ask(const QString &prompt, const QUuid &session)
{
    if (!m_home) {
        m_home = std::make_unique<TempHome>();
        m_home->installProgram(QStringLiteral(QUORVANE_LLAMA_COMPLETION));
        m_engine = std::make_unique<LlamaCPPManager>();
        m_model = AIModel::make(QStringLiteral("Tiny"), QStringLiteral("https://example.invalid/tiny.gguf"));
        m_model.isDownloaded = true;
        m_model.filePath = QStringLiteral(TINY_GGUF);
        m_engine->loadModel(m_model);
    }
    auto outcome = std::make_shared<Outcome>();
    const QList<ChatMessage> messages{ChatMessage::make(prompt, true)};
    m_engine->generateResponse(
        prompt, session, messages, [outcome](const QString &piece) { outcome->partials << piece; },
        [this, outcome](const ReplyOutcome &o) {
            outcome->completions << o;
            outcome->completedAtMs = m_clock.elapsed();
        });
    return outcome;
}

void TestRealLlama::streamsOneCleanedReply()
{
    auto outcome = ask(QStringLiteral("Tell me a story about a cat."), QUuid::createUuid());
    QVERIFY(waitUntil([&] { return outcome->done(); }, 60000));
    QTest::qWait(100);
    QCOMPARE(outcome->completions.size(), 1);
    const ReplyOutcome &o = outcome->completions.first();
    const QString reply = o.text;
    // How it was made: the program and the model always; the time to the
    // first piece when one came; the generation figures when the timing
    // lines of standard error came through (see below).
    QCOMPARE(o.figures.engineName, QStringLiteral("llama-completion"));
    QCOMPARE(o.figures.modelName, QStringLiteral("Tiny"));
    QCOMPARE(o.figures.secondsToFirstToken.has_value(), !outcome->partials.isEmpty());
    QVERIFY(o.figures.secondsToFirstToken.value_or(1) > 0 && o.figures.secondsToFirstToken.value_or(1) < 60);
    // This llama.cpp may lose queued output at exit (its log writer is never
    // flushed); the run then ends with an error built from standard error.
    if (o.kind == ReplyOutcome::Kind::Failed) {
        QVERIFY2(o.error != ReplyError::NoOutput, qPrintable(o.errorText));
    } else {
        QCOMPARE(o.kind, ReplyOutcome::Kind::Finished);
        QCOMPARE(o.stopReason == StopReason::Unknown, !o.figures.tokenCount);
        if (o.figures.tokenCount)
            QVERIFY(*o.figures.tokenCount > 0 && o.figures.tokensPerSecond.value_or(0) > 0);
        QVERIFY(!reply.contains(QStringLiteral("> EOF by user")));
        QVERIFY(!outcome->partials.isEmpty());
        // the reply is what streamed, cleaned
        auto squeezed = [](QString text) { return text.remove(QRegularExpression(QStringLiteral("\\s+"))); };
        const QString streamed = outcome->partials.join(QString());
        QVERIFY2(squeezed(streamed).contains(squeezed(reply)), qPrintable(streamed + QStringLiteral(" / ") + reply));
    }
    QCOMPARE(QDir(m_home->runtimeDir()).entryList(QDir::Files), QStringList());
}

void TestRealLlama::stoppingMidReply()
{
    const QUuid session = QUuid::createUuid();
    auto outcome = ask(QStringLiteral("Write a long answer."), session);
    QVERIFY(waitUntil([&] { return !outcome->partials.isEmpty() || outcome->done(); }, 60000));
    m_engine->stopGeneration(session);
    QVERIFY(waitUntil([&] { return outcome->done(); }, 10000));
    QCOMPARE(outcome->completions.size(), 1);
    QVERIFY(!m_engine->hasProcess(session));
    // no llama-completion left behind
    QDir proc(QStringLiteral("/proc"));
    for (const QString &pid : proc.entryList(QDir::Dirs)) {
        const QByteArray cmd = readFileBytes(QStringLiteral("/proc/") + pid + QStringLiteral("/cmdline"));
        if (cmd.contains("llama-completion") && cmd.contains(m_home->runtimeDir().toUtf8()))
            QVERIFY2(!processExists(pid.toLongLong()), cmd.constData());
    }
}

void TestRealLlama::twoConversationsRunOneAfterTheOther()
{
    LogCapture log;
    auto first = ask(QStringLiteral("First question"), QUuid::createUuid());
    auto second = ask(QStringLiteral("Second question"), QUuid::createUuid());
    QVERIFY(waitUntil([&] { return first->done() && second->done(); }, 120000));
    QVERIFY(first->completedAtMs <= second->completedAtMs);
    // never two processes at once
    const QStringList lines = log.lines();
    int active = 0, most = 0;
    for (const QString &line : lines) {
        if (line.contains(QStringLiteral("Created dedicated llama.cpp process")))
            most = std::max(most, ++active);
        if (line.contains(QStringLiteral("Closed llama.cpp process")))
            --active;
    }
    QCOMPARE(most, 1);
    QCOMPARE(log.count(QStringLiteral("Closed llama.cpp process")), 2);
}

QTEST_GUILESS_MAIN(TestRealLlama)
#include "tst_real_llama.moc"
