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

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <future>
#include <memory>
#include <sys/stat.h>
#include <thread>
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
        ChatMessage m;
        m.id = QUuid::createUuid();
        m.content = QStringLiteral("message %1 \"quoted\" ✓\n").arg(i);
        m.isFromUser = i % 2 == 0;
        m.timestamp = Date::fromSecondsSince2001(createdAt2001 + i + 0.25);
        if (i == 0)
            m.attachedFiles = QList<AttachedFile>{
                {QUuid::createUuid(), QStringLiteral("a.txt"), QStringLiteral("/tmp/a.txt"), QStringLiteral("txt"), 12}};
        s.messages << m;
    }
    return s;
}



QString fileNameFor(const QUuid &id) { return canonicalUuid(id) + QStringLiteral(".json"); }

// Runs fn on another thread. When it does not return within a few seconds
// (a reader blocked on a FIFO), a writer end is opened on the FIFO to let it
// go, and false is returned.
bool finishesWithoutHanging(const std::function<void()> &fn, const QString &fifo)
{
    auto future = std::async(std::launch::async, fn);
    if (future.wait_for(std::chrono::seconds(10)) == std::future_status::ready)
        return true;
    const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0)
        ::close(fd);
    future.wait();
    return false;
}


} // namespace

class TestStorage : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TempHome> m_firstHome;
    QStringList m_firstUseLog;

