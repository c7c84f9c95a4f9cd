/* A preloaded library that makes the N-th open, write, fsync or rename of a
 * file under one folder fail with a chosen errno, and counts those calls, so
 * that a test can fail every write site of an operation in turn.
 *
 * Armed through quorvane_fault_arm() (found with dlsym) by a fault
 * description of space-separated fields:
 *   root=<folder>   only files under it count (required; no root disarms)
 *   op=<open|write|fsync|rename|none>   the call that fails (none: count only)
 *   n=<N>           the N-th such call since arming fails, once
 *   errno=<ENOSPC|EIO>
 * quorvane_fault_count() gives the calls of each kind since arming, and the
 * faults fired.
 * Wrapped are the names the application, Qt and the C++ library call:
 * "write" covers write, writev and sendfile into a file; "fsync" covers
 * fdatasync; "open" covers open, openat and fopen (for reading too);
 * "rename" covers renameat and renameat2.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

enum { OP_OPEN, OP_WRITE, OP_FSYNC, OP_RENAME, OP_COUNT };
static const char *const kOpNames[OP_COUNT] = {"open", "write", "fsync", "rename"};

static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static char g_root[PATH_MAX];
static size_t g_rootLength;
static int g_op = -1;
static long g_n;
static int g_errno = EIO;
static long g_counts[OP_COUNT];
static long g_fired;

#define REAL(name)                                                                                                  \
    static __typeof__(&name) real_##name;                                                                           \
    if (!real_##name && !(real_##name = (__typeof__(&name))dlsym(RTLD_NEXT, #name)))                                \
        abort()

/* Defines name(params) failing with failure when `when` holds and the call
 * is the one to fail; else the next definition of name gets args. */
#define FAULTED(ret, failure, name, op, when, params, ...)                                                          \
    ret name params                                                                                                 \
    {                                                                                                               \
        REAL(name);                                                                                                 \
        if ((when) && failNow(op))                                                                                  \
            return failure;                                                                                         \
        return real_##name(__VA_ARGS__);                                                                            \
    }

static int armed(void) { return __atomic_load_n(&g_rootLength, __ATOMIC_ACQUIRE) != 0; }

/* Counts one call of op; true (with errno set) when it is the one to fail. */
static int failNow(int op)
{
    pthread_mutex_lock(&g_lock);
    const int hit = g_rootLength != 0 && ++g_counts[op] == g_n && op == g_op;
    g_fired += hit;
    if (hit)
        errno = g_errno;
    pthread_mutex_unlock(&g_lock);
    return hit;
}

/* The path of an open file or folder (the working directory for AT_FDCWD);
 * false when there is none. */
static int pathOf(int fd, char *path, size_t size)
{
    char link[64];
    if (fd == AT_FDCWD)
        snprintf(link, sizeof link, "/proc/self/cwd");
    else
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, size - 1);
    path[n > 0 ? n : 0] = 0;
    return n > 0;
}

static int underRoot(int dirfd, const char *path)
{
    char base[PATH_MAX] = "", full[PATH_MAX * 2];
    if (!armed() || !path || (path[0] != '/' && !pathOf(dirfd, base, sizeof base)))
        return 0;
    snprintf(full, sizeof full, "%s%s%s", base, path[0] == '/' ? "" : "/", path);
    pthread_mutex_lock(&g_lock);
    const int inside = g_rootLength && strncmp(full, g_root, g_rootLength) == 0
                       && (full[g_rootLength] == '/' || full[g_rootLength] == 0);
    pthread_mutex_unlock(&g_lock);
    return inside;
}

/* A regular file under the root (also one already unlinked, or made with
 * O_TMPFILE in a folder under it). */
static int tracked(int fd)
{
    struct stat st;
    char path[PATH_MAX];
    return armed() && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && pathOf(fd, path, sizeof path)
           && underRoot(AT_FDCWD, path);
}

/* The value of the fault's field key (a word starting with it), or fallback. */
static void field(const char *fault, const char *key, char *out, size_t size, const char *fallback)
{
    for (const char *p = fault; (p = strstr(p, key)); ++p)
        if (p == fault || p[-1] == ' ') {
            p += strlen(key);
            snprintf(out, size, "%.*s", (int)strcspn(p, " "), p);
            return;
        }
    snprintf(out, size, "%s", fallback);
}

