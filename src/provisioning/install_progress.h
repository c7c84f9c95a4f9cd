#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <functional>
#include <optional>

// How the output of the clone and of the build moves the installation's
// progress bar. Both watchers map lines that carry a percentage or a step
// counter, and the time since the step began, to a progress value; a value
// is only ever reported upwards by the caller.
namespace install_progress {

// Monotonic seconds; tests put in a clock of their own.
using Clock = std::function<double()>;
double steadySeconds();

// "Receiving objects:  50% (…)" and the other three git phases; nullopt for
// lines without a phase or a percentage.
std::optional<double> cloneProgressForLine(QStringView line);
double cloneProgressForElapsed(double seconds);
// "[12/345] Building …" step counters.
std::optional<double> buildProgressForLine(QStringView line);
double buildProgressForElapsed(double seconds);

// Cuts a program's output into lines (at \n or \r: git redraws its
// progress with \r), logs each, reports the progress that lines carry, and
// on tick() the time-based progress at most every 3 seconds.
class OutputWatcher {
public:
    using LineProgress = std::optional<double> (*)(QStringView);
    using ElapsedProgress = double (*)(double);

    OutputWatcher(const char *logPrefix, LineProgress lineProgress, ElapsedProgress elapsedProgress, Clock clock,
                  std::function<void(double)> report);

    void feed(const QByteArray &chunk); // any thread, one at a time
    void tick();                        // the watcher's 0.5 s round
    void finish();                      // the last line without a line break
    // The most recent output, for error messages.
    const QByteArray &tail() const { return m_tail; }

private:
    void takeLine(const QByteArray &line);

    const char *m_logPrefix; // "Git:", "Build:"
    LineProgress m_lineProgress;
    ElapsedProgress m_elapsedProgress;
    Clock m_clock;
    std::function<void(double)> m_report;
    double m_start;
    double m_lastTimeUpdate;
    QByteArray m_partial;
    QByteArray m_tail;
};

} // namespace install_progress
