#pragma once

#include <QtGlobal>

// What the engine needs of a running child process to stop it: whether it
// still runs, its identifier, and a polite request to end (SIGTERM).
class ProcessHandle {
public:
    virtual ~ProcessHandle() = default;
    virtual bool isRunning() const = 0;
    virtual qint64 processId() const = 0;
    virtual void terminate() = 0;
};
