// The model library: adding, selecting and deleting models, and importing a
// .gguf file from the disk.
#include "app/app_state.h"
#include "app/model_picker_state.h"
#include "common/test_support.h"
#include "core/preference_keys.h"
#include "engine/llama_cpp_manager.h"
#include "platform/preferences.h"

#include <QScopeGuard>
#include <QSignalSpy>
#include <QtTest>

namespace {

QString key(const char *k) { return QString::fromLatin1(k); }

AIModel downloaded(const QString &name, const QString &path)
{
    AIModel model = AIModel::make(name, QStringLiteral("Local File"));
    model.isDownloaded = true;
    model.filePath = path;
    model.downloadProgress = 1.0;
    return model;
}

QStringList names(const QList<AIModel> &models)
{
    QStringList result;
    for (const AIModel &model : models)
        result << model.name;
    return result;
}

} // namespace

class TestModelLibrary : public QObject {
    Q_OBJECT

private slots:
    void deleting_data()
    {
        QTest::addColumn<int>("victim"); // index into [selected, loaded elsewhere, imported]
        QTest::addColumn<bool>("clearsSelection");
        QTest::addColumn<bool>("unloadsEngine");
        QTest::newRow("the selected model") << 0 << true << false;
        QTest::newRow("the engine's current model") << 1 << false << true;
        QTest::newRow("an imported model") << 2 << false << false;
    }
    // A model still downloading is never selected; the first downloaded one
    // is, and the library keeps its order and selection over a restart.
    // Deleting a model takes its files and only the selection or engine
    // model that was its own.
    void deleting()
    {
        QFETCH(int, victim);
        QFETCH(bool, clearsSelection);
        QFETCH(bool, unloadsEngine);
        TempHome home;
        LlamaCPPManager engine;
        AppState state(engine);
        QVERIFY(state.isFirstLaunch());
        const AIModel pending = AIModel::make(QStringLiteral("pending"), QStringLiteral("https://example.invalid/p.gguf"));
        state.addModel(pending);
        state.selectModelById(canonicalUuid(pending.id));
        QVERIFY(!state.selectedModel() && !state.isFirstLaunch() && state.hasDownloadedModels());
        QCOMPARE(state.currentView(), AppView::Chat);
        QCOMPARE(Preferences().boolValue(key(prefkeys::kDidCompleteOnboarding)), true);

        const QString models = home.dataDir() + QStringLiteral("/Models/");
        QList<AIModel> library;
        for (const QString &name : {QStringLiteral("sel"), QStringLiteral("cur"), QStringLiteral("imp")})
            library << downloaded(name, home.writeFile(models + name + QStringLiteral(".gguf"), name.toUtf8()));
        // A stray file named for the imported model's id goes with it.
        home.writeFile(models + canonicalUuid(library[2].id) + QStringLiteral(".gguf"), "stray");
        for (const AIModel &model : library)
            state.addModel(model);
        QCOMPARE(engine.currentModelName(), QStringLiteral("sel"));
        QCOMPARE(Preferences().string(key(prefkeys::kSelectedModelId)), canonicalUuid(library[0].id));
        QCOMPARE(names(AppState(engine).downloadedModels()), (QStringList{"pending", "sel", "cur", "imp"}));
        QCOMPARE(AppState(engine).selectedModelName(), QStringLiteral("sel"));
        engine.loadModel(library[1]); // the engine runs another model than the selected one
        const QString outside = home.writeFile(QStringLiteral("Downloads/imp.gguf"), "original");

        state.deleteModelById(canonicalUuid(library[victim].id));
        QCOMPARE(state.downloadedModelCount(), 3);
        QVERIFY(!QFileInfo::exists(library[victim].filePath));
        QCOMPARE(folderEntries(models).size(), victim == 2 ? 2 : 3);
        QCOMPARE(readFileBytes(outside), QByteArray("original"));
        QCOMPARE(!state.selectedModel(), clearsSelection);
        QCOMPARE(Preferences().contains(key(prefkeys::kSelectedModelId)), !clearsSelection);
        QCOMPARE(!engine.isModelLoaded(), unloadsEngine);
        // A download that finishes after its record went takes its file along.
        const QString late = home.writeFile(models + canonicalUuid(library[victim].id) + QStringLiteral(".gguf"), "late");
        state.markDownloadComplete(library[victim].id, late);
        QVERIFY(!QFileInfo::exists(late));

        // Deleting the rest empties the library.
        for (const AIModel &model : QList<AIModel>(state.downloadedModels()))
            state.deleteModel(model);
        QVERIFY(!state.hasDownloadedModels());
        QCOMPARE(Preferences().boolValue(key(prefkeys::kHasDownloadedModels)), false);
        QCOMPARE(Preferences().boolValue(key(prefkeys::kDidCompleteOnboarding)), true);
        QCOMPARE(folderEntries(models), QStringList());
    }

