#include "app/app_state.h"
#include "common/test_support.h"
#include "engine/llama_cpp_manager.h"
#include "ui/ui_setup.h"

#include <QProcess>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>
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

} // namespace

class TestWindow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void windowFollowsTheState();
    void quitsCleanlyOnSignal();

private:
    // One state and one window for the whole process: QML singletons are
    // registered once.
    TempHome *m_home = nullptr;
    LlamaCPPManager *m_engine = nullptr;
    AppState *m_state = nullptr;
    QQmlApplicationEngine *m_qml = nullptr;
};

void TestWindow::initTestCase()
{
    m_home = new TempHome;
    // a program in place, so the window goes past the setup screen
    QVERIFY(m_home->installProgram(QStringLiteral("/bin/true")));
    m_engine = new LlamaCPPManager;
    m_state = new AppState(*m_engine);
    ui::registerTypes(*m_state, *m_engine);
    m_qml = new QQmlApplicationEngine;
    QVERIFY(ui::loadMainWindow(*m_qml));
}

void TestWindow::cleanupTestCase()
{
    delete m_qml;
    delete m_state;
    delete m_engine;
    delete m_home;
}

void TestWindow::windowFollowsTheState()
{
    auto *window = qobject_cast<QQuickWindow *>(m_qml->rootObjects().first());
    QVERIFY(window);
    QCOMPARE(window->minimumSize(), QSize(900, 600));
    QCOMPARE(window->title(), QStringLiteral("Quorvane"));

    // a first launch opens on the welcome screen
    QVERIFY(m_engine->isLlamaCPPVerified());
    QCOMPARE(shownScreen(window), QStringLiteral("Welcome"));

    const QList<QPair<AppView, QString>> views = {{AppView::Chat, QStringLiteral("Chat")},
                                                  {AppView::Models, QStringLiteral("Models")},
                                                  {AppView::Settings, QStringLiteral("Settings")}};
    for (const auto &[view, name] : views) {
        m_state->setCurrentView(view);
        QTRY_COMPARE(shownScreen(window), name);
        // Ctrl+F puts the keyboard in the conversation search on every screen
        auto *search = window->findChild<QQuickItem *>(QStringLiteral("searchField"));
        QVERIFY(search);
        QVERIFY(!search->hasActiveFocus());
        QTest::keyClick(window, Qt::Key_F, Qt::ControlModifier);
        QTRY_VERIFY(search->hasActiveFocus());
        search->setFocus(false);
    }

    // installation and setup take precedence over the chosen screen
    m_engine->setLlamaCPPVerified(false);
    QTRY_COMPARE(shownScreen(window), QStringLiteral("Setup required"));
    m_engine->setInstallingLlamaCPP(true);
    QTRY_COMPARE(shownScreen(window), QStringLiteral("Installing llama.cpp"));
    m_engine->setInstallingLlamaCPP(false);
    m_engine->setLlamaCPPVerified(true);
    QTRY_COMPARE(shownScreen(window), QStringLiteral("Settings"));
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
