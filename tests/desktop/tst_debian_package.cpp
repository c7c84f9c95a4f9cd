// The Debian package as a user gets it: built by CPack from the build tree,
// its files in their places, Depends covering what the window loads at run
// time, lintian's verdict, and the unpacked program answering its command
// line and starting offscreen until its first screen shows.
#include "common/test_support.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLibraryInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>

namespace {

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

Run run(const QString &program, const QStringList &arguments, const QProcessEnvironment &env = {})
{
    QProcess process;
    if (!env.isEmpty())
        process.setProcessEnvironment(env);
    process.start(program, arguments);
    if (!process.waitForFinished(300000))
        return {-1, {}, QStringLiteral("did not finish")};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError())};
}

// The packages that hold files ending in the given paths ("libc.so.6",
// "/usr/lib/.../qmldir"), as dpkg knows them.
QSet<QString> packagesHolding(const QStringList &paths)
{
    QSet<QString> packages;
    for (const QString &line : run(QStringLiteral("dpkg"), QStringList{QStringLiteral("-S")} + paths).out.split(u'\n')) {
        const QString path = line.section(QStringLiteral(": "), 1);
        const bool wanted = std::any_of(paths.begin(), paths.end(), [&](const QString &p) {
            return path == p || path.endsWith(u'/' + p);
        });
        for (const QString &entry : line.section(QStringLiteral(": "), 0, 0).split(QStringLiteral(", ")))
            if (wanted)
                packages << entry.section(u':', 0, 0);
    }
    return packages;
}

// The QML modules the window's files import, with those each module's
// qmldir imports or depends on in turn (modules without a qmldir of their
// own are built into a library).
QStringList qmlModuleDirectories()
{
    const QString importsPath = QLibraryInfo::path(QLibraryInfo::QmlImportsPath);
    QStringList pending;
    QDirIterator files(QStringLiteral(QUORVANE_QML_DIR), {QStringLiteral("*.qml")});
    static const QRegularExpression importLine(QStringLiteral("^import\\s+([A-Za-z.]+)"),
                                               QRegularExpression::MultilineOption);
    while (files.hasNext()) {
        auto matches = importLine.globalMatch(QString::fromUtf8(readFileBytes(files.next())));
        while (matches.hasNext())
            pending << matches.next().captured(1);
    }
    static const QRegularExpression dependency(QStringLiteral("^(?:import|depends)\\s+([A-Za-z.]+)"),
                                               QRegularExpression::MultilineOption);
    QStringList seen;
    QStringList qmldirs;
    while (!pending.isEmpty()) {
        const QString module = pending.takeFirst();
        if (seen.contains(module) || module.startsWith(QLatin1String("Quorvane")))
            continue;
        seen << module;
        const QString qmldir = importsPath + u'/' + QString(module).replace(u'.', u'/') + QStringLiteral("/qmldir");
        if (!QFile::exists(qmldir))
            continue;
        qmldirs << qmldir;
        auto matches = dependency.globalMatch(QString::fromUtf8(readFileBytes(qmldir)));
        while (matches.hasNext())
            pending << matches.next().captured(1);
    }
    return qmldirs;
}

} // namespace

class TestDebianPackage : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void filesInTheirPlaces();
    void controlFieldsAndDepends();
    void lintianFindsNoError();
    void commandLine_data();
    void commandLine();
    void unpackedProgramShowsItsFirstScreen();

private:
    QString program() const { return m_root.filePath(QStringLiteral("usr/bin/quorvane")); }
    QString field(const QString &name) const
    {
        return run(QStringLiteral("dpkg-deb"), {QStringLiteral("--field"), m_deb, name}).out.trimmed();
    }

    QTemporaryDir m_out;
    QTemporaryDir m_root;
    QString m_deb;
};

void TestDebianPackage::initTestCase()
{
    QVERIFY(m_out.isValid() && m_root.isValid());
    const Run pack = run(QStringLiteral(CPACK_COMMAND_PATH),
                         {QStringLiteral("--config"), QStringLiteral(QUORVANE_BUILD_DIR "/CPackConfig.cmake"),
                          QStringLiteral("-B"), m_out.path()});
    QVERIFY2(pack.exitCode == 0, qPrintable(pack.out + pack.err));
    const QString arch = run(QStringLiteral("dpkg"), {QStringLiteral("--print-architecture")}).out.trimmed();
    m_deb = m_out.filePath(QStringLiteral("quorvane_" QUORVANE_VERSION "_%1.deb").arg(arch));
    QVERIFY2(QFile::exists(m_deb), qPrintable(pack.out));
    const Run unpack = run(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), m_deb, m_root.path()});
    QVERIFY2(unpack.exitCode == 0, qPrintable(unpack.err));
}

