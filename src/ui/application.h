#pragma once

#include <QString>

#include <functional>

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

// Names the application for the desktop (settings, window icon, launcher).
void describeApplication(QGuiApplication &app);

// Builds the engine, the installer and the application state (which runs
// start-up), shows the window and runs the event loop until quit. ready, when
// given, runs once the window is loaded.
int runApplication(QGuiApplication &app, const ServiceHosts &hosts = {},
                   const std::function<void(QQmlApplicationEngine &, AppState &)> &ready = {});

} // namespace ui
