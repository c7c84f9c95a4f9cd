// Whether llama-completion is ready, and what is done when it is not.
#include "app/app_state.h"
#include "common/test_support.h"
#include "engine/llama_cpp_manager.h"

#include <QTest>

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
        EngineTimings timings;
        timings.verificationLimit = std::chrono::milliseconds(1000);
        LlamaCPPManager engine(nullptr, timings);
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

    // A second install while one runs is refused and leaves it alone; then
    // what an installer's answer leads to (a failure's own reason is the
    // start-up rows').
    void installing()
    {
        TempHome home;
        LlamaCPPManager engine;
        AppState state(engine);
        QVERIFY(waitUntil([&] { return engine.llamaCPPSetupError().has_value(); })); // the start-up attempt
        InstallCompletion pending;
        int calls = 0;
        state.setInstaller([&](InstallCompletion done) {
            ++calls;
            engine.setInstallingLlamaCPP(true);
            pending = std::move(done);
        });
        state.installLlamaCPP();
        state.installLlamaCPP();
        QTRY_COMPARE(engine.llamaCPPSetupErrorText(), QStringLiteral("Installation already in progress"));
        QCOMPARE(calls, 1);
        QVERIFY(engine.isInstallingLlamaCPP());
        pending(false, std::nullopt);
        QCOMPARE(engine.llamaCPPSetupErrorText(), QStringLiteral("Installation failed"));

        QVERIFY(home.installProgram(QStringLiteral(FAKE_LLAMA_COMPLETION)));
        qputenv("FAKE_LLAMA_SCRIPT_TEXT", "[version]\nexit 3\n");
        state.handleInstallResult(true, std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(engine.llamaCPPSetupErrorText(),
                                  QStringLiteral("Installation completed but the binary failed to run. "
                                                 "Binary failed to run: exit code 3"), 10000);
        qputenv("FAKE_LLAMA_SCRIPT_TEXT", "[version]\nexit 0\n");
        state.handleInstallResult(true, std::nullopt);
        QTRY_VERIFY_WITH_TIMEOUT(engine.isLlamaCPPVerified(), 10000);
        QCOMPARE(engine.llamaCPPSetupErrorText(), QString());
    }
};

QTEST_GUILESS_MAIN(TestLlamaSetup)
#include "tst_llama_setup.moc"
