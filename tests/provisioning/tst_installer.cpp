// Installing llama-completion: release archives from a loopback server, the source build from git repositories,
// a CMake of our own, and the progress the screens show on the way.
#include "common/nginx_server.h"
#include "common/test_support.h"
#include "engine/llama_cpp_manager.h"
#include "install_fixtures.h"
#include "platform/paths.h"
#include "provisioning/install_progress.h"
#include "provisioning/llama_installer.h"

#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

QString dataPath(const QString &relative) { return paths::dataDirectory() + u'/' + relative; }

} // namespace

class TestInstaller : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString root = m_served.path() + QStringLiteral("/www/");
        const QString stage = m_served.path() + QStringLiteral("/stage/");
        m_noSources = QStringLiteral("file://") + m_served.path() + QStringLiteral("/no-sources");

        // Release archives (padded: real ones are megabytes), one without llama-completion, two plain byte files.
        const QByteArray padding = randomBytes(1100000);
        QVERIFY(writeBytes(stage + "good/llama-b1/llama-completion", "#!/bin/sh\necho 'version: 1 (stand-in)'\n", true));
        QVERIFY(writeBytes(stage + "good/llama-b1/padding.bin", padding));
        QVERIFY(packFolder(stage + "good", QStringLiteral("llama-b1"), root + "files/good.tar.gz"));
        QVERIFY(writeBytes(stage + "empty/llama-b1/padding.bin", padding));
        QVERIFY(packFolder(stage + "empty", QStringLiteral("llama-b1"), root + "files/empty.tar.gz"));
        QVERIFY(writeBytes(root + "files/small.tar.gz", randomBytes(1000000)));
        QVERIFY(writeBytes(root + "files/corrupt.tar.gz", randomBytes(1000001)));

        // CMake laid out as the published Linux archive, plus a member that must not land in the data folder.
        const QString cmakeTop = QStringLiteral("cmake-3.27.7-linux-x86_64");
        QVERIFY(QDir().mkpath(stage + "cmake/" + cmakeTop + "/bin"));
        QVERIFY(QFile::copy(QStringLiteral("/usr/bin/cmake"), stage + "cmake/" + cmakeTop + "/bin/cmake"));
        QVERIFY(QFile::link(QStringLiteral("/usr/share"), stage + "cmake/" + cmakeTop + "/share"));
        QVERIFY(writeBytes(stage + "cmake/Sessions/planted.json", "{}"));
        QVERIFY(packFolder(stage + "cmake", cmakeTop,
                           root + "Kitware/CMake/releases/download/v3.27.7/" + LlamaInstaller::cmakeArchiveName(),
                           QStringLiteral("Sessions")));

        // The tiny sources, cloned over HTTP (git's plain file protocol).
        QVERIFY(makeSourceRepository(root, tinySourceTree()));
        QVERIFY(runOk(QStringLiteral("/usr/bin/git"), {"-C", root + "ggml-org/llama.cpp.git", "update-server-info"}));

        // /files/cut/ loses the connection after 1000 KB of an announced longer file.
        const QString locations = QStringLiteral(
            "location /err500/ { return 500; }\n"
            "location = /files/to-file.tar.gz { return 302 file://%1files/good.tar.gz; }\n"
            "location /stall/ { alias %1files/; limit_rate_after 1000k; limit_rate 1; }\n"
            "location ~ ^/files/cut/(.*)$ { proxy_pass http://127.0.0.1:$server_port/stall/$1;\n"
            "    proxy_read_timeout 300ms; proxy_buffering off; }\n");
        m_server = std::make_unique<NginxServer>(root, locations.arg(root));
        QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    }

    // Build lines move the bar within the build step, by time too, never past its end (git's: the real build).
    void progressFromOutput()
    {
        using namespace install_progress;
        double now = 0;
        QList<double> reported;
        OutputWatcher build("Build:", buildProgressForLine, buildProgressForElapsed, [&] { return now; },
                            [&](double value) { reported << value; });
        build.feed("[ 50%] Building C object\n[3/4] Linking\n[1/0] odd");
        build.finish();
        QCOMPARE(reported.size(), 1);
        QCOMPARE(reported[0], 0.9825);
        now = 2.9;
        build.tick();
        QCOMPARE(reported.size(), 1); // time-based updates at most every 3 s
        now = 900;
        build.tick();
        QCOMPARE(reported.last(), 0.99);
    }

    // Rows that install log the asset taken; the others log why the release failed, and the source build takes
    // over (there are no sources here).
    void prebuiltInstall_data()
    {
        QTest::addColumn<QByteArray>("releases");
        QTest::addColumn<QString>("apiPath");
        QTest::addColumn<QString>("logged");
        const QByteArray good = "\"browser_download_url\":\"{BASE}/files/good.tar.gz\"";
        // Passed over: a release without assets, one for another machine, one whose first asset has no address.
        QTest::newRow("installs")
            << "[{\"name\":\"no assets\"},{\"tag_name\":\"b2\",\"assets\":[{\"name\":\"llama-b2-bin-macos-arm64.tar.gz\","
               + good + "}]},{\"tag_name\":\"b3\",\"assets\":[{\"name\":\"a-ubuntu-x64.tar.gz\"},"
               "{\"name\":\"b-ubuntu-x64.tar.gz\"," + good + "}]},"
               "{\"assets\":[{\"size\":1},{\"name\":\"c-ubuntu-x64.tar.gz\"," + good + "}]}]"
            << "" << "Prebuilt asset: c-ubuntu-x64.tar.gz (unknown)";
        const auto failing = [](const char *name, const QByteArray &file, const QString &failure) {
            QTest::newRow(name) << "[{\"tag_name\":\"b1\",\"assets\":[{\"name\":\"x-ubuntu-x64.tar.gz\","
                                   "\"browser_download_url\":\"{BASE}/files/" + file + "\"}]}]"
                                << "" << "Prebuilt install failed (" + failure;
        };
        failing("1,000,000 bytes", "small.tar.gz", "Downloaded tarball is suspiciously small (1000000 bytes)");
        failing("1,000,001 bytes", "corrupt.tar.gz", "tar extract failed (status 2): \ngzip: stdin: not in gzip format");
        failing("archive without the program", "empty.tar.gz", "Extracted archive did not contain llama-completion");
        failing("asset missing on the server", "missing.tar.gz", "Download returned HTTP 404");
        failing("asset redirected to a local file", "to-file.tar.gz", "Download returned HTTP 302");
        failing("body cut short", "cut/good.tar.gz", "Download failed: ");
        const QString failed = QStringLiteral("Prebuilt install failed (");
        QTest::newRow("API answers 500") << QByteArray("[]") << "/err500" << failed + "GitHub API returned HTTP 500";
        QTest::newRow("not a list of releases")
            << QByteArray("{\"message\":\"rate limited\"}") << "" << failed + "Could not parse GitHub release metadata";
        QTest::newRow("no release for this machine")
            << QByteArray("[{\"tag_name\":\"b1\",\"assets\":[{\"name\":\"x-macos-x64.tar.gz\",\"browser_download_url\":\"x\"}]}]")
            << "" << failed + "No recent llama.cpp release has a ubuntu-x64.tar.gz asset";
        QTest::newRow("no server") << QByteArray() << "unreachable"
                                   << failed + "Could not query GitHub releases: Connection refused";
    }

    void prebuiltInstall()
    {
        QFETCH(QByteArray, releases);
        QFETCH(QString, apiPath);
        QFETCH(QString, logged);
        const bool installs = logged.startsWith(QStringLiteral("Prebuilt asset"));
        TempHome home;
        LogCapture log;
        // The user's own checkout linked in as llama.cpp is never emptied.
        const QString kept = home.writeFile(QStringLiteral("checkout/kept.txt"), "mine");
        QVERIFY(QDir().mkpath(paths::dataDirectory()));
        QVERIFY(QFile::link(QFileInfo(kept).path(), dataPath(QStringLiteral("llama.cpp"))));
        const QString row = QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-').replace(u',', u'-');
        QVERIFY(writeBytes(m_served.path() + QStringLiteral("/www/") + row + QStringLiteral("/repos/ggml-org/llama.cpp/releases"),
                           releases.replace("{BASE}", m_server->baseUrl().toUtf8())));
        LlamaCPPManager engine;
        LlamaInstaller installer(engine);
        const QString api = m_server->baseUrl() + (apiPath.isEmpty() ? u'/' + row : apiPath);
        installer.setApiHost(apiPath == QStringLiteral("unreachable") ? QStringLiteral("http://127.0.0.1:1") : api);
        installer.setSourceHost(m_noSources);
        InstallOutcome outcome;
        installer.installPrebuiltLlamaCPP(outcome.completion());
        QVERIFY(engine.isInstallingLlamaCPP());
        QCOMPARE(engine.llamaCPPInstallStatus(), QStringLiteral("Checking for prebuilt release..."));
        QVERIFY(waitUntil([&] { return outcome.calls > 0; }, 60000));
        QTest::qWait(50);
        QCOMPARE(outcome.calls, 1); // a failed release's source build answers alone
        QVERIFY(!engine.isInstallingLlamaCPP());
        QCOMPARE(readFileBytes(kept), QByteArray("mine"));
        QVERIFY2(log.contains(logged), qPrintable(log.lines().join(u'\n')));
        QCOMPARE(folderEntries(paths::dataDirectory()), installs ? QStringList{QStringLiteral("llama.cpp")} : QStringList());
        QCOMPARE(outcome.success, installs);
        if (installs) {
            QVERIFY(QFileInfo(dataPath(QStringLiteral("llama.cpp/build/bin/llama-completion"))).isExecutable());
            QCOMPARE(engine.llamaCPPInstallProgress(), 1.0);
            QCOMPARE(engine.llamaCPPInstallStatus(), QStringLiteral("Installation complete!"));
            QVERIFY(log.contains(QStringLiteral("Warm-up spawn complete for")));
        } else {
            QCOMPARE(outcome.message, QStringLiteral("Clone failed. Check internet connection."));
        }
    }

    void sourceBuild_data()
    {
        QTest::addColumn<QByteArray>("cmakeLists");
        QTest::addColumn<QString>("toolPath");
        QTest::addColumn<QByteArray>("toolSource");
        QTest::addColumn<QString>("failure");

        const auto tiny = tinySourceTree();
        const QByteArray lists = tiny.value(QStringLiteral("CMakeLists.txt"));
        const QByteArray tool = tiny.value(QStringLiteral("src/tool.c"));
        QTest::newRow("clone without src") << lists << "tool.c" << tool << "Clone incomplete. Please retry.";
        QTest::newRow("configure fails") << QByteArray("message(FATAL_ERROR \"no compiler today\")\n") << "src/tool.c"
                                         << tool << "CMake configuration failed";
        QTest::newRow("build fails") << lists << "src/tool.c" << QByteArray("int main(void) { return }\n")
                                     << "Build failed";
        QTest::newRow("no repository") << QByteArray() << "" << QByteArray() << "Clone failed. Check internet connection.";
    }

    void sourceBuild()
    {
        QFETCH(QByteArray, cmakeLists);
        QFETCH(QString, toolPath);
        QFETCH(QByteArray, toolSource);
        QFETCH(QString, failure);

        TempHome home;
        LogCapture log;
        QTemporaryDir host;
        if (!toolPath.isEmpty())
            QVERIFY(makeSourceRepository(host.path(), {{QStringLiteral("CMakeLists.txt"), cmakeLists}, {toolPath, toolSource}}));
        // Whatever was there before is replaced.
        QVERIFY(writeBytes(dataPath(QStringLiteral("llama.cpp/stale.txt")), "old"));

        LlamaCPPManager engine;
        LlamaInstaller installer(engine);
        installer.setSourceHost(QStringLiteral("file://") + host.path());
        InstallOutcome outcome;
        installer.buildLlamaCPPFromSource(outcome.completion());
        InstallOutcome second;
        installer.buildLlamaCPPFromSource(second.completion());
        QCOMPARE(second.message, QStringLiteral("Installation already in progress"));

        QVERIFY(waitUntil([&] { return outcome.calls > 0; }, 120000));
        QVERIFY(!QFileInfo::exists(dataPath(QStringLiteral("llama.cpp/stale.txt"))));
        QCOMPARE(outcome.success, false);
        QCOMPARE(outcome.message, failure);
        if (failure.startsWith(QStringLiteral("Clone incomplete")))
            QVERIFY(!QFileInfo::exists(dataPath(QStringLiteral("llama.cpp/build"))));
        if (failure == QStringLiteral("CMake configuration failed"))
            QVERIFY(log.contains(QStringLiteral("no compiler today")));
    }

    // A machine without CMake: the source build fetches one, once, and builds with it.
    void localCMakeInstalledOnceAndReused()
    {
        TempHome home;
        LogCapture log;
        LlamaCPPManager engine;
        LlamaInstaller installer(engine);
        installer.setSourceHost(m_server->baseUrl());
        installer.setCMakeCandidates({QStringLiteral("/nonexistent/cmake")});
        installer.setWhichProgram(QStringLiteral("/nonexistent/which"));
        const QString archiveRequest = QStringLiteral("GET /Kitware/CMake/releases/download/v3.27.7/") + LlamaInstaller::cmakeArchiveName();

        for (int run = 0; run < 2; ++run) {
            InstallOutcome outcome;
            installer.buildLlamaCPPFromSource(outcome.completion());
            QVERIFY(waitUntil([&] { return outcome.calls > 0; }, 120000));
            QVERIFY2(outcome.success == true, qPrintable(outcome.message.value_or(QString()) + log.lines().join(u'\n')));
            QVERIFY(QFileInfo(dataPath(QStringLiteral("llama.cpp/build/bin/llama-completion"))).isExecutable());
        }
        QCOMPARE(engine.llamaCPPInstallStatus(), QStringLiteral("Installation complete!"));
        QCOMPARE(engine.llamaCPPInstallProgress(), 1.0);
        struct stat compatibility {};
        QCOMPARE(::stat(QFile::encodeName(dataPath(QStringLiteral("llama.cpp/main"))).constData(), &compatibility), 0);
        QCOMPARE(compatibility.st_mode & 07777, 0755u);
        QCOMPARE(log.count(QStringLiteral("✓ CMake installed locally")), 2);
        QCOMPARE(log.count(QStringLiteral("CMake already installed locally at: ") + dataPath(QStringLiteral("cmake/bin/cmake"))), 1);
        QCOMPARE(m_server->accessLog().count(archiveRequest), 1);
        QCOMPARE(folderEntries(paths::dataDirectory()), (QStringList{QStringLiteral("cmake"), QStringLiteral("llama.cpp")}));

        installer.setSourceHost(m_server->baseUrl() + QStringLiteral("/nothing-here"));
        QTemporaryDir base;
        QCOMPARE(installer.installCMakeLocally(base.path()), std::nullopt);
        QVERIFY(log.contains(QStringLiteral("CMake download error: HTTP 404")));
        QCOMPARE(folderEntries(base.path()), QStringList());
    }

    void quittingStopsTheBuild()
    {
        TempHome home;
        QTemporaryDir host;
        // Unique to this run, so that another suite running beside it is not seen.
        const QByteArray sleeper = "sleep 313." + QByteArray::number(QCoreApplication::applicationPid());
        QVERIFY(makeSourceRepository(host.path(), {{QStringLiteral("CMakeLists.txt"),
                                                    "cmake_minimum_required(VERSION 3.13)\nproject(slow NONE)\n"
                                                    "add_custom_target(slow ALL COMMAND " + sleeper + ")\n"},
                                                   {QStringLiteral("src/.keep"), ""}}));
        LlamaCPPManager engine;
        LlamaInstaller installer(engine);
        installer.setSourceHost(QStringLiteral("file://") + host.path());
        InstallOutcome outcome;
        installer.buildLlamaCPPFromSource(outcome.completion());
        QVERIFY(waitUntil([&] { return processesWith(sleeper) > 0; }, 60000));

        installer.applicationWillTerminate();
        QVERIFY(waitUntil([&] { return outcome.calls > 0; }, 10000));
        QCOMPARE(outcome.message, QStringLiteral("Build failed"));
        // The build tool's own children went with it.
        QVERIFY(waitUntil([&] { return processesWith(sleeper) == 0; }, 5000));
        InstallOutcome later;
        installer.installPrebuiltLlamaCPP(later.completion());
        QVERIFY(waitUntil([&] { return later.calls > 0; }));
        QCOMPARE(later.success, false);
    }

private:
    QTemporaryDir m_served;
    std::unique_ptr<NginxServer> m_server;
    QString m_noSources; // a source host without any repository
};

QTEST_GUILESS_MAIN(TestInstaller)
#include "tst_installer.moc"
