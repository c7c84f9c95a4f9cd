// Work off the main thread and back onto it: the serial queue (order,
// exclusion, sync, shutdown) and posting to the main thread.
#include "common/test_support.h"
#include "platform/main_thread.h"
#include "platform/serial_queue.h"

#include <QElapsedTimer>
#include <QtTest>

#include <atomic>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// Blocks the queue until the returned promise is kept (for at most 10 s, so
// that a failing test does not hang the run).
std::shared_ptr<std::promise<void>> block(SerialQueue &queue)
{
    auto started = std::make_shared<std::promise<void>>(), release = std::make_shared<std::promise<void>>();
    queue.async([started, release] {
        started->set_value();
        release->get_future().wait_for(10s);
    });
    started->get_future().wait();
    return release;
}

} // namespace

class TestSerialQueue : public QObject {
    Q_OBJECT

private slots:
    void fifoAndExclusionAcrossThreads()
    {
        SerialQueue queue(QStringLiteral("test.fifo"));
        constexpr int kThreads = 4, kJobs = 500;
        std::vector<std::pair<int, int>> ran; // touched only by jobs
        std::atomic<int> running{0};
        std::atomic<bool> overlapped{false};
        std::vector<std::thread> submitters;
        for (int t = 0; t < kThreads; ++t)
            submitters.emplace_back([&, t] {
                for (int i = 0; i < kJobs; ++i)
                    queue.async([&, t, i] {
                        overlapped = overlapped || running.fetch_add(1) != 0;
                        if (i % 50 == 0)
                            std::this_thread::sleep_for(200us);
                        ran.emplace_back(t, i);
                        running.fetch_sub(1);
                    });
            });
        for (auto &s : submitters)
            s.join();
        bool current = false;
        queue.sync([&] { current = queue.isCurrent(); }); // after all the earlier work
        QVERIFY(current && !queue.isCurrent());
        QVERIFY(!overlapped);
        QCOMPARE(int(ran.size()), kThreads * kJobs);
        std::vector<int> next(kThreads, 0);
        for (const auto &[t, i] : ran)
            QCOMPARE(i, next[t]++); // each thread's jobs in its submission order
    }

    // sync from a job of the same queue runs inline.
    void syncNeverDeadlocks()
    {
        auto *queue = new SerialQueue(QStringLiteral("test.sync"));
        std::promise<std::vector<int>> result;
        auto future = result.get_future();
        queue->async([&] {
            std::vector<int> steps{1};
            queue->sync([&] { steps.push_back(2); });
            steps.push_back(3);
            result.set_value(steps);
        });
        if (future.wait_for(5s) != std::future_status::ready)
            QFAIL("sync from a job of the same queue deadlocked"); // the queue is leaked on purpose
        QCOMPARE(future.get(), (std::vector<int>{1, 2, 3}));
        delete queue;
    }

    // Destroying the queue drops what has not started (releasing what it
    // holds, and the callers of sync waiting for it) and waits for the
    // running job, unless called from that job.
    void destruction()
    {
        auto *queue = new SerialQueue(QStringLiteral("test.destroy"));
        auto release = block(*queue);
        std::atomic<bool> droppedRan{false}, destroyed{false};
        auto held = std::make_shared<int>(0);
        queue->async([&, held] { droppedRan = true; });
        queue->asyncAfter(10ms, [&, held] { droppedRan = true; });
        auto syncRan = std::make_shared<std::atomic<bool>>(false);
        auto syncTid = std::make_shared<std::atomic<pid_t>>(0);
        auto syncDone = std::make_shared<std::promise<void>>();
        auto syncReturned = syncDone->get_future();
        std::thread([queue, syncRan, syncTid, syncDone] {
            *syncTid = ::gettid();
            queue->sync([syncRan] { *syncRan = true; });
            syncDone->set_value();
        }).detach(); // detached: a failing run must not hang here
        // asleep in sync means its job is queued (nothing else here blocks it)
        QVERIFY(waitUntil([&] {
            const QByteArray stat = readFileBytes(QStringLiteral("/proc/self/task/%1/stat").arg(syncTid->load()));
            return *syncTid && stat.mid(stat.lastIndexOf(')') + 2, 1) == "S";
        }));

        std::thread destroyer([&] {
            delete queue;
            destroyed = true;
        });
        const bool returned = syncReturned.wait_for(5s) == std::future_status::ready;
        std::this_thread::sleep_for(50ms);
        const bool waitedForRunning = !destroyed; // the job at the gate still runs
        release->set_value();
        destroyer.join();
        QVERIFY2(returned, "sync kept waiting for a job the destroyed queue dropped");
        QVERIFY(waitedForRunning && !*syncRan && !droppedRan);
        QCOMPARE(held.use_count(), 1L);

        queue = new SerialQueue(QStringLiteral("test.selfdelete"));
        std::promise<void> queued, deleted; // the queue is not touched here once its job may delete it
        queue->async([&] {
            queued.get_future().wait();
            delete queue;
            deleted.set_value();
        });
        queue->async([&] { droppedRan = true; });
        queued.set_value();
        QVERIFY(deleted.get_future().wait_for(10s) == std::future_status::ready);
        std::this_thread::sleep_for(50ms); // let the workers wind down
        QVERIFY(!droppedRan);
    }

    void postToTheMainThread_data()
    {
        QTest::addColumn<bool>("fromWorker");
        QTest::addColumn<int>("delayMs");     // -1: post, -2: runOrPost
        QTest::addColumn<int>("contextGone"); // 0 never, 1 at once, 2 once the main thread started the timer
        QTest::newRow("worker 150 ms") << true << 150 << 0;
        QTest::newRow("main 150 ms") << false << 150 << 0;
        QTest::newRow("runOrPost on the main thread: at once") << false << -2 << 0;
        QTest::newRow("runOrPost from a worker: posted") << true << -2 << 0;
        QTest::newRow("post, context gone") << true << -1 << 1;
        QTest::newRow("context gone before the timer starts") << true << 50 << 1;
        QTest::newRow("context gone while the timer runs") << true << 50 << 2;
    }
    // Posted work runs on the main thread and later, also when posted from it;
    // runOrPost runs at once only on the main thread; nothing runs once the
    // context is gone.
    void postToTheMainThread()
    {
        QFETCH(bool, fromWorker);
        QFETCH(int, delayMs);
        QFETCH(int, contextGone);
        auto context = std::make_unique<QObject>();
        QElapsedTimer clock;
        qint64 ranAfter = -1;
        bool onMain = false;
        std::function<void()> fn = [&] {
            ranAfter = clock.elapsed();
            onMain = mainthread::isMainThread();
        };
        clock.start();
        const auto submit = [&] {
            if (delayMs == -2)
                mainthread::runOrPost(context.get(), fn);
            else
                delayMs < 0 ? mainthread::post(context.get(), fn) : mainthread::postAfter(context.get(), delayMs, fn);
        };
        fromWorker ? std::thread(submit).join() : submit();
        QCOMPARE(ranAfter >= 0, delayMs == -2 && !fromWorker);
        if (contextGone) {
            if (contextGone == 2)
                QCoreApplication::processEvents();
            context.reset();
            QTest::qWait(qMax(delayMs, 0) + 150);
            QCOMPARE(ranAfter, qint64(-1));
            return;
        }
        QVERIFY(waitUntil([&] { return ranAfter >= 0; }));
        QVERIFY(onMain);
        QVERIFY2(ranAfter >= qMax(delayMs, 0), qPrintable(QString::number(ranAfter)));
    }
};

QTEST_GUILESS_MAIN(TestSerialQueue)
#include "tst_serial_queue.moc"
