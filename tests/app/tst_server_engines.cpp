// Replies made by servers, as the conversation gets them: a llama-server
// kept running here with the tiny model, a key-protected llama-server
// playing the remote one, and a loopback server of ours for the faults.
#include "app/app_state.h"
#include "app/composer_state.h"
#include "app/reply_engines.h"
#include "common/fake_http_server.h"
#include "common/test_support.h"
#include "core/preference_keys.h"
#include "core/record_json.h"
#include "engine/llama_cpp_manager.h"
#include "engine/llama_server.h"
#include "platform/child_process.h"
#include "platform/preferences.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTest>

#include <csignal>

using namespace std::chrono_literals;

namespace {

const QString kTiny = QStringLiteral(TINY_GGUF);
const QString kStopped = QStringLiteral("Generation stopped by user.");
const QString kWarning = QStringLiteral("⚠️ Could not generate a reply: ");

bool processExists(qint64 pid) { return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno != ESRCH); }

QString pref(const char *key) { return QString::fromLatin1(key); }

// A private home in the given mode, with llama.cpp's programs installed and
// the tiny model selected, or with neither.
class Served {
public:
    explicit Served(const char *mode, bool local = true, std::chrono::milliseconds silence = 60s, bool withServer = true)
        : engine(nullptr, EngineTimings{silence, 50ms, 300ms})
    {
        Preferences prefs;
        prefs.setString(pref(prefkeys::kEngineMode), QString::fromLatin1(mode));
        if (local) {
            const QString bin = home.dataDir() + QStringLiteral("/llama.cpp/build/bin");
            QVERIFY(home.installProgram(QStringLiteral(QUORVANE_LLAMA_COMPLETION)));
            QVERIFY(!withServer || QFile::link(QStringLiteral(QUORVANE_LLAMA_SERVER), bin + QStringLiteral("/llama-server")));
            model = AIModel::make(QStringLiteral("Tiny"), QStringLiteral("https://example.invalid/tiny.gguf"));
            model.isDownloaded = true;
            model.filePath = kTiny;
            prefs.setData(pref(prefkeys::kDownloadedModels), *recordjson::encodeModelList({model}));
            prefs.setString(pref(prefkeys::kSelectedModelId), canonicalUuid(model.id));
        }
    }
    void start(const QString &remoteUrl = {}, const QString &remoteModel = {})
    {
        Preferences().setString(pref(prefkeys::kRemoteServerURL), remoteUrl);
        Preferences().setString(pref(prefkeys::kRemoteModelId), remoteModel);
        state = std::make_unique<AppState>(engine);
        composer = std::make_unique<ComposerState>(*state);
    }

    ReplyEngines &engines() const { return state->engines(); }
    qint64 serverPid() const { return engines().localServer() ? engines().localServer()->processId() : -1; }
    QUuid current() const { return state->currentSession() ? state->currentSession()->id : QUuid(); }
    void send(const QString &text)
    {
        m_before = state->chatMessages().size();
        composer->setMessageText(text);
        composer->sendMessage();
    }
    // Waits for the reply; the messages added after the one sent.
    QStringList added()
    {
        waitUntil([&] { return !state->isCurrentSessionGenerating(); }, 60000);
        QStringList out;
        for (qsizetype i = m_before + 1; i < state->chatMessages().size(); ++i)
            out << state->chatMessages().at(i).content;
        return out;
    }
    QStringList reply(const QString &text)
    {
        send(text);
        return added();
    }
    ReplyFigures lastFigures() const { return state->chatMessages().last().figures; }

    TempHome home;
    LlamaCPPManager engine;
    AIModel model;
    std::unique_ptr<AppState> state;
    std::unique_ptr<ComposerState> composer;

private:
    qsizetype m_before = 0;
};

bool isReply(const QStringList &added) { return added.size() == 1 && !added.first().startsWith(kWarning); }

} // namespace

