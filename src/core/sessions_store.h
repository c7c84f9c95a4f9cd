#pragma once

#include "core/records.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

// The folder of conversation files: one "<UPPER-CASE-ID>.json" per
// conversation. Only regular files whose extension is exactly "json" belong
// to it; anything else in the folder is left alone.
class SessionsStore {
public:
    explicit SessionsStore(QString directory);
    // DATA/Sessions
    static SessionsStore standard();

    const QString &directory() const { return m_directory; }
    QString filePath(const QUuid &id) const;

    struct LoadResult {
        QList<ChatSession> sessions;   // in folder order, one per id
        QStringList unreadableFiles;   // names of store files that did not load
        bool listed = false;           // false when the folder could not be listed
        // Store files that loaded but are named other than for the
        // conversation they hold (an older writer's lower-case name, a
        // copy), with the id of that conversation.
        QHash<QString, QUuid> strayFiles;
    };
    // Reads every store file. Unreadable ones are reported, never touched.
    // The first load or save of a folder in this process removes the save
    // files a killed run left in it, unless another process uses the folder.
    LoadResult loadAll() const;

    // Writes one conversation atomically (a reader never sees half a file).
    // Creates the folder first. False on failure; nothing else changes then.
    bool save(const ChatSession &session) const;

    // Deletes the store files of conversations not in keepIds. Names in
    // keepFiles (files that could not be read) and anything that is not a
    // regular file are kept. Failures are ignored.
    void prune(const QSet<QUuid> &keepIds, const QSet<QString> &keepFiles) const;
    // Deletes one store file by name, under the same rules as prune; the
    // folder is not listed. True when the file is gone afterwards.
    bool removeFile(const QString &name) const;

private:
    void ensureDirectory() const;
    QString m_directory;
};
