// The parts of the server engines: the event reader, the streaming HTTP
// client against a loopback server of ours (faults on demand) and the real
// llama-server with the tiny model. Its lifecycle under use (restarts, model
// changes, idle stops, a stop mid-reply) and the key-protected one playing a
// remote server are in the application's server-engine test.
#include "common/fake_http_server.h"
#include "common/test_support.h"
#include "engine/llama_server.h"
#include "engine/server_events.h"
#include "engine/server_http.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>

#include <csignal>
#include <thread>

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(ServerEvent)
Q_DECLARE_METATYPE(ServerApi)
Q_DECLARE_METATYPE(ReplyPiece::Kind)
Q_DECLARE_METATYPE(FinishReason)
Q_DECLARE_METATYPE(HttpOutcome)

namespace {

const QString kTiny = QStringLiteral(TINY_GGUF);
const QString kBinFolder = QFileInfo(QStringLiteral(QUORVANE_LLAMA_SERVER)).absolutePath();

bool processExists(qint64 pid) { return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno != ESRCH); }

QByteArray chunk(const QByteArray &bytes) { return FakeHttpServer::chunk(bytes); }
QByteArray answer(const QByteArray &statusLine, const QByteArray &body) { return FakeHttpServer::answer(statusLine, body); }
const QByteArray kStreamHead = FakeHttpServer::kStreamHead;

// One streamed request run on a thread of its own while this thread keeps
// the event loop going, read the way an engine reads it.
struct Streamed {
    HttpResult result;
    QString text;
    QList<ReplyPiece> ends; // the pieces that ended the reply
    std::atomic<bool> done{false};
    QString firstEndMessage() const { return ends.isEmpty() ? QString() : ends.first().message; }
};

std::shared_ptr<Streamed> stream(ServerHttp &http, const ServerHttp::Request &request, ServerApi api,
                                 const QByteArray &body)
{
    auto out = std::make_shared<Streamed>();
    std::thread worker([&http, request, api, body, out] {
        ServerEventReader reader;
        out->result = http.post(request, body, [&](const QByteArray &bytes) {
            for (const ServerEvent &event : reader.feed(bytes)) {
                const ReplyPiece piece = decodeReplyEvent(api, event);
                out->text += piece.text;
                if (piece.endsReply())
                    out->ends << piece;
                if (piece.kind == ReplyPiece::Kind::Error || piece.kind == ReplyPiece::Kind::Invalid)
                    return false;
            }
            return true;
        });
        out->done = true;
    });
    waitUntil([&] { return out->done.load(); }, 120000);
    worker.join();
    return out;
}

ServerHttp::Request at(const QUrl &url, const QByteArray &key = QByteArray())
{
    ServerHttp::Request request;
    request.url = url;
    request.apiKey = key;
    request.stop = std::make_shared<RequestStop>();
    return request;
}

QUrl urlOf(const LlamaServerLease &lease, const char *path) { return QUrl(lease.baseUrl.toString() + QLatin1String(path)); }

} // namespace