void TestDebianPackage::filesInTheirPlaces()
{
    QStringList files;
    QDirIterator it(m_root.path(), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(m_root.path()).relativeFilePath(it.next());
    files.sort();
    QStringList expected = {
        QStringLiteral("usr/bin/quorvane"),
        QStringLiteral("usr/share/applications/org.quorvane.Quorvane.desktop"),
        QStringLiteral("usr/share/doc/quorvane/changelog.gz"),
        QStringLiteral("usr/share/doc/quorvane/copyright"),
        QStringLiteral("usr/share/icons/hicolor/scalable/apps/org.quorvane.Quorvane.svg"),
        QStringLiteral("usr/share/man/man1/quorvane.1.gz"),
        QStringLiteral("usr/share/metainfo/org.quorvane.Quorvane.metainfo.xml"),
    };
    for (int size : {16, 24, 32, 48, 64, 128, 256, 512})
        expected << QStringLiteral("usr/share/icons/hicolor/%1x%1/apps/org.quorvane.Quorvane.png").arg(size);
    expected.sort();
    QCOMPARE(files, expected);
    QVERIFY(QFileInfo(program()).isExecutable());
    // The AppStream release is the package's version.
    QVERIFY(readFileBytes(m_root.filePath(QStringLiteral("usr/share/metainfo/org.quorvane.Quorvane.metainfo.xml")))
                .contains("<release version=\"" QUORVANE_VERSION "\""));
}

void TestDebianPackage::controlFieldsAndDepends()
{
    QCOMPARE(field(QStringLiteral("Package")), QStringLiteral("quorvane"));
    QCOMPARE(field(QStringLiteral("Version")), QStringLiteral(QUORVANE_VERSION));
    for (const char *name : {"Maintainer", "Homepage", "Description"})
        QVERIFY2(!field(QLatin1String(name)).isEmpty(), name);
    QCOMPARE(field(QStringLiteral("Recommends")), QStringLiteral("pandoc, poppler-utils, antiword, catdoc, binutils"));

    QSet<QString> depends;
    for (const QString &entry : field(QStringLiteral("Depends")).split(u','))
        depends << entry.trimmed().section(u' ', 0, 0);
    // Every library the program links, every QML module the window loads,
    // the font its icons are drawn with, and what is opened at run time.
    QStringList needed;
    for (const QString &line : run(QStringLiteral("objdump"), {QStringLiteral("-p"), program()}).out.split(u'\n'))
        if (line.trimmed().startsWith(QLatin1String("NEEDED")))
            needed << line.simplified().section(u' ', 1);
    QVERIFY(needed.contains(QStringLiteral("libQt6Quick.so.6")));
    // Each as the loader finds it, named by its folder and file ("lib32/"
    // copies of the same names belong to other packages).
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

void TestDebianPackage::lintianFindsNoError()
{
    const Run lint = run(QStringLiteral("lintian"), {QStringLiteral("--tag-display-limit"), QStringLiteral("0"), m_deb});
    QVERIFY2(lint.exitCode == 0 && !lint.out.contains(QRegularExpression(QStringLiteral("^E: "),
                                                                          QRegularExpression::MultilineOption)),
             qPrintable(lint.out + lint.err));
}

void TestDebianPackage::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("platform");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    // Help and version come without a display: no platform could be loaded.
    const QString none = QStringLiteral("no-such-platform");
    QTest::newRow("version") << QStringList{"--version"} << none << 0 << "Quorvane " QUORVANE_VERSION "\n" << "";
    QTest::newRow("help") << QStringList{"-h"} << none << 0 << "Usage: quorvane [options]\n" << "";
    QTest::newRow("unknown option") << QStringList{"--bogus"} << "offscreen" << 2 << ""
                                    << "quorvane: unknown option '--bogus'\n";
    // Qt's own options are taken by Qt; what is left over is refused.
    QTest::newRow("argument after a Qt option") << QStringList{"-reverse", "extra"} << "offscreen" << 2 << ""
                                                << "quorvane: unexpected argument 'extra'\n";
}

void TestDebianPackage::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, platform);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    const Run answer = run(program(), arguments, env);
    QCOMPARE(answer.exitCode, exitCode);
    QVERIFY2(out.isEmpty() ? answer.out.isEmpty() : answer.out.startsWith(out), qPrintable(answer.out));
    QVERIFY2(err.isEmpty() ? answer.err.isEmpty() : answer.err.contains(err), qPrintable(answer.err));
}

void TestDebianPackage::unpackedProgramShowsItsFirstScreen()
{
    TempHome home;
    QVERIFY(home.installProgram(QStringLiteral(FAKE_LLAMA_COMPLETION)));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("com.quorvane.*.info=true"));
    QProcess app;
    app.setProcessEnvironment(env);
    app.start(program(), {});
    // The window and its first screen are loaded before the event loop runs;
    // the welcome screen replaces it as the verification's answer is set,
    // before that answer is logged. A screen that fails to load says so first.
    QString log;
    const bool verified = waitUntil([&] {
        log += QString::fromUtf8(app.readAllStandardError());
        return log.contains(QStringLiteral("llama.cpp verified ✓")) || app.state() == QProcess::NotRunning;
    }, 60000);
    QVERIFY2(verified && app.state() == QProcess::Running, qPrintable(log));
    QVERIFY2(!log.contains(QLatin1String("qrc:/")) && !log.contains(QLatin1String("failed to load")), qPrintable(log));
    ::kill(pid_t(app.processId()), SIGTERM);
    QVERIFY(app.waitForFinished(30000));
    QCOMPARE(app.exitStatus(), QProcess::NormalExit);
    QCOMPARE(app.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestDebianPackage)
#include "tst_debian_package.moc"
