#include "common/nginx_server.h"
#include "common/test_support.h"
#include "models/download_transfer.h"
#include "models/model_download_manager.h"

#include <QDateTime>
#include <QDir>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>
#include <QThread>


using Result = ModelDownloadManager::DownloadResult;

namespace {

constexpr qint64 kMiB = 1024 * 1024;
constexpr qint64 kMidSize = 24 * kMiB;

void writeSeededFile(const QString &path, quint32 seed)
{
    QByteArray bytes(kMidSize, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size());
}

qint64 fileSize(const QString &path) { return QFileInfo(path).size(); }

// What a download reported, and whether every report came on the main thread.
struct Recorder {
    struct Report { double progress; qint64 written, expected; double speed; };
    QList<Report> reports;
    QList<Result> results;
    bool offMainThread = false;

    void note() { offMainThread |= QThread::currentThread() != qApp->thread(); }
    ModelDownloadManager::DownloadProgressHandler progress()
    {
        return [this](double p, qint64 w, qint64 e, double s) { note(), reports.append({p, w, e, s}); };
    }
    ModelDownloadManager::DownloadCompletionHandler completion()
    {
        return [this](const Result &r) { note(), results.append(r); };
    }
    bool finished(int ms = 120000) { return waitUntil([this] { return !results.isEmpty(); }, ms); }
};

enum class Interruption { Refused, Drop, Gone, Quit, Cancel, Discard };
enum class Tamper { None, RemovePartial, ExtendPartial, ReplaceServedFile };

} // namespace

Q_DECLARE_METATYPE(Interruption)
Q_DECLARE_METATYPE(Tamper)

class TestDownloadManager : public QObject {
    Q_OBJECT

    QTemporaryDir m_served;
    std::unique_ptr<NginxServer> m_server;

    QString served(const QString &name) const { return m_served.filePath(name); }
    QString url(const QString &path) const { return m_server->baseUrl() + path; }
    QString lastRequest(const QString &path) const
    {
        const QStringList lines = m_server->accessLog().split(QLatin1Char('\n'));
        for (auto it = lines.crbegin(); it != lines.crend(); ++it)
            if (it->startsWith(QStringLiteral("GET ") + path + QLatin1Char(' ')))
                return *it;
        return {};
    }

private slots:
    void initTestCase()
    {
        writeSeededFile(served("mid.bin"), 2);
        const QString root = m_served.path();
        // /slow/ and /norange/ hold back a first request, so that a test can interrupt it; /drop/ loses the connection
        // after every 8 MB; /gone/ loses it after 8 MB and then closes every request; /part/ answers 206 to all.
        const QString locations = QStringLiteral(
            "location /slow/ { alias %1/; if ($http_range = \"\") { set $limit_rate 8m; } }\n"
            "location /norange/ { alias %1/; max_ranges 0; if ($http_range = \"\") { set $limit_rate 8m; } }\n"
            "location /stall/ { alias %1/; limit_rate_after 8m; limit_rate 1; }\n"
            "location ~ ^/drop/(.*)$ { proxy_pass http://127.0.0.1:$server_port/stall/$1;\n"
            "    proxy_read_timeout 300ms; proxy_buffering off; }\n"
            "location ~ ^/gone/(.*)$ { if ($http_range != \"\") { return 444; }\n"
            "    proxy_pass http://127.0.0.1:$server_port/stall/$1; proxy_read_timeout 300ms; proxy_buffering off; }\n"
            "location = /moved-slow { return 302 /slow/mid.bin; }\n"
            "location = /to-file { return 302 file://%1/mid.bin; }\n"
            "location ~ ^/part/(.*)$ { proxy_pass http://127.0.0.1:$server_port/$1; proxy_set_header Range bytes=0-; }\n");
        m_server = std::make_unique<NginxServer>(root, locations.arg(root));
        QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    }

