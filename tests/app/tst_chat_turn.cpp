// The chat turn on AppState and the composer, on screen and on disk, with replies by the fake and the real
// llama-completion, a local llama-server, a key-protected one playing the remote server, and a loopback fault server.
#include "app/app_state.h"
#include "app/composer_state.h"
#include "app/reply_engines.h"
#include "app_test_support.h"
#include "common/fake_http_server.h"
#include "core/record_json.h"
#include "engine/llama_cpp_manager.h"
#include "engine/llama_server.h"
#include "platform/child_process.h"

#include <QtTest>

#include <atomic>
#include <csignal>

using namespace std::chrono_literals;

namespace {

const QString kTiny = QStringLiteral(TINY_GGUF);
const QString kStopped = QStringLiteral("Generation stopped by user.");
const QString kWarning = QStringLiteral("⚠️ Could not generate a reply: ");

bool processExists(qint64 pid) { return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno != ESRCH); }

QStringList contents(const QList<ChatMessage> &messages)
{
    QStringList out;
    for (const ChatMessage &m : messages)
        out << m.content;
    return out;
}

// A private home with program in place as llama-completion and a downloaded model selected (neither without a program:
// a remote server answers), and the application state on it, built at once or by start().
class Turn {
public:
    explicit Turn(const QString &program = QStringLiteral(FAKE_LLAMA_COMPLETION), const QString &modelFile = QString(),
                  std::chrono::milliseconds silence = 60s, bool startNow = true)
        : engine(nullptr, EngineTimings{silence, 50ms, 300ms})
    {
        qputenv("FAKE_LLAMA_RECORD", (home.home() + QStringLiteral("/runs.jsonl")).toUtf8());
        if (!program.isEmpty()) {
            QVERIFY(home.installProgram(program));
            model = AIModel::make(QStringLiteral("Tiny"), QStringLiteral("https://example.invalid/tiny.gguf"));
            model.isDownloaded = true;
            model.filePath = modelFile.isEmpty() ? home.writeFile(QStringLiteral("tiny.gguf"), "GGUF") : modelFile;
            Preferences().setData(key(prefkeys::kDownloadedModels), *recordjson::encodeModelList({model}));
            Preferences().setString(key(prefkeys::kSelectedModelId), canonicalUuid(model.id));
        }
        if (startNow)
            start();
    }
    ~Turn()
    {
        qunsetenv("FAKE_LLAMA_SCRIPT_TEXT");
        qunsetenv("FAKE_LLAMA_RECORD");
    }
    // In the engine mode given, if any, with a remote server's address and model.
    void start(const char *mode = nullptr, const QString &remoteUrl = {}, const QString &remoteModel = {})
    {
        if (mode) {
            Preferences prefs;
            prefs.setString(key(prefkeys::kEngineMode), QString::fromLatin1(mode));
            prefs.setString(key(prefkeys::kRemoteServerURL), remoteUrl);
            prefs.setString(key(prefkeys::kRemoteModelId), remoteModel);
        }
        state = std::make_unique<AppState>(engine);
        composer = std::make_unique<ComposerState>(*state);
    }

    // Generation runs of the program so far (the start-up check runs --version).
    int generations() const
    {
        return int(readFileBytes(home.home() + QStringLiteral("/runs.jsonl")).count("--no-display-prompt"));
    }
    void script(const QByteArray &text) { qputenv("FAKE_LLAMA_SCRIPT_TEXT", text); }
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
    QUuid current() const { return state->currentSession() ? state->currentSession()->id : QUuid(); }
    bool idle(const QUuid &sid) const { return !state->isGenerating(sid); }
    ReplyEngines &engines() const { return state->engines(); }
    qint64 serverPid() const { return engines().localServer() ? engines().localServer()->processId() : -1; }
    ReplyFigures lastFigures() const { return state->chatMessages().last().figures; }

