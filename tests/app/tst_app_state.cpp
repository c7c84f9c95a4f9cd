#include "app/app_state.h"
#include "common/test_support.h"
#include "core/preference_keys.h"
#include "core/record_json.h"
#include "engine/llama_cpp_manager.h"
#include "platform/preferences.h"

#include <QtTest>

namespace {

const QString kDefaultPrompt =
    QStringLiteral("You are Quorvane, a helpful AI assistant running locally on the user's device.");
const QUuid kS1 = QUuid::fromString(QStringLiteral("aaaaaaaa-1111-4111-8111-111111111111"));
const QUuid kS2 = QUuid::fromString(QStringLiteral("bbbbbbbb-2222-4222-8222-222222222222"));
const QUuid kS3 = QUuid::fromString(QStringLiteral("cccccccc-3333-4333-8333-333333333333"));
const QUuid kModelA = QUuid::fromString(QStringLiteral("0f8fad5b-d9cb-469f-a165-70867728950e"));
const QUuid kModelB = QUuid::fromString(QStringLiteral("7c9e6679-7425-40de-944b-e07fc1f90ae7"));
const QUuid kModelC = QUuid::fromString(QStringLiteral("16fd2706-8baf-433b-82eb-8c7fada847da"));

QString key(const char *k) { return QString::fromLatin1(k); }
std::optional<QByteArray> storedData(const char *k) { return Preferences().data(key(k)); }

// Hand-written preferences, as a user or an older release may leave them.
void writeIni(const TempHome &home, const QByteArray &lines)
{
    home.writeFile(home.configFile(), "[General]\n" + lines + "\n");
}

QString sessionsDir(const TempHome &home) { return home.dataDir() + QStringLiteral("/Sessions"); }
QString sessionFile(const TempHome &home, const QUuid &id)
{
    return sessionsDir(home) + QLatin1Char('/') + canonicalUuid(id) + QStringLiteral(".json");
}

// JSON written by hand (lower-case ids, dates as seconds since 2001), not by
// the encoder under test.
QJsonObject messageJson(const QString &id, const QString &content, bool fromUser, double timestamp)
{
    return {{"id", id}, {"content", content}, {"isFromUser", fromUser}, {"timestamp", timestamp}};
}
QJsonObject sessionJson(const QUuid &id, const QString &title, double createdAt, const QJsonArray &messages = {})
{
    return {{"id", id.toString(QUuid::WithoutBraces)}, {"title", title}, {"createdAt", createdAt}, {"messages", messages}};
}
QJsonObject modelJson(const QUuid &id, const QString &name, bool downloaded, const QString &filePath)
{
    return {{"id", id.toString(QUuid::WithoutBraces)}, {"name", name}, {"url", "https://example.invalid/" + name},
            {"isDownloaded", downloaded}, {"filePath", filePath}, {"size", "1 KB"},
            {"downloadProgress", downloaded ? 1.0 : 0.25}, {"downloadedBytes", 100}, {"totalBytes", 400},
            {"downloadSpeed", 0.0}, {"createdAt", 1700000000.5}};
}
template <typename J> QByteArray json(const J &j) { return QJsonDocument(j).toJson(QJsonDocument::Compact); }

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

QStringList sessionIds(const QList<ChatSession> &sessions)
{
    QStringList ids;
    for (const ChatSession &s : sessions)
        ids << canonicalUuid(s.id);
    return ids;
}
const QStringList kNewestFirst{canonicalUuid(kS2), canonicalUuid(kS3), canonicalUuid(kS1)};

QStringList asideFiles(const TempHome &home)
{
    return QDir(home.dataDir()).entryList({QStringLiteral("downloadedModels-unreadable-*")}, QDir::Files);
}

} // namespace

class TestAppState : public QObject {
    Q_OBJECT

private slots:
    // Stored values as read at start-up; a value of the wrong kind counts as
    // absent, and the welcome path writes nothing.
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
        QTest::newRow("no preferences file") << QByteArray() << true << false << AppearanceMode::Dark << kDefaultPrompt;
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
        LogCapture log;
        LlamaCPPManager engine;
        AppState state(engine);

