// The Debian package as CPack builds it: files in their places (validated launcher entry and AppStream data, the
// icon in every size), Depends covering what the window loads at run time, lintian's verdict, the program's command
// line and its first screen.
#include "common/test_support.h"
#include "ui/app_icon.h"

#include <QDirIterator>
#include <QImage>
#include <QLibraryInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QTest>


namespace {

const QString kShare = QStringLiteral("usr/share/");
const QString kAppId = QStringLiteral("org.quorvane.Quorvane");
const QList<int> kIconSizes{16, 24, 32, 48, 64, 128, 256, 512};

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

Run run(const QString &program, const QStringList &arguments, const QStringList &environment = {})
{
    QProcess process;
    process.setEnvironment(QProcess::systemEnvironment() + environment);
    process.start(program, arguments);
    if (!process.waitForFinished(300000))
        return {-1, {}, program + QStringLiteral(": ") + process.errorString()};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError())};
}

// The packages that hold the given files, named by their whole path or by their folder and file.
QSet<QString> packagesHolding(const QStringList &paths)
{
    QStringList patterns;
    for (const QString &path : paths)
        patterns << (path.startsWith(u'/') ? path : QStringLiteral("*/") + path);
    QSet<QString> packages;
    for (const QString &line : run(QStringLiteral("dpkg"), QStringList{QStringLiteral("-S")} + patterns).out.split(u'\n')) {
        for (const QString &entry : line.section(QStringLiteral(": "), 0, 0).split(QStringLiteral(", "), Qt::SkipEmptyParts))
            packages << entry.section(u':', 0, 0);
    }
    return packages;
}

// The QML modules the window's files import, with those each module's qmldir imports or depends on in turn
// (modules without a qmldir of their own are built into a library).
QStringList qmlModuleDirectories()
{
    static const QRegularExpression importLine(QStringLiteral("^(?:import|depends)\\s+([A-Za-z.]+)"),
                                               QRegularExpression::MultilineOption);
    QStringList pending;
    const auto takeImports = [&](const QString &path) {
        for (const QRegularExpressionMatch &match : importLine.globalMatch(QString::fromUtf8(readFileBytes(path))))
            pending << match.captured(1);
    };
    QDirIterator files(QStringLiteral(QUORVANE_QML_DIR), {QStringLiteral("*.qml")});
    while (files.hasNext())
        takeImports(files.next());
    QStringList seen;
    QStringList qmldirs;
    while (!pending.isEmpty()) {
        const QString module = pending.takeFirst();
        if (seen.contains(module) || module.startsWith(QLatin1String("Quorvane")))
            continue;
        seen << module;
        const QString qmldir = QLibraryInfo::path(QLibraryInfo::QmlImportsPath) + u'/' + QString(module).replace(u'.', u'/')
                               + QStringLiteral("/qmldir");
        if (QFile::exists(qmldir)) {
            qmldirs << qmldir;
            takeImports(qmldir);
        }
    }
    return qmldirs;
}

} // namespace

