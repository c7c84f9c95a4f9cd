#include "core/sessions_store.h"

#include "core/file_manager_utility.h"
#include "core/record_json.h"
#include "platform/logging.h"
#include "platform/paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSaveFile>

#include <algorithm>
#include <thread>
#include <vector>

namespace {

bool isStoreEntry(const QFileInfo &info) { return info.suffix() == QLatin1String("json"); }

// Pruning deletes regular store files only: never a folder, a FIFO or a
// link (nor what it points to).
bool isRemovable(const QFileInfo &info) { return isStoreEntry(info) && info.isFile() && !info.isSymLink(); }

// What a save leaves beside a store file when the process dies before the
// save ends: the store file's name, a dot and six letters or digits.
bool isLeftoverSaveFile(const QFileInfo &info)
{
    static const QRegularExpression pattern(QStringLiteral("^(.+)\\.json\\.[A-Za-z0-9]{6}$"));
    const QRegularExpressionMatch match = pattern.match(info.fileName());
    return match.hasMatch() && parseUuid(match.captured(1)) && info.isFile() && !info.isSymLink();
}

void removeLeftoverSaveFiles(const QString &directory)
{
    const QFileInfoList entries = QDir(directory).entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo &entry : entries) {
        if (isLeftoverSaveFile(entry) && QFile::remove(entry.absoluteFilePath()))
            qCInfo(lcChatPersistence, "Removed the unfinished save file %s left by an earlier run",
                   qPrintable(entry.fileName()));
    }
}

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

void SessionsStore::ensureDirectory() const
{
    FileManagerUtility::ensureDirectoryExists(m_directory);
    // Save files of a running instance are spared: they go only while no
    // other process holds the folder.
    paths::holdFolder(m_directory, [this] { removeLeftoverSaveFiles(m_directory); });
}

namespace {

// What reading one store file gave: a conversation, or why not.
struct FileOutcome {
    QString name;
    std::optional<ChatSession> session;
    QString problem;
};

FileOutcome readStoreFile(const QFileInfo &entry)
{
    FileOutcome out{entry.fileName(), std::nullopt, {}};
    // Only regular files are read: opening a FIFO would block start-up.
    if (!entry.isFile()) {
        out.problem = QStringLiteral("not a regular file");
        return out;
    }
    QFile file(entry.absoluteFilePath());
    if (!file.open(QIODevice::ReadOnly)) {
        out.problem = file.errorString();
        return out;
    }
    // Read into a buffer with room past the end, so the JSON reader needs
    // no copy of it.
    const qint64 size = file.size();
    QByteArray bytes;
    if (size > 0 && size < (qint64(1) << 31)) {
        bytes.reserve(qsizetype(size) + recordjson::kDocumentPadding);
        bytes.resize(qsizetype(size));
        const qint64 got = file.read(bytes.data(), size);
        bytes.resize(qsizetype(std::max<qint64>(got, 0)));
    } else {
        bytes = file.readAll();
    }
    recordjson::DecodeError error;
    out.session = recordjson::decodeSessionDocument(bytes, &error);
    if (!out.session)
        out.problem = error.text;
    return out;
}

// Reads the files on a few threads; the outcomes keep the entries' order.
std::vector<FileOutcome> readStoreFiles(const QFileInfoList &entries)
{
    std::vector<FileOutcome> outcomes(size_t(entries.size()));
    const size_t count = outcomes.size();
    const size_t workers = std::clamp<size_t>(std::min<size_t>(std::thread::hardware_concurrency(), 4), 1,
                                              std::max<size_t>(count / 32, 1));
    auto work = [&](size_t first, size_t last) {
        for (size_t i = first; i < last; ++i)
            outcomes[i] = readStoreFile(entries[qsizetype(i)]);
    };
    std::vector<std::thread> threads;
    const size_t chunk = (count + workers - 1) / workers;
    for (size_t w = 1; w < workers; ++w)
        threads.emplace_back(work, std::min(count, w * chunk), std::min(count, (w + 1) * chunk));
    work(0, std::min(count, chunk));
    for (std::thread &t : threads)
        t.join();
    return outcomes;
}

} // namespace

SessionsStore::LoadResult SessionsStore::loadAll() const
{
    ensureDirectory();
    LoadResult result;
    QFileInfoList entries = listEntries(m_directory, &result.listed);
    entries.removeIf([](const QFileInfo &e) { return !isStoreEntry(e); });
    std::vector<FileOutcome> outcomes = readStoreFiles(entries);

    QHash<QUuid, qsizetype> indexById;
    QStringList fileNames; // parallel to result.sessions
    for (FileOutcome &outcome : outcomes) {
        const QString &name = outcome.name;
        if (!outcome.session) {
            qCInfo(lcChatPersistence, "Skipped unreadable conversation file %s: %s", qPrintable(name),
                   qPrintable(outcome.problem));
            result.unreadableFiles << name;
            continue;
        }
        ChatSession &session = *outcome.session;
        // Two files claiming one conversation: keep the one named for it and
        // leave the other on disk, out of pruning.
        const auto existing = indexById.constFind(session.id);
        if (existing != indexById.constEnd()) {
            const bool thisIsCanonical = name == canonicalUuid(session.id) + QStringLiteral(".json");
            qCInfo(lcChatPersistence, "Conversation %s is stored twice; keeping one copy and leaving the other",
                   qPrintable(logging::shortId(canonicalUuid(session.id))));
            if (thisIsCanonical) {
                result.unreadableFiles << fileNames[*existing];
                result.sessions[*existing] = std::move(session);
                fileNames[*existing] = name;
            } else {
                result.unreadableFiles << name;
            }
            continue;
        }
        indexById.insert(session.id, result.sessions.size());
        fileNames.append(name);
        result.sessions.append(std::move(session));
    }
    for (qsizetype i = 0; i < fileNames.size(); ++i) {
        const QUuid &id = result.sessions.at(i).id;
        if (fileNames.at(i) != canonicalUuid(id) + QStringLiteral(".json"))
            result.strayFiles.insert(fileNames.at(i), id);
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
    // The bytes are flushed here: a save file commits even when its final
    // flush fails (a full disk), replacing the good file with a cut one.
    if (file.write(*bytes) != bytes->size() || !file.flush()) {
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
        if (!isRemovable(entry))
            continue;
        if (keepFiles.contains(entry.fileName()))
            continue;
        const auto id = parseUuid(entry.completeBaseName());
        if (id && keepIds.contains(*id))
            continue;
        QFile::remove(entry.absoluteFilePath());
    }
}

bool SessionsStore::removeFile(const QString &name) const
{
    const QFileInfo entry(m_directory + QLatin1Char('/') + name);
    if (!entry.exists() && !entry.isSymLink())
        return true;
    return isRemovable(entry) && QFile::remove(entry.absoluteFilePath());
}
