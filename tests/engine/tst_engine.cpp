#include "common/test_support.h"
#include "engine/llama_cpp_manager.h"

#include <QCoreApplication>
#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <atomic>

namespace {

// Stands in for a running llama-completion.
class FakeProcess : public ProcessHandle {
public:
    explicit FakeProcess(qint64 pid, bool running = true) : m_pid(pid), m_running(running) {}
    bool isRunning() const override { return m_running; }
    qint64 processId() const override { return m_pid; }
    void terminate() override
    {
        ++terminateCount;
        m_running = false;
    }
    void kill() override
    {
        ++killCount;
        m_running = false;
    }
    std::atomic<int> terminateCount{0};
    std::atomic<int> killCount{0};

private:
    qint64 m_pid;
    std::atomic<bool> m_running;
};

AIModel downloadedModel(const QString &path, const QString &name = QStringLiteral("Tiny"))
{
    AIModel m = AIModel::make(name, QStringLiteral("https://example.invalid/") + name);
    m.isDownloaded = true;
    m.filePath = path;
    return m;
}

QString writeExecutable(const QString &path, QFileDevice::Permissions perms)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    f.write("#!/bin/sh\nexit 0\n");
    f.close();
    f.setPermissions(perms);
    return path;
}

} // namespace

class TestEngine : public QObject {
    Q_OBJECT

private slots:
    void loadModelOutcomes_data();
    void loadModelOutcomes();
    void reloadingStopsRunningGenerations();
    void loadFromBackgroundThreadPostsToMain();
    void findLlamaCompletionCandidates_data();
    void findLlamaCompletionCandidates();
    void installedNeedsAnExecuteBit_data();
    void installedNeedsAnExecuteBit();
    void stopAllSessionsTerminatesOnlyRunning();
    void unregisterKeepsANewerProcess();
    void quittingStopsEveryProcess();
    void processQueueRunsJobsInOrder();
};

void TestEngine::loadModelOutcomes_data()
{
    QTest::addColumn<bool>("isDownloaded");
    QTest::addColumn<bool>("emptyPath");
    QTest::addColumn<bool>("fileExists");
    QTest::addColumn<QString>("expectedError");

    QTest::newRow("usable") << true << false << true << QString();
    QTest::newRow("not downloaded") << false << false << true << QStringLiteral("Model is not downloaded");
    QTest::newRow("empty path") << true << true << true << QStringLiteral("Model is not downloaded");
    QTest::newRow("file deleted") << true << false << false << QStringLiteral("Model file not found");
}

void TestEngine::loadModelOutcomes()
{
    QFETCH(bool, isDownloaded);
    QFETCH(bool, emptyPath);
    QFETCH(bool, fileExists);
    QFETCH(QString, expectedError);

    TempHome home;
    LlamaCPPManager engine;
    const AIModel previous = downloadedModel(home.writeFile(QStringLiteral("prev.gguf"), "GGUF"), QStringLiteral("Prev"));
    engine.loadModel(previous);
    QVERIFY(engine.isModelLoaded());

    AIModel model = downloadedModel(home.home() + QStringLiteral("/next.gguf"), QStringLiteral("Next"));
    if (fileExists)
        home.writeFile(QStringLiteral("next.gguf"), "GGUF");
    model.isDownloaded = isDownloaded;
    if (emptyPath)
        model.filePath.clear();

    auto running = std::make_shared<FakeProcess>(4242);
    engine.registerProcess(QUuid::createUuid(), running);
    engine.loadModel(model);

    if (expectedError.isEmpty()) {
        QVERIFY(engine.isModelLoaded());
        QCOMPARE(engine.currentModel()->id, model.id);
        QCOMPARE(engine.loadingProgress(), 1.0);
        QVERIFY(!engine.errorMessage());
        QCOMPARE(running->terminateCount.load(), 1);
    } else {
        // the previous selection stands and nothing was stopped
        QCOMPARE(engine.errorMessage().value_or(QString()), expectedError);
        QVERIFY(engine.isModelLoaded());
        QCOMPARE(engine.currentModel()->id, previous.id);
        QCOMPARE(engine.loadingProgress(), 1.0);
        QCOMPARE(running->terminateCount.load(), 0);
    }
}

