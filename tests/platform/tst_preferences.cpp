// The preferences store: strict typed reads, exact round trips, flushing,
// and what happens when the file or its folder is bad.
#include "common/test_support.h"
#include "platform/preferences.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

#include <unistd.h>

namespace {

const QString kConf = QStringLiteral(".config/Quorvane/Quorvane.conf");

std::optional<QString> text(const char *s) { return QString::fromUtf8(s); }

} // namespace

class TestPreferences : public QObject {
    Q_OBJECT

private slots:
    void strictBooleanReads_data()
    {
        QTest::addColumn<QByteArray>("line"); // as found in the file under [General]
        QTest::addColumn<int>("expected");    // -1 absent, 0 false, 1 true

        QTest::newRow("true") << QByteArray("flag=true") << 1;
        QTest::newRow("false") << QByteArray("flag=false") << 0;
        QTest::newRow("one") << QByteArray("flag=1") << -1;
        QTest::newRow("upper case") << QByteArray("flag=TRUE") << -1;
        QTest::newRow("string list") << QByteArray("flag=true, false") << -1;
        QTest::newRow("byte array") << QByteArray("flag=@ByteArray(true)") << -1;
    }

    void strictBooleanReads()
    {
        QFETCH(QByteArray, line);
        QFETCH(int, expected);
        TempHome home;
        home.writeFile(kConf, "[General]\n" + line + "\n");
        Preferences prefs;
        QCOMPARE(prefs.fileName(), home.configFile());
        const std::optional<bool> value = prefs.boolean(QStringLiteral("flag"));
        QCOMPARE(value.has_value(), expected >= 0);
        if (value)
            QCOMPARE(int(*value), expected);
    }

    void roundTrip_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QByteArray>("bytes"); // text as UTF-8 for strings

