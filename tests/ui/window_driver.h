#pragma once

// Finds and presses items of a window as a user would: by what assistive technology reads (Accessible.name), by
// objectName, or by shown text; popups live in the window's overlay, under the content item, so found the same way.

#include "app/app_state.h"
#include "common/test_support.h"
#include "engine/llama_cpp_manager.h"
#include "ui/ui_setup.h"

#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
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

// Whether item is of that QML type (its class name starts so).
inline bool isType(const QObject *item, const char *type)
{
    return QByteArray(item->metaObject()->className()).startsWith(type);
}

// The items under root that pred picks; with shownOnly, only those visible and not fully transparent all the way up.
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

class WindowDriver {
public:
    explicit WindowDriver(QQuickWindow *window = nullptr) : m_window(window) {}
    QQuickWindow *window() const { return m_window; }
    QQuickItem *root() const { return m_window ? m_window->contentItem() : nullptr; }

    // The shown items under in (else the window) whose Accessible.name or objectName is name, or buttons labelled so.
    QQuickItem *control(const QString &name, QQuickItem *in = nullptr) const { return controls(name, in).value(0); }
    QList<QQuickItem *> controls(const QString &name, QQuickItem *in = nullptr) const
    {
        return items(in ? in : root(), [&](QQuickItem *i) {
            return accessibleName(i) == name || i->objectName() == name
                   || (i->inherits("QQuickAbstractButton") && i->property("text").toString() == name);
        });
    }
    QQuickItem *shownText(const QString &text) const
    {
        return items(root(), [&](QQuickItem *i) { return isTextItem(i) && textOf(i) == text; }).value(0);
    }
    static QString textOf(const QQuickItem *item) { return item ? item->property("text").toString() : QString(); }
    QString textOf(const QString &name) const { return textOf(control(name)); }
    // Every text shown under item (the whole window without one), in tree order.
    QStringList texts(QQuickItem *under = nullptr) const
    {
        QStringList out;
        for (QQuickItem *i : items(under ? under : root(), [](QQuickItem *i) { return isTextItem(i); }))
            out << textOf(i);
        return out;
    }
    // Lets a frame pass, so that a screen shown a moment ago has laid out its rows before a point in it is computed.
    void settle() const
    {
        QSignalSpy frame(m_window, &QQuickWindow::afterRendering);
        m_window->update();
        frame.wait(1000);
    }
    // A click (left unless told) in the middle of item.
    void click(QQuickItem *item, Qt::MouseButton button = Qt::LeftButton) const
    {
        QVERIFY2(item, "nothing to click");
        QTest::mouseClick(m_window, button, {}, centreOf(item));
    }
    void hover(QQuickItem *item) const
    {
        QVERIFY2(item, "nothing to hover");
        QTest::mouseMove(m_window, centreOf(item));
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
        return waitUntil([&] { return control(name) != nullptr; }, timeoutMs) ? control(name) : nullptr;
    }
    static bool isTextItem(const QObject *item)
    {
        return item->inherits("QQuickText") || item->inherits("QQuickTextEdit") || item->inherits("QQuickTextInput");
    }

protected:
    // The middle of item in the window, once a frame has passed.
    QPoint centreOf(QQuickItem *item) const
    {
        settle();
        return item->mapToScene(QPointF(item->width() / 2, item->height() / 2)).toPoint();
    }

    QQuickWindow *m_window = nullptr;
};

// What the window tests and the screenshots share: a home with program in place as llama-completion, and the engine,
// the state and the main window over it (the QML singletons are registered once per process).
class WindowTest : public WindowDriver {
public:
    bool makeHome(const QString &program)
    {
        m_home = std::make_unique<TempHome>();
        return m_home->installProgram(program);
    }
    // False when the window did not show.
    bool openWindow(AppState::Services services = {}, EngineTimings timings = {})
    {
        m_engine = std::make_unique<LlamaCPPManager>(nullptr, timings);
        m_state = std::make_unique<AppState>(*m_engine, std::move(services));
        ui::registerTypes(*m_state, *m_engine);
        m_qml = std::make_unique<QQmlApplicationEngine>();
        ui::loadMainWindow(*m_qml);
        m_window = qobject_cast<QQuickWindow *>(m_qml->rootObjects().value(0));
        if (!m_window)
            return false;
        m_window->requestActivate();
        return QTest::qWaitForWindowActive(m_window);
    }
    // They go in the reverse order: the window, the state, the engine, the home.
    std::unique_ptr<TempHome> m_home;
    std::unique_ptr<LlamaCPPManager> m_engine;
    std::unique_ptr<AppState> m_state;
    std::unique_ptr<QQmlApplicationEngine> m_qml;
};

} // namespace window_driver