    // The conversation as stored in its file.
    std::optional<ChatSession> onDisk(const QUuid &sid) const
    {
        return recordjson::decodeSessionDocument(readFileBytes(home.dataDir() + QStringLiteral("/Sessions/")
                                                               + canonicalUuid(sid) + QStringLiteral(".json")));
    }
    QStringList contentsOnDisk(const QUuid &sid) const { return contents(onDisk(sid).value_or(ChatSession()).messages); }

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

class TestChatTurn : public QObject {
    Q_OBJECT

private slots:
    // A stop keeps what came and adds the stop notice; a message sent at once afterwards gets its own reply, untouched
    // by the stopped run. A reply whose end was already on its way when stop was pressed stands alone.
    void stopping_data()
    {
        QTest::addColumn<QString>("when"); // queued (behind another run), launched, streaming, finished
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QStringList>("added");
        QTest::newRow("while still queued") << "queued" << QByteArray("out hidden\n") << QStringList{kStopped};
        QTest::newRow("before any output") << "launched" << QByteArray("sleep 5000\n") << QStringList{kStopped};
        QTest::newRow("after some text") << "streaming" << QByteArray("out  Half an answer \nsleep 5000\n")
                                         << QStringList{QStringLiteral("Half an answer"), kStopped};
        QTest::newRow("reply already complete") << "finished" << QByteArray("out Whole answer\n")
                                                << QStringList{QStringLiteral("Whole answer")};
    }
    void stopping()
    {
        QFETCH(QString, when);
        QFETCH(QByteArray, script);
        QFETCH(QStringList, added);
        std::atomic<bool> holdQueue{when == "queued"};
        Turn t;
        const auto release = qScopeGuard([&] { holdQueue = false; });
        if (holdQueue) // another conversation's reply holds the engine meanwhile
            t.engine.processQueue().async([&holdQueue] {
                while (holdQueue)
                    QThread::msleep(10);
            });
        t.script(script);
        t.send(QStringLiteral("Hi"));
        const QUuid sid = t.current();
        if (when == "launched" || when == "streaming")
            QVERIFY(waitUntil([&] { return t.engine.hasProcess(sid); }));
        if (when == "streaming")
            QVERIFY(waitUntil([&] { return !t.state->sessionStreamingContent().value(sid).isEmpty(); }));
        if (when == "finished")
            t.engine.processQueue().sync([] {}); // the completion is posted, not yet handled
        t.state->stopCurrentReply();
        QVERIFY(waitUntil([&] { return t.idle(sid); }));
        // sent again at once, before the stopped run has reported
        t.script("out second answer\n");
        t.send(QStringLiteral("two"));
        holdQueue = false;
        QVERIFY(waitUntil([&] { return t.idle(sid); }));
        QVERIFY(waitUntil([&] { return !t.engine.hasProcess(sid); }));
        QTest::qWait(800); // the engine's late completion would land now
        const QStringList expected = QStringList{"Hi"} + added + QStringList{"two", "second answer"};
        QCOMPARE(contents(t.state->chatMessages()), expected);
        QCOMPARE(t.contentsOnDisk(sid), expected);
        if (when == "queued") // the stopped request never ran, not even hidden
            QCOMPARE(t.generations(), 1);
    }

