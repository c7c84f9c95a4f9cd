// The application state over its stored data: start-up over what earlier releases, users and failures left, saves,
// and the llama-completion check and install.
#include "app/app_state.h"
#include "app_test_support.h"
#include "core/record_json.h"
#include "engine/llama_cpp_manager.h"

#include <QtTest>

namespace {

const QString kDefaultPrompt =
    QStringLiteral("You are Quorvane, a helpful AI assistant running locally on the user's device.");
const QList<QUuid> kNewestFirst{kS2, kS3, kS1};

// Hand-written preferences, as a user or an older release may leave them.
void writeIni(const TempHome &home, const QByteArray &ini) { home.writeFile(home.configFile(), "[General]\n" + ini); }

// An older release's single preferences value, deliberately not in date order.
QByteArray legacyBlob()
{
    return json(QJsonArray{
        sessionJson(kS1, "Oldest", 100.5, {messageJson("11111111-0000-4000-8000-000000000001", "hi", true, 101.0)}),
        sessionJson(kS2, "Newest", 300.25,
                    {messageJson("22222222-0000-4000-8000-000000000001", "question", true, 301.125),
                     messageJson("22222222-0000-4000-8000-000000000002", "answer, with \"quotes\" ✓", false, 302.5)}),
        sessionJson(kS3, "Middle", 200.0),
    });
}

QStringList asideFiles(const TempHome &home)
{
    return QDir(home.dataDir()).entryList({QStringLiteral("downloadedModels-unreadable-*")}, QDir::Files);
}

} // namespace

class TestAppState : public QObject {
    Q_OBJECT

private slots:
    // Stored values as read at start-up; a value of the wrong kind counts as absent, and the welcome path writes
    // nothing.
    void storedValues_data()
    {
        QTest::addColumn<QByteArray>("ini"); // null: no preferences file
        QTest::addColumn<bool>("firstLaunch");
        QTest::addColumn<bool>("hasModels");
        QTest::addColumn<AppearanceMode>("appearance");
        QTest::addColumn<QString>("prompt");
        const auto row = [](const char *name, const char *ini, bool first, bool models,
                            AppearanceMode mode = AppearanceMode::Dark, const QString &prompt = kDefaultPrompt) {
            QTest::newRow(name) << QByteArray(ini) << first << models << mode << prompt;
        };
        row("no preferences file", nullptr, true, false);
        row("models, not onboarded", "didCompleteOnboarding=false\nhasDownloadedModels=true", false, true);
        row("onboarded, no models", "didCompleteOnboarding=true", false, false);
        row("flags not booleans", "didCompleteOnboarding=1\nhasDownloadedModels=yes please", true, false);
        row("light", "appearanceMode=light", true, false, AppearanceMode::Light);
        row("Light is not light", "appearanceMode=Light", true, false);
        row("prompt with comma", "systemPrompt=\"Be terse, be kind.\"", true, false, AppearanceMode::Dark,
            "Be terse, be kind.");
        row("prompt as list", "systemPrompt=Be terse, be kind.", true, false);
    }
    void storedValues()
    {
        QFETCH(QByteArray, ini);
        QFETCH(bool, firstLaunch);
        QFETCH(bool, hasModels);
        QFETCH(AppearanceMode, appearance);
        QFETCH(QString, prompt);
        TempHome home;
        if (!ini.isNull())
            writeIni(home, ini);
        const QByteArray before = readFileBytes(home.configFile());
        LlamaCPPManager engine;
        AppState state(engine);
        QCOMPARE(state.isFirstLaunch(), firstLaunch);
        QCOMPARE(state.hasDownloadedModels(), hasModels);
        QCOMPARE(state.currentView(), firstLaunch ? AppView::Welcome : AppView::Chat);
        QCOMPARE(state.appearanceMode(), appearance);
        QCOMPARE(state.systemPrompt(), prompt);
        if (firstLaunch) {
            QCOMPARE(readFileBytes(home.configFile()), before);
        } else {
            QCOMPARE(Preferences().boolean(key(prefkeys::kDidCompleteOnboarding)), std::optional<bool>(true));
            QCOMPARE(Preferences().boolValue(key(prefkeys::kHasDownloadedModels)), hasModels);
        }
    }

