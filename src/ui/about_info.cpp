#include "ui/about_info.h"

#include "platform/paths.h"

QString AboutInfo::dataFolder()
{
    return paths::dataDirectory();
}

QString AboutInfo::settingsFile()
{
    return paths::preferencesFile();
}