class TestServerEngines : public QObject {
    Q_OBJECT

private slots:
    void localServerKeepsTheModelLoaded()
    {
        {
            // without llama-server beside llama-completion, one process makes each reply
            Served t(prefkeys::kEngineModeLocalServer, true, 60s, false);
            t.start();
            QCOMPARE(t.engines().localServerUnavailableReason(),
                     QStringLiteral("The installed llama.cpp has no llama-server, so each reply starts llama-completion on its own."));
            QVERIFY(isReply(t.reply(QStringLiteral("Hello"))));
            QCOMPARE(t.lastFigures().engineName, QStringLiteral("llama-completion"));
        }
        Served t(prefkeys::kEngineModeLocalServer);
        t.start();
        ReplyEngines &e = t.engines();
        QVERIFY(e.isLocalServerAvailable());
        QStringList seen;
        connect(&e, &ReplyEngines::localServerStateChanged, this, [&] { seen << e.localServerState(); });
        QVERIFY(waitUntil([&] { return e.isLocalServerReady(); }, 60000));
        QCOMPARE(seen.first(), QStringLiteral("Starting…"));
        QCOMPARE(e.localServerState(), QStringLiteral("Ready"));
        const qint64 first = t.serverPid();

        // two turns through one server, each with its figures
        for (const QString &text : {QStringLiteral("Hello there"), QStringLiteral("And again")}) {
            QVERIFY(isReply(t.reply(text)));
            const ReplyFigures f = t.lastFigures();
            QCOMPARE(f.engineName + " " + f.modelName, QStringLiteral("llama-server Tiny"));
            QVERIFY(f.tokenCount.value_or(0) > 0 && f.tokensPerSecond.value_or(0) > 0 && f.secondsToFirstToken.value_or(0) > 0);
        }
        QCOMPARE(t.serverPid(), first);

        // a stop while the server reads a long transcript ends the request at
        // once (not when the reading is done), and the server is free for the next
        LogCapture log;
        const auto sendLong = [&](char filler) {
            t.state->createNewChat(); // the transcript must fit the tiny model's context: one token a byte
            log.clear();
            t.send(QString(7000, QLatin1Char(filler)));
            QVERIFY(waitUntil([&] { return log.contains(QStringLiteral("Sending the reply request to llama-server")); }));
            QTest::qWait(200);
        };
        sendLong('x');
        t.state->stopCurrentReply();
        QElapsedTimer sinceStop;
        sinceStop.start();
        QVERIFY(waitUntil([&] { return log.contains(QStringLiteral("Generation completed successfully")); }, 10000));
        QVERIFY2(sinceStop.elapsed() < 1000, qPrintable(QString::number(sinceStop.elapsed())));
        QCOMPARE(t.added(), QStringList{kStopped});
        QVERIFY(isReply(t.reply(QStringLiteral("Still there?"))));

        // a server that dies under a request: its last words are the reason, and
        // the next reply starts it again
        sendLong('y'); // another transcript: not read from the cache at once
        const qint64 killed = t.serverPid();
        ::kill(pid_t(killed), SIGKILL);
        const QStringList died = t.added();
        QVERIFY2(died.last().startsWith(kWarning) && !died.last().contains(QStringLiteral("closed before")),
                 qPrintable(died.join(u'|')));
        t.state->createNewChat();
        QVERIFY(isReply(t.reply(QStringLiteral("Are you back?"))));
        const qint64 restarted = t.serverPid();
        QVERIFY(restarted != killed);
        t.state->createNewChat();

        // another model: the server ends and one with the new model starts
        AIModel other = t.model;
        other.id = QUuid::createUuid();
        other.name = QStringLiteral("Other");
        other.filePath = t.home.home() + QStringLiteral("/other.gguf");
        QVERIFY(QFile::copy(kTiny, other.filePath));
        t.state->addModel(other);
        t.state->selectModel(other);
        QVERIFY(waitUntil([&] { return t.serverPid() != restarted && e.isLocalServerReady(); }, 60000));
        QVERIFY(!processExists(restarted));
        QCOMPARE(e.localServer()->modelPath(), other.filePath);

        // unused for the idle time: stopped; the next message starts it again
        const qint64 second = t.serverPid();
        e.setLocalServerIdleLimit(300ms);
        QVERIFY(waitUntil([&] { return e.localServerState() == QLatin1String("Not running"); }, 10000));
        QVERIFY(!processExists(second));
        QVERIFY(isReply(t.reply(QStringLiteral("Back again"))));
        QCOMPARE(t.lastFigures().modelName, QStringLiteral("Other"));
        e.setLocalServerIdleLimit(15min);

        // the mode switched off, or the model unloaded: no server is left
        const qint64 third = t.serverPid();
        QVERIFY(processExists(third));
        e.setMode(pref(prefkeys::kEngineModeProcess));
        QVERIFY(waitUntil([&] { return !processExists(third); }, 10000));
        QCOMPARE(e.localServerState(), QString());
        e.setMode(pref(prefkeys::kEngineModeLocalServer));
        QVERIFY(waitUntil([&] { return e.isLocalServerReady(); }, 60000));
        const qint64 fourth = t.serverPid();
        t.engine.unloadModel();
        QVERIFY(waitUntil([&] { return !processExists(fourth); }, 10000));

        // a file that is not a model: the reply fails with the server's last
        // words (which of them reach us before it exits varies), Settings too
        AIModel bad = other;
        bad.id = QUuid::createUuid();
        bad.filePath = t.home.writeFile(QStringLiteral("bad.gguf"), "GGUF but not a model");
        t.state->addModel(bad);
        t.state->selectModel(bad);
        const QStringList failed = t.reply(QStringLiteral("Hello?"));
        QCOMPARE(failed.size(), 1);
        const QString reason = failed.first().mid(kWarning.size());
        QVERIFY2(failed.first().startsWith(kWarning) && !reason.isEmpty(), qPrintable(failed.first()));
        QTRY_COMPARE(e.localServerState(), QStringLiteral("Could not start: ") + reason);
    }

