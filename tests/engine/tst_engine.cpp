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

} // namespace

class TestEngine : public QObject {
    Q_OBJECT

private slots:
    void loadModelOutcomes_data()
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
    // A usable model replaces the loaded one and stops running generations;
    // a refused one leaves both as they were.
    void loadModelOutcomes()
    {
        QFETCH(bool, isDownloaded);
        QFETCH(bool, emptyPath);
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
        if (emptyPath)
            model.filePath.clear();
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

    void loadFromBackgroundThreadPostsToMain()
    {
        TempHome home;
        LlamaCPPManager engine;
        const AIModel model = downloadedModel(home.writeFile("m.gguf", "GGUF"));
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
        QVERIFY(waitUntil([&] { return engine.isModelLoaded(); }));
        QCOMPARE(changedOn, QThread::currentThread());
        QCOMPARE(engine.currentModel()->id, model.id);
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
        QVERIFY(log.contains("com.quorvane.app.LlamaCPP: Home directory: " + home.home()));
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
};

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
