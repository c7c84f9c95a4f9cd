// Times start-up (building AppState) against a plain read of the same bytes,
// for 1,000 conversations of 50 messages and 10,000 conversations of 5.
#include "app/app_state.h"
#include "conversation_home.h"
#include "engine/llama_cpp_manager.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// Reads every file of the store into memory, as a lower bound.
qint64 rawRead(const QString &home)
{
    const QString dir = home + QStringLiteral("/.local/share/Quorvane/Sessions");
    qint64 total = 0;
    const QStringList names = QDir(dir).entryList(QDir::Files);
    for (const QString &name : names) {
        QFile f(dir + QLatin1Char('/') + name);
        if (f.open(QIODevice::ReadOnly))
            total += f.readAll().size();
    }
    return total;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Timing {
    double startupMs;
    double rawMs;
    int sessions;
};

Timing measure(LlamaCPPManager &engine, const Prepared &p, int rounds)
{
    pointAt(p.home);
    std::vector<double> startup, raw;
    int loaded = 0;
    rawRead(p.home); // warm the page cache for both
    for (int r = 0; r < rounds; ++r) {
        QElapsedTimer t;
        t.start();
        const qint64 bytes = rawRead(p.home);
        raw.push_back(t.nsecsElapsed() / 1e6);
        if (bytes != p.bytes)
            qFatal("raw read saw %lld bytes, expected %lld", bytes, p.bytes);

        t.restart();
        {
            AppState state(engine);
            loaded = state.chatSessionCount();
        }
        startup.push_back(t.nsecsElapsed() / 1e6);
    }
    if (loaded != p.files)
        qFatal("start-up loaded %d conversations, expected %d", loaded, p.files);
    return {median(startup), median(raw), loaded};
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (!qEnvironmentVariableIsSet("QUORVANE_BENCH_LOG"))
        QLoggingCategory::setFilterRules(QStringLiteral("com.quorvane.*=false"));
    QTemporaryDir small, large;
    const Prepared a = prepare(small.path(), 1000, 50);
    const Prepared b = prepare(large.path(), 10000, 5);
    LlamaCPPManager engine;

    const Timing ta = measure(engine, a, 5);
    const Timing tb = measure(engine, b, 5);

    std::printf("figure startup_1000x50_ms: %.1f (raw read %.1f ms, %lld bytes, %d files)\n", ta.startupMs, ta.rawMs,
                a.bytes, a.files);
    std::printf("figure startup_10000x5_ms: %.1f (raw read %.1f ms, %lld bytes, %d files)\n", tb.startupMs, tb.rawMs,
                b.bytes, b.files);
    // Growth: the large set has ten times the conversations (and about the
    // same bytes). Linear growth in the number of conversations would make
    // it take up to ten times as long; the ratio below is the time taken
    // against that, so 1.0 is linear and less is better.
    const double timeGrowth = tb.startupMs / ta.startupMs;
    std::printf("figure growth_time_10000x5_vs_1000x50: %.2f (conversations x%.0f, bytes x%.2f)\n", timeGrowth,
                double(b.files) / a.files, double(b.bytes) / a.bytes);
    std::printf("ratio growth_vs_linear: %.2f (goal <= 1.0)\n", timeGrowth / (double(b.files) / a.files));
    std::printf("ratio startup_vs_raw_read_1000x50: %.2f (goal <= 3)\n", ta.startupMs / ta.rawMs);
    std::printf("ratio startup_vs_raw_read_10000x5: %.2f (goal <= 3)\n", tb.startupMs / tb.rawMs);
    return 0;
}
