#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class AppState;
class QGuiApplication;
class QQmlApplicationEngine;

namespace ui {

// Where the application fetches from; empty fields keep the public hosts.
struct ServiceHosts {
    QString releaseApi;  // llama.cpp release list
    QString sources;     // llama.cpp sources and CMake archives
    QString models;      // catalog model files
};

// Answers the command line (program name first) where it asks for no
// window: --help and --version print to standard output, anything else that
// is not known is reported on standard error. Returns the exit code then
// (0, or 2 for what is not known), nullopt when the window should open.
// Before the application object exists, Qt's own options are still in the
// list, so only help and version are answered (refuseUnknown false); once
// Qt has taken its options out, whatever is left over is refused.
std::optional<int> answerCommandLine(const QStringList &arguments, bool refuseUnknown);

// Names the application for the desktop (settings, window icon, launcher).
void describeApplication(QGuiApplication &app);

// Builds the engine, the installer and the application state (which runs
// start-up), shows the window and runs the event loop until quit. ready, when
// given, runs once the window is loaded.
int runApplication(QGuiApplication &app, const ServiceHosts &hosts = {},
                   const std::function<void(QQmlApplicationEngine &, AppState &)> &ready = {});

} // namespace ui
