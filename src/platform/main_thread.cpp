#include "platform/main_thread.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <memory>

#if defined(__SANITIZE_THREAD__)
#define QUORVANE_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUORVANE_THREAD_SANITIZER 1
#endif
#endif
#if defined(QUORVANE_THREAD_SANITIZER)
extern "C" void __tsan_acquire(void *addr);
extern "C" void __tsan_release(void *addr);
extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();
#endif

namespace mainthread {

bool isMainThread()
{
    auto *app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

bool invokeOn(QObject *context, std::function<void()> fn, Qt::ConnectionType type)
{
#if defined(QUORVANE_THREAD_SANITIZER)
    const auto edge = std::make_shared<char>();
    std::function<void()> marked = [fn = std::move(fn), edge] {
        __tsan_ignore_thread_begin(); // the mark's own address is read before it holds
        void *const key = edge.get();
        __tsan_ignore_thread_end();
        __tsan_acquire(key);
        fn();
        __tsan_release(key);
    };
    __tsan_release(edge.get()); // after marked is made: its bytes are read on the other side
    // What Qt's queue writes of the call on the way (its event, the copy of
    // marked) is read on the other side before the mark can be seen.
    __tsan_ignore_thread_begin();
    const bool posted = QMetaObject::invokeMethod(context, std::move(marked), type);
    __tsan_ignore_thread_end();
    if (type == Qt::BlockingQueuedConnection)
        __tsan_acquire(edge.get());
    return posted;
#else
    return QMetaObject::invokeMethod(context, std::move(fn), type);
#endif
}

void post(QObject *context, std::function<void()> fn)
{
    if (!context)
        return;
    invokeOn(context, std::move(fn), Qt::QueuedConnection);
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
