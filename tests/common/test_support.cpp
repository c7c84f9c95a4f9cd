#include "test_support.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QThread>

#include <sys/stat.h>

#include <algorithm>

namespace {

QMutex g_logMutex;
QStringList g_logLines;
int g_captureDepth = 0;
QtMessageHandler g_previousHandler = nullptr;

void captureHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QLatin1String category(context.category ? context.category : "default");
    {
        QMutexLocker lock(&g_logMutex);
        g_logLines << (category == QLatin1String("default") ? message : category + QLatin1String(": ") + message);
    }
    if (g_previousHandler)
        g_previousHandler(type, context, message);
}

} // namespace

// Each variable with its folder under the temporary home.
const QList<QPair<const char *, QString>> kVariables = {{"HOME", {}},
                                                        {"XDG_DATA_HOME", QStringLiteral("/.local/share")},
                                                        {"XDG_CONFIG_HOME", QStringLiteral("/.config")},
                                                        {"XDG_CACHE_HOME", QStringLiteral("/.cache")},
                                                        {"XDG_RUNTIME_DIR", QStringLiteral("/run")}};

TempHome::TempHome()
{
    for (const auto &[name, folder] : kVariables) {
        m_saved.append(qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt);
        qputenv(name, QFile::encodeName(home() + folder));
    }
    QDir().mkpath(runtimeDir());
    QFile::setPermissions(runtimeDir(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

TempHome::~TempHome()
{
    for (qsizetype i = 0; i < kVariables.size(); ++i) {
        if (m_saved[i])
            qputenv(kVariables[i].first, *m_saved[i]);
        else
            qunsetenv(kVariables[i].first);
    }
}

bool TempHome::installProgram(const QString &program) const
{
    const QString bin = dataDir() + QStringLiteral("/llama.cpp/build/bin");
    return QDir().mkpath(bin) && QFile::link(program, bin + QStringLiteral("/llama-completion"));
}

QString TempHome::writeFile(const QString &relativePath, const QByteArray &bytes) const
{
    const QString path = QDir(home()).filePath(relativePath);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

LogCapture::LogCapture()
{
    QMutexLocker lock(&g_logMutex);
    if (g_captureDepth++ == 0) {
        g_logLines.clear();
        g_previousHandler = qInstallMessageHandler(captureHandler);
    }
}

LogCapture::~LogCapture()
{
    QMutexLocker lock(&g_logMutex);
    if (--g_captureDepth == 0)
        qInstallMessageHandler(g_previousHandler);
}

QStringList LogCapture::lines() const
{
    QMutexLocker lock(&g_logMutex);
    return g_logLines;
}

int LogCapture::count(const QString &fragment) const
{
    QMutexLocker lock(&g_logMutex);
    const auto has = [&](const QString &line) { return line.contains(fragment); };
    return int(std::count_if(g_logLines.cbegin(), g_logLines.cend(), has));
}

void LogCapture::clear()
{
    QMutexLocker lock(&g_logMutex);
    g_logLines.clear();
}

bool waitUntil(const std::function<bool()> &pred, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!pred()) {
        if (deadline.hasExpired())
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

QByteArray readFileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

int processesWith(const QByteArray &marker)
{
    int count = 0;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool isPid = false;
        entry.toInt(&isPid);
        if (isPid && readFileBytes(QStringLiteral("/proc/%1/cmdline").arg(entry)).replace('\0', ' ').contains(marker))
            ++count;
    }
    return count;
}

QStringList folderEntries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

QByteArray entrySnapshot(const QString &path)
{
    QFileInfo info(path);
    if (info.isSymLink())
        return "link:" + info.symLinkTarget().toUtf8();
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return "missing";
    if (S_ISFIFO(st.st_mode))
        return "fifo";
    if (S_ISDIR(st.st_mode)) {
        QByteArray out = "dir:";
        for (const QString &name : folderEntries(path))
            out += name.toUtf8() + "=" + readFileBytes(path + QLatin1Char('/') + name) + ";";
        return out;
    }
    return "file:" + readFileBytes(path);
}
