// The child-process class: output while the child runs, exits and signals,
// launch failures, standard streams, parent death, load, and that nothing
// leaks (descriptors, threads, signals to a reaped child).
#include "common/test_support.h"
#include "platform/child_process.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

using namespace std::chrono_literals;
using Channel = ChildProcess::Channel;
using Mode = ChildProcess::StreamMode;
using Reason = ChildProcess::ExitReason;

// Every kill(2) made by this executable, the class's included, is recorded
// here, so a test can see which process got a signal.
namespace {
std::atomic<pid_t> g_sentTo[8192];
std::atomic<int> g_sentCount{0};

int signalsSentTo(pid_t pid, int from)
{
    int found = 0;
    for (int i = from; i < qMin(g_sentCount.load(), int(std::size(g_sentTo))); ++i)
        found += g_sentTo[i].load() == pid;
    return found;
}
} // namespace

extern "C" int kill(pid_t pid, int sig) noexcept
{
    const int i = g_sentCount.fetch_add(1);
    if (i < int(std::size(g_sentTo)))
        g_sentTo[i] = pid;
    return int(::syscall(SYS_kill, pid, sig));
}

namespace {

const QString kFake = QStringLiteral(FAKE_LLAMA_COMPLETION);

QStringList environmentWithScript(const QString &script)
{
    QStringList env = QProcessEnvironment::systemEnvironment().toStringList();
    env.removeIf([](const QString &entry) { return entry.startsWith(QLatin1String("FAKE_LLAMA_")); });
    return env << QStringLiteral("FAKE_LLAMA_SCRIPT_TEXT=") + script;
}

std::unique_ptr<ChildProcess> fakeRunning(const QString &script, const QStringList &args = {})
{
    auto process = std::make_unique<ChildProcess>(kFake, args);
    process->setEnvironment(environmentWithScript(script));
    return process;
}

// What one output channel delivered, chunk by chunk.
struct Output {
    mutable std::mutex mutex;
    QList<QByteArray> chunks; // an empty chunk marks the end of stream

    void attach(ChildProcess &process, Channel channel)
    {
        process.setOutputCallback(channel, [this](const QByteArray &chunk) {
            std::lock_guard lock(mutex);
            chunks << chunk;
        });
    }
    QByteArray bytes() const
    {
        std::lock_guard lock(mutex);
        return chunks.join();
    }
    bool contains(const QByteArray &text) const { return bytes().contains(text); }
};

QByteArray pattern(qsizetype count)
{
    QByteArray bytes(count, Qt::Uninitialized);
    for (qsizetype i = 0; i < count; ++i)
        bytes[i] = char(i % 251);
    return bytes;
}

int countEntries(const char *dir) { return int(folderEntries(QString::fromLatin1(dir)).size()); }

// Mode of the test executable started as an intermediate process: it starts
// a fake that hangs, prints the fake's pid and waits to be killed.
int spawnGrandchild()
{
    ChildProcess child(kFake, {});
    child.setStandardOutput(Mode::Null);
    child.setStandardError(Mode::Null);
    if (!child.start())
        return 3;
    std::printf("%lld\n", child.processId());
    std::fflush(stdout);
    for (;;)
        ::pause();
}

} // namespace

