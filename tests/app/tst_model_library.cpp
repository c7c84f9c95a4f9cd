// The model library on the application state and its picker: the selected model at start-up, downloads by link and
// from the catalog, a download finished while the application was away, deleting, and importing a file.
#include "app/app_state.h"
#include "app/model_picker_state.h"
#include "app_test_support.h"
#include "common/nginx_server.h"
#include "core/record_json.h"
#include "engine/llama_cpp_manager.h"
#include "models/curated_catalog.h"
#include "models/model_download_manager.h"

#include <QtTest>

namespace {

const QUuid kModelB = QUuid::fromString(QStringLiteral("7c9e6679-7425-40de-944b-e07fc1f90ae7"));
const QUuid kModelC = QUuid::fromString(QStringLiteral("16fd2706-8baf-433b-82eb-8c7fada847da"));

QJsonObject modelJson(const QUuid &id, const QString &name, bool downloaded, const QString &filePath)
{
    return {{"id", id.toString(QUuid::WithoutBraces)}, {"name", name}, {"url", "https://example.invalid/" + name},
            {"isDownloaded", downloaded}, {"filePath", filePath}, {"size", "1 KB"},
            {"downloadProgress", downloaded ? 1.0 : 0.25}, {"downloadedBytes", 100}, {"totalBytes", 400},
            {"downloadSpeed", 0.0}, {"createdAt", 1700000000.5}};
}

AIModel downloaded(const QString &name, const QString &path)
{
    AIModel model = AIModel::make(name, QStringLiteral("Local File"));
    model.isDownloaded = true;
    model.filePath = path;
    model.downloadProgress = 1.0;
    return model;
}

QByteArray modelBytes(int size, char seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(seed + i * 31 + i / 977);
    return bytes;
}

// A fresh state with downloads and the model picker on it.
struct Library {
    TempHome home;
    LlamaCPPManager engine;
    ModelDownloadManager downloads;
    AppState state{engine, {{}, &downloads}};
    ModelPickerState picker{state};
    QSignalSpy dismissed{&picker, &ModelPickerState::dismissRequested};
};

} // namespace

