// Work off the main thread and back onto it: the serial queue (order,
// exclusion, delays, sync, shutdown) and posting to the main thread.
#include "common/test_support.h"
#include "platform/main_thread.h"
#include "platform/serial_queue.h"

#include <QElapsedTimer>
#include <QtTest>

#include <atomic>
#include <future>
#include <memory>
#include <set>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A gate a job waits at until the test opens it (with a timeout, so that a
// failing test does not hang the run).
struct Gate {
    std::mutex mutex; // held while opening: a waiter may destroy the gate as soon as it wakes
    std::condition_variable cv;
    bool isOpen = false;

    void open()
    {
        std::lock_guard lock(mutex);
        isOpen = true;
        cv.notify_all();
    }
    bool wait()
    {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, 10s, [&] { return isOpen; });
    }
};

// Blocks the queue until the returned gate opens.
std::shared_ptr<Gate> block(SerialQueue &queue)
{
    auto started = std::make_shared<Gate>(), release = std::make_shared<Gate>();
    queue.async([started, release] {
        started->open();
        release->wait();
    });
    started->wait();
    return release;
}

void onWorker(const std::function<void()> &fn) { std::thread(fn).join(); }

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
        std::set<std::thread::id> workers;
        std::vector<std::thread> submitters;
        for (int t = 0; t < kThreads; ++t)
            submitters.emplace_back([&, t] {
                for (int i = 0; i < kJobs; ++i)
                    queue.async([&, t, i] {
                        overlapped = overlapped || running.fetch_add(1) != 0;
                        workers.insert(std::this_thread::get_id());
                        if (i % 50 == 0)
                            std::this_thread::sleep_for(200us);
                        ran.emplace_back(t, i);
                        running.fetch_sub(1);
                    });
            });
        for (auto &s : submitters)
            s.join();
        queue.sync([] {});

        QVERIFY(!overlapped);
        QCOMPARE(int(ran.size()), kThreads * kJobs);
        QCOMPARE(int(workers.size()), 1);
        QVERIFY(*workers.begin() != std::this_thread::get_id());
        std::vector<int> next(kThreads, 0);
        for (const auto &[t, i] : ran)
            QCOMPARE(i, next[t]++); // each thread's jobs in its submission order

        // work a job submits goes after everything submitted before it
        auto release = block(queue);
        std::vector<int> order;
        for (int i = 0; i < 100; ++i)
            queue.async([&, i] {
                order.push_back(i);
                if (i == 0)
                    queue.async([&] { order.push_back(100); });
            });
        release->open();
        queue.sync([] {});
        queue.sync([] {});
        QCOMPARE(int(order.size()), 101);
        for (int i = 0; i <= 100; ++i)
            QCOMPARE(order[i], i);
    }

    void delayedJobsRunByDueTime()
    {
        SerialQueue queue(QStringLiteral("test.delay"));
        std::mutex mutex;
        std::vector<QString> order, early;
        const auto submitted = Clock::now();
        auto record = [&](const QString &name, std::chrono::milliseconds delay) {
            return [&, name, delay] {
                const bool tooEarly = Clock::now() - submitted < delay;
                std::lock_guard lock(mutex);
                order.push_back(name);
                if (tooEarly)
                    early.push_back(name);
            };
        };
        auto ranSoFar = [&] {
            std::lock_guard lock(mutex);
            return order;
        };
        queue.asyncAfter(150ms, record("150", 150ms));
        queue.asyncAfter(50ms, record("50a", 50ms));
        queue.asyncAfter(100ms, record("100", 100ms));
        queue.asyncAfter(50ms, record("50b", 50ms)); // same due time: submission order
        queue.asyncAfter(-20ms, record("negative", 0ms));
        queue.async(record("now", 0ms));
        QVERIFY(waitUntil([&] { return ranSoFar().size() == 6; }));
        // ("now", submitted last, is not held up by the delayed jobs before it)
        QCOMPARE(order, (std::vector<QString>{"negative", "now", "50a", "50b", "100", "150"}));
        QCOMPARE(early, std::vector<QString>{});
    }

    void syncWaitsAndNeverDeadlocks()
    {
        auto *queue = new SerialQueue(QStringLiteral("test.sync"));
        std::vector<int> done;
        for (int i = 0; i < 10; ++i)
            queue->async([&, i] {
                std::this_thread::sleep_for(2ms);
                done.push_back(i);
            });
        size_t seen = 0;
        bool current = false;
        queue->sync([&] {
            seen = done.size();
            current = queue->isCurrent();
        });
        QCOMPARE(int(seen), 10); // waited for the earlier work too
        QVERIFY(current && !queue->isCurrent());

        // from a job of the same queue it runs inline
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

        // from a job of another queue it waits
        SerialQueue other(QStringLiteral("test.other"));
        bool otherSeesQueueCurrent = true, ran = false;
        other.sync([&] {
            otherSeesQueueCurrent = queue->isCurrent();
            queue->sync([&] { ran = true; });
        });
        QVERIFY(!otherSeesQueueCurrent && ran);
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
        auto syncDone = std::make_shared<std::promise<void>>();
        auto syncReturned = syncDone->get_future();
        std::thread([queue, syncRan, syncDone] {
            queue->sync([syncRan] { *syncRan = true; });
            syncDone->set_value();
        }).detach(); // detached: a failing run must not hang here
        QVERIFY(waitUntil([&] { return queue->pendingCount() == 3; }));

        std::thread destroyer([&] {
            delete queue;
            destroyed = true;
        });
        const bool returned = syncReturned.wait_for(5s) == std::future_status::ready;
        std::this_thread::sleep_for(50ms);
        const bool waitedForRunning = !destroyed; // the job at the gate still runs
        release->open();
        destroyer.join();
        QVERIFY2(returned, "sync kept waiting for a job the destroyed queue dropped");
        QVERIFY(waitedForRunning && !*syncRan && !droppedRan);
        QCOMPARE(held.use_count(), 1L);

        queue = new SerialQueue(QStringLiteral("test.selfdelete"));
        Gate queued, deleted; // the queue is not touched here once its job may delete it
        queue->async([&] {
            queued.wait();
            delete queue;
            deleted.open();
        });
        queue->async([&] { droppedRan = true; });
        queued.open();
        QVERIFY(deleted.wait());
        std::this_thread::sleep_for(50ms); // let the workers wind down
        QVERIFY(!droppedRan);
    }

    // Posted work runs on the main thread, in order and later, also when
    // posted from it; runOrPost runs at once only on the main thread.
    void postAndRunOrPost()
    {
        QObject context;
        QVector<int> order;
        bool allOnMain = true, workerSawMain = true;
        auto append = [&](int i) {
            return [&, i] {
                allOnMain = allOnMain && mainthread::isMainThread();
                order.append(i);
            };
        };
        onWorker([&] {
            workerSawMain = mainthread::isMainThread();
            for (int i = 0; i < 100; ++i)
                mainthread::post(&context, append(i));
            mainthread::runOrPost(&context, append(100));
        });
        QVERIFY(!workerSawMain && order.isEmpty());
        QVERIFY(waitUntil([&] { return order.size() == 101; }));
        QVERIFY(allOnMain);
        for (int i = 0; i <= 100; ++i)
            QCOMPARE(order[i], i);

        mainthread::post(&context, append(-1));
        mainthread::runOrPost(&context, append(-2));
        QCOMPARE(order.last(), -2);
        QVERIFY(waitUntil([&] { return order.last() == -1; }));
    }

    void postAfter_data()
    {
        QTest::addColumn<bool>("fromWorker");
        QTest::addColumn<int>("delayMs");     // -1: post
        QTest::addColumn<int>("contextGone"); // 0 never, 1 at once, 2 once the main thread started the timer
        QTest::newRow("worker 150 ms") << true << 150 << 0;
        QTest::newRow("main 150 ms") << false << 150 << 0;
        QTest::newRow("worker negative") << true << -5 << 0;
        QTest::newRow("post, context gone") << true << -1 << 1;
        QTest::newRow("context gone before the timer starts") << true << 50 << 1;
        QTest::newRow("context gone while the timer runs") << true << 50 << 2;
    }
    void postAfter()
    {
        QFETCH(bool, fromWorker);
        QFETCH(int, delayMs);
        QFETCH(int, contextGone);
        auto *context = new QObject;
        const auto cleanup = qScopeGuard([&] { delete context; });
        QElapsedTimer clock;
        qint64 ranAfter = -1;
        bool onMain = false;
        std::function<void()> fn = [&] {
            ranAfter = clock.elapsed();
            onMain = mainthread::isMainThread();
        };
        clock.start();
        if (fromWorker)
            onWorker([&] { delayMs < 0 ? mainthread::post(context, fn) : mainthread::postAfter(context, delayMs, fn); });
        else
            mainthread::postAfter(context, delayMs, fn);
        QCOMPARE(ranAfter, qint64(-1));
        if (contextGone) {
            if (contextGone == 2)
                QCoreApplication::processEvents();
            delete std::exchange(context, nullptr);
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
