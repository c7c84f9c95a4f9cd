// Byte counts, folders, private log arguments, and the preferences store:
// strict typed reads, exact round trips, and what happens when the file or
// its folder is bad.
#include "common/test_support.h"
#include "platform/byte_count.h"
#include "platform/logging.h"
#include "platform/paths.h"
#include "platform/preferences.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

#include <limits>

#include <unistd.h>

namespace {

const QString kConf = QStringLiteral(".config/Quorvane/Quorvane.conf");

std::optional<QString> text(const char *s) { return QString::fromUtf8(s); }

} // namespace

class TestPlatform : public QObject {
    Q_OBJECT

private slots:
    void byteCount_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");

        QTest::newRow("zero") << qint64(0) << "Zero KB";
        QTest::newRow("one") << qint64(1) << "1 byte";
        QTest::newRow("999") << qint64(999) << "999 bytes";
        QTest::newRow("1000") << qint64(1000) << "1 KB";
        QTest::newRow("2500 half up, not to even") << qint64(2500) << "3 KB";
        // binary floating point would round these the wrong way
        QTest::newRow("5.35 MB up") << qint64(5350000) << "5.4 MB";
        QTest::newRow("5.349999 MB down") << qint64(5349999) << "5.3 MB";
        QTest::newRow("1.005 GB up") << qint64(1005000000) << "1.01 GB";
        QTest::newRow("999.95 MB moves to GB") << qint64(999950000) << "1 GB";
        QTest::newRow("4.3 GB, no trailing zero") << qint64(4300000000) << "4.3 GB";
        QTest::newRow("max") << std::numeric_limits<qint64>::max() << "9.22 EB";
        QTest::newRow("min, no overflow") << std::numeric_limits<qint64>::min() << "-9.22 EB";
    }

    void byteCount()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, text);
        QCOMPARE(formatByteCount(bytes), text);
    }

    void paths_data()
    {
        // "<home>" stands for the temporary home, "<tmp>" for TMPDIR
        QTest::addColumn<QByteArray>("variable");
        QTest::addColumn<QString>("value"); // null: unset
        QTest::addColumn<QString>("expected");

        QTest::newRow("data, set") << QByteArray("XDG_DATA_HOME") << "<home>/data/" << "<home>/data/Quorvane";
        QTest::newRow("data, unset") << QByteArray("XDG_DATA_HOME") << QString() << "<home>/.local/share/Quorvane";
        QTest::newRow("data, relative") << QByteArray("XDG_DATA_HOME") << "data" << "<home>/.local/share/Quorvane";
        QTest::newRow("data, HOME with a trailing slash") << QByteArray("HOME") << "<home>/"
                                                          << "<home>/.local/share/Quorvane";
        QTest::newRow("temp, unset") << QByteArray("XDG_RUNTIME_DIR") << QString() << "<tmp>";
        QTest::newRow("config, set") << QByteArray("XDG_CONFIG_HOME") << "<home>/cfg"
                                     << "<home>/cfg/Quorvane/Quorvane.conf";
    }

    void paths()
    {
        QFETCH(QByteArray, variable);
        QFETCH(QString, value);
        QFETCH(QString, expected);
        TempHome home;
        const QString systemTemp = home.home() + QStringLiteral("/systmp");
        QDir().mkpath(systemTemp);
        const QByteArray savedTmp = qgetenv("TMPDIR");
        qputenv("TMPDIR", systemTemp.toUtf8());
        const auto restore = qScopeGuard([&] {
            savedTmp.isNull() ? qunsetenv("TMPDIR") : qputenv("TMPDIR", savedTmp);
        });
        if (variable == "HOME")
            qunsetenv("XDG_DATA_HOME");
        if (value.isNull())
            qunsetenv(variable);
        else
            qputenv(variable, value.replace(QLatin1String("<home>"), home.home()).toUtf8());

        const QString found = variable == "XDG_RUNTIME_DIR"   ? paths::temporaryDirectory()
                              : variable == "XDG_CONFIG_HOME" ? paths::preferencesFile()
                                                              : paths::dataDirectory();
        QCOMPARE(found, expected.replace(QLatin1String("<home>"), home.home()).replace(QLatin1String("<tmp>"), systemTemp));
        QCOMPARE(paths::documentsDirectory(), home.home() + QStringLiteral("/Documents")); // never "//Documents"
    }

    // Areas log at info level under "com.quorvane.app.<Area>" (the others are
    // read in the tests of their areas); private arguments never reach the log.
    void logging()
    {
        LogCapture capture;
        qCInfo(lcAppState, "line");
        qCInfo(lcDownload, "line");
        QVERIFY(capture.contains(QStringLiteral("com.quorvane.app.AppState: line")));
        QVERIFY(capture.contains(QStringLiteral("com.quorvane.app.Download: line")));
        const QString secret = QStringLiteral("my secret prompt");
        qCInfo(lcLlamaCPP, "Output: %s", logging::priv(secret));
        QVERIFY(capture.contains(QStringLiteral("com.quorvane.app.LlamaCPP: Output: <private>")));
        QVERIFY(!capture.contains(secret));
    }

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

    void unwritableStore_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("writeAfterRepair"); // else the instance's end saves the failed writes

        QTest::newRow("folder is read-only") << "chmod" << true;
        QTest::newRow("folder is a file") << "file" << true;
        QTest::newRow("file is a folder") << "folder" << true;
        QTest::newRow("folder is a file, repaired before the end") << "file" << false;
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
        } else {
            QVERIFY(QDir().mkpath(home.configFile()));
        }
        const QByteArray before = readFileBytes(home.configFile());

        LogCapture log;
        {
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
        QVERIFY(!fresh.contains(QStringLiteral("kept")));
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

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
