#pragma once

// Finds and presses items of a window as a user would: by what assistive
// technology reads (Accessible.name), by objectName, or by shown text.
// Popups, sheets and dialogs live in the window's overlay, which is part of
// the content item's tree, so they are found the same way.

#include "app/app_state.h"
#include "common/test_support.h"
#include "engine/llama_cpp_manager.h"
#include "ui/ui_setup.h"

#include <QByteArray>
#include <QQmlApplicationEngine>
#include <QList>
#include <QPointF>
#include <QSignalSpy>
#include <QQuickItem>
#include <QQuickWindow>
#include <QString>
#include <QTest>

#include <functional>
#include <memory>

namespace window_driver {

// The Accessible.name of an item, empty when it has none.
inline QString accessibleName(const QObject *item)
{
    for (const QObject *child : item->children()) {
        if (qstrcmp(child->metaObject()->className(), "QQuickAccessibleAttached") == 0)
            return child->property("name").toString();
    }
    return {};
}

// Visible and not fully transparent, all the way up.
inline bool shown(const QQuickItem *item)
{
    for (const QQuickItem *it = item; it; it = it->parentItem()) {
        if (!it->isVisible() || it->opacity() == 0)
            return false;
    }
    return true;
}

// The items under root that pred picks; with shownOnly, only shown ones.
inline QList<QQuickItem *> items(QQuickItem *root, const std::function<bool(QQuickItem *)> &pred,
                                 bool shownOnly = true)
{
    QList<QQuickItem *> out;
    if (!root || (shownOnly && (!root->isVisible() || root->opacity() == 0)))
        return out;
    if (pred(root))
        out << root;
    for (QQuickItem *child : root->childItems())
        out += items(child, pred, shownOnly);
    return out;
}

// The engine, the application state and its main window over the current
// (test) home, for one test program: the QML singletons are registered once
// per process. close() takes them down in the reverse order.
struct MainWindowApp {
    std::unique_ptr<LlamaCPPManager> engine;
    std::unique_ptr<AppState> state;
    std::unique_ptr<QQmlApplicationEngine> qml;
    QQuickWindow *window = nullptr;

    // False when the window did not show. With harness, that QML document
    // (a Window importing Quorvane) stands in for the main window.
    bool open(AppState::Services services = {}, EngineTimings timings = {}, const QByteArray &harness = {})
    {
        engine = std::make_unique<LlamaCPPManager>(nullptr, timings);
        state = std::make_unique<AppState>(*engine, std::move(services));
        ui::registerTypes(*state, *engine);
        qml = std::make_unique<QQmlApplicationEngine>();
        if (harness.isEmpty()) {
            ui::loadMainWindow(*qml);
        } else {
            qml->addImportPath(QStringLiteral("qrc:/"));
            qml->loadData(harness);
        }
        window = qml->rootObjects().isEmpty() ? nullptr : qobject_cast<QQuickWindow *>(qml->rootObjects().first());
        if (window)
            window->requestActivate();
        window = window && QTest::qWaitForWindowActive(window) ? window : nullptr;
        return window != nullptr;
    }
    void close()
    {
        window = nullptr;
        qml.reset();
        state.reset();
        engine.reset();
    }
    ~MainWindowApp() { close(); }
};

class WindowDriver {
public:
    explicit WindowDriver(QQuickWindow *window = nullptr) : m_window(window) {}
    void setWindow(QQuickWindow *window) { m_window = window; }
    QQuickWindow *window() const { return m_window; }
    QQuickItem *root() const { return m_window ? m_window->contentItem() : nullptr; }

