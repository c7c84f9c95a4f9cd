#include "ui/application.h"

#include "app/app_state.h"
#include "app/model_picker_state.h"
#include "engine/llama_cpp_manager.h"
#include "models/model_download_manager.h"
#include "platform/quit_signals.h"
#include "provisioning/llama_installer.h"
#include "ui/about_info.h"
#include "ui/app_icon.h"
#include "ui/ui_setup.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>

#include <cstdio>

namespace ui {

namespace {

const char kHelp[] = "Usage: quorvane [options]\n"
                     "Chat privately with AI models running on your own computer.\n"
                     "\n"
                     "Options:\n"
                     "  -h, --help     Show this help and exit.\n"
                     "  -v, --version  Show the version and exit.\n"
                     "\n"
                     "The options of Qt, such as -platform, are accepted as well.\n";

int refuse(const char *what, const QString &argument)
{
    std::fprintf(stderr, "quorvane: %s '%s'\nTry 'quorvane --help' for more information.\n", what,
                 qPrintable(argument));
    return 2;
}

} // namespace

std::optional<int> answerCommandLine(const QStringList &arguments, bool refuseUnknown)
{
    for (const QString &argument : arguments.mid(1)) {
        if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (argument == QLatin1String("-v") || argument == QLatin1String("--version")) {
            std::printf("Quorvane %s\n", qPrintable(AboutInfo::version()));
            return 0;
        }
    }
    if (!refuseUnknown || arguments.size() < 2)
        return std::nullopt;
    const QString &first = arguments.at(1);
    return first.startsWith(u'-') && first.size() > 1 ? refuse("unknown option", first)
                                                       : refuse("unexpected argument", first);
}

void describeApplication(QGuiApplication &app)
{
    QGuiApplication::setOrganizationName(QStringLiteral("Quorvane"));
    QGuiApplication::setApplicationName(QStringLiteral("Quorvane"));
    QGuiApplication::setApplicationVersion(AboutInfo::version());
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