void TestEngine::reloadingStopsRunningGenerations()
{
    TempHome home;
    LlamaCPPManager engine;
    const AIModel model = downloadedModel(home.writeFile(QStringLiteral("m.gguf"), "GGUF"));
    engine.loadModel(model);

    auto running = std::make_shared<FakeProcess>(100);
    const QUuid session = QUuid::createUuid();
    engine.registerProcess(session, running);

    QSignalSpy loaded(&engine, &LlamaCPPManager::isModelLoadedChanged);
    engine.loadModel(model);
    QCOMPARE(running->terminateCount.load(), 1);
    QVERIFY(!engine.hasProcess(session));
    // passes through the unloaded state on the way
    QCOMPARE(loaded.count(), 2);
    QVERIFY(engine.isModelLoaded());
    QCOMPARE(engine.currentModel()->id, model.id);
}

void TestEngine::loadFromBackgroundThreadPostsToMain()
{
    TempHome home;
    LlamaCPPManager engine;
    const AIModel model = downloadedModel(home.writeFile(QStringLiteral("m.gguf"), "GGUF"));

    QThread *mainThread = QThread::currentThread();
    QThread *changedOn = nullptr;
    connect(&engine, &LlamaCPPManager::currentModelChanged, &engine,
            [&] { changedOn = QThread::currentThread(); }, Qt::DirectConnection);

    std::atomic<bool> loadedWhenReturned{true};
    std::thread worker([&] {
        engine.loadModel(model);
        loadedWhenReturned = engine.isModelLoaded();
    });
    worker.join();
    QVERIFY(!loadedWhenReturned);
    QVERIFY(!engine.isModelLoaded());
    QVERIFY(waitUntil([&] { return engine.isModelLoaded(); }));
    QCOMPARE(changedOn, mainThread);
    QCOMPARE(engine.currentModel()->id, model.id);
}

void TestEngine::findLlamaCompletionCandidates_data()
{
    QTest::addColumn<bool>("inData");
    QTest::addColumn<bool>("onDesktop");
    QTest::addColumn<QString>("expected"); // "data", "desktop" or ""

    QTest::newRow("none") << false << false << QString();
    QTest::newRow("data folder only") << true << false << QStringLiteral("data");
    QTest::newRow("desktop only") << false << true << QStringLiteral("desktop");
    QTest::newRow("both: data folder wins") << true << true << QStringLiteral("data");
}

void TestEngine::findLlamaCompletionCandidates()
{
    QFETCH(bool, inData);
    QFETCH(bool, onDesktop);
    QFETCH(QString, expected);

    TempHome home;
    const QString dataPath = home.dataDir() + QStringLiteral("/llama.cpp/build/bin/llama-completion");
    const QString desktopPath = home.home() + QStringLiteral("/Desktop/Quorvane/Quorvane/llama.cpp/build/bin/llama-completion");
    if (inData)
        home.writeFile(QStringLiteral(".local/share/Quorvane/llama.cpp/build/bin/llama-completion"), "x");
    if (onDesktop)
        home.writeFile(QStringLiteral("Desktop/Quorvane/Quorvane/llama.cpp/build/bin/llama-completion"), "x");

    LlamaCPPManager engine;
    LogCapture log;
    const auto found = engine.findLlamaCompletion();
    if (expected.isEmpty()) {
        QVERIFY(!found);
        QVERIFY(log.contains(QStringLiteral("App's llama-completion not found - installation required")));
    } else {
        QCOMPARE(found.value_or(QString()), expected == QLatin1String("data") ? dataPath : desktopPath);
        QVERIFY(log.contains(QStringLiteral("✓ Found app's llama-completion at: ") + *found));
    }
    QVERIFY(log.contains(QStringLiteral("com.quorvane.app.LlamaCPP: Home directory: ") + home.home()));
}