        const QStringList lines = log.lines();
        const auto models = lines.indexOf("com.quorvane.app.ModelPersistence: No saved models found - first launch");
        const auto sessions = lines.indexOf("com.quorvane.app.ChatPersistence: No saved sessions — fresh state");
        QVERIFY2(models >= 0 && sessions > models, qPrintable(lines.join('\n')));
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

    // Newest first, one file each, the value removed; an unreadable store
    // file of a migrated id is moved aside, not overwritten.
    void legacyBlobMigration()
    {
        TempHome home;
        Preferences().setData(key(prefkeys::kSavedChatSessions), legacyBlob());
        const QByteArray corrupt = "{\"id\": \"" + canonicalUuid(kS2).toUtf8() + "\", \"title\": trunc";
        home.writeFile(sessionFile(home, kS2), corrupt);
        LlamaCPPManager engine;
        LogCapture log;
        {
            AppState state(engine);
            QCOMPARE(sessionIds(state.chatSessions()), kNewestFirst);
            QCOMPARE(state.chatMessages().value(0).timestamp.secondsSince2001(), 301.125);
            QCOMPARE(state.chatMessages().value(1).content, QStringLiteral("answer, with \"quotes\" ✓"));
            QVERIFY(log.contains("com.quorvane.app.ChatPersistence: Migrated 3 sessions from legacy UserDefaults blob"));
            const QStringList names = folderEntries(sessionsDir(home));
            QCOMPARE(names.size(), 4);
            const QStringList aside = names.filter(canonicalUuid(kS2) + ".json.unreadable-");
            QCOMPARE(readFileBytes(sessionsDir(home) + '/' + aside.value(0)), corrupt);
            for (const ChatSession &s : state.chatSessions())
                QCOMPARE(recordjson::decodeSessionDocument(readFileBytes(sessionFile(home, s.id))).value_or(ChatSession()), s);
            QVERIFY(!Preferences().contains(key(prefkeys::kSavedChatSessions)));
        }
        // A value that turns up again once the store is in use is not merged
        // twice; after a migration that could not write every file, the
        // missing ones are taken from it at the next start, never dropped.
        for (const bool lostOne : {false, true}) {
            if (lostOne)
                QVERIFY(QFile::remove(sessionFile(home, kS1)));
            Preferences().setData(key(prefkeys::kSavedChatSessions), legacyBlob());
            log.clear();
            AppState again(engine);
            QCOMPARE(sessionIds(again.chatSessions()), kNewestFirst);
            QCOMPARE(log.count(lostOne ? "Migrated 1 sessions from legacy UserDefaults blob" : "Migrated"), int(lostOne));
            QVERIFY(!Preferences().contains(key(prefkeys::kSavedChatSessions)));
            QCOMPARE(folderEntries(sessionsDir(home)).size(), 4);
        }
    }

    // Nothing is lost when the data folder cannot be made: the legacy
    // conversations stay in the preferences, and so do the bytes of an
    // unreadable model list.
    void dataFolderBlocked()
    {
        TempHome home;
        home.writeFile(home.dataDir(), "not a folder");
        writeIni(home, "downloadedModels=@ByteArray(not json)");
        Preferences().setData(key(prefkeys::kSavedChatSessions), legacyBlob());
        LlamaCPPManager engine;
        { // an earlier launch over the same unreadable list
            AppState earlier(engine);
        }
        AppState state(engine);
        QCOMPARE(sessionIds(state.chatSessions()), kNewestFirst);
        state.saveChatSessions();
        state.saveSession(state.chatSessions().first());
        state.saveModels();
        QCOMPARE(storedData(prefkeys::kSavedChatSessions), std::optional<QByteArray>(legacyBlob()));
        const QStringList asideKeys = QSettings(home.configFile(), QSettings::IniFormat)
                                          .allKeys()
                                          .filter(QRegularExpression("^downloadedModels-unreadable-"));
        QCOMPARE(asideKeys.size(), 1);
        QCOMPARE(Preferences().data(asideKeys.first()), std::optional<QByteArray>("not json"));
        QCOMPARE(readFileBytes(home.dataDir()), QByteArray("not a folder"));
    }

