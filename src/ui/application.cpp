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
#include <QHash>
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

// Qt's own options (the application object's and the X11 platform's), taken
// out by Qt itself; true when a value follows in the next argument. They are
// known here so that anything else is refused before a display is needed.
bool isQtOption(const QString &argument, bool *takesValue)
{
    static const QHash<QString, bool> options = {
        {QStringLiteral("platform"), true},     {QStringLiteral("platformpluginpath"), true},
        {QStringLiteral("platformtheme"), true}, {QStringLiteral("plugin"), true},
        {QStringLiteral("qwindowgeometry"), true}, {QStringLiteral("geometry"), true},
        {QStringLiteral("qwindowtitle"), true}, {QStringLiteral("title"), true},
        {QStringLiteral("qwindowicon"), true},  {QStringLiteral("icon"), true},
        {QStringLiteral("session"), true},      {QStringLiteral("display"), true},
        {QStringLiteral("name"), true},         {QStringLiteral("visual"), true},
        {QStringLiteral("style"), true},        {QStringLiteral("stylesheet"), true},
        {QStringLiteral("reverse"), false},     {QStringLiteral("nograb"), false},
        {QStringLiteral("dograb"), false},      {QStringLiteral("sync"), false},
        {QStringLiteral("widgetcount"), false}, {QStringLiteral("qmljsdebugger"), false}};
    QString name = argument.mid(argument.startsWith(QLatin1String("--")) ? 2 : 1);
    const qsizetype equals = name.indexOf(u'=');
    const bool inlineValue = equals >= 0;
    if (inlineValue)
        name.truncate(equals);
    const auto it = options.constFind(name);
    if (it == options.constEnd())
        return false;
    *takesValue = *it && !inlineValue;
    return true;
}

} // namespace

std::optional<int> answerCommandLine(const QStringList &arguments)
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
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        bool takesValue = false;
        if (argument.size() > 1 && argument.startsWith(u'-') && isQtOption(argument, &takesValue)) {
            i += takesValue ? 1 : 0;
            continue;
        }
        return argument.startsWith(u'-') && argument.size() > 1 ? refuse("unknown option", argument)
                                                                : refuse("unexpected argument", argument);
    }
    return std::nullopt;
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