    void remoteServerReplies_data()
    {
        using S = FakeHttpServer;
        QTest::addColumn<QList<QByteArray>>("script"); // empty: the real key-protected llama-server
        QTest::addColumn<QString>("key");              // connects with it first, unless null
        QTest::addColumn<QString>("connectError");
        QTest::addColumn<QStringList>("added");        // %1: the server's address; "<reply>": any reply
        QTest::addColumn<bool>("stop");                // the user stops the reply once a piece arrived

        const QByteArray hi = S::chunk("data: {\"choices\":[{\"text\":\"Hi\"}]}\n\n");
        const QString cut = kWarning + QStringLiteral("The reply above was cut off: the connection to the server at %1 "
                                                      "closed before the reply ended.");
        QTest::newRow("right key") << QList<QByteArray>() << "sk-right" << QString() << QStringList{"<reply>"} << false;
        QTest::newRow("wrong key")
            << QList<QByteArray>() << "sk-wrong" << "did not accept the API key (HTTP 401: Invalid API Key). Check the key."
            << QStringList{kWarning + "The server at %1 needs an API key (HTTP 401: Invalid API Key)."} << false;
        QTest::newRow("cut halfway") << QList<QByteArray>{S::kStreamHead, hi, "<pause>", "<close>"} << QString() << QString()
                                     << QStringList{"Hi", cut} << false;
        QTest::newRow("ended without its last event") << QList<QByteArray>{S::kStreamHead, hi, "0\r\n\r\n"} << QString()
                                                       << QString() << QStringList{"Hi", cut} << false;
        QTest::newRow("500") << QList<QByteArray>{S::answer("500 Internal Server Error", "{\"error\":{\"message\":\"out of memory\"}}")}
                             << QString() << QString()
                             << QStringList{kWarning + "The server at %1 failed (HTTP 500: out of memory)."} << false;
        QTest::newRow("invalid event") << QList<QByteArray>{S::kStreamHead, hi, S::chunk("data: not json\n\n")} << QString()
                                       << QString()
                                       << QStringList{"Hi", kWarning + "The server at %1 sent an event that is not JSON: not json"}
                                       << false;
        QTest::newRow("silence") << QList<QByteArray>{S::kStreamHead, hi} << QString() << QString()
                                 << QStringList{"Hi", kWarning + "The server at %1 sent nothing for 1 second."} << false;
        QTest::newRow("stopped mid-reply") << QList<QByteArray>{S::kStreamHead, hi} << QString() << QString()
                                           << QStringList{"Hi", kStopped} << true;
    }

