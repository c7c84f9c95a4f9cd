// The preferences store: strict typed reads, exact round trips, flushing,
// and what happens when the file or its folder is bad.
#include "common/test_support.h"
#include "platform/preferences.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QtTest>

#include <thread>
#include <unistd.h>

class TestPreferences : public QObject {
    Q_OBJECT

private slots:
    void strictBooleanReads_data();
    void strictBooleanReads();
    void dataRoundTrip_data();
    void dataRoundTrip();
    void stringRoundTrip_data();
    void stringRoundTrip();
    void instancesShareWritesAndWritesReachDisk();
    void writesFromSeveralThreads();
    void unwritableStore_data();
    void unwritableStore();
    void unsavedWritesAreTriedOnceMoreAtTheEnd();
    void garbageFile_data();
    void garbageFile();
};

namespace {

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

void TestPreferences::strictBooleanReads_data()
{
    QTest::addColumn<QByteArray>("line"); // as found in the file under [General]
    QTest::addColumn<int>("expected");    // -1 absent, 0 false, 1 true

    QTest::newRow("true") << QByteArray("flag=true") << 1;
    QTest::newRow("false") << QByteArray("flag=false") << 0;
    QTest::newRow("garbage") << QByteArray("flag=garbage") << -1;
    QTest::newRow("one") << QByteArray("flag=1") << -1;
    QTest::newRow("zero") << QByteArray("flag=0") << -1;
    QTest::newRow("upper case") << QByteArray("flag=TRUE") << -1;
    QTest::newRow("yes") << QByteArray("flag=yes") << -1;
    QTest::newRow("string list") << QByteArray("flag=true, false") << -1;
    QTest::newRow("empty") << QByteArray("flag=") << -1;
    QTest::newRow("byte array") << QByteArray("flag=@ByteArray(true)") << -1;
    QTest::newRow("missing") << QByteArray("other=true") << -1;
}

void TestPreferences::strictBooleanReads()
{
    QFETCH(QByteArray, line);
    QFETCH(int, expected);
    TempHome home;
    home.writeFile(QStringLiteral(".config/Quorvane/Quorvane.conf"), "[General]\n" + line + "\n");
    Preferences prefs;
    QCOMPARE(prefs.fileName(), home.configFile());
    const std::optional<bool> value = prefs.boolean(QStringLiteral("flag"));
    QCOMPARE(value.has_value(), expected >= 0);
    if (value)
        QCOMPARE(int(*value), expected);
    QCOMPARE(prefs.boolValue(QStringLiteral("flag")), expected == 1);

    // what setBool writes reads back, also in a fresh instance
    for (bool b : {true, false}) {
        QVERIFY(prefs.setBool(QStringLiteral("written"), b));
        QCOMPARE(prefs.boolean(QStringLiteral("written")), std::optional<bool>(b));
        Preferences fresh;
        QCOMPARE(fresh.boolean(QStringLiteral("written")), std::optional<bool>(b));
    }
}

void TestPreferences::dataRoundTrip_data()
{
    QTest::addColumn<QByteArray>("bytes");

    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    QTest::newRow("every byte") << all;
    QTest::newRow("NUL bytes") << QByteArray("\0a\0\0b\0", 6);
    QTest::newRow("not UTF-8") << QByteArray("\xff\xfe\xc3(\xe2\x82\x80\xed\xa0\x80");
    QTest::newRow("JSON") << QByteArray(R"({"name":"a, b","list":[1,2.5,"x=y"],"nested":{"q":"\"@\""}})");
    QTest::newRow("looks like a variant") << QByteArray("@Variant(\0\0\0\x7f)", 14);
    QTest::newRow("line breaks") << QByteArray("a\r\nb\nc\r");
    QTest::newRow("empty") << QByteArray("");
    QTest::newRow("large") << QByteArray(200000, 'z');
}