    void importingAFile_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<bool>("alreadyThere"); // a file of that name in Models, without a record
        QTest::addColumn<QString>("alert");     // empty: imported
        QTest::addColumn<bool>("templateBusy"); // another model's chat template is being read meanwhile
        QTest::newRow("upper-case extension") << "Model.GGUF" << false << "" << false;
        QTest::newRow("not a model file") << "Model.bin" << false << "Please select a .gguf model file" << false;
        QTest::newRow("name taken") << "Model.gguf" << true << "A model with this filename already exists" << false;
        QTest::newRow("during a template read") << "Model.gguf" << false << "" << true;
    }

    void importingAFile()
    {
        QFETCH(QString, fileName);
        QFETCH(bool, alreadyThere);
        QFETCH(QString, alert);
        QFETCH(bool, templateBusy);
        TempHome home;
        LlamaCPPManager engine;
        AppState state(engine);
        ModelPickerState picker(state);
        const auto stopReads = qScopeGuard([&] {
            engine.applicationWillTerminate();
            qunsetenv("FAKE_LLAMA_SCRIPT_TEXT");
        });
        const QString models = home.dataDir() + QStringLiteral("/Models");
        if (templateBusy) { // a reading run that never ends by itself
            qputenv("FAKE_LLAMA_SCRIPT_TEXT", "hang");
            QVERIFY(home.installProgram(QStringLiteral(FAKE_LLAMA_COMPLETION)));
            const QString busy = home.writeFile(QStringLiteral("busy.gguf"), "b");
            state.addModel(downloaded(QStringLiteral("busy"), busy));
            QVERIFY(waitUntil([&] { return processesWith(busy.toUtf8() + " --verbose") == 1; }));
        }
        if (alreadyThere)
            home.writeFile(models + u'/' + fileName, "someone else's");
        const QByteArray content(2500, 'g');
        const QString source = home.writeFile(QStringLiteral("Downloads/") + fileName, content);
        const QByteArray modelsBefore = entrySnapshot(models);

        QStringList asked;
        connect(&picker, &ModelPickerState::confirmationRequested, this,
                [&](const QString &message, const QString &info) { asked << message << info; });
        QSignalSpy dismissed(&picker, &ModelPickerState::dismissRequested);
        picker.importLocalModel({QUrl::fromLocalFile(source)});
        if (!alert.isEmpty()) {
            QCOMPARE(picker.alertMessage(), alert);
            QVERIFY(picker.showingAlert());
            QVERIFY(asked.isEmpty());
            QCOMPARE(entrySnapshot(models), modelsBefore);
            return;
        }
        QCOMPARE(asked, (QStringList{QStringLiteral("Copy 3 KB into Quorvane's storage?"),
                                     QStringLiteral("Quorvane will keep its own copy of %1 (3 KB) under Application "
                                                    "Support. The original at %2 will not be touched. If you don't "
                                                    "have the disk space for a second copy, cancel.")
                                         .arg(fileName, source)}));
        picker.answerConfirmation(true);
        QVERIFY(waitUntil([&] { return dismissed.count() == 1; }));
        QCOMPARE(state.downloadedModelCount(), templateBusy ? 2 : 1);
        const AIModel model = state.downloadedModels().last();
        QCOMPARE(model.name, QStringLiteral("Model"));
        QCOMPARE(model.url, QStringLiteral("Local File"));
        QCOMPARE(model.filePath, models + u'/' + fileName);
        QCOMPARE(model.size, QStringLiteral("3 KB"));
        QCOMPARE(model.totalBytes, 2500);
        QCOMPARE(readFileBytes(model.filePath), content);
        QCOMPARE(folderEntries(models), QStringList{fileName}); // no temporary copy left
        QCOMPARE(state.selectedModelName(), templateBusy ? QStringLiteral("busy") : QStringLiteral("Model"));
        QCOMPARE(readFileBytes(source), content);
    }
};

QTEST_GUILESS_MAIN(TestModelLibrary)
#include "tst_model_library.moc"
