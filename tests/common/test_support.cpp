#include "test_support.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QThread>

#include <sys/stat.h>

namespace {

QMutex g_logMutex;
QStringList g_logLines;
int g_captureDepth = 0;
QtMessageHandler g_previousHandler = nullptr;

void captureHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        QMutexLocker lock(&g_logMutex);
        const QString category = context.category ? QString::fromUtf8(context.category) : QString();
        g_logLines << (category.isEmpty() || category == QLatin1String("default") ? message
                                                                                  : category + QLatin1String(": ") + message);
    }
    if (g_previousHandler)
        g_previousHandler(type, context, message);
}

} // namespace

TempHome::TempHome()
{
    const QString root = m_dir.path();
    const QList<QPair<QByteArray, QString>> values = {
        {"HOME", root},
        {"XDG_DATA_HOME", root + QStringLiteral("/.local/share")},
        {"XDG_CONFIG_HOME", root + QStringLiteral("/.config")},
        {"XDG_CACHE_HOME", root + QStringLiteral("/.cache")},
        {"XDG_RUNTIME_DIR", root + QStringLiteral("/run")},
    };
    for (const auto &[name, value] : values) {
        if (qEnvironmentVariableIsSet(name.constData()))
            m_saved.append({name, qgetenv(name.constData())});
        else
            m_unset.append(name);
        qputenv(name.constData(), value.toUtf8());
    }
    QDir().mkpath(root + QStringLiteral("/run"));
    QFile::setPermissions(root + QStringLiteral("/run"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

TempHome::~TempHome()
{
    for (const auto &[name, value] : m_saved)
        qputenv(name.constData(), value);
    for (const auto &name : m_unset)
        qunsetenv(name.constData());
    // make everything removable again, in case a test took write bits away
    const QString root = m_dir.path();
    std::function<void(const QString &)> open = [&](const QString &path) {
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        const auto entries = QDir(path).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::NoSymLinks);
        for (const QFileInfo &e : entries)
            open(e.absoluteFilePath());
    };
    open(root);
}

QString TempHome::dataDir() const { return home() + QStringLiteral("/.local/share/Quorvane"); }
QString TempHome::configFile() const { return home() + QStringLiteral("/.config/Quorvane/Quorvane.conf"); }
QString TempHome::runtimeDir() const { return home() + QStringLiteral("/run"); }

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
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    f.write(bytes);
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

bool LogCapture::contains(const QString &fragment) const { return count(fragment) > 0; }

int LogCapture::count(const QString &fragment) const
{
    QMutexLocker lock(&g_logMutex);
    int n = 0;
    for (const QString &line : std::as_const(g_logLines))
        n += line.contains(fragment) ? 1 : 0;
    return n;
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
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray("<unreadable>");
    return f.readAll();
}

QByteArray sha256(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return "<unreadable>";
    return hash.result().toHex();
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
