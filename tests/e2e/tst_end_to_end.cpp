// The application as a user meets it: started as its own process with its own HOME, the service hosts on a
// loopback nginx, driven through its window by the control socket of quorvane_e2e.
#include "e2e/app_process.h"
#include "common/nginx_server.h"
#include "common/test_support.h"
#include "core/preference_keys.h"
#include "models/curated_catalog.h"
#include "platform/child_process.h"
#include "platform/preferences.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>
#include <QUrl>

#include <csignal>
#include <memory>

namespace {

QJsonObject firstModel(const QJsonObject &state)
{
    return state.value(QStringLiteral("models")).toArray().first().toObject();
}

void importTinyModel(AppProcess &app)
{
    QTemporaryDir folder;
    const QString model = folder.filePath(QStringLiteral("tiny.gguf"));
    QVERIFY(QFile::copy(QStringLiteral(TINY_GGUF), model));
    QVERIFY(app.click(QStringLiteral("Add Model")) && app.click(QStringLiteral("Local File")));
    QVERIFY(app.ok({QStringLiteral("import"), model}) && app.click(QStringLiteral("Copy")));
    QVERIFY(app.waitFor(QStringLiteral("selectedModel"), QStringLiteral("tiny")));
}

} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString root = m_served.filePath(QStringLiteral("www"));
        // The real program with its libraries, packed as a release is.
        QVERIFY(ChildProcess::run(
                    QStringLiteral("/bin/bash"),
                    {QStringLiteral("-c"),
                     QStringLiteral("mkdir -p \"$1/llama-b9999\" \"$2\" && cp -a \"$0\"/llama-completion \"$0\"/lib*.so* \"$1/llama-b9999\""
                                    " && tar -czf \"$2/real.tar.gz\" -C \"$1\" llama-b9999"),
                     QFileInfo(QStringLiteral(QUORVANE_LLAMA_COMPLETION)).path(), m_served.filePath(QStringLiteral("stage")),
                     root + QStringLiteral("/files")},
                    120000, 1 << 20).succeeded());
        // The first catalog entry's file where the hosting service keeps it, sent slowly enough to be interrupted.
        m_entry = CuratedCatalog::all().first();
        const QString path = QUrl(m_entry.url).path();
        m_servedModel = root + path;
        QByteArray bytes(48 << 20, Qt::Uninitialized);
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = char((qint64(i) * 131 + i / 4093) & 0xff);
        QVERIFY(QDir().mkpath(QFileInfo(m_servedModel).path()));
        QFile model(m_servedModel);
        QVERIFY(model.open(QIODevice::WriteOnly) && model.write(bytes) == bytes.size());
        model.close();

        const QString slow = QStringLiteral("location /%1/ { limit_rate 4m; }").arg(path.section(u'/', 1, 1));
        m_server = std::make_unique<NginxServer>(root, slow);
        QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
        QFile releases(root + QStringLiteral("/real/repos/ggml-org/llama.cpp/releases"));
        QVERIFY(QDir().mkpath(QFileInfo(releases).path()) && releases.open(QIODevice::WriteOnly));
        releases.write("[{\"tag_name\":\"b9999\",\"assets\":[{\"name\":\"llama-b9999-bin-ubuntu-x64.tar.gz\","
                       "\"browser_download_url\":\"" + m_server->baseUrl().toUtf8() + "/files/real.tar.gz\"}]}]");
    }

    void firstLaunchToConversationAndBack()
    {
        TempHome home;
        const QStringList hosts = {QStringLiteral("--api-host"), m_server->baseUrl() + QStringLiteral("/real"),
                                   QStringLiteral("--source-host"), QStringLiteral("file:///nonexistent-source-host")};
        QJsonObject state;
        QStringList figures;
        {
            AppProcess app(hosts);
            QVERIFY(app.connect());
            QVERIFY(app.waitFor(QStringLiteral("verified"), true, 180000));
            QVERIFY(app.waitForState([](const QJsonObject &s) {
                return s.value(QStringLiteral("screens")).toArray().last().toString() == QLatin1String("Welcome");
            }));
            QVERIFY(app.state().value(QStringLiteral("screens")).toArray().contains(QStringLiteral("Installing llama.cpp")));

            importTinyModel(app);
            QVERIFY(app.waitFor(QStringLiteral("currentView"), 1));
            QVERIFY(app.sendMessage(QStringLiteral("Hello there")));
            QVERIFY(app.waitForState([](const QJsonObject &s) {
                return s.value(QStringLiteral("messages")).toArray().size() == 2 && !s.value(QStringLiteral("generating")).toBool();
            }, 120000));
            state = app.state();
            const QJsonArray messages = state.value(QStringLiteral("messages")).toArray();
            QCOMPARE(messages.at(0).toObject().value(QStringLiteral("content")).toString(), QStringLiteral("Hello there"));
            QVERIFY(!messages.at(1).toObject().value(QStringLiteral("isFromUser")).toBool());
            const QString reply = messages.at(1).toObject().value(QStringLiteral("content")).toString();
            QVERIFY(!reply.isEmpty());
            // A reply (not a notice) shows how it was made under it, also after the next start.
            const QRegularExpression figuresLine(QStringLiteral("^\\d+\\.\\d\\d s to first token · (.+ · )?llama-completion · tiny$"));
            QVERIFY(waitUntil([&] {
                figures = app.texts().filter(figuresLine);
                return figures.size() == (reply.startsWith("⚠️") ? 0 : 1);
            }));

            app.send({QStringLiteral("quit")});
            QVERIFY(app.waitForExit());
            QCOMPARE(app.exitCode(), 0);
        }

        // The next start finds the program, the model, the selection and the conversation as they were.
        AppProcess again(hosts);
        QVERIFY(again.connect());
        QVERIFY(again.waitFor(QStringLiteral("verified"), true, 60000));
        const QJsonObject restored = again.state();
        QCOMPARE(restored.value(QStringLiteral("selectedModel")).toString(), QStringLiteral("tiny"));
        QCOMPARE(restored.value(QStringLiteral("models")), state.value(QStringLiteral("models")));
        QCOMPARE(restored.value(QStringLiteral("sessions")), state.value(QStringLiteral("sessions")));
        QVERIFY(again.click(state.value(QStringLiteral("currentSession")).toString()));
        QVERIFY(again.waitFor(QStringLiteral("messages"), state.value(QStringLiteral("messages"))));
        for (const QString &line : std::as_const(figures))
            QVERIFY2(waitUntil([&] { return again.texts().contains(line); }), qPrintable(line));
        // The installer ran once: the second start asked for no release.
        QCOMPARE(m_server->accessLog().count(QStringLiteral("GET /files/real.tar.gz")), 1);
    }

    void downloadContinuesAfterTheApplicationWasKilled()
    {
        TempHome home;
        QVERIFY(home.installProgram(QStringLiteral(FAKE_LLAMA_COMPLETION)));
        const QStringList hosts = {QStringLiteral("--model-host"), m_server->baseUrl()};
        const QDir resumeData(home.dataDir() + QStringLiteral("/ResumeData"));
        {
            AppProcess app(hosts);
            QVERIFY(app.connect());
            QVERIFY(app.click(QStringLiteral("Add Model")) && app.click(QStringLiteral("Download ") + m_entry.name));
            QVERIFY(app.waitForState([](const QJsonObject &s) {
                return firstModel(s).value(QStringLiteral("progress")).toDouble() > 0.15;
            }));
            app.signal(SIGKILL);
            QVERIFY(app.waitForExit());
        }
        QCOMPARE(resumeData.entryList({QStringLiteral("*.partial")}, QDir::Files).size(), 1);

        AppProcess again(hosts);
        QVERIFY(again.connect());
        QVERIFY(again.waitForState([](const QJsonObject &s) {
            return firstModel(s).value(QStringLiteral("isDownloaded")).toBool();
        }, 120000));
        const QString file = firstModel(again.state()).value(QStringLiteral("filePath")).toString();
        QVERIFY(readFileBytes(file) == readFileBytes(m_servedModel));
        QVERIFY(m_server->accessLog().contains(QStringLiteral("range=[bytes=")));
        QVERIFY(resumeData.entryList(QDir::Files).isEmpty());
    }

    void childProcessesEndWithTheApplication_data()
    {
        QTest::addColumn<bool>("localServer"); // the model kept loaded by a llama-server; else a reply under way
        QTest::addColumn<int>("signal");       // 0: quit as the window's close does
        QTest::newRow("SIGTERM during a reply") << false << int(SIGTERM);
        QTest::newRow("SIGINT during a reply") << false << int(SIGINT);
        QTest::newRow("local server, quit") << true << 0;
        QTest::newRow("local server, SIGKILL") << true << int(SIGKILL);
    }

    // Nothing the application started outlives it: a reply's run and its staged prompt on SIGTERM, and a
    // llama-server also when the application is killed and cannot stop it itself.
    void childProcessesEndWithTheApplication()
    {
        QFETCH(bool, localServer);
        QFETCH(int, signal);
        TempHome home;
        QVERIFY(home.installProgram(QStringLiteral(FAKE_LLAMA_COMPLETION)));
        const QString bin = home.dataDir() + QStringLiteral("/llama.cpp/build/bin/");
        if (localServer) {
            QVERIFY(QFile::link(QStringLiteral(QUORVANE_LLAMA_SERVER), bin + QStringLiteral("llama-server")));
            Preferences().setString(QString::fromLatin1(prefkeys::kEngineMode), QString::fromLatin1(prefkeys::kEngineModeLocalServer));
        } else { // every reply writes a word and then never ends
            qputenv("FAKE_LLAMA_SCRIPT_TEXT", "[run]\nout Partial\nhang\n");
        }
        AppProcess app({});
        qunsetenv("FAKE_LLAMA_SCRIPT_TEXT");
        QVERIFY(app.connect());
        importTinyModel(app);
        const auto staged = [&] {
            return QDir(home.runtimeDir()).entryList({QStringLiteral("quorvane-prompt-*")}, QDir::Files);
        };
        const QByteArray child = (bin + (localServer ? QStringLiteral("llama-server") : QStringLiteral("llama-completion"))).toUtf8();
        if (localServer) {
            QVERIFY(waitUntil([&] { return processesWith(child) == 1; }, 30000));
        } else {
            QVERIFY(app.waitFor(QStringLiteral("currentView"), 1));
            QVERIFY(app.sendMessage(QStringLiteral("Hi")));
            // The reply's run (reading the staged prompt); the model's chat-template read may run beside it.
            const QByteArray promptMarker = (home.runtimeDir() + QStringLiteral("/quorvane-prompt-")).toUtf8();
            QVERIFY(waitUntil([&] { return processesWith(promptMarker) == 1; }, 30000));
            QVERIFY(app.waitFor(QStringLiteral("generating"), true));
            QCOMPARE(staged().size(), 1);
        }
        if (signal)
            app.signal(signal);
        else
            app.send({QStringLiteral("quit")});
        QVERIFY(app.waitForExit());
        if (signal != SIGKILL)
            QCOMPARE(app.exitCode(), 0);
        QVERIFY(waitUntil([&] { return processesWith(child) == 0; }, 10000));
        QVERIFY2(staged().isEmpty(), qPrintable(staged().join(u' ')));
    }

private:
    QTemporaryDir m_served;
    std::unique_ptr<NginxServer> m_server;
    CuratedModel m_entry;
    QString m_servedModel;
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_end_to_end.moc"
