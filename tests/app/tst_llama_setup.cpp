// Whether llama-completion is ready, and what is done when it is not.
#include "app/app_state.h"
#include "common/test_support.h"
#include "engine/llama_cpp_manager.h"

#include <QDir>
#include <QFile>
#include <QTest>

namespace {

EngineTimings shortLimits()
{
    EngineTimings t;
    t.verificationLimit = std::chrono::milliseconds(1000);
    return t;
}

} // namespace

class TestLlamaSetup : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { qunsetenv("FAKE_LLAMA_SCRIPT_TEXT"); }

    // The --version verdicts, and what start-up makes of them: verify,
    // verify once more, then install.
    void verification_data()
    {
        QTest::addColumn<QByteArray>("versionScript"); // empty: no program at all
        QTest::addColumn<bool>("executable");
        QTest::addColumn<QString>("message"); // empty: verified
        QTest::addColumn<int>("versionRuns"); // at start-up
        QTest::addColumn<int>("installs");

        QTest::newRow("prints its version") << QByteArray("[version]\nerr version: 1 (abc)\\nbuilt with cc\n") << true
                                            << QString() << 1 << 0;
        QTest::newRow("prints usage, exits 0") << QByteArray("[version]\nout   usage: prog [options]\\n\n") << true
                                               << QStringLiteral("Binary failed to run: usage: prog [options]") << 2 << 1;
        QTest::newRow("exits 1 silently") << QByteArray("[version]\nexit 1\n") << true
                                          << QStringLiteral("Binary failed to run: exit code 1") << 2 << 1;
        QTest::newRow("hangs") << QByteArray("[version]\nhang\n") << true
                               << QStringLiteral("Binary did not respond within 1s. This usually clears up on a second "
                                                 "launch — the GPU shader cache is still building.")
                               << 2 << 1;
        QTest::newRow("not executable") << QByteArray("[version]\nexit 0\n") << false
                                        << QStringLiteral("llama.cpp binary is not executable") << 0 << 1;
        QTest::newRow("missing") << QByteArray() << true << QStringLiteral("llama.cpp binary not found") << 0 << 1;
    }

    void verification()
    {
        QFETCH(QByteArray, versionScript);
        QFETCH(bool, executable);
        QFETCH(QString, message);
        QFETCH(int, versionRuns);
        QFETCH(int, installs);
        TempHome home;
        const bool present = !versionScript.isEmpty();
        if (present && executable) {
            QVERIFY(home.installProgram(QStringLiteral(FAKE_LLAMA_COMPLETION)));
            qputenv("FAKE_LLAMA_SCRIPT_TEXT", versionScript);
        } else if (present) {
            home.writeFile(QStringLiteral(".local/share/Quorvane/llama.cpp/build/bin/llama-completion"), "#!/bin/sh\n");
        }
        qputenv("FAKE_LLAMA_RECORD", (home.home() + QStringLiteral("/runs.jsonl")).toUtf8());
        LlamaCPPManager engine(nullptr, shortLimits());
        LogCapture log;
        AppState state(engine);
        // a present program counts as verified until the check says otherwise
        QCOMPARE(engine.isLlamaCPPVerified(), present && executable);
        int installCalls = 0;
        state.setInstaller([&](InstallCompletion done) {
            ++installCalls;
            done(false, QStringLiteral("no installer in this test"));
        });
        QVERIFY(waitUntil([&] {
            return log.contains(QStringLiteral("verified")) || log.contains(QStringLiteral("installation failed"));
        }, 10000));
        QTest::qWait(100);
        qunsetenv("FAKE_LLAMA_RECORD");
        QCOMPARE(readFileBytes(home.home() + QStringLiteral("/runs.jsonl")).count("--version"), versionRuns);
        QCOMPARE(installCalls, installs);
        QCOMPARE(engine.isLlamaCPPVerified(), installs == 0);
        if (installs)
            QCOMPARE(engine.llamaCPPSetupErrorText(), QStringLiteral("no installer in this test"));
        if (versionRuns == 2) {
            QVERIFY(log.contains(QStringLiteral("Verification failed (%1) — retrying once").arg(message)));
            QVERIFY(log.contains(QStringLiteral("Retry failed (%1) — reinstalling").arg(message)));
        }

        std::optional<std::pair<bool, QString>> verdict;
        engine.verifyLlamaCPPInstallation([&](bool success, const std::optional<QString> &m) {
            verdict = {success, m.value_or(QString())};
        });
        QVERIFY(waitUntil([&] { return verdict.has_value(); }, 10000));
        QCOMPARE(*verdict, std::pair(message.isEmpty(), message));
    }

    void secondInstallIsRefused()
    {
        TempHome home;
        LlamaCPPManager engine;
        AppState state(engine);
        InstallCompletion pending;
        int calls = 0;
        state.setInstaller([&](InstallCompletion done) {
            ++calls;
            engine.setInstallingLlamaCPP(true);
            pending = std::move(done);
        });
        state.installLlamaCPP();
        QVERIFY(waitUntil([&] { return calls == 1; }));
        state.installLlamaCPP();
        QVERIFY(waitUntil([&] { return engine.llamaCPPSetupError().has_value(); }));
        QCOMPARE(engine.llamaCPPSetupErrorText(), QStringLiteral("Installation already in progress"));
        QCOMPARE(calls, 1);
        QVERIFY(engine.isInstallingLlamaCPP()); // the running installer is left alone
    }

    // What an installer's answer leads to (a failure's own reason is the
    // start-up rows').
    void installResult_data()
    {
        QTest::addColumn<QByteArray>("versionScript"); // empty: the install failed
        QTest::addColumn<QString>("error");            // empty: verified
        QTest::newRow("failed, no reason") << QByteArray() << QStringLiteral("Installation failed");
        QTest::newRow("installed and runs") << QByteArray("[version]\nexit 0\n") << QString();
        QTest::newRow("installed but broken") << QByteArray("[version]\nexit 3\n")
                                              << QStringLiteral("Installation completed but the binary failed to run. "
                                                                "Binary failed to run: exit code 3");
    }

    void installResult()
    {
        QFETCH(QByteArray, versionScript);
        QFETCH(QString, error);
        TempHome home;
        LlamaCPPManager engine;
        AppState state(engine);
        QVERIFY(waitUntil([&] { return engine.llamaCPPSetupError().has_value(); })); // the start-up attempt
        const bool installed = !versionScript.isEmpty();
        if (installed) {
            QVERIFY(home.installProgram(QStringLiteral(FAKE_LLAMA_COMPLETION)));
            qputenv("FAKE_LLAMA_SCRIPT_TEXT", versionScript);
        }
        engine.setLlamaCPPSetupError(QStringLiteral("stale"));
        state.handleInstallResult(installed, std::nullopt);
        QVERIFY(waitUntil([&] { return engine.llamaCPPSetupErrorText() != QLatin1String("stale"); }, 10000));
        QCOMPARE(engine.isLlamaCPPVerified(), error.isEmpty());
        QCOMPARE(engine.llamaCPPSetupErrorText(), error);
    }
};

QTEST_GUILESS_MAIN(TestLlamaSetup)
#include "tst_llama_setup.moc"
