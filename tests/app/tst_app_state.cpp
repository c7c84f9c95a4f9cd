// The application state over its stored data: start-up over what earlier releases, users and failures left,
// conversations, the model library and its picker, and the llama-completion check and install.
#include "app/app_state.h"
#include "app/composer_state.h"
#include "app/model_picker_state.h"
#include "common/nginx_server.h"
#include "common/test_support.h"
#include "core/preference_keys.h"
#include "core/record_json.h"
#include "engine/llama_cpp_manager.h"
#include "models/curated_catalog.h"
#include "models/model_download_manager.h"
#include "platform/preferences.h"
#include "platform/process_handle.h"

#include <QtTest>

#include <atomic>
#include <sys/stat.h>

namespace {

const QString kDefaultPrompt =
    QStringLiteral("You are Quorvane, a helpful AI assistant running locally on the user's device.");
const QUuid kS1 = QUuid::fromString(QStringLiteral("aaaaaaaa-1111-4111-8111-111111111111"));
const QUuid kS2 = QUuid::fromString(QStringLiteral("bbbbbbbb-2222-4222-8222-222222222222"));
const QUuid kS3 = QUuid::fromString(QStringLiteral("cccccccc-3333-4333-8333-333333333333"));
const QUuid kUnlisted = QUuid::fromString(QStringLiteral("dddddddd-4444-4444-8444-444444444444"));
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

// JSON written by hand (lower-case ids, dates as seconds since 2001), not by the encoder under test.
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

QStringList asideFiles(const TempHome &home)
{
    return QDir(home.dataDir()).entryList({QStringLiteral("downloadedModels-unreadable-*")}, QDir::Files);
}

const QString kNewChat = QStringLiteral("New Chat");
const QString kOversized = QStringLiteral(" is larger than the 5 MB attachment limit and was not attached.");

// An engine process that only records whether it was stopped.
class FakeProcess : public ProcessHandle {
public:
    bool isRunning() const override { return running; }
    qint64 processId() const override { return 1000; }
    void terminate() override { running = false; }
    void kill() override { running = false; }
    std::atomic<bool> running{true};
};

// A conversation file written by hand: one question and its reply.
void writeSession(const TempHome &home, const QUuid &id, const QString &title, double createdAt,
                  const QString &question = QStringLiteral("banana bread recipe"))
{
    const QString base = id.toString(QUuid::WithoutBraces).left(8);
    home.writeFile(sessionFile(home, id),
                   json(sessionJson(id, title, createdAt,
                                    {messageJson(base + "-0000-4000-8000-000000000001", question, true, createdAt + 1),
                                     messageJson(base + "-0000-4000-8000-000000000002", "reply to " + question, false,
                                                 createdAt + 2)})));
}

template <typename T> QList<T> field(const QList<ChatSession> &sessions, T ChatSession::*member)
{
    QList<T> out;
    for (const ChatSession &s : sessions)
        out << s.*member;
    return out;
}
QStringList titles(const QList<ChatSession> &sessions) { return field(sessions, &ChatSession::title); }
QList<QUuid> ids(const QList<ChatSession> &sessions) { return field(sessions, &ChatSession::id); }
const QList<QUuid> kNewestFirst{kS2, kS3, kS1};

AIModel downloaded(const QString &name, const QString &path)
{
    AIModel model = AIModel::make(name, QStringLiteral("Local File"));
    model.isDownloaded = true;
    model.filePath = path;
    model.downloadProgress = 1.0;
    return model;
}

QByteArray modelBytes(int size, char seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(seed + i * 31 + i / 977);
    return bytes;
}

// A fresh state with downloads and the model picker on it.
struct Library {
    TempHome home;
    LlamaCPPManager engine;
    ModelDownloadManager downloads;
    AppState state{engine, {{}, &downloads}};
    ModelPickerState picker{state};
    QSignalSpy dismissed{&picker, &ModelPickerState::dismissRequested};
};

} // namespace

