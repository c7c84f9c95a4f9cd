// The data folder, moving what an older release left in Documents, and the
// folder of conversation files: atomic saves, entries that are not readable
// store files, duplicates and pruning.
#include "common/test_support.h"
#include "core/file_manager_utility.h"
#include "core/record_json.h"
#include "core/records.h"
#include "core/sessions_store.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

#include <memory>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QUuid kIdA = QUuid::fromString(QStringLiteral("0f8fad5b-d9cb-469f-a165-70867728950e"));
const QUuid kIdB = QUuid::fromString(QStringLiteral("7c9e6679-7425-40de-944b-e07fc1f90ae7"));
const QUuid kIdC = QUuid::fromString(QStringLiteral("16fd2706-8baf-433b-82eb-8c7fada847da"));

ChatSession session(const QUuid &id, const QString &title, double createdAt2001, int messageCount = 2)
{
    ChatSession s;
    s.id = id;
    s.title = title;
    s.createdAt = Date::fromSecondsSince2001(createdAt2001);
    for (int i = 0; i < messageCount; ++i) {
        std::optional<QList<AttachedFile>> files;
        if (i == 0)
            files = QList<AttachedFile>{{QUuid::createUuid(), "a.txt", "/tmp/a.txt", "txt", 12}};
        s.messages << ChatMessage{QUuid::createUuid(), QStringLiteral("message %1 \"quoted\" ✓\n").arg(i), i % 2 == 0,
                                  Date::fromSecondsSince2001(createdAt2001 + i + 0.25), files, {}, {}, {}, 0};
    }
    return s;
}

QByteArray encoded(const ChatSession &s) { return *recordjson::encodeSessionDocument(s); }

QString fileNameFor(const QUuid &id) { return canonicalUuid(id) + QStringLiteral(".json"); }

} // namespace

class TestStorage : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TempHome> m_firstHome;
    QStringList m_firstUseLog;

