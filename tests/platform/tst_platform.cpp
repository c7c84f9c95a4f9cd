// Byte counts, folders and log categories.
#include "common/test_support.h"
#include "platform/byte_count.h"
#include "platform/logging.h"
#include "platform/paths.h"

#include <QDir>
#include <QtTest>

#include <limits>

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
        QTest::newRow("999500 moves to MB") << qint64(999500) << "1 MB";
        // binary floating point would round these the wrong way
        QTest::newRow("5.35 MB up") << qint64(5350000) << "5.4 MB";
        QTest::newRow("5.349999 MB down") << qint64(5349999) << "5.3 MB";
        QTest::newRow("1.005 GB up") << qint64(1005000000) << "1.01 GB";
        QTest::newRow("999.95 MB moves to GB") << qint64(999950000) << "1 GB";
        QTest::newRow("4.3 GB, no trailing zero") << qint64(4300000000) << "4.3 GB";
        QTest::newRow("999.995 GB moves to TB") << qint64(999995000000) << "1 TB";
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
        QTest::newRow("data, empty") << QByteArray("XDG_DATA_HOME") << "" << "<home>/.local/share/Quorvane";
        QTest::newRow("data, relative") << QByteArray("XDG_DATA_HOME") << "data" << "<home>/.local/share/Quorvane";
        QTest::newRow("data, HOME with a trailing slash") << QByteArray("HOME") << "<home>/"
                                                          << "<home>/.local/share/Quorvane";
        QTest::newRow("temp, set") << QByteArray("XDG_RUNTIME_DIR") << "<home>/run" << "<home>/run";
        QTest::newRow("temp, unset") << QByteArray("XDG_RUNTIME_DIR") << QString() << "<tmp>";
        QTest::newRow("temp, relative") << QByteArray("XDG_RUNTIME_DIR") << "run" << "<tmp>";
        QTest::newRow("config, set") << QByteArray("XDG_CONFIG_HOME") << "<home>/cfg"
                                     << "<home>/cfg/Quorvane/Quorvane.conf";
        QTest::newRow("config, relative") << QByteArray("XDG_CONFIG_HOME") << "cfg"
                                          << "<home>/.config/Quorvane/Quorvane.conf";
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

    // Every area logs at info level under "com.quorvane.app.<Area>"; private
    // arguments never reach the log.
    void logging()
    {
        LogCapture capture;
        const QString secret = QStringLiteral("my secret prompt");
        qCInfo(lcLlamaCPP, "Output: %s", logging::priv(secret));
        QVERIFY(capture.contains(QStringLiteral("com.quorvane.app.LlamaCPP: Output: <private>")));
        QVERIFY(!capture.contains(secret));
        for (const QLoggingCategory *category : {&lcAppState(), &lcModelPersistence(), &lcChatPersistence(),
                                                 &lcDownload(), &lcMigrate(), &lcChatView()})
            qCInfo(*category, "line");
        for (const char *area : {"AppState", "ModelPersistence", "ChatPersistence", "Download", "Migrate", "ChatView"})
            QVERIFY2(capture.contains(QStringLiteral("com.quorvane.app.%1: line").arg(area)),
                     qPrintable(capture.lines().join('\n')));
        QCOMPARE(logging::shortId(QStringLiteral("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0")), QStringLiteral("0F1E2D3C"));
        QCOMPARE(logging::shortId(QStringLiteral("abc")), QStringLiteral("abc"));
    }
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