class TestAppState : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        const QString repo = QStringLiteral("/org/repo/resolve/main/");
        for (const QString &name : {QStringLiteral("My-Model.Q4_K_M.gguf"), QStringLiteral("x.gguf.part.gguf")})
            writeServed(repo + name, modelBytes(40000, 'a'));
        m_server = std::make_unique<NginxServer>(m_root.path(),
                                                 QStringLiteral("location /x399/ { return 399; }\n"
                                                                "location ~ \\.gguf/$ { rewrite ^(.*)/$ $1 last; }"));
        QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    }

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
        QVERIFY(log.contains("com.quorvane.app.ModelPersistence: No saved models found - first launch"));
        QVERIFY(log.contains("com.quorvane.app.ChatPersistence: No saved sessions — fresh state"));
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
        LogCapture log;
        {
            AppState state(engine);
            QCOMPARE(ids(state.chatSessions()), kNewestFirst);
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
        // A value that turns up again once the store is in use is not merged twice; after a migration that could not
        // write every file, the missing ones are taken from it at the next start, never dropped.
        for (const bool lostOne : {false, true}) {
            if (lostOne)
                QVERIFY(QFile::remove(sessionFile(home, kS1)));
            Preferences().setData(key(prefkeys::kSavedChatSessions), legacyBlob());
            log.clear();
            AppState again(engine);
            QCOMPARE(ids(again.chatSessions()), kNewestFirst);
            const char *migrated = lostOne ? "Migrated 1 sessions from legacy UserDefaults blob" : "Migrated";
            QCOMPARE(log.count(migrated), int(lostOne));
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
        { // an earlier launch over the same unreadable list
            AppState earlier(engine);
        }
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
        { // the next launch over the same value keeps no second copy
            AppState again(engine);
        }
        QCOMPARE(asideFiles(home), aside);

        // Saves afterwards, including the one after the last conversation went, which empties the store.
        ChatSession last;
        last.id = kS1;
        state.saveSession(last);
        state.saveChatSessions();
        QVERIFY(QFileInfo(sessionsDir(home)).isDir() && folderEntries(sessionsDir(home)).isEmpty());
        state.saveModels();
        QCOMPARE(storedData(prefkeys::kDownloadedModels), std::optional<QByteArray>("[]"));
        QCOMPARE(asideFiles(home), aside);
        QCOMPARE(readFileBytes(asidePath), kept);
        QCOMPARE(Preferences().value(key(prefkeys::kSavedChatSessions)), legacyBefore);
    }

    // Progress saves are silent and at most one per five seconds; a clock set back must not hold them off.
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

    void titleFromFirstMessage_data()
    {
        QTest::addColumn<QString>("typed"); // a title chosen before the first message; null: none
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        const QString none;
        QTest::newRow("eleven words keep eight") << none << "one two three four five six seven eight nine ten eleven"
                                                 << "one two three four five six seven eight";
        QTest::newRow("runs of spaces collapse") << none << "  hello    there   world  " << "hello there world";
        QTest::newRow("only spaces separate words") << none << "first line\nsecond\tthird 4 5 6 7 8 9 10"
                                                    << "first line\nsecond\tthird 4 5 6 7 8 9";
        QTest::newRow("only spaces") << none << "     " << kNewChat;
        QTest::newRow("chosen, trimmed") << "  Trip plans " << "first words" << "Trip plans";
        QTest::newRow("blank choice refused") << " \t " << "first words" << "first words";
        QTest::newRow("the default title, chosen") << kNewChat << "first words" << kNewChat;
    }
    // New chats go first in the list and to disk at once; the title comes from the first message, once, unless one was
    // chosen; it survives a restart.
    void titleFromFirstMessage()
    {
        QFETCH(QString, typed);
        QFETCH(QString, text);
        QFETCH(QString, expected);
        TempHome home;
        writeSession(home, kS1, QStringLiteral("Older talk"), 100.0);
        LlamaCPPManager engine;
        AppState state(engine);
        state.createNewChat();
        const QUuid other = state.currentSession()->id;
        state.createNewChat();
        const QUuid id = state.currentSession()->id;
        const bool chosen = !typed.trimmed().isEmpty();
        if (!typed.isNull())
            QCOMPARE(state.renameSession(state.currentSessionKey(), typed), chosen);
        QSignalSpy listChanged(&state, &AppState::chatSessionsChanged);
        state.updateTitleFromFirstMessage(text);
        QCOMPARE(titles(state.chatSessions()), (QStringList{expected, kNewChat, "Older talk"}));
        if (expected != kNewChat && !chosen)
            QCOMPARE(listChanged.count(), 1);
        state.updateTitleFromFirstMessage(QStringLiteral("a later message"));
        const QString finalTitle = expected == kNewChat && !chosen ? QStringLiteral("a later message") : expected;
        AppState reloaded(engine);
        QCOMPARE(ids(reloaded.chatSessions()), (QList<QUuid>{id, other, kS1}));
        QCOMPARE(reloaded.chatSessions().first().title, finalTitle);
    }

    // Export then import gives the same messages back, code blocks, attachments and every answer of a reply included;
    // the Markdown reads as the conversation did.
    void exportAndImport()
    {
        TempHome home;
        LlamaCPPManager engine;
        AppState state(engine);
        state.createNewChat();
        const AttachedFile notes{QUuid::createUuid(), "notes.txt", "/x/notes.txt", "txt", 12};
        state.addMessage(ChatMessage::make(QStringLiteral("Fix:\n```python\nprint(1)\n```"), true,
                                           QList<AttachedFile>{notes}));
        ChatMessage reply = ChatMessage::assistant(QStringLiteral("Try\n```\n  x = 2\n```\n"), MessageKind::Reply);
        reply.addVersion({QStringLiteral("Second"), Date::now(), {}});
        state.addMessage(reply);
        const ChatSession original = *state.currentSession();
        const QString json = home.home() + "/out/c.json", md = home.home() + "/out/c.md";
        QDir().mkpath(home.home() + "/out");
        for (const QString &path : {json, md})
            QCOMPARE(state.exportSession(state.currentSessionKey(), QUrl::fromLocalFile(path)), QString());
        const QString text = QString::fromUtf8(readFileBytes(md));
        for (const char *part : {"# Fix:\n```python\nprint(1)\n```\n", "## User · ", "```python\nprint(1)\n```\n",
                                 "Attached: `notes.txt`", "## Assistant · ", "*Answer 2 of 2*\n\nSecond\n"})
            QVERIFY2(text.contains(QString::fromUtf8(part)), part);
        QCOMPARE(readFileBytes(json), readFileBytes(sessionFile(home, original.id)));
        QCOMPARE(state.importSessionFile(QUrl::fromLocalFile(json)), QString());
        ChatSession imported = *state.currentSession();
        const QUuid importedId = imported.id;
        QVERIFY(importedId != original.id); // its own id was taken
        imported.id = original.id;
        QCOMPARE(imported, original);
        // An out-of-date copy of a listed conversation shows the stored one; ids select in either letter case, unknown
        // or malformed ones change nothing.
        ChatSession stale = original;
        stale.messages.clear();
        state.selectSession(stale);
        QCOMPARE(*state.currentSession(), original);
        state.selectSessionById(canonicalUuid(importedId).toLower());
        LogCapture log;
        for (const QString &bad : {canonicalUuid(kUnlisted), QStringLiteral("not an id")})
            state.selectSessionById(bad);
        QCOMPARE(state.currentSession()->id, importedId);
        QCOMPARE(log.count(QStringLiteral("Cannot select conversation")), 2);
        QCOMPARE(state.exportAllSessions(QUrl::fromLocalFile(home.home() + "/all")),
                 "\u201C" + home.home() + "/all\u201D is not a folder.");
        QDir().mkpath(home.home() + "/all");
        QCOMPARE(state.exportAllSessions(QUrl::fromLocalFile(home.home() + "/all")), QString());
        QCOMPARE(QDir(home.home() + "/all").entryList(QDir::Files).size(), 4);
        QCOMPARE(state.exportAllSessions(QUrl::fromLocalFile("/proc/self")),
                 QStringLiteral("The folder \u201C/proc/self\u201D is not writable; nothing was exported."));
        QVERIFY(state.exportSession(state.currentSessionKey(), QUrl::fromLocalFile("/proc/self/c.md"))
                    .startsWith("Could not write \u201C/proc/self/c.md\u201D: "));
    }

    void importBadInput_data()
    {
        QTest::addColumn<QByteArray>("bytes"); // "sparse <n>": a file of n bytes
        QTest::addColumn<QString>("told");     // a regular expression; empty: nothing
        QTest::addColumn<int>("messages");     // of the imported conversation; -1: none imported
        const QByteArray noIds = "{\"id\":\"x\",\"title\":\"T\",\"createdAt\":1,\"messages\":["
                                 "{\"content\":\"a\",\"isFromUser\":true,\"timestamp\":2},"
                                 "{\"id\":7,\"content\":\"b\",\"isFromUser\":false,\"timestamp\":3}]}";
        QTest::newRow("not JSON") << QByteArray("title: hello") << "^\u201Cin\\.json\u201D could not be imported: it is not JSON \\(.+ at byte \\d+\\)\\.$" << -1;
        QTest::newRow("an array") << QByteArray("[1, 2]") << "it holds no conversation \\(a JSON object was expected\\)\\.$" << -1;
        QTest::newRow("a wrong field") << QByteArray("{\"id\":\"x\",\"title\":3,\"createdAt\":1,\"messages\":[]}")
                                       << "it is not a conversation \\(title: not a string\\)\\.$" << -1;
        QTest::newRow("200 MB") << QByteArray("sparse 200000000") << "is too large to import \\(200 MB; at most 64 MB\\)\\.$" << -1;
        QTest::newRow("messages without ids") << noIds << "was imported; 2 of its messages had no id and were given one\\.$" << 2;
        QTest::newRow("invalid UTF-8") << QByteArray("{\"id\":\"x\",\"title\":\"\xff\xfe\"}") << "it is not JSON" << -1;
    }
    // Each bad file is refused with its reason, or what is sound in it is imported; what was there stays as it was.
    void importBadInput()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, told);
        QFETCH(int, messages);
        TempHome home;
        writeSession(home, kS1, QStringLiteral("Kept"), 100.0);
        const QByteArray kept = readFileBytes(sessionFile(home, kS1));
        const QString path = home.writeFile("in.json", bytes.startsWith("sparse ") ? QByteArray() : bytes);
        if (bytes.startsWith("sparse "))
            QVERIFY(QFile::resize(path, bytes.mid(7).toLongLong()));
        LlamaCPPManager engine;
        AppState state(engine);
        const QString text = state.importSessionFile(QUrl::fromLocalFile(path));
        QVERIFY2(told.isEmpty() ? text.isEmpty() : QRegularExpression(told).match(text).hasMatch(), qPrintable(text));
        QCOMPARE(state.chatSessions().size(), messages < 0 ? 1 : 2);
        QCOMPARE(state.currentSession()->messages.size(), messages < 0 ? 2 : messages);
        QCOMPARE(readFileBytes(sessionFile(home, kS1)), kept);
        if (messages >= 0)
            QCOMPARE(AppState(engine).chatSessions().size(), 2);
    }

    void deleteSession_data()
    {
        QTest::addColumn<QUuid>("target");
        QTest::addColumn<QString>("how"); // "object", "id" (lower case), "selected id" or "malformed id"
        QTest::addColumn<QList<QUuid>>("remaining");
        // kS2 is the newest and so the current one after start-up.
        QTest::newRow("current") << kS2 << "object" << QList<QUuid>{kS3, kS1};
        QTest::newRow("not current, by id") << kS3 << "id" << QList<QUuid>{kS2, kS1};
        QTest::newRow("current in the middle, by id") << kS3 << "selected id" << QList<QUuid>{kS2, kS1};
        QTest::newRow("not listed") << kUnlisted << "object" << QList<QUuid>{kS2, kS3, kS1};
        QTest::newRow("malformed id") << kS1 << "malformed id" << QList<QUuid>{kS2, kS3, kS1};
    }
    // Deleting stops that conversation's engine process and no other.
    void deleteSession()
    {
        QFETCH(QUuid, target);
        QFETCH(QString, how);
        QFETCH(QList<QUuid>, remaining);
        TempHome home;
        writeSession(home, kS1, QStringLiteral("Oldest"), 100.0);
        writeSession(home, kS2, QStringLiteral("Newest"), 300.0, QStringLiteral("newest question"));
        writeSession(home, kS3, QStringLiteral("Middle"), 200.0);
        LlamaCPPManager engine;
        AppState state(engine);
        QHash<QUuid, std::shared_ptr<FakeProcess>> processes;
        for (const QUuid &id : {kS1, kS2, kS3, kUnlisted}) {
            processes[id] = std::make_shared<FakeProcess>();
            engine.registerProcess(id, processes[id]);
        }
        const bool selected = how == "selected id";
        if (selected)
            state.selectSessionById(canonicalUuid(target));
        LogCapture log;
        if (how == "object") {
            ChatSession argument;
            argument.id = target;
            state.deleteSession(argument);
        } else {
            state.deleteSessionById(how != "malformed id" ? canonicalUuid(target).toLower()
                                                          : "{" + canonicalUuid(target) + "}x");
        }
        const bool deleted = how != "malformed id";
        for (auto it = processes.cbegin(); it != processes.cend(); ++it)
            QCOMPARE(it.value()->running.load(), !deleted || it.key() != target);
        QCOMPARE(log.contains("Cannot delete conversation"), !deleted);
        QCOMPARE(ids(state.chatSessions()), remaining);
        if (deleted && (target == kS2 || selected))
            QVERIFY(!state.currentSession() && state.chatMessages().isEmpty());
        else
            QCOMPARE(state.chatMessages().first().content, QStringLiteral("newest question"));
        QCOMPARE(QFile::exists(sessionFile(home, target)), !deleted);
        QCOMPARE(ids(AppState(engine).chatSessions()), remaining);
    }

    void storeFollowsTheList_data()
    {
        QTest::addColumn<QString>("s2File"); // how kS2 stands in the store at start-up
        QTest::newRow("own file") << "own";
        QTest::newRow("older lower-case name") << "lower";
        QTest::newRow("a copy's name") << "copy";
        QTest::newRow("its last write failed") << "failed";
    }
    // Creating a conversation, then deleting one, writes or removes only the files they need; the store is then what a
    // full save gives.
    void storeFollowsTheList()
    {
        QFETCH(QString, s2File);
        TempHome home;
        writeSession(home, kS1, QStringLiteral("Oldest"), 100.0);
        writeSession(home, kS2, QStringLiteral("Newest"), 300.0);
        writeSession(home, kS3, QStringLiteral("Middle"), 200.0);
        // A file that cannot be read is skipped at each start, logged, never changed. (What a readable file may hold is
        // the records test's; entries of other kinds under a store name, a FIFO among them, the storage test's.)
        const QByteArray unreadable = "{\"id\": \"" + canonicalUuid(kUnlisted).toUtf8() + "\", \"title\": trunc";
        home.writeFile(sessionFile(home, kUnlisted), unreadable);
        LogCapture log;
        LlamaCPPManager engine;
        AppState(engine).saveChatSessions(); // the files as the application writes them
        const QString dir = home.dataDir() + QStringLiteral("/Sessions"), s2 = sessionFile(home, kS2);
        if (s2File != "own" && s2File != "failed")
            QVERIFY(QFile::rename(s2, dir + (s2File == "lower" ? '/' + canonicalUuid(kS2).toLower() + ".json"
                                                                : QStringLiteral("/chat copy.json"))));
        AppState state(engine);
        QVERIFY(state.unreadableSessionFiles().contains(canonicalUuid(kUnlisted) + ".json"));
        if (s2File == "failed") { // a folder in its place fails the write of its next message
            QVERIFY(QFile::remove(s2) && QDir().mkdir(s2));
            state.addMessage(ChatMessage::make(QStringLiteral("unsaved words"), true));
            QVERIFY(QDir().rmdir(s2));
        }
        const auto inodes = [&] {
            QList<ino_t> out;
            for (const QUuid &id : {kS1, kS3}) {
                struct stat st {};
                out << (::stat(QFile::encodeName(sessionFile(home, id)).constData(), &st) == 0 ? st.st_ino : 0);
            }
            return out;
        };
        for (const bool create : {true, false}) {
            const QList<ino_t> before = inodes();
            if (create)
                state.createNewChat();
            else
                state.deleteSessionById(canonicalUuid(kS2));
            QCOMPARE(inodes(), before);
            const QByteArray stored = entrySnapshot(dir);
            state.saveChatSessions();
            QCOMPARE(entrySnapshot(dir), stored);
        }
        QCOMPARE(state.chatSessions().size(), 3);
        QCOMPARE(ids(AppState(engine).chatSessions()), ids(state.chatSessions()));
        QCOMPARE(log.count("Skipped unreadable conversation file " + canonicalUuid(kUnlisted) + ".json"), 3);
        QCOMPARE(readFileBytes(sessionFile(home, kUnlisted)), unreadable);
    }

    void search_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("searchText");
        QTest::addColumn<QStringList>("expected"); // of the titles listed in search()
        QTest::newRow("message contents do not match") << "en_US" << "banana" << QStringList{};
        QTest::newRow("used untrimmed") << "en_US" << " paris " << QStringList{};
        QTest::newRow("accented capitals") << "en_US" << "ÉTÉ" << QStringList{"Vacances d'été"};
        QTest::newRow("sharp s against SS") << "de_DE" << "STRASSE" << QStringList{"Hauptstraße"};
        QTest::newRow("Turkish dotted capital I") << "tr_TR" << "İSTANBUL" << QStringList{"istanbul gezisi"};
    }
    void search()
    {
        QFETCH(QString, locale);
        QFETCH(QString, searchText);
        QFETCH(QStringList, expected);
        const QLocale saved;
        QLocale::setDefault(QLocale(locale));
        const auto restore = qScopeGuard([&] { QLocale::setDefault(saved); });
        TempHome home;
        const QStringList listed{"Trip to paris", "Vacances d'été", "Hauptstraße", "istanbul gezisi", "Izmir"};
        for (int i = 0; i < listed.size(); ++i)
            writeSession(home, QUuid::createUuid(), listed[i], 1000.0 - i);
        LlamaCPPManager engine;
        QCOMPARE(titles(AppState(engine).filteredSessions(searchText)), expected);
    }

    // Duplicates (also spelled differently), sizes that cannot be read, web addresses, out-of-range removals, files
    // over the limit picked together (one alert) and dropped together (one alert each, the second replacing the first).
    void attachmentIntake()
    {
        TempHome home;
        LlamaCPPManager engine;
        AppState state(engine);
        ComposerState composer(state);
        const auto file = [&](const QString &name, qint64 size) { // a file of that size, its bytes not written
            const QString path = home.writeFile("files/" + name, {});
            return QFile::resize(path, size) ? QUrl::fromLocalFile(path) : QUrl();
        };
        const QUrl a = file(QStringLiteral("a.txt"), 10), b = file(QStringLiteral("b.txt"), 10);
        QSignalSpy filesChanged(&composer, &ComposerState::attachedFilesChanged);
        QSignalSpy alertChanged(&composer, &ComposerState::attachmentAlertChanged);
        composer.addAttachments({a, a});
        composer.addAttachments({a, b});
        composer.addAttachments({QUrl::fromLocalFile(home.home() + "/files/./a.txt"),
                                   QUrl::fromLocalFile(home.home() + "//files/b.txt")});
        QCOMPARE(composer.attachedFiles(), (QList<QUrl>{a, b}));
        QCOMPARE(filesChanged.count(), 2);
        const QUrl missing = QUrl::fromLocalFile(home.home() + "/files/gone.bin");
        composer.addAttachments({missing});
        LogCapture log;
        composer.addAttachments({QUrl(QStringLiteral("https://example.invalid/x.txt"))});
        QVERIFY(log.contains("not a local file"));
        QVERIFY(!composer.dropUrls({QUrl(QStringLiteral("https://example.invalid/page.html"))}));
        QCOMPARE(alertChanged.count(), 0);
        composer.removeAttachment(7);
        composer.removeAttachment(-1);
        composer.removeAttachment(0);
        composer.addAttachments({a});
        QCOMPARE(composer.attachedFiles(), (QList<QUrl>{b, missing, a}));

        const QUrl atLimit = file("limit.bin", 5242880);
        composer.addAttachments({file("f0.bin", 6000000), atLimit, file("f2.bin", 10500000)});
        QCOMPARE(composer.attachmentAlertMessage(), "These files are larger than the 5 MB attachment limit and were "
                                                    "not attached:\n\nf0.bin (6 MB)\nf2.bin (10.5 MB)");
        QCOMPARE(log.count("Rejected 2 oversized attachment(s)"), 1);
        QVERIFY(composer.dropUrls({file("one.iso", 7000000), file("two.iso", 3000000000LL)}));
        QCOMPARE(alertChanged.count(), 3);
        QCOMPARE(composer.attachmentAlertMessage(), "two.iso (3 GB)" + kOversized);
        QCOMPARE(log.count("Rejected 1 oversized attachment(s)"), 2);
        QCOMPARE(composer.attachedFiles(), (QList<QUrl>{b, missing, a, atLimit}));
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
        QTest::newRow("exits 1 silently") << QByteArray("[version]\nexit 1\n") << true
                                          << QStringLiteral("Binary failed to run: exit code 1") << 2;
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

    // A second install while one runs is refused and leaves it alone; then what an installer's answer leads to (a
    // failure's own reason is the start-up rows').
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

    void customLink_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expectedName"); // empty: no record stays
        const QString repo = QStringLiteral("{BASE}/org/repo/");
        QTest::newRow("name from the link") << repo + "resolve/main/My-Model.Q4_K_M.gguf" << "" << "My-Model.Q4_K_M";
        QTest::newRow("ending in /") << repo + "resolve/main/My-Model.Q4_K_M.gguf/" << "" << "My-Model.Q4_K_M";
        QTest::newRow(".gguf twice") << repo + "resolve/main/x.gguf.part.gguf" << "" << "x.part";
        QTest::newRow("name typed") << repo + "resolve/main/My-Model.Q4_K_M.gguf" << " Mine " << " Mine ";
        QTest::newRow("file gone") << repo + "resolve/main/gone.gguf" << "" << "";
    }

    void customLink()
    {
        QFETCH(QString, link);
        QFETCH(QString, name);
        QFETCH(QString, expectedName);
        LogCapture log;
        Library l;
        auto &[home, engine, downloads, state, picker, dismissed] = l;
        picker.setHuggingFaceURL(link.replace(QStringLiteral("{BASE}"), m_server->baseUrl()));
        picker.setModelName(name);
        picker.downloadFromCustomURL();
        QCOMPARE(state.downloadedModelCount(), 1);
        QVERIFY(waitUntil([&] { return dismissed.count() == 1; }));
        QCOMPARE(state.currentView(), AppView::Models);
        if (expectedName.isEmpty()) { // a first download that fails takes its record along
            QVERIFY(waitUntil([&] { return state.downloadedModelCount() == 0; }, 20000));
            QVERIFY(log.contains(QStringLiteral("Download failed: ")));
            return;
        }
        QVERIFY(waitUntil([&] { return state.downloadedModelCount() == 1 && state.downloadedModels().first().isDownloaded; },
                          20000));
        const AIModel model = state.downloadedModels().first();
        QCOMPARE(model.name, expectedName);
        QCOMPARE(model.url, link);
        QCOMPARE(readFileBytes(model.filePath), modelBytes(40000, 'a'));
        QCOMPARE(state.selectedModelName(), expectedName);
    }

    void catalogEntry_data()
    {
        QTest::addColumn<QString>("hostPath");
        QTest::addColumn<QString>("alert"); // empty: the check passed (the download of a present file is the
                                            // models screen test's)
        QTest::newRow("HEAD answers 399") << "/x399" << "";
        QTest::newRow("file removed") << "/elsewhere" << "Model unavailable (HTTP 404). Hugging Face may have renamed "
                                                          "or removed this file. Try Custom URL with a fresh link.";
        QTest::newRow("no server") << "unreachable" << "Model unavailable (HTTP 0). Hugging Face may have renamed "
                                                       "or removed this file. Try Custom URL with a fresh link.";
    }

    void catalogEntry()
    {
        QFETCH(QString, hostPath);
        QFETCH(QString, alert);
        Library l;
        auto &[home, engine, downloads, state, picker, dismissed] = l;
        picker.setModelHost(hostPath == u"unreachable" ? QStringLiteral("http://127.0.0.1:1") : m_server->baseUrl() + hostPath);
        picker.downloadCuratedModelAt(0);
        picker.downloadCuratedModelAt(0); // a second press while the file is checked is ignored
        QVERIFY(picker.isCheckingCatalogEntry());
        if (!alert.isEmpty()) {
            QVERIFY(waitUntil([&] { return picker.showingAlert(); }, 15000));
            QCOMPARE(picker.alertMessage(), alert);
            QCOMPARE(state.downloadedModelCount(), 0);
            return;
        }
        QVERIFY(waitUntil([&] { return dismissed.count() == 1 && !picker.isCheckingCatalogEntry(); }, 15000));
        QCOMPARE(state.currentView(), AppView::Models);
        QCOMPARE(state.downloadedModels().first().name, CuratedCatalog::all().first().name);
    }

    void finishedFileAtStart_data()
    {
        QTest::addColumn<int>("fileSize"); // bytes of the served file already in Models
        QTest::addColumn<qint64>("recordTotal"); // 0: unknown
        QTest::addColumn<bool>("resumeData");
        QTest::addColumn<bool>("fetched"); // downloaded again
        QTest::newRow("whole file") << 40000 << qint64(40000) << false << false;
        QTest::newRow("whole file, resume data left") << 40000 << qint64(40000) << true << false;
        QTest::newRow("cut short") << 1000 << qint64(40000) << false << true;
        QTest::newRow("size unknown") << 40000 << qint64(0) << false << true;
    }
    // A quit or crash while a finished download was moved into Models: the next start completes the record, or
    // downloads it again. Leftovers of interrupted imports and downloads go; what resume data names stays.
    void finishedFileAtStart()
    {
        QFETCH(int, fileSize);
        QFETCH(qint64, recordTotal);
        QFETCH(bool, resumeData);
        QFETCH(bool, fetched);
        TempHome home;
        LogCapture log;
        const QString path = QStringLiteral("/org/repo/resolve/main/My-Model.Q4_K_M.gguf");
        AIModel record = AIModel::make(QStringLiteral("My-Model"), m_server->baseUrl() + path);
        record.downloadProgress = 0.9;
        record.totalBytes = recordTotal;
        const auto list = recordjson::encodeModelList({record});
        QVERIFY(list && Preferences().setData(QString::fromLatin1(prefkeys::kDownloadedModels), *list));
        const QString models = home.dataDir() + QStringLiteral("/Models/");
        const QString resume = home.dataDir() + QStringLiteral("/ResumeData/");
        const QByteArray blob = QJsonDocument(QJsonObject{{"url", record.url}}).toJson();
        const QString file =
            home.writeFile(models + canonicalUuid(record.id) + ".gguf", modelBytes(40000, 'a').left(fileSize));
        if (resumeData)
            home.writeFile(resume + canonicalUuid(record.id) + ".resume", blob);
        home.writeFile(models + "other.gguf.importing", "cut short");
        const QString orphan = canonicalUuid(QUuid::createUuid()) + ".partial";
        home.writeFile(resume + orphan, "no record");
        const QString kept = canonicalUuid(QUuid::createUuid());
        home.writeFile(resume + kept + ".partial", "named by its resume data");
        home.writeFile(resume + kept + ".resume", blob);
        const QString get = "GET " + path + ' ';
        const qsizetype getsBefore = m_server->accessLog().count(get);
        LlamaCPPManager engine;
        ModelDownloadManager downloads;
        AppState state(engine, {{}, &downloads});
        QVERIFY(waitUntil([&] { return state.downloadedModels().first().isDownloaded; }, 20000));
        QCOMPARE(state.downloadedModels().first().filePath, file);
        QCOMPARE(readFileBytes(file), modelBytes(40000, 'a'));
        QCOMPARE(state.selectedModelName(), QStringLiteral("My-Model"));
        QVERIFY(waitUntil([&] { return m_server->accessLog().count(get) - getsBefore == (fetched ? 1 : 0); }));
        downloads.drainQueues();
        QCOMPARE(folderEntries(models), QStringList{QFileInfo(file).fileName()});
        QCOMPARE(folderEntries(resume), (QStringList{kept + ".partial", kept + ".resume"}));
        QVERIFY(log.contains("Removed an unfinished import: other.gguf.importing"));
        QVERIFY(log.contains("Removed a partial download left behind: " + orphan));
    }

    // A model still downloading is never selected; the first downloaded one is, and stays so over a restart. Deleting a
    // model takes its files (also a stray one named for its id) and only the selection or engine model that was its
    // own.
    void deleting()
    {
        TempHome home;
        LlamaCPPManager engine;
        AppState state(engine);
        const AIModel pending = AIModel::make(QStringLiteral("pending"), QStringLiteral("https://example.invalid/p.gguf"));
        state.addModel(pending);
        state.selectModelById(canonicalUuid(pending.id));
        QVERIFY(!state.selectedModel() && !state.isFirstLaunch() && state.currentView() == AppView::Chat);
        const QString models = home.dataDir() + QStringLiteral("/Models/");
        QList<AIModel> library;
        for (const QString &name : {QStringLiteral("sel"), QStringLiteral("cur"), QStringLiteral("imp")})
            library << downloaded(name, home.writeFile(models + name + QStringLiteral(".gguf"), name.toUtf8()));
        home.writeFile(models + canonicalUuid(library[2].id) + QStringLiteral(".gguf"), "stray");
        for (const AIModel &model : library)
            state.addModel(model);
        QCOMPARE(engine.currentModelName(), QStringLiteral("sel"));
        QCOMPARE(AppState(engine).selectedModelName(), QStringLiteral("sel"));
        engine.loadModel(library[1]); // the engine runs another model than the selected one
        const QString outside = home.writeFile(QStringLiteral("Downloads/imp.gguf"), "original");

        state.deleteModelById(canonicalUuid(library[1].id));
        QVERIFY(!engine.isModelLoaded());
        state.deleteModelById(canonicalUuid(library[2].id));
        QCOMPARE(state.selectedModelName(), QStringLiteral("sel"));
        QCOMPARE(folderEntries(models), QStringList{QStringLiteral("sel.gguf")});
        QCOMPARE(readFileBytes(outside), QByteArray("original"));
        state.deleteModel(library[0]);
        QVERIFY(!state.selectedModel() && !Preferences().contains(key(prefkeys::kSelectedModelId)));
        // A download that finishes after its record went takes its file along.
        const QString late = home.writeFile(models + canonicalUuid(library[0].id) + QStringLiteral(".gguf"), "late");
        state.markDownloadComplete(library[0].id, late);
        QVERIFY(!QFileInfo::exists(late));
        state.deleteModel(pending);
        QVERIFY(!state.hasDownloadedModels());
        QCOMPARE(Preferences().boolValue(key(prefkeys::kHasDownloadedModels)), false);
        QCOMPARE(Preferences().boolValue(key(prefkeys::kDidCompleteOnboarding)), true);
        QCOMPARE(folderEntries(models), QStringList());
    }

    void importingAFile_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<bool>("alreadyThere"); // a file of that name in Models, without a record
        QTest::addColumn<QString>("alert");     // empty: imported
        QTest::addColumn<bool>("templateBusy"); // another model's chat template is being read meanwhile
        QTest::newRow("upper-case extension") << "Model.GGUF" << false << "" << false;
        QTest::newRow("not a model file") << "Model.bin" << false << "Please select a .gguf model file" << false;
        QTest::newRow("name taken") << "Model.gguf" << true << "A model with this filename already exists" << false;
        QTest::newRow("during a template read") << "Model.gguf" << false << "" << true;
    }

    void importingAFile()
    {
        QFETCH(QString, fileName);
        QFETCH(bool, alreadyThere);
        QFETCH(QString, alert);
        QFETCH(bool, templateBusy);
        Library l;
        auto &[home, engine, downloads, state, picker, dismissed] = l;
        const auto stopReads = qScopeGuard([&] {
            engine.applicationWillTerminate();
            qunsetenv("FAKE_LLAMA_SCRIPT_TEXT");
        });
        const QString models = home.dataDir() + QStringLiteral("/Models");
        if (templateBusy) { // a reading run that never ends by itself
            qputenv("FAKE_LLAMA_SCRIPT_TEXT", "hang");
            QVERIFY(home.installProgram(QStringLiteral(FAKE_LLAMA_COMPLETION)));
            const QString busy = home.writeFile(QStringLiteral("busy.gguf"), "b");
            state.addModel(downloaded(QStringLiteral("busy"), busy));
            QVERIFY(waitUntil([&] { return processesWith(busy.toUtf8() + " --verbose") == 1; }));
        }
        if (alreadyThere)
            home.writeFile(models + u'/' + fileName, "someone else's");
        const QByteArray content(2500, 'g');
        const QString source = home.writeFile(QStringLiteral("Downloads/") + fileName, content);
        const QByteArray modelsBefore = entrySnapshot(models);
        QStringList asked;
        connect(&picker, &ModelPickerState::confirmationRequested, this,
                [&](const QString &message, const QString &info) { asked << message << info; });
        picker.importLocalModel({QUrl::fromLocalFile(source)});
        if (!alert.isEmpty()) {
            QCOMPARE(picker.alertMessage(), alert);
            QVERIFY(picker.showingAlert());
            QVERIFY(asked.isEmpty());
            QCOMPARE(entrySnapshot(models), modelsBefore);
            return;
        }
        const QString info = asked.value(1);
        QVERIFY2(info.contains("copy of " + fileName + " (3 KB)") && info.contains(source), qPrintable(info));
        picker.answerConfirmation(true);
        QVERIFY(waitUntil([&] { return dismissed.count() == 1; }));
        QCOMPARE(state.downloadedModelCount(), templateBusy ? 2 : 1);
        const AIModel model = state.downloadedModels().last();
        QCOMPARE(model.name + ' ' + model.size, QStringLiteral("Model 3 KB"));
        QCOMPARE(readFileBytes(model.filePath), content);
        QCOMPARE(folderEntries(models), QStringList{fileName}); // no temporary copy left
        QCOMPARE(state.selectedModelName(), templateBusy ? QStringLiteral("busy") : QStringLiteral("Model"));
        QCOMPARE(readFileBytes(source), content);
    }

private:
    void writeServed(const QString &path, const QByteArray &bytes)
    {
        const QString full = m_root.path() + path;
        QDir().mkpath(QFileInfo(full).path());
        QFile file(full);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }

    QTemporaryDir m_root;
    std::unique_ptr<NginxServer> m_server;
};

QTEST_GUILESS_MAIN(TestAppState)
#include "tst_app_state.moc"
