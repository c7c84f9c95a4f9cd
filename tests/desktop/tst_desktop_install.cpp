// Installing into a prefix gives a desktop what it needs: the program, a
// launcher entry and AppStream data that the standard validators accept,
// and the icon in every size.
#include "ui/app_icon.h"

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

namespace {

const QString kAppId = QStringLiteral("org.quorvane.Quorvane");

struct Run {
    int exitCode = -1;
    QString output;
};

Run run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(120000))
        return {-1, QStringLiteral("did not finish")};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAll())};
}

} // namespace

class TestDesktopInstall : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void installsProgramAndDesktopFiles();
    void desktopEntryAndMetadataValidate();
    void iconsInEverySize_data();
    void iconsInEverySize();
    void scalableIconIsTheArch();

private:
    QTemporaryDir m_prefix;
    QString share() const { return m_prefix.path() + QStringLiteral("/share"); }
};

void TestDesktopInstall::initTestCase()
{
    QVERIFY(m_prefix.isValid());
    const Run install = run(QStringLiteral(CMAKE_COMMAND_PATH),
                            {QStringLiteral("--install"), QStringLiteral(QUORVANE_BUILD_DIR), QStringLiteral("--prefix"),
                             m_prefix.path()});
    QVERIFY2(install.exitCode == 0, qPrintable(install.output));
}

void TestDesktopInstall::installsProgramAndDesktopFiles()
{
    const QFileInfo program(m_prefix.path() + QStringLiteral("/bin/quorvane"));
    QVERIFY(program.isFile());
    QVERIFY(program.isExecutable());

    QSettings entry(share() + QStringLiteral("/applications/") + kAppId + QStringLiteral(".desktop"),
                    QSettings::IniFormat);
    entry.beginGroup(QStringLiteral("Desktop Entry"));
    QCOMPARE(entry.value(QStringLiteral("Name")).toString(), QStringLiteral("Quorvane"));
    QCOMPARE(entry.value(QStringLiteral("Exec")).toString(), QStringLiteral("quorvane"));
    // The launcher's icon names the installed icon files.
    QCOMPARE(entry.value(QStringLiteral("Icon")).toString(), kAppId);
}

void TestDesktopInstall::desktopEntryAndMetadataValidate()
{
    const QString metainfo = share() + QStringLiteral("/metainfo/") + kAppId + QStringLiteral(".metainfo.xml");
    const QString appstreamcli = QStandardPaths::findExecutable(QStringLiteral("appstreamcli"));
    QVERIFY2(!appstreamcli.isEmpty(), "appstreamcli is not installed (package appstream)");
    Run check = run(appstreamcli, {QStringLiteral("validate"), QStringLiteral("--no-net"), metainfo});
    QVERIFY2(check.exitCode == 0, qPrintable(check.output));

    const QString validator = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
    QVERIFY2(!validator.isEmpty(), "desktop-file-validate is not installed (package desktop-file-utils)");
    check = run(validator, {share() + QStringLiteral("/applications/") + kAppId + QStringLiteral(".desktop")});
    QVERIFY2(check.exitCode == 0 && check.output.trimmed().isEmpty(), qPrintable(check.output));
}

void TestDesktopInstall::iconsInEverySize_data()
{
    QTest::addColumn<int>("size");
    for (int size : {16, 24, 32, 48, 64, 128, 256, 512})
        QTest::addRow("%d", size) << size;
}

void TestDesktopInstall::iconsInEverySize()
{
    QFETCH(int, size);
    const QImage icon(share() + QStringLiteral("/icons/hicolor/%1x%1/apps/").arg(size) + kAppId + QStringLiteral(".png"));
    QCOMPARE(icon.size(), QSize(size, size));
    // Rounded corners are transparent; the middle of the base bar is light
    // (white, blended with the edge at the smallest size) and the opening of
    // the arch shows the blue background.
    QCOMPARE(qAlpha(icon.pixel(0, 0)), 0);
    const QColor base = icon.pixelColor(size / 2, int(size * 0.76));
    const QColor opening = icon.pixelColor(size / 2, int(size * 0.55));
    QVERIFY2(base.lightness() > opening.lightness() + 60, qPrintable(base.name()));
    QVERIFY2(opening.blue() > 200 && opening.red() < 100, qPrintable(opening.name()));
}

void TestDesktopInstall::scalableIconIsTheArch()
{
    QFile file(share() + QStringLiteral("/icons/hicolor/scalable/apps/") + kAppId + QStringLiteral(".svg"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&file);
    QStringList elements;
    QString fillRule;
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement) {
            elements << xml.name().toString();
            if (xml.name() == QLatin1String("path"))
                fillRule = xml.attributes().value(QStringLiteral("fill-rule")).toString();
        }
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    QCOMPARE(elements, QStringList({QStringLiteral("svg"), QStringLiteral("rect"), QStringLiteral("path")}));
    QCOMPARE(fillRule, QStringLiteral("evenodd"));
    QCOMPARE(file.size(), qint64(app_icon::svg().size()));
}

QTEST_GUILESS_MAIN(TestDesktopInstall)
#include "tst_desktop_install.moc"
