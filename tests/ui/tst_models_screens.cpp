// The models screen and the model picker driven as a user would, in the real window: a catalog download from a loopback
// server followed row by row, selecting and deleting models, the picker's tabs, alerts and the copy confirmation of a
// local file.
#include "app/model_picker_state.h"
#include "common/nginx_server.h"
#include "core/file_manager_utility.h"
#include "core/preference_keys.h"
#include "models/curated_catalog.h"
#include "models/model_download_manager.h"
#include "platform/preferences.h"
#include "ui/models_list_model.h"
#include "window_driver.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(QuorvanePlugin)

using namespace window_driver;

namespace {

constexpr int kServedBytes = 4000000; // "4 MB", served at 1 MB/s

} // namespace

class TestModelsScreens : public QObject, public WindowTest {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The first catalog entry's file, under /slow/ where nginx sends it at 1 MB/s so that the download shows
        // progress for a few seconds.
        const QString served =
            m_served.path() + QStringLiteral("/slow") + QUrl(CuratedCatalog::all().first().url).path();
        QVERIFY(QDir().mkpath(QFileInfo(served).path()));
        QFile file(served);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(kServedBytes, 'q')) == kServedBytes);
        file.close();
        m_server = std::make_unique<NginxServer>(m_served.path(), QStringLiteral("location /slow/ { limit_rate 1m; }"));
        QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));

        QVERIFY(makeHome(QStringLiteral(FAKE_LLAMA_COMPLETION)));
        // Past the welcome screen, so that the first model added does not move the window to the chat.
        Preferences().setBool(QString::fromLatin1(prefkeys::kDidCompleteOnboarding), true);
        m_downloads = std::make_unique<ModelDownloadManager>();
        QVERIFY(openWindow({{}, m_downloads.get()}));
        QVERIFY((m_picker = m_state->findChild<ModelPickerState *>()));
        m_picker->setModelHost(m_server->baseUrl() + QStringLiteral("/slow"));
        QTRY_VERIFY_WITH_TIMEOUT(m_engine->isLlamaCPPVerified(), 20000);
    }

    void cleanupTestCase()
    {
        // the window and the state go before the downloads they use, which the base would outlive
        m_qml.reset();
        m_state.reset();
    }

    void init()
    {
        // Every case starts on an empty models screen with the picker closed.
        if (QObject *sheet = picker())
            QMetaObject::invokeMethod(sheet, "close");
        while (m_state->downloadedModelCount() > 0)
            m_state->deleteModel(m_state->downloadedModels().first());
        m_state->setCurrentView(AppView::Models);
        QTRY_VERIFY(control(QStringLiteral("modelsView")) && !pickerOpen());
        QTRY_VERIFY(shownText(QStringLiteral("No models yet")));
    }

    void listTexts()
    {
        QCOMPARE(ModelsListModel::statusText(0, 0), QStringLiteral("Starting download..."));
        QCOMPARE(ModelsListModel::statusText(1500000, 0), QStringLiteral("1.5 MB downloaded"));
        QCOMPARE(ModelsListModel::statusText(1500000, 4370000000), QStringLiteral("1.5 MB / 4.37 GB downloaded"));
        QCOMPARE(ModelsListModel::speedText(0), QString());
        QCOMPARE(ModelsListModel::speedText(1.26), QStringLiteral("1.3 MB/s"));
    }

    void catalogDownloadFromPicker()
    {
        addLocalModel(QStringLiteral("Local One")); // selected, so the download is not selected on completion
        const QString name = CuratedCatalog::all().first().name;
        QVERIFY(openPicker());
        click(control(QStringLiteral("Download ") + name));
        QTRY_VERIFY_WITH_TIMEOUT(!pickerOpen(), 15000);
        QCOMPARE(m_state->currentView(), AppView::Models);

        QQuickItem *row = waitFor(name);
        QVERIFY(row && control(QStringLiteral("downloadProgress"), row));
        // the screen's title and its add button head the list, clear of the rows
        QQuickItem *add = control(QStringLiteral("Add Model"));
        QVERIFY(shownText(QStringLiteral("Models")));
        QVERIFY(add->mapToScene(QPointF(0, add->height())).y() <= row->mapToScene(QPointF(0, 0)).y());
        // a row still downloading cannot be selected
        click(row);
        QCOMPARE(m_state->selectedModelName(), QStringLiteral("Local One"));
        QTRY_VERIFY_WITH_TIMEOUT(textOf(control(QStringLiteral("downloadStatus"), row)).endsWith(" / 4 MB downloaded"),
                                 15000);

        // the details sheet follows the record to its end
        chooseFromRowMenu(row, QStringLiteral("Model Details"));
        QTRY_VERIFY(shownText(QStringLiteral("Model Details")));
        QQuickItem *details = row->findChild<QObject *>(QStringLiteral("modelDetails"))
                                  ->property("contentItem").value<QQuickItem *>();
        QVERIFY(texts(details).contains(QStringLiteral("Downloading...")));
        QVERIFY(texts(details).contains(m_picker->catalogUrl(CuratedCatalog::all().first())));
        QTRY_VERIFY_WITH_TIMEOUT(texts(details).contains(QStringLiteral("Downloaded and ready")), 30000);
        click(control(QStringLiteral("Done")));
        QTRY_VERIFY(!shownText(QStringLiteral("Model Details")));

        QVERIFY(!control(QStringLiteral("downloadProgress"), row));
        QCOMPARE(textOf(control(QStringLiteral("modelSize"), row)), QStringLiteral("4 MB"));
        QVERIFY(!texts(row).contains(QStringLiteral("• Active")));
        click(row);
        QCOMPARE(m_state->selectedModelName(), name);
        QTRY_VERIFY(texts(row).contains(QStringLiteral("• Active")));
        QCOMPARE(texts().count(QStringLiteral("• Active")), 1);
    }

    void deleteFromRowMenu_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<bool>("deleted");
        QTest::newRow("delete") << "Delete model" << true;
        QTest::newRow("cancel") << "Cancel" << false;
    }

    void deleteFromRowMenu()
    {
        QFETCH(QString, button);
        QFETCH(bool, deleted);
        addLocalModel(QStringLiteral("Chosen"));
        addLocalModel(QStringLiteral("Other"));
        QQuickItem *row = waitFor(QStringLiteral("Chosen"));
        QVERIFY(row && texts(row).contains(QStringLiteral("• Active")));

        chooseFromRowMenu(row, QStringLiteral("Delete Model"));
        QTRY_VERIFY(shownText(QStringLiteral("Delete Chosen?")));
        click(footerButton(row->findChild<QObject *>(QStringLiteral("deleteModelConfirm")), button));
        QTRY_VERIFY(!shownText(QStringLiteral("Delete Chosen?")));

        QTRY_COMPARE(!control(QStringLiteral("Chosen")), deleted);
        QCOMPARE(m_state->selectedModelName(), deleted ? QString() : QStringLiteral("Chosen"));
        QCOMPARE(texts().count(QStringLiteral("• Active")), deleted ? 0 : 1);
    }

    // What is typed on the Custom URL tab outlives a visit of the other tabs and a link refused with an alert; a new
    // visit of the sheet starts empty.
    void customLinkTab()
    {
        const QString page = QStringLiteral("https://example.invalid/org/repo/blob/main/m.gguf"); // not the file's link
        QVERIFY(openPicker());
        click(control(QStringLiteral("Custom URL")));
        typeInto(QStringLiteral("Hugging Face Model URL"), page);
        typeInto(QStringLiteral("Model Name (Optional)"), QStringLiteral("Mine"));
        QCOMPARE(m_picker->huggingFaceURL(), page);

        for (const QString tab : {"Model Library", "Suggested", "Local File"}) {
            click(control(tab));
            QTRY_VERIFY(!control(QStringLiteral("Hugging Face Model URL")));
            click(control(QStringLiteral("Custom URL")));
            QTRY_COMPARE(textOf(control(QStringLiteral("Hugging Face Model URL"))), page);
            QCOMPARE(textOf(control(QStringLiteral("Model Name (Optional)"))), QStringLiteral("Mine"));
        }

        const QList<QPair<QString, QString>> refused = {{page, ModelPickerState::resolveLinkMessage()},
                                                        {"not a link", "Invalid URL format"}};
        for (const auto &[link, message] : refused) {
            QQuickItem *field = control(QStringLiteral("Hugging Face Model URL"));
            field->setProperty("text", link);
            click(control(QStringLiteral("Download Model")));
            QTRY_VERIFY(shownText(QStringLiteral("Download Status")));
            QVERIFY(shownText(message));
            click(control(QStringLiteral("OK")));
            QTRY_VERIFY(!shownText(QStringLiteral("Download Status")));
            QVERIFY(!m_picker->showingAlert() && pickerOpen());
            QCOMPARE(textOf(field), link); // kept for correcting
        }
        QCOMPARE(m_state->downloadedModelCount(), 0);

        click(control(QStringLiteral("pickerCancelButton")));
        QTRY_VERIFY(!pickerOpen());
        QVERIFY(openPicker());
        QVERIFY(control(QStringLiteral("modelLibraryList")));
        click(control(QStringLiteral("Custom URL")));
        QTRY_COMPARE(textOf(control(QStringLiteral("Hugging Face Model URL"))), QString());
    }

    // Declining the copy of a picked file leaves the library as it was and the picker open (the end-to-end test copies
    // one).
    void localFileCopyDeclined()
    {
        const QString source = m_home->writeFile(QStringLiteral("files/Picked.gguf"), QByteArray(5000, 'p'));
        QVERIFY(openPicker());
        click(control(QStringLiteral("Local File")));
        click(control(QStringLiteral("Browse Files")));
        // the file chooser opens (drawn by Qt where the desktop has none); what it hands over is given directly
        QObject *chooser = picker()->findChild<QObject *>(QStringLiteral("modelFileDialog"));
        QTRY_VERIFY(chooser && chooser->property("visible").toBool());
        QVERIFY(QMetaObject::invokeMethod(chooser, "reject"));
        QTRY_VERIFY(!chooser->property("visible").toBool());
        m_picker->importLocalModel({QUrl::fromLocalFile(source)});
        QTRY_VERIFY(shownText(QStringLiteral("Copy 5 KB into Quorvane's storage?")));
        QObject *confirm = picker()->findChild<QObject *>(QStringLiteral("copyModelConfirm"));
        click(footerButton(confirm, QStringLiteral("Cancel")));
        QTRY_VERIFY(!shownText(QStringLiteral("Copy 5 KB into Quorvane's storage?")));
        QVERIFY(pickerOpen() && m_state->downloadedModelCount() == 0);
        QVERIFY(!QFileInfo::exists(FileManagerUtility::shared().modelsDirectory() + QStringLiteral("/Picked.gguf")));
    }

