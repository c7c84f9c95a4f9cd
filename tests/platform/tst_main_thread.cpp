// Posting work to the main thread from other threads.
#include "common/test_support.h"
#include "platform/main_thread.h"

#include <QElapsedTimer>
#include <QtTest>

#include <atomic>
#include <thread>

namespace {

void onWorker(const std::function<void()> &fn) { std::thread(fn).join(); }

} // namespace

class TestMainThread : public QObject {
    Q_OBJECT

private slots:
    void postRunsOnMainThreadInOrder()
    {
        QObject context;
        QVector<int> order;
        bool allOnMain = true, workerSawMain = true;
        onWorker([&] {
            workerSawMain = mainthread::isMainThread();
            for (int i = 0; i < 100; ++i)
                mainthread::post(&context, [&, i] {
                    allOnMain = allOnMain && mainthread::isMainThread();
                    order.append(i);
                });
        });
        QVERIFY(!workerSawMain);
        QVERIFY(order.isEmpty());
        QVERIFY(waitUntil([&] { return order.size() == 100; }));
        QVERIFY(allOnMain);
        for (int i = 0; i < 100; ++i)
            QCOMPARE(order[i], i);

        // from the main thread too it runs later, not inline
        bool ran = false;
        mainthread::post(&context, [&] { ran = true; });
        QVERIFY(!ran);
        QVERIFY(waitUntil([&] { return ran; }));
    }

    void postAfter_data()
    {
        QTest::addColumn<bool>("fromWorker");
        QTest::addColumn<int>("delayMs");   // -1: post
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

    void runOrPost()
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
};

QTEST_GUILESS_MAIN(TestMainThread)
#include "tst_main_thread.moc"
