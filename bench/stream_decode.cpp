// Times the engine's streaming path for a program's standard output (a
// ChildProcess whose callback feeds Utf8StreamDecoder and appends the text,
// as a generation run does) against a plain read of the same pipe (a
// callback that only counts bytes), for 4 MB and 16 MB of mixed UTF-8
// written in chunks of random sizes.
#include "utf8_mix.h"

#include "engine/generation_run.h"
#include "platform/child_process.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <mutex>
#include <vector>

#ifndef QUORVANE_UTF8_WRITER
#error "QUORVANE_UTF8_WRITER must name the writer program"
#endif

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint64_t kSeed = 20240611;

// Time from the first chunk to the end of the stream, as the reader thread
// sees it.
struct Window {
    Clock::time_point first{};
    Clock::time_point end{};
    bool started = false;
    void mark(bool atEnd)
    {
        const auto now = Clock::now();
        if (!started) {
            first = now;
            started = true;
        }
        if (atEnd)
            end = now;
    }
    double ms() const { return std::chrono::duration<double, std::milli>(end - first).count(); }
};

// What a generation run keeps of standard output: the time of the last
// activity and the decoded text, each under its lock.
struct StreamedOutput {
    std::mutex activityLock;
    Clock::time_point lastActivity;
    std::mutex outputLock;
    Utf8StreamDecoder decoder;
    QString text;

    QString add(const QByteArray &chunk)
    {
        {
            std::lock_guard lock(activityLock);
            lastActivity = Clock::now();
        }
        std::lock_guard lock(outputLock);
        const QString piece = decoder.decode(chunk);
        text += piece;
        return piece;
    }
};

void runWriter(ChildProcess &process, long long bytes)
{
    process.setProgram(QStringLiteral(QUORVANE_UTF8_WRITER));
    process.setArguments({QString::number(bytes), QString::number(kSeed)});
    process.setStandardError(ChildProcess::StreamMode::Inherit);
    if (!process.start())
        qFatal("cannot start the writer: %s", qPrintable(process.errorString()));
    process.waitForExit();
    if (!process.waitForReadEnd(60000))
        qFatal("the writer's output did not end");
    if (process.exitReason() != ChildProcess::ExitReason::Exit || process.exitStatus() != 0)
        qFatal("the writer failed (status %d)", process.exitStatus());
}

double rawRead(long long bytes)
{
    Window window;
    long long seen = 0;
    ChildProcess process;
    process.setOutputCallback(ChildProcess::Channel::StandardOutput, [&](const QByteArray &chunk) {
        seen += chunk.size();
        window.mark(chunk.isEmpty());
    });
    runWriter(process, bytes);
    if (seen != bytes)
        qFatal("raw read saw %lld bytes, expected %lld", seen, bytes);
    return window.ms();
}

double decodedRead(const utf8mix::Text &expected, bool checkText)
{
    Window window;
    StreamedOutput output;
    long long pieces = 0;
    ChildProcess process;
    process.setOutputCallback(ChildProcess::Channel::StandardOutput, [&](const QByteArray &chunk) {
        if (!chunk.isEmpty() && !output.add(chunk).isEmpty())
            ++pieces;
        window.mark(chunk.isEmpty());
    });
    runWriter(process, qint64(expected.bytes.size()));

    const QString &text = output.text;
    if (text.size() != expected.utf16Units)
        qFatal("decoded %lld UTF-16 units, expected %lld", qint64(text.size()), expected.utf16Units);
    if (checkText) {
        const long long codePoints = text.size() - std::count_if(text.cbegin(), text.cend(),
                                                                 [](QChar c) { return c.isLowSurrogate(); });
        if (codePoints != expected.codePoints)
            qFatal("decoded %lld characters, expected %lld", codePoints, expected.codePoints);
        const QByteArray back = text.toUtf8();
        if (back.size() != qsizetype(expected.bytes.size())
            || std::memcmp(back.constData(), expected.bytes.data(), expected.bytes.size()) != 0)
            qFatal("the decoded text differs from what was written");
        if (pieces == 0)
            qFatal("no text came out of the decoder");
    }
    return window.ms();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Timing {
    double decodeMs;
    double rawMs;
};

// Alternates the two readers, starting with each in turn.
Timing measure(long long bytes, int rounds)
{
    const utf8mix::Text expected = utf8mix::generate(bytes, kSeed);
    decodedRead(expected, true); // checks the text, warms the caches
    rawRead(bytes);
    std::vector<double> decode, raw;
    for (int r = 0; r < rounds; ++r) {
        if (r % 2 == 0) {
            raw.push_back(rawRead(bytes));
            decode.push_back(decodedRead(expected, false));
        } else {
            decode.push_back(decodedRead(expected, false));
            raw.push_back(rawRead(bytes));
        }
    }
    return {median(decode), median(raw)};
}

double megabytesPerSecond(long long bytes, double ms) { return double(bytes) / (1024.0 * 1024.0) / (ms / 1000.0); }

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (!qEnvironmentVariableIsSet("QUORVANE_BENCH_LOG"))
        QLoggingCategory::setFilterRules(QStringLiteral("com.quorvane.*=false"));
    constexpr long long small = 4LL * 1024 * 1024;
    constexpr long long large = 16LL * 1024 * 1024;
    constexpr int rounds = 11;

    const Timing ts = measure(small, rounds);
    const Timing tl = measure(large, rounds);

    std::printf("figure decode_4MB_ms: %.1f (%.0f MB/s; raw read %.1f ms, %.0f MB/s)\n", ts.decodeMs,
                megabytesPerSecond(small, ts.decodeMs), ts.rawMs, megabytesPerSecond(small, ts.rawMs));
    std::printf("figure decode_16MB_ms: %.1f (%.0f MB/s; raw read %.1f ms, %.0f MB/s)\n", tl.decodeMs,
                megabytesPerSecond(large, tl.decodeMs), tl.rawMs, megabytesPerSecond(large, tl.rawMs));
    // Four times the bytes should take at most about four times as long;
    // 1.0 is linear.
    std::printf("ratio growth_4MB_to_16MB_vs_linear: %.2f (goal <= 1.2)\n", tl.decodeMs / ts.decodeMs / 4.0);
    // Throughput of the decoding path against the plain read: 1.0 would be
    // as fast as the pipe.
    std::printf("ratio decode_vs_raw_read: %.2f (goal >= 0.33)\n", tl.rawMs / tl.decodeMs);
    return 0;
}