class TestServerParts : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(LlamaServer::isInstalled(kBinFolder), qPrintable(kBinFolder + QStringLiteral(" has no llama-server")));
        QVERIFY(QFile::exists(kTiny));
    }

    void eventsAreTheSameHoweverTheBytesAreCut_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QList<ServerEvent>>("events");
        QTest::addColumn<bool>("partial");
        QTest::newRow("line feeds, [DONE]") << QByteArray("data: {\"a\":1}\n\ndata: [DONE]\n\n")
                                            << QList<ServerEvent>{{"{\"a\":1}", {}}, {"[DONE]", {}}} << false;
        QTest::newRow("CR LF") << QByteArray("data: x\r\ndata: y\r\n\r\ndata: z\r\n\r\n")
                               << QList<ServerEvent>{{"x\ny", {}}, {"z", {}}} << false;
        QTest::newRow("CR alone") << QByteArray("data: x\r\rdata: y\r\r") << QList<ServerEvent>{{"x", {}}, {"y", {}}}
                                  << false;
        QTest::newRow("comments, names, lines joined")
            << QByteArray(": ping\n\nid: 7\nevent: error\ndata: a\ndata:b\n\n:\n\n")
            << QList<ServerEvent>{{"a\nb", "error"}} << false;
        QTest::newRow("UTF-8 kept whole, BOM dropped")
            << QByteArray("\xEF\xBB\xBF" "data: {\"content\":\"caf\xC3\xA9 \xE4\xB8\xAD\"}\n\n")
            << QList<ServerEvent>{{"{\"content\":\"caf\xC3\xA9 \xE4\xB8\xAD\"}", {}}} << false;
        QTest::newRow("unfinished event") << QByteArray("data: x\n\ndata: y\n") << QList<ServerEvent>{{"x", {}}} << true;
    }

    void eventsAreTheSameHoweverTheBytesAreCut()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QList<ServerEvent>, events);
        QFETCH(bool, partial);
        // whole, byte by byte, and cut once at every place
        for (qsizetype cut = -1; cut <= bytes.size(); ++cut) {
            ServerEventReader reader;
            QList<ServerEvent> got;
            if (cut < 0) {
                for (const char c : bytes)
                    got += reader.feed(QByteArray(1, c));
            } else {
                got += reader.feed(bytes.left(cut));
                got += reader.feed(bytes.mid(cut));
            }
            QCOMPARE(got, events);
            QCOMPARE(reader.hasPartialEvent(), partial);
        }
    }

    void eventsDecodeIntoReplyPieces_data()
    {
        QTest::addColumn<ServerApi>("api");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<ReplyPiece::Kind>("kind");
        QTest::addColumn<QString>("textOrMessage");
        QTest::addColumn<FinishReason>("finish");
        QTest::addColumn<qint64>("tokens"); // generated; -1: not said
        const auto llama = ServerApi::LlamaCompletion, openai = ServerApi::OpenAICompletions;
        using K = ReplyPiece::Kind;
        QTest::newRow("llama last, timings")
            << llama << QByteArray("{\"content\":\"\",\"stop\":true,\"stop_type\":\"limit\",\"timings\":{\"prompt_n\":1,"
                                   "\"cache_n\":6,\"predicted_n\":2,\"predicted_per_second\":268.6}}")
            << K::Text << QString() << FinishReason::Limit << qint64(2);
        QTest::newRow("openai last, usage")
            << openai << QByteArray("{\"choices\":[{\"text\":\"!\",\"finish_reason\":\"stop\"}],\"usage\":{\"completion_tokens\":3}}")
            << K::Text << QStringLiteral("!") << FinishReason::EndOfText << qint64(3);
        QTest::newRow("count past 64 bits: not said")
            << openai << QByteArray("{\"choices\":[{\"text\":\"!\",\"finish_reason\":\"stop\"}],\"usage\":{\"completion_tokens\":1e30}}")
            << K::Text << QStringLiteral("!") << FinishReason::EndOfText << qint64(-1);
        QTest::newRow("error string") << openai << QByteArray("{\"error\":\"model not loaded\"}") << K::Error
                                      << QStringLiteral("model not loaded") << FinishReason::None << qint64(-1);
        QTest::newRow("JSON, not an object") << openai << QByteArray("[1]") << K::Invalid
                                             << QStringLiteral("The server sent an event that is not JSON: [1]")
                                             << FinishReason::None << qint64(-1);
    }

    void eventsDecodeIntoReplyPieces()
    {
        QFETCH(ServerApi, api);
        QFETCH(QByteArray, data);
        QFETCH(ReplyPiece::Kind, kind);
        QFETCH(QString, textOrMessage);
        QFETCH(FinishReason, finish);
        QFETCH(qint64, tokens);
        const ReplyPiece piece = decodeReplyEvent(api, ServerEvent{data, {}});
        QCOMPARE(piece.kind, kind);
        QCOMPARE(kind == ReplyPiece::Kind::Text ? piece.text : piece.message, textOrMessage);
        QCOMPARE(piece.finish, finish);
        QCOMPARE(piece.figures.generatedTokens.value_or(-1), tokens);
    }

    void faultsOfAServerEachGetTheirOutcome_data()
    {
        QTest::addColumn<QList<QByteArray>>("script");
        QTest::addColumn<HttpOutcome>("outcome");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("message"); // a part of the first ending piece's message, else of the result's
        const QByteArray hi = chunk("data: {\"content\":\"Hi\"}\n\n");
        QTest::newRow("error event")
            << QList<QByteArray>{kStreamHead, hi, chunk("data: {\"error\":{\"code\":500,\"message\":\"no memory\"}}\n\n")}
            << HttpOutcome::EndedByReader << QStringLiteral("Hi") << QStringLiteral("no memory");
        QTest::newRow("401") << QList<QByteArray>{answer("401 Unauthorized", "{\"error\":{\"message\":\"Invalid API Key\"}}")}
                             << HttpOutcome::Unauthorized << QString() << QStringLiteral("Invalid API Key");
        QTest::newRow("404 without JSON") << QList<QByteArray>{answer("404 Not Found", "nothing here")}
                                          << HttpOutcome::NotFound << QString() << QStringLiteral("HTTP 404 Not Found");
        QTest::newRow("refused") << QList<QByteArray>{"<refuse>"} << HttpOutcome::ConnectionRefused << QString()
                                 << QStringLiteral("refused");
        QTest::newRow("untrusted certificate") << QList<QByteArray>{"<tls>"} << HttpOutcome::Certificate << QString()
                                               << QStringLiteral("self-signed");
    }

    void faultsOfAServerEachGetTheirOutcome()
    {
        QFETCH(QList<QByteArray>, script);
        QFETCH(HttpOutcome, outcome);
        QFETCH(QString, text);
        QFETCH(QString, message);
        auto fake = std::make_unique<FakeHttpServer>(script);
        const QString scheme = script.first() == "<tls>" ? QStringLiteral("https") : QStringLiteral("http");
        auto request = at(QUrl(QStringLiteral("%1://127.0.0.1:%2/completion").arg(scheme).arg(fake->port())), "test-key");
        request.silenceLimit = 500ms;
        if (script.first() == "<refuse>")
            fake.reset();
        ServerHttp http;
        const auto got = stream(http, request, ServerApi::LlamaCompletion, replyRequestBody(ServerApi::LlamaCompletion, QStringLiteral("Hi")));
        QCOMPARE(got->result.outcome, outcome);
        QCOMPARE(got->text, text);
        const QString said = got->ends.isEmpty() ? got->result.message : got->firstEndMessage();
        QVERIFY2(said.contains(message, Qt::CaseInsensitive), qPrintable(said));
        if (fake && scheme == QLatin1String("http"))
            QVERIFY(fake->request.startsWith("POST /completion") && fake->request.contains("Bearer test-key"));
    }

    void realServerStreamsAndReusesTheCache()
    {
        TempHome home;
        qint64 pid = -1;
        {
            LlamaServer server(kBinFolder);
            server.start(kTiny);
            LlamaServerLease lease = server.acquire(kTiny);
            QVERIFY2(lease.isReady(), qPrintable(lease.error));
            pid = server.processId();
            // the key is in no command line and in no file once the server runs
            QVERIFY(!readFileBytes(QStringLiteral("/proc/%1/cmdline").arg(pid)).contains(lease.apiKey));
            QCOMPARE(folderEntries(home.runtimeDir()), QStringList());

            ServerHttp http;
            QCOMPARE(http.get(at(urlOf(lease, "/health"))).status, 200);
            const QByteArray body = replyRequestBody(ServerApi::LlamaCompletion, QStringLiteral("User: Hello there\nAssistant:"));
            std::shared_ptr<Streamed> first, second;
            for (auto *each : {&first, &second}) {
                *each = stream(http, at(urlOf(lease, "/completion"), lease.apiKey), ServerApi::LlamaCompletion, body);
                QCOMPARE((*each)->result.outcome, HttpOutcome::Complete);
                QCOMPARE((*each)->ends.size(), 1);
                QVERIFY((*each)->ends.first().isFinal);
                QVERIFY((*each)->ends.first().figures.generatedTokens.value_or(0) > 0);
            }
            QVERIFY(second->ends.first().figures.cachedTokens.value_or(0) > 0); // cache_prompt at work
        }
        QVERIFY(!processExists(pid)); // gone with its object
        QCOMPARE(processesWith(home.runtimeDir().toUtf8()), 0);
    }

    // What the application-level test of the local server cannot see: the
    // reason a start failed, as the server gave it, and the two failures before
    // any output.
    void realServerLifecycle()
    {
        TempHome home;
        LlamaServer server(kBinFolder);
        const QString bad = home.writeFile(QStringLiteral("bad.gguf"), "GGUF but not a model");
        const QString error = server.acquire(bad).error;
        QVERIFY2(error.contains(QStringLiteral("failed to load model"))
                     && !error.contains(QRegularExpression(QStringLiteral("\\d\\.\\d+ [IE] "))),
                 qPrintable(error));
        QCOMPARE(server.state(), LlamaServerState::Failed);
        QCOMPARE(processesWith(home.runtimeDir().toUtf8()), 0);

        LlamaServer slow(kBinFolder, {.loadLimit = 1ms});
        QVERIFY(slow.acquire(kTiny).error.startsWith(QStringLiteral("llama-server did not finish loading the model")));
        LlamaServer missing(home.home());
        QCOMPARE(missing.acquire(kTiny).error, home.home() + QStringLiteral("/llama-server: No such file or directory"));
    }
};

QTEST_GUILESS_MAIN(TestServerParts)
#include "tst_server_parts.moc"
