#pragma once

#include <QObject>

#include <functional>

namespace mainthread {

// True on the thread that runs the application's event loop.
bool isMainThread();

// Runs fn on the main thread's event loop, later, from any thread. Nothing
// runs when context has been destroyed by then.
void post(QObject *context, std::function<void()> fn);

// Runs fn on the main thread after delayMs, from any thread. Nothing runs when
// context has been destroyed by then.
void postAfter(QObject *context, int delayMs, std::function<void()> fn);

// QMetaObject::invokeMethod of fn on the thread of context (the main thread
// or another), marking the hand-over for the thread sanitizer: Qt is not
// built with it here, so it cannot see on its own that fn runs after what the
// caller did before, nor, for a blocking call, that the caller goes on only
// after fn ended. In other builds the same as invokeMethod.
bool invokeOn(QObject *context, std::function<void()> fn, Qt::ConnectionType type);

// Runs fn now when already on the main thread, else posts it.
void runOrPost(QObject *context, std::function<void()> fn);

} // namespace mainthread
