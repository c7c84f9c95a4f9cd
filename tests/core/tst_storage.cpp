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
#include <QJsonDocument>
#include <QtTest>

#include <csignal>
#include <memory>
#include <fcntl.h>
#include <sys/resource.h>
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
    // the new folder is left in both places untouched. A later home of this
    // process is left alone.
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

        TempHome home;
        home.writeFile(QStringLiteral("Documents/Models/second.gguf"), "x");
        FileManagerUtility::shared().appSupportDirectory();
        QVERIFY(QFileInfo::exists(home.home() + QStringLiteral("/Documents/Models/second.gguf")));
        // nothing to move (a file where a folder was): nothing is made
        const QString blocked = home.writeFile(QStringLiteral("second/Documents/ChatHistory"), "a file");
        FileManagerUtility::migrateLegacyFolders(home.home() + "/second/Documents", home.home() + "/second/data");
        QVERIFY(!QFileInfo::exists(home.home() + QStringLiteral("/second/data")));
        QVERIFY(QFileInfo(blocked).isFile());
    }

    void dataFoldersAndFileSizes()
    {
        TempHome home;
        auto &fm = FileManagerUtility::shared();
        QCOMPARE(fm.modelsDirectory(), home.dataDir() + QStringLiteral("/Models"));
        QVERIFY(QDir(home.dataDir()).removeRecursively()); // the user deleted it: asking brings it back
        QCOMPARE(fm.appSupportDirectory(), home.dataDir());
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
        QCOMPARE(store.directory(), home.dataDir() + QStringLiteral("/Sessions"));
        ChatSession a = session(kIdA, QStringLiteral("First ✓"), 700000000.123456, 40);
        const ChatSession b = session(kIdB, QStringLiteral("Second"), -5.5, 0);
        QVERIFY(store.save(a));
        QVERIFY(store.save(b));
        QCOMPARE(folderEntries(store.directory()), (QStringList{fileNameFor(kIdA), fileNameFor(kIdB)}));
        auto loaded = store.loadAll();
        QVERIFY(loaded.listed && loaded.unreadableFiles.isEmpty());
        QCOMPARE(loaded.sessions.size(), 2);
        const bool aFirst = loaded.sessions.at(0).id == kIdA;
        QCOMPARE(loaded.sessions.at(aFirst ? 0 : 1), a);
        QCOMPARE(loaded.sessions.at(aFirst ? 1 : 0), b);

        a.messages.resize(1);
        QVERIFY(store.save(a));
        QCOMPARE(readFileBytes(store.filePath(kIdA)), encoded(a));
        QCOMPARE(folderEntries(store.directory()), (QStringList{fileNameFor(kIdA), fileNameFor(kIdB)}));
        QFile reader(store.filePath(kIdA));
        QVERIFY(reader.open(QIODevice::ReadOnly));
        const QByteArray before = readFileBytes(store.filePath(kIdA));
        a.title = QStringLiteral("third version, longer than the one before it");
        QVERIFY(store.save(a));
        QCOMPARE(reader.readAll(), before);

        // a disk that fills up during the write fails it; the stored file stays
        const QByteArray stored = readFileBytes(store.filePath(kIdA));
        a.title = QStringLiteral("fourth");
        rlimit unlimited{};
        ::getrlimit(RLIMIT_FSIZE, &unlimited);
        ::signal(SIGXFSZ, SIG_IGN); // the write fails (EFBIG) instead of the signal ending the process
        const rlimit full{64, unlimited.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &full);
        const bool savedOnAFullDisk = store.save(a);
        ::setrlimit(RLIMIT_FSIZE, &unlimited);
        QVERIFY(!savedOnAFullDisk);
        QCOMPARE(readFileBytes(store.filePath(kIdA)), stored);
        QCOMPARE(folderEntries(store.directory()), (QStringList{fileNameFor(kIdA), fileNameFor(kIdB)}));

        // a store whose folder cannot exist (a file stands there) fails cleanly
        home.writeFile(QStringLiteral("blocked"), "not a folder");
        const SessionsStore broken(home.home() + QStringLiteral("/blocked"));
        QVERIFY(!broken.save(a));
        QVERIFY(!broken.loadAll().listed);
        broken.prune({}, {});
        QCOMPARE(readFileBytes(home.home() + QStringLiteral("/blocked")), QByteArray("not a folder"));
    }

    // What a save left when a run was killed goes at the first load, logged;
    // near misses stay, and everything stays while another process holds
    // the folder (its saves may be under way).
    void leftoverSaveFiles_data()
    {
        QTest::addColumn<bool>("otherProcess");
        QTest::newRow("alone") << false;
        QTest::newRow("another process holds the folder") << true;
    }
    void leftoverSaveFiles()
    {
        QFETCH(bool, otherProcess);
        TempHome home;
        const SessionsStore store(home.home() + QStringLiteral("/Sessions"));
        const QString left = fileNameFor(kIdA) + QStringLiteral(".xQ3bZk");
        QStringList kept = {fileNameFor(kIdB) + ".abcde", "notes.json.abcdef", fileNameFor(kIdC) + ".abcdef.txt"};
        for (const QString &name : kept + QStringList{left})
            home.writeFile("Sessions/" + name, "{\"half");
        const int fd = ::open(QFile::encodeName(store.directory()).constData(), O_RDONLY | O_DIRECTORY);
        QVERIFY(fd >= 0 && (!otherProcess || ::flock(fd, LOCK_SH) == 0));
        LogCapture log;
        QVERIFY(store.loadAll().sessions.isEmpty());
        ::close(fd);
        QCOMPARE(log.contains(QStringLiteral("Removed the unfinished save file ") + left), !otherProcess);
        if (otherProcess)
            kept << left;
        kept.sort();
        QCOMPARE(folderEntries(store.directory()), kept);
    }

    // Loading skips (and reports) a store file it cannot read and leaves it
    // as it was; other names are not store files. Pruning, or removing one
    // by name, deletes only regular "*.json" files of conversations not kept.
    void unreadableEntriesAndPrune()
    {
        TempHome home;
        const SessionsStore store(home.home() + QStringLiteral("/Sessions"));
        QVERIFY(store.save(session(kIdB, QStringLiteral("gone"), 2)));
        const QString d = store.directory() + QLatin1Char('/');
        const QString lowerLive = canonicalUuid(kIdA).toLower() + QStringLiteral(".json"); // an older writer's name
        const QString idFolder = canonicalUuid(kIdC) + QStringLiteral(".json");
        home.writeFile("Sessions/" + lowerLive, encoded(session(kIdA, QStringLiteral("live"), 1)));
        for (const QString name : {"stray.txt", "Upper.JSON", "not-an-id.json", "kept-broken.json"})
            home.writeFile("Sessions/" + name, "x");
        home.writeFile("Sessions/" + idFolder + "/inner.json", "inner");
        QCOMPARE(::mkfifo(QFile::encodeName(d + QStringLiteral("pipe.json")).constData(), 0600), 0);
        QVERIFY(QFile::link(d + QStringLiteral("missing-target"), d + QStringLiteral("dangling.json")));
        QVERIFY(QFile::link(d + lowerLive, d + QStringLiteral("link-to-live.json")));
        LogCapture log;
        const QStringList unreadable = store.loadAll().unreadableFiles;
        QVERIFY(unreadable.contains("kept-broken.json") && !unreadable.contains("stray.txt")
                && !unreadable.contains("Upper.JSON"));
        QVERIFY(log.contains(QStringLiteral("Skipped unreadable conversation file kept-broken.json")));
        QCOMPARE(readFileBytes(d + "kept-broken.json"), QByteArray("x"));
        QVERIFY(!store.removeFile(QStringLiteral("stray.txt")) && !store.removeFile(QStringLiteral("dangling.json")));
        QVERIFY(store.removeFile(QStringLiteral("not-an-id.json")));

        store.prune({kIdA}, {QStringLiteral("kept-broken.json")});
        QStringList expected = {idFolder,           "Upper.JSON", "dangling.json",     "kept-broken.json",
                                "link-to-live.json", lowerLive,   "pipe.json",         "stray.txt"};
        expected.sort();
        QStringList actual = folderEntries(store.directory());
        actual.sort();
        QCOMPARE(actual, expected);
        QCOMPARE(readFileBytes(d + idFolder + QStringLiteral("/inner.json")), QByteArray("inner"));

        // nothing kept: the regular store files go, nothing else does
        store.prune({}, {});
        expected.removeAll(lowerLive);
        expected.removeAll(QStringLiteral("kept-broken.json"));
        actual = folderEntries(store.directory());
        actual.sort();
        QCOMPARE(actual, expected);
    }

    void duplicateIds_data()
    {
        QTest::addColumn<QStringList>("names"); // files holding the same conversation, titled by their name
        QTest::addColumn<QString>("winner");    // whose title loads
        const QString canonical = fileNameFor(kIdA);
        QTest::newRow("copy sorts first") << QStringList{"0-copy.json", canonical} << canonical;
        QTest::newRow("copy sorts last") << QStringList{canonical, "zz-copy.json"} << canonical;
        QTest::newRow("lower-case name and a copy")
            << QStringList{canonicalUuid(kIdA).toLower() + ".json", "zz-copy.json"}
            << canonicalUuid(kIdA).toLower() + ".json";
    }
    // One conversation loads from the file named for its id; the copies are
    // reported and survive a save and a prune.
    void duplicateIds()
    {
        QFETCH(QStringList, names);
        QFETCH(QString, winner);
        TempHome home;
        const SessionsStore store(home.home() + QStringLiteral("/Sessions"));
        QHash<QString, QByteArray> written;
        for (const QString &name : names)
            home.writeFile("Sessions/" + name, written[name] = encoded(session(kIdA, name, 50)));
        const QString canonical = fileNameFor(kIdA);
        const auto loaded = store.loadAll();
        QCOMPARE(loaded.sessions.size(), 1);
        QCOMPARE(loaded.sessions.first().title, winner);
        QStringList others = names, unreadable = loaded.unreadableFiles;
        others.removeAll(winner);
        others.sort();
        unreadable.sort();
        QCOMPARE(unreadable, others);
        // a winner named other than for its id is reported as a stray
        QCOMPARE(loaded.strayFiles.keys(), winner == canonical ? QStringList() : QStringList{winner});
        QCOMPARE(loaded.strayFiles.value(winner, kIdA), kIdA);

        QVERIFY(store.save(loaded.sessions.first()));
        store.prune({kIdA}, QSet<QString>(others.cbegin(), others.cend()));
        for (const QString &name : std::as_const(others))
            QCOMPARE(readFileBytes(store.directory() + '/' + name), written.value(name));
    }
};

QTEST_GUILESS_MAIN(TestStorage)
#include "tst_storage.moc"
