#pragma once

#include <QtGlobal>

// What the engine needs of a running child process to stop it: whether it
// still runs, its identifier, a polite request to end (SIGTERM) and a forced
// one (SIGKILL). Neither signal may reach a process that merely reuses the
// identifier after this one was reaped.
class ProcessHandle {
public:
    virtual ~ProcessHandle() = default;
    virtual bool isRunning() const = 0;
    virtual qint64 processId() const = 0;
    virtual void terminate() = 0;
    virtual void kill() = 0;
};
