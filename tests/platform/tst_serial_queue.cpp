// The serial queue: order, exclusion, delays, cancelling, sync, shutdown.
#include "platform/serial_queue.h"

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

// A gate a job can wait at until the test opens it (with a safety timeout so
// that a failing test does not hang the run).
class Gate {
public:
    void open()
    {
        // notified under the lock: a waiter may destroy the gate as soon as it wakes
        std::lock_guard lock(m_mutex);
        m_open = true;
        m_cv.notify_all();
    }
    bool wait(std::chrono::milliseconds timeout = 10s)
    {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, timeout, [&] { return m_open; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_open = false;
};

bool waitFor(const std::function<bool()> &pred, std::chrono::milliseconds timeout = 5s)
{
    const auto end = Clock::now() + timeout;
    while (!pred()) {
        if (Clock::now() > end)
            return pred();
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

} // namespace

class TestSerialQueue : public QObject {
    Q_OBJECT

private slots:
    void fifoAndExclusionAcrossThreads();
    void delayedJobsRunByDueTime();
    void hugeDelayDoesNotRunEarly();
    void cancelling();
    void cancelledDelayedJobReleasesItsCaptures();
    void syncWaitsForJobAndEarlierWork();
    void syncFromOwnJobRunsInline();
    void syncFromManyThreads();
    void syncReturnsWhenQueueIsDestroyed();
    void destructionDropsPendingAndWaitsForRunning();
    void destructionFromOwnJob();
    void isCurrent();
};

void TestSerialQueue::fifoAndExclusionAcrossThreads()
{
    SerialQueue queue(QStringLiteral("test.fifo"));
    constexpr int kThreads = 4;
    constexpr int kJobs = 500;
    std::vector<std::pair<int, int>> ran; // touched only by jobs, read after sync
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::set<std::thread::id> workers;
    std::atomic<bool> start{false};

    std::vector<std::thread> submitters;
    for (int t = 0; t < kThreads; ++t) {
        submitters.emplace_back([&, t] {
            while (!start.load())
                std::this_thread::yield();
            for (int i = 0; i < kJobs; ++i) {
                queue.async([&, t, i] {
                    if (running.fetch_add(1) != 0)
                        overlapped = true;
                    workers.insert(std::this_thread::get_id());
                    if (i % 50 == 0)
                        std::this_thread::sleep_for(200us);
                    ran.emplace_back(t, i);
                    running.fetch_sub(1);
                });
            }
        });
    }
    start = true;
    for (auto &s : submitters)
        s.join();
    queue.sync([] {});

    QVERIFY(!overlapped);
    QCOMPARE(int(ran.size()), kThreads * kJobs);
    QCOMPARE(int(workers.size()), 1);
    QVERIFY(*workers.begin() != std::this_thread::get_id());
    std::vector<int> next(kThreads, 0);
    for (const auto &[t, i] : ran) {
        QCOMPARE(i, next[t]); // each thread's jobs in its submission order
        ++next[t];
    }

    // from one thread the order is exact; work a job submits goes after
    // everything submitted before it
    Gate release;
    queue.async([&] { release.wait(); });
    std::vector<int> order;
    for (int i = 0; i < 100; ++i)
        queue.async([&, i] {
            order.push_back(i);
            if (i == 0)
                queue.async([&] { order.push_back(1000); });
        });
    release.open();
    queue.sync([] {}); // job 0 has run, and queued its follow-up, by now
    queue.sync([] {});
    QCOMPARE(int(order.size()), 101);
    for (int i = 0; i < 100; ++i)
        QCOMPARE(order[i], i);
    QCOMPARE(order.back(), 1000);
}

void TestSerialQueue::delayedJobsRunByDueTime()
{
    SerialQueue queue(QStringLiteral("test.delay"));
    std::mutex mutex;
    std::vector<QString> order;
    std::vector<std::pair<QString, Clock::duration>> late; // ran before its time
    const auto submitted = Clock::now();
    auto record = [&](const QString &name, std::chrono::milliseconds delay) {
        return [&, name, delay] {
            const auto elapsed = Clock::now() - submitted;
            std::lock_guard lock(mutex);
            order.push_back(name);
            if (elapsed < delay)
                late.emplace_back(name, elapsed);
        };
    };
    queue.asyncAfter(150ms, record("150", 150ms));
    queue.asyncAfter(50ms, record("50a", 50ms));
    queue.asyncAfter(100ms, record("100", 100ms));
    queue.asyncAfter(50ms, record("50b", 50ms)); // same due time: submission order
    queue.asyncAfter(-20ms, record("negative", 0ms));
    queue.async(record("now", 0ms));
    QVERIFY(waitFor([&] {
        std::lock_guard lock(mutex);
        return order.size() == 6;
    }));
    QVERIFY(late.empty());
    const std::vector<QString> expected = {"negative", "now", "50a", "50b", "100", "150"};
    QCOMPARE(order, expected);

    // a job submitted now runs before a delayed one that is not yet due,
    // even when the delayed one was submitted first
    order.clear();
    Gate ranNow;
    queue.asyncAfter(80ms, [&] {
        std::lock_guard lock(mutex);
        order.push_back("later");
    });
    queue.async([&] {
        {
            std::lock_guard lock(mutex);
            order.push_back("first");
        }
        ranNow.open();
    });
    QVERIFY(ranNow.wait(1s));
    {
        std::lock_guard lock(mutex);
        QCOMPARE(order, std::vector<QString>{"first"});
    }
    QVERIFY(waitFor([&] {
        std::lock_guard lock(mutex);
        return order.size() == 2;
    }));
}

void TestSerialQueue::hugeDelayDoesNotRunEarly()
{
    SerialQueue queue(QStringLiteral("test.huge"));
    std::atomic<int> ran{0};
    queue.asyncAfter(std::chrono::milliseconds::max(), [&] { ran |= 1; });
    queue.asyncAfter(std::chrono::hours(24 * 365 * 100), [&] { ran |= 2; });
    std::this_thread::sleep_for(100ms);
    queue.sync([] {});
    QCOMPARE(ran.load(), 0);
    QCOMPARE(int(queue.pendingCount()), 2);
    // the queue still runs ordinary work while they wait
    queue.async([&] { ran |= 4; });
    queue.sync([] {});
    QCOMPARE(ran.load(), 4);
}

void TestSerialQueue::cancelling()
{
    SerialQueue queue(QStringLiteral("test.cancel"));
    Gate blockerStarted, releaseBlocker;
    std::atomic<bool> cancelledRan{false}, delayedRan{false}, afterRan{false};

    // cancelled while waiting behind a running job: never runs
    queue.async([&] {
        blockerStarted.open();
        releaseBlocker.wait();
    });
    QVERIFY(blockerStarted.wait());
    WorkItem pending = queue.async([&] { cancelledRan = true; });
    WorkItem delayed = queue.asyncAfter(30ms, [&] { delayedRan = true; });
    queue.async([&] { afterRan = true; });
    QVERIFY(pending.isValid());
    QVERIFY(!pending.isCancelled());
    pending.cancel();
    delayed.cancel();
    QVERIFY(pending.isCancelled());
    releaseBlocker.open();
    std::this_thread::sleep_for(60ms);
    queue.sync([] {});
    QVERIFY(!cancelledRan);
    QVERIFY(!delayedRan);
    QVERIFY(afterRan);

    // cancelled while it runs: finishes
    Gate started, release;
    std::atomic<bool> finished{false};
    WorkItem running = queue.async([&] {
        started.open();
        release.wait();
        finished = true;
    });
    QVERIFY(started.wait());
    running.cancel();
    release.open();
    queue.sync([] {}); // job 0 has run, and queued its follow-up, by now
    queue.sync([] {});
    QVERIFY(finished);
    QVERIFY(running.isCancelled());

    // cancelling twice, after it ran, or an empty handle is harmless
    running.cancel();
    WorkItem none;
    QVERIFY(!none.isValid());
    none.cancel();
    QVERIFY(!none.isCancelled());
}

void TestSerialQueue::cancelledDelayedJobReleasesItsCaptures()
{
    SerialQueue queue(QStringLiteral("test.release"));
    auto held = std::make_shared<int>(7);
    WorkItem item = queue.asyncAfter(std::chrono::hours(1), [held] { ++*held; });
    QCOMPARE(held.use_count(), 2L);
    QCOMPARE(int(queue.pendingCount()), 1);
    item.cancel();
    // not kept for an hour: the job and what it holds go at once
    QVERIFY(waitFor([&] { return held.use_count() == 1; }, 1s));
    QCOMPARE(int(queue.pendingCount()), 0);
    QCOMPARE(*held, 7);
}

void TestSerialQueue::syncWaitsForJobAndEarlierWork()
{
    SerialQueue queue(QStringLiteral("test.sync"));
    std::vector<int> done;
    for (int i = 0; i < 10; ++i)
        queue.async([&, i] {
            std::this_thread::sleep_for(2ms);
            done.push_back(i);
        });
    size_t seen = 0;
    std::thread::id ranOn;
    queue.sync([&] {
        seen = done.size();
        ranOn = std::this_thread::get_id();
    });
    QCOMPARE(int(seen), 10);
    QVERIFY(ranOn != std::this_thread::get_id());

    int value = 0;
    queue.sync([&] { value = 42; });
    QCOMPARE(value, 42);
}

void TestSerialQueue::syncFromOwnJobRunsInline()
{
    auto *queue = new SerialQueue(QStringLiteral("test.reentrant"));
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

    // a job of another queue may sync onto this one
    SerialQueue other(QStringLiteral("test.other"));
    int value = 0;
    other.sync([&] { queue->sync([&] { value = 5; }); });
    QCOMPARE(value, 5);
    delete queue;
}

void TestSerialQueue::syncFromManyThreads()
{
    SerialQueue queue(QStringLiteral("test.manysync"));
    int counter = 0; // only touched on the queue
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i)
                queue.sync([&] { ++counter; });
        });
    for (auto &t : threads)
        t.join();
    int seen = 0;
    queue.sync([&] { seen = counter; });
    QCOMPARE(seen, 800);
}

