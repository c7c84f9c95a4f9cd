#include "ui/ui_setup.h"

#include "app/app_state.h"
#include "app/composer_state.h"
#include "app/model_picker_state.h"
#include "app/reply_engines.h"
#include "ui/about_info.h"
#include "ui/catalog_state.h"
#include "engine/llama_cpp_manager.h"

#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QSet>
#include <QTimer>
#include <QtQml>

#include <functional>

namespace ui {

namespace {

// Qt 6.4's popups copy the window's palette when they are made and do not
// follow it afterwards (what they hold passes on to their contents when they
// open). This hands every popup made so far the window's palette as it is now.
void passPaletteToPopups(QQuickWindow *window)
{
    const QVariant palette = window->property("palette");
    QSet<QObject *> seen;
    std::function<void(QObject *)> visit = [&](QObject *object) {
        if (!object || seen.contains(object))
            return;
        seen.insert(object);
        if (object->inherits("QQuickPopup"))
            object->setProperty("palette", palette);
        for (QObject *child : object->children())
            visit(child);
        if (auto *item = qobject_cast<QQuickItem *>(object)) {
            for (QQuickItem *child : item->childItems())
                visit(child);
        }
    };
    visit(window->contentItem());
}

} // namespace

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
    if (qml.rootObjects().isEmpty())
        return false;
    if (auto *window = qobject_cast<QQuickWindow *>(qml.rootObjects().first())) {
        // the roles change one by one when the appearance does: pass them on once
        auto *later = new QTimer(window);
        later->setSingleShot(true);
        QObject::connect(later, &QTimer::timeout, window, [window] { passPaletteToPopups(window); });
        QObject *palette = window->property("palette").value<QObject *>();
        QObject::connect(palette, SIGNAL(changed()), later, SLOT(start()));
    }
    return true;
}

} // namespace ui
