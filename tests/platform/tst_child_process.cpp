// The child-process class: exits and signals, launch failures, what the
// child gets, parent death, and that nothing leaks.
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

#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/prctl.h>
#include <unistd.h>

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

const QString kFake = QStringLiteral(FAKE_LLAMA_COMPLETION);

QStringList environmentWithScript(const QString &script)
{
    QStringList env = QProcessEnvironment::systemEnvironment().toStringList();
    env.removeIf([](const QString &entry) { return entry.startsWith(QLatin1String("FAKE_LLAMA_")); });
    return env << QStringLiteral("FAKE_LLAMA_SCRIPT_TEXT=") + script;
}

std::unique_ptr<ChildProcess> fakeRunning(const QString &script)
{
    auto process = std::make_unique<ChildProcess>(kFake, QStringList());
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

extern "C" int kill(pid_t pid, int sig) noexcept
{
    const int i = g_sentCount.fetch_add(1);
    if (i < int(std::size(g_sentTo)))
        g_sentTo[i] = pid;
    return int(::syscall(SYS_kill, pid, sig));
}

class TestChildProcess : public QObject {
    Q_OBJECT

private slots:
    // Once reaped, the pid may belong to another process: no signal may go to
    // it. A channel without a callback keeps what came until it is taken.
    void nothingReachesAReapedChild()
    {
        auto process = fakeRunning(QStringLiteral("err loading model\\n\nexit 0"));
        QVERIFY(process->start());
        QVERIFY(process->waitForExit(5000) && process->waitForReadEnd(5000));
        QVERIFY(process->atEnd(Channel::StandardError));
        QCOMPARE(process->takeBuffered(Channel::StandardError), QByteArray("loading model\n"));
        QVERIFY(process->takeBuffered(Channel::StandardError).isEmpty());
        const auto pid = pid_t(process->processId());
        QVERIFY(pid > 0); // still known after the exit
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
        QTest::addColumn<QString>("program"); // "<dir>": a fresh folder holding the plain file "plain"
        QTest::addColumn<QString>("cwd");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << "<dir>/llama-completion" << "" << "No such file or directory";
        QTest::newRow("not executable") << "<dir>/plain" << "" << "Permission denied";
        QTest::newRow("relative") << "bin/true" << "" << "not an absolute path";
        QTest::newRow("missing working directory") << kFake << "<dir>/gone" << "No such file or directory";
    }

    void launchFailures()
    {
        QFETCH(QString, program);
        QFETCH(QString, cwd);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        QFile plain(dir.filePath(QStringLiteral("plain")));
        QVERIFY(plain.open(QIODevice::WriteOnly) && plain.write("#!/bin/sh\n") > 0);
        program.replace(QLatin1String("<dir>"), dir.path());
        cwd.replace(QLatin1String("<dir>"), dir.path());
        const QString faulty = cwd.isEmpty() ? program : cwd; // the path the message must name
        ChildProcess process(program, {});
        process.setWorkingDirectory(cwd);
        QVERIFY(!process.start());
        QVERIFY2(process.errorString().contains(reason) && process.errorString().contains(faulty),
                 qPrintable(process.errorString()));
        QVERIFY(process.errorNumber() != 0 && !process.isRunning() && process.processId() == -1);
        process.terminate(); // harmless
    }

    // The child gets the working directory and only the environment it is
    // given, and no descriptor but 0, 1 and 2 (one opened elsewhere without
    // O_CLOEXEC included). An inherited output lands where ours goes: a file.
    // A closed input pipe is the end of input, else the child would not exit.
    void childSurroundings()
    {
        QTemporaryDir dir;
        const QString errFile = dir.filePath(QStringLiteral("stderr.txt"));
        const int file = ::open(QFile::encodeName(errFile).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        const int stray = ::open("/dev/null", O_RDONLY);
        QVERIFY(file >= 0 && stray > 2);
        const int savedErr = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
        ::dup2(file, 2);
        const auto restore = qScopeGuard([&] {
            ::dup2(savedErr, 2);
            for (const int fd : {savedErr, file, stray})
                ::close(fd);
        });

        Output out, err;
        ChildProcess process(kFake, {});
        process.setWorkingDirectory(dir.path());
        process.setEnvironment({QStringLiteral("FAKE_LLAMA_SCRIPT_TEXT=echo-stdin\ncwd\nenv ONLY_THIS\nenv HOME\nfds\n"
                                               "err ok\\n"),
                                QStringLiteral("ONLY_THIS=süß value")});
        process.setStandardInput(Mode::Pipe);
        process.setStandardError(Mode::Inherit);
        out.attach(process, Channel::StandardOutput);
        err.attach(process, Channel::StandardError);
        QVERIFY(process.start());
        process.closeStandardInput();
        QVERIFY(process.waitForExit(5000) && process.waitForReadEnd(5000));
        QCOMPARE(QString::fromUtf8(out.bytes()),
                 QDir(dir.path()).canonicalPath() + QStringLiteral("\nsüß value\n(unset)\n0 1 2\n"));
        QVERIFY(err.bytes().isEmpty());
        QCOMPARE(readFileBytes(errFile), QByteArray("ok\n"));
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
        const int before = g_sentCount;
        hanging->terminate();
        // (the recording of kill(2) sees the class's signals at all)
        QCOMPARE(signalsSentTo(pid_t(hanging->processId()), before), 1);
        QVERIFY(hanging->waitForExit(5000) && writer->waitForExit(5000));
        QCOMPARE(hanging->exitReason(), Reason::Signal);
        QCOMPARE(hanging->exitStatus(), SIGTERM);
        QCOMPARE(writer->exitReason(), Reason::Signal);
        QCOMPARE(writer->exitStatus(), SIGPIPE);
    }

    void parentDeathKillsChild()
    {
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
    }

    void run_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("expect"); // ok, failed, signalled, timeout (after 300 ms)
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");
        const QByteArray none;
        QTest::newRow("large, both outputs") << "bulk out 6000000\nbulk err 3000000\nbulk out 1000" << "ok" << 0
                                             << pattern(6000000) + pattern(1000) << pattern(3000000);
        QTest::newRow("exactly the cap") << "bulk out 8388608" << "ok" << 0 << pattern(8388608) << none;
        QTest::newRow("non-zero status") << "out x\nexit 4" << "failed" << 4 << QByteArray("x") << none;
        QTest::newRow("own SIGHUP") << "signal 1" << "signalled" << SIGHUP << none << none;
        QTest::newRow("timeout, SIGTERM ignored") << "out partial\nignore-sigterm\nhang" << "timeout" << SIGKILL
                                                  << QByteArray("partial") << none;
    }

    void run()
    {
        QFETCH(QString, script);
        QFETCH(QString, expect);
        QFETCH(int, status);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        qputenv("FAKE_LLAMA_SCRIPT_TEXT", script.toUtf8());
        const auto unset = qScopeGuard([] { qunsetenv("FAKE_LLAMA_SCRIPT_TEXT"); });
        const auto began = std::chrono::steady_clock::now();
        const auto result = ChildProcess::run(kFake, {}, expect == "timeout" ? 300 : 20000, 8388608, 300);
        QVERIFY(!result.timedOut || std::chrono::steady_clock::now() - began < 4s);
        QVERIFY(result.started && result.error.isEmpty());
        QCOMPARE(result.succeeded(), expect == "ok");
        QCOMPARE(result.timedOut, expect == "timeout");
        QCOMPARE(result.reason, expect == "ok" || expect == "failed" ? Reason::Exit : Reason::Signal);
        QCOMPARE(result.status, status);
        QVERIFY(result.standardOutput == out); // no QCOMPARE: a mismatch of megabytes would print them all
        QVERIFY(result.standardError == err);
        QVERIFY(!result.outputTruncated && !result.errorTruncated);
    }

    // However a process ends (run, failed launches, killed, destroyed while
    // running, destroyed on its reader thread by its own output callback
    // holding the last owner), no descriptor or thread is left behind.
    void noDescriptorOrThreadLeaks()
    {
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
        // The children's stacks are handed back clean: a new mapping in their
        // place takes any write (what a sanitizer build checks).
        const size_t bytes = 64 * 1024 + size_t(::sysconf(_SC_PAGESIZE));
        void *reused = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        QVERIFY(reused != MAP_FAILED);
        std::memset(reused, 1, bytes);
        ::munmap(reused, bytes);

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
