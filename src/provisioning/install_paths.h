#pragma once

#include "platform/paths.h"

#include <QFile>
#include <QString>

// Where llama.cpp is installed, all inside the application's data folder.
namespace installpaths {

inline QString appSupportDirectory() { return paths::dataDirectory(); }
inline QString llamaDirectory() { return appSupportDirectory() + QStringLiteral("/llama.cpp"); }
inline QString binDirectory() { return llamaDirectory() + QStringLiteral("/build/bin"); }
inline QString prebuiltArchive() { return appSupportDirectory() + QStringLiteral("/llama-prebuilt.tar.gz"); }

// rwxr-xr-x; a failure is ignored.
inline void makeExecutable(const QString &path)
{
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                    | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
}

} // namespace installpaths
