#include "provisioning/install_progress.h"

#include "platform/logging.h"

#include <QRegularExpression>

#include <algorithm>
#include <chrono>

namespace install_progress {

namespace {

constexpr qsizetype kTailBytes = 4096;
constexpr double kTimeUpdateInterval = 3.0;

} // namespace

double steadySeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::optional<double> cloneProgressForLine(QStringView line)
{
    static const QRegularExpression percent(QStringLiteral("(\\d+)%"));
    const QRegularExpressionMatch match = percent.match(line.toString());
    if (!match.hasMatch())
        return std::nullopt;
    const double p = match.capturedView(1).toDouble();
    double overall;
    if (line.contains(u"Counting objects"))
        overall = p * 0.1;
    else if (line.contains(u"Compressing objects"))
        overall = 10 + p * 0.1;
    else if (line.contains(u"Receiving objects"))
        overall = 20 + p * 0.7;
    else if (line.contains(u"Resolving deltas"))
        overall = 90 + p * 0.1;
    else
        return std::nullopt;
    // Capped so that rounding never lifts it above the value the clone's end sets.
    return std::min(overall / 100.0 * 0.92 + 0.02, 0.94);
}

double cloneProgressForElapsed(double seconds)
{
    return std::min(seconds / 420.0 * 0.92 + 0.02, 0.94);
}

std::optional<double> buildProgressForLine(QStringView line)
{
    static const QRegularExpression counter(QStringLiteral("\\[(\\d+)/(\\d+)\\]"));
    const QRegularExpressionMatch match = counter.match(line.toString());
    if (!match.hasMatch())
        return std::nullopt;
    const double total = match.capturedView(2).toDouble();
    if (total <= 0)
        return std::nullopt;
    return std::min(match.capturedView(1).toDouble() / total * 0.03 + 0.96, 0.99);
}

double buildProgressForElapsed(double seconds)
{
    return std::min(seconds / 300.0 * 0.03 + 0.96, 0.99);
}

OutputWatcher::OutputWatcher(const char *logPrefix, LineProgress lineProgress, ElapsedProgress elapsedProgress,
                             Clock clock, std::function<void(double)> report)
    : m_logPrefix(logPrefix), m_lineProgress(lineProgress), m_elapsedProgress(elapsedProgress),
      m_clock(clock ? std::move(clock) : Clock(steadySeconds)), m_report(std::move(report))
{
    m_start = m_lastTimeUpdate = m_clock();
}

void OutputWatcher::feed(const QByteArray &chunk)
{
    m_tail += chunk;
    if (m_tail.size() > kTailBytes)
        m_tail = m_tail.right(kTailBytes);
    qsizetype from = 0;
    for (qsizetype i = 0; i < chunk.size(); ++i) {
        if (chunk[i] != '\n' && chunk[i] != '\r')
            continue;
        m_partial += chunk.mid(from, i - from);
        takeLine(m_partial);
        m_partial.clear();
        from = i + 1;
    }
    m_partial += chunk.mid(from);
}

void OutputWatcher::tick()
{
    const double now = m_clock();
    if (now - m_lastTimeUpdate < kTimeUpdateInterval)
        return;
    m_lastTimeUpdate = now;
    m_report(m_elapsedProgress(now - m_start));
}

void OutputWatcher::finish()
{
    takeLine(m_partial);
    m_partial.clear();
}

void OutputWatcher::takeLine(const QByteArray &bytes)
{
    const QString line = QString::fromUtf8(bytes).trimmed();
    if (line.isEmpty())
        return;
    qCInfo(lcLlamaCPP, "%s %s", m_logPrefix, qPrintable(line));
    if (const auto progress = m_lineProgress(line))
        m_report(*progress);
}

} // namespace install_progress
