#include "ui/ui_setup.h"

#include "app/app_state.h"
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
}

bool loadMainWindow(QQmlApplicationEngine &qml)
{
    qml.load(QUrl(QStringLiteral("qrc:/Quorvane/qml/Main.qml")));
    return !qml.rootObjects().isEmpty();
}

} // namespace ui