    // A reply lands in the conversation it was asked in, with its figures, also when the user moved to another
    // meanwhile; two conversations get replies at once; one deleted mid-reply takes its reply along.
    void replyLandsInItsConversation()
    {
        Turn t;
        t.script("out  Hello\nsleep 150\nout  there\n"
                 "err I common_perf_print: eval time = 20.00 ms / 2 runs (10.00 ms per token, 100.00 tokens per second)\n");
        t.send(QStringLiteral("Hi model"));
        t.send(QStringLiteral("two")); // still generating: nothing happens, the text is kept for later
        QCOMPARE(t.composer->messageText(), QStringLiteral("two"));
        const QUuid a = t.current();
        QCOMPARE(t.contentsOnDisk(a), QStringList{QStringLiteral("Hi model")});
        QVERIFY(waitUntil([&] { return t.state->sessionStreamingContent().value(a) == QStringLiteral("Hello"); }));
        t.state->createNewChat();
        const QUuid b = t.current();
        QVERIFY(waitUntil([&] { return t.idle(a); }));
        QCOMPARE(t.state->chatMessages(), QList<ChatMessage>());
        QCOMPARE(t.contentsOnDisk(a), (QStringList{"Hi model", "Hello there"}));
        QCOMPARE(t.generations(), 1);
        t.state->selectSessionById(canonicalUuid(a));
        QCOMPARE(contents(t.state->chatMessages()), (QStringList{"Hi model", "Hello there"}));
        QCOMPARE(t.onDisk(a)->messages.last().figures, t.lastFigures());
        QCOMPARE(t.lastFigures().tokensPerSecond.value_or(-1), 100.0);
        QVERIFY(t.onDisk(a)->messages.first().figures.isEmpty());
        QCOMPARE(t.state->sessionStreamingContent().value(a), QString());
        // B can send while A is still busy, and both replies find their homes
        t.script("out slow A\nsleep 400\n");
        t.send(QStringLiteral("again A"));
        QVERIFY(waitUntil([&] { return !t.state->sessionStreamingContent().value(a).isEmpty(); }));
        t.state->selectSessionById(canonicalUuid(b));
        t.script("out quick B\n");
        t.send(QStringLiteral("question B"));
        QVERIFY(waitUntil([&] { return t.idle(a) && t.idle(b); }));
        QCOMPARE(t.contentsOnDisk(a).mid(2), (QStringList{"again A", "slow A"}));
        QCOMPARE(contents(t.state->chatMessages()), (QStringList{"question B", "quick B"}));
        // deleted mid-reply: the reply goes with it, on screen and on disk
        t.script("out doomed\nsleep 3000\n");
        t.send(QStringLiteral("short-lived"));
        QVERIFY(waitUntil([&] { return !t.state->sessionStreamingContent().value(b).isEmpty(); }));
        t.state->deleteSessionById(canonicalUuid(b));
        QVERIFY(waitUntil([&] { return !t.engine.hasProcess(b); }));
        QTest::qWait(300);
        QVERIFY(!t.state->currentSession() && !t.onDisk(b) && t.state->chatSessions().size() == 1);
    }

    // A send while no model is loaded asks for it at once and waits up to two seconds for it; a model whose file is
    // gone then gets a notice, and so do the engine's errors.
    void outcomes_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QString>("modelFile");
        QTest::addColumn<QString>("reply"); // its start
        QTest::newRow("loaded late") << QByteArray("out loaded late\n") << QString() << "loaded late";
        QTest::newRow("file gone") << QByteArray() << "/nonexistent/tiny.gguf"
                                   << "**Model Loading Failed**\n\nI couldn't load the selected model \"Tiny\". This "
                                      "might be due to:\n\n\u2022 **Corrupted model file**";
        QTest::newRow("spaces and zero-width only") << QByteArray("out \\xe2\\x80\\x8b  \\n\\xc2\\xad\n") << QString()
                                                    << "⚠️ Could not generate a reply: the model produced no output";
        QTest::newRow("load error on stderr") << QByteArray("err failed to load model\\n\nexit 1\n") << QString()
                                              << "⚠️ Could not generate a reply: failed to load model";
    }
    void outcomes()
    {
        QFETCH(QByteArray, script);
        QFETCH(QString, modelFile);
        QFETCH(QString, reply);
        Turn t(QStringLiteral(FAKE_LLAMA_COMPLETION), modelFile);
        t.engine.unloadModel();
        t.script(script);
        QElapsedTimer clock;
        clock.start();
        qint64 startedAt = -1;
        t.send(QStringLiteral("Hi"));
        const QUuid sid = t.current();
        QCOMPARE(t.engine.isModelLoaded(), modelFile.isEmpty()); // asked to load at once
        QVERIFY(waitUntil([&] {
            if (startedAt < 0 && t.engine.hasProcess(sid))
                startedAt = clock.elapsed();
            return t.idle(sid);
        }, 6000));
        QVERIFY2(startedAt < 0 || startedAt >= 1900, qPrintable(QString::number(startedAt)));
        QVERIFY(clock.elapsed() >= 1900);
        const QStringList stored = t.contentsOnDisk(sid);
        QVERIFY2(stored.size() == 2 && stored[1].startsWith(reply), qPrintable(stored.join('|')));
        QCOMPARE(contents(t.state->chatMessages()), stored);
    }