    void selectedModel_data()
    {
        QTest::addColumn<QString>("storedId");    // "" = none stored
        QTest::addColumn<bool>("onlyUndownloaded");
        QTest::addColumn<bool>("chosenFileExists");
        QTest::addColumn<QString>("expected");    // name of the selected model, "" = none
        QTest::addColumn<QString>("storedAfter"); // "" = absent
        QTest::addColumn<QString>("logLine");

        const QString a = canonicalUuid(kModelA), b = canonicalUuid(kModelB), c = canonicalUuid(kModelC);
        const QString fallback = QStringLiteral("No previously selected model, using first available: B");
        const QString autoLoaded = QStringLiteral("Auto-loaded selected model: C");
        QTest::newRow("stored model not downloaded") << a << false << true << "B" << b << fallback;
        QTest::newRow("unparsable id") << "garbage" << false << true << "B" << b << fallback;
        QTest::newRow("stored downloaded") << c << false << true << "C" << c << autoLoaded;
        QTest::newRow("stored in lower case") << c.toLower() << false << true << "C" << c.toLower() << autoLoaded;
        QTest::newRow("selected file missing") << c << false << false << "C" << c << autoLoaded;
        QTest::newRow("nothing downloaded") << a << true << true << "" << a << "Successfully loaded 1 models";
    }
    void selectedModel()
    {
        QFETCH(QString, storedId);
        QFETCH(bool, onlyUndownloaded);
        QFETCH(bool, chosenFileExists);
        QFETCH(QString, expected);
        QFETCH(QString, storedAfter);
        QFETCH(QString, logLine);

        TempHome home;
        const QString models = home.dataDir() + QStringLiteral("/Models/");
        home.writeFile(models + "a.gguf", "A");
        if (chosenFileExists)
            home.writeFile(models + (expected.isEmpty() ? "none" : expected.toLower()) + ".gguf", "GGUF");
        QJsonArray list{modelJson(kModelA, "A", false, models + "a.gguf")};
        if (!onlyUndownloaded)
            list << modelJson(kModelB, "B", true, models + "b.gguf") << modelJson(kModelC, "C", true, models + "c.gguf");
        {
            Preferences prefs;
            prefs.setData(key(prefkeys::kDownloadedModels), json(list));
            prefs.setBool(key(prefkeys::kHasDownloadedModels), true);
            if (!storedId.isEmpty())
                prefs.setString(key(prefkeys::kSelectedModelId), storedId);
        }

        LogCapture log;
        LlamaCPPManager engine;
        AppState state(engine);
        QVERIFY2(log.contains(logLine), qPrintable(log.lines().join('\n')));
        QCOMPARE(state.selectedModelName(), expected);
        QCOMPARE(Preferences().string(key(prefkeys::kSelectedModelId)).value_or(QString()), storedAfter);

        // The engine loads the selection only when its file is there.
        if (!expected.isEmpty() && chosenFileExists) {
            QVERIFY(waitUntil([&] { return engine.currentModel().has_value(); }, 2000));
            QCOMPARE(engine.currentModel()->id, state.selectedModel()->id);
        } else {
            QTest::qWait(20);
            QVERIFY(!engine.currentModel());
        }
    }

    // Unreadable model list and legacy conversations: logged, nothing
    // selected or loaded, and neither value lost. The model list is set
    // aside; the legacy value stays where it is.
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
        QCOMPARE(storedBytes.has_value(), isData);
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
        { // the next launch over the same value keeps no second copy
            AppState again(engine);
        }
        QCOMPARE(asideFiles(home), aside);

