#include "platform/quit_signals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalFds[2] = {-1, -1};

void onSignal(int signo)
{
    // Only async-signal-safe work here: hand the signal to the event loop.
    const char byte = char(signo);
    [[maybe_unused]] const auto n = ::write(g_signalFds[0], &byte, 1);
}

} // namespace

void quitOnTerminationSignals(QCoreApplication *app)
{
    if (g_signalFds[0] != -1)
        return;
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalFds) != 0)
        return;
    for (int fd : g_signalFds) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
    }
    auto *notifier = new QSocketNotifier(g_signalFds[1], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [app] {
        char buffer[16];
        while (::read(g_signalFds[1], buffer, sizeof buffer) > 0) {
        }
        app->quit();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}