void quorvane_fault_arm(const char *fault)
{
    char op[16], error[16], n[32];
    fault = fault ? fault : "";
    field(fault, "op=", op, sizeof op, "none");
    field(fault, "errno=", error, sizeof error, "EIO");
    field(fault, "n=", n, sizeof n, "0");
    pthread_mutex_lock(&g_lock);
    field(fault, "root=", g_root, sizeof g_root, "");
    g_op = -1;
    for (int i = 0; i < OP_COUNT; ++i) {
        g_counts[i] = 0;
        if (!strcmp(op, kOpNames[i]))
            g_op = i;
    }
    g_n = atol(n);
    g_fired = 0;
    g_errno = !strcmp(error, "ENOSPC") ? ENOSPC : EIO;
    __atomic_store_n(&g_rootLength, strlen(g_root), __ATOMIC_RELEASE);
    pthread_mutex_unlock(&g_lock);
}

long quorvane_fault_count(int op)
{
    pthread_mutex_lock(&g_lock);
    const long count = op >= 0 && op < OP_COUNT ? g_counts[op] : g_fired;
    pthread_mutex_unlock(&g_lock);
    return count;
}

/* ---- open ---- */

static mode_t modeOf(int flags, va_list args)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(args, int) : 0;
}

/* Every open goes through the real openat, as glibc's own do. */
static int openUnder(int dirfd, const char *path, int flags, mode_t mode)
{
    REAL(openat);
    if (underRoot(dirfd, path) && failNow(OP_OPEN))
        return -1;
    return real_openat(dirfd, path, flags, mode);
}

#define OPEN_LIKE(name, params, dirfd)                                                                              \
    int name params                                                                                                 \
    {                                                                                                               \
        va_list args;                                                                                               \
        va_start(args, flags);                                                                                      \
        const mode_t mode = modeOf(flags, args);                                                                    \
        va_end(args);                                                                                               \
        return openUnder(dirfd, path, flags, mode);                                                                 \
    }
OPEN_LIKE(open, (const char *path, int flags, ...), AT_FDCWD)
OPEN_LIKE(open64, (const char *path, int flags, ...), AT_FDCWD)
OPEN_LIKE(openat, (int dirfd, const char *path, int flags, ...), dirfd)

FAULTED(FILE *, NULL, fopen, OP_OPEN, underRoot(AT_FDCWD, path), (const char *path, const char *mode), path, mode)
FAULTED(FILE *, NULL, fopen64, OP_OPEN, underRoot(AT_FDCWD, path), (const char *path, const char *mode), path, mode)

/* ---- write, fsync ---- */

#define FD_FAULTED(ret, name, op, fd, params, ...) FAULTED(ret, -1, name, op, tracked(fd), params, __VA_ARGS__)
FD_FAULTED(ssize_t, write, OP_WRITE, fd, (int fd, const void *buffer, size_t count), fd, buffer, count)
FD_FAULTED(ssize_t, writev, OP_WRITE, fd, (int fd, const struct iovec *vector, int count), fd, vector, count)
FD_FAULTED(ssize_t, sendfile, OP_WRITE, out, (int out, int in, off_t *offset, size_t count), out, in, offset, count)
FD_FAULTED(int, fsync, OP_FSYNC, fd, (int fd), fd)
FD_FAULTED(int, fdatasync, OP_FSYNC, fd, (int fd), fd)

/* ---- rename ---- */

FAULTED(int, -1, rename, OP_RENAME, underRoot(AT_FDCWD, from) || underRoot(AT_FDCWD, to),
        (const char *from, const char *to), from, to)
FAULTED(int, -1, renameat, OP_RENAME, underRoot(fromDir, from) || underRoot(toDir, to),
        (int fromDir, const char *from, int toDir, const char *to), fromDir, from, toDir, to)
FAULTED(int, -1, renameat2, OP_RENAME, underRoot(fromDir, from) || underRoot(toDir, to),
        (int fromDir, const char *from, int toDir, const char *to, unsigned int flags), fromDir, from, toDir, to, flags)
