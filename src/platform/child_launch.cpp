#include "platform/child_launch.h"

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <pthread.h>
#include <sys/wait.h>

#if defined(__linux__) && !defined(QUORVANE_CHILD_PROCESS_POSIX_SPAWN)
#define QUORVANE_SPAWN_WITH_CLONE 1
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif
#if defined(__SANITIZE_THREAD__)
#define QUORVANE_SPAWN_WITH_FORK 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUORVANE_SPAWN_WITH_FORK 1
#endif
#endif
#else
#include <spawn.h>
#endif

extern char **environ;

namespace child_launch {

bool writeAll(int fd, const char *data, size_t size)
{
    size_t written = 0;
    while (written < size) {
        const ssize_t n = ::write(fd, data + written, size - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        written += size_t(n);
    }
    return true;
}

namespace {

// Descriptors handed to a child must not be 0, 1 or 2 (a parent without
// standard streams gets those numbers back from pipe()), or placing them
// would overwrite each other.
int aboveStandardStreams(int fd)
{
    if (fd < 0 || fd > 2)
        return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return moved;
}

} // namespace

bool makePipe(Fd &readEnd, Fd &writeEnd)
{
    int fds[2];
#if defined(__linux__)
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
#else
    if (::pipe(fds) != 0)
        return false;
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
#endif
    readEnd = aboveStandardStreams(fds[0]);
    writeEnd = aboveStandardStreams(fds[1]);
    return readEnd.get() >= 0 && writeEnd.get() >= 0;
}

int openNullDevice(int flags)
{
    return aboveStandardStreams(::open("/dev/null", flags | O_CLOEXEC));
}

#if defined(QUORVANE_SPAWN_WITH_CLONE)

namespace {

// How far the child got when it could not exec.
enum { StageStreams = 1, StageDirectory, StageExec };

// What the child reads and, when exec fails, writes. The child shares our
// memory and runs while the launching thread is suspended, so no other
// report channel is needed (but for a forked child: see launch()).
struct ChildArgs {
    const LaunchPlan *plan;
    pid_t parent;
    int stage;
    int error;
    int reportFd = -1; // a forked child writes stage and error here
};

[[noreturn]] void childFail(ChildArgs &args, int stage)
{
    args.error = errno;
    args.stage = stage;
    if (args.reportFd >= 0) {
        const int report[2] = {stage, args.error};
        (void)!::write(args.reportFd, report, sizeof report);
    }
    ::_exit(127);
}

// Runs in the cloned child on its own stack, in our address space:
// async-signal-safe calls only, and nothing of ours written but the args.
// All signals are blocked on entry (the launching thread blocks them) and
// no handler of ours may run here, so every signal goes back to its default
// before the mask is lifted.
int childMain(void *data)
{
    ChildArgs &args = *static_cast<ChildArgs *>(data);
    const LaunchPlan &plan = *args.plan;
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig)
        ::sigaction(sig, &byDefault, nullptr);

    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != args.parent) // the parent died before the request took hold
        ::_exit(127);

    for (int i = 0; i < 3; ++i) {
        if (plan.streams[i] >= 0 && ::dup2(plan.streams[i], i) < 0)
            childFail(args, StageStreams);
    }
    if (plan.directory && ::chdir(plan.directory) != 0)
        childFail(args, StageDirectory);
    if (plan.newProcessGroup)
        ::setpgid(0, 0);
#if defined(SYS_close_range)
    // Whatever another part of the application opened without O_CLOEXEC.
    // The descriptor table is the child's own copy.
    ::syscall(SYS_close_range, 3U, ~0U, 4U /* CLOSE_RANGE_CLOEXEC */);
#endif
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(plan.path, plan.argv, plan.envp ? plan.envp : environ);
    childFail(args, StageExec);
}

// The child's stack, with an inaccessible page below it so that an overflow
// faults instead of writing into our memory.
constexpr size_t kChildStackBytes = 64 * 1024;

struct ChildStack {
    void *base = MAP_FAILED;
    size_t size = 0;

