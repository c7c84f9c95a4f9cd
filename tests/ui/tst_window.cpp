#include "app/reply_engines.h"
#include "ui/window_driver.h"

#include <QAccessible>
#include <QProcess>
#include <QtQml/qqmlextensionplugin.h>

#include <csignal>

Q_IMPORT_QML_PLUGIN(QuorvanePlugin)

namespace {

// The name of the screen the window shows now.
QString shownScreen(QQuickWindow *window)
{
    QObject *screen = window->findChild<QObject *>(QStringLiteral("screen"));
    return screen ? screen->property("title").toString() : QString();
}

// Where item sits in the tree: its types (and object names) from the top.
QString itemPath(const QQuickItem *item)
{
    QStringList path;
    for (; item; item = item->parentItem()) {
        QString step = QString::fromLatin1(item->metaObject()->className()).section(QLatin1String("_QML"), 0, 0);
        if (!item->objectName().isEmpty())
            step += QLatin1Char('#') + item->objectName();
        path.prepend(step);
    }
    return path.join(QLatin1Char('/'));
}

// What assistive technology reads for item: a name, and a role among those
// that fit an item of its kind.
QString accessibilityFault(QQuickItem *item, const QList<QAccessible::Role> &roles)
{
    // an item of a popup still opening has no interface yet: its attached properties say the same
    QAccessibleInterface *face = QAccessible::queryAccessibleInterface(item);
    QObject *attached = nullptr;
    for (QObject *child : item->children())
        attached = child->inherits("QQuickAccessibleAttached") ? child : attached;
    if (!face && !attached)
        return QStringLiteral("no accessible name or role");
    const QString name = face ? face->text(QAccessible::Name) : attached->property("name").toString();
    const auto role = face ? face->role() : QAccessible::Role(attached->property("role").toInt());
    if (name.trimmed().isEmpty())
        return QStringLiteral("no accessible name");
    if (!roles.contains(role))
        return QStringLiteral("role %1 does not fit").arg(int(role));
    return {};
}

// The shown items under root that a user can act on and that do not say
// what they are, each with its path and fault. A mouse area stands for the
// item it covers, which must read as a button.
QStringList unnamedInteractiveItems(QQuickItem *root)
{
    using A = QAccessible;
    const QList<A::Role> buttons = {A::Button, A::ButtonMenu, A::ButtonDropDown, A::CheckBox, A::RadioButton,
                                    A::MenuItem, A::PageTab, A::Link, A::ListItem};
    const QList<QPair<const char *, QList<A::Role>>> kinds = {
        {"QQuickAbstractButton", buttons}, {"QQuickComboBox", {A::ComboBox}}, {"QQuickSlider", {A::Slider}},
        {"QQuickSpinBox", {A::SpinBox}}, {"QQuickTextInput", {A::EditableText}}, {"QQuickTextEdit", {A::EditableText}}};
    QStringList faults;
    window_driver::items(root, [&](QQuickItem *item) {
        if (!item->isEnabled())
            return false;
        if (item->inherits("QQuickMouseArea") && item->parentItem()
            && (item->property("acceptedButtons").toInt() & Qt::LeftButton)) {
            const QString fault = accessibilityFault(item->parentItem(), buttons);
            if (!fault.isEmpty())
                faults << itemPath(item) + QStringLiteral(": covered item has ") + fault;
            return false;
        }
        for (const auto &[kind, roles] : kinds) {
            if (item->inherits(kind) && !item->property("readOnly").toBool()) {
                const QString fault = accessibilityFault(item, roles);
                if (!fault.isEmpty())
                    faults << itemPath(item) + QStringLiteral(": ") + fault;
                break;
            }
        }
        return false;
    });
    return faults;
}

} // namespace

class TestWindow : public QObject, public window_driver::WindowTest {
    Q_OBJECT

private slots:
    // a program in place, so the window goes past the setup screen
    // and, as when a screen reader runs, controls giving their names and roles
    void initTestCase()
    {
        QAccessible::setActive(true);
        QVERIFY(makeHome(QStringLiteral("/bin/true")) && openWindow());
    }
    void cleanupTestCase() { closeWindow(); }
    void windowFollowsTheState();
    void everyControlSaysWhatItIs_data();
    void everyControlSaysWhatItIs();
    void quitsCleanlyOnSignal();
};

void TestWindow::windowFollowsTheState()
{
    QCOMPARE(m_window->minimumSize(), QSize(900, 600));
    QCOMPARE(m_window->title(), QStringLiteral("Quorvane"));
    // a first launch opens on the welcome screen
    QVERIFY(m_engine->isLlamaCPPVerified());
    QCOMPARE(shownScreen(m_window), QStringLiteral("Welcome"));

    // installation and setup take precedence over the chosen screen
    m_state->setCurrentView(AppView::Settings);
    m_engine->setLlamaCPPVerified(false);
    QTRY_COMPARE(shownScreen(m_window), QStringLiteral("Setup required"));
    m_engine->setInstallingLlamaCPP(true);
    QTRY_COMPARE(shownScreen(m_window), QStringLiteral("Installing llama.cpp"));
    m_engine->setInstallingLlamaCPP(false);
    m_engine->setLlamaCPPVerified(true);
    QTRY_COMPARE(shownScreen(m_window), QStringLiteral("Settings"));
}

