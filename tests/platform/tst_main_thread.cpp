// Posting work to the main thread from other threads.
#include "common/test_support.h"
#include "platform/main_thread.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QtTest>

#include <atomic>
#include <thread>

class TestMainThread : public QObject {
    Q_OBJECT

private slots:
    void postFromWorkerRunsOnMainThreadInOrder();
    void postAfterFromWorkerWaitsItsDelay_data();
    void postAfterFromWorkerWaitsItsDelay();
    void nothingRunsOnceContextIsGone_data();
    void nothingRunsOnceContextIsGone();
    void runOrPost();
};

namespace {

void onWorker(const std::function<void()> &fn)
{
    std::thread t(fn);
    t.join();
}

} // namespace

void TestMainThread::postFromWorkerRunsOnMainThreadInOrder()
{
    QObject context;
    QVector<int> order;
    bool allOnMain = true;
    bool workerSawMain = true;
    onWorker([&] {
        workerSawMain = mainthread::isMainThread();
        for (int i = 0; i < 100; ++i)
            mainthread::post(&context, [&, i] {
                allOnMain = allOnMain && mainthread::isMainThread()
                            && QThread::currentThread() == QCoreApplication::instance()->thread();
                order.append(i);
            });
    });
    QVERIFY(!workerSawMain);
    QVERIFY(mainthread::isMainThread());
    QVERIFY(order.isEmpty()); // posted, not run on the worker
    QVERIFY(waitUntil([&] { return order.size() == 100; }));
    QVERIFY(allOnMain);
    for (int i = 0; i < 100; ++i)
        QCOMPARE(order[i], i);

    // posting from the main thread itself also runs later, not inline
    bool ran = false;
    mainthread::post(&context, [&] { ran = true; });
    QVERIFY(!ran);
    QVERIFY(waitUntil([&] { return ran; }));

    mainthread::post(nullptr, [&] { ran = false; }); // no context: nothing to do
    QCoreApplication::processEvents();
    QVERIFY(ran);
}

void TestMainThread::postAfterFromWorkerWaitsItsDelay_data()
{
    QTest::addColumn<bool>("fromWorker");
    QTest::addColumn<int>("delayMs");

    QTest::newRow("worker 150 ms") << true << 150;
    QTest::newRow("main 150 ms") << false << 150;
    QTest::newRow("worker 0 ms") << true << 0;
    QTest::newRow("worker negative") << true << -5;
}

void TestMainThread::postAfterFromWorkerWaitsItsDelay()
{
    QFETCH(bool, fromWorker);
    QFETCH(int, delayMs);
    QObject context;
    QElapsedTimer clock;
    qint64 ranAfter = -1;
    bool onMain = false;
    auto fn = [&] {
        ranAfter = clock.elapsed();
        onMain = mainthread::isMainThread();
    };
    clock.start();
    if (fromWorker)
        onWorker([&] { mainthread::postAfter(&context, delayMs, fn); });
    else
        mainthread::postAfter(&context, delayMs, fn);
    QCOMPARE(ranAfter, qint64(-1));
    QVERIFY(waitUntil([&] { return ranAfter >= 0; }));
    QVERIFY(onMain);
    QVERIFY2(ranAfter >= qMax(delayMs, 0), qPrintable(QString::number(ranAfter)));
}

void TestMainThread::nothingRunsOnceContextIsGone_data()
{
    QTest::addColumn<int>("delayMs"); // -1: post
    QTest::addColumn<bool>("timerStarted"); // context deleted after the delayed timer was set up on the main thread

    QTest::newRow("post") << -1 << false;
    QTest::newRow("postAfter, gone before the timer starts") << 50 << false;
    QTest::newRow("postAfter, gone while the timer runs") << 50 << true;
    QTest::newRow("postAfter 0, gone at once") << 0 << false;
}

void TestMainThread::nothingRunsOnceContextIsGone()
{
    QFETCH(int, delayMs);
    QFETCH(bool, timerStarted);
    auto *context = new QObject;
    QPointer<QObject> watch(context);
    std::atomic<int> ran{0};
    onWorker([&] {
        if (delayMs < 0)
            mainthread::post(context, [&] { ++ran; });
        else
            mainthread::postAfter(context, delayMs, [&] { ++ran; });
    });
    if (timerStarted)
        QCoreApplication::processEvents(); // hands the delay to a timer on the main thread
    QCOMPARE(ran.load(), 0);
    delete context;
    QVERIFY(!watch);
    QTest::qWait(qMax(delayMs, 0) + 150);
    QCOMPARE(ran.load(), 0);

    // the same with the context alive runs (so the case above is not vacuous)
    QObject alive;
    onWorker([&] {
        if (delayMs < 0)
            mainthread::post(&alive, [&] { ++ran; });
        else
            mainthread::postAfter(&alive, delayMs, [&] { ++ran; });
    });
    QVERIFY(waitUntil([&] { return ran.load() == 1; }));
}

void TestMainThread::runOrPost()
{
    QObject context;
    int ran = 0;
    mainthread::runOrPost(&context, [&] { ++ran; });
    QCOMPARE(ran, 1); // on the main thread: at once

    std::atomic<bool> ranOnMain{false};
    onWorker([&] {
        mainthread::runOrPost(&context, [&] {
            ++ran;
            ranOnMain = mainthread::isMainThread();
        });
    });
    QCOMPARE(ran, 1);
    QVERIFY(waitUntil([&] { return ran == 2; }));
    QVERIFY(ranOnMain);
}

QTEST_GUILESS_MAIN(TestMainThread)
#include "tst_main_thread.moc"
