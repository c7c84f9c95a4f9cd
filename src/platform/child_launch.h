#pragma once

// Starting a child process: descriptors for its standard streams, and the
// step from our process to its program (on Linux a clone that shares our
// memory until it execs, so that the child can ask for SIGKILL when we die
// without our page tables being copied; posix_spawn elsewhere).

#include <sys/types.h>
#include <unistd.h>

#include <utility>

namespace child_launch {

// Owns one descriptor until released.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    Fd &operator=(int fd)
    {
        reset();
        m_fd = fd;
        return *this;
    }
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }
    void reset()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

// Writes all of data, retrying on EINTR. False on failure, errno telling why.
bool writeAll(int fd, const char *data, size_t size);

// A pipe whose ends are close-on-exec and not 0, 1 or 2.
bool makePipe(Fd &readEnd, Fd &writeEnd);
// The null device, opened close-on-exec, not as 0, 1 or 2.
int openNullDevice(int flags);

struct LaunchPlan {
    const char *path = nullptr;
    char *const *argv = nullptr;
    char *const *envp = nullptr; // null: our environment
    const char *directory = nullptr;
    int streams[3] = {-1, -1, -1}; // placed at 0, 1, 2; -1 keeps ours
    bool newProcessGroup = false;  // the child leads a process group of its own
};

struct LaunchOutcome {
    pid_t pid = -1;
    int error = 0;
    bool inDirectory = false; // the working directory was at fault
};

// Starts the program. The descriptors of the plan stay ours (the caller
// closes them); every other descriptor of ours stays out of the child.
LaunchOutcome launchChild(const LaunchPlan &plan);

} // namespace child_launch
