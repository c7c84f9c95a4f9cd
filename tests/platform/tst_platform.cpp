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
    void byteCount_data();
    void byteCount();
    void byteCountRoundsHalfUpOnShownDigits();
    void dataDirectory_data();
    void dataDirectory();
    void temporaryDirectory_data();
    void temporaryDirectory();
    void preferencesFile_data();
    void preferencesFile();
    void pathsFollowEnvironmentChanges();
    void logCategories();
    void privateArguments();
};

void TestPlatform::byteCount_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("text");

    QTest::newRow("zero") << qint64(0) << "Zero KB";
    QTest::newRow("one") << qint64(1) << "1 byte";
    QTest::newRow("two") << qint64(2) << "2 bytes";
    QTest::newRow("999") << qint64(999) << "999 bytes";
    QTest::newRow("1000") << qint64(1000) << "1 KB";
    QTest::newRow("1499") << qint64(1499) << "1 KB";
    QTest::newRow("1500 half up") << qint64(1500) << "2 KB";
    QTest::newRow("2500 half up, not to even") << qint64(2500) << "3 KB";
    QTest::newRow("999499") << qint64(999499) << "999 KB";
    QTest::newRow("999500 moves to MB") << qint64(999500) << "1 MB";
    QTest::newRow("1 MB") << qint64(1000000) << "1 MB";
    QTest::newRow("5 MB") << qint64(5000000) << "5 MB";
    QTest::newRow("5.2 MB") << qint64(5200000) << "5.2 MB";
    QTest::newRow("5.35 MB up") << qint64(5350000) << "5.4 MB";
    QTest::newRow("5.349999 MB down") << qint64(5349999) << "5.3 MB";
    QTest::newRow("999.95 MB moves to GB") << qint64(999950000) << "1 GB";
    QTest::newRow("999.949999 MB") << qint64(999949999) << "999.9 MB";
    QTest::newRow("4 GB") << qint64(4000000000) << "4 GB";
    QTest::newRow("4.37 GB") << qint64(4370000000) << "4.37 GB";
    QTest::newRow("4.3 GB") << qint64(4300000000) << "4.3 GB";
    QTest::newRow("1.005 GB up") << qint64(1005000000) << "1.01 GB";
    QTest::newRow("4.365 GB up") << qint64(4365000000) << "4.37 GB";
    QTest::newRow("999.995 GB moves to TB") << qint64(999995000000) << "1 TB";
    QTest::newRow("1.5 TB") << qint64(1500000000000) << "1.5 TB";
    QTest::newRow("12.34 TB") << qint64(12340000000000) << "12.34 TB";
    QTest::newRow("2 PB") << qint64(2000000000000000) << "2 PB";
    QTest::newRow("max") << std::numeric_limits<qint64>::max() << "9.22 EB";
    QTest::newRow("min") << std::numeric_limits<qint64>::min() << "-9.22 EB";
    QTest::newRow("-1") << qint64(-1) << "-1 byte";
    QTest::newRow("-532") << qint64(-532) << "-532 bytes";
    QTest::newRow("-5.2 MB") << qint64(-5200000) << "-5.2 MB";
}

void TestPlatform::byteCount()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, text);
    QCOMPARE(formatByteCount(bytes), text);
}

