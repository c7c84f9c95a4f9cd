#include "platform/main_thread.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>
#include <QTimer>

namespace mainthread {

bool isMainThread()
{
    auto *app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void post(QObject *context, std::function<void()> fn)
{
    if (!context)
        return;
    QMetaObject::invokeMethod(context, std::move(fn), Qt::QueuedConnection);
}

void postAfter(QObject *context, int delayMs, std::function<void()> fn)
{
    if (!context)
        return;
    // Timers belong to the thread that starts them, so start this one on the
    // main thread; the context object keeps it from firing once it is gone.
    auto start = [context, delayMs, fn = std::move(fn)]() mutable {
        QTimer::singleShot(std::max(delayMs, 0), context, std::move(fn));
    };
    if (isMainThread() && context->thread() == QThread::currentThread())
        start();
    else
        post(context, std::move(start));
}

void runOrPost(QObject *context, std::function<void()> fn)
{
    if (!context)
        return;
    if (isMainThread() && context->thread() == QThread::currentThread())
        fn();
    else
        post(context, std::move(fn));
}

} // namespace mainthread