    // files: 1 = notes.TXT, 2 = also one that is gone by the time of sending
    void guardsAndContent_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("files");
        QTest::addColumn<QString>("expectedContent"); // empty: nothing sent
        QTest::addColumn<QString>("expectedTitle");
        QTest::newRow("spaces alone") << "   " << 0 << QString() << QString();
        QTest::newRow("spaces and a file") << "   " << 1 << "   " << "New Chat";
        QTest::newRow("a file alone") << "" << 1 << "(Attached files)" << "(Attached files)";
        QTest::newRow("a file vanished") << "see files" << 2 << "see files" << "see files";
    }
    void guardsAndContent()
    {
        QFETCH(QString, text);
        QFETCH(int, files);
        QFETCH(QString, expectedContent);
        QFETCH(QString, expectedTitle);
        Turn t;
        t.script("out ok\n");
        if (files > 1) {
            const QString gone = t.home.writeFile(QStringLiteral("gone.md"), "# gone");
            t.composer->addAttachments({QUrl::fromLocalFile(gone)});
            QFile::remove(gone);
        }
        if (files > 0)
            t.composer->addAttachments({QUrl::fromLocalFile(t.home.writeFile(QStringLiteral("notes.TXT"), "some notes"))});
        t.send(text);
        if (expectedContent.isEmpty()) {
            QVERIFY(t.state->chatSessions().isEmpty());
            return;
        }
        const QUuid sid = t.current();
        QVERIFY(waitUntil([&] { return t.idle(sid); }));
        const ChatSession stored = t.onDisk(sid).value_or(ChatSession());
        QCOMPARE(stored.title, expectedTitle);
        QCOMPARE(stored.messages.value(0).content, expectedContent);
        const auto attached = stored.messages.value(0).attachedFiles.value_or(QList<AttachedFile>());
        QCOMPARE(attached.size(), files > 0 ? 1 : 0);
        if (files > 0) // "gone.md" left out
            QCOMPARE(attached.first().fileName + ' ' + attached.first().fileType, QStringLiteral("notes.TXT txt"));
        QVERIFY(t.composer->attachedFiles().isEmpty() && t.composer->messageText().isEmpty());
    }

    // Asking again and editing through the real program: the transcript of each run, and of the turn after it, holds
    // exactly what is shown.
    void regenerateAndEditThroughTheRealProgram_data()
    {
        QTest::addColumn<bool>("edit");
        QTest::newRow("regenerate, then the first answer shown") << false;
        QTest::newRow("edit the question") << true;
    }
    void regenerateAndEditThroughTheRealProgram()
    {
        QFETCH(bool, edit);
        QTemporaryDir scratch;
        const QString prompts = scratch.path() + QStringLiteral("/prompts");
        const QString wrapper = scratch.filePath(QStringLiteral("llama-completion"));
        QFile script(wrapper);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(
            "#!/bin/sh\nprev=\nfor a in \"$@\"; do [ \"$prev\" = -f ] && cat \"$a\" > " + prompts.toUtf8()
                + "-$$; prev=$a; done\nexec " QUORVANE_LLAMA_COMPLETION " \"$@\"\n");
        script.close();
        QFile::setPermissions(wrapper, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        Turn t(wrapper, kTiny);
        const auto lastPrompt = [&] {
            QFileInfoList runs = QDir(scratch.path()).entryInfoList({QStringLiteral("prompts-*")}, QDir::Files,
                                                                    QDir::Time);
            const QString text = runs.isEmpty() ? QString() : QString::fromUtf8(readFileBytes(runs.first().filePath()));
            for (const QFileInfo &run : runs)
                QFile::remove(run.filePath());
            return text;
        };
        t.send(QStringLiteral("Hello"));
        const QUuid sid = t.current();
        QVERIFY(waitUntil([&] { return t.idle(sid); }, 60000));
        const QString first = t.state->chatMessages().value(1).content;
        QVERIFY2(!first.isEmpty() && !first.contains(QStringLiteral("> EOF by user")), qPrintable(first));
        lastPrompt();
        const QString id = canonicalUuid(t.state->chatMessages().value(edit ? 0 : 1).id);
        QVERIFY(edit ? t.state->editMessage(id, QStringLiteral("Howdy")) : t.state->regenerateLastReply());
        QVERIFY(waitUntil([&] { return t.idle(sid); }, 60000));
        const QString question = edit ? QStringLiteral("Howdy") : QStringLiteral("Hello");
        const QString asked = lastPrompt();
        QVERIFY2(asked.endsWith(QStringLiteral("User: ") + question + QStringLiteral("\n\nAssistant:"))
                     && asked.count(QStringLiteral("Assistant:")) == 1,
                 qPrintable(asked));
        QCOMPARE(t.state->chatMessages().size(), 2);
        QCOMPARE(t.state->chatMessages().value(1).versions.size(), edit ? 0 : 2);
        if (!edit)
            QVERIFY(t.state->showReplyVersion(id, 0));
        const QString shown = t.state->chatMessages().value(1).content;
        if (!edit)
            QCOMPARE(shown, first);
        QCOMPARE(t.contentsOnDisk(sid), contents(t.state->chatMessages()));

        t.send(QStringLiteral("Next"));
        QVERIFY(waitUntil([&] { return t.idle(sid); }, 60000));
        const QString transcript = lastPrompt();
        const QString expected = QStringLiteral("User: ") + question + QStringLiteral("\n\nAssistant: ") + shown
                                 + QStringLiteral("\n\nUser: Next\n\nAssistant:");
        QVERIFY2(transcript.endsWith(expected), qPrintable(transcript));
        QCOMPARE(transcript.count(QStringLiteral("User: ")), 2);
    }
    void localServerKeepsTheModelLoaded()
    {
        {
            // without llama-server beside llama-completion, one process makes each reply
            Turn t(QStringLiteral(QUORVANE_LLAMA_COMPLETION), kTiny, 60s, false);
            t.start(prefkeys::kEngineModeLocalServer);
            QVERIFY(isReply(t.reply(QStringLiteral("Hello"))));
            QCOMPARE(t.lastFigures().engineName, QStringLiteral("llama-completion"));
        }
        Turn t(QStringLiteral(QUORVANE_LLAMA_COMPLETION), kTiny, 60s, false);
        QVERIFY(QFile::link(QStringLiteral(QUORVANE_LLAMA_SERVER),
                            t.home.dataDir() + QStringLiteral("/llama.cpp/build/bin/llama-server")));
        t.start(prefkeys::kEngineModeLocalServer);
        ReplyEngines &e = t.engines();
        QStringList seen;
        connect(&e, &ReplyEngines::localServerStateChanged, this, [&] { seen << e.localServerState(); });
        QVERIFY(waitUntil([&] { return e.isLocalServerReady(); }, 60000));
        QCOMPARE(seen.first(), QStringLiteral("Starting…"));
        QCOMPARE(e.localServerState(), QStringLiteral("Ready"));
        const qint64 first = t.serverPid();

        for (const QString &text : {QStringLiteral("Hello there"), QStringLiteral("And again")}) {
            QVERIFY(isReply(t.reply(text)));
            const ReplyFigures f = t.lastFigures();
            QCOMPARE(f.engineName + " " + f.modelName, QStringLiteral("llama-server Tiny"));
            QVERIFY(f.tokenCount.value_or(0) > 0 && f.tokensPerSecond.value_or(0) > 0 && f.secondsToFirstToken.value_or(0) > 0);
        }
        QCOMPARE(t.serverPid(), first);

        // a stop while the server reads a long transcript ends the request at once (not when the reading is done), and
        // the server is free for the next
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

        // a server that dies under a request: its last words are the reason, and the next reply starts it again
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
        e.setMode(key(prefkeys::kEngineModeProcess));
        QVERIFY(waitUntil([&] { return !processExists(third); }, 10000));
        QCOMPARE(e.localServerState(), QString());
        e.setMode(key(prefkeys::kEngineModeLocalServer));
        QVERIFY(waitUntil([&] { return e.isLocalServerReady(); }, 60000));
        const qint64 fourth = t.serverPid();
        t.engine.unloadModel();
        QVERIFY(waitUntil([&] { return !processExists(fourth); }, 10000));

        // a file that is not a model: the reply fails with the server's last words (which of them reach us before it
        // exits varies), Settings too
        AIModel bad = other;
        bad.id = QUuid::createUuid();
        bad.filePath = t.home.writeFile(QStringLiteral("bad.gguf"), "GGUF but not a model");
        t.state->addModel(bad);
        t.state->selectModel(bad);
        const QStringList failed = t.reply(QStringLiteral("Hello?"));
        const QString reason = failed.value(0).mid(kWarning.size());
        QVERIFY2(failed.size() == 1 && failed.first().startsWith(kWarning) && !reason.isEmpty(),
                 qPrintable(failed.join('|')));
        QTRY_COMPARE(e.localServerState(), QStringLiteral("Could not start: ") + reason);
    }

    void remoteServerReplies_data()
    {
        using S = FakeHttpServer;
        QTest::addColumn<QList<QByteArray>>("script"); // empty: the real key-protected llama-server
        QTest::addColumn<QString>("apiKey");           // connects with it first, unless null
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
        QFETCH(QString, apiKey);
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
        Turn t(QString(), QString(), fake ? 1s : 60s, false);
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + QFile::encodeName(t.home.home()) + "/no-bus");
        const auto unsetBus = qScopeGuard([] { qunsetenv("DBUS_SESSION_BUS_ADDRESS"); });
        t.start(prefkeys::kEngineModeRemoteServer, base, fake ? QStringLiteral("m") : QStringLiteral("tiny-remote"));
        ReplyEngines &e = t.engines();
        QVERIFY(waitUntil([&] { return e.isRemoteKeyMemoryOnly(); }, 20000));
        if (!apiKey.isNull()) {
            QVERIFY(waitUntil([&] { // the server may still be loading its model
                e.connectRemoteServer(base, apiKey);
                waitUntil([&] { return !e.isConnecting(); }, 20000);
                return !e.remoteError().contains(QLatin1String("HTTP 503")) && !e.remoteError().contains(QLatin1String("refused"));
            }, 60000));
            QVERIFY2(e.remoteError().endsWith(connectError), qPrintable(e.remoteError()));
            QCOMPARE(e.hasRemoteKey(), connectError.isEmpty());
            QDirIterator files(t.home.home(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
            while (files.hasNext()) // a key kept in memory is written nowhere
                QVERIFY(!readFileBytes(files.next()).contains(apiKey.toUtf8()));
            QCOMPARE(e.remoteModels(), connectError.isEmpty() ? QStringList{"tiny-remote"} : QStringList());
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
        QCOMPARE(t.engine.llamaCPPSetupErrorText(), QString());
        QVERIFY(!QFileInfo::exists(t.home.dataDir() + QStringLiteral("/llama.cpp")));
        // switching to a mode that runs here installs llama.cpp (this build has no installer)
        e.setMode(key(prefkeys::kEngineModeProcess));
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

QTEST_GUILESS_MAIN(TestChatTurn)
#include "tst_chat_turn.moc"
