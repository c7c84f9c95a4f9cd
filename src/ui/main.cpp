#include "app/app_state.h"
#include "engine/llama_cpp_manager.h"
#include "models/model_download_manager.h"
#include "platform/quit_signals.h"
#include "provisioning/llama_installer.h"
#include "ui/app_icon.h"
#include "ui/ui_setup.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(QuorvanePlugin)

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    QGuiApplication::setOrganizationName(QStringLiteral("Quorvane"));
    QGuiApplication::setApplicationName(QStringLiteral("Quorvane"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Quorvane"));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.quorvane.Quorvane"));
    QGuiApplication::setWindowIcon(app_icon::icon());
    quitOnTerminationSignals(&app);

    // The engine first, so that its quit handling is in place before any
    // generation can start; then the application state, which runs start-up.
    LlamaCPPManager &engine = LlamaCPPManager::shared();
    LlamaInstaller installer(engine);
    AppState appState(engine, {[&installer](InstallCompletion done) { installer.installPrebuiltLlamaCPP(done); },
                               &ModelDownloadManager::shared()});

    ui::registerTypes(appState, engine);
    QQmlApplicationEngine qml;
    if (!ui::loadMainWindow(qml))
        return 1;
    return app.exec();
}
