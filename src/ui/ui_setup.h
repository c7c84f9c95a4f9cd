#pragma once

#include <QUrl>

class AppState;
class LlamaCPPManager;
class QQmlApplicationEngine;

namespace ui {

// Makes the application state and the engine reachable from QML, as the
// singletons AppState and LlamaManager of "Quorvane.State" (with Composer,
// the chat screen's composer state, and About), and the
// enumerations as "Quorvane" of "Quorvane.Types". Call once per process.
void registerTypes(AppState &appState, LlamaCPPManager &engine);

// Loads the main window into the given QML engine; false when it failed.
bool loadMainWindow(QQmlApplicationEngine &qml);

} // namespace ui
