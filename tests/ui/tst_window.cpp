#include "ui/window_driver.h"

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

} // namespace

class TestWindow : public QObject, public window_driver::WindowTest {
    Q_OBJECT

private slots:
    // a program in place, so the window goes past the setup screen
    void initTestCase() { QVERIFY(makeHome(QStringLiteral("/bin/true")) && openWindow()); }
    void cleanupTestCase() { closeWindow(); }
    void windowFollowsTheState();
    void quitsCleanlyOnSignal();
};

void TestWindow::windowFollowsTheState()
{
    QCOMPARE(m_window->minimumSize(), QSize(900, 600));
    QCOMPARE(m_window->title(), QStringLiteral("Quorvane"));

    // a first launch opens on the welcome screen
    QVERIFY(m_engine->isLlamaCPPVerified());
    QCOMPARE(shownScreen(m_window), QStringLiteral("Welcome"));

    const QList<QPair<AppView, QString>> views = {{AppView::Chat, QStringLiteral("Chat")},
                                                  {AppView::Models, QStringLiteral("Models")},
                                                  {AppView::Settings, QStringLiteral("Settings")}};
    for (const auto &[view, name] : views) {
        m_state->setCurrentView(view);
        QTRY_COMPARE(shownScreen(m_window), name);
        // Ctrl+F puts the keyboard in the conversation search on every screen
        auto *search = m_window->findChild<QQuickItem *>(QStringLiteral("searchField"));
        QVERIFY(search);
        QVERIFY(!search->hasActiveFocus());
        QTest::keyClick(m_window, Qt::Key_F, Qt::ControlModifier);
        QTRY_VERIFY(search->hasActiveFocus());
        search->setFocus(false);
    }

    // installation and setup take precedence over the chosen screen
    m_engine->setLlamaCPPVerified(false);
    QTRY_COMPARE(shownScreen(m_window), QStringLiteral("Setup required"));
    m_engine->setInstallingLlamaCPP(true);
    QTRY_COMPARE(shownScreen(m_window), QStringLiteral("Installing llama.cpp"));
    m_engine->setInstallingLlamaCPP(false);
    m_engine->setLlamaCPPVerified(true);
    QTRY_COMPARE(shownScreen(m_window), QStringLiteral("Settings"));
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