void TestSerialQueue::syncReturnsWhenQueueIsDestroyed()
{
    auto *queue = new SerialQueue(QStringLiteral("test.syncdrop"));
    Gate blockerStarted, releaseBlocker;
    queue->async([&] {
        blockerStarted.open();
        releaseBlocker.wait();
    });
    QVERIFY(blockerStarted.wait());

    auto syncRan = std::make_shared<std::atomic<bool>>(false);
    auto syncDone = std::make_shared<std::promise<void>>();
    auto syncReturned = syncDone->get_future();
    std::thread([queue, syncRan, syncDone] {
        queue->sync([syncRan] { *syncRan = true; });
        syncDone->set_value();
    }).detach(); // detached: a failing run must not hang here
    QVERIFY(waitFor([&] { return queue->pendingCount() == 1; }));

    // destroying drops the waiting sync job; its caller must not wait for ever
    std::thread destroyer([queue] { delete queue; });
    const bool returned = syncReturned.wait_for(5s) == std::future_status::ready;
    releaseBlocker.open();
    destroyer.join();
    QVERIFY2(returned, "sync kept waiting for a job the destroyed queue dropped");
    QVERIFY(!*syncRan);
}

void TestSerialQueue::destructionDropsPendingAndWaitsForRunning()
{
    auto *queue = new SerialQueue(QStringLiteral("test.destroy"));
    Gate started;
    std::atomic<bool> runningFinished{false}, pendingRan{false}, delayedRan{false};
    auto held = std::make_shared<int>(0);
    queue->async([&] {
        started.open();
        std::this_thread::sleep_for(100ms);
        runningFinished = true;
    });
    queue->async([&, held] { pendingRan = true; });
    queue->asyncAfter(10ms, [&, held] { delayedRan = true; });
    QVERIFY(started.wait());
    QCOMPARE(held.use_count(), 3L);
    delete queue;
    QVERIFY(runningFinished); // waited for the running job
    std::this_thread::sleep_for(30ms);
    QVERIFY(!pendingRan);
    QVERIFY(!delayedRan);
    QCOMPARE(held.use_count(), 1L); // dropped jobs released what they held
}

void TestSerialQueue::destructionFromOwnJob()
{
    auto *queue = new SerialQueue(QStringLiteral("test.selfdelete"));
    std::atomic<bool> laterRan{false};
    Gate deleted;
    queue->async([&] {
        delete queue;
        deleted.open();
    });
    queue->async([&] { laterRan = true; });
    QVERIFY(deleted.wait());
    std::this_thread::sleep_for(50ms); // let the worker wind down
    QVERIFY(!laterRan);
}

void TestSerialQueue::isCurrent()
{
    SerialQueue queue(QStringLiteral("test.current"));
    SerialQueue other(QStringLiteral("test.current2"));
    QVERIFY(!queue.isCurrent());
    bool inside = false, insideOther = true, otherInside = false;
    queue.sync([&] { inside = queue.isCurrent(); });
    other.sync([&] {
        insideOther = queue.isCurrent();
        otherInside = other.isCurrent();
    });
    QVERIFY(inside);
    QVERIFY(!insideOther);
    QVERIFY(otherInside);
    QCOMPARE(queue.label(), QStringLiteral("test.current"));
}

QTEST_GUILESS_MAIN(TestSerialQueue)
#include "tst_serial_queue.moc"