class TestChildProcess : public QObject {
    Q_OBJECT

private slots:
    void outputArrivesWhileRunning()
    {
        Output out, err;
        auto process = fakeRunning(QStringLiteral("out first\\n\nerr loading model\\n\nsleep 600\n"
                                                  "out \\xF0\\x9F\nsleep 300\nout \\x98\\x80 done\nsleep 300\n"));
        out.attach(*process, Channel::StandardOutput);
        err.attach(*process, Channel::StandardError);
        QVERIFY2(process->start(), qPrintable(process->errorString()));

        QVERIFY(waitUntil([&] { return out.contains("first\n") && err.contains("loading model\n"); }));
        QVERIFY(process->isRunning());
        QVERIFY(!process->atEnd(Channel::StandardOutput));
        // half a character arrives as written, before the rest exists
        QVERIFY(waitUntil([&] { return out.contains("\xF0\x9F"); }));
        QVERIFY(!out.contains("\x98\x80"));

        QVERIFY(process->waitForExit(5000));
        QVERIFY(process->waitForReadEnd(5000));
        QVERIFY(process->atEnd(Channel::StandardOutput) && process->atEnd(Channel::StandardError));
        QCOMPARE(process->exitReason(), Reason::Exit);
        std::lock_guard lock(out.mutex);
        QCOMPARE(out.chunks.join(), QByteArray("first\n\xF0\x9F\x98\x80 done"));
        QCOMPARE(out.chunks.count(QByteArray()), 1);
        QVERIFY(out.chunks.last().isEmpty());
        QVERIFY(process->takeBuffered(Channel::StandardOutput).isEmpty());
    }

