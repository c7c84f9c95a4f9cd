#include "ui/application.h"

#include "app/app_state.h"
#include "app/model_picker_state.h"
#include "engine/llama_cpp_manager.h"
#include "models/model_download_manager.h"
#include "platform/quit_signals.h"
#include "provisioning/llama_installer.h"
#include "ui/app_icon.h"
#include "ui/ui_setup.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>

namespace ui {

void describeApplication(QGuiApplication &app)
{
    QGuiApplication::setOrganizationName(QStringLiteral("Quorvane"));
    QGuiApplication::setApplicationName(QStringLiteral("Quorvane"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Quorvane"));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.quorvane.Quorvane"));
    QGuiApplication::setWindowIcon(app_icon::icon());
    quitOnTerminationSignals(&app);
}

int runApplication(QGuiApplication &app, const ServiceHosts &hosts,
                   const std::function<void(QQmlApplicationEngine &, AppState &)> &ready)
{
    // The engine first, so that its quit handling is in place before any
    // generation can start; then the application state, which runs start-up.
    LlamaCPPManager &engine = LlamaCPPManager::shared();
    LlamaInstaller installer(engine);
    if (!hosts.releaseApi.isEmpty())
        installer.setApiHost(hosts.releaseApi);
    if (!hosts.sources.isEmpty())
        installer.setSourceHost(hosts.sources);
    AppState appState(engine, {[&installer](InstallCompletion done) { installer.installPrebuiltLlamaCPP(done); },
                               &ModelDownloadManager::shared()});

    registerTypes(appState, engine);
    if (!hosts.models.isEmpty()) {
        if (auto *picker = appState.findChild<ModelPickerState *>())
            picker->setModelHost(hosts.models);
    }
    QQmlApplicationEngine qml;
    if (!loadMainWindow(qml))
        return 1;
    if (ready)
        ready(qml, appState);
    return app.exec();
}

} // namespace ui
