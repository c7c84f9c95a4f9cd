// The settings, welcome and setup screens driven as a user would; a loopback server of ours plays the server elsewhere.
#include "app/reply_engines.h"
#include "common/fake_http_server.h"
#include "core/preference_keys.h"
#include "platform/preferences.h"
#include "ui/window_driver.h"

#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(QuorvanePlugin)

using namespace window_driver;

namespace {

const QString kDefaultPrompt = QString::fromUtf8(prefkeys::kDefaultSystemPrompt);

} // namespace

class TestSettingsAndSetup : public QObject, public WindowTest {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(makeHome(QStringLiteral(FAKE_LLAMA_COMPLETION)));
        // no secret store answers: the key is kept in memory only
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + QFile::encodeName(m_home->home()) + "/no-bus");
        QVERIFY(openWindow());
        m_window->resize(1100, 1100); // the settings screen without scrolling
        QTRY_VERIFY(m_engine->isLlamaCPPVerified());
    }

    void init()
    {
        m_engine->setLlamaCPPSetupError(std::nullopt);
        m_engine->setLlamaCPPVerified(true);
        m_state->engines().setMode(QStringLiteral("process"));
        m_state->setCurrentView(AppView::Settings);
    }

    void setupShowsErrorAndRetries()
    {
        // replies from a server elsewhere need no llama.cpp: its screens stay away
        m_state->engines().setMode(QString::fromLatin1(prefkeys::kEngineModeRemoteServer));
        m_engine->setLlamaCPPVerified(false);
        settle();
        QVERIFY(control(QStringLiteral("settingsView")));
        m_state->engines().setMode(QString::fromLatin1(prefkeys::kEngineModeProcess));
        QTRY_VERIFY(shownText(QStringLiteral("Verifying...")));
        QVERIFY(!control(QStringLiteral("Try Again")));

        const QString error = QStringLiteral("llama-completion exited with status 1");
        m_engine->setLlamaCPPSetupError(error);
        QTRY_VERIFY(shownText(QStringLiteral("Setup Required")) && shownText(error));
        QVERIFY(!shownText(QStringLiteral("Verifying...")));

        // What the screen shows the moment the error is cleared, inside the click's own handling, before any check can
        // report.
        QStringList shownAtClear;
        const auto connection = connect(m_engine.get(), &LlamaCPPManager::llamaCPPSetupErrorChanged, this,
                                        [&] { shownAtClear = texts(); });
        click(control(QStringLiteral("Try Again")));
        disconnect(connection);
        QVERIFY2(shownAtClear.contains(QStringLiteral("Verifying...")) && !shownAtClear.contains(error),
                 qPrintable(shownAtClear.join(u'|')));
        // the fake program passes the checks again
        QTRY_VERIFY(m_engine->isLlamaCPPVerified());
    }

    void promptEditorTracksStoredPrompt()
    {
        m_state->updateSystemPrompt(kDefaultPrompt);
        QTRY_COMPARE(textOf(QStringLiteral("System prompt")), kDefaultPrompt);
        QQuickItem *editor = control(QStringLiteral("System prompt"));
        // Reset while the default is stored changes nothing on screen.
        const QStringList before = texts(control(QStringLiteral("settingsView")));
        click(control(QStringLiteral("Reset to default")));
        QCOMPARE(texts(control(QStringLiteral("settingsView"))), before);

        const QString addition = QStringLiteral(" Be brief.");
        const auto typeAddition = [&] {
            click(editor);
            QTRY_VERIFY(editor->hasActiveFocus());
            QTest::keyClick(m_window, Qt::Key_End, Qt::ControlModifier);
            type(addition);
            QTRY_VERIFY(control(QStringLiteral("Save prompt")) && !control(QStringLiteral("Saved")));
        };
        typeAddition();
        // erasing the addition by hand is the stored prompt again: nothing to save
        for (int i = 0; i < addition.size(); ++i)
            QTest::keyClick(m_window, Qt::Key_Backspace);
        QTRY_VERIFY(control(QStringLiteral("Saved")) && !control(QStringLiteral("Saved"))->isEnabled());

        typeAddition();
        click(control(QStringLiteral("Save prompt")));
        QCOMPARE(m_state->systemPrompt(), kDefaultPrompt + addition);
        QTRY_VERIFY(control(QStringLiteral("Saved")));

        // an unsaved draft is dropped when the screen is shown again
        typeAddition();
        m_state->setCurrentView(AppView::Chat);
        m_state->setCurrentView(AppView::Settings);
        QTRY_COMPARE(textOf(QStringLiteral("System prompt")), kDefaultPrompt + addition);
        click(control(QStringLiteral("Reset to default")));
        QCOMPARE(m_state->systemPrompt(), kDefaultPrompt);
        QCOMPARE(textOf(QStringLiteral("System prompt")), kDefaultPrompt);
        QVERIFY(control(QStringLiteral("Saved")));
    }

    void modelSelectorListsDownloadedAndSelects()
    {
        QTRY_VERIFY(shownText(QStringLiteral("No models installed yet")));

        const auto downloaded = [&](const QString &name, int bytes) {
            AIModel model = AIModel::make(name, QStringLiteral("https://example.invalid/") + name + ".gguf");
            model.isDownloaded = true;
            model.filePath = m_home->writeFile(QStringLiteral("models/") + name + ".gguf", QByteArray(bytes, 'x'));
            return model;
        };
        m_state->addModel(downloaded(QStringLiteral("Alpha"), 2000));
        m_state->addModel(AIModel::make(QStringLiteral("Pending"), QStringLiteral("https://example.invalid/p.gguf")));
        m_state->addModel(downloaded(QStringLiteral("Beta"), 5000));

        // the first download brings the chat up; come back to the settings
        m_state->setCurrentView(AppView::Settings);
        QTRY_VERIFY(control(QStringLiteral("Alpha")) && control(QStringLiteral("Beta")));
        QVERIFY(!control(QStringLiteral("Pending")) && !shownText(QStringLiteral("No models installed yet")));
        QVERIFY(shownText(QStringLiteral("2 KB")) && shownText(QStringLiteral("5 KB")));
        // the first downloaded model was selected as it arrived
        QVERIFY(ticked(QStringLiteral("Alpha")) && !ticked(QStringLiteral("Beta")));
        click(control(QStringLiteral("Beta")));
        QTRY_VERIFY(ticked(QStringLiteral("Beta")) && !ticked(QStringLiteral("Alpha")));
        QCOMPARE(m_state->selectedModelName(), QStringLiteral("Beta"));
    }

    void settingsButtonsAct_data()
    {
        QTest::addColumn<QString>("label");
        QTest::addColumn<AppearanceMode>("mode");
        QTest::addColumn<AppView>("view");
        QTest::addColumn<QString>("sheet");
        QTest::addColumn<QString>("fromEngine"); // how replies are made before the click, and after it
        QTest::addColumn<QString>("toEngine");
        const QString p = QStringLiteral("process"), l = QStringLiteral("localServer");
        const QString r = QStringLiteral("remoteServer");
        const AppearanceMode dark = AppearanceMode::Dark;
        const AppView settings = AppView::Settings;
        QTest::newRow("Light") << "Light" << AppearanceMode::Light << settings << "" << p << p;
        QTest::newRow("Manage models") << "Manage models" << dark << AppView::Models << "" << p << p;
        QTest::newRow("Add model") << "Add model" << dark << settings << "modelPicker" << p << p;
        QTest::newRow("About Quorvane") << "About Quorvane" << dark << settings << "aboutBox" << p << p;
        QTest::newRow("Keep the model loaded") << "Keep the model loaded" << dark << settings << "" << p << l;
        QTest::newRow("Use a server elsewhere") << "Use a server elsewhere" << dark << settings << "" << l << r;
        QTest::newRow("One process per reply") << "One process per reply" << dark << settings << "" << r << p;
    }

    void settingsButtonsAct()
    {
        QFETCH(QString, label);
        QFETCH(AppearanceMode, mode);
        QFETCH(AppView, view);
        QFETCH(QString, sheet);
        QFETCH(QString, fromEngine);
        QFETCH(QString, toEngine);
        m_state->setAppearanceMode(AppearanceMode::Dark);
        m_state->engines().setMode(fromEngine);
        QTRY_VERIFY(control(label) && control(label)->width() > 0); // laid out
        click(control(label));
        QCOMPARE(m_state->appearanceMode(), mode);
        QCOMPARE(m_state->currentView(), view);
        QCOMPARE(m_state->engines().mode(), toEngine);
        QCOMPARE(Preferences().string(QString::fromLatin1(prefkeys::kEngineMode)).value_or("process"), toEngine);
        if (view == AppView::Settings) {
            // the chosen mode is ticked, and its own settings show: the installed stand-in has no llama-server, and
            // Settings say so
            QTRY_COMPARE(ticked(QStringLiteral("Keep the model loaded")), toEngine == QLatin1String("localServer"));
            QCOMPARE(ticked(QStringLiteral("One process per reply")), toEngine == QLatin1String("process"));
            QCOMPARE(shownText(m_state->engines().localServerUnavailableReason()) != nullptr,
                     toEngine == QLatin1String("localServer"));
            QCOMPARE(control(QStringLiteral("Idle minutes")) != nullptr, toEngine == QLatin1String("localServer"));
            QCOMPARE(control(QStringLiteral("Server address")) != nullptr, toEngine == QLatin1String("remoteServer"));
            // the button of the mode in force is the active one
            const bool light = mode == AppearanceMode::Light;
            QTRY_COMPARE(control(QStringLiteral("Light"))->property("isActive").toBool(), light);
            QCOMPARE(control(QStringLiteral("Dark"))->property("isActive").toBool(), !light);
        }
        QObject *opened = sheet.isEmpty() ? nullptr : openSheet(sheet);
        QVERIFY(sheet.isEmpty() || opened);
        if (sheet == QLatin1String("aboutBox")) {
            // the build's version, the version line of the program verified at start (the stand-in's), and where the
            // files are
            const QStringList shown = texts(opened->property("contentItem").value<QQuickItem *>());
            for (const QString &text : {QStringLiteral("Version " QUORVANE_VERSION),
                                        QStringLiteral("version: 0 (fake)"), m_home->dataDir(), m_home->configFile()})
                QVERIFY2(shown.contains(text), qPrintable(shown.join(u'|')));
        }
        if (opened) {
            QMetaObject::invokeMethod(opened, "close");
            QTRY_VERIFY(!opened->property("visible").toBool());
        }
    }

    void remoteServerConnects_data()
    {
        QTest::addColumn<QString>("entry");   // the button that opens the dialog; empty: Settings
        QTest::addColumn<QString>("address"); // %1: the loopback server's port
        QTest::addColumn<QString>("error");   // shown, ends so; empty when connected
        QTest::newRow("no scheme")
            << QString() << "127.0.0.1:%1"
            << "The address must start with http:// or https://, for example http://192.168.1.20:8080.";
        for (const char *entry : {"", "Connect to a server", "Connect to a server instead"})
            QTest::newRow(*entry ? entry : "settings")
                << QString::fromLatin1(entry) << "http://127.0.0.1:%1" << QString();
    }

    void remoteServerConnects()
    {
        QFETCH(QString, entry);
        QFETCH(QString, address);
        QFETCH(QString, error);
        FakeHttpServer server({FakeHttpServer::answer("200 OK", "{\"data\":[{\"id\":\"alpha\"},{\"id\":\"beta\"}]}")});
        address = address.arg(server.port());
        ReplyEngines &engines = m_state->engines();
        const QString storedBefore = engines.remoteServerUrl();

        if (!entry.isEmpty()) {
            // the welcome screen, or the setup screen when installing failed
            m_state->setCurrentView(AppView::Welcome);
            if (entry.endsWith(QLatin1String("instead"))) {
                m_engine->setLlamaCPPVerified(false);
                m_engine->setLlamaCPPSetupError(QStringLiteral("Clone failed. Check internet connection."));
            }
            click(waitFor(entry));
            QTRY_VERIFY(openSheet(QStringLiteral("connectServerDialog")));
        } else {
            engines.setMode(QStringLiteral("remoteServer"));
            QTRY_VERIFY(control(QStringLiteral("Server address")));
        }
        typeInto(QStringLiteral("Server address"), address);
        typeInto(QStringLiteral("API key"), QStringLiteral("sk-typed"));
        click(control(QStringLiteral("Connect")));
        QTRY_VERIFY(!engines.isConnecting());

        if (!error.isEmpty()) {
            // the reason shows; what was typed and what was stored stay
            QTRY_VERIFY2(textOf(QStringLiteral("remoteError")).endsWith(error),
                         qPrintable(textOf(QStringLiteral("remoteError"))));
            QCOMPARE(textOf(QStringLiteral("Server address")), address);
            QCOMPARE(engines.remoteServerUrl(), storedBefore);
            return;
        }
        QVERIFY(server.request.contains("Authorization: Bearer sk-typed"));
        QTRY_VERIFY(control(QStringLiteral("beta")));
        const QString keyNotice =
            QStringLiteral("No secret store is available: the API key is kept only until Quorvane quits.");
        QVERIFY(shownText(QStringLiteral("Your conversations are sent to 127.0.0.1.")));
        QTRY_VERIFY(shownText(keyNotice));
        QCOMPARE(textOf(QStringLiteral("API key")), QString());
        click(control(QStringLiteral("beta")));
        QTRY_COMPARE(engines.remoteModelId(), QStringLiteral("beta"));
        QCOMPARE(Preferences().string(QString::fromLatin1(prefkeys::kRemoteServerURL)).value_or(QString()), address);
        if (!entry.isEmpty()) {
            click(control(QStringLiteral("Start chatting")));
            QTRY_COMPARE(m_state->currentView(), AppView::Chat);
            QCOMPARE(engines.mode(), QStringLiteral("remoteServer"));
        } else {
            click(control(QStringLiteral("Forget key")));
            QTRY_VERIFY(!engines.hasRemoteKey());
            QVERIFY(!shownText(keyNotice));
        }
    }

private:
    // Whether the row of that name shows its tick.
    bool ticked(const QString &row) const
    {
        return !items(control(row), [](QQuickItem *i) { return i->objectName() == "selectionCheckmark"; }).isEmpty();
    }
    // The sheet of that name open now, if any (screens left behind may still hold theirs until they are deleted).
    QObject *openSheet(const QString &name = QStringLiteral("modelPicker")) const
    {
        for (QObject *sheet : m_window->findChildren<QObject *>(name)) {
            if (sheet->property("visible").toBool())
                return sheet;
        }
        return nullptr;
    }
};

QTEST_MAIN(TestSettingsAndSetup)
#include "tst_settings_and_setup.moc"
