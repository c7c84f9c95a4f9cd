#include "app/app_state.h"
#include "app/composer_state.h"
#include "common/test_support.h"
#include "engine/llama_cpp_manager.h"
#include "platform/process_handle.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QSignalSpy>
#include <QtTest>

#include <atomic>
#include <memory>

namespace {

const QUuid kS1 = QUuid::fromString(QStringLiteral("aaaaaaaa-1111-4111-8111-111111111111"));
const QUuid kS2 = QUuid::fromString(QStringLiteral("bbbbbbbb-2222-4222-8222-222222222222"));
const QUuid kS3 = QUuid::fromString(QStringLiteral("cccccccc-3333-4333-8333-333333333333"));
const QUuid kUnlisted = QUuid::fromString(QStringLiteral("dddddddd-4444-4444-8444-444444444444"));

class FakeProcess : public ProcessHandle {
public:
    explicit FakeProcess(qint64 pid) : m_pid(pid) {}
    bool isRunning() const override { return m_running; }
    qint64 processId() const override { return m_pid; }
    void terminate() override
    {
        ++terminateCount;
        m_running = false;
    }
    void kill() override { m_running = false; }
    std::atomic<int> terminateCount{0};

private:
    qint64 m_pid;
    std::atomic<bool> m_running{true};
};

QString sessionFile(const TempHome &home, const QUuid &id)
{
    return home.dataDir() + QStringLiteral("/Sessions/") + canonicalUuid(id) + QStringLiteral(".json");
}

// A conversation file written by hand, with one user message and one reply.
void writeSession(const TempHome &home, const QUuid &id, const QString &title, double createdAt,
                  const QString &messageText = QStringLiteral("banana bread recipe"))
{
    const QString base = id.toString(QUuid::WithoutBraces).left(8);
    const QJsonArray messages{
        QJsonObject{{"id", base + "-0000-4000-8000-000000000001"},
                    {"content", messageText},
                    {"isFromUser", true},
                    {"timestamp", createdAt + 1}},
        QJsonObject{{"id", base + "-0000-4000-8000-000000000002"},
                    {"content", QStringLiteral("reply to ") + messageText},
                    {"isFromUser", false},
                    {"timestamp", createdAt + 2}},
    };
    const QJsonObject session{{"id", id.toString(QUuid::WithoutBraces)},
                              {"title", title},
                              {"createdAt", createdAt},
                              {"messages", messages}};
    const QString path = sessionFile(home, id);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    f.write(QJsonDocument(session).toJson());
}

QString storedTitle(const TempHome &home, const QUuid &id)
{
    return QJsonDocument::fromJson(readFileBytes(sessionFile(home, id))).object().value("title").toString();
}

QStringList titles(const QList<ChatSession> &sessions)
{
    QStringList out;
    for (const ChatSession &s : sessions)
        out << s.title;
    return out;
}

QList<QUuid> ids(const QList<ChatSession> &sessions)
{
    QList<QUuid> out;
    for (const ChatSession &s : sessions)
        out << s.id;
    return out;
}

// A file of the given size without writing its bytes.
QUrl sparseFile(const TempHome &home, const QString &name, qint64 size)
{
    const QString path = home.home() + QStringLiteral("/files/") + name;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || !f.resize(size))
        qFatal("cannot create %s", qPrintable(path));
    return QUrl::fromLocalFile(path);
}

// Restores the default locale when a test changed it.
struct DefaultLocaleGuard {
    QLocale saved;
    ~DefaultLocaleGuard() { QLocale::setDefault(saved); }
};

const QString kOversizedWording = QStringLiteral(" is larger than the 5 MB attachment limit and was not attached.");

} // namespace