private slots:
    // The shared instance moves the old folders the first time it is used.
    void initTestCase()
    {
        m_firstHome = std::make_unique<TempHome>();
        for (const QString name : {"Models/a.gguf", "Models/.hidden", "Models/same.gguf", "Models/sub/deeper/x.gguf",
                                   "ChatHistory/c1.json"})
            m_firstHome->writeFile("Documents/" + name, "old " + name.toUtf8());
        m_firstHome->writeFile(QStringLiteral(".local/share/Quorvane/Models/same.gguf"), "new");
        LogCapture log;
        FileManagerUtility::shared();
        m_firstUseLog = log.lines();
    }

    // Entries move one by one, hidden ones and folders too; a name already in
    // the new folder is left in both places untouched.
    void migration()
    {
        const QString docs = m_firstHome->home() + QStringLiteral("/Documents/");
        const QString data = m_firstHome->dataDir() + QLatin1Char('/');
        QStringList migrated;
        for (const QString &line : std::as_const(m_firstUseLog))
            if (line.startsWith(QStringLiteral("com.quorvane.app.Migrate: ")))
                migrated << line.section(QStringLiteral(": "), 1, -1);
        QCOMPARE(migrated, (QStringList{"Models: .hidden", "Models: a.gguf", "Models: sub"}));
        for (const char *name : {"Models/a.gguf", "Models/.hidden", "Models/sub/deeper/x.gguf", "ChatHistory/c1.json"}) {
            QCOMPARE(readFileBytes(data + name), QByteArray("old ") + name);
            QVERIFY(!QFileInfo::exists(docs + name));
        }
        QCOMPARE(readFileBytes(docs + "Models/same.gguf"), QByteArray("old Models/same.gguf"));
        QCOMPARE(readFileBytes(data + "Models/same.gguf"), QByteArray("new"));
        QVERIFY(QFileInfo(docs + "Models").isDir()); // the old folder stays
    }

    void dataFoldersAndFileSizes()
    {
        TempHome home;
        QVERIFY(QDir(home.dataDir()).removeRecursively()); // the user deleted it: asking brings it back
        QCOMPARE(FileManagerUtility::shared().appSupportDirectory(), home.dataDir());
        QVERIFY(QFileInfo(home.dataDir()).isDir());
        const QString file = home.writeFile(QStringLiteral("plain"), "keep me");
        FileManagerUtility::ensureDirectoryExists(file); // never replaces a file
        QCOMPARE(readFileBytes(file), QByteArray("keep me"));

        AIModel model = AIModel::make(QStringLiteral("m"), QStringLiteral("https://example.invalid/m.gguf"));
        QCOMPARE(FileManagerUtility::fileSize(model), qint64(0)); // no path
        model.filePath = home.home() + QStringLiteral("/My Models/ä b.gguf");
        QCOMPARE(FileManagerUtility::fileSize(model), qint64(0)); // missing
        home.writeFile(QStringLiteral("My Models/ä b.gguf"), QByteArray(12345, 'x'));
        QCOMPARE(FileManagerUtility::fileSize(model), qint64(12345));
    }

    // Saving makes the missing folder and writes one file per conversation,
    // which loads back equal. A save replaces the file as a whole (a shorter
    // version leaves no tail, a reader holding the old file keeps seeing all
    // of it) and leaves no temporary behind.
    void saveAndLoad()
    {
        TempHome home;
        const SessionsStore store = SessionsStore::standard();
        ChatSession a = session(kIdA, QStringLiteral("First ✓"), 700000000.123456, 40);
        const ChatSession b = session(kIdB, QStringLiteral("Second"), -5.5, 0);
        QVERIFY(store.save(a) && store.save(b));
        auto loaded = store.loadAll();
        QVERIFY(loaded.listed && loaded.unreadableFiles.isEmpty());
        QCOMPARE(loaded.sessions.size(), 2);
        const bool aFirst = loaded.sessions.at(0).id == kIdA;
        QCOMPARE(loaded.sessions.at(aFirst ? 0 : 1), a);
        QCOMPARE(loaded.sessions.at(aFirst ? 1 : 0), b);

        a.messages.resize(1);
        QVERIFY(store.save(a));
        QCOMPARE(readFileBytes(store.filePath(kIdA)), encoded(a));
        QFile reader(store.filePath(kIdA));
        QVERIFY(reader.open(QIODevice::ReadOnly));
        const QByteArray before = readFileBytes(store.filePath(kIdA));
        a.title = QStringLiteral("third version, longer than the one before it");
        QVERIFY(store.save(a));
        QCOMPARE(reader.readAll(), before);
        QCOMPARE(folderEntries(store.directory()), (QStringList{fileNameFor(kIdA), fileNameFor(kIdB)}));

        // a store whose folder cannot exist (a file stands there) fails cleanly
        home.writeFile(QStringLiteral("blocked"), "not a folder");
        const SessionsStore broken(home.home() + QStringLiteral("/blocked"));
        QVERIFY(!broken.save(a));
        QVERIFY(!broken.loadAll().listed);
        broken.prune({}, {});
        QCOMPARE(readFileBytes(home.home() + QStringLiteral("/blocked")), QByteArray("not a folder"));
    }

    // Loading skips (and reports) a store file it cannot read and leaves it
    // as it was; other names are not store files. A conversation loads from
    // the file named for its id, else from an older writer's lower-case name
    // (reported as stray); copies are reported. What a save left when a run
    // was killed goes at the first load, logged; near misses stay, and
    // everything stays while another process holds the folder (its saves may
    // be under way). Pruning, or removing one by name, deletes only regular
    // "*.json" files of conversations not kept.
    void strayEntriesAndPrune_data()
    {
        QTest::addColumn<bool>("otherProcess");
        QTest::newRow("alone") << false;
        QTest::newRow("another process holds the folder") << true;
    }
    void strayEntriesAndPrune()
    {
        QFETCH(bool, otherProcess);
        TempHome home;
        const SessionsStore store(home.home() + QStringLiteral("/Sessions"));
        home.writeFile("Sessions/" + fileNameFor(kIdB), encoded(session(kIdB, QStringLiteral("gone"), 2)));
        const QString d = store.directory() + QLatin1Char('/');
        const QString lowerLive = canonicalUuid(kIdA).toLower() + QStringLiteral(".json"); // an older writer's name
        const QString idFolder = canonicalUuid(kIdC) + QStringLiteral(".json");
        const QString leftover = fileNameFor(kIdA) + QStringLiteral(".xQ3bZk");
        home.writeFile("Sessions/" + lowerLive, encoded(session(kIdA, QStringLiteral("live"), 1)));
        const QByteArray copy = encoded(session(kIdB, QStringLiteral("copy"), 1));
        home.writeFile(QStringLiteral("Sessions/0-copy.json"), copy); // sorts before the file named for its id
        home.writeFile(QStringLiteral("Sessions/zz-copy.json"), encoded(session(kIdA, QStringLiteral("copy"), 1)));
        QStringList expected = {"stray.txt",           "Upper.JSON", "kept-broken.json", fileNameFor(kIdB) + ".abcde",
                                "notes.json.abcdef", leftover,     fileNameFor(kIdC) + ".abcdef.txt"};
        for (const QString &name : expected + QStringList{"not-an-id.json"})
            home.writeFile("Sessions/" + name, "{\"half");
        home.writeFile("Sessions/" + idFolder + "/inner.json", "inner");
        QCOMPARE(::mkfifo(QFile::encodeName(d + QStringLiteral("pipe.json")).constData(), 0600), 0);
        QVERIFY(QFile::link(d + QStringLiteral("missing-target"), d + QStringLiteral("dangling.json")));
        QVERIFY(QFile::link(d + lowerLive, d + QStringLiteral("link-to-live.json")));
        const int fd = ::open(QFile::encodeName(store.directory()).constData(), O_RDONLY | O_DIRECTORY);
        QVERIFY(fd >= 0 && (!otherProcess || ::flock(fd, LOCK_SH) == 0));
        LogCapture log;
        const auto loaded = store.loadAll();
        ::close(fd);
        QCOMPARE(log.contains(QStringLiteral("Removed the unfinished save file ") + leftover), !otherProcess);
        QStringList titles = {loaded.sessions.value(0).title, loaded.sessions.value(1).title};
        QStringList unreadable = loaded.unreadableFiles;
        titles.sort();
        unreadable.sort();
        QCOMPARE(titles, (QStringList{"gone", "live"}));
        QStringList expectedUnreadable = {idFolder,        "0-copy.json", "dangling.json", "kept-broken.json",
                                          "link-to-live.json", "not-an-id.json", "pipe.json",  "zz-copy.json"};
        expectedUnreadable.sort();
        QCOMPARE(unreadable, expectedUnreadable);
        QCOMPARE(loaded.strayFiles, (QHash<QString, QUuid>{{lowerLive, kIdA}}));
        QVERIFY(!store.removeFile(QStringLiteral("stray.txt")) && !store.removeFile(QStringLiteral("dangling.json")));
        QVERIFY(store.removeFile(QStringLiteral("not-an-id.json")));

        store.prune({kIdA}, {QStringLiteral("kept-broken.json"), QStringLiteral("0-copy.json"),
                             QStringLiteral("zz-copy.json")});
        expected << idFolder << "dangling.json" << "link-to-live.json" << lowerLive << "pipe.json" << "0-copy.json"
                 << "zz-copy.json";
        if (!otherProcess)
            expected.removeAll(leftover);
        expected.sort();
        QStringList actual = folderEntries(store.directory());
        actual.sort();
        QCOMPARE(actual, expected);
        QCOMPARE(readFileBytes(d + idFolder + QStringLiteral("/inner.json")), QByteArray("inner"));
        QCOMPARE(readFileBytes(d + QStringLiteral("0-copy.json")), copy);

        // nothing kept: the regular store files go, nothing else does
        store.prune({}, {});
        for (const QString &name : {lowerLive, QStringLiteral("kept-broken.json"), QStringLiteral("0-copy.json"),
                                    QStringLiteral("zz-copy.json")})
            expected.removeAll(name);
        actual = folderEntries(store.directory());
        actual.sort();
        QCOMPARE(actual, expected);
    }
};

QTEST_GUILESS_MAIN(TestStorage)
#include "tst_storage.moc"