// Every value from 1,000 bytes up: the number shown is the exact value rounded
// half up to the unit's decimals, never 1000 or more, never with a trailing
// zero after the point. Checked against decimal arithmetic on strings, so that
// binary floating point cannot agree with itself by accident.
void TestPlatform::byteCountRoundsHalfUpOnShownDigits()
{
    const QStringList units = {"KB", "MB", "GB", "TB", "PB", "EB"};
    const QList<int> decimals = {0, 1, 2, 2, 2, 2};
    QList<qint64> samples;
    for (qint64 base = 1000; base > 0 && base <= std::numeric_limits<qint64>::max() / 10; base *= 10) {
        for (qint64 offset : {qint64(0), qint64(-1), qint64(1), base / 2, base / 2 - 1, base / 20, base / 20 - 1,
                              base / 200, base / 200 - 1, base * 9 + base / 2, base * 9 + base / 100 * 99})
            samples << base + offset;
        for (int mantissa = 1000; mantissa < 10000; mantissa += 37)
            samples << base / 1000 * mantissa + base / 2000;
    }
    samples << std::numeric_limits<qint64>::max() << std::numeric_limits<qint64>::max() - 1
            << qint64(999995000000000000) << qint64(999994999999999999) << qint64(9215000000000000000);
    for (qint64 bytes : std::as_const(samples)) {
        if (bytes < 1000)
            continue;
        const QString text = formatByteCount(bytes);
        const QStringList parts = text.split(QLatin1Char(' '));
        QCOMPARE(parts.size(), 2);
        const int unit = int(units.indexOf(parts[1]));
        QVERIFY2(unit >= 0, qPrintable(text));
        const QString number = parts[0];
        QVERIFY2(!number.contains(QLatin1Char('.')) || !number.endsWith(QLatin1Char('0')), qPrintable(text));
        const QStringList intFrac = number.split(QLatin1Char('.'));
        QVERIFY2(intFrac[0].toInt() < 1000, qPrintable(text));
        if (intFrac.size() == 2)
            QVERIFY2(intFrac[1].size() <= decimals[unit], qPrintable(text));

        // the exact value in the shown unit, as digits: bytes / 1000^(unit+1)
        const QString digits = QString::number(bytes);
        const int shift = 3 * (unit + 1);
        const QString padded = QString(qMax(0, shift + 1 - int(digits.size())), QLatin1Char('0')) + digits;
        const QString whole = padded.left(padded.size() - shift);
        const QString frac = padded.right(shift);
        // round half up to the unit's decimals
        QString kept = whole + frac.left(decimals[unit]);
        qint64 scaled = kept.toLongLong();
        if (frac.at(decimals[unit]) >= QLatin1Char('5'))
            ++scaled;
        qint64 pow10 = 1;
        for (int i = 0; i < decimals[unit]; ++i)
            pow10 *= 10;
        QString expected = QString::number(scaled / pow10);
        if (scaled % pow10) {
            QString f = QString::number(scaled % pow10).rightJustified(decimals[unit], QLatin1Char('0'));
            while (f.endsWith(QLatin1Char('0')))
                f.chop(1);
            expected += QLatin1Char('.') + f;
        }
        QVERIFY2(number == expected, qPrintable(QStringLiteral("%1 bytes: shown %2, exact rounding %3 %4")
                                                    .arg(bytes)
                                                    .arg(text, expected, units[unit])));
        // and the unit is the smallest in which the rounded value stays under 1000
        if (unit > 0) {
            const qint64 lowerUnitSize = qint64(std::pow(10.0, 3 * unit));
            QVERIFY2(bytes / lowerUnitSize >= 999, qPrintable(text));
        }
    }
}

void TestPlatform::dataDirectory_data()
{
    QTest::addColumn<QString>("xdgDataHome"); // "<home>" stands for the temporary home
    QTest::addColumn<bool>("unset");
    QTest::addColumn<QString>("expected");

    QTest::newRow("set") << "<home>/data" << false << "<home>/data/Quorvane";
    QTest::newRow("trailing slash") << "<home>/data/" << false << "<home>/data/Quorvane";
    QTest::newRow("unset") << QString() << true << "<home>/.local/share/Quorvane";
    QTest::newRow("empty") << "" << false << "<home>/.local/share/Quorvane";
    QTest::newRow("relative") << "data" << false << "<home>/.local/share/Quorvane";
}

void TestPlatform::dataDirectory()
{
    QFETCH(QString, xdgDataHome);
    QFETCH(bool, unset);
    QFETCH(QString, expected);
    TempHome home;
    if (unset)
        qunsetenv("XDG_DATA_HOME");
    else
        qputenv("XDG_DATA_HOME", xdgDataHome.replace(QLatin1String("<home>"), home.home()).toUtf8());
    QCOMPARE(paths::dataDirectory(), expected.replace(QLatin1String("<home>"), home.home()));
    QCOMPARE(paths::homeDirectory(), home.home());
    QCOMPARE(paths::documentsDirectory(), home.home() + QStringLiteral("/Documents"));
}

void TestPlatform::temporaryDirectory_data()
{
    QTest::addColumn<QString>("runtimeDir");
    QTest::addColumn<bool>("useRuntimeDir");

    QTest::newRow("absolute") << "<home>/run" << true;
    QTest::newRow("unset") << QString() << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("relative") << "run" << false;
}

