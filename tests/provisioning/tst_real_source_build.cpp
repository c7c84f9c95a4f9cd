// The application's own source build of the real llama.cpp sources (those the tests' llama-completion was built
// from), ending in a verified program. Slow: a minute or two with the compiler cache warm.
#include "common/test_support.h"
#include "install_fixtures.h"
#include "platform/paths.h"
#include "provisioning/llama_installer.h"

#include <QTemporaryDir>
#include <QTest>

class TestRealSourceBuild : public QObject {
    Q_OBJECT

private slots:
    void buildsAndVerifies()
    {
        // The clone of the sources sits above the tests' build of them, the compiler cache that built them beside.
        QDir sources = QFileInfo(QStringLiteral(QUORVANE_LLAMA_COMPLETION)).dir();
        QVERIFY(sources.cd(QStringLiteral("../..")) && sources.exists(QStringLiteral(".git")));
        if (qEnvironmentVariableIsEmpty("CCACHE_DIR"))
            qputenv("CCACHE_DIR", QFile::encodeName(sources.absoluteFilePath(QStringLiteral("../ccache"))));
        QTemporaryDir host;
        QVERIFY(runOk(QStringLiteral("/usr/bin/git"), {QStringLiteral("clone"), QStringLiteral("-q"), QStringLiteral("--bare"),
                                                       sources.absolutePath(), host.path() + QStringLiteral("/ggml-org/llama.cpp.git")}));
        TempHome home;
        // Paths in the tree are hashed relative to the build folder, as the cache's own build did.
        qputenv("CCACHE_BASEDIR", QFile::encodeName(home.home()));
        LlamaCPPManager engine;
        LlamaInstaller installer(engine);
        installer.setSourceHost(QStringLiteral("file://") + host.path());
        QList<double> progress;
        connect(&engine, &LlamaCPPManager::llamaCPPInstallProgressChanged, this,
                [&] { progress << engine.llamaCPPInstallProgress(); });
        InstallOutcome outcome;
        installer.buildLlamaCPPFromSource(outcome.completion());
        QVERIFY(waitUntil([&] { return outcome.calls > 0; }, 45 * 60 * 1000));
        QVERIFY2(outcome.success == true, qPrintable(outcome.message.value_or(QString())));
        QCOMPARE(engine.llamaCPPInstallStatus(), QStringLiteral("Installation complete!"));
        QVERIFY(progress.size() > 3); // the bar only moves forward
        const auto drop = std::is_sorted_until(progress.begin(), progress.end());
        QVERIFY2(drop == progress.end(), qPrintable(QStringLiteral("%1 after %2").arg(*drop).arg(*(drop - 1))));
        QCOMPARE(progress.last(), 1.0);

        InstallOutcome verdict;
        engine.verifyLlamaCPPInstallation(verdict.completion());
        QVERIFY(waitUntil([&] { return verdict.calls > 0; }, 150000));
        QVERIFY2(verdict.success == true, qPrintable(verdict.message.value_or(QString())));
        QCOMPARE(engine.findLlamaCompletion(), paths::dataDirectory() + QStringLiteral("/llama.cpp/build/bin/llama-completion"));
    }
};

QTEST_GUILESS_MAIN(TestRealSourceBuild)
#include "tst_real_source_build.moc"