    ChildStack()
    {
        const size_t guard = size_t(::sysconf(_SC_PAGESIZE));
        size = kChildStackBytes + guard;
        base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (base != MAP_FAILED && ::mprotect(base, guard, PROT_NONE) != 0) {
            ::munmap(base, size);
            base = MAP_FAILED;
        }
    }
    ~ChildStack()
    {
        if (base == MAP_FAILED)
            return;
#if defined(__SANITIZE_ADDRESS__)
        // The child's frames never returned (it exec'd or exited), so their
        // guard zones are still marked in the memory we share with it; a
        // later mapping at this address would inherit the marks.
        ASAN_UNPOISON_MEMORY_REGION(base, size);
#endif
        ::munmap(base, size);
    }
    ChildStack(const ChildStack &) = delete;
    ChildStack &operator=(const ChildStack &) = delete;
    void *top() const { return static_cast<char *>(base) + size; } // stacks grow down
};

#if defined(QUORVANE_SPAWN_WITH_FORK)

// The thread sanitizer cannot follow a child that shares our memory: the
// child's calls run through the sanitizer's bookkeeping, which is ours, as
// if our launching thread made them. Its builds fork instead, and the child
// reports a failed exec through a pipe that the exec closes.
pid_t startChild(ChildArgs &args, int &error)
{
    Fd reportRead, reportWrite;
    if (!makePipe(reportRead, reportWrite)) {
        error = errno;
        return -1;
    }
    args.reportFd = reportWrite.get();
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(childMain(&args));
    error = errno;
    reportWrite.reset();
    if (pid < 0)
        return -1;
    int report[2];
    ssize_t got;
    while ((got = ::read(reportRead.get(), report, sizeof report)) < 0 && errno == EINTR) {
    }
    if (got == ssize_t(sizeof report)) {
        args.stage = report[0];
        args.error = report[1];
    }
    return pid;
}

#else

// clone with CLONE_VM|CLONE_VFORK: the child borrows our address space until
// it execs, so no page table is copied however much memory we hold, and this
// thread sleeps until the exec (or the child's exit) has happened.
pid_t startChild(ChildArgs &args, int &error)
{
    ChildStack stack;
    if (stack.base == MAP_FAILED) {
        error = errno;
        return -1;
    }
    const pid_t pid = ::clone(childMain, stack.top(), CLONE_VM | CLONE_VFORK | SIGCHLD, &args);
    error = errno;
    return pid;
}

#endif

LaunchOutcome launch(const LaunchPlan &plan)
{
    LaunchOutcome outcome;
    ChildArgs args{&plan, ::getpid(), 0, 0};
    // The child starts with this mask: a handler of ours must not run in it
    // (already so on the launcher thread, not on a caller's thread).
    sigset_t all, previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    int startError = 0;
    const pid_t pid = startChild(args, startError);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (pid < 0) {
        outcome.error = startError;
        return outcome;
    }
    if (args.stage == 0) { // exec'd
        outcome.pid = pid;
        return outcome;
    }
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    outcome.error = args.error;
    outcome.inDirectory = args.stage == StageDirectory;
    return outcome;
}

// PR_SET_PDEATHSIG fires when the thread that created the child ends, not the
// application. Children are therefore created on one thread that lives as
// long as the application, never on the caller's (a pool thread may retire
// while its child still runs).
class Spawner {
public:
    static Spawner &instance()
    {
        static Spawner *spawner = new Spawner; // never destroyed: its thread never ends
        return *spawner;
    }

    void run(const std::function<void()> &job)
    {
        if (!m_running || ::getpid() != m_owner) { // no thread, or a forked copy of us
            job();
            return;
        }
        bool done = false;
        std::unique_lock lock(m_mutex);
        m_jobs.push_back({&job, &done});
        m_wake.notify_one();
        m_finished.wait(lock, [&] { return done; });
    }

private:
    struct Item {
        const std::function<void()> *job;
        bool *done;
    };

    Spawner() : m_owner(::getpid())
    {
        try {
            std::thread([this] { loop(); }).detach();
            m_running = true;
        } catch (const std::system_error &) {
        }
    }

    void loop()
    {
        // Children start with every signal blocked, until they reset the
        // handlers they inherited from us.
        sigset_t all;
        sigfillset(&all);
        ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [&] { return !m_jobs.empty(); });
            const Item item = m_jobs.front();
            m_jobs.pop_front();
            lock.unlock();
            (*item.job)();
            lock.lock();
            *item.done = true;
            m_finished.notify_all();
        }
    }

    const pid_t m_owner;
    bool m_running = false;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_finished;
    std::deque<Item> m_jobs;
};

} // namespace

LaunchOutcome launchChild(const LaunchPlan &plan)
{
    LaunchOutcome outcome;
    Spawner::instance().run([&] { outcome = launch(plan); });
    return outcome;
}

#else // posix_spawn

LaunchOutcome launchChild(const LaunchPlan &plan)
{
    LaunchOutcome outcome;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);

    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
#if defined(POSIX_SPAWN_CLOEXEC_DEFAULT)
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT; // only the three streams reach the child
#endif
    if (plan.newProcessGroup) {
        flags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&attributes, 0);
    }
    posix_spawnattr_setflags(&attributes, flags);
    for (int i = 0; i < 3; ++i) {
        if (plan.streams[i] >= 0)
            posix_spawn_file_actions_adddup2(&actions, plan.streams[i], i);
#if defined(POSIX_SPAWN_CLOEXEC_DEFAULT)
        else
            posix_spawn_file_actions_addinherit_np(&actions, i);
#endif
    }
    if (plan.directory)
        posix_spawn_file_actions_addchdir_np(&actions, plan.directory);

    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, plan.path, &actions, &attributes, plan.argv,
                                 plan.envp ? plan.envp : environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0)
        outcome.error = rc;
    else
        outcome.pid = pid;
    return outcome;
}

#endif

} // namespace child_launch
