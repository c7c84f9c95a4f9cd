#include "app/app_state.h"
#include "common/test_support.h"
#include "core/preference_keys.h"
#include "core/record_json.h"
#include "engine/llama_cpp_manager.h"
#include "platform/preferences.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

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


void writeBytes(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    f.write(bytes);
}

// Hand-written preferences, as a user or an older release may leave them.
void writeIni(const TempHome &home, const QByteArray &lines)
{
    writeBytes(home.configFile(), "[General]\n" + lines + "\n");
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
    return QJsonObject{{"id", id}, {"content", content}, {"isFromUser", fromUser}, {"timestamp", timestamp}};
}

QJsonObject sessionJson(const QUuid &id, const QString &title, double createdAt, const QJsonArray &messages)
{
    return QJsonObject{{"id", id.toString(QUuid::WithoutBraces)},
                       {"title", title},
                       {"createdAt", createdAt},
                       {"messages", messages}};
}

QJsonObject modelJson(const QUuid &id, const QString &name, bool downloaded, const QString &filePath)
{
    return QJsonObject{{"id", id.toString(QUuid::WithoutBraces)},
                       {"name", name},
                       {"url", "https://example.invalid/" + name + ".gguf"},
                       {"isDownloaded", downloaded},
                       {"filePath", filePath},
                       {"size", "1 KB"},
                       {"downloadProgress", downloaded ? 1.0 : 0.25},
                       {"downloadedBytes", 100},
                       {"totalBytes", 400},
                       {"downloadSpeed", 0.0},
                       {"createdAt", 1700000000.5}};
}

QByteArray json(const QJsonArray &array) { return QJsonDocument(array).toJson(QJsonDocument::Compact); }
QByteArray json(const QJsonObject &object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); }

// The three conversations of an older release's single preferences value,
// deliberately not in date order.
QJsonArray legacyConversations()
{
    return QJsonArray{
        sessionJson(kS1, QStringLiteral("Oldest"), 100.5,
                    {messageJson(QStringLiteral("11111111-0000-4000-8000-000000000001"), QStringLiteral("hi"), true,
                                 101.0)}),
        sessionJson(kS2, QStringLiteral("Newest"), 300.25,
                    {messageJson(QStringLiteral("22222222-0000-4000-8000-000000000001"), QStringLiteral("question"),
                                 true, 301.125),
                     messageJson(QStringLiteral("22222222-0000-4000-8000-000000000002"),
                                 QStringLiteral("answer, with \"quotes\" ✓"), false, 302.5)}),
        sessionJson(kS3, QStringLiteral("Middle"), 200.0, {}),
    };
}

QStringList sessionIds(const QList<ChatSession> &sessions)
{
    QStringList ids;
    for (const ChatSession &s : sessions)
        ids << canonicalUuid(s.id);
    return ids;
}