private:
    // The shown button labelled label in a dialog's footer.
    QQuickItem *footerButton(QObject *dialog, const QString &label) const
    {
        return dialog ? control(label, dialog->property("footer").value<QQuickItem *>()) : nullptr;
    }
    QObject *picker() const
    {
        QQuickItem *view = control(QStringLiteral("modelsView"));
        return view ? view->findChild<QObject *>(QStringLiteral("modelPicker")) : nullptr;
    }
    bool pickerOpen() const { return picker() && picker()->property("visible").toBool(); }
    bool openPicker()
    {
        click(control(QStringLiteral("Add Model")));
        return waitUntil([&] { return pickerOpen() && shownText(QStringLiteral("Add AI Model")); });
    }
    // A downloaded model with a file of its own in the models folder.
    void addLocalModel(const QString &name)
    {
        const QString file = FileManagerUtility::shared().modelsDirectory() + '/' + name + ".gguf";
        AIModel model = AIModel::make(name, QStringLiteral("Local File"));
        model.isDownloaded = true;
        model.filePath = m_home->writeFile(QDir(m_home->home()).relativeFilePath(file), QByteArray(5000, 'm'));
        model.size = QStringLiteral("5 KB");
        model.downloadProgress = 1.0;
        model.downloadedBytes = model.totalBytes = 5000;
        m_state->addModel(model);
    }
    void chooseFromRowMenu(QQuickItem *row, const QString &item)
    {
        click(control(QStringLiteral("Model options"), row));
        click(waitFor(item));
    }

    QTemporaryDir m_served;
    std::unique_ptr<NginxServer> m_server;
    std::unique_ptr<ModelDownloadManager> m_downloads;
    ModelPickerState *m_picker = nullptr;
};

QTEST_MAIN(TestModelsScreens)
#include "tst_models_screens.moc"