    void remoteServerReplies()
    {
        QFETCH(QList<QByteArray>, script);
        QFETCH(QString, key);
        QFETCH(QString, connectError);
        QFETCH(QStringList, added);
        QFETCH(bool, stop);

        if (script.isEmpty() && !m_remote) {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost));
            m_remoteBase = QStringLiteral("http://127.0.0.1:%1").arg(probe.serverPort());
            const QString port = QString::number(probe.serverPort());
            probe.close();
            m_remote = std::make_unique<ChildProcess>(
                QStringLiteral(QUORVANE_LLAMA_SERVER),
                QStringList{"--host", "127.0.0.1", "--port", port, "--api-key", "sk-right", "--alias", "tiny-remote",
                            "-m", kTiny, "-c", "8192", "-np", "1", "-ngl", "0"});
            m_remote->setStandardOutput(ChildProcess::StreamMode::Null);
            m_remote->setStandardError(ChildProcess::StreamMode::Null);
            QVERIFY(m_remote->start());
        }
        std::unique_ptr<FakeHttpServer> fake = script.isEmpty() ? nullptr : std::make_unique<FakeHttpServer>(script);
        const QString base = fake ? QStringLiteral("http://127.0.0.1:%1").arg(fake->port()) : m_remoteBase;

        // no llama.cpp and no model here, and no key store: the key stays in memory
        Served t(prefkeys::kEngineModeRemoteServer, false, fake ? 1s : 60s);
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + QFile::encodeName(t.home.home()) + "/no-bus");
        const auto unsetBus = qScopeGuard([] { qunsetenv("DBUS_SESSION_BUS_ADDRESS"); });
        t.start(base, fake ? QStringLiteral("m") : QStringLiteral("tiny-remote"));
        ReplyEngines &e = t.engines();
        QVERIFY(e.isRemoteServerConfigured() && !e.usesLocalEngine());
        QVERIFY(waitUntil([&] { return e.isRemoteKeyMemoryOnly(); }, 20000));
        QCOMPARE(e.remoteServerNotice(), QStringLiteral("Your conversations are sent to 127.0.0.1."));
        if (!key.isNull()) {
            QVERIFY(waitUntil([&] { // the server may still be loading its model
                e.connectRemoteServer(base, key);
                waitUntil([&] { return !e.isConnecting(); }, 20000);
                return !e.remoteError().contains(QLatin1String("HTTP 503")) && !e.remoteError().contains(QLatin1String("refused"));
            }, 60000));
            QVERIFY2(e.remoteError().endsWith(connectError), qPrintable(e.remoteError()));
            QCOMPARE(e.hasRemoteKey(), connectError.isEmpty());
            QCOMPARE(e.remoteKeyNotice().isEmpty(), !e.hasRemoteKey());
            QCOMPARE(e.remoteModels(), connectError.isEmpty() ? QStringList{"tiny-remote"} : QStringList());
            // the welcome screen's way in: the chat opens
            QVERIFY(e.startWithRemoteServer());
            QCOMPARE(t.state->currentView(), AppView::Chat);
        }

        t.send(QStringLiteral("Hi"));
        if (stop) {
            QVERIFY(waitUntil([&] { return !t.state->sessionStreamingContent().value(t.current()).isEmpty(); }));
            t.state->stopCurrentReply();
            QVERIFY(waitUntil([&] { return !t.engine.hasProcess(t.current()); }, 3000));
        }
        const QStringList got = t.added();
        const QString address = QUrl(base).authority();
        if (added == QStringList{"<reply>"}) {
            QVERIFY2(isReply(got), qPrintable(got.join(u'|')));
            const ReplyFigures f = t.lastFigures();
            QCOMPARE(f.engineName + " " + f.modelName, address + " tiny-remote");
            QVERIFY(f.tokenCount.value_or(0) > 0 && f.secondsToFirstToken.value_or(0) > 0);
        } else {
            for (QString &line : added)
                line = line.contains(QLatin1String("%1")) ? line.arg(address) : line;
            QCOMPARE(got, added);
            for (qsizetype i = 1; i <= got.size(); ++i) // only a finished reply keeps its figures
                QVERIFY(t.state->chatMessages().at(t.state->chatMessages().size() - i).figures.isEmpty());
        }
        // nothing was installed for it
        QCOMPARE(t.engine.llamaCPPSetupErrorText(), QString());
        QVERIFY(!QFileInfo::exists(t.home.dataDir() + QStringLiteral("/llama.cpp")));
        // switching to a mode that runs here installs llama.cpp (this build has no installer)
        e.setMode(pref(prefkeys::kEngineModeProcess));
        QTRY_COMPARE(t.engine.llamaCPPSetupErrorText(), QStringLiteral("llama.cpp is not installed and this build cannot install it"));
        if (fake)
            QVERIFY2(fake->request.startsWith("POST /v1/completions ") && fake->request.contains("\"model\":\"m\"")
                         && fake->request.contains("\"stream\":true") && fake->request.contains("User: Hi"),
                     fake->request.constData());
    }

private:
    std::unique_ptr<ChildProcess> m_remote; // the key-protected llama-server, started once
    QString m_remoteBase;
};

QTEST_GUILESS_MAIN(TestServerEngines)
#include "tst_server_engines.moc"
