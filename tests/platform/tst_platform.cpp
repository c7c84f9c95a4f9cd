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
#include <QtTest>

#include <limits>

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
        // "<home>" stands for the temporary home, "<tmp>" for the system's temporary folder
        QTest::addColumn<QByteArray>("variable");
        QTest::addColumn<QString>("value"); // null: unset
        QTest::addColumn<QString>("expected");
        QTest::newRow("data, set") << QByteArray("XDG_DATA_HOME") << "<home>/data/" << "<home>/data/Quorvane";
        QTest::newRow("data, unset") << QByteArray("XDG_DATA_HOME") << QString() << "<home>/.local/share/Quorvane";
        QTest::newRow("data, relative") << QByteArray("XDG_DATA_HOME") << "data" << "<home>/.local/share/Quorvane";
        QTest::newRow("data, HOME with a trailing slash") << QByteArray("HOME") << "<home>/"
                                                          << "<home>/.local/share/Quorvane";
        QTest::newRow("temp, unset") << QByteArray("XDG_RUNTIME_DIR") << QString() << "<tmp>";
    }

    void paths()
    {
        QFETCH(QByteArray, variable);
        QFETCH(QString, value);
        QFETCH(QString, expected);
        TempHome home;
        if (variable == "HOME")
            qunsetenv("XDG_DATA_HOME");
        if (value.isNull())
            qunsetenv(variable);
        else
            qputenv(variable, value.replace(QLatin1String("<home>"), home.home()).toUtf8());

        const QString found = variable == "XDG_RUNTIME_DIR" ? paths::temporaryDirectory() : paths::dataDirectory();
        expected.replace(QLatin1String("<home>"), home.home()).replace(QLatin1String("<tmp>"), QDir::tempPath());
        QCOMPARE(found, expected);
        QCOMPARE(paths::documentsDirectory(), home.home() + QStringLiteral("/Documents")); // never "//Documents"
    }

    // Private arguments never reach the log.
    void privateLogArguments()
    {
        LogCapture capture;
        const QString secret = QStringLiteral("my secret prompt");
        qCInfo(lcLlamaCPP, "Output: %s", logging::priv(secret));
        QVERIFY(capture.contains(QStringLiteral("com.quorvane.app.LlamaCPP: Output: <private>")));
        QVERIFY(!capture.contains(secret));
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
        QTest::newRow("string, leading at, commas, INI syntax")
            << "string" << QByteArray("@ByteArray(x) a, b,c [General] k=v ; # x");
        QTest::newRow("string, escapes, line breaks")
            << "string" << QByteArray("\"quoted\" \\n \\\\ \\x41\r\nline 3\n");
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
    }

    void unwritableStore_data()
    {
        QTest::addColumn<bool>("writeAfterRepair"); // else the instance's end saves the failed writes
        QTest::newRow("written after the repair") << true;
        QTest::newRow("repaired before the end") << false;
    }
    // Every write to a store whose folder cannot exist (a file stands there)
    // fails and is logged; once the cause is gone the same instance writes
    // again, the failed writes with it.
    void unwritableStore()
    {
        QFETCH(bool, writeAfterRepair);
        TempHome home;
        const QString folder = home.writeFile(QStringLiteral(".config/Quorvane"), "not a folder");
        LogCapture log;
        {
            Preferences prefs;
            QVERIFY(!prefs.setString(QStringLiteral("k"), QStringLiteral("v")));
            QVERIFY(!prefs.setBool(QStringLiteral("b"), true));
            QVERIFY(!prefs.setData(QStringLiteral("d"), QByteArray("x")));
            QVERIFY2(log.contains(QStringLiteral("could not write preferences")), qPrintable(log.lines().join('\n')));
            QCOMPARE(prefs.string(QStringLiteral("k")), text("v")); // still reads back in this instance
            QVERIFY(QFile::remove(folder));
            if (writeAfterRepair)
                QVERIFY(prefs.setString(QStringLiteral("after"), QStringLiteral("repaired")));
        }
        Preferences fresh;
        if (writeAfterRepair)
            QCOMPARE(fresh.string(QStringLiteral("after")), text("repaired"));
        QCOMPARE(fresh.string(QStringLiteral("k")), text("v"));
        QCOMPARE(fresh.boolean(QStringLiteral("b")), std::optional<bool>(true));
        QCOMPARE(fresh.data(QStringLiteral("d")), std::optional<QByteArray>(QByteArray("x")));
    }

    // Typed reads of what the file holds fall back to absent and a later
    // write succeeds. A file the reader cannot parse is kept as
    // "<file>.unreadable" (its readable keys carried over), not overwritten.
    void garbageFile()
    {
        TempHome home;
        const QByteArray bytes = "[General]\nlast=one\nname=two\nhalf=caf\xc3\n[Wind";
        home.writeFile(kConf, bytes);
        LogCapture log;
        QVERIFY(!Preferences().boolean(QStringLiteral("last")).has_value());
        QVERIFY(Preferences().setString(QStringLiteral("last"), QStringLiteral("written")));
        Preferences fresh;
        QCOMPARE(fresh.string(QStringLiteral("last")), text("written"));
        QCOMPARE(fresh.string(QStringLiteral("name")), text("two"));
        QCOMPARE(readFileBytes(home.configFile() + QStringLiteral(".unreadable")), bytes);
        QVERIFY(log.contains(QStringLiteral("could not read preferences")));
        QVERIFY(readFileBytes(home.configFile()).startsWith("[General]")); // a proper file again
    }
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