class TestDebianPackage : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const Run pack = run(QStringLiteral(CPACK_COMMAND_PATH),
                             {QStringLiteral("--config"), QStringLiteral(QUORVANE_BUILD_DIR "/CPackConfig.cmake"),
                              QStringLiteral("-B"), m_out.path()});
        QVERIFY2(pack.exitCode == 0, qPrintable(pack.out + pack.err));
        const QString arch = run(QStringLiteral("dpkg"), {QStringLiteral("--print-architecture")}).out.trimmed();
        m_deb = m_out.filePath(QStringLiteral("quorvane_" QUORVANE_VERSION "_%1.deb").arg(arch));
        const Run unpack = run(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), m_deb, m_root.path()});
        QVERIFY2(unpack.exitCode == 0, qPrintable(unpack.err));
    }

    void filesInTheirPlaces()
    {
        QStringList files;
        QDirIterator it(m_root.path(), QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            files << QDir(m_root.path()).relativeFilePath(it.next());
        files.sort();
        const QString entryFile = "applications/" + kAppId + ".desktop", metainfo = "metainfo/" + kAppId + ".metainfo.xml";
        QStringList expected = {QStringLiteral("usr/bin/quorvane"), kShare + entryFile,
                                kShare + "doc/quorvane/changelog.gz", kShare + "doc/quorvane/copyright",
                                kShare + "icons/hicolor/scalable/apps/" + kAppId + ".svg",
                                kShare + "man/man1/quorvane.1.gz", kShare + metainfo};
        for (int size : kIconSizes)
            expected << kShare + QStringLiteral("icons/hicolor/%1x%1/apps/").arg(size) + kAppId + ".png";
        expected.sort();
        QCOMPARE(files, expected);
        QVERIFY(readFileBytes(shared(metainfo)).contains("<release version=\"" QUORVANE_VERSION "\""));
        QCOMPARE(readFileBytes(shared("icons/hicolor/scalable/apps/" + kAppId + ".svg")), app_icon::svg());
        for (int size : kIconSizes) {
            const QImage icon(shared(QStringLiteral("icons/hicolor/%1x%1/apps/").arg(size) + kAppId + ".png"));
            QCOMPARE(icon.size(), QSize(size, size));
            // Rounded corners are transparent; the middle of the base bar is light (white, blended with the edge at
            // the smallest size) and the opening of the arch shows the blue background.
            QCOMPARE(qAlpha(icon.pixel(0, 0)), 0);
            const QColor base = icon.pixelColor(size / 2, int(size * 0.76));
            const QColor opening = icon.pixelColor(size / 2, int(size * 0.55));
            QVERIFY2(base.lightness() > opening.lightness() + 60 && opening.blue() > 200 && opening.red() < 100,
                     qPrintable(base.name() + u' ' + opening.name()));
        }

        QSettings entry(shared(entryFile), QSettings::IniFormat);
        entry.beginGroup(QStringLiteral("Desktop Entry"));
        QCOMPARE(entry.value(QStringLiteral("Name")).toString(), QStringLiteral("Quorvane"));
        QCOMPARE(entry.value(QStringLiteral("Exec")).toString(), QStringLiteral("quorvane"));
        QCOMPARE(entry.value(QStringLiteral("Icon")).toString(), kAppId); // names the installed icon files
        Run check = run(QStringLiteral("appstreamcli"), {QStringLiteral("validate"), QStringLiteral("--no-net"), shared(metainfo)});
        QVERIFY2(check.exitCode == 0, qPrintable(check.out + check.err));
        check = run(QStringLiteral("desktop-file-validate"), {shared(entryFile)});
        QVERIFY2(check.exitCode == 0 && (check.out + check.err).trimmed().isEmpty(), qPrintable(check.out + check.err));
    }

    void controlFieldsAndDepends()
    {
        QCOMPARE(field(QStringLiteral("Version")), QStringLiteral(QUORVANE_VERSION));
        QCOMPARE(field(QStringLiteral("Recommends")), QStringLiteral("pandoc, poppler-utils, antiword, catdoc, binutils"));

        QSet<QString> depends;
        for (const QString &entry : field(QStringLiteral("Depends")).split(u','))
            depends << entry.trimmed().section(u' ', 0, 0);
        // Every library the program links, every QML module the window loads, the font its icons are drawn with, and
        // what is opened at run time.
        QStringList needed;
        for (const QString &line : run(QStringLiteral("objdump"), {QStringLiteral("-p"), program()}).out.split(u'\n'))
            if (line.trimmed().startsWith(QLatin1String("NEEDED")))
                needed << line.simplified().section(u' ', 1);
        QVERIFY(needed.contains(QStringLiteral("libQt6Quick.so.6")));
        // Each as the loader finds it, named by its folder and file ("lib32/" copies belong to other packages).
        QStringList libraries;
        for (const QString &line : run(QStringLiteral("ldd"), {program()}).out.split(u'\n')) {
            const QString path = line.contains(QLatin1String(" => ")) ? line.section(QLatin1String(" => "), 1).section(u' ', 0, 0)
                                                                       : line.trimmed().section(u' ', 0, 0);
            if (needed.contains(path.section(u'/', -1)))
                libraries << path.section(u'/', -2);
        }
        QCOMPARE(libraries.size(), needed.size());
        const QStringList qmldirs = qmlModuleDirectories();
        QVERIFY(qmldirs.size() >= 6);
        const QString iconFont =
            run(QStringLiteral("fc-list"), {QStringLiteral(":family=Material Icons"), QStringLiteral("file")}).out.section(u':', 0, 0);
        QVERIFY(!iconFont.isEmpty());
        QSet<QString> required = packagesHolding(libraries + qmldirs + QStringList{iconFont});
        required << QStringLiteral("qml6-module-qt-labs-folderlistmodel") << QStringLiteral("qt6-qpa-plugins")
                 << QStringLiteral("libsecret-1-0");
        QVERIFY(required.contains(QStringLiteral("qml6-module-qtquick-controls")));
        const QSet<QString> missing = required - depends;
        QVERIFY2(missing.isEmpty(), qPrintable(QStringList(missing.begin(), missing.end()).join(u' ')));
    }

    // Help and version come without a display: no platform could be loaded.
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        QTest::newRow("version") << QStringList{"--version"} << 0 << "Quorvane " QUORVANE_VERSION "\n" << "";
        QTest::newRow("help") << QStringList{"-h"} << 0 << "Usage: quorvane [options]\n" << "";
        QTest::newRow("unknown option") << QStringList{"--bogus"} << 2 << "" << "quorvane: unknown option '--bogus'\n";
        // Qt's own options are left to Qt; what is left over is refused.
        QTest::newRow("argument after Qt options") << QStringList{"-style", "Fusion", "-reverse", "extra"} << 2 << ""
                                                    << "quorvane: unexpected argument 'extra'\n";
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, err);
        const Run answer = run(program(), arguments, {QStringLiteral("QT_QPA_PLATFORM=no-such-platform")});
        QCOMPARE(answer.exitCode, exitCode);
        QVERIFY2(out.isEmpty() ? answer.out.isEmpty() : answer.out.startsWith(out), qPrintable(answer.out));
        QVERIFY2(err.isEmpty() ? answer.err.isEmpty() : answer.err.contains(err), qPrintable(answer.err));
    }

    // The unpacked program finds its screens and answers the llama.cpp check; lintian finds no error.
    void unpackedProgramShowsItsFirstScreenAndLintianPasses()
    {
        TempHome home;
        QVERIFY(home.installProgram(QStringLiteral(FAKE_LLAMA_COMPLETION)));
        QProcess app;
        app.setEnvironment(QProcess::systemEnvironment() << QStringLiteral("QT_QPA_PLATFORM=offscreen")
                                                         << QStringLiteral("QT_LOGGING_RULES=com.quorvane.*.info=true"));
        app.start(program(), {});
        QString log;
        QVERIFY(waitUntil([&] {
            log += QString::fromUtf8(app.readAllStandardError());
            return log.contains(QStringLiteral("llama.cpp verified ✓")) || app.state() == QProcess::NotRunning;
        }, 60000));
        QVERIFY2(app.state() == QProcess::Running && !log.contains(QLatin1String("qrc:/")), qPrintable(log));
        app.terminate();
        QVERIFY(app.waitForFinished(30000) && app.exitStatus() == QProcess::NormalExit && app.exitCode() == 0);

        const Run lint = run(QStringLiteral("lintian"), {QStringLiteral("--tag-display-limit"), QStringLiteral("0"), m_deb});
        QVERIFY2(lint.exitCode == 0 && !lint.out.contains(QRegularExpression(QStringLiteral("^E: "),
                                                                              QRegularExpression::MultilineOption)),
                 qPrintable(lint.out + lint.err));
    }

private:
    QString program() const { return m_root.filePath(QStringLiteral("usr/bin/quorvane")); }
    QString shared(const QString &path) const { return m_root.filePath(kShare + path); }
    QString field(const QString &name) const
    {
        return run(QStringLiteral("dpkg-deb"), {QStringLiteral("--field"), m_deb, name}).out.trimmed();
    }

    QTemporaryDir m_out;
    QTemporaryDir m_root;
    QString m_deb;
};

QTEST_GUILESS_MAIN(TestDebianPackage)
#include "tst_debian_package.moc"
