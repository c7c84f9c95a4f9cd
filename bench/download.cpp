// Times the download of a 1 GB file from a loopback nginx through
// ModelDownloadManager against `curl -o` on the same file, alternating the
// two, and watches how much the process's resident memory grows while the
// manager downloads.
#include "models/model_download_manager.h"
#include "common/nginx_server.h"
#include "common/test_support.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr qint64 kFileSize = 1024LL * 1024 * 1024;
constexpr int kRounds = 3;
constexpr double kMB = 1024.0 * 1024.0;

void writeRandomFile(const QString &path, qint64 size)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    std::vector<quint64> block(1 << 19); // 4 MB
    quint64 state = 0x5eed5eed5eedULL;
    for (qint64 done = 0; done < size;) {
        for (quint64 &v : block) { // splitmix64
            quint64 z = (state += 0x9e3779b97f4a7c15ULL);
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            v = z ^ (z >> 31);
        }
        const qint64 n = std::min<qint64>(size - done, qint64(block.size() * sizeof(quint64)));
        if (f.write(reinterpret_cast<const char *>(block.data()), n) != n)
            qFatal("cannot write %s", qPrintable(path));
        done += n;
    }
}

// Resident memory of this process in MB.
double residentMB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return 0;
}

double curlSeconds(const QString &curl, const QString &url, const QString &out)
{
    QProcess p;
    QElapsedTimer clock;
    clock.start();
    p.start(curl, {QStringLiteral("-s"), QStringLiteral("-S"), QStringLiteral("-f"), QStringLiteral("-o"), out, url});
    if (!p.waitForFinished(600000) || p.exitCode() != 0)
        qFatal("curl failed: %s", p.readAllStandardError().constData());
    const double s = clock.nsecsElapsed() / 1e9;
    if (QFileInfo(out).size() != kFileSize)
        qFatal("curl wrote %lld bytes", QFileInfo(out).size());
    QFile::remove(out);
    return s;
}

struct ManagerRun {
    double seconds = 0;
    double rssGrowthMB = 0;
};

ManagerRun managerRun(ModelDownloadManager &manager, const QString &url)
{
    const double before = residentMB();
    double peak = before;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] { peak = std::max(peak, residentMB()); });
    sampler.start(10);

    std::optional<ModelDownloadManager::DownloadResult> result;
    QElapsedTimer clock;
    clock.start();
    manager.downloadModel(QUrl(url), QUuid::createUuid(), [](double, qint64, qint64, double) {},
                          [&](const ModelDownloadManager::DownloadResult &r) { result = r; });
    if (!waitUntil([&] { return result.has_value(); }, 600000) || !result->succeeded())
        qFatal("the manager's download failed: %s",
               result && result->error ? qPrintable(result->error->description()) : "no answer");
    const double s = clock.nsecsElapsed() / 1e9;
    sampler.stop();
    peak = std::max(peak, residentMB());
    if (QFileInfo(*result->filePath).size() != kFileSize)
        qFatal("the manager wrote %lld bytes", QFileInfo(*result->filePath).size());
    QFile::remove(*result->filePath);
    return {s, peak - before};
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (!qEnvironmentVariableIsSet("QUORVANE_BENCH_LOG"))
        QLoggingCategory::setFilterRules(QStringLiteral("com.quorvane.*=false"));
    const QString curl = QStandardPaths::findExecutable(QStringLiteral("curl"));
    if (curl.isEmpty())
        qFatal("curl is not installed");

    TempHome home; // the manager's data folder is a temporary one
    QTemporaryDir served;
    writeRandomFile(served.filePath(QStringLiteral("big.bin")), kFileSize);
    NginxServer server(served.path());
    if (!server.start())
        qFatal("%s", qPrintable(server.errorString()));
    const QString url = server.baseUrl() + QStringLiteral("/big.bin");
    const QString curlOut = home.home() + QStringLiteral("/curl.bin");

    ModelDownloadManager manager;
    manager.drainQueues();
    curlSeconds(curl, url, curlOut); // warms the server and the page cache

    std::vector<double> curlTimes, managerTimes, growth;
    for (int r = 0; r < kRounds; ++r) {
        if (r % 2 == 0)
            curlTimes.push_back(curlSeconds(curl, url, curlOut));
        const ManagerRun run = managerRun(manager, url);
        managerTimes.push_back(run.seconds);
        growth.push_back(run.rssGrowthMB);
        if (r % 2 == 1)
            curlTimes.push_back(curlSeconds(curl, url, curlOut));
    }
    const double managerS = median(managerTimes);
    const double curlS = median(curlTimes);
    std::printf("figure manager_MBps: %.0f (curl %.0f MB/s)\n", kFileSize / kMB / managerS, kFileSize / kMB / curlS);
    std::printf("ratio rss_growth_MB: %.1f (goal < 30)\n", *std::max_element(growth.begin(), growth.end()));
    // Throughput of the manager against curl on the same file: 1.0 is as
    // fast as curl.
    std::printf("ratio throughput_vs_curl: %.2f (goal >= 0.9)\n", curlS / managerS);
    return 0;
}