void TestEngine::installedNeedsAnExecuteBit_data()
{
    QTest::addColumn<int>("permissions");
    QTest::addColumn<bool>("installed");

    const int rw = int(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QTest::newRow("not executable") << rw << false;
    QTest::newRow("owner execute") << (rw | int(QFileDevice::ExeOwner)) << true;
    QTest::newRow("group execute only") << (rw | int(QFileDevice::ExeGroup)) << true;
    QTest::newRow("other execute only") << (rw | int(QFileDevice::ExeOther)) << true;
}

void TestEngine::installedNeedsAnExecuteBit()
{
    QFETCH(int, permissions);
    QFETCH(bool, installed);

    TempHome home;
    LlamaCPPManager engine;
    QVERIFY(!engine.isLlamaCPPInstalled());

    const QString path = home.writeFile(QStringLiteral(".local/share/Quorvane/llama.cpp/build/bin/llama-completion"), "");
    writeExecutable(path, QFileDevice::Permissions(permissions));
    // found either way: finding only looks for the file
    QCOMPARE(engine.findLlamaCompletion().value_or(QString()), path);
    QCOMPARE(engine.isLlamaCPPInstalled(), installed);
}

void TestEngine::stopAllSessionsTerminatesOnlyRunning()
{
    LlamaCPPManager engine;
    auto a = std::make_shared<FakeProcess>(11);
    auto b = std::make_shared<FakeProcess>(12);
    auto finished = std::make_shared<FakeProcess>(13, false);
    const QUuid idA = QUuid::createUuid(), idB = QUuid::createUuid(), idC = QUuid::createUuid();
    engine.registerProcess(idA, a);
    engine.registerProcess(idB, b);
    engine.registerProcess(idC, finished);

    LogCapture log;
    engine.stopAllSessions();
    QCOMPARE(a->terminateCount.load(), 1);
    QCOMPARE(b->terminateCount.load(), 1);
    QCOMPARE(finished->terminateCount.load(), 0);
    QVERIFY(!engine.hasProcess(idA) && !engine.hasProcess(idB) && !engine.hasProcess(idC));
    QCOMPARE(log.count(QStringLiteral("Terminated process for session: ")), 2);
    QVERIFY(log.contains(QStringLiteral("Terminated process for session: ") + canonicalUuid(idA).left(8)));
    QVERIFY(log.lines().last().endsWith(QStringLiteral("All session processes stopped")));
}

void TestEngine::unregisterKeepsANewerProcess()
{
    LlamaCPPManager engine;
    const QUuid id = QUuid::createUuid();
    auto old = std::make_shared<FakeProcess>(1, false);
    auto newer = std::make_shared<FakeProcess>(2);
    engine.registerProcess(id, old);
    engine.registerProcess(id, newer);
    // the run that owned the old process ends after a new run registered
    engine.unregisterProcess(id, old.get());
    QVERIFY(engine.hasProcess(id));
    engine.unregisterProcess(id, newer.get());
    QVERIFY(!engine.hasProcess(id));
}

void TestEngine::quittingStopsEveryProcess()
{
    LlamaCPPManager engine;
    auto p = std::make_shared<FakeProcess>(77);
    engine.registerProcess(QUuid::createUuid(), p);
    // what QCoreApplication emits on its way out
    QVERIFY(QMetaObject::invokeMethod(QCoreApplication::instance(), "aboutToQuit", Qt::DirectConnection));
    QCOMPARE(p->terminateCount.load(), 1);
}

void TestEngine::processQueueRunsJobsInOrder()
{
    LlamaCPPManager engine;
    QCOMPARE(engine.processQueue().label(), QStringLiteral("com.quorvane.llamaProcess"));
    std::vector<int> order;
    std::mutex m;
    for (int i = 0; i < 50; ++i)
        engine.processQueue().async([&, i] {
            std::lock_guard lock(m);
            order.push_back(i);
        });
    engine.processQueue().sync([] {});
    std::vector<int> expected(50);
    std::iota(expected.begin(), expected.end(), 0);
    QCOMPARE(order, expected);
}

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