    void interruptedDownloadContinues_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<Interruption>("interruption");
        QTest::addColumn<Tamper>("tamper");
        // how the last request of the path shows in the access log; for a refused answer, the failure or HTTP status
        QTest::addColumn<QString>("resumedRequest");
        const QString continued = QStringLiteral(" 206 \\d+ range=\\[bytes=\\d+-\\]");
        const QString restarted = QStringLiteral(" 200 \\d+ range=\\[bytes=\\d+-\\]");
        const QString fresh = QStringLiteral(" 200 \\d+ range=\\[\\]");
        const auto row = [](const char *name, const QString &path, Interruption interruption, Tamper tamper,
                            const QString &resumed) { QTest::newRow(name) << path << interruption << tamper << resumed; };
        row("redirect to a local file", "/to-file", Interruption::Refused, Tamper::None, "302");
        row("link to a local file", "file://" + served("mid.bin"), Interruption::Refused, Tamper::None,
            "The link did not lead to an HTTP server.");
        row("206 to a request without Range", "/part/mid.bin", Interruption::Refused, Tamper::None,
            "The server sent part of the file when the whole file was asked for.");
        row("connection dropped", "/drop/mid.bin", Interruption::Drop, Tamper::None, continued);
        row("connection lost for good", "/gone/mid.bin", Interruption::Gone, Tamper::None, QString());
        row("canceled keeping resume data", "/slow/mid.bin", Interruption::Cancel, Tamper::None, continued);
        row("canceled discarding resume data", "/slow/mid.bin", Interruption::Discard, Tamper::None, QString());
        row("application quit, redirected", "/moved-slow", Interruption::Quit, Tamper::None, continued);
        row("server ignores Range", "/norange/mid.bin", Interruption::Quit, Tamper::None, restarted);
        row("file replaced on the server", "/slow/changing.bin", Interruption::Quit, Tamper::ReplaceServedFile,
            restarted);
        row("partial file missing", "/slow/mid.bin", Interruption::Quit, Tamper::RemovePartial, fresh);
        row("partial file too long", "/slow/mid.bin", Interruption::Quit, Tamper::ExtendPartial, fresh);
    }

    void interruptedDownloadContinues()
    {
        QFETCH(QString, path);
        QFETCH(Interruption, interruption);
        QFETCH(Tamper, tamper);
        QFETCH(QString, resumedRequest);
        const QString servedPath = path == QStringLiteral("/moved-slow") ? QStringLiteral("/slow/mid.bin") : path;
        const QString servedFile = served(servedPath.section(QLatin1Char('/'), -1));
        if (tamper == Tamper::ReplaceServedFile) {
            writeSeededFile(servedFile, 3);
            QFile f(servedFile);
            QVERIFY(f.open(QIODevice::ReadWrite)
                    && f.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
        }
        TempHome home;
        LogCapture log;
        const QUuid id = QUuid::createUuid();
        auto manager = std::make_unique<ModelDownloadManager>();
        const QString resume = manager->resumeDataDirectory() + u'/' + canonicalUuid(id) + ".resume";
        const QString partial = manager->resumeDataDirectory() + u'/' + canonicalUuid(id) + ".partial";
        Recorder first;

        // a lost connection continues at once, replacing an older file of the same name
        const QString destination = manager->modelsDirectory() + QLatin1Char('/') + canonicalUuid(id) + ".gguf";
        home.writeFile(QDir(home.home()).relativeFilePath(destination), "an older file");
        const QUrl link(path.startsWith(u'/') ? url(path) : path);
        manager->downloadModel(link, id, first.progress(), first.completion());
        if (interruption == Interruption::Refused) { // fails at once, and leaves nothing
            QVERIFY(first.finished(30000));
            const int status = resumedRequest.toInt();
            QVERIFY(first.results[0].error
                    == (status ? QuorvaneError::httpError(status) : QuorvaneError::downloadFailed(resumedRequest)));
            const QString said = QStringLiteral("Download returned HTTP %1 for model ").arg(status) + canonicalUuid(id);
            QVERIFY(!status || log.contains(said));
            manager->drainQueues();
            QCOMPARE(readFileBytes(destination), QByteArray("an older file"));
            QCOMPARE(folderEntries(manager->resumeDataDirectory()), QStringList());
            return;
        }
        if (interruption == Interruption::Gone) { // one answer with a body, then every attempt to continue closed
            QVERIFY(first.finished());
            QVERIFY(first.results[0].error && first.results[0].error->kind() == QuorvaneError::Kind::DownloadFailed);
            // (Qt itself sends a request again once when a kept-alive connection closes)
            QVERIFY(m_server->accessLog().count("GET /gone/mid.bin 444 0 range=[bytes=")
                    >= DownloadTransfer::kMaxAttemptsWithoutProgress);
            manager->drainQueues();
            QVERIFY(QFileInfo::exists(resume) && fileSize(partial) > 0);
            return;
        }
        if (interruption == Interruption::Drop) {
            QVERIFY(first.finished());
            QCOMPARE(first.results[0].filePath.value_or(QString()), destination);
            QVERIFY(readFileBytes(destination) == readFileBytes(servedFile));
            QVERIFY(!first.reports.isEmpty() && !first.offMainThread);
            QCOMPARE(first.reports.first().expected, kMidSize);
            QVERIFY(first.reports.last().progress > 0.0 && first.reports.last().speed > 0.0);
            QCOMPARE(folderEntries(manager->resumeDataDirectory()), QStringList());
            QVERIFY(QRegularExpression(resumedRequest).match(lastRequest(servedPath)).hasMatch());
            QVERIFY(m_server->accessLog().count("GET " + path + " 206") >= 2);
            return;
        }
        QVERIFY(waitUntil([&] { return QFileInfo::exists(resume) && fileSize(partial) >= 4 * kMiB; }, 30000));
        if (interruption == Interruption::Quit) {
            manager->applicationWillTerminate();
        } else {
            const bool discard = interruption == Interruption::Discard;
            manager->cancelDownload(id, discard);
            const QString said = discard ? "Canceled and discarded download: " : "Saved resume data for canceled download: ";
            QVERIFY(waitUntil([&] { return log.contains(said + canonicalUuid(id)); }));
        }
        manager->drainQueues();
        QTest::qWait(100);
        QVERIFY(first.results.isEmpty());
        if (interruption == Interruption::Discard) {
            QVERIFY(waitUntil([&] { return folderEntries(manager->resumeDataDirectory()).isEmpty(); }));
            return;
        }
        manager.reset();

        const qint64 kept = fileSize(partial);
        QVERIFY(QFileInfo::exists(resume) && kept > 0 && kept < kMidSize);
        if (tamper == Tamper::RemovePartial)
            QVERIFY(QFile::remove(partial));
        if (tamper == Tamper::ExtendPartial)
            home.writeFile(QDir(home.home()).relativeFilePath(partial), QByteArray(kMidSize + 10, 'x'));
        if (tamper == Tamper::ReplaceServedFile)
            writeSeededFile(servedFile, 4); // same size, new time: a new ETag

        manager = std::make_unique<ModelDownloadManager>();
        Recorder later; // what comes for downloads nobody asked for in this run
        manager->setProgressFallback(
            [p = later.progress()](const QUuid &, double a, qint64 b, qint64 c, double d) { p(a, b, c, d); });
        manager->setCompletionFallback([c = later.completion()](const QUuid &, const Result &r) { c(r); });
        AIModel model = AIModel::make(QStringLiteral("Mid"), url(path));
        model.id = id;
        model.downloadProgress = 0.2;
        model.downloadedBytes = kept;
        manager->resumeIncompleteDownloads({model});
        QVERIFY(later.finished());
        QVERIFY(later.results[0].succeeded());
        QVERIFY(readFileBytes(*later.results[0].filePath) == readFileBytes(servedFile));
        QVERIFY(!later.reports.isEmpty() && !later.offMainThread);
        const QRegularExpression resumedLine(resumedRequest);
        QVERIFY2(waitUntil([&] { return resumedLine.match(lastRequest(servedPath)).hasMatch(); }),
                 qPrintable(m_server->accessLog()));
        if (tamper == Tamper::ExtendPartial)
            QVERIFY(m_server->accessLog().contains("GET " + servedPath + " 416"));
        manager->drainQueues();
        QCOMPARE(folderEntries(manager->resumeDataDirectory()), QStringList());
    }

    void onlyUuidNamedResumeFilesLoad()
    {
        TempHome home;
        LogCapture log;
        const QString dir = QStringLiteral(".local/share/Quorvane/ResumeData");
        const QByteArray blob = "{\"url\":\"" + url("/slow/mid.bin").toUtf8() + "\"}";
        AIModel resumed = AIModel::make("Resumed", {}), notStarted = AIModel::make("Not started", {}),
                noBlob = AIModel::make("No blob", {}), done = AIModel::make("Done", {});
        resumed.downloadProgress = noBlob.downloadProgress = done.downloadProgress = 0.5;
        done.isDownloaded = true;
        for (const AIModel &m : {resumed, notStarted, done})
            home.writeFile(dir + '/' + canonicalUuid(m.id) + ".resume", blob);
        const QString other = canonicalUuid(noBlob.id);
        const QStringList junk = {"notes.resume", "1234.resume", other + ".txt", other + ".resume.bak",
                                  "{" + other + "}.resume", "quorvane-notes.gguf", "quorvane-" + other + ".gguf.bak"};
        for (const QString &name : junk)
            home.writeFile(dir + '/' + name, blob);
        // a finished file a crash left behind before its move into Models
        const QString stray = home.writeFile(dir + "/quorvane-" + canonicalUuid(QUuid::createUuid()) + ".gguf", blob);

        ModelDownloadManager manager;
        manager.resumeIncompleteDownloads({resumed, notStarted, noBlob, done});
        manager.cancelDownload(resumed.id, true);
        manager.drainQueues();
        QCOMPARE(log.count("Loaded resume data for model"), 3);
        QVERIFY(log.count("Resuming download for:") == 1 && log.contains("Resuming download for: Resumed"));
        for (const QString &name : junk)
            QVERIFY2(QFileInfo::exists(home.dataDir() + "/ResumeData/" + name), qPrintable(name));
        QVERIFY(!QFileInfo::exists(stray));
    }
};

QTEST_GUILESS_MAIN(TestDownloadManager)

#include "tst_download_manager.moc"
