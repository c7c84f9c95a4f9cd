#pragma once

#include "core/records.h"

#include <QString>

// Resolves the application's data folders and reads model file sizes. One
// instance per process; building it moves what an older release left in
// ~/Documents into the data folder. Callable from any thread; nothing here
// reports an error.
class FileManagerUtility {
public:
    static FileManagerUtility &shared();

    // The data folder, created (with parents) when missing.
    QString appSupportDirectory() const;
    // appSupportDirectory + "/Models"; callers create it before writing.
    QString modelsDirectory() const;
    // Creates the folder with parents when nothing exists at the path.
    static void ensureDirectoryExists(const QString &path);
    // Size of the model's file; 0 when the path is empty or unreadable.
    static qint64 fileSize(const AIModel &model);

    // Moves entries of documentsDir/Models and documentsDir/ChatHistory into
    // dataDir/Models and dataDir/ChatHistory unless a same-named entry is
    // already there. Runs once per process from shared(); public for tests.
    static void migrateLegacyFolders(const QString &documentsDir, const QString &dataDir);

private:
    FileManagerUtility();
};