void TestWindow::everyControlSaysWhatItIs_data()
{
    QTest::addColumn<QString>("screen");
    for (const char *screen : {"Welcome", "Chat", "Chat with messages", "Models", "Settings",
                                "Settings, kept loaded", "Settings, server elsewhere", "Setup required",
                                "Installing llama.cpp"})
        QTest::newRow(screen) << QString::fromLatin1(screen);
}

// On every screen, and in every popup that screen can open (menus, alerts,
// sheets and each tab of the model picker), every control a user can act on
// has an accessible name and a role that fits it.
void TestWindow::everyControlSaysWhatItIs()
{
    QFETCH(QString, screen);
    QQuickWindow *window = m_window;
    if (screen == QLatin1String("Models")) {
        AIModel model = AIModel::make(QStringLiteral("Tiny"), QStringLiteral("Local File"));
        model.isDownloaded = true;
        m_state->addModel(model);
    }
    const QList<QPair<QString, AppView>> views = {{"Welcome", AppView::Welcome}, {"Chat", AppView::Chat},
                                                  {"Models", AppView::Models}, {"Settings", AppView::Settings}};
    for (const auto &[prefix, view] : views) {
        if (screen.startsWith(prefix))
            m_state->setCurrentView(view);
    }
    if (screen == QLatin1String("Chat with messages")) {
        m_state->createNewChat();
        m_state->addMessage(ChatMessage::make(QStringLiteral("Question"), true));
        m_state->addMessage(ChatMessage::assistant(QStringLiteral("Some `code`:\n```cpp\nint x;\n```"),
                                                   MessageKind::Reply));
    }
    m_state->engines().setMode(screen.endsWith(QLatin1String("kept loaded")) ? QStringLiteral("localServer")
                      : screen.endsWith(QLatin1String("elsewhere")) ? QStringLiteral("remoteServer")
                                                                     : QStringLiteral("process"));
    m_engine->setLlamaCPPVerified(screen != QLatin1String("Setup required"));
    m_engine->setInstallingLlamaCPP(screen == QLatin1String("Installing llama.cpp"));
    QTRY_COMPARE(shownScreen(window), screen.section(QLatin1Char(','), 0, 0).remove(QLatin1String(" with messages")));
    QTest::qWait(100); // lists lay out their rows

    QStringList faults = unnamedInteractiveItems(window->contentItem());
    for (QObject *popup : window->findChildren<QObject *>()) {
        if (!popup->inherits("QQuickPopup") || popup->inherits("QQuickToolTip"))
            continue;
        QMetaObject::invokeMethod(popup, "open");
        QTRY_VERIFY(popup->property("opened").toBool());
        const int tabs = popup->property("tabTitles").toList().size();
        for (int tab = 0; tab < std::max(tabs, 1); ++tab) {
            if (tabs > 0)
                popup->setProperty("selectedTab", tab);
            QTest::qWait(50);
            faults += unnamedInteractiveItems(popup->property("contentItem").value<QQuickItem *>()->parentItem());
        }
        QMetaObject::invokeMethod(popup, "close");
        QTRY_VERIFY(!popup->property("visible").toBool());
    }
    faults.removeDuplicates();
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));

    // Ctrl+F puts the keyboard in the conversation search on every screen
    // of the main layout
    if (QStringList{"Chat", "Models", "Settings"}.contains(shownScreen(window))) {
        auto *search = window->findChild<QQuickItem *>(QStringLiteral("searchField"));
        QVERIFY(search && !search->hasActiveFocus());
        QTest::keyClick(window, Qt::Key_F, Qt::ControlModifier);
        QTRY_VERIFY(search->hasActiveFocus());
        search->setFocus(false);
    }
}

// Ctrl+C in the terminal quits as the window's close does (SIGTERM: the
// end-to-end test).
void TestWindow::quitsCleanlyOnSignal()
{
    TempHome home;
    QProcess app;
    app.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    app.setProcessEnvironment(env);
    app.start(QStringLiteral(QUORVANE_BINARY), {});
    QVERIFY(app.waitForStarted());
    // start-up is done once the conversations have been looked at
    QByteArray output;
    QVERIFY(waitUntil([&] {
        output += app.readAll();
        return output.contains("No saved sessions");
    }, 20000));
    QTest::qWait(300); // let the event loop start
    ::kill(pid_t(app.processId()), SIGINT);
    QVERIFY(app.waitForFinished(10000));
    output += app.readAll();
    QCOMPARE(app.exitStatus(), QProcess::NormalExit);
    QCOMPARE(app.exitCode(), 0);
    // the engine's quit handling ran
    QVERIFY2(output.contains("All session processes stopped"), output.constData());
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
