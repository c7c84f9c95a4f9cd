#include "platform/paths.h"

#include <QDir>
#include <QFile>
#include <QHash>

#include <mutex>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace paths {

namespace {

// An XDG variable counts only when it holds an absolute path.
QString xdgOr(const char *variable, const QString &fallback)
{
    const QString value = qEnvironmentVariable(variable);
    if (!value.isEmpty() && QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    return fallback;
}

} // namespace

QString homeDirectory()
{
    QString home = QDir::homePath();
    while (home.size() > 1 && home.endsWith(QLatin1Char('/')))
        home.chop(1);
    return home;
}

QString dataDirectory()
{
#if defined(Q_OS_MACOS)
    return homeDirectory() + QStringLiteral("/Library/Application Support/Quorvane");
#else
    return xdgOr("XDG_DATA_HOME", homeDirectory() + QStringLiteral("/.local/share")) + QStringLiteral("/Quorvane");
#endif
}

QString documentsDirectory() { return homeDirectory() + QStringLiteral("/Documents"); }

QString temporaryDirectory()
{
#if defined(Q_OS_MACOS)
    return QDir::cleanPath(QDir::tempPath());
#else
    return xdgOr("XDG_RUNTIME_DIR", QDir::cleanPath(QDir::tempPath()));
#endif
}

QString preferencesFile()
{
#if defined(Q_OS_MACOS)
    return {};
#else
    return xdgOr("XDG_CONFIG_HOME", homeDirectory() + QStringLiteral("/.config"))
           + QStringLiteral("/Quorvane/Quorvane.conf");
#endif
}

void holdFolder(const QString &directory, const std::function<void()> &clearLeftovers)
{
    // One descriptor per folder, kept open (and so locked) for the life of
    // the process; close-on-exec, so that no child keeps the lock.
    static std::mutex mutex;
    static QHash<QString, int> held;
    std::lock_guard lock(mutex);
    if (held.contains(directory))
        return;
    const int fd = ::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    held.insert(directory, fd);
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        clearLeftovers();
    ::flock(fd, LOCK_SH);
}

} // namespace paths
