// Posting work to the main thread from other threads.
#include "common/test_support.h"
#include "platform/main_thread.h"

#include <QElapsedTimer>
#include <QtTest>

#include <thread>

namespace {

void onWorker(const std::function<void()> &fn) { std::thread(fn).join(); }

} // namespace

class TestMainThread : public QObject {
    Q_OBJECT

private slots:
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

QTEST_GUILESS_MAIN(TestMainThread)
#include "tst_main_thread.moc"
