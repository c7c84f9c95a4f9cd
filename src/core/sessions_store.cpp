#include "core/sessions_store.h"

#include "core/file_manager_utility.h"
#include "core/record_json.h"
#include "platform/logging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>

namespace {

bool isStoreEntry(const QFileInfo &info) { return info.suffix() == QLatin1String("json"); }

QFileInfoList listEntries(const QString &directory, bool *ok)
{
    QDir dir(directory);
    *ok = dir.exists() && dir.isReadable();
    if (!*ok)
        return {};
    return dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace

SessionsStore::SessionsStore(QString directory) : m_directory(std::move(directory)) {}

SessionsStore SessionsStore::standard()
{
    return SessionsStore(FileManagerUtility::shared().appSupportDirectory() + QStringLiteral("/Sessions"));
}

QString SessionsStore::filePath(const QUuid &id) const
{
    return m_directory + QLatin1Char('/') + canonicalUuid(id) + QStringLiteral(".json");
}

void SessionsStore::ensureDirectory() const { FileManagerUtility::ensureDirectoryExists(m_directory); }

SessionsStore::LoadResult SessionsStore::loadAll() const
{
    ensureDirectory();
    LoadResult result;
    const QFileInfoList entries = listEntries(m_directory, &result.listed);
    QHash<QUuid, qsizetype> indexById;
    QStringList fileNames; // parallel to result.sessions
    for (const QFileInfo &entry : entries) {
        if (!isStoreEntry(entry))
            continue;
        const QString name = entry.fileName();
        // Only regular files are read: opening a FIFO would block start-up.
        if (!entry.isFile()) {
            qCInfo(lcChatPersistence, "Skipped unreadable conversation file %s: not a regular file",
                   qPrintable(name));
            result.unreadableFiles << name;
            continue;
        }
        QFile file(entry.absoluteFilePath());
        if (!file.open(QIODevice::ReadOnly)) {
            qCInfo(lcChatPersistence, "Skipped unreadable conversation file %s: %s", qPrintable(name),
                   qPrintable(file.errorString()));
            result.unreadableFiles << name;
            continue;
        }
        recordjson::DecodeError error;
        auto session = recordjson::decodeSessionDocument(file.readAll(), &error);
        if (!session) {
            qCInfo(lcChatPersistence, "Skipped unreadable conversation file %s: %s", qPrintable(name),
                   qPrintable(error.text));
            result.unreadableFiles << name;
            continue;
        }
        // Two files claiming one conversation: keep the one named for it and
        // leave the other on disk, out of pruning.
        const auto existing = indexById.constFind(session->id);
        if (existing != indexById.constEnd()) {
            const bool thisIsCanonical = name == canonicalUuid(session->id) + QStringLiteral(".json");
            qCInfo(lcChatPersistence, "Conversation %s is stored twice; keeping one copy and leaving the other",
                   qPrintable(logging::shortId(canonicalUuid(session->id))));
            if (thisIsCanonical) {
                result.unreadableFiles << fileNames[*existing];
                result.sessions[*existing] = std::move(*session);
                fileNames[*existing] = name;
            } else {
                result.unreadableFiles << name;
            }
            continue;
        }
        indexById.insert(session->id, result.sessions.size());
        fileNames.append(name);
        result.sessions.append(std::move(*session));
    }
    return result;
}

bool SessionsStore::save(const ChatSession &session) const
{
    ensureDirectory();
    const auto bytes = recordjson::encodeSessionDocument(session);
    if (!bytes)
        return false;
    QSaveFile file(filePath(session.id));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(*bytes) != bytes->size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

void SessionsStore::prune(const QSet<QUuid> &keepIds, const QSet<QString> &keepFiles) const
{
    bool listed = false;
    const QFileInfoList entries = listEntries(m_directory, &listed);
    if (!listed)
        return;
    for (const QFileInfo &entry : entries) {
        if (!isStoreEntry(entry) || !entry.isFile() || entry.isSymLink())
            continue;
        if (keepFiles.contains(entry.fileName()))
            continue;
        const auto id = parseUuid(entry.completeBaseName());
        if (id && keepIds.contains(*id))
            continue;
        QFile::remove(entry.absoluteFilePath());
    }
}
