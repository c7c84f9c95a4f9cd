// Conversations on the application state: titles, export and import, deleting, the store following the list,
// search, and attachment intake in the composer.
#include "app/app_state.h"
#include "app/composer_state.h"
#include "app_test_support.h"
#include "engine/llama_cpp_manager.h"
#include "platform/process_handle.h"

#include <QtTest>

#include <atomic>
#include <sys/stat.h>

namespace {

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
QStringList titles(const QList<ChatSession> &sessions) { return field(sessions, &ChatSession::title); }

} // namespace

class TestConversations : public QObject {
    Q_OBJECT

private slots:
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
        state.updateTitleFromFirstMessage(text);
        QCOMPARE(titles(state.chatSessions()), (QStringList{expected, kNewChat, "Older talk"}));
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
        const QString json = home.home() + "/c.json", md = home.home() + "/c.md";
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
        for (const QString &bad : {canonicalUuid(kUnlisted), QStringLiteral("not an id")})
            state.selectSessionById(bad);
        QCOMPARE(state.currentSession()->id, importedId);
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
        QTest::addColumn<QString>("how"); // "id" (lower case), "selected id" or "malformed id"
        QTest::addColumn<QList<QUuid>>("remaining");
        // kS2 is the newest and so the current one after start-up.
        QTest::newRow("current") << kS2 << "id" << QList<QUuid>{kS3, kS1};
        QTest::newRow("not current, by id") << kS3 << "id" << QList<QUuid>{kS2, kS1};
        QTest::newRow("current in the middle, by id") << kS3 << "selected id" << QList<QUuid>{kS2, kS1};
        QTest::newRow("not listed") << kUnlisted << "id" << QList<QUuid>{kS2, kS3, kS1};
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
        state.deleteSessionById(how != "malformed id" ? canonicalUuid(target).toLower()
                                                      : "{" + canonicalUuid(target) + "}x");
        const bool deleted = how != "malformed id";
        for (auto it = processes.cbegin(); it != processes.cend(); ++it)
            QCOMPARE(it.value()->running.load(), !deleted || it.key() != target);
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

    // Titles only, untrimmed, folded as the user's language folds them.
    void search()
    {
        TempHome home;
        const QStringList listed{"Trip to paris", "Vacances d'été", "Hauptstraße", "istanbul gezisi", "Izmir"};
        for (int i = 0; i < listed.size(); ++i)
            writeSession(home, QUuid::createUuid(), listed[i], 1000.0 - i);
        LlamaCPPManager engine;
        AppState state(engine);
        const QLocale saved;
        const auto restore = qScopeGuard([&] { QLocale::setDefault(saved); });
        const QList<std::tuple<QString, QString, QStringList>> cases{
            {"en_US", "banana", {}}, {"en_US", " paris ", {}}, {"en_US", "ÉTÉ", {"Vacances d'été"}},
            {"de_DE", "STRASSE", {"Hauptstraße"}}, {"tr_TR", "İSTANBUL", {"istanbul gezisi"}}};
        for (const auto &[locale, text, expected] : cases) {
            QLocale::setDefault(QLocale(locale));
            QVERIFY2(titles(state.filteredSessions(text)) == expected, qPrintable(text));
        }
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
        composer.addAttachments({QUrl(QStringLiteral("https://example.invalid/x.txt"))});
        QVERIFY(!composer.dropUrls({QUrl(QStringLiteral("https://example.invalid/page.html"))}));
        composer.removeAttachment(7);
        composer.removeAttachment(-1);
        composer.removeAttachment(0);
        composer.addAttachments({a});
        QCOMPARE(composer.attachedFiles(), (QList<QUrl>{b, missing, a}));

        const QUrl atLimit = file("limit.bin", 5242880);
        composer.addAttachments({file("f0.bin", 6000000), atLimit, file("f2.bin", 10500000)});
        QCOMPARE(composer.attachmentAlertMessage(), "These files are larger than the 5 MB attachment limit and were "
                                                    "not attached:\n\nf0.bin (6 MB)\nf2.bin (10.5 MB)");
        QVERIFY(composer.dropUrls({file("one.iso", 7000000), file("two.iso", 3000000000LL)}));
        QCOMPARE(alertChanged.count(), 3);
        QCOMPARE(composer.attachmentAlertMessage(), "two.iso (3 GB)" + kOversized);
        QCOMPARE(composer.attachedFiles(), (QList<QUrl>{b, missing, a, atLimit}));
    }

};

QTEST_GUILESS_MAIN(TestConversations)
#include "tst_conversations.moc"
