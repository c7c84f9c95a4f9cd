#include "core/file_manager_utility.h"

#include "platform/logging.h"
#include "platform/paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

FileManagerUtility::FileManagerUtility()
{
    migrateLegacyFolders(paths::documentsDirectory(), paths::dataDirectory());
}

FileManagerUtility &FileManagerUtility::shared()
{
    static FileManagerUtility instance; // thread-safe first use
    return instance;
}

QString FileManagerUtility::appSupportDirectory() const
{
    const QString dir = paths::dataDirectory();
    ensureDirectoryExists(dir);
    return dir;
}

QString FileManagerUtility::modelsDirectory() const { return appSupportDirectory() + QStringLiteral("/Models"); }

void FileManagerUtility::ensureDirectoryExists(const QString &path)
{
    if (path.isEmpty())
        return;
    QFileInfo info(path);
    if (info.exists() || info.isSymLink())
        return;
    QDir().mkpath(path);
}

qint64 FileManagerUtility::fileSize(const AIModel &model)
{
    if (model.filePath.isEmpty())
        return 0;
    QFileInfo info(model.filePath);
    if (!info.exists())
        return 0;
    return info.size();
}

void FileManagerUtility::migrateLegacyFolders(const QString &documentsDir, const QString &dataDir)
{
    const struct {
        const char *name;
        bool logged;
    } pairs[] = {{"Models", true}, {"ChatHistory", false}};

    for (const auto &pair : pairs) {
        const QString oldPath = documentsDir + QLatin1Char('/') + QLatin1String(pair.name);
        const QString newPath = dataDir + QLatin1Char('/') + QLatin1String(pair.name);
        QDir oldDir(oldPath);
        if (!QFileInfo(oldPath).isDir() || !oldDir.isReadable())
            continue;
        const QStringList entries =
            oldDir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        ensureDirectoryExists(newPath);
        for (const QString &name : entries) {
            const QString target = newPath + QLatin1Char('/') + name;
            if (QFileInfo::exists(target) || QFileInfo(target).isSymLink())
                continue;
            // rename() moves within one file system; across file systems fall
            // back to copy-then-remove for plain files.
            const QString source = oldPath + QLatin1Char('/') + name;
            if (!QDir().rename(source, target) && QFileInfo(source).isFile() && QFile::copy(source, target))
                QFile::remove(source);
            if (pair.logged)
                qCInfo(lcMigrate, "Models: %s", qPrintable(name));
        }
    }
}