class TestModelLibrary : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        const QString repo = QStringLiteral("/org/repo/resolve/main/");
        for (const QString &name : {QStringLiteral("My-Model.Q4_K_M.gguf"), QStringLiteral("x.gguf.part.gguf")}) {
            QFile file(m_root.path() + repo + name);
            QVERIFY(QDir().mkpath(m_root.path() + repo) && file.open(QIODevice::WriteOnly));
            file.write(modelBytes(40000, 'a'));
        }
        m_server = std::make_unique<NginxServer>(m_root.path(),
                                                 QStringLiteral("location /x399/ { return 399; }\n"
                                                                "location ~ \\.gguf/$ { rewrite ^(.*)/$ $1 last; }"));
        QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    }

    void selectedModel_data()
    {
        QTest::addColumn<QString>("storedId");    // "" = none stored
        QTest::addColumn<bool>("onlyUndownloaded");
        QTest::addColumn<bool>("chosenFileExists");
        QTest::addColumn<QString>("expected");    // name of the selected model, "" = none
        QTest::addColumn<QString>("storedAfter"); // "" = absent
        const QString a = canonicalUuid(kModelA), b = canonicalUuid(kModelB), c = canonicalUuid(kModelC);
        QTest::newRow("stored model not downloaded") << a << false << true << "B" << b;
        QTest::newRow("unparsable id") << "garbage" << false << true << "B" << b;
        QTest::newRow("stored in lower case") << c.toLower() << false << true << "C" << c.toLower();
        QTest::newRow("selected file missing") << c << false << false << "C" << c;
        QTest::newRow("nothing downloaded") << a << true << true << "" << a;
    }
    void selectedModel()
    {
        QFETCH(QString, storedId);
        QFETCH(bool, onlyUndownloaded);
        QFETCH(bool, chosenFileExists);
        QFETCH(QString, expected);
        QFETCH(QString, storedAfter);
        TempHome home;
        const QString models = home.dataDir() + QStringLiteral("/Models/");
        home.writeFile(models + "a.gguf", "A");
        if (chosenFileExists)
            home.writeFile(models + (expected.isEmpty() ? "none" : expected.toLower()) + ".gguf", "GGUF");
        QJsonArray list{modelJson(kModelA, "A", false, models + "a.gguf")};
        if (!onlyUndownloaded)
            list << modelJson(kModelB, "B", true, models + "b.gguf") << modelJson(kModelC, "C", true, models + "c.gguf");
        Preferences().setData(key(prefkeys::kDownloadedModels), json(list));
        if (!storedId.isEmpty())
            Preferences().setString(key(prefkeys::kSelectedModelId), storedId);
        LlamaCPPManager engine;
        AppState state(engine);
        QCOMPARE(state.selectedModelName(), expected);
        QCOMPARE(Preferences().string(key(prefkeys::kSelectedModelId)).value_or(QString()), storedAfter);
        // The engine loads the selection only when its file is there.
        if (!expected.isEmpty() && chosenFileExists) {
            QVERIFY(waitUntil([&] { return engine.currentModel().has_value(); }, 2000));
            QCOMPARE(engine.currentModel()->id, state.selectedModel()->id);
        } else {
            QTest::qWait(20);
            QVERIFY(!engine.currentModel());
        }
    }

    void customLink_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expectedName"); // empty: no record stays
        const QString repo = QStringLiteral("{BASE}/org/repo/");
        QTest::newRow("name from the link") << repo + "resolve/main/My-Model.Q4_K_M.gguf" << "" << "My-Model.Q4_K_M";
        QTest::newRow("ending in /") << repo + "resolve/main/My-Model.Q4_K_M.gguf/" << "" << "My-Model.Q4_K_M";
        QTest::newRow(".gguf twice") << repo + "resolve/main/x.gguf.part.gguf" << "" << "x.part";
        QTest::newRow("name typed") << repo + "resolve/main/My-Model.Q4_K_M.gguf" << " Mine " << " Mine ";
        QTest::newRow("file gone") << repo + "resolve/main/gone.gguf" << "" << "";
    }

    void customLink()
    {
        QFETCH(QString, link);
        QFETCH(QString, name);
        QFETCH(QString, expectedName);
        Library l;
        auto &[home, engine, downloads, state, picker, dismissed] = l;
        picker.setHuggingFaceURL(link.replace(QStringLiteral("{BASE}"), m_server->baseUrl()));
        picker.setModelName(name);
        picker.downloadFromCustomURL();
        QCOMPARE(state.downloadedModelCount(), 1);
        QVERIFY(waitUntil([&] { return dismissed.count() == 1; }));
        QCOMPARE(state.currentView(), AppView::Models);
        if (expectedName.isEmpty()) { // a first download that fails takes its record along
            QVERIFY(waitUntil([&] { return state.downloadedModelCount() == 0; }, 20000));
            return;
        }
        QVERIFY(waitUntil([&] { return state.downloadedModelCount() == 1 && state.downloadedModels().first().isDownloaded; },
                          20000));
        const AIModel model = state.downloadedModels().first();
        QCOMPARE(model.name, expectedName);
        QCOMPARE(model.url, link);
        QCOMPARE(readFileBytes(model.filePath), modelBytes(40000, 'a'));
        QCOMPARE(state.selectedModelName(), expectedName);
    }

    // The catalog file is looked up first: a second press meanwhile is ignored, a file gone gives the alert, and an
    // answer below 400 lets the download start (the download of a present file is the models screen test's).
    void catalogEntry()
    {
        Library l;
        auto &[home, engine, downloads, state, picker, dismissed] = l;
        picker.setModelHost(m_server->baseUrl() + QStringLiteral("/elsewhere"));
        picker.downloadCuratedModelAt(0);
        picker.downloadCuratedModelAt(0);
        QVERIFY(picker.isCheckingCatalogEntry());
        QVERIFY(waitUntil([&] { return picker.showingAlert(); }, 15000));
        QCOMPARE(picker.alertMessage(), QStringLiteral("Model unavailable (HTTP 404). Hugging Face may have renamed or "
                                                       "removed this file. Try Custom URL with a fresh link."));
        QCOMPARE(state.downloadedModelCount(), 0);
        picker.setShowingAlert(false);
        picker.setModelHost(m_server->baseUrl() + QStringLiteral("/x399"));
        picker.downloadCuratedModelAt(0);
        QVERIFY(waitUntil([&] { return dismissed.count() == 1 && !picker.isCheckingCatalogEntry(); }, 15000));
        QCOMPARE(state.currentView(), AppView::Models);
        QCOMPARE(state.downloadedModels().first().name, CuratedCatalog::all().first().name);
    }

    void finishedFileAtStart_data()
    {
        QTest::addColumn<int>("fileSize"); // bytes of the served file already in Models
        QTest::addColumn<qint64>("recordTotal"); // 0: unknown
        QTest::addColumn<bool>("resumeData");
        QTest::addColumn<bool>("fetched"); // downloaded again
        QTest::newRow("whole file") << 40000 << qint64(40000) << false << false;
        QTest::newRow("whole file, resume data left") << 40000 << qint64(40000) << true << false;
        QTest::newRow("cut short") << 1000 << qint64(40000) << false << true;
        QTest::newRow("size unknown") << 40000 << qint64(0) << false << true;
    }
    // A quit or crash while a finished download was moved into Models: the next start completes the record, or
    // downloads it again. Leftovers of interrupted imports and downloads go; what resume data names stays.
    void finishedFileAtStart()
    {
        QFETCH(int, fileSize);
        QFETCH(qint64, recordTotal);
        QFETCH(bool, resumeData);
        QFETCH(bool, fetched);
        TempHome home;
        const QString path = QStringLiteral("/org/repo/resolve/main/My-Model.Q4_K_M.gguf");
        AIModel record = AIModel::make(QStringLiteral("My-Model"), m_server->baseUrl() + path);
        record.downloadProgress = 0.9;
        record.totalBytes = recordTotal;
        QVERIFY(Preferences().setData(key(prefkeys::kDownloadedModels), *recordjson::encodeModelList({record})));
        const QString models = home.dataDir() + QStringLiteral("/Models/");
        const QString resume = home.dataDir() + QStringLiteral("/ResumeData/");
        const QByteArray blob = QJsonDocument(QJsonObject{{"url", record.url}}).toJson();
        const QString file =
            home.writeFile(models + canonicalUuid(record.id) + ".gguf", modelBytes(40000, 'a').left(fileSize));
        if (resumeData)
            home.writeFile(resume + canonicalUuid(record.id) + ".resume", blob);
        home.writeFile(models + "other.gguf.importing", "cut short");
        home.writeFile(resume + canonicalUuid(QUuid::createUuid()) + ".partial", "no record");
        const QString kept = canonicalUuid(QUuid::createUuid());
        home.writeFile(resume + kept + ".partial", "named by its resume data");
        home.writeFile(resume + kept + ".resume", blob);
        const QString get = "GET " + path + ' ';
        const qsizetype getsBefore = m_server->accessLog().count(get);
        LlamaCPPManager engine;
        ModelDownloadManager downloads;
        AppState state(engine, {{}, &downloads});
        QVERIFY(waitUntil([&] { return state.downloadedModels().first().isDownloaded; }, 20000));
        QCOMPARE(state.downloadedModels().first().filePath, file);
        QCOMPARE(readFileBytes(file), modelBytes(40000, 'a'));
        QVERIFY(waitUntil([&] { return m_server->accessLog().count(get) - getsBefore == (fetched ? 1 : 0); }));
        downloads.drainQueues();
        QCOMPARE(folderEntries(models), QStringList{QFileInfo(file).fileName()});
        QCOMPARE(folderEntries(resume), (QStringList{kept + ".partial", kept + ".resume"}));
    }

    // A model still downloading is never selected; the first downloaded one is, and stays so over a restart. Deleting a
    // model takes its files (also a stray one named for its id) and only the selection or engine model that was its
    // own.
    void deleting()
    {
        TempHome home;
        LlamaCPPManager engine;
        AppState state(engine);
        const AIModel pending = AIModel::make(QStringLiteral("pending"), QStringLiteral("https://example.invalid/p.gguf"));
        state.addModel(pending);
        state.selectModelById(canonicalUuid(pending.id));
        QVERIFY(!state.selectedModel() && !state.isFirstLaunch() && state.currentView() == AppView::Chat);
        const QString models = home.dataDir() + QStringLiteral("/Models/");
        QList<AIModel> library;
        for (const QString &name : {QStringLiteral("sel"), QStringLiteral("cur"), QStringLiteral("imp")})
            library << downloaded(name, home.writeFile(models + name + QStringLiteral(".gguf"), name.toUtf8()));
        home.writeFile(models + canonicalUuid(library[2].id) + QStringLiteral(".gguf"), "stray");
        for (const AIModel &model : library)
            state.addModel(model);
        QCOMPARE(engine.currentModelName(), QStringLiteral("sel"));
        engine.loadModel(library[1]); // the engine runs another model than the selected one
        const QString outside = home.writeFile(QStringLiteral("Downloads/imp.gguf"), "original");

        state.deleteModelById(canonicalUuid(library[1].id));
        QVERIFY(!engine.isModelLoaded());
        state.deleteModelById(canonicalUuid(library[2].id));
        QCOMPARE(state.selectedModelName(), QStringLiteral("sel"));
        QCOMPARE(folderEntries(models), QStringList{QStringLiteral("sel.gguf")});
        QCOMPARE(readFileBytes(outside), QByteArray("original"));
        state.deleteModel(library[0]);
        QVERIFY(!state.selectedModel() && !Preferences().contains(key(prefkeys::kSelectedModelId)));
        // A download that finishes after its record went takes its file along.
        const QString late = home.writeFile(models + canonicalUuid(library[0].id) + QStringLiteral(".gguf"), "late");
        state.markDownloadComplete(library[0].id, late);
        QVERIFY(!QFileInfo::exists(late));
        state.deleteModel(pending);
        QVERIFY(!state.hasDownloadedModels());
        QCOMPARE(Preferences().boolValue(key(prefkeys::kHasDownloadedModels)), false);
        QCOMPARE(Preferences().boolValue(key(prefkeys::kDidCompleteOnboarding)), true);
        QCOMPARE(folderEntries(models), QStringList());
    }

    // Only .gguf files, in any letter case, and never over a file of the same name, also while another model's chat
    // template is read; the source stays and no temporary copy is left.
    void importingAFile()
    {
        Library l;
        auto &[home, engine, downloads, state, picker, dismissed] = l;
        const auto stopReads = qScopeGuard([&] {
            engine.applicationWillTerminate();
            qunsetenv("FAKE_LLAMA_SCRIPT_TEXT");
        });
        qputenv("FAKE_LLAMA_SCRIPT_TEXT", "hang"); // a reading run that never ends by itself
        QVERIFY(home.installProgram(QStringLiteral(FAKE_LLAMA_COMPLETION)));
        const QString busy = home.writeFile(QStringLiteral("busy.gguf"), "b");
        state.addModel(downloaded(QStringLiteral("busy"), busy));
        QVERIFY(waitUntil([&] { return processesWith(busy.toUtf8() + " --verbose") == 1; }));
        const QString models = home.dataDir() + QStringLiteral("/Models");
        home.writeFile(models + QStringLiteral("/Taken.gguf"), "someone else's");
        const QByteArray content(2500, 'g');
        QStringList asked;
        connect(&picker, &ModelPickerState::confirmationRequested, this,
                [&](const QString &message, const QString &info) { asked << message << info; });
        const QList<std::pair<QString, QString>> refused{{"Model.bin", "Please select a .gguf model file"},
                                                         {"Taken.gguf", "A model with this filename already exists"}};
        for (const auto &[fileName, alert] : refused) {
            const QByteArray modelsBefore = entrySnapshot(models);
            picker.importLocalModel({QUrl::fromLocalFile(home.writeFile("Downloads/" + fileName, content))});
            QCOMPARE(picker.alertMessage(), alert);
            QVERIFY(picker.showingAlert() && asked.isEmpty());
            QCOMPARE(entrySnapshot(models), modelsBefore);
            picker.setShowingAlert(false);
        }
        const QString source = home.writeFile(QStringLiteral("Downloads/Model.GGUF"), content);
        picker.importLocalModel({QUrl::fromLocalFile(source)});
        const QString info = asked.value(1);
        QVERIFY2(info.contains("copy of Model.GGUF (3 KB)") && info.contains(source), qPrintable(info));
        picker.answerConfirmation(true);
        QVERIFY(waitUntil([&] { return dismissed.count() == 1; }));
        QCOMPARE(state.downloadedModelCount(), 2);
        const AIModel model = state.downloadedModels().last();
        QCOMPARE(model.name + ' ' + model.size, QStringLiteral("Model 3 KB"));
        QCOMPARE(readFileBytes(model.filePath), content);
        QCOMPARE(folderEntries(models), (QStringList{"Model.GGUF", "Taken.gguf"})); // no temporary copy left
        QCOMPARE(state.selectedModelName(), QStringLiteral("busy"));
        QCOMPARE(readFileBytes(source), content);
    }

private:
    QTemporaryDir m_root;
    std::unique_ptr<NginxServer> m_server;
};

QTEST_GUILESS_MAIN(TestModelLibrary)
#include "tst_model_library.moc"
