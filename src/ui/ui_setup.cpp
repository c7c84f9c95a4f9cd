#include "ui/ui_setup.h"

#include "app/app_state.h"
#include "app/composer_state.h"
#include "app/model_picker_state.h"
#include "app/reply_engines.h"
#include "ui/about_info.h"
#include "ui/catalog_state.h"
#include "engine/llama_cpp_manager.h"

#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QtQml>

namespace ui {

void registerTypes(AppState &appState, LlamaCPPManager &engine)
{
    QQuickStyle::setStyle(QStringLiteral("Basic"));
    qmlRegisterUncreatableMetaObject(Quorvane::staticMetaObject, "Quorvane.Types", 1, 0, "Quorvane",
                                     QStringLiteral("enumerations only"));
    qmlRegisterSingletonInstance("Quorvane.State", 1, 0, "AppState", &appState);
    qmlRegisterSingletonInstance("Quorvane.State", 1, 0, "LlamaManager", &engine);
    // How replies are made (reply_engines.h documents what the screens use).
    qmlRegisterSingletonInstance("Quorvane.State", 1, 0, "Engines", &appState.engines());
    // The chat screen's composer: one per window, living as long as the state.
    qmlRegisterSingletonInstance("Quorvane.State", 1, 0, "Composer", new ComposerState(appState, &appState));
    // The model picker's fields and actions, and the catalog it offers; both
    // are children of the state, where tests find them.
    qmlRegisterSingletonInstance("Quorvane.State", 1, 0, "Picker", new ModelPickerState(appState, &appState));
    qmlRegisterSingletonInstance("Quorvane.State", 1, 0, "Catalog", new CatalogState(&appState));
    qmlRegisterSingletonInstance("Quorvane.State", 1, 0, "About", new AboutInfo(&appState));
}

bool loadMainWindow(QQmlApplicationEngine &qml)
{
    // The module's files import "Quorvane" to reach its singletons and C++
    // types; the module lives at the root of the resources.
    qml.addImportPath(QStringLiteral("qrc:/"));
    qml.load(QUrl(QStringLiteral("qrc:/Quorvane/Main.qml")));
    return !qml.rootObjects().isEmpty();
}

} // namespace ui