    // The first shown item whose Accessible.name or objectName is name, or
    // a button labelled name.
    QQuickItem *control(const QString &name) const { return controls(name).value(0); }
    QList<QQuickItem *> controls(const QString &name) const
    {
        return items(root(), [&](QQuickItem *i) { return isNamed(i, name); });
    }
    // The first shown text item reading exactly text.
    QQuickItem *shownText(const QString &text) const
    {
        return items(root(), [&](QQuickItem *i) {
                   return isTextItem(i) && i->property("text").toString() == text;
               })
            .value(0);
    }
    // The text an item holds; empty without an item.
    static QString textOf(const QQuickItem *item) { return item ? item->property("text").toString() : QString(); }
    QString textOf(const QString &name) const { return textOf(control(name)); }
    // Every text shown under item (the whole window without one), in tree order.
    QStringList texts(QQuickItem *under = nullptr) const
    {
        QStringList out;
        for (QQuickItem *i : items(under ? under : root(), [](QQuickItem *i) { return isTextItem(i); }))
            out << i->property("text").toString();
        return out;
    }
    // Lets a frame pass, so that a screen shown a moment ago has laid out
    // its rows and columns before a point inside it is computed.
    void settle() const
    {
        if (!m_window->isExposed())
            return;
        QSignalSpy frame(m_window, &QQuickWindow::afterRendering);
        m_window->update();
        frame.wait(1000);
    }
    // A left click in the middle of item.
    void click(QQuickItem *item) const
    {
        QVERIFY2(item, "nothing to click");
        settle();
        const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
        QTest::mouseClick(m_window, Qt::LeftButton, {}, centre.toPoint());
    }
    // Types text, one key per character, into what has the keyboard.
    void type(const QString &text) const
    {
        for (const QChar c : text)
            QTest::keyClick(m_window, c.toLatin1());
    }
    // Clicks the field of that name and replaces what it holds with text.
    void typeInto(const QString &field, const QString &text) const
    {
        QQuickItem *input = waitFor(field);
        click(input);
        QTRY_VERIFY(input->hasActiveFocus());
        QTest::keyClick(m_window, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(m_window, Qt::Key_Delete);
        type(text);
    }
    // The control of that name once it shows; null after a while without.
    QQuickItem *waitFor(const QString &name, int timeoutMs = 5000) const
    {
        QQuickItem *item = nullptr;
        waitUntil([&] { return (item = control(name)) != nullptr; }, timeoutMs);
        return item;
    }
    // Moves the pointer over item.
    void hover(QQuickItem *item) const
    {
        QVERIFY2(item, "nothing to hover");
        settle();
        const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
        QTest::mouseMove(m_window, centre.toPoint());
    }

    static bool isNamed(const QQuickItem *item, const QString &name)
    {
        return accessibleName(item) == name || item->objectName() == name
               || (item->inherits("QQuickAbstractButton") && item->property("text").toString() == name);
    }
    static bool isTextItem(const QObject *item)
    {
        return item->inherits("QQuickText") || item->inherits("QQuickTextEdit") || item->inherits("QQuickTextInput");
    }

private:
    QQuickWindow *m_window = nullptr;
};

// The set-up the window tests share: a home of their own with program in
// place as llama-completion, the engine, the state and the window over them,
// and the driver's verbs. A test class derives from QObject and this, makes
// the home and opens the window in initTestCase() (whatever the state should
// find in the home goes in between) and closes it in cleanupTestCase().
class WindowTest : public WindowDriver {
protected:
    bool makeHome(const QString &program)
    {
        m_home = std::make_unique<TempHome>();
        return m_home->installProgram(program);
    }
    // False when the window did not show.
    bool openWindow(AppState::Services services = {}, EngineTimings timings = {}, const QByteArray &harness = {})
    {
        if (!m_app.open(std::move(services), timings, harness))
            return false;
        m_engine = m_app.engine.get();
        m_state = m_app.state.get();
        m_window = m_app.window;
        setWindow(m_window);
        return true;
    }
    void closeWindow()
    {
        setWindow(nullptr);
        m_window = nullptr;
        m_app.close();
        m_home.reset();
    }

    std::unique_ptr<TempHome> m_home;
    MainWindowApp m_app;
    LlamaCPPManager *m_engine = nullptr;
    AppState *m_state = nullptr;
    QQuickWindow *m_window = nullptr;
};

} // namespace window_driver