void TestPreferences::dataRoundTrip()
{
    QFETCH(QByteArray, bytes);
    TempHome home;
    {
        Preferences prefs;
        QVERIFY(prefs.setData(QStringLiteral("blob"), bytes));
        QCOMPARE(prefs.data(QStringLiteral("blob")), std::optional<QByteArray>(bytes));
    }
    Preferences fresh;
    const auto read = fresh.data(QStringLiteral("blob"));
    QVERIFY(read.has_value());
    QCOMPARE(read->size(), bytes.size());
    QVERIFY(*read == bytes);
    QVERIFY(!fresh.string(QStringLiteral("blob")).has_value()); // strict: data is not text
    QVERIFY(!fresh.boolean(QStringLiteral("blob")).has_value());
    QVERIFY(!fresh.data(QStringLiteral("absent")).has_value());
}

void TestPreferences::stringRoundTrip_data()
{
    QTest::addColumn<QString>("text");

    QTest::newRow("commas") << QStringLiteral("a, b,c");
    QTest::newRow("leading at") << QStringLiteral("@ByteArray(x)");
    QTest::newRow("double at") << QStringLiteral("@@x");
    QTest::newRow("variant") << QStringLiteral("@Variant(abc)");
    QTest::newRow("newlines") << QStringLiteral("line 1\nline 2\r\nline 3\n");
    QTest::newRow("equals") << QStringLiteral("k=v=w");
    QTest::newRow("comment marks") << QStringLiteral("; not a comment # either");
    QTest::newRow("section") << QStringLiteral("[General]");
    QTest::newRow("quotes and backslashes") << QStringLiteral("\"quoted\" \\n \\\\ \\x41");
    QTest::newRow("spaces") << QStringLiteral("  padded  ");
    QTest::newRow("non-ASCII") << QStringLiteral("Grüße, 日本語, emoji \U0001F600, RTL \u05D0");
    QTest::newRow("control characters") << QStringLiteral("tab\there\x01\x1f");
    QTest::newRow("empty") << QString();
    QTest::newRow("path") << QStringLiteral("/home/u/My Models/llama 3.gguf");
}

void TestPreferences::stringRoundTrip()
{
    QFETCH(QString, text);
    TempHome home;
    {
        Preferences prefs;
        QVERIFY(prefs.setString(QStringLiteral("text"), text));
    }
    Preferences fresh;
    const auto read = fresh.string(QStringLiteral("text"));
    QVERIFY(read.has_value());
    QCOMPARE(*read, text);
}

void TestPreferences::instancesShareWritesAndWritesReachDisk()
{
    TempHome home;
    Preferences a;
    Preferences b;
    QVERIFY(!b.contains(QStringLiteral("k")));
    QVERIFY(a.setString(QStringLiteral("k"), QStringLiteral("from a")));
    QCOMPARE(b.string(QStringLiteral("k")), std::optional<QString>(QStringLiteral("from a")));
    QVERIFY(b.setString(QStringLiteral("k"), QStringLiteral("from b")));
    QCOMPARE(a.string(QStringLiteral("k")), std::optional<QString>(QStringLiteral("from b")));

    // on disk at once, without waiting for an instance to go away
    QVERIFY(readFile(home.configFile()).contains("k=from b"));
    QVERIFY(a.setBool(QStringLiteral("flag"), true));
    QVERIFY(readFile(home.configFile()).contains("flag=true"));

    QVERIFY(a.remove(QStringLiteral("k")));
    QVERIFY(!b.contains(QStringLiteral("k")));
    QVERIFY(!readFile(home.configFile()).contains("from b"));
    Preferences fresh;
    QVERIFY(!fresh.contains(QStringLiteral("k")));
    QCOMPARE(fresh.boolean(QStringLiteral("flag")), std::optional<bool>(true));
    QVERIFY(a.remove(QStringLiteral("never there")));
}