class TestConversations : public QObject {
    Q_OBJECT

private slots:
    void titleFromFirstMessage_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("eleven words keep eight")
            << "one two three four five six seven eight nine ten eleven"
            << "one two three four five six seven eight";
        QTest::newRow("runs of spaces collapse") << "  hello    there   world  " << "hello there world";
        QTest::newRow("line break without spaces stays") << "first line\nsecond" << "first line\nsecond";
        QTest::newRow("line break only") << "alpha\nbeta" << "alpha\nbeta";
        QTest::newRow("tab is not a separator")
            << "one\ttwo three four five six seven eight nine ten"
            << "one\ttwo three four five six seven eight nine";
        QTest::newRow("no-break space is not a separator")
            << QString::fromUtf8("a\u00A0b c d e f g h i j") << QString::fromUtf8("a\u00A0b c d e f g h i");
        QTest::newRow("only spaces") << "     " << "New Chat";
        QTest::newRow("empty") << "" << "New Chat";
        QTest::newRow("attachments only") << "(Attached files)" << "(Attached files)";
    }
    void titleFromFirstMessage()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        TempHome home;
        LlamaCPPManager engine;
        AppState state(engine);
        state.createNewChat();
        state.createNewChat();
        const QUuid id = state.currentSession()->id;
        const QUuid other = state.chatSessions().at(1).id;
        QSignalSpy listChanged(&state, &AppState::chatSessionsChanged);
        QSignalSpy currentChanged(&state, &AppState::currentSessionChanged);

        state.updateTitleFromFirstMessage(text);
        QCOMPARE(state.currentSession()->title, expected);
        QCOMPARE(state.chatSessions().first().title, expected);
        QCOMPARE(state.chatSessions().at(1).title, QStringLiteral("New Chat"));
        QCOMPARE(storedTitle(home, id), expected);
        QCOMPARE(storedTitle(home, other), QStringLiteral("New Chat"));
        if (expected != QStringLiteral("New Chat")) {
            QCOMPARE(listChanged.count(), 1);
            QCOMPARE(currentChanged.count(), 1);
        }

        // A derived title is final; one still "New Chat" is derived later.
        state.updateTitleFromFirstMessage(QStringLiteral("a later message"));
        const QString finalTitle = expected == QStringLiteral("New Chat") ? QStringLiteral("a later message") : expected;
        QCOMPARE(state.currentSession()->title, finalTitle);
        QCOMPARE(state.chatSessions().first().title, finalTitle);
        QCOMPARE(storedTitle(home, id), finalTitle);

        AppState reloaded(engine);
        QCOMPARE(reloaded.chatSessions().first().title, finalTitle);
    }

    void newChatsAreListedNewestFirst()
    {
        TempHome home;
        writeSession(home, kS1, QStringLiteral("Older talk"), 100.0);
        LlamaCPPManager engine;
        AppState state(engine);
        QCOMPARE(state.currentView(), AppView::Welcome);
        QCOMPARE(state.chatMessages().size(), 2);
        QSignalSpy messagesChanged(&state, &AppState::chatMessagesChanged);

        QList<QUuid> created;
        for (int i = 0; i < 3; ++i) {
            state.createNewChat();
            QVERIFY(state.currentSession());
            QVERIFY(state.chatMessages().isEmpty());
            QCOMPARE(state.currentView(), AppView::Chat);
            created.prepend(state.currentSession()->id);
            QCOMPARE(state.chatSessions().first().id, state.currentSession()->id);
        }
        QCOMPARE(messagesChanged.count(), 3);
        QCOMPARE(QSet<QUuid>(created.cbegin(), created.cend()).size(), 3);
        QCOMPARE(ids(state.chatSessions()), created + QList<QUuid>{kS1});
        QCOMPARE(titles(state.chatSessions()),
                 (QStringList{"New Chat", "New Chat", "New Chat", "Older talk"}));
        for (const QUuid &id : created)
            QCOMPARE(storedTitle(home, id), QStringLiteral("New Chat"));
        QCOMPARE(storedTitle(home, kS1), QStringLiteral("Older talk"));

        AppState reloaded(engine);
        QCOMPARE(ids(reloaded.chatSessions()), created + QList<QUuid>{kS1});
    }

    void selectSession()
    {
        TempHome home;
        writeSession(home, kS1, QStringLiteral("First"), 100.0, QStringLiteral("first question"));
        writeSession(home, kS2, QStringLiteral("Second"), 200.0, QStringLiteral("second question"));
        LlamaCPPManager engine;
        AppState state(engine);
        QCOMPARE(state.currentSession()->id, kS2);
        const QByteArray s1Bytes = readFileBytes(sessionFile(home, kS1));

        // An out-of-date copy of a listed conversation: the stored one is shown.
        ChatSession stale;
        stale.id = kS1;
        stale.title = QStringLiteral("Stale");
        QSignalSpy messagesChanged(&state, &AppState::chatMessagesChanged);
        state.selectSession(stale);
        QCOMPARE(state.currentSession()->title, QStringLiteral("First"));
        QCOMPARE(state.chatMessages().size(), 2);
        QCOMPARE(state.chatMessages().first().content, QStringLiteral("first question"));
        QCOMPARE(messagesChanged.count(), 1);
        QCOMPARE(state.currentView(), AppView::Welcome);
        QCOMPARE(readFileBytes(sessionFile(home, kS1)), s1Bytes);

        // By id, in either letter case; unknown or malformed ids change nothing.
        state.selectSessionById(canonicalUuid(kS2).toLower());
        QCOMPARE(state.currentSession()->id, kS2);
        QCOMPARE(state.chatMessages().first().content, QStringLiteral("second question"));
        LogCapture log;
        state.selectSessionById(canonicalUuid(kUnlisted));
        state.selectSessionById(QStringLiteral("not an id"));
        state.selectSessionById(QString());
        QCOMPARE(state.currentSession()->id, kS2);
        QCOMPARE(state.chatMessages().size(), 2);
        QCOMPARE(log.count(QStringLiteral("Cannot select conversation")), 3);

        // A conversation that is not listed is shown as given, and not saved;
        // it cannot be titled.
        ChatSession loose = ChatSession::make();
        loose.messages << ChatMessage::make(QStringLiteral("loose words"), true);
        state.selectSession(loose);
        QCOMPARE(state.currentSession()->id, loose.id);
        QCOMPARE(state.chatMessages(), loose.messages);
        state.updateTitleFromFirstMessage(QStringLiteral("loose words"));
        QCOMPARE(state.currentSession()->title, QStringLiteral("New Chat"));
        QVERIFY(!QFile::exists(sessionFile(home, loose.id)));
        QCOMPARE(state.chatSessions().size(), 2);
    }

    void deleteSession_data()
    {
        QTest::addColumn<QUuid>("target");
        QTest::addColumn<bool>("byId");
        QTest::addColumn<bool>("leavesNoCurrent");
        QTest::addColumn<QList<QUuid>>("remaining");
        // kS2 is the newest and so the current one after start-up.
        QTest::newRow("current") << kS2 << false << true << QList<QUuid>{kS3, kS1};
        QTest::newRow("current, by id") << kS2 << true << true << QList<QUuid>{kS3, kS1};
        QTest::newRow("not current") << kS1 << false << false << QList<QUuid>{kS2, kS3};
        QTest::newRow("not current, by lower-case id") << kS3 << true << false << QList<QUuid>{kS2, kS1};
        QTest::newRow("not listed") << kUnlisted << false << false << QList<QUuid>{kS2, kS3, kS1};
        QTest::newRow("not listed, by id") << kUnlisted << true << false << QList<QUuid>{kS2, kS3, kS1};
    }
    void deleteSession()
    {
        QFETCH(QUuid, target);
        QFETCH(bool, byId);
        QFETCH(bool, leavesNoCurrent);
        QFETCH(QList<QUuid>, remaining);
        TempHome home;
        writeSession(home, kS1, QStringLiteral("Oldest"), 100.0);
        writeSession(home, kS2, QStringLiteral("Newest"), 300.0, QStringLiteral("newest question"));
        writeSession(home, kS3, QStringLiteral("Middle"), 200.0);
        LlamaCPPManager engine;
        AppState state(engine);
        QCOMPARE(state.currentSession()->id, kS2);

        QHash<QUuid, std::shared_ptr<FakeProcess>> processes;
        qint64 pid = 1000;
        for (const QUuid &id : {kS1, kS2, kS3, kUnlisted}) {
            processes[id] = std::make_shared<FakeProcess>(++pid);
            engine.registerProcess(id, processes[id]);
        }

        if (byId) {
            state.deleteSessionById(canonicalUuid(target).toLower());
        } else {
            ChatSession argument;
            argument.id = target;
            argument.title = QStringLiteral("whatever the list showed");
            state.deleteSession(argument);
        }

        for (auto it = processes.cbegin(); it != processes.cend(); ++it)
            QCOMPARE(it.value()->terminateCount.load(), it.key() == target ? 1 : 0);
        QCOMPARE(ids(state.chatSessions()), remaining);
        if (leavesNoCurrent) {
            QVERIFY(!state.currentSession());
            QVERIFY(state.chatMessages().isEmpty());
        } else {
            QCOMPARE(state.currentSession()->id, kS2);
            QCOMPARE(state.chatMessages().size(), 2);
            QCOMPARE(state.chatMessages().first().content, QStringLiteral("newest question"));
        }
        QVERIFY(!QFile::exists(sessionFile(home, target)));
        for (const QUuid &id : remaining)
            QVERIFY(QFile::exists(sessionFile(home, id)));

        AppState reloaded(engine);
        QCOMPARE(ids(reloaded.chatSessions()), remaining);
    }

    void deleteWithMalformedIdDoesNothing()
    {
        TempHome home;
        writeSession(home, kS1, QStringLiteral("Only"), 100.0);
        LlamaCPPManager engine;
        AppState state(engine);
        auto process = std::make_shared<FakeProcess>(77);
        engine.registerProcess(kS1, process);
        LogCapture log;
        state.deleteSessionById(QStringLiteral("{") + canonicalUuid(kS1) + QStringLiteral("}x"));
        QCOMPARE(process->terminateCount.load(), 0);
        QCOMPARE(ids(state.chatSessions()), QList<QUuid>{kS1});
        QVERIFY(QFile::exists(sessionFile(home, kS1)));
        QVERIFY(log.contains(QStringLiteral("Cannot delete conversation")));
    }

    void search_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QStringList>("listed"); // newest first
        QTest::addColumn<QString>("searchText");
        QTest::addColumn<QStringList>("expected");
        const QStringList trip{"Trip to paris", "Groceries", "Paris again"};
        QTest::newRow("capitals find small letters") << "en_US" << trip << "PARIS"
                                                     << QStringList{"Trip to paris", "Paris again"};
        QTest::newRow("message contents do not match") << "en_US" << trip << "banana" << QStringList{};
        QTest::newRow("empty returns all in order") << "en_US" << trip << "" << trip;
        QTest::newRow("used untrimmed") << "en_US" << trip << " paris " << QStringList{};
        QTest::newRow("leading space matches inside") << "en_US" << trip << " PARIS" << QStringList{"Trip to paris"};
        QTest::newRow("accented capitals") << "en_US" << QStringList{"Vacances d'été", "Other"} << "ÉTÉ"
                                           << QStringList{"Vacances d'été"};
        QTest::newRow("decomposed accents") << "en_US" << QStringList{"Vacances d'été", "Other"}
                                            << QString::fromUtf8("E\u0301TE\u0301")
                                            << QStringList{"Vacances d'été"};
        QTest::newRow("sharp s against SS") << "de_DE" << QStringList{"Hauptstraße", "Strand"} << "STRASSE"
                                            << QStringList{"Hauptstraße"};
        QTest::newRow("capital sharp s") << "de_DE" << QStringList{"Hauptstraße", "Strand"}
                                         << QString::fromUtf8("STRA\u1E9EE") << QStringList{"Hauptstraße"};
        QTest::newRow("final sigma") << "el_GR" << QStringList{"Η οδος", "Άλλο"} << "ΟΔΟΣ"
                                     << QStringList{"Η οδος"};
        QTest::newRow("Turkish dotted capital I") << "tr_TR" << QStringList{"istanbul gezisi", "Izmir"}
                                                  << "İSTANBUL" << QStringList{"istanbul gezisi"};
        QTest::newRow("Turkish dotless i") << "tr_TR" << QStringList{"ılık su", "ilik"} << "ILIK"
                                           << QStringList{"ılık su"};
        QTest::newRow("dotless i is another letter in English") << "en_US" << QStringList{"ılık su", "ilik"}
                                                                << "ILIK" << QStringList{"ilik"};
        QTest::newRow("dotted capital I in English") << "en_US" << QStringList{"İstanbul", "Izmir"} << "istanbul"
                                                     << QStringList{"İstanbul"};
    }
    void search()
    {
        QFETCH(QString, locale);
        QFETCH(QStringList, listed);
        QFETCH(QString, searchText);
        QFETCH(QStringList, expected);
        DefaultLocaleGuard guard;
        QLocale::setDefault(QLocale(locale));
        TempHome home;
        for (int i = 0; i < listed.size(); ++i)
            writeSession(home, QUuid::createUuid(), listed[i], 1000.0 - i);
        LlamaCPPManager engine;
        AppState state(engine);
        QCOMPARE(titles(state.chatSessions()), listed);
        QCOMPARE(titles(state.filteredSessions(searchText)), expected);
    }

    void attachmentSizeLimit_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("alert"); // empty: accepted
        QTest::newRow("empty file") << qint64(0) << QString();
        QTest::newRow("exactly the limit") << qint64(5242880) << QString();
        QTest::newRow("one byte over") << qint64(5242881) << QStringLiteral("edge.bin (5.2 MB)") + kOversizedWording;
        QTest::newRow("far over") << qint64(3000000000LL) << QStringLiteral("edge.bin (3 GB)") + kOversizedWording;
    }
    void attachmentSizeLimit()
    {
        QFETCH(qint64, size);
        QFETCH(QString, alert);
        TempHome home;
        LlamaCPPManager engine;
        AppState state(engine);
        ComposerState composer(state);
        LogCapture log;
        const QUrl url = sparseFile(home, QStringLiteral("edge.bin"), size);
        composer.addAttachments({url});
        if (alert.isEmpty()) {
            QCOMPARE(composer.attachedFiles(), QList<QUrl>{url});
            QVERIFY(!composer.showingAttachmentAlert());
            QVERIFY(!log.contains(QStringLiteral("Rejected")));
        } else {
            QVERIFY(composer.attachedFiles().isEmpty());
            QVERIFY(composer.showingAttachmentAlert());
            QCOMPARE(composer.attachmentAlertMessage(), alert);
            QVERIFY(log.contains(QStringLiteral("com.quorvane.app.ChatView: Rejected 1 oversized attachment(s)")));
        }
    }

    void pickingSeveralOversizedFiles()
    {
        TempHome home;
        LlamaCPPManager engine;
        AppState state(engine);
        ComposerState composer(state);
        const QUrl big1 = sparseFile(home, QStringLiteral("video.mov"), 6000000);
        const QUrl small = sparseFile(home, QStringLiteral("notes.txt"), 12);
        const QUrl big2 = sparseFile(home, QStringLiteral("scan.pdf"), 10500000);
        QSignalSpy alertChanged(&composer, &ComposerState::attachmentAlertChanged);
        QSignalSpy filesChanged(&composer, &ComposerState::attachedFilesChanged);
        LogCapture log;

        composer.addAttachments({big1, small, big2});
        QCOMPARE(composer.attachedFiles(), QList<QUrl>{small});
        QCOMPARE(filesChanged.count(), 1);
        QCOMPARE(alertChanged.count(), 1);
        QVERIFY(composer.showingAttachmentAlert());
        QCOMPARE(composer.attachmentAlertMessage(),
                 QStringLiteral("These files are larger than the 5 MB attachment limit and were not attached:\n\n"
                                "video.mov (6 MB)\nscan.pdf (10.5 MB)"));
        QCOMPARE(log.count(QStringLiteral("com.quorvane.app.ChatView: Rejected 2 oversized attachment(s)")), 1);

        // Only oversized files: nothing is added, but the alert comes.
        composer.setShowingAttachmentAlert(false);
        composer.addAttachments({big2});
        QCOMPARE(filesChanged.count(), 1);
        QVERIFY(composer.showingAttachmentAlert());
        QCOMPARE(composer.attachmentAlertMessage(), QStringLiteral("scan.pdf (10.5 MB)") + kOversizedWording);
    }

    void duplicatesAndUnreadableFiles()
    {
        TempHome home;
        LlamaCPPManager engine;
        AppState state(engine);
        ComposerState composer(state);
        const QUrl a = sparseFile(home, QStringLiteral("a.txt"), 10);
        const QUrl b = sparseFile(home, QStringLiteral("b.txt"), 10);
        QSignalSpy filesChanged(&composer, &ComposerState::attachedFilesChanged);

        composer.addAttachments({a, a});
        QCOMPARE(composer.attachedFiles(), QList<QUrl>{a});
        composer.addAttachments({a, b});
        QCOMPARE(composer.attachedFiles(), (QList<QUrl>{a, b}));
        // the same file spelled differently
        composer.addAttachments({QUrl::fromLocalFile(home.home() + QStringLiteral("/files/./a.txt")),
                                 QUrl::fromLocalFile(home.home() + QStringLiteral("//files/b.txt"))});
        QCOMPARE(composer.attachedFiles(), (QList<QUrl>{a, b}));
        QCOMPARE(filesChanged.count(), 2);

        // A file whose size cannot be read is taken; sending decides later.
        const QUrl missing = QUrl::fromLocalFile(home.home() + QStringLiteral("/files/gone.bin"));
        composer.addAttachments({missing});
        QCOMPARE(composer.attachedFiles(), (QList<QUrl>{a, b, missing}));

        // Only local files.
        LogCapture log;
        composer.addAttachments({QUrl(QStringLiteral("https://example.invalid/x.txt"))});
        QCOMPARE(composer.attachedFiles().size(), 3);
        QVERIFY(log.contains(QStringLiteral("not a local file")));
        QVERIFY(!composer.showingAttachmentAlert());

        // Removing one lets it be added again, at the end.
        composer.removeAttachment(7);
        composer.removeAttachment(-1);
        QCOMPARE(composer.attachedFiles().size(), 3);
        composer.removeAttachment(0);
        composer.addAttachments({a});
        QCOMPARE(composer.attachedFiles(), (QList<QUrl>{b, missing, a}));
        composer.clearAttachments();
        QVERIFY(composer.attachedFiles().isEmpty());
    }

    void dropping()
    {
        TempHome home;
        LlamaCPPManager engine;
        AppState state(engine);
        ComposerState composer(state);
        const QString folder = home.home() + QStringLiteral("/files/folder");
        QVERIFY(QDir().mkpath(folder));
        const QUrl folderUrl = QUrl::fromLocalFile(folder);
        const QUrl file = sparseFile(home, QStringLiteral("plain.txt"), 100);
        QSignalSpy filesChanged(&composer, &ComposerState::attachedFilesChanged);
        QSignalSpy alertChanged(&composer, &ComposerState::attachmentAlertChanged);

        QVERIFY(composer.dropUrls({folderUrl}));
        QVERIFY(composer.attachedFiles().isEmpty());
        QCOMPARE(filesChanged.count(), 0);

        QVERIFY(!composer.dropUrls({QUrl(QStringLiteral("https://example.invalid/page.html"))}));
        QVERIFY(!composer.dropUrls({}));
        QVERIFY(composer.attachedFiles().isEmpty());

        QVERIFY(composer.dropUrls({folderUrl, file}));
        QCOMPARE(composer.attachedFiles(), QList<QUrl>{file});
        QCOMPARE(alertChanged.count(), 0);

        // Each dropped file is taken on its own: two alerts, single wording,
        // the second one replacing the first.
        LogCapture log;
        const QUrl big1 = sparseFile(home, QStringLiteral("one.iso"), 7000000);
        const QUrl big2 = sparseFile(home, QStringLiteral("two.iso"), 8000000);
        QVERIFY(composer.dropUrls({big1, big2}));
        QCOMPARE(alertChanged.count(), 2);
        QVERIFY(composer.showingAttachmentAlert());
        QCOMPARE(composer.attachmentAlertMessage(), QStringLiteral("two.iso (8 MB)") + kOversizedWording);
        QCOMPARE(log.count(QStringLiteral("Rejected 1 oversized attachment(s)")), 2);
        QCOMPARE(composer.attachedFiles(), QList<QUrl>{file});
    }
};

QTEST_GUILESS_MAIN(TestConversations)
#include "tst_conversations.moc"