void TestPlatform::temporaryDirectory()
{
    QFETCH(QString, runtimeDir);
    QFETCH(bool, useRuntimeDir);
    TempHome home;
    const QByteArray savedTmp = qgetenv("TMPDIR");
    const QString systemTemp = home.home() + QStringLiteral("/systmp");
    QDir().mkpath(systemTemp);
    qputenv("TMPDIR", systemTemp.toUtf8());
    if (runtimeDir.isNull())
        qunsetenv("XDG_RUNTIME_DIR");
    else
        qputenv("XDG_RUNTIME_DIR", runtimeDir.replace(QLatin1String("<home>"), home.home()).toUtf8());
    const QString found = paths::temporaryDirectory();
    if (savedTmp.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", savedTmp);
    QCOMPARE(found, useRuntimeDir ? home.runtimeDir() : systemTemp);
}

void TestPlatform::preferencesFile_data()
{
    QTest::addColumn<QString>("xdgConfigHome");
    QTest::addColumn<QString>("expected");

    QTest::newRow("set") << "<home>/cfg" << "<home>/cfg/Quorvane/Quorvane.conf";
    QTest::newRow("unset") << QString() << "<home>/.config/Quorvane/Quorvane.conf";
    QTest::newRow("relative") << "cfg" << "<home>/.config/Quorvane/Quorvane.conf";
}

void TestPlatform::preferencesFile()
{
    QFETCH(QString, xdgConfigHome);
    QFETCH(QString, expected);
    TempHome home;
    if (xdgConfigHome.isNull())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", xdgConfigHome.replace(QLatin1String("<home>"), home.home()).toUtf8());
    QCOMPARE(paths::preferencesFile(), expected.replace(QLatin1String("<home>"), home.home()));
}

void TestPlatform::pathsFollowEnvironmentChanges()
{
    TempHome first;
    QCOMPARE(paths::dataDirectory(), first.dataDir());
    QCOMPARE(paths::preferencesFile(), first.configFile());
    QCOMPARE(paths::temporaryDirectory(), first.runtimeDir());
    {
        TempHome second;
        QVERIFY(first.home() != second.home());
        QCOMPARE(paths::dataDirectory(), second.dataDir());
        QCOMPARE(paths::preferencesFile(), second.configFile());
        QCOMPARE(paths::temporaryDirectory(), second.runtimeDir());
        QCOMPARE(paths::homeDirectory(), second.home());
    }
    QCOMPARE(paths::dataDirectory(), first.dataDir());
    qputenv("HOME", (first.home() + QStringLiteral("/")).toUtf8());
    qunsetenv("XDG_DATA_HOME");
    QCOMPARE(paths::homeDirectory(), first.home());
    QCOMPARE(paths::dataDirectory(), first.home() + QStringLiteral("/.local/share/Quorvane"));
}

void TestPlatform::logCategories()
{
    const QList<QPair<const QLoggingCategory *, QString>> categories = {
        {&lcAppState(), "AppState"},     {&lcModelPersistence(), "ModelPersistence"},
        {&lcChatPersistence(), "ChatPersistence"}, {&lcLlamaCPP(), "LlamaCPP"},
        {&lcDownload(), "Download"},     {&lcMigrate(), "Migrate"},
        {&lcChatView(), "ChatView"},
    };
    LogCapture capture;
    for (const auto &[category, area] : categories) {
        const QString name = QStringLiteral("com.quorvane.app.") + area;
        QCOMPARE(QString::fromLatin1(category->categoryName()), name);
        QVERIFY2(category->isInfoEnabled(), qPrintable(name));
        qCInfo(*category, "line of %s", qPrintable(area));
        QVERIFY2(capture.contains(name + QStringLiteral(": line of ") + area), qPrintable(capture.lines().join('\n')));
    }
}

void TestPlatform::privateArguments()
{
    const QString secret = QStringLiteral("my secret prompt");
    QCOMPARE(QString::fromLatin1(logging::priv(secret)), QStringLiteral("<private>"));
    QCOMPARE(QString::fromLatin1(logging::priv(42)), QStringLiteral("<private>"));
    LogCapture capture;
    qCInfo(lcLlamaCPP, "Output: %s", logging::priv(secret));
    QVERIFY(capture.contains(QStringLiteral("com.quorvane.app.LlamaCPP: Output: <private>")));
    QVERIFY(!capture.contains(secret));
    QCOMPARE(logging::shortId(QStringLiteral("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0")), QStringLiteral("0F1E2D3C"));
    QCOMPARE(logging::shortId(QStringLiteral("abc")), QStringLiteral("abc"));
}

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