void TestPreferences::writesFromSeveralThreads()
{
    TempHome home;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([t, &failures] {
            Preferences prefs;
            for (int i = 0; i < 40; ++i)
                if (!prefs.setString(QStringLiteral("t%1/k%2").arg(t).arg(i), QString::number(t * 1000 + i)))
                    ++failures;
        });
    for (auto &t : threads)
        t.join();
    QCOMPARE(failures.load(), 0);
    Preferences fresh;
    for (int t = 0; t < 3; ++t)
        for (int i = 0; i < 40; ++i)
            QCOMPARE(fresh.string(QStringLiteral("t%1/k%2").arg(t).arg(i)),
                     std::optional<QString>(QString::number(t * 1000 + i)));
}

void TestPreferences::unwritableStore_data()
{
    QTest::addColumn<QString>("how");

    QTest::newRow("folder is read-only") << "chmod";
    QTest::newRow("folder is a file") << "file";
    QTest::newRow("file is a folder") << "folder";
}

// A store that cannot be written reports every write as failed, logs it and
// keeps going; once the cause is gone, writes succeed again.
void TestPreferences::unwritableStore()
{
    QFETCH(QString, how);
    TempHome home;
    const QString folder = QFileInfo(home.configFile()).absolutePath();
    if (how == QLatin1String("chmod")) {
        if (geteuid() == 0)
            QSKIP("file modes do not bind the super-user");
        QVERIFY(QDir().mkpath(folder));
        home.writeFile(QStringLiteral(".config/Quorvane/Quorvane.conf"), "[General]\nkept=yes\n");
        QVERIFY(QFile::setPermissions(home.configFile(), QFileDevice::ReadOwner));
        QVERIFY(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    } else if (how == QLatin1String("file")) {
        home.writeFile(QStringLiteral(".config/Quorvane"), "not a folder");
    } else {
        QVERIFY(QDir().mkpath(home.configFile()));
    }

    LogCapture log;
    {
        Preferences prefs;
        QVERIFY(!prefs.setString(QStringLiteral("k"), QStringLiteral("v")));
        QVERIFY(!prefs.setBool(QStringLiteral("b"), true));
        QVERIFY(!prefs.setData(QStringLiteral("d"), QByteArray("x")));
        QVERIFY2(log.contains(QStringLiteral("could not write preferences")), qPrintable(log.lines().join('\n')));
        if (how == QLatin1String("chmod"))
            QVERIFY(!prefs.remove(QStringLiteral("kept")));
        // what could not be saved still reads back in this instance
        QCOMPARE(prefs.string(QStringLiteral("k")), std::optional<QString>(QStringLiteral("v")));
        QCOMPARE(prefs.boolean(QStringLiteral("b")), std::optional<bool>(true));
        QVERIFY(!prefs.contains(QStringLiteral("kept")));

        // repair the folder: the same instance writes again and says so, and
        // the writes that failed reach the file with it
        if (how == QLatin1String("chmod")) {
            QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
            QFile::setPermissions(home.configFile(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        } else if (how == QLatin1String("file")) {
            QVERIFY(QFile::remove(folder));
        } else {
            QVERIFY(QDir(home.configFile()).removeRecursively());
        }
        QVERIFY(prefs.setString(QStringLiteral("after"), QStringLiteral("repaired")));
    }
    Preferences fresh;
    QCOMPARE(fresh.string(QStringLiteral("after")), std::optional<QString>(QStringLiteral("repaired")));
    QCOMPARE(fresh.string(QStringLiteral("k")), std::optional<QString>(QStringLiteral("v")));
    QCOMPARE(fresh.boolean(QStringLiteral("b")), std::optional<bool>(true));
    QCOMPARE(fresh.data(QStringLiteral("d")), std::optional<QByteArray>(QByteArray("x")));
    QVERIFY(!fresh.contains(QStringLiteral("kept")));
}

// An instance that goes away with writes it could not save tries once more.
void TestPreferences::unsavedWritesAreTriedOnceMoreAtTheEnd()
{
    TempHome home;
    home.writeFile(QStringLiteral(".config/Quorvane"), "not a folder");
    {
        Preferences prefs;
        QVERIFY(!prefs.setString(QStringLiteral("k"), QStringLiteral("v")));
        QVERIFY(QFile::remove(QFileInfo(home.configFile()).absolutePath()));
    }
    Preferences fresh;
    QCOMPARE(fresh.string(QStringLiteral("k")), std::optional<QString>(QStringLiteral("v")));
}

void TestPreferences::garbageFile_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("unreadable"); // the INI reader gives up on it
    QTest::addColumn<QStringList>("readableKeys"); // keys that still read back

    QByteArray random;
    QRandomGenerator generator(20240607);
    for (int i = 0; i < 8192; ++i)
        random.append(char(generator.bounded(256)));
    QTest::newRow("random bytes") << random << true << QStringList();
    QTest::newRow("NUL bytes") << QByteArray(64, '\0') << true << QStringList();
    QTest::newRow("truncated section header") << QByteArray("[General]\nlast=one\nname=two\n[Wind") << true
                                              << QStringList{"last", "name"};
    QTest::newRow("lone bracket") << QByteArray("[\n") << true << QStringList();
    QTest::newRow("truncated value") << QByteArray("[General]\nlast=\"@ByteArray(abc") << false << QStringList();
    QTest::newRow("half a UTF-8 sequence") << QByteArray("[General]\nname=caf\xc3") << false << QStringList();
}

// Whatever the file holds, the store opens, typed reads fall back to absent
// rather than misreading, and a later write succeeds and reads back. A file
// the reader cannot parse is kept beside the store as "<file>.unreadable"
// (its readable keys carried over) instead of being overwritten; a file that
// parses, however strangely, is rewritten as a proper file at the next write.
void TestPreferences::garbageFile()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, unreadable);
    QFETCH(QStringList, readableKeys);
    TempHome home;
    home.writeFile(QStringLiteral(".config/Quorvane/Quorvane.conf"), bytes);
    const QString kept = home.configFile() + QStringLiteral(".unreadable");

    LogCapture log;
    {
        Preferences prefs;
        QVERIFY(!prefs.boolean(QStringLiteral("flag")).has_value());
        QVERIFY(!prefs.boolValue(QStringLiteral("flag")));
        QVERIFY(!prefs.data(QStringLiteral("blob")).has_value());
        for (const QString &key : readableKeys)
            QVERIFY2(prefs.string(key).has_value(), qPrintable(key));

        QVERIFY(prefs.setString(QStringLiteral("last"), QStringLiteral("written")));
        QVERIFY(prefs.setBool(QStringLiteral("flag"), true));
        QCOMPARE(prefs.string(QStringLiteral("last")), std::optional<QString>(QStringLiteral("written")));
    }
    Preferences fresh;
    QCOMPARE(fresh.string(QStringLiteral("last")), std::optional<QString>(QStringLiteral("written")));
    QCOMPARE(fresh.boolean(QStringLiteral("flag")), std::optional<bool>(true));
    if (readableKeys.contains(QStringLiteral("name")))
        QCOMPARE(fresh.string(QStringLiteral("name")), std::optional<QString>(QStringLiteral("two")));

    if (unreadable) {
        QCOMPARE(readFile(kept), bytes); // the original, byte for byte
        QVERIFY2(log.contains(QStringLiteral("could not read preferences")), qPrintable(log.lines().join('\n')));
    } else {
        QVERIFY(!QFile::exists(kept));
    }
    // either way the store is a proper file again: a reader finds no fault
    const QByteArray now = readFile(home.configFile());
    QVERIFY(now.startsWith("[General]"));
    QVERIFY(now.contains("last=written"));
}

QTEST_GUILESS_MAIN(TestPreferences)
#include "tst_preferences.moc"