    // Newest first, one file each, the value removed; an unreadable store file of a migrated id is moved aside, not
    // overwritten.
    void legacyBlobMigration()
    {
        TempHome home;
        Preferences().setData(key(prefkeys::kSavedChatSessions), legacyBlob());
        const QByteArray corrupt = "{\"id\": \"" + canonicalUuid(kS2).toUtf8() + "\", \"title\": trunc";
        home.writeFile(sessionFile(home, kS2), corrupt);
        LlamaCPPManager engine;
        {
            AppState state(engine);
            QCOMPARE(ids(state.chatSessions()), kNewestFirst);
            QCOMPARE(state.chatMessages().value(0).timestamp.secondsSince2001(), 301.125);
            QCOMPARE(state.chatMessages().value(1).content, QStringLiteral("answer, with \"quotes\" ✓"));
            const QStringList aside = folderEntries(sessionsDir(home)).filter(canonicalUuid(kS2) + ".json.unreadable-");
            QCOMPARE(readFileBytes(sessionsDir(home) + '/' + aside.value(0)), corrupt);
            for (const ChatSession &s : state.chatSessions())
                QCOMPARE(recordjson::decodeSessionDocument(readFileBytes(sessionFile(home, s.id))).value_or(ChatSession()), s);
            QVERIFY(!Preferences().contains(key(prefkeys::kSavedChatSessions)));
        }
        // A value that turns up again once the store is in use is not merged twice; after a migration that could not
        // write every file, the missing ones are taken from it at the next start, never dropped.
        for (const bool lostOne : {false, true}) {
            if (lostOne)
                QVERIFY(QFile::remove(sessionFile(home, kS1)));
            Preferences().setData(key(prefkeys::kSavedChatSessions), legacyBlob());
            AppState again(engine);
            QCOMPARE(ids(again.chatSessions()), kNewestFirst);
            QVERIFY(!Preferences().contains(key(prefkeys::kSavedChatSessions)));
            QCOMPARE(folderEntries(sessionsDir(home)).size(), 4);
        }
    }

    // Nothing is lost when the data folder cannot be made: the legacy conversations stay in the preferences, and so do
    // the bytes of an unreadable model list.
    void dataFolderBlocked()
    {
        TempHome home;
        home.writeFile(home.dataDir(), "not a folder");
        writeIni(home, "downloadedModels=@ByteArray(not json)");
        Preferences().setData(key(prefkeys::kSavedChatSessions), legacyBlob());
        LlamaCPPManager engine;
        AppState{engine}; // an earlier launch over the same unreadable list
        AppState state(engine);
        QCOMPARE(ids(state.chatSessions()), kNewestFirst);
        state.saveChatSessions();
        state.saveSession(state.chatSessions().first());
        state.saveModels();
        QCOMPARE(storedData(prefkeys::kSavedChatSessions), std::optional<QByteArray>(legacyBlob()));
        const QStringList asideKeys =
            QSettings(home.configFile(), QSettings::IniFormat).allKeys().filter("downloadedModels-unreadable-");
        QCOMPARE(asideKeys.size(), 1);
        QCOMPARE(Preferences().data(asideKeys.first()), std::optional<QByteArray>("not json"));
        QCOMPARE(readFileBytes(home.dataDir()), QByteArray("not a folder"));
    }

    // Unreadable model list and legacy conversations: logged, nothing selected or loaded, and neither value lost. The
    // model list is set aside; the legacy value stays where it is.
    void unreadablePreferenceValues_data()
    {
        QTest::addColumn<QByteArray>("models");
        QTest::addColumn<bool>("isData"); // the store hands the model list back as bytes
        QTest::addColumn<QByteArray>("sessions");
        QTest::newRow("not JSON") << QByteArray("@ByteArray(not json)") << true << QByteArray("@ByteArray(garbage)");
        QTest::newRow("wrong types, read as a list")
            << QByteArray(R"(@ByteArray([{\"id\":5,\"name\":[],\"isDownloaded\":\"yes\"}]))") << false
            << QByteArray(R"(@ByteArray([{\"id\":1,\"title\":[]}]))");
        QTest::newRow("broken variant") << QByteArray("@Variant(\\0\\0\\0\\x7f\\xff)") << false
                                        << QByteArray("@Variant(\\0\\0\\0\\x7f\\xff)");
    }
    void unreadablePreferenceValues()
    {
        QFETCH(QByteArray, models);
        QFETCH(bool, isData);
        QFETCH(QByteArray, sessions);
        TempHome home;
        writeIni(home, "downloadedModels=" + models + "\nsavedChatSessions=" + sessions + "\nselectedModelId="
                           + canonicalUuid(kModelA).toLatin1() + "\nhasDownloadedModels=true");
        const auto storedBytes = storedData(prefkeys::kDownloadedModels);
        const QVariant legacyBefore = Preferences().value(key(prefkeys::kSavedChatSessions));
        LogCapture log;
        LlamaCPPManager engine;
        AppState state(engine);
        QVERIFY(state.downloadedModels().isEmpty() && !state.selectedModel() && state.chatSessions().isEmpty());
        QVERIFY(log.contains("com.quorvane.app.ModelPersistence: Error: Failed to decode saved models - "));
        QVERIFY(log.contains(QStringLiteral("com.quorvane.app.ModelPersistence: Data size: ")
                             + (isData ? QString::number(storedBytes->size()) + " bytes" : QString())));
        QCOMPARE(log.count("com.quorvane.app.ChatPersistence: WARNING: failed to decode legacy sessions — "), 1);
        QCOMPARE(Preferences().string(key(prefkeys::kSelectedModelId)), std::optional<QString>(canonicalUuid(kModelA)));

        const QStringList aside = asideFiles(home);
        QCOMPARE(aside.size(), 1);
        const QString asidePath = home.dataDir() + '/' + aside.first();
        const QByteArray kept = readFileBytes(asidePath);
        if (isData)
            QCOMPARE(kept, *storedBytes);
        else
            QVERIFY2(kept.contains("downloadedModels=" + models), kept.constData());
        AppState{engine}; // the next launch over the same value keeps no second copy
        QCOMPARE(asideFiles(home), aside);

        // Saves afterwards, including the one after the last conversation went, which empties the store.
        state.saveSession(ChatSession::make());
        state.saveChatSessions();
        QVERIFY(QFileInfo(sessionsDir(home)).isDir() && folderEntries(sessionsDir(home)).isEmpty());
        state.saveModels();
        QCOMPARE(storedData(prefkeys::kDownloadedModels), std::optional<QByteArray>("[]"));
        QCOMPARE(asideFiles(home), aside);
        QCOMPARE(readFileBytes(asidePath), kept);
        QCOMPARE(Preferences().value(key(prefkeys::kSavedChatSessions)), legacyBefore);
    }

