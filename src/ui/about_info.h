#pragma once

#include <QObject>
#include <QString>

// What the About box tells besides the engine's state: the application's
// version and where it keeps its files. The folders are read from the
// environment at each access, as the rest of the application reads them.
class AboutInfo : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString version READ version CONSTANT)
    Q_PROPERTY(QString dataFolder READ dataFolder CONSTANT)
    Q_PROPERTY(QString settingsFile READ settingsFile CONSTANT)

public:
    using QObject::QObject;

    // The one version of the application, set in the build.
    static QString version() { return QStringLiteral(QUORVANE_VERSION); }
    static QString dataFolder();
    // Empty where the platform's own preferences store is used.
    static QString settingsFile();
};