        QByteArray all;
        for (int i = 0; i < 256; ++i)
            all.append(char(i));
        QTest::newRow("data, every byte") << "data" << all;
        QTest::newRow("data, looks like a variant") << "data" << QByteArray("@Variant(\0\0\0\x7f)", 14);
        QTest::newRow("data, empty") << "data" << QByteArray("");
        QTest::newRow("string, commas") << "string" << QByteArray("a, b,c");
        QTest::newRow("string, leading at") << "string" << QByteArray("@ByteArray(x)");
        QTest::newRow("string, INI syntax, escapes, line breaks")
            << "string" << QByteArray("[General] k=v ; # x\n\"quoted\" \\n \\\\ \\x41\r\nline 3\n");
        QTest::newRow("string, padded, non-ASCII")
            << "string" << QByteArray("  Grüße 日本語 \xF0\x9F\x98\x80 \t\x01\x1f  ");
        QTest::newRow("string, empty") << "string" << QByteArray();
        QTest::newRow("bool, true") << "bool" << QByteArray("1");
        QTest::newRow("bool, false") << "bool" << QByteArray();
    }

    // Written, then read back by a fresh instance with the same type and nothing
    // else: data and booleans never read as text.
    void roundTrip()
    {
        QFETCH(QString, type);
        QFETCH(QByteArray, bytes);
        TempHome home;
        const QString key = QStringLiteral("key");
        const QString str = QString::fromUtf8(bytes);
        QVERIFY(type == "data"     ? Preferences().setData(key, bytes)
                : type == "string" ? Preferences().setString(key, str)
                                   : Preferences().setBool(key, !bytes.isEmpty()));
        Preferences fresh;
        if (type == "data") {
            const auto read = fresh.data(key);
            QVERIFY(read.has_value() && *read == bytes);
            QVERIFY(!fresh.string(key).has_value() && !fresh.boolean(key).has_value());
        } else if (type == "string") {
            QCOMPARE(fresh.string(key), std::optional<QString>(str));
        } else {
            QCOMPARE(fresh.boolean(key), std::optional<bool>(!bytes.isEmpty()));
            QVERIFY(!fresh.string(key).has_value());
        }
        QVERIFY(!fresh.data(QStringLiteral("absent")).has_value());
    }

    void instancesShareWritesAndWritesReachDisk()
    {
        TempHome home;
        Preferences a, b;
        QVERIFY(a.setString(QStringLiteral("k"), QStringLiteral("from a")));
        QCOMPARE(b.string(QStringLiteral("k")), text("from a"));
        QVERIFY(b.setString(QStringLiteral("k"), QStringLiteral("from b")));
        QCOMPARE(a.string(QStringLiteral("k")), text("from b"));
        // on disk at once, without waiting for an instance to go away
        QVERIFY(readFileBytes(home.configFile()).contains("k=from b"));

        QVERIFY(a.remove(QStringLiteral("k")));
        QVERIFY(!b.contains(QStringLiteral("k")));
        QVERIFY(!readFileBytes(home.configFile()).contains("from b"));
    }

    void unwritableStore_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("writeAfterRepair"); // else the instance's end saves the failed writes

        QTest::newRow("folder is read-only") << "chmod" << true;
        QTest::newRow("folder is a file") << "file" << true;
        QTest::newRow("file is a folder") << "folder" << true;
        QTest::newRow("folder is a file, repaired before the end") << "file" << false;
        QTest::newRow("disk full") << "full" << true;
    }

    // Every write to a store that cannot be written fails and is logged; once the
    // cause is gone the same instance writes again, the failed writes with it.
    void unwritableStore()
    {
        QFETCH(QString, how);
        QFETCH(bool, writeAfterRepair);
        TempHome home;
        const QString folder = QFileInfo(home.configFile()).absolutePath();
        if (how == "chmod") {
            if (geteuid() == 0)
                QSKIP("file modes do not bind the super-user");
            home.writeFile(kConf, "[General]\nkept=yes\n");
            QVERIFY(QFile::setPermissions(home.configFile(), QFileDevice::ReadOwner));
            QVERIFY(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        } else if (how == "file") {
            home.writeFile(QStringLiteral(".config/Quorvane"), "not a folder");
        } else if (how == "full") {
            // every rewrite of the stored value is cut short
            home.writeFile(kConf, "[General]\nkept=" + QByteArray(300, 'y') + "\n");
        } else {
            QVERIFY(QDir().mkpath(home.configFile()));
        }
        const QByteArray before = readFileBytes(home.configFile());

        LogCapture log;
        {
            std::optional<FileSizeLimit> full;
            if (how == "full")
                full.emplace(256);
            Preferences prefs;
            QVERIFY(!prefs.setString(QStringLiteral("k"), QStringLiteral("v")));
            QVERIFY(!prefs.setBool(QStringLiteral("b"), true));
            QVERIFY(!prefs.setData(QStringLiteral("d"), QByteArray("x")));
            QVERIFY2(log.contains(QStringLiteral("could not write preferences")), qPrintable(log.lines().join('\n')));
            if (how == "chmod")
                QVERIFY(!prefs.remove(QStringLiteral("kept")));
            QCOMPARE(prefs.string(QStringLiteral("k")), text("v")); // still reads back in this instance
            QCOMPARE(readFileBytes(home.configFile()), before);

            if (how == "chmod") {
                QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
                QFile::setPermissions(home.configFile(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
            } else if (how == "file") {
                QVERIFY(QFile::remove(folder));
            } else if (how == "full") {
                full.reset();
            } else {
                QVERIFY(QDir(home.configFile()).removeRecursively());
            }
            if (writeAfterRepair)
                QVERIFY(prefs.setString(QStringLiteral("after"), QStringLiteral("repaired")));
        }
        Preferences fresh;
        if (writeAfterRepair)
            QCOMPARE(fresh.string(QStringLiteral("after")), text("repaired"));
        QCOMPARE(fresh.string(QStringLiteral("k")), text("v"));
        QCOMPARE(fresh.boolean(QStringLiteral("b")), std::optional<bool>(true));
        QCOMPARE(fresh.data(QStringLiteral("d")), std::optional<QByteArray>(QByteArray("x")));
        QCOMPARE(fresh.contains(QStringLiteral("kept")), how == "full");
    }

    void garbageFile_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("unreadable"); // the INI reader gives up on it

        QTest::newRow("truncated section header") << QByteArray("[General]\nlast=one\nname=two\n[Wind") << true;
        QTest::newRow("truncated value") << QByteArray("[General]\nlast=\"@ByteArray(abc") << false;
        QTest::newRow("half a UTF-8 sequence") << QByteArray("[General]\nname=caf\xc3") << false;
    }

    // Whatever the file holds, typed reads fall back to absent and a later write
    // succeeds. A file the reader cannot parse is kept as "<file>.unreadable"
    // (its readable keys carried over), not overwritten.
    void garbageFile()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, unreadable);
        TempHome home;
        home.writeFile(kConf, bytes);

        LogCapture log;
        {
            Preferences prefs;
            QVERIFY(!prefs.boolean(QStringLiteral("flag")).has_value());
            QVERIFY(!prefs.data(QStringLiteral("blob")).has_value());
            QVERIFY(prefs.setString(QStringLiteral("last"), QStringLiteral("written")));
            QVERIFY(prefs.setBool(QStringLiteral("flag"), true));
        }
        Preferences fresh;
        QCOMPARE(fresh.string(QStringLiteral("last")), text("written"));
        QCOMPARE(fresh.boolean(QStringLiteral("flag")), std::optional<bool>(true));
        if (bytes.contains("name=two"))
            QCOMPARE(fresh.string(QStringLiteral("name")), text("two"));

        const QString kept = home.configFile() + QStringLiteral(".unreadable");
        QCOMPARE(readFileBytes(kept), unreadable ? bytes : QByteArray("<unreadable>"));
        QCOMPARE(log.contains(QStringLiteral("could not read preferences")), unreadable);
        QVERIFY(readFileBytes(home.configFile()).startsWith("[General]")); // a proper file again
    }
};

QTEST_GUILESS_MAIN(TestPreferences)
#include "tst_preferences.moc"