    void exitStatus_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("action");
        QTest::addColumn<Reason>("reason");
        QTest::addColumn<int>("status");
        QTest::newRow("exit 0") << "exit 0" << "" << Reason::Exit << 0;
        QTest::newRow("exit 3") << "exit 3" << "" << Reason::Exit << 3;
        QTest::newRow("own SIGHUP") << "signal 1" << "" << Reason::Signal << SIGHUP;
        QTest::newRow("terminate") << "out ready\nhang" << "terminate" << Reason::Signal << SIGTERM;
        QTest::newRow("kill") << "out ready\nhang" << "kill" << Reason::Signal << SIGKILL;
        QTest::newRow("SIGTERM ignored, kill from another thread")
            << "ignore-sigterm\nout ready\nhang" << "terminate, kill" << Reason::Signal << SIGKILL;
    }

    void exitStatus()
    {
        QFETCH(QString, script);
        QFETCH(QString, action);
        QFETCH(Reason, reason);
        QFETCH(int, status);
        Output out;
        auto process = fakeRunning(script);
        out.attach(*process, Channel::StandardOutput);
        QCOMPARE(process->exitReason(), Reason::None);
        QVERIFY(process->start());
        if (!action.isEmpty())
            QVERIFY(waitUntil([&] { return out.contains("ready"); }));
        if (action.startsWith("terminate"))
            process->terminate();
        if (action.endsWith("kill")) {
            QVERIFY(!process->waitForExit(500));
            std::thread([&] { process->kill(); }).join();
        }
        QVERIFY(process->waitForExit(5000));
        QVERIFY(!process->isRunning());
        QCOMPARE(process->exitReason(), reason);
        QCOMPARE(process->exitStatus(), status);
        QVERIFY(process->processId() > 0); // still known after the exit
    }

    // Once reaped, the pid may belong to another process: no signal may go to it.
    void noSignalAfterReap()
    {
        {
            auto hanging = fakeRunning(QStringLiteral("hang")); // the recording sees the class's signals at all
            QVERIFY(hanging->start());
            const int before = g_sentCount;
            hanging->terminate();
            QCOMPARE(signalsSentTo(pid_t(hanging->processId()), before), 1);
            QVERIFY(hanging->waitForExit(5000));
        }
        auto process = fakeRunning(QStringLiteral("exit 0"));
        QVERIFY(process->start());
        const auto pid = pid_t(process->processId());
        QVERIFY(process->waitForExit(5000));
        const int before = g_sentCount;
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&] {
                for (int i = 0; i < 200; ++i) {
                    process->terminate();
                    process->kill();
                }
            });
        for (auto &thread : threads)
            thread.join();
        process.reset(); // nor does the destructor
        QCOMPARE(signalsSentTo(pid, before), 0);
    }

    void launchFailures_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << "missing" << "No such file or directory";
        QTest::newRow("not executable") << "plain file" << "Permission denied";
        QTest::newRow("directory") << "directory" << "Is a directory";
        QTest::newRow("relative") << "relative" << "not an absolute path";
        QTest::newRow("missing working directory") << "bad cwd" << "No such file or directory";
    }

    void launchFailures()
    {
        QFETCH(QString, setup);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        QString program = dir.filePath(QStringLiteral("llama-completion"));
        QString faulty = program; // the path the message must name
        ChildProcess process;
        if (setup == "plain file") {
            QFile file(program);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("#!/bin/sh\n");
        } else if (setup == "directory") {
            program = faulty = dir.path();
        } else if (setup == "relative") {
            program = faulty = QStringLiteral("bin/true");
        } else if (setup == "bad cwd") {
            program = kFake;
            faulty = dir.filePath(QStringLiteral("gone"));
            process.setWorkingDirectory(faulty);
        }
        process.setProgram(program);

        QVERIFY(!process.start());
        QVERIFY2(process.errorString().contains(reason) && process.errorString().contains(faulty),
                 qPrintable(process.errorString()));
        QVERIFY(process.errorNumber() != 0);
        QVERIFY(!process.isRunning());
        QCOMPARE(process.processId(), -1);
        QVERIFY(!process.waitForExit(10));
        process.terminate(); // harmless
    }

    void standardInput_data()
    {
        QTest::addColumn<Mode>("mode");
        QTest::addColumn<QByteArray>("input");
        QTest::newRow("pipe closed at once") << Mode::Pipe << QByteArray();
        QTest::newRow("pipe with more than a pipe holds") << Mode::Pipe << pattern(1 << 20);
        QTest::newRow("null device") << Mode::Null << QByteArray();
    }

    void standardInput()
    {
        QFETCH(Mode, mode);
        QFETCH(QByteArray, input);
        Output out;
        auto process = fakeRunning(QStringLiteral("echo-stdin\nout |end"));
        process->setStandardInput(mode);
        out.attach(*process, Channel::StandardOutput);
        QVERIFY(process->start());
        if (!input.isEmpty())
            QVERIFY(process->writeToStandardInput(input));
        process->closeStandardInput();
        QVERIFY(process->waitForExit(5000)); // a child still waiting for input would not exit
        QVERIFY(process->waitForReadEnd(5000));
        QVERIFY(out.bytes() == input + "|end");
        QVERIFY(!process->writeToStandardInput("late"));
    }

    void writeAfterChildExitedFails()
    {
        auto process = fakeRunning(QStringLiteral("exit 0"));
        process->setStandardInput(Mode::Pipe);
        QVERIFY(process->start());
        QVERIFY(process->waitForExit(5000));
        QVERIFY(!process->writeToStandardInput(pattern(1 << 20))); // an error, not SIGPIPE for us
    }

    void nullAndInheritedOutputs()
    {
        // standard error inherited lands where ours goes: a file here
        QTemporaryDir dir;
        const QString errFile = dir.filePath(QStringLiteral("stderr.txt"));
        const int file = ::open(QFile::encodeName(errFile).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        QVERIFY(file >= 0);
        const int savedErr = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
        ::dup2(file, 2);

        Output out, err;
        auto process = fakeRunning(QStringLiteral("out to null\nerr inherited line\\n\nexit 0"));
        process->setStandardOutput(Mode::Null);
        process->setStandardError(Mode::Inherit);
        out.attach(*process, Channel::StandardOutput);
        err.attach(*process, Channel::StandardError);
        const bool ran = process->start() && process->waitForExit(5000);
        ::dup2(savedErr, 2);
        ::close(savedErr);
        ::close(file);
        QVERIFY(ran);
        QCOMPARE(process->exitStatus(), 0); // writing to a closed stream would fail
        QVERIFY(process->waitForReadEnd(0));
        QVERIFY(out.bytes().isEmpty() && err.bytes().isEmpty());
        QVERIFY(readFileBytes(errFile).contains("inherited line\n"));
    }

    // The child gets the working directory and only the environment it is
    // given, and no descriptor but 0, 1 and 2 (one opened elsewhere without
    // O_CLOEXEC included).
    void childSurroundings()
    {
        QTemporaryDir dir;
        const int stray = ::open("/dev/null", O_RDONLY);
        QVERIFY(stray > 2);
        Output out;
        ChildProcess process(kFake, {});
        process.setWorkingDirectory(dir.path());
        process.setEnvironment({QStringLiteral("FAKE_LLAMA_SCRIPT_TEXT=cwd\nenv ONLY_THIS\nenv HOME\nfds"),
                                QStringLiteral("ONLY_THIS=süß value")});
        process.setStandardInput(Mode::Pipe);
        out.attach(process, Channel::StandardOutput);
        QVERIFY(process.start());
        ::close(stray);
        process.closeStandardInput();
        QVERIFY(process.waitForExit(5000));
        QVERIFY(process.waitForReadEnd(5000));
        QCOMPARE(QString::fromUtf8(out.bytes()),
                 QDir(dir.path()).canonicalPath() + QStringLiteral("\nsüß value\n(unset)\n0 1 2\n"));
    }

    // Started from a thread that blocks SIGTERM and then ends, while the
    // application ignores SIGPIPE: the children outlive the thread (the
    // parent-death signal follows the process, not the thread) and still die
    // of both signals.
    void childStartedFromShortLivedThread()
    {
        struct sigaction ignore {}, previous {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGPIPE, &ignore, &previous);
        const auto restore = qScopeGuard([&] { ::sigaction(SIGPIPE, &previous, nullptr); });

        std::unique_ptr<ChildProcess> hanging, writer;
        std::thread([&] {
            sigset_t term;
            sigemptyset(&term);
            sigaddset(&term, SIGTERM);
            ::pthread_sigmask(SIG_BLOCK, &term, nullptr);
            hanging = fakeRunning(QStringLiteral("hang"));
            writer = fakeRunning(QStringLiteral("bulk out 100000000"));
            hanging->start();
            writer->start();
        }).join();
        writer->stopReading(); // the child writes on into a pipe nobody reads
        std::this_thread::sleep_for(400ms);
        QVERIFY(hanging->isRunning());
        hanging->terminate();
        QVERIFY(hanging->waitForExit(5000) && writer->waitForExit(5000));
        QCOMPARE(hanging->exitReason(), Reason::Signal);
        QCOMPARE(hanging->exitStatus(), SIGTERM);
        QCOMPARE(writer->exitReason(), Reason::Signal);
        QCOMPARE(writer->exitStatus(), SIGPIPE);
    }

    void parentDeathKillsChild()
    {
#if !defined(__linux__)
        QSKIP("parent-death signal is Linux only");
#else
        // orphans come to us, so the grandchild's end can be read
        QCOMPARE(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        const auto restore = qScopeGuard([] { ::prctl(PR_SET_CHILD_SUBREAPER, 0); });

        Output out;
        ChildProcess helper(QCoreApplication::applicationFilePath(), {QStringLiteral("--spawn-grandchild")});
        helper.setEnvironment(environmentWithScript(QStringLiteral("hang")));
        out.attach(helper, Channel::StandardOutput);
        QVERIFY(helper.start());
        QVERIFY(waitUntil([&] { return out.contains("\n"); }));
        const pid_t grandchild = pid_t(out.bytes().trimmed().toLongLong());
        QVERIFY(grandchild > 0);
        QCOMPARE(::kill(grandchild, 0), 0);

        helper.kill();
        QVERIFY(helper.waitForExit(5000));
        int status = 0;
        const bool ended = waitUntil([&] { return ::waitpid(grandchild, &status, WNOHANG) == grandchild; });
        if (!ended) {
            ::kill(grandchild, SIGKILL);
            ::waitpid(grandchild, &status, 0);
        }
        QVERIFY2(ended, "the grandchild outlived its parent");
        QVERIFY(WIFSIGNALED(status));
        QCOMPARE(WTERMSIG(status), SIGKILL);
#endif
    }

    void manyConcurrentProcesses()
    {
        constexpr int kCount = 40;
        std::vector<std::unique_ptr<ChildProcess>> processes(kCount);
        std::vector<Output> outs(kCount), errs(kCount);
        std::atomic<int> failures{0};
        std::vector<std::thread> starters;
        for (int t = 0; t < 4; ++t)
            starters.emplace_back([&, t] {
                for (int i = t; i < kCount; i += 4) {
                    processes[i] = fakeRunning(
                        QStringLiteral("out %1-a\nsleep 50\nerr e%1\nout %1-b\nexit %2").arg(i).arg(i % 7));
                    outs[i].attach(*processes[i], Channel::StandardOutput);
                    errs[i].attach(*processes[i], Channel::StandardError);
                    failures += !processes[i]->start();
                }
            });
        for (auto &starter : starters)
            starter.join();
        QCOMPARE(failures.load(), 0);
        for (int i = 0; i < kCount; ++i) {
            QVERIFY(processes[i]->waitForExit(10000));
            QVERIFY(processes[i]->waitForReadEnd(5000));
            QCOMPARE(processes[i]->exitStatus(), i % 7);
            QCOMPARE(outs[i].bytes(), QStringLiteral("%1-a%1-b").arg(i).toUtf8());
            QCOMPARE(errs[i].bytes(), QStringLiteral("e%1").arg(i).toUtf8());
        }
    }

    void run_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<QString>("expect"); // error, ok, failed, timeout
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");
        QTest::addColumn<bool>("truncated");
        const QStringList none;
        const QByteArray empty;
        QTest::newRow("both outputs") << kFake << none << "out hello\nerr warn\\n" << 5000 << "ok" << 0
                                      << QByteArray("hello") << QByteArray("warn\n") << false;
        QTest::newRow("large, both outputs")
            << kFake << none << "bulk out 6000000\nbulk err 3000000\nbulk out 1000" << 20000 << "ok" << 0
            << pattern(6000000) + pattern(1000) << pattern(3000000) << false;
        QTest::newRow("capped") << kFake << none << "bulk out 20000000" << 20000 << "ok" << 0 << pattern(8388608)
                                << empty << true;
        QTest::newRow("exactly the cap") << kFake << none << "bulk out 8388608" << 20000 << "ok" << 0
                                         << pattern(8388608) << empty << false;
        QTest::newRow("non-zero status") << kFake << none << "out x\nexit 4" << 5000 << "failed" << 4
                                         << QByteArray("x") << empty << false;
        QTest::newRow("timeout") << kFake << none << "out partial\nhang" << 300 << "timeout" << SIGTERM
                                 << QByteArray("partial") << empty << false;
        QTest::newRow("timeout, SIGTERM ignored") << kFake << none << "ignore-sigterm\nhang" << 300 << "timeout"
                                                  << SIGKILL << empty << empty << false;
        QTest::newRow("missing program") << "/nonexistent/tool" << none << "" << 5000 << "error" << -1 << empty
                                         << empty << false;
        QTest::newRow("arguments reach the child")
            << kFake << QStringList{"--version"} << "out generation only" << 5000 << "ok" << 0 << empty
            << QByteArray("version: 0 (fake)\nbuilt with fake toolchain for testing\n") << false;
    }

    void run()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, args);
        QFETCH(QString, script);
        QFETCH(int, timeoutMs);
        QFETCH(QString, expect);
        QFETCH(int, status);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        QFETCH(bool, truncated);
        qputenv("FAKE_LLAMA_SCRIPT_TEXT", script.toUtf8());
        const auto unset = qScopeGuard([] { qunsetenv("FAKE_LLAMA_SCRIPT_TEXT"); });
        const auto began = std::chrono::steady_clock::now();
        const ChildProcess::Result result = ChildProcess::run(program, args, timeoutMs, 8388608, 300);
        const auto took = std::chrono::steady_clock::now() - began;
        if (expect == "error") {
            QVERIFY(!result.started && !result.succeeded());
            QVERIFY2(result.error.contains(program) && result.error.contains("No such file"), qPrintable(result.error));
            return;
        }
        QVERIFY(result.started && result.error.isEmpty());
        QCOMPARE(result.succeeded(), expect == "ok");
        QCOMPARE(result.timedOut, expect == "timeout");
        QCOMPARE(result.reason, expect == "timeout" ? Reason::Signal : Reason::Exit);
        QCOMPARE(result.status, status);
        QCOMPARE(result.standardOutput.size(), out.size());
        QCOMPARE(result.standardError.size(), err.size());
        QVERIFY(result.standardOutput == out); // no QCOMPARE: a mismatch of megabytes would print them all
        QVERIFY(result.standardError == err);
        QCOMPARE(result.outputTruncated, truncated);
        QVERIFY(!result.errorTruncated);
        if (result.timedOut)
            QVERIFY(took < 4s);
    }

    void destroyedFromItsOwnCallback()
    {
        if (!QDir(QStringLiteral("/proc/self/task")).exists())
            QSKIP("needs /proc");
        const int threadsBefore = countEntries("/proc/self/task");
        std::atomic<bool> destroyed{false};
        {
            auto owner = std::make_shared<std::unique_ptr<ChildProcess>>(
                fakeRunning(QStringLiteral("out a\nsleep 200\nout b\nhang")));
            ChildProcess &process = **owner;
            process.setOutputCallback(Channel::StandardOutput, [owner, &destroyed](const QByteArray &chunk) {
                if (chunk == "b") {
                    owner->reset(); // kills and reaps the child from the reader thread
                    destroyed = true;
                }
            });
            QVERIFY(process.start());
        } // only the callback holds the process now
        QVERIFY(waitUntil([&] { return destroyed.load(); }));
        QVERIFY(waitUntil([&] { return countEntries("/proc/self/task") == threadsBefore; }));
    }

    void noDescriptorOrThreadLeaks()
    {
        if (!QDir(QStringLiteral("/proc/self/fd")).exists())
            QSKIP("needs /proc");
        ChildProcess::run(kFake, {QStringLiteral("--version")}, 5000, 1024); // the launcher thread exists from here
        const int fdsBefore = countEntries("/proc/self/fd");
        const int threadsBefore = countEntries("/proc/self/task");

        for (int round = 0; round < 25; ++round) {
            QVERIFY(ChildProcess::run(kFake, {QStringLiteral("--version")}, 5000, 1024).succeeded());
            QVERIFY(!ChildProcess::run(QStringLiteral("/nonexistent/x"), {}, 5000, 1024).started);
            ChildProcess badCwd(kFake, {});
            badCwd.setWorkingDirectory(QStringLiteral("/nonexistent"));
            QVERIFY(!badCwd.start());

            auto hanging = fakeRunning(QStringLiteral("hang"));
            hanging->setStandardInput(Mode::Pipe);
            QVERIFY(hanging->start());
            if (round % 2) {
                hanging->kill();
                QVERIFY(hanging->waitForExit(5000));
            }
            hanging.reset(); // still running on even rounds: the destructor ends it
        }
        QVERIFY(waitUntil([&] { return countEntries("/proc/self/task") == threadsBefore; }));
        QCOMPARE(countEntries("/proc/self/fd"), fdsBefore);
    }
};

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--spawn-grandchild") == 0)
        return spawnGrandchild();
    QCoreApplication app(argc, argv);
    TestChildProcess test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_child_process.moc"