        // Saves afterwards, including the one after the last conversation
        // went, which empties the store.
        ChatSession last;
        last.id = kS1;
        state.saveSession(last);
        state.saveChatSessions();
        QVERIFY(QFileInfo(sessionsDir(home)).isDir() && folderEntries(sessionsDir(home)).isEmpty());
        state.saveModels();
        QCOMPARE(storedData(prefkeys::kDownloadedModels), std::optional<QByteArray>("[]"));
        QCOMPARE(asideFiles(home), aside);
        QCOMPARE(readFileBytes(asidePath), kept);
        QVERIFY(Preferences().contains(key(prefkeys::kSavedChatSessions)));
        QCOMPARE(Preferences().value(key(prefkeys::kSavedChatSessions)), legacyBefore);
    }

    // A conversation file that cannot be read is skipped and logged, and
    // neither start-up nor saving changes it. (What a readable file may hold
    // is the records test's; entries of other kinds under a store name, such
    // as a FIFO, are the storage test's.)
    void unreadableConversationFile()
    {
        TempHome home;
        const QJsonObject good = messageJson("11111111-0000-4000-8000-0000000000aa", "still here", true, 11);
        home.writeFile(sessionFile(home, kS1), json(sessionJson(kS1, "Good", 10, {good})));
        const QString badPath = sessionFile(home, kS2), badName = QFileInfo(badPath).fileName();
        const QByteArray valid =
            json(sessionJson(kS2, "B", 50, {messageJson("22222222-0000-4000-8000-00000000000f", "x", true, 51)}));
        home.writeFile(badPath, valid.left(valid.size() - 9));
        const QByteArray before = entrySnapshot(badPath);
        LogCapture log;
        LlamaCPPManager engine;
        for (int start = 0; start < 2; ++start) {
            AppState state(engine);
            QCOMPARE(sessionIds(state.chatSessions()), QStringList{canonicalUuid(kS1)});
            QCOMPARE(state.chatMessages().value(0).content, QStringLiteral("still here"));
            QVERIFY(state.unreadableSessionFiles().contains(badName));
            state.saveChatSessions();
            state.saveSession(state.chatSessions().first());
            QCOMPARE(entrySnapshot(badPath), before);
        }
        QVERIFY2(log.contains("com.quorvane.app.ChatPersistence: Skipped unreadable conversation file " + badName),
                 qPrintable(log.lines().join('\n')));
        QVERIFY(QFileInfo::exists(sessionFile(home, kS1)));
    }

    // Progress saves are silent and at most one per five seconds; a clock
    // set back must not hold them off.
    void throttledModelSaves()
    {
        TempHome home;
        Preferences writer;
        writer.setData(key(prefkeys::kDownloadedModels), json(QJsonArray{modelJson(kModelA, "A", false, {})}));
        LlamaCPPManager engine;
        AppState state(engine);
        const auto saved = [&](const std::function<void()> &save) {
            writer.setData(key(prefkeys::kDownloadedModels), "marker");
            save();
            const auto decoded = recordjson::decodeModelList(storedData(prefkeys::kDownloadedModels).value_or(""));
            return decoded && decoded->size() == 1;
        };
        LogCapture log;
        const double start = 760000000.0;
        QList<double> writes;
        for (int i = 0; i < 120; ++i) // 12 seconds of ten reports a second
            if (saved([&] { state.saveModelsThrottled(Date::fromSecondsSince2001(start + i / 10.0)); }))
                writes << i / 10.0;
        QCOMPARE(writes, (QList<double>{0.0, 5.0, 10.0}));
        QCOMPARE(state.lastModelsSaveTime().secondsSince2001(), start + 10.0);
        QVERIFY(!log.contains("Saved 1 models"));
        QVERIFY(saved([&] { state.saveModelsThrottled(Date::fromSecondsSince2001(start + 10.0 - 3600.0)); }));
        QVERIFY(saved([&] { state.saveModels(); }));
        QVERIFY(log.contains("com.quorvane.app.ModelPersistence: Saved 1 models to UserDefaults"));
    }
};

QTEST_GUILESS_MAIN(TestAppState)
#include "tst_app_state.moc"