    // Progress saves are at most one per five seconds; a clock set back must not hold them off.
    void throttledModelSaves()
    {
        TempHome home;
        LlamaCPPManager engine;
        AppState state(engine);
        const auto saved = [&](double at) {
            Preferences().setData(key(prefkeys::kDownloadedModels), "marker");
            state.saveModelsThrottled(Date::fromSecondsSince2001(760000000.0 + at));
            return storedData(prefkeys::kDownloadedModels) == QByteArray("[]");
        };
        QList<double> writes;
        for (int i = 0; i < 120; ++i) // 12 seconds of ten reports a second
            if (saved(i / 10.0))
                writes << i / 10.0;
        QCOMPARE(writes, (QList<double>{0.0, 5.0, 10.0}));
        QVERIFY(saved(10.0 - 3600.0));
    }

    void cleanup() { qunsetenv("FAKE_LLAMA_SCRIPT_TEXT"); }

    // The --version verdicts, and what start-up makes of them: verify, verify once more, then install.
    void verification_data()
    {
        QTest::addColumn<QByteArray>("versionScript"); // empty: no program at all
        QTest::addColumn<bool>("executable");
        QTest::addColumn<QString>("message"); // empty: verified
        QTest::addColumn<int>("versionRuns"); // at start-up
        QTest::newRow("prints its version") << QByteArray("[version]\nerr version: 1 (abc)\\nbuilt with cc\n") << true
                                            << QString() << 1;
        QTest::newRow("prints usage, exits 0") << QByteArray("[version]\nout   usage: prog [options]\\n\n") << true
                                               << QStringLiteral("Binary failed to run: usage: prog [options]") << 2;
        QTest::newRow("hangs") << QByteArray("[version]\nhang\n") << true
                               << QStringLiteral("Binary did not respond within 1s. This usually clears up on a second "
                                                 "launch — the GPU shader cache is still building.") << 2;
        QTest::newRow("not executable") << QByteArray("[version]\nexit 0\n") << false
                                        << QStringLiteral("llama.cpp binary is not executable") << 0;
        QTest::newRow("missing") << QByteArray() << true << QStringLiteral("llama.cpp binary not found") << 0;
    }

    void verification()
    {
        QFETCH(QByteArray, versionScript);
        QFETCH(bool, executable);
        QFETCH(QString, message);
        QFETCH(int, versionRuns);
        const int installs = message.isEmpty() ? 0 : 1;
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
        QCOMPARE(engine.llamaCPPSetupErrorText(), installs ? QStringLiteral("no installer in this test") : QString());
        std::optional<std::pair<bool, QString>> verdict;
        engine.verifyLlamaCPPInstallation([&](bool success, const std::optional<QString> &m) {
            verdict = {success, m.value_or(QString())};
        });
        QVERIFY(waitUntil([&] { return verdict.has_value(); }, 10000));
        QCOMPARE(*verdict, std::pair(message.isEmpty(), message));
    }

    // A second install while one runs is refused and leaves it alone; then what an installer's answer leads to (a
    // failure's own reason is the start-up rows', a working program after an install the end-to-end test's).
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
        pending(false, std::nullopt);
        QCOMPARE(engine.llamaCPPSetupErrorText(), QStringLiteral("Installation failed"));
        QVERIFY(home.installProgram(QStringLiteral(FAKE_LLAMA_COMPLETION)));
        qputenv("FAKE_LLAMA_SCRIPT_TEXT", "[version]\nexit 3\n");
        state.handleInstallResult(true, std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(engine.llamaCPPSetupErrorText(),
                                  QStringLiteral("Installation completed but the binary failed to run. "
                                                 "Binary failed to run: exit code 3"), 10000);
    }
};

QTEST_GUILESS_MAIN(TestAppState)
#include "tst_app_state.moc"