private slots:
    // The one shared instance moves what an older release left in Documents
    // the first time it is used; later homes of this process are not migrated.
    void initTestCase()
    {
        m_firstHome = std::make_unique<TempHome>();
        m_firstHome->writeFile(QStringLiteral("Documents/Models/old.gguf"), "old model");
        m_firstHome->writeFile(QStringLiteral("Documents/ChatHistory/chat.txt"), "old chat");
        LogCapture log;
        FileManagerUtility::shared();
        m_firstUseLog = log.lines();
    }

    void sharedInstanceMigratesOnFirstUse()
    {
        const QString data = m_firstHome->dataDir();
        QCOMPARE(readFileBytes(data + QStringLiteral("/Models/old.gguf")), QByteArray("old model"));
        QCOMPARE(readFileBytes(data + QStringLiteral("/ChatHistory/chat.txt")), QByteArray("old chat"));
        QVERIFY(!QFileInfo::exists(m_firstHome->home() + QStringLiteral("/Documents/Models/old.gguf")));
        QVERIFY(m_firstUseLog.contains(QStringLiteral("com.quorvane.app.Migrate: Models: old.gguf")));
        QVERIFY(QFileInfo(m_firstHome->home() + QStringLiteral("/Documents/Models")).isDir());

        // A second home in the same process is left alone.
        TempHome home;
        home.writeFile(QStringLiteral("Documents/Models/second.gguf"), "x");
        FileManagerUtility::shared().appSupportDirectory();
        QVERIFY(QFileInfo::exists(home.home() + QStringLiteral("/Documents/Models/second.gguf")));
        QVERIFY(!QFileInfo::exists(home.dataDir() + QStringLiteral("/Models/second.gguf")));
    }

    void migration_data()
    {
        QTest::addColumn<QStringList>("oldModels");      // files in Documents/Models ("" = no folder)
        QTest::addColumn<QStringList>("newModels");      // files already in DATA/Models
        QTest::addColumn<QStringList>("oldChats");       // files in Documents/ChatHistory
        QTest::addColumn<QStringList>("expectedLog");    // "Models: " lines, in order

        QTest::newRow("all move") << QStringList{"a.gguf", "b.gguf", ".hidden"} << QStringList{}
                                  << QStringList{"c1.json"}
                                  << QStringList{"Models: .hidden", "Models: a.gguf", "Models: b.gguf"};
        QTest::newRow("same name in both") << QStringList{"same.gguf", "other.gguf"} << QStringList{"same.gguf"}
                                           << QStringList{} << QStringList{"Models: other.gguf"};
        QTest::newRow("no Documents/Models") << QStringList{""} << QStringList{} << QStringList{} << QStringList{};
        QTest::newRow("only chat history") << QStringList{""} << QStringList{} << QStringList{"h.json", "i.json"}
                                           << QStringList{};
        QTest::newRow("empty Documents/Models") << QStringList{} << QStringList{} << QStringList{} << QStringList{};
    }
    void migration()
    {
        QFETCH(QStringList, oldModels);
        QFETCH(QStringList, newModels);
        QFETCH(QStringList, oldChats);
        QFETCH(QStringList, expectedLog);

        QTemporaryDir root;
        const QString docs = root.path() + QStringLiteral("/Documents");
        const QString data = root.path() + QStringLiteral("/data");
        QDir().mkpath(docs);
        const bool haveOldModels = oldModels != QStringList{QString()};
        if (haveOldModels)
            QDir().mkpath(docs + QStringLiteral("/Models"));
        auto write = [](const QString &path, const QByteArray &bytes) {
            QDir().mkpath(QFileInfo(path).absolutePath());
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(bytes);
        };
        if (haveOldModels)
            for (const QString &name : oldModels)
                write(docs + QStringLiteral("/Models/") + name, "old " + name.toUtf8());
        for (const QString &name : newModels)
            write(data + QStringLiteral("/Models/") + name, "new " + name.toUtf8());
        for (const QString &name : oldChats)
            write(docs + QStringLiteral("/ChatHistory/") + name, "chat " + name.toUtf8());

        LogCapture log;
        FileManagerUtility::migrateLegacyFolders(docs, data);

        QStringList migrateLines;
        for (const QString &line : log.lines())
            if (line.startsWith(QStringLiteral("com.quorvane.app.Migrate: ")))
                migrateLines << line.mid(int(qstrlen("com.quorvane.app.Migrate: ")));
        QCOMPARE(migrateLines, expectedLog);

        if (haveOldModels) {
            QVERIFY(QFileInfo(docs + QStringLiteral("/Models")).isDir()); // the old folder stays
            for (const QString &name : oldModels) {
                if (newModels.contains(name)) {
                    QCOMPARE(readFileBytes(docs + QStringLiteral("/Models/") + name), "old " + name.toUtf8());
                    QCOMPARE(readFileBytes(data + QStringLiteral("/Models/") + name), "new " + name.toUtf8());
                } else {
                    QVERIFY(!QFileInfo::exists(docs + QStringLiteral("/Models/") + name));
                    QCOMPARE(readFileBytes(data + QStringLiteral("/Models/") + name), "old " + name.toUtf8());
                }
            }
        } else if (newModels.isEmpty()) {
            QVERIFY(!QFileInfo::exists(data + QStringLiteral("/Models")));
        }
        for (const QString &name : oldChats) {
            QVERIFY(!QFileInfo::exists(docs + QStringLiteral("/ChatHistory/") + name));
            QCOMPARE(readFileBytes(data + QStringLiteral("/ChatHistory/") + name), "chat " + name.toUtf8());
        }
        if (oldChats.isEmpty())
            QVERIFY(!QFileInfo::exists(data + QStringLiteral("/ChatHistory")));
    }

    void migrationMovesFolders()
    {
        QTemporaryDir root;
        const QString docs = root.path() + QStringLiteral("/Documents");
        const QString data = root.path() + QStringLiteral("/data");
        QDir().mkpath(docs + QStringLiteral("/Models/sub/deeper"));
        QFile f(docs + QStringLiteral("/Models/sub/deeper/x.gguf"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("deep");
        f.close();
        // A file where the old Models folder should be is not a folder to move.
        QFile notDir(docs + QStringLiteral("/ChatHistory"));
        QVERIFY(notDir.open(QIODevice::WriteOnly));
        notDir.close();

        LogCapture log;
        FileManagerUtility::migrateLegacyFolders(docs, data);
        QCOMPARE(readFileBytes(data + QStringLiteral("/Models/sub/deeper/x.gguf")), QByteArray("deep"));
        QVERIFY(!QFileInfo::exists(docs + QStringLiteral("/Models/sub")));
        QVERIFY(QFileInfo(docs + QStringLiteral("/ChatHistory")).isFile());
        QVERIFY(!QFileInfo::exists(data + QStringLiteral("/ChatHistory")));
        QCOMPARE(log.count(QStringLiteral("com.quorvane.app.Migrate: Models: ")), 1);
    }

    void fileSize_data()
    {
        QTest::addColumn<QString>("path"); // relative to a temp folder; "" = empty path
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("create");
        QTest::addColumn<qint64>("expected");
        QTest::newRow("empty path") << QString() << QByteArray() << false << qint64(0);
        QTest::newRow("missing file") << "Models/none.gguf" << QByteArray() << false << qint64(0);
        QTest::newRow("empty file") << "Models/e.gguf" << QByteArray() << true << qint64(0);
        QTest::newRow("file") << "Models/m.gguf" << QByteArray(12345, 'x') << true << qint64(12345);
        QTest::newRow("name with spaces") << "My Models/ä b.gguf" << QByteArray("abc") << true << qint64(3);
    }
    void fileSize()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, content);
        QFETCH(bool, create);
        QFETCH(qint64, expected);
        QTemporaryDir dir;
        AIModel model = AIModel::make(QStringLiteral("m"), QStringLiteral("https://example.invalid/m.gguf"));
        if (!path.isEmpty())
            model.filePath = dir.path() + QLatin1Char('/') + path;
        if (create) {
            QDir().mkpath(QFileInfo(model.filePath).absolutePath());
            QFile f(model.filePath);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(content);
        }
        QCOMPARE(FileManagerUtility::fileSize(model), expected);
    }

    void dataFolders()
    {
        TempHome home;
        auto &fm = FileManagerUtility::shared();
        QCOMPARE(fm.appSupportDirectory(), home.dataDir());
        QVERIFY(QFileInfo(home.dataDir()).isDir());
        QCOMPARE(fm.modelsDirectory(), home.dataDir() + QStringLiteral("/Models"));

        // The user deleted the folder: asking for it brings it back.
        QVERIFY(QDir(home.dataDir()).removeRecursively());
        QVERIFY(!QFileInfo::exists(home.dataDir()));
        QCOMPARE(fm.appSupportDirectory(), home.dataDir());
        QVERIFY(QFileInfo(home.dataDir()).isDir());

        // ensureDirectoryExists makes parents and never replaces a file.
        const QString nested = home.home() + QStringLiteral("/a/b/c");
        FileManagerUtility::ensureDirectoryExists(nested);
        QVERIFY(QFileInfo(nested).isDir());
        const QString file = home.writeFile(QStringLiteral("plain"), "keep me");
        FileManagerUtility::ensureDirectoryExists(file);
        QCOMPARE(readFileBytes(file), QByteArray("keep me"));
    }

    void roundTrip()
    {
        QTemporaryDir dir;
        const SessionsStore store(dir.path() + QStringLiteral("/deep/Sessions"));
        const ChatSession a = session(kIdA, QStringLiteral("First ✓"), 700000000.123456, 3);
        const ChatSession b = session(kIdB, QStringLiteral("Second"), -5.5, 0);
        QVERIFY(store.save(a)); // creates the missing folders
        QVERIFY(store.save(b));
        QCOMPARE(folderEntries(store.directory()), (QStringList{fileNameFor(kIdA), fileNameFor(kIdB)}));
        QCOMPARE(store.filePath(kIdA), store.directory() + QLatin1Char('/') + fileNameFor(kIdA));

        const auto loaded = store.loadAll();
        QVERIFY(loaded.listed);
        QVERIFY(loaded.unreadableFiles.isEmpty());
        QCOMPARE(loaded.sessions.size(), 2);
        const auto &first = loaded.sessions.at(0).id == kIdA ? loaded.sessions.at(0) : loaded.sessions.at(1);
        const auto &second = loaded.sessions.at(0).id == kIdA ? loaded.sessions.at(1) : loaded.sessions.at(0);
        QCOMPARE(first, a);
        QCOMPARE(second, b);

        // Dates are written as seconds since 2001.
        const QJsonDocument doc = QJsonDocument::fromJson(readFileBytes(store.filePath(kIdA)));
        QCOMPARE(doc.object().value(QStringLiteral("createdAt")).toDouble(), 700000000.123456);
        QCOMPARE(doc.object().value(QStringLiteral("id")).toString(), canonicalUuid(kIdA));
    }

    void saveIsAtomic()
    {
        QTemporaryDir dir;
        const SessionsStore store(dir.path() + QStringLiteral("/Sessions"));
        ChatSession s = session(kIdA, QStringLiteral("long"), 10, 40);
        QVERIFY(store.save(s));
        const qint64 longSize = QFileInfo(store.filePath(kIdA)).size();
        // Overwrite with a much shorter version: no tail of the old one may stay.
        s.messages.resize(1);
        s.title = QStringLiteral("short");
        QVERIFY(store.save(s));
        QVERIFY(QFileInfo(store.filePath(kIdA)).size() < longSize);
        QCOMPARE(folderEntries(store.directory()), QStringList{fileNameFor(kIdA)}); // no temporary left behind
        QJsonParseError error{};
        QJsonDocument::fromJson(readFileBytes(store.filePath(kIdA)), &error);
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(*recordjson::decodeSessionDocument(readFileBytes(store.filePath(kIdA))), s);

        // Readers holding the old file keep seeing a complete old file: the
        // target is replaced, not rewritten in place.
        QFile reader(store.filePath(kIdA));
        QVERIFY(reader.open(QIODevice::ReadOnly));
        const QByteArray before = readFileBytes(store.filePath(kIdA));
        s.title = QStringLiteral("third version, longer than the one before it");
        QVERIFY(store.save(s));
        QCOMPARE(reader.readAll(), before);
        QCOMPARE(recordjson::decodeSessionDocument(readFileBytes(store.filePath(kIdA)))->title, s.title);

        // A store whose folder cannot exist (a file stands there) fails cleanly.
        QFile blocker(dir.path() + QStringLiteral("/blocked"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.write("not a folder");
        blocker.close();
        const SessionsStore broken(dir.path() + QStringLiteral("/blocked"));
        QVERIFY(!broken.save(s));
        QCOMPARE(readFileBytes(dir.path() + QStringLiteral("/blocked")), QByteArray("not a folder"));
        const auto loaded = broken.loadAll();
        QVERIFY(!loaded.listed);
        QVERIFY(loaded.sessions.isEmpty());
        broken.prune({}, {}); // nothing to list, nothing happens
        QCOMPARE(readFileBytes(dir.path() + QStringLiteral("/blocked")), QByteArray("not a folder"));
    }

    void unreadableEntries_data()
    {
        QTest::addColumn<QString>("kind"); // file, folder, fifo, dangling, other
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("reported"); // listed among unreadable files

        const QString bad = fileNameFor(kIdB);
        const QByteArray good = *recordjson::encodeSessionDocument(session(kIdB, QStringLiteral("B"), 5));
        QTest::newRow("truncated") << "file" << bad << good.left(good.size() / 2) << true;
        QTest::newRow("wrong types")
            << "file" << bad
            << QByteArray(R"({"id":"7C9E6679-7425-40DE-944B-E07FC1F90AE7","title":7,"messages":{},"createdAt":"x"})")
            << true;
        QTest::newRow("missing key")
            << "file" << bad << QByteArray(R"({"id":"7C9E6679-7425-40DE-944B-E07FC1F90AE7","title":"t","messages":[]})")
            << true;
        QTest::newRow("zero bytes") << "file" << bad << QByteArray() << true;
        QTest::newRow("array, not object") << "file" << bad << QByteArray("[]") << true;
        QTest::newRow("not UTF-8") << "file" << bad
                                   << QByteArray("{\"id\":\"7C9E6679-7425-40DE-944B-E07FC1F90AE7\",\"title\":\"\xff\xfe\x80\","
                                                 "\"messages\":[],\"createdAt\":1}")
                                   << true;
        QTest::newRow("folder") << "folder" << bad << good << true;
        QTest::newRow("fifo") << "fifo" << bad << QByteArray() << true;
        QTest::newRow("dangling symlink") << "dangling" << bad << QByteArray() << true;
        QTest::newRow("other extension") << "other" << QStringLiteral("notes.txt") << good << false;
        QTest::newRow("upper-case extension") << "other" << canonicalUuid(kIdC) + QStringLiteral(".JSON") << good
                                              << false;
        QTest::newRow("json.bak") << "other" << bad + QStringLiteral(".bak") << good << false;
    }
    void unreadableEntries()
    {
        QFETCH(QString, kind);
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(bool, reported);

        QTemporaryDir dir;
        const SessionsStore store(dir.path() + QStringLiteral("/Sessions"));
        const ChatSession good = session(kIdA, QStringLiteral("good"), 100);
        QVERIFY(store.save(good));
        const QString path = store.directory() + QLatin1Char('/') + name;
        if (kind == QLatin1String("file") || kind == QLatin1String("other")) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(bytes);
        } else if (kind == QLatin1String("folder")) {
            QVERIFY(QDir().mkpath(path));
            QFile f(path + QStringLiteral("/inside.json"));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(bytes);
        } else if (kind == QLatin1String("fifo")) {
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        } else {
            QVERIFY(QFile::link(dir.path() + QStringLiteral("/nowhere.json"), path));
        }
        const QByteArray before = entrySnapshot(path);

        LogCapture log;
        SessionsStore::LoadResult loaded;
        QVERIFY2(finishesWithoutHanging([&] { loaded = store.loadAll(); }, path), "loading blocked on an entry");
        QVERIFY(loaded.listed);
        QCOMPARE(loaded.sessions.size(), 1);
        QCOMPARE(loaded.sessions.first(), good);
        QCOMPARE(loaded.unreadableFiles.contains(name), reported);
        QCOMPARE(loaded.unreadableFiles.size(), reported ? 1 : 0);
        if (reported)
            QVERIFY2(log.contains(QStringLiteral("Skipped unreadable conversation file ") + name),
                     qPrintable(log.lines().join('\n')));

        // Pruning for the good conversation, sparing what failed to load.
        const QSet<QString> spared(loaded.unreadableFiles.cbegin(), loaded.unreadableFiles.cend());
        QVERIFY(finishesWithoutHanging([&] { store.prune({kIdA}, spared); }, path));
        QCOMPARE(entrySnapshot(path), before);
        QCOMPARE(readFileBytes(store.filePath(kIdA)), *recordjson::encodeSessionDocument(good));
    }

    void pruneSparesWhatIsNotARegularStoreFile()
    {
        QTemporaryDir dir;
        const SessionsStore store(dir.path() + QStringLiteral("/Sessions"));
        const ChatSession live = session(kIdA, QStringLiteral("live"), 1);
        const ChatSession gone = session(kIdB, QStringLiteral("gone"), 2);
        QVERIFY(store.save(live));
        QVERIFY(store.save(gone));
        const QString d = store.directory() + QLatin1Char('/');
        const QString lowerLive = canonicalUuid(kIdA).toLower() + QStringLiteral(".json");
        // the live conversation under a lower-case name (an older writer) in a
        // sibling store, then moved in: both spellings name the live id
        {
            QFile f(d + QStringLiteral("tmp"));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(*recordjson::encodeSessionDocument(live));
        }
        QVERIFY(QFile::rename(d + QStringLiteral("tmp"), d + lowerLive));
        auto write = [&](const QString &name, const QByteArray &bytes) {
            QFile f(d + name);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(bytes);
        };
        write(QStringLiteral("stray.txt"), "stray");
        write(QStringLiteral("Upper.JSON"), "upper");
        write(QStringLiteral("not-an-id.json"), "{}");
        write(QStringLiteral("kept-broken.json"), "{");
        write(canonicalUuid(kIdC) + QStringLiteral(".json.tmp"), "tmp");
        QVERIFY(QDir().mkpath(d + canonicalUuid(kIdC) + QStringLiteral(".json")));
        write(canonicalUuid(kIdC) + QStringLiteral(".json/inner.json"), "inner");
        QCOMPARE(::mkfifo(QFile::encodeName(d + QStringLiteral("pipe.json")).constData(), 0600), 0);
        QVERIFY(QFile::link(d + QStringLiteral("missing-target"), d + QStringLiteral("dangling.json")));
        QVERIFY(QFile::link(store.filePath(kIdB), d + QStringLiteral("link-to-gone.json")));

        store.prune({kIdA}, {QStringLiteral("kept-broken.json")});

        QStringList expected = {canonicalUuid(kIdA) + QStringLiteral(".json"),
                                canonicalUuid(kIdC) + QStringLiteral(".json"),
                                canonicalUuid(kIdC) + QStringLiteral(".json.tmp"),
                                QStringLiteral("Upper.JSON"),
                                QStringLiteral("dangling.json"),
                                QStringLiteral("kept-broken.json"),
                                QStringLiteral("link-to-gone.json"),
                                lowerLive,
                                QStringLiteral("pipe.json"),
                                QStringLiteral("stray.txt")};
        expected.sort();
        QStringList actual = folderEntries(store.directory());
        actual.sort();
        QCOMPARE(actual, expected);
        QCOMPARE(readFileBytes(d + canonicalUuid(kIdC) + QStringLiteral(".json/inner.json")), QByteArray("inner"));
        QVERIFY(QFileInfo(d + QStringLiteral("link-to-gone.json")).isSymLink());

        // Nothing kept: every regular store file goes, nothing else does.
        store.prune({}, {});
        actual = folderEntries(store.directory());
        actual.sort();
        QCOMPARE(actual, (QStringList{canonicalUuid(kIdC) + QStringLiteral(".json"),
                                      canonicalUuid(kIdC) + QStringLiteral(".json.tmp"), QStringLiteral("Upper.JSON"),
                                      QStringLiteral("dangling.json"), QStringLiteral("link-to-gone.json"),
                                      QStringLiteral("pipe.json"), QStringLiteral("stray.txt")}));
    }

    void duplicateIds_data()
    {
        QTest::addColumn<QStringList>("names"); // files holding the same conversation, titled by their name
        QTest::addColumn<QString>("winner");    // whose title loads
        const QString canonical = fileNameFor(kIdA);
        QTest::newRow("copy sorts first") << QStringList{"0-copy.json", canonical} << canonical;
        QTest::newRow("copy sorts last") << QStringList{canonical, "zz-copy.json"} << canonical;
        QTest::newRow("copies around it") << QStringList{"0-copy.json", canonical, "zz-copy.json"} << canonical;
        QTest::newRow("lower-case name and a copy")
            << QStringList{canonicalUuid(kIdA).toLower() + ".json", "zz-copy.json"}
            << canonicalUuid(kIdA).toLower() + ".json";
    }
    void duplicateIds()
    {
        QFETCH(QStringList, names);
        QFETCH(QString, winner);
        QTemporaryDir dir;
        const SessionsStore store(dir.path() + QStringLiteral("/Sessions"));
        QDir().mkpath(store.directory());
        QHash<QString, QByteArray> written;
        for (const QString &name : names) {
            const QByteArray bytes = *recordjson::encodeSessionDocument(session(kIdA, name, 50));
            QFile f(store.directory() + QLatin1Char('/') + name);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(bytes);
            written.insert(name, bytes);
        }
        const auto loaded = store.loadAll();
        QCOMPARE(loaded.sessions.size(), 1);
        QCOMPARE(loaded.sessions.first().title, winner);
        QStringList others = names;
        others.removeAll(winner);
        QStringList unreadable = loaded.unreadableFiles;
        unreadable.sort();
        others.sort();
        QCOMPARE(unreadable, others);

        // Saving and pruning for that conversation loses none of the copies.
        const QSet<QString> spared(loaded.unreadableFiles.cbegin(), loaded.unreadableFiles.cend());
        QVERIFY(store.save(loaded.sessions.first()));
        store.prune({kIdA}, spared);
        for (const QString &name : others)
            QCOMPARE(readFileBytes(store.directory() + QLatin1Char('/') + name), written.value(name));
        QCOMPARE(recordjson::decodeSessionDocument(readFileBytes(store.filePath(kIdA)))->title, winner);
    }

    void standardStoreLivesInDataFolder()
    {
        TempHome home;
        const SessionsStore store = SessionsStore::standard();
        QCOMPARE(store.directory(), home.dataDir() + QStringLiteral("/Sessions"));
        const ChatSession s = session(kIdC, QStringLiteral("c"), 3);
        QVERIFY(store.save(s));
        QVERIFY(QFileInfo::exists(home.dataDir() + QStringLiteral("/Sessions/") + fileNameFor(kIdC)));
    }
};

QTEST_GUILESS_MAIN(TestStorage)
#include "tst_storage.moc"