// Releases a reader that blocks on the FIFO at path when start-up has not
// finished within a few seconds; hung() tells whether it had to.
class FifoGuard {
public:
    explicit FifoGuard(const QString &path) : m_path(QFile::encodeName(path))
    {
        m_thread = std::thread([this] {
            for (int i = 0; i < 200 && !m_done; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            while (!m_done) {
                m_hung = true;
                const int fd = ::open(m_path.constData(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0)
                    ::close(fd);
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
    }
    ~FifoGuard() { finish(); }
    bool finish()
    {
        m_done = true;
        if (m_thread.joinable())
            m_thread.join();
        return !m_hung;
    }

private:
    QByteArray m_path;
    std::atomic<bool> m_done{false};
    std::atomic<bool> m_hung{false};
    std::thread m_thread;
};

QStringList asideFiles(const TempHome &home)
{
    return QDir(home.dataDir()).entryList({QStringLiteral("downloadedModels-unreadable-*")}, QDir::Files);
}

} // namespace

class TestAppState : public QObject {
    Q_OBJECT

private slots:
    void firstLaunch_data()
    {
        QTest::addColumn<bool>("createFile");
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("no preferences file") << false << QByteArray();
        QTest::newRow("empty preferences file") << true << QByteArray();
        QTest::newRow("only a section header") << true << QByteArray("[General]\n");
    }
    void firstLaunch()
    {
        QFETCH(bool, createFile);
        QFETCH(QByteArray, content);
        TempHome home;
        if (createFile)
            writeBytes(home.configFile(), content);
        LogCapture log;
        LlamaCPPManager engine;
        AppState state(engine);

        QCOMPARE(state.currentView(), AppView::Welcome);
        QVERIFY(state.isFirstLaunch());
        QVERIFY(!state.hasDownloadedModels());
        QCOMPARE(state.systemPrompt(), kDefaultPrompt);
        QCOMPARE(state.appearanceMode(), AppearanceMode::Dark);
        QVERIFY(state.downloadedModels().isEmpty());
        QVERIFY(!state.selectedModel());
        QVERIFY(state.chatSessions().isEmpty());
        QVERIFY(!state.currentSession());
        QVERIFY(state.chatMessages().isEmpty());
        QVERIFY(state.sessionTypingState().isEmpty());
        QVERIFY(state.sessionStreamingId().isEmpty());
        QVERIFY(state.sessionStreamingContent().isEmpty());
        QCOMPARE(state.lastModelsSaveTime(), Date::distantPast());

        const QStringList lines = log.lines();
        const auto modelsLine =
            lines.indexOf(QStringLiteral("com.quorvane.app.ModelPersistence: No saved models found - first launch"));
        const auto sessionsLine =
            lines.indexOf(QStringLiteral("com.quorvane.app.ChatPersistence: No saved sessions — fresh state"));
        QVERIFY2(modelsLine >= 0 && sessionsLine > modelsLine, qPrintable(lines.join('\n')));
        QVERIFY(!log.contains(QStringLiteral("Migrated")));

        Preferences prefs;
        QVERIFY(!prefs.contains(key(prefkeys::kDidCompleteOnboarding)));
        QVERIFY(!readFileBytes(home.configFile()).contains("didCompleteOnboarding"));
        QVERIFY(!prefs.contains(key(prefkeys::kSelectedModelId)));
    }

    void onboardingFlags_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<bool>("firstLaunch");
        QTest::addColumn<bool>("hasModels");
        QTest::newRow("models, not onboarded") << QByteArray("didCompleteOnboarding=false\nhasDownloadedModels=true")
                                               << false << true;
        QTest::newRow("onboarded, no models") << QByteArray("didCompleteOnboarding=true\nhasDownloadedModels=false")
                                              << false << false;
        QTest::newRow("onboarded only") << QByteArray("didCompleteOnboarding=true") << false << false;
        QTest::newRow("both true") << QByteArray("didCompleteOnboarding=true\nhasDownloadedModels=true") << false
                                   << true;
        QTest::newRow("both false") << QByteArray("didCompleteOnboarding=false\nhasDownloadedModels=false") << true
                                    << false;
        QTest::newRow("garbage") << QByteArray("didCompleteOnboarding=garbage\nhasDownloadedModels=yes please")
                                 << true << false;
        QTest::newRow("numbers") << QByteArray("didCompleteOnboarding=1\nhasDownloadedModels=2") << true << false;
        QTest::newRow("lists") << QByteArray("didCompleteOnboarding=true, true\nhasDownloadedModels=true, false")
                               << true << false;
        QTest::newRow("broken variant") << QByteArray("didCompleteOnboarding=@Variant(\\0\\0\\0\\x7f\\xff)") << true
                                        << false;
    }
    void onboardingFlags()
    {
        QFETCH(QByteArray, ini);
        QFETCH(bool, firstLaunch);
        QFETCH(bool, hasModels);
        TempHome home;
        writeIni(home, ini);
        const QByteArray before = readFileBytes(home.configFile());
        LlamaCPPManager engine;
        AppState state(engine);

        QCOMPARE(state.isFirstLaunch(), firstLaunch);
        QCOMPARE(state.hasDownloadedModels(), hasModels);
        QCOMPARE(state.currentView(), firstLaunch ? AppView::Welcome : AppView::Chat);
        Preferences prefs;
        if (firstLaunch) {
            // Nothing is written on the welcome path; the values stay as they were.
            QCOMPARE(readFileBytes(home.configFile()), before);
        } else {
            QCOMPARE(prefs.boolean(key(prefkeys::kDidCompleteOnboarding)), std::optional<bool>(true));
            QCOMPARE(prefs.boolValue(key(prefkeys::kHasDownloadedModels)), hasModels);
        }
    }

    void appearance_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<AppearanceMode>("expected");
        QTest::newRow("light") << QByteArray("appearanceMode=light") << AppearanceMode::Light;
        QTest::newRow("dark") << QByteArray("appearanceMode=dark") << AppearanceMode::Dark;
        QTest::newRow("Light") << QByteArray("appearanceMode=Light") << AppearanceMode::Dark;
        QTest::newRow("LIGHT") << QByteArray("appearanceMode=LIGHT") << AppearanceMode::Dark;
        QTest::newRow("empty") << QByteArray("appearanceMode=") << AppearanceMode::Dark;
        QTest::newRow("absent") << QByteArray() << AppearanceMode::Dark;
        QTest::newRow("garbage") << QByteArray("appearanceMode=\\x1b[31mlightish") << AppearanceMode::Dark;
        QTest::newRow("light with a suffix") << QByteArray("appearanceMode=\"light \"") << AppearanceMode::Dark;
        QTest::newRow("list") << QByteArray("appearanceMode=light, dark") << AppearanceMode::Dark;
        QTest::newRow("number") << QByteArray("appearanceMode=@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x1)")
                                << AppearanceMode::Dark;
    }
    void appearance()
    {
        QFETCH(QByteArray, ini);
        QFETCH(AppearanceMode, expected);
        TempHome home;
        writeIni(home, ini);
        LlamaCPPManager engine;
        {
            AppState state(engine);
            QCOMPARE(state.appearanceMode(), expected);
            const AppearanceMode other = expected == AppearanceMode::Dark ? AppearanceMode::Light : AppearanceMode::Dark;
            QSignalSpy changed(&state, &AppState::appearanceModeChanged);
            state.setAppearanceMode(other);
            QCOMPARE(state.appearanceMode(), other);
            QCOMPARE(changed.size(), 1);
            Preferences prefs;
            QCOMPARE(prefs.string(key(prefkeys::kAppearanceMode)),
                     std::optional<QString>(other == AppearanceMode::Light ? QStringLiteral("light")
                                                                            : QStringLiteral("dark")));
        }
        AppState again(engine);
        QCOMPARE(again.appearanceMode(), expected == AppearanceMode::Dark ? AppearanceMode::Light : AppearanceMode::Dark);
    }

    void systemPrompt_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("expected");
        QTest::newRow("absent") << QByteArray() << kDefaultPrompt;
        QTest::newRow("text") << QByteArray("systemPrompt=Be terse.") << QStringLiteral("Be terse.");
        QTest::newRow("quoted with comma") << QByteArray("systemPrompt=\"Be terse, be kind.\"")
                                           << QStringLiteral("Be terse, be kind.");
        QTest::newRow("data, not text") << QByteArray("systemPrompt=@ByteArray(Be terse.)") << kDefaultPrompt;
        QTest::newRow("list, not text") << QByteArray("systemPrompt=Be terse, be kind.") << kDefaultPrompt;
        QTest::newRow("broken variant") << QByteArray("systemPrompt=@Variant(\\0\\0\\0\\x7f\\xff)") << kDefaultPrompt;
        QTest::newRow("number") << QByteArray("systemPrompt=@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x1)") << kDefaultPrompt;
    }
    void systemPrompt()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, expected);
        TempHome home;
        writeIni(home, ini);
        const QByteArray before = readFileBytes(home.configFile());
        LlamaCPPManager engine;
        {
            AppState state(engine);
            QCOMPARE(state.systemPrompt(), expected);
            // Start-up leaves the stored value as it was.
            QCOMPARE(readFileBytes(home.configFile()), before);

            const QString prompt = QStringLiteral("Line one,\nline \"two\" = ✓; [brackets] @ByteArray(x)");
            QSignalSpy changed(&state, &AppState::systemPromptChanged);
            state.updateSystemPrompt(prompt);
            QCOMPARE(state.systemPrompt(), prompt);
            QCOMPARE(changed.size(), 1);
            QCOMPARE(Preferences().string(key(prefkeys::kSystemPrompt)), std::optional<QString>(prompt));
        }
        AppState again(engine);
        QCOMPARE(again.systemPrompt(), QStringLiteral("Line one,\nline \"two\" = ✓; [brackets] @ByteArray(x)"));
    }

    void legacyBlobMigration()
    {
        TempHome home;
        const QByteArray blob = json(legacyConversations());
        Preferences().setData(key(prefkeys::kSavedChatSessions), blob);
        LlamaCPPManager engine;
        LogCapture log;
        {
            AppState state(engine);
            QCOMPARE(sessionIds(state.chatSessions()),
                     (QStringList{canonicalUuid(kS2), canonicalUuid(kS3), canonicalUuid(kS1)}));
            QVERIFY(state.currentSession());
            QCOMPARE(state.currentSession()->id, kS2);
            QCOMPARE(state.currentSession()->title, QStringLiteral("Newest"));
            QCOMPARE(state.currentSession()->createdAt.secondsSince2001(), 300.25);
            QCOMPARE(state.chatMessages().size(), 2);
            QCOMPARE(state.chatMessages().at(0).content, QStringLiteral("question"));
            QVERIFY(state.chatMessages().at(0).isFromUser);
            QCOMPARE(state.chatMessages().at(0).timestamp.secondsSince2001(), 301.125);
            QCOMPARE(state.chatMessages().at(1).content, QStringLiteral("answer, with \"quotes\" ✓"));
            QVERIFY(!state.chatMessages().at(1).isFromUser);
            QCOMPARE(state.chatMessages(), state.currentSession()->messages);
            QVERIFY(log.contains(
                QStringLiteral("com.quorvane.app.ChatPersistence: Migrated 3 sessions from legacy UserDefaults blob")));
            QVERIFY(log.contains(QStringLiteral("com.quorvane.app.ChatPersistence: Loaded 3 sessions")));

            // The store now holds them, one file each, named by upper-case id.
            QCOMPARE(folderEntries(sessionsDir(home)),
                     (QStringList{canonicalUuid(kS1) + ".json", canonicalUuid(kS2) + ".json",
                                  canonicalUuid(kS3) + ".json"}));
            for (const ChatSession &s : state.chatSessions()) {
                const auto stored = recordjson::decodeSessionDocument(readFileBytes(sessionFile(home, s.id)));
                QVERIFY(stored);
                QCOMPARE(*stored, s);
            }
            QVERIFY(!Preferences().contains(key(prefkeys::kSavedChatSessions)));
        }

        // The next start reads the store; a blob that turns up again is not
        // merged in a second time.
        Preferences().setData(key(prefkeys::kSavedChatSessions), blob);
        log.clear();
        AppState again(engine);
        QCOMPARE(sessionIds(again.chatSessions()),
                 (QStringList{canonicalUuid(kS2), canonicalUuid(kS3), canonicalUuid(kS1)}));
        QVERIFY(!log.contains(QStringLiteral("Migrated")));
        QVERIFY(!Preferences().contains(key(prefkeys::kSavedChatSessions)));
        QCOMPARE(folderEntries(sessionsDir(home)).size(), 3);
    }

    void legacyBlobKeptWhenStoreUnwritable()
    {
        TempHome home;
        // A file stands where the data folder belongs (root ignores modes,
        // so permissions cannot make it unwritable).
        QDir().mkpath(QFileInfo(home.dataDir()).absolutePath());
        writeBytes(home.dataDir(), "not a folder");
        const QByteArray blob = json(legacyConversations());
        Preferences().setData(key(prefkeys::kSavedChatSessions), blob);

        LlamaCPPManager engine;
        AppState state(engine);
        QCOMPARE(sessionIds(state.chatSessions()),
                 (QStringList{canonicalUuid(kS2), canonicalUuid(kS3), canonicalUuid(kS1)}));
        QCOMPARE(state.currentSession()->id, kS2);
        QCOMPARE(state.chatMessages().size(), 2);
        QCOMPARE(Preferences().data(key(prefkeys::kSavedChatSessions)), std::optional<QByteArray>(blob));

        state.saveChatSessions();
        state.saveSession(state.chatSessions().first());
        QCOMPARE(Preferences().data(key(prefkeys::kSavedChatSessions)), std::optional<QByteArray>(blob));
        QCOMPARE(readFileBytes(home.dataDir()), QByteArray("not a folder"));
    }

    void legacyBlobUnreadable_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::newRow("not JSON") << QByteArray("savedChatSessions=@ByteArray(garbage)");
        QTest::newRow("truncated") << QByteArray(R"(savedChatSessions=@ByteArray([{\"id\":\"AAAA)");
        QTest::newRow("object, not array") << QByteArray("savedChatSessions=@ByteArray({})");
        QTest::newRow("wrong types") << QByteArray(R"(savedChatSessions=@ByteArray([{\"id\":1,\"title\":[]}]))");
        QTest::newRow("not UTF-8") << QByteArray("savedChatSessions=@ByteArray(\\xff\\xfe\\x80)");
        QTest::newRow("plain text") << QByteArray("savedChatSessions=garbage");
        QTest::newRow("list") << QByteArray("savedChatSessions=[1, 2]");
        QTest::newRow("broken variant") << QByteArray("savedChatSessions=@Variant(\\0\\0\\0\\x7f\\xff)");
    }
    void legacyBlobUnreadable()
    {
        QFETCH(QByteArray, ini);
        TempHome home;
        writeIni(home, ini + "\nhasDownloadedModels=true");
        const QVariant before = Preferences().value(key(prefkeys::kSavedChatSessions));
        LogCapture log;
        LlamaCPPManager engine;
        AppState state(engine);
        QVERIFY(state.chatSessions().isEmpty());
        QVERIFY(!state.currentSession());
        QCOMPARE(log.count(QStringLiteral("com.quorvane.app.ChatPersistence: WARNING: failed to decode legacy sessions — ")),
                 1);
        QVERIFY(log.contains(QStringLiteral("No saved sessions — fresh state")));
        // The start-up wrote didCompleteOnboarding; the legacy value survived it.
        Preferences prefs;
        QVERIFY(prefs.contains(key(prefkeys::kSavedChatSessions)));
        QCOMPARE(prefs.value(key(prefkeys::kSavedChatSessions)), before);
        state.saveChatSessions();
        QCOMPARE(Preferences().value(key(prefkeys::kSavedChatSessions)), before);
    }

    void selectedModel_data()
    {
        QTest::addColumn<QString>("storedId"); // "" = none stored
        QTest::addColumn<bool>("onlyUndownloaded");
        QTest::addColumn<bool>("chosenFileExists");
        QTest::addColumn<QString>("expected");  // name of the selected model, "" = none
        QTest::addColumn<QString>("storedAfter"); // "" = absent
        QTest::addColumn<QString>("logLine");

        const QString a = canonicalUuid(kModelA), b = canonicalUuid(kModelB), c = canonicalUuid(kModelC);
        const QString firstAvailable = QStringLiteral("No previously selected model, using first available: B");
        QTest::newRow("stored model not downloaded") << a << false << true << "B" << b << firstAvailable;
        QTest::newRow("unparsable id") << "garbage" << false << true << "B" << b << firstAvailable;
        QTest::newRow("braced id") << "{" + c + "}" << false << true << "B" << b << firstAvailable;
        QTest::newRow("unknown id") << QStringLiteral("12345678-1234-4234-8234-123456789ABC") << false << true << "B"
                                    << b << firstAvailable;
        QTest::newRow("nothing stored") << QString() << false << true << "B" << b << firstAvailable;
        QTest::newRow("stored downloaded") << c << false << true << "C" << c
                                           << QStringLiteral("Auto-loaded selected model: C");
        QTest::newRow("stored in lower case") << c.toLower() << false << true << "C" << c.toLower()
                                              << QStringLiteral("Auto-loaded selected model: C");
        QTest::newRow("selected file missing") << c << false << false << "C" << c
                                               << QStringLiteral("Auto-loaded selected model: C");
        QTest::newRow("first available file missing") << QString() << false << false << "B" << b << firstAvailable;
        QTest::newRow("nothing downloaded") << a << true << true << "" << a << "Successfully loaded 1 models";
        QTest::newRow("nothing downloaded, nothing stored") << QString() << true << true << "" << ""
                                                            << "Successfully loaded 1 models";
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
        writeBytes(models + "a.gguf", "A");
        const QString chosenPath = models + (expected.isEmpty() ? "none" : expected.toLower()) + ".gguf";
        if (chosenFileExists)
            writeBytes(chosenPath, "GGUF");
        QJsonArray list{modelJson(kModelA, "A", false, models + "a.gguf")};
        if (!onlyUndownloaded) {
            list.append(modelJson(kModelB, "B", true, models + "b.gguf"));
            list.append(modelJson(kModelC, "C", true, models + "c.gguf"));
        }
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
        QCOMPARE(state.downloadedModels().size(), list.size());
        QCOMPARE(state.downloadedModels().first().id, kModelA);
        QCOMPARE(state.downloadedModels().first().createdAt.secondsSince1970(), 1700000000.5);
        QCOMPARE(state.downloadedModels().first().downloadProgress, 0.25);
        QVERIFY(log.contains(QStringLiteral("com.quorvane.app.ModelPersistence: Successfully loaded %1 models")
                                 .arg(list.size())));
        QVERIFY2(log.contains(logLine), qPrintable(log.lines().join('\n')));

        QCOMPARE(state.selectedModelName(), expected);
        const auto stored = Preferences().string(key(prefkeys::kSelectedModelId));
        QCOMPARE(stored.value_or(QString()), storedAfter);
        if (expected.isEmpty()) {
            QVERIFY(!state.selectedModel());
            QTest::qWait(20);
            QVERIFY(!engine.currentModel());
            return;
        }
        QVERIFY(state.selectedModel()->isDownloaded);
        if (chosenFileExists) {
            QVERIFY(waitUntil([&] { return engine.currentModel().has_value(); }, 2000));
            QCOMPARE(engine.currentModel()->id, state.selectedModel()->id);
            QCOMPARE(engine.currentModelName(), expected);
        } else {
            QTest::qWait(20);
            QVERIFY(!engine.currentModel());
        }
    }

    void unreadableModelList_data()
    {
        QTest::addColumn<QByteArray>("line"); // the downloadedModels line as written
        QTest::addColumn<bool>("isData");      // the store hands the value back as bytes
        QTest::newRow("not JSON") << QByteArray("downloadedModels=@ByteArray(not json)") << true;
        QTest::newRow("truncated") << QByteArray(R"(downloadedModels=@ByteArray([{\"id\":\"0F8F)") << true;
        QTest::newRow("object, not array") << QByteArray("downloadedModels=@ByteArray({})") << true;
        QTest::newRow("wrong types")
            << QByteArray(R"(downloadedModels=@ByteArray([{\"id\":5\x2c\"name\":[]\x2c\"isDownloaded\":\"yes\"}]))")
            << true;
        QTest::newRow("wrong types, hand-written with commas")
            << QByteArray(R"(downloadedModels=@ByteArray([{\"id\":5,\"name\":[],\"isDownloaded\":\"yes\"}]))")
            << false;
        QTest::newRow("missing key")
            << QByteArray(R"(downloadedModels=@ByteArray([{\"id\":\"0F8FAD5B-D9CB-469F-A165-70867728950E\"}]))")
            << true;
        QTest::newRow("not UTF-8") << QByteArray("downloadedModels=@ByteArray(\\xff\\xfe\\x80)") << true;
        QTest::newRow("empty") << QByteArray("downloadedModels=") << true;
        QTest::newRow("plain text") << QByteArray("downloadedModels=garbage") << true;
        QTest::newRow("text with commas") << QByteArray("downloadedModels=[1, 2, 3]") << false;
        QTest::newRow("broken variant") << QByteArray("downloadedModels=@Variant(\\0\\0\\0\\x7f\\xff)") << false;
    }
    void unreadableModelList()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, isData);
        TempHome home;
        writeIni(home, line + "\nselectedModelId=" + canonicalUuid(kModelA).toLatin1() + "\nhasDownloadedModels=true");
        const auto storedBytes = Preferences().data(key(prefkeys::kDownloadedModels));
        QCOMPARE(storedBytes.has_value(), isData);

        LogCapture log;
        LlamaCPPManager engine;
        AppState state(engine);
        QCOMPARE(state.currentView(), AppView::Chat);
        QVERIFY(state.downloadedModels().isEmpty());
        QVERIFY(!state.selectedModel());
        QVERIFY(!engine.currentModel());
        QVERIFY(log.contains(QStringLiteral("com.quorvane.app.ModelPersistence: Error: Failed to decode saved models - ")));
        if (isData)
            QVERIFY(log.contains(QStringLiteral("com.quorvane.app.ModelPersistence: Data size: %1 bytes")
                                     .arg(storedBytes->size())));
        else
            QVERIFY(log.contains(QStringLiteral("com.quorvane.app.ModelPersistence: Data size: ")));
        QVERIFY(!log.contains(QStringLiteral("Successfully loaded")));
        // The selection is not touched when nothing could be read.
        QCOMPARE(Preferences().string(key(prefkeys::kSelectedModelId)), std::optional<QString>(canonicalUuid(kModelA)));

        // The unreadable value is kept aside, and a save of the (empty) list
        // does not take it away.
        const QStringList aside = asideFiles(home);
        QCOMPARE(aside.size(), 1);
        const QString asidePath = home.dataDir() + QLatin1Char('/') + aside.first();
        const QByteArray kept = readFileBytes(asidePath);
        if (isData)
            QCOMPARE(kept, *storedBytes);
        else
            QVERIFY2(kept.contains(line), kept.constData());

        state.saveModels();
        QCOMPARE(Preferences().data(key(prefkeys::kDownloadedModels)), std::optional<QByteArray>("[]"));
        QCOMPARE(asideFiles(home), aside);
        QCOMPARE(readFileBytes(asidePath), kept);
    }

    void unreadableModelListWithoutDataFolder()
    {
        TempHome home;
        QDir().mkpath(QFileInfo(home.dataDir()).absolutePath());
        writeBytes(home.dataDir(), "not a folder");
        writeIni(home, "downloadedModels=@ByteArray(not json)");
        LlamaCPPManager engine;
        AppState state(engine);
        QVERIFY(state.downloadedModels().isEmpty());
        state.saveModels();
        // With no data folder the bytes are kept in the preferences.
        Preferences prefs;
        QStringList asideKeys;
        for (const QString &k : QSettings(home.configFile(), QSettings::IniFormat).allKeys())
            if (k.startsWith(QStringLiteral("downloadedModels-unreadable-")))
                asideKeys << k;
        QCOMPARE(asideKeys.size(), 1);
        QCOMPARE(prefs.data(asideKeys.first()), std::optional<QByteArray>("not json"));
        QCOMPARE(readFileBytes(home.dataDir()), QByteArray("not a folder"));
    }

    void unreadableConversationFiles_data()
    {
        QTest::addColumn<QString>("kind"); // file, folder, fifo, dangling
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray valid =
            json(sessionJson(kS2, QStringLiteral("B"), 50, {messageJson(QStringLiteral("22222222-0000-4000-8000-00000000000f"),
                                                                      QStringLiteral("x"), true, 51)}));
        QTest::newRow("truncated JSON") << "file" << valid.left(valid.size() - 9);
        QTest::newRow("wrong types") << "file"
                                     << json(QJsonObject{{"id", canonicalUuid(kS2)},
                                                         {"title", 5},
                                                         {"createdAt", "yesterday"},
                                                         {"messages", QJsonObject{}}});
        QTest::newRow("missing required key") << "file"
                                              << json(QJsonObject{{"id", canonicalUuid(kS2)},
                                                                  {"title", "t"},
                                                                  {"messages", QJsonArray{}}});
        QTest::newRow("message missing key")
            << "file"
            << json(sessionJson(kS2, "t", 1, {QJsonObject{{"id", "22222222-0000-4000-8000-000000000001"}}}));
        QTest::newRow("zero bytes") << "file" << QByteArray();
        QTest::newRow("not UTF-8") << "file" << QByteArray(valid).replace("\"B\"", "\"\xc3\x28\xff\"");
        QTest::newRow("folder named like a file") << "folder" << valid;
        QTest::newRow("FIFO") << "fifo" << QByteArray();
        QTest::newRow("dangling symlink") << "dangling" << QByteArray();
    }
    void unreadableConversationFiles()
    {
        QFETCH(QString, kind);
        QFETCH(QByteArray, bytes);
        TempHome home;
        const QJsonArray goodMessages{
            messageJson(QStringLiteral("11111111-0000-4000-8000-0000000000aa"), QStringLiteral("still here"), true, 11),
            messageJson(QStringLiteral("11111111-0000-4000-8000-0000000000bb"), QStringLiteral("reply"), false, 12)};
        writeBytes(sessionFile(home, kS1), json(sessionJson(kS1, QStringLiteral("Good"), 10, goodMessages)));
        const QString badPath = sessionFile(home, kS2);
        const QString badName = QFileInfo(badPath).fileName();
        if (kind == QLatin1String("file")) {
            writeBytes(badPath, bytes);
        } else if (kind == QLatin1String("folder")) {
            writeBytes(badPath + QStringLiteral("/inside.json"), bytes);
        } else if (kind == QLatin1String("fifo")) {
            QCOMPARE(::mkfifo(QFile::encodeName(badPath).constData(), 0600), 0);
        } else {
            QVERIFY(QFile::link(home.home() + QStringLiteral("/gone.json"), badPath));
        }
        const QByteArray before = entrySnapshot(badPath);

        LogCapture log;
        LlamaCPPManager engine;
        std::unique_ptr<AppState> state;
        {
            FifoGuard guard(badPath);
            state = std::make_unique<AppState>(engine);
            QVERIFY2(guard.finish(), "start-up blocked on a conversation entry");
        }
        QCOMPARE(sessionIds(state->chatSessions()), QStringList{canonicalUuid(kS1)});
        QCOMPARE(state->currentSession()->title, QStringLiteral("Good"));
        QCOMPARE(state->chatMessages().size(), 2);
        QCOMPARE(state->chatMessages().first().content, QStringLiteral("still here"));
        QVERIFY2(log.contains(QStringLiteral("com.quorvane.app.ChatPersistence: Skipped unreadable conversation file ")
                              + badName),
                 qPrintable(log.lines().join('\n')));
        QVERIFY(log.contains(QStringLiteral("Loaded 1 sessions")));
        QVERIFY(state->unreadableSessionFiles().contains(badName));
        QCOMPARE(entrySnapshot(badPath), before);

        {
            FifoGuard guard(badPath);
            state->saveChatSessions();
            state->saveSession(state->chatSessions().first());
            QVERIFY2(guard.finish(), "saving blocked on a conversation entry");
        }
        QCOMPARE(entrySnapshot(badPath), before);
        QVERIFY(QFileInfo::exists(sessionFile(home, kS1)));

        // A second start sees the same, and still keeps the entry.
        state.reset();
        {
            FifoGuard guard(badPath);
            AppState again(engine);
            QVERIFY(guard.finish());
            QCOMPARE(sessionIds(again.chatSessions()), QStringList{canonicalUuid(kS1)});
            again.saveChatSessions();
        }
        QCOMPARE(entrySnapshot(badPath), before);
    }

    void saveChatSessionsPrunesOnlyConversationFiles()
    {
        TempHome home;
        writeBytes(sessionFile(home, kS1), json(sessionJson(kS1, "one", 10, {})));
        writeBytes(sessionFile(home, kS3), json(sessionJson(kS3, "three", 30, {})));
        const QHash<QString, QByteArray> strays = {
            {QStringLiteral("notes.txt"), "notes"},
            {canonicalUuid(kS2) + QStringLiteral(".json.bak"), "backup"},
            {QStringLiteral("Backup.JSON"), "upper"},
            {QStringLiteral("archive/old.json"), "archived"},
            {QStringLiteral(".hidden"), "hidden"},
        };
        for (auto it = strays.cbegin(); it != strays.cend(); ++it)
            writeBytes(sessionsDir(home) + QLatin1Char('/') + it.key(), it.value());

        LlamaCPPManager engine;
        AppState state(engine);
        QCOMPARE(sessionIds(state.chatSessions()), (QStringList{canonicalUuid(kS3), canonicalUuid(kS1)}));

        // A conversation written and then dropped from the list (deleted).
        ChatSession dropped;
        dropped.id = kS2;
        dropped.title = QStringLiteral("dropped");
        dropped.createdAt = Date::fromSecondsSince2001(20);
        state.saveSession(dropped);
        QVERIFY(QFileInfo::exists(sessionFile(home, kS2)));
        // A leftover legacy value goes once conversations stand in the store.
        Preferences().setData(key(prefkeys::kSavedChatSessions), "[]");

        state.saveChatSessions();
        QVERIFY(!QFileInfo::exists(sessionFile(home, kS2)));
        QVERIFY(!Preferences().contains(key(prefkeys::kSavedChatSessions)));
        for (const ChatSession &s : state.chatSessions())
            QCOMPARE(*recordjson::decodeSessionDocument(readFileBytes(sessionFile(home, s.id))), s);
        for (auto it = strays.cbegin(); it != strays.cend(); ++it)
            QCOMPARE(readFileBytes(sessionsDir(home) + QLatin1Char('/') + it.key()), it.value());
        QStringList expected{".hidden", "Backup.JSON", canonicalUuid(kS1) + ".json", canonicalUuid(kS2) + ".json.bak",
                             canonicalUuid(kS3) + ".json", "archive", "notes.txt"};
        expected.sort();
        QCOMPARE(folderEntries(sessionsDir(home)), expected);
    }

    void deletingLastConversation()
    {
        TempHome home;
        writeIni(home, "savedChatSessions=@ByteArray(unreadable legacy value)");
        LlamaCPPManager engine;
        AppState state(engine);
        QVERIFY(state.chatSessions().isEmpty());
        ChatSession last;
        last.id = kS1;
        last.createdAt = Date::fromSecondsSince2001(5);
        state.saveSession(last);
        QCOMPARE(folderEntries(sessionsDir(home)).size(), 1);

        state.saveChatSessions();
        QVERIFY(QFileInfo(sessionsDir(home)).isDir());
        QVERIFY(folderEntries(sessionsDir(home)).isEmpty());
        QCOMPARE(Preferences().data(key(prefkeys::kSavedChatSessions)),
                 std::optional<QByteArray>("unreadable legacy value"));
    }

    void throttledModelSaves()
    {
        TempHome home;
        const QJsonArray list{modelJson(kModelA, "A", false, QString())};
        Preferences writer;
        writer.setData(key(prefkeys::kDownloadedModels), json(list));
        LlamaCPPManager engine;
        AppState state(engine);
        QCOMPARE(state.downloadedModels().size(), 1);

        LogCapture log;
        const double start = 760000000.0; // seconds since 2001
        QList<double> writes;
        for (int i = 0; i < 120; ++i) { // 12 seconds at ten reports a second
            writer.setData(key(prefkeys::kDownloadedModels), "marker");
            const double now = start + i / 10.0;
            state.saveModelsThrottled(Date::fromSecondsSince2001(now));
            const auto stored = Preferences().data(key(prefkeys::kDownloadedModels));
            QVERIFY(stored);
            if (*stored != "marker") {
                const auto decoded = recordjson::decodeModelList(*stored);
                QVERIFY(decoded);
                QCOMPARE(decoded->size(), 1);
                writes << now - start;
            }
        }
        QCOMPARE(writes, (QList<double>{0.0, 5.0, 10.0}));
        QCOMPARE(state.lastModelsSaveTime().secondsSince2001(), start + 10.0);
        QVERIFY(!log.contains(QStringLiteral("Saved 1 models"))); // throttled saves are silent

        // An immediate save is not throttled and is not silent.
        writer.setData(key(prefkeys::kDownloadedModels), "marker");
        state.saveModels();
        QVERIFY(Preferences().data(key(prefkeys::kDownloadedModels)) != std::optional<QByteArray>("marker"));
        QVERIFY(log.contains(QStringLiteral("com.quorvane.app.ModelPersistence: Saved 1 models to UserDefaults")));

        // A clock set back an hour must not hold saves off for that hour.
        writer.setData(key(prefkeys::kDownloadedModels), "marker");
        state.saveModelsThrottled(Date::fromSecondsSince2001(start + 10.0 - 3600.0));
        QVERIFY(Preferences().data(key(prefkeys::kDownloadedModels)) != std::optional<QByteArray>("marker"));
    }

    // A conversation of the legacy value whose store file exists but cannot
    // be read: the unreadable file is moved aside, not overwritten.
    void legacyMigrationKeepsUnreadableFileOfSameId()
    {
        TempHome home;
        Preferences().setData(key(prefkeys::kSavedChatSessions), json(legacyConversations()));
        const QByteArray corrupt = "{\"id\": \"" + canonicalUuid(kS2).toUtf8() + "\", \"title\": trunc";
        writeBytes(sessionFile(home, kS2), corrupt);
        LlamaCPPManager engine;
        {
            AppState state(engine);
            QCOMPARE(state.chatSessions().size(), 3);
        }
        const QStringList names = folderEntries(sessionsDir(home));
        QCOMPARE(names.size(), 4);
        const QStringList aside = names.filter(canonicalUuid(kS2) + QStringLiteral(".json.unreadable-"));
        QCOMPARE(aside.size(), 1);
        QCOMPARE(readFileBytes(sessionsDir(home) + QLatin1Char('/') + aside.first()), corrupt);
        QVERIFY(recordjson::decodeSessionDocument(readFileBytes(sessionFile(home, kS2))));
        QVERIFY(!Preferences().contains(key(prefkeys::kSavedChatSessions)));
    }

    void garbagePreferencesFile()
    {
        TempHome home;
        QByteArray garbage;
        for (int i = 0; i < 512; ++i)
            garbage.append(char((i * 7919 + 13) % 256));
        writeBytes(home.configFile(), garbage);
        writeBytes(sessionFile(home, kS1), json(sessionJson(kS1, "kept", 10, {})));

        LogCapture log;
        LlamaCPPManager engine;
        {
            AppState state(engine);
            QCOMPARE(state.currentView(), AppView::Welcome);
            QVERIFY(state.isFirstLaunch());
            QCOMPARE(state.systemPrompt(), kDefaultPrompt);
            QCOMPARE(state.appearanceMode(), AppearanceMode::Dark);
            QVERIFY(state.downloadedModels().isEmpty());
            QCOMPARE(sessionIds(state.chatSessions()), QStringList{canonicalUuid(kS1)});
            QVERIFY2(log.contains(QStringLiteral("could not read preferences")), qPrintable(log.lines().join('\n')));

            // Writing a setting afterwards does not destroy the unreadable bytes.
            state.setAppearanceMode(AppearanceMode::Light);
            state.updateSystemPrompt(QStringLiteral("new"));
        }
        const QDir configDir = QFileInfo(home.configFile()).dir();
        int copies = 0;
        for (const QString &name : configDir.entryList(QDir::Files))
            copies += readFileBytes(configDir.filePath(name)) == garbage ? 1 : 0;
        QCOMPARE(copies, 1);
        AppState again(engine);
        QCOMPARE(again.appearanceMode(), AppearanceMode::Light);
        QCOMPARE(again.systemPrompt(), QStringLiteral("new"));
        QCOMPARE(sessionIds(again.chatSessions()), QStringList{canonicalUuid(kS1)});
    }
};

QTEST_GUILESS_MAIN(TestAppState)
#include "tst_app_state.moc"
