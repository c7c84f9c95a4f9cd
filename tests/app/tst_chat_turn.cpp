// The chat turn on AppState and the composer, through the fake
// llama-completion (and once through the real one): what lands in which
// conversation, on screen and on disk.
#include "app/app_state.h"
#include "app/composer_state.h"
#include "common/test_support.h"
#include "core/preference_keys.h"
#include "core/record_json.h"
#include "engine/llama_cpp_manager.h"
#include "platform/preferences.h"

#include <QtTest>

#include <atomic>

namespace {

const QString kStopped = QStringLiteral("Generation stopped by user.");

QStringList contents(const QList<ChatMessage> &messages)
{
    QStringList out;
    for (const ChatMessage &m : messages)
        out << m.content;
    return out;
}

// A private home with one downloaded model, a llama-completion in place and
// the application state built on it.
class Turn {
public:
    explicit Turn(const QString &program = QStringLiteral(FAKE_LLAMA_COMPLETION), const QString &modelFile = QString())
    {
        QVERIFY(home.installProgram(program));
        AIModel model = AIModel::make(QStringLiteral("Tiny"), QStringLiteral("https://example.invalid/tiny.gguf"));
        model.isDownloaded = true;
        model.filePath = modelFile.isEmpty() ? home.writeFile(QStringLiteral("tiny.gguf"), "GGUF") : modelFile;
        Preferences().setData(QString::fromLatin1(prefkeys::kDownloadedModels), *recordjson::encodeModelList({model}));
        Preferences().setString(QString::fromLatin1(prefkeys::kSelectedModelId), canonicalUuid(model.id));
        qputenv("FAKE_LLAMA_RECORD", (home.home() + QStringLiteral("/runs.jsonl")).toUtf8());
        state = std::make_unique<AppState>(engine);
        composer = std::make_unique<ComposerState>(*state);
    }
    ~Turn()
    {
        qunsetenv("FAKE_LLAMA_SCRIPT_TEXT");
        qunsetenv("FAKE_LLAMA_RECORD");
    }

    // Generation runs of the program so far (the start-up check runs --version).
    int generations() const
    {
        return int(readFileBytes(home.home() + QStringLiteral("/runs.jsonl")).count("--no-display-prompt"));
    }

    void script(const QByteArray &text) { qputenv("FAKE_LLAMA_SCRIPT_TEXT", text); }

    void send(const QString &text)
    {
        composer->setMessageText(text);
        composer->sendMessage();
    }

    QUuid current() const { return state->currentSession() ? state->currentSession()->id : QUuid(); }
    bool idle(const QUuid &sid) const { return !state->isGenerating(sid); }

    // The conversation as stored in its file.
    std::optional<ChatSession> onDisk(const QUuid &sid) const
    {
        return recordjson::decodeSessionDocument(readFileBytes(home.dataDir() + QStringLiteral("/Sessions/")
                                                               + canonicalUuid(sid) + QStringLiteral(".json")));
    }
    QStringList contentsOnDisk(const QUuid &sid) const { return contents(onDisk(sid).value_or(ChatSession()).messages); }

    TempHome home;
    LlamaCPPManager engine{nullptr, EngineTimings{std::chrono::milliseconds(60000), std::chrono::milliseconds(50),
                                                  std::chrono::milliseconds(300)}};
    std::unique_ptr<AppState> state;
    std::unique_ptr<ComposerState> composer;
};

} // namespace

class TestChatTurn : public QObject {
    Q_OBJECT

private slots:
    // A stop keeps what came and adds the stop notice; a message sent at once
    // afterwards gets its own reply, untouched by the stopped run. A reply
    // whose end was already on its way when stop was pressed stands alone.
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

    // A reply lands in the conversation it was asked in, with its figures,
    // also when the user moved to another meanwhile; two conversations get
    // replies at once; one deleted mid-reply takes its reply along.
    void replyLandsInItsConversation()
    {
        Turn t;
        t.script("out  Hello\nsleep 150\nout  there\n"
                 "err I common_perf_print: eval time = 20.00 ms / 2 runs (10.00 ms per token, 100.00 tokens per second)\n");
        t.send(QStringLiteral("Hi model"));
        t.send(QStringLiteral("two")); // still generating: nothing happens, the text is kept for later
        QCOMPARE(t.composer->messageText(), QStringLiteral("two"));
        const QUuid a = t.current();
        // the user's message is on disk before any reply
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
        // the reply keeps how it was made; the user's message has no figures
        const ReplyFigures figures = t.onDisk(a)->messages.last().figures;
        QCOMPARE(figures, t.state->chatMessages().last().figures);
        QCOMPARE(figures.tokensPerSecond.value_or(-1), 100.0);
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

    // A send while no model is loaded asks for it at once and waits up to
    // two seconds for it; a model whose file is gone then gets a notice, and
    // so do the engine's errors.
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
        if (files > 0) { // "gone.md" left out
            QCOMPARE(attached.first().fileName, QStringLiteral("notes.TXT"));
            QCOMPARE(attached.first().fileType, QStringLiteral("txt"));
        }
        QVERIFY(t.composer->attachedFiles().isEmpty() && t.composer->messageText().isEmpty());
    }

    // Asking again and editing through the real program: the transcript of
    // each run, and of the turn after it, holds exactly what is shown.
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
        Turn t(wrapper, QStringLiteral(TINY_GGUF));
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
};

QTEST_GUILESS_MAIN(TestChatTurn)
#include "tst_chat_turn.moc"
