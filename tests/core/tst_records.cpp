// The records and their JSON: key sets, strict typing, exact numbers, the two
// date epochs, and documents that are broken or not UTF-8.
#include "core/record_json.h"
#include "core/records.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QtTest>

#include <cmath>
#include <limits>

using namespace recordjson;

namespace {

const QUuid kId1 = QUuid::fromString(QStringLiteral("0f8fad5b-d9cb-469f-a165-70867728950e"));
const QUuid kId2 = QUuid::fromString(QStringLiteral("7c9e6679-7425-40de-944b-e07fc1f90ae7"));
const QUuid kId3 = QUuid::fromString(QStringLiteral("16fd2706-8baf-433b-82eb-8c7fada847da"));

AttachedFile sampleFile(const QUuid &id, qint64 size)
{
    return {id, QStringLiteral("notes.PDF"), QStringLiteral("/home/u/Docs/notes.PDF"), QStringLiteral("pdf"), size};
}

// Three messages: with two files, without the key (a reply with figures),
// with an empty list.
ChatSession sampleSession()
{
    ChatSession s;
    s.id = kId1;
    s.title = QStringLiteral("Über \"quotes\" \\ and 漢字 🙂");
    s.createdAt = Date::fromSecondsSince2001(786000000.123456789);
    s.messages = {
        {kId2, QStringLiteral("Hello\nworld\t\u0001"), true, Date::fromSecondsSince2001(1.0 / 3.0),
         QList<AttachedFile>{sampleFile(kId3, 9007199254740993LL), sampleFile(kId1, 0)}, {}, {}, {}, 0},
        {kId3, QStringLiteral("```swift\nlet x = 1\n```"), false, Date::fromSecondsSince2001(-12.5), std::nullopt,
         {0.42, 18.3, 245, QStringLiteral("llama-completion"), QStringLiteral("Tiny \"Q4\"")}, {}, {}, 0},
        {kId1, QString(), true, Date::fromSecondsSince2001(0.1), QList<AttachedFile>{}, {}, {}, {}, 0},
    };
    return s;
}

AIModel sampleModel()
{
    AIModel m;
    m.id = kId2;
    m.name = QStringLiteral("Tiny Model Q4_K_M");
    m.url = QStringLiteral("https://example.invalid/org/repo/resolve/main/tiny.gguf");
    m.isDownloaded = true;
    m.filePath = QStringLiteral("/data/Models/tiny.gguf");
    m.size = QStringLiteral("4.2 GB");
    m.downloadProgress = 0.1;
    m.downloadedBytes = 9007199254740993LL;
    m.totalBytes = std::numeric_limits<qint64>::max();
    m.downloadSpeed = 1.0 / 3.0;
    m.createdAt = Date::fromSecondsSince1970(1700000000.987654321);
    return m;
}

// The keys each kind of object is written with and cannot be read without.
const QList<QPair<QString, QStringList>> kRequiredKeys = {
    {"file", {"id", "fileName", "filePath", "fileType", "fileSize"}},
    {"message", {"id", "content", "isFromUser", "timestamp"}},
    {"session", {"id", "title", "createdAt", "messages"}},
    {"model",
     {"id", "name", "url", "isDownloaded", "filePath", "size", "downloadProgress", "downloadedBytes", "totalBytes",
      "downloadSpeed", "createdAt"}},
    {"modelfile", {"fromPath", "systemPrompt", "template", "parameters"}},
};

QJsonValue jsonValue(const QByteArray &text) { return QJsonDocument::fromJson("[" + text + "]").array().at(0); }

QJsonObject validObject(const QString &kind)
{
    if (kind == "file")
        return *encode(sampleFile(kId3, 42));
    if (kind == "message")
        return *encode(sampleSession().messages.first());
    if (kind == "session")
        return *encode(sampleSession());
    if (kind == "model")
        return *encode(sampleModel());
    return encode(Modelfile{QStringLiteral("/m.gguf"), QStringLiteral("Be brief."), QStringLiteral("{{ .Prompt }}"),
                            {{QStringLiteral("temperature"), QStringLiteral("0.7")}}});
}

bool decodeKind(const QString &kind, const QJsonObject &o, DecodeError *error)
{
    if (kind == "file")
        return decodeAttachedFile(o, error).has_value();
    if (kind == "message")
        return decodeChatMessage(o, error).has_value();
    if (kind == "session")
        return decodeChatSession(o, error).has_value();
    if (kind == "model")
        return decodeAIModel(o, error).has_value();
    return decodeModelfile(o, error).has_value();
}

// The same, inside a stored document (read by the document reader, not
// through QJsonObject). A model file is never stored on its own.
bool decodeInDocument(const QString &kind, const QJsonObject &o, DecodeError *error)
{
    if (kind == "model")
        return decodeModelList(QJsonDocument(QJsonArray{o}).toJson(), error).has_value();
    QJsonObject session = kind == "session" ? o : validObject("session");
    if (kind != "session") {
        QJsonObject message = kind == "message" ? o : validObject("message");
        if (kind == "file")
            message.insert("attachedFiles", QJsonArray{o});
        session.insert("messages", QJsonArray{message});
    }
    return decodeSessionDocument(QJsonDocument(session).toJson(), error).has_value();
}

} // namespace

class TestRecords : public QObject {
    Q_OBJECT

private slots:
    // Exactly the required keys are written, and a message's attachedFiles
    // only when it has a list (an empty one too); a model's modelfile never.
    void keySets()
    {
        for (const auto &[kind, keys] : kRequiredKeys) {
            QSet<QString> expected(keys.begin(), keys.end());
            if (kind == "message")
                expected << "attachedFiles";
            const QStringList written = validObject(kind).keys();
            QCOMPARE(QSet<QString>(written.begin(), written.end()), expected);
        }
        AIModel m = sampleModel();
        m.modelfile = Modelfile{};
        QVERIFY(!encode(m)->contains("modelfile"));
        const QJsonArray messages = encode(sampleSession())->value("messages").toArray();
        QVERIFY(!messages[1].toObject().contains("attachedFiles"));
        // figures only for a message that has some, each only when known
        QVERIFY(!messages[0].toObject().contains("figures"));
        QCOMPARE(messages[1].toObject().value("figures").toObject().keys(),
                 (QStringList{"engine", "model", "secondsToFirstToken", "tokenCount", "tokensPerSecond"}));
        ChatMessage some = sampleSession().messages[1];
        some.figures = {std::nullopt, qInf(), std::nullopt, QString(), QStringLiteral("m")};
        QCOMPARE(encode(some)->value("figures").toObject(), (QJsonObject{{"model", "m"}}));
        QCOMPARE(messages[2].toObject().value("attachedFiles"), QJsonValue(QJsonArray()));
        QCOMPARE(encode(sampleSession())->value("id").toString(), "0F8FAD5B-D9CB-469F-A165-70867728950E");
        ChatSession titled = sampleSession(); // a chosen title is kept apart
        titled.hasManualTitle = true;
        QVERIFY(decodeSessionDocument(*encodeSessionDocument(titled))->hasManualTitle);

        // a stored modelfile key is ignored, as are unknown keys
        QJsonObject o = *encode(m);
        o.insert("modelfile", validObject("modelfile"));
        o.insert("somethingNew", 7);
        const auto withExtra = decodeAIModel(o);
        QVERIFY(withExtra && !withExtra->modelfile.has_value());
    }

    // Conversations count from 2001, the model list from 1970. New records
    // get fresh ids and the current time.
    void dates()
    {
        ChatSession s = sampleSession();
        AIModel m = sampleModel();
        s.createdAt = m.createdAt = Date::fromSecondsSince2001(786000000.25);
        QCOMPARE(encode(s)->value("createdAt").toDouble(), 786000000.25);
        QCOMPARE(encode(m)->value("createdAt").toDouble(), 786000000.25 + 978307200.0);
        const QDateTime dt(QDate(2024, 2, 29), QTime(13, 14, 15, 678), Qt::UTC);
        QCOMPARE(Date::fromSecondsSince1970(dt.toMSecsSinceEpoch() / 1000.0).toDateTime(), dt);

        const ChatMessage msg = ChatMessage::make(QStringLiteral("hi"), true);
        QVERIFY(!msg.id.isNull() && std::fabs(msg.timestamp.secondsSince(Date::now())) < 2.0);
    }

    // Optional and later keys never make a message unreadable: absent and
    // empty file lists stay apart, a figure of the wrong type is unknown, an
    // unsound kind or set of answers is left out, and an older reader sees
    // the same message, showing the shown answer.
    void optionalKeys_data()
    {
        QTest::addColumn<QByteArray>("keys"); // set on a stored reply with two answers; "-": key removed
        QTest::addColumn<QString>("read");    // file sizes ("-": no list) | known figures | kind, answers
        QTest::newRow("as written") << QByteArray("{}") << "-||reply 2";
        QTest::newRow("files null") << QByteArray(R"({"attachedFiles":null})") << "-||reply 2";
        QTest::newRow("files empty") << QByteArray(R"({"attachedFiles":[]})") << "||reply 2";
        QTest::newRow("all-zero and mixed-case ids, size as 1e3")
            << QByteArray(R"({"attachedFiles":[{"id":"00000000-0000-0000-0000-000000000000","fileName":"a",)"
                          R"("filePath":"/a","fileType":"","fileSize":1e3},{"id":"16fd2706-8BAF-433b-82eb-)"
                          R"(8c7fada847da","fileName":"b","filePath":"/b","fileType":"","fileSize":2}]})")
            << "1000 2||reply 2";
        QTest::newRow("figures null") << QByteArray(R"({"figures":null})") << "-||reply 2";
        QTest::newRow("all known figures, and a key of a later version")
            << QByteArray(R"({"figures":{"secondsToFirstToken":0.42,"tokensPerSecond":18.3,"tokenCount":245,)"
                          R"("engine":"llama-completion","model":"Tiny","later":[1]}})")
            << "-|0.42 18.3 245 llama-completion Tiny|reply 2";
        QTest::newRow("figures of the wrong types")
            << QByteArray(R"({"figures":{"secondsToFirstToken":"0.4","tokensPerSecond":null,)"
                          R"("tokenCount":1.5,"engine":7,"model":"Tiny"}})")
            << "-|Tiny|reply 2";
        QTest::newRow("unknown kind") << QByteArray(R"({"kind":"later"})") << "-||unset 2";
        QTest::newRow("shown out of range") << QByteArray(R"({"shownVersion":2})") << "-||reply 0";
        QTest::newRow("shown is not the content") << QByteArray(R"({"shownVersion":0})") << "-||reply 0";
        QTest::newRow("an answer without time")
            << QByteArray(R"({"versions":[{"content":"a","timestamp":1},{"content":"b"}]})") << "-||reply 0";
        QTest::newRow("answers not an array") << QByteArray(R"({"kind":3,"versions":{}})") << "-||unset 0";
        QTest::newRow("before kinds and answers")
            << QByteArray(R"({"kind":"-","versions":"-","shownVersion":"-"})") << "-||unset 0";
    }
    void optionalKeys()
    {
        QFETCH(QByteArray, keys);
        QFETCH(QString, read);
        ChatSession s = sampleSession();
        ChatMessage reply = s.messages[1];
        reply.figures = {};
        reply.kind = MessageKind::Reply;
        reply.addVersion({QStringLiteral("b"), Date::fromSecondsSince2001(5), {}});
        ChatMessage plain = reply; // what is left without the optional and later keys
        plain.kind = MessageKind::Unset;
        plain.versions.clear();
        plain.shownVersion = 0;
        QCOMPARE(plain.content, QStringLiteral("b"));
        QJsonObject o = *encode(reply);
        const QJsonObject changes = jsonValue(keys).toObject();
        for (const QString &key : changes.keys()) {
            if (changes[key] == QJsonValue("-"))
                o.remove(key);
            else
                o.insert(key, changes[key]);
        }
        s.messages = {reply};
        QJsonObject stored = *encode(s);
        stored.insert("messages", QJsonArray{o});
        const auto document = decodeSessionDocument(QJsonDocument(stored).toJson());
        QVERIFY(document);
        for (const auto &m : {decodeChatMessage(o), std::optional(document->messages.value(0))}) {
            QVERIFY(m);
            QStringList files, figures;
            if (!m->attachedFiles)
                files << "-";
            for (const AttachedFile &file : m->attachedFiles.value_or(QList<AttachedFile>{}))
                files << QString::number(file.fileSize);
            const ReplyFigures &f = m->figures;
            for (const auto &n : {f.secondsToFirstToken, f.tokensPerSecond})
                if (n)
                    figures << QString::number(*n);
            if (f.tokenCount)
                figures << QString::number(*f.tokenCount);
            figures << f.engineName << f.modelName;
            figures.removeAll(QString());
            const QString kind = QStringList{"unset", "reply", "notice", "error", "stopped"}.value(int(m->kind));
            QCOMPARE(files.join(' ') + '|' + figures.join(' ') + '|' + kind + ' ' + QString::number(m->versions.size()),
                     read);
            if (!m->versions.isEmpty())
                QCOMPARE(m->versions, reply.versions);
            ChatMessage rest = *m;
            rest.figures = {};
            rest.attachedFiles.reset();
            rest.kind = MessageKind::Unset;
            rest.versions.clear();
            rest.shownVersion = 0;
            QCOMPARE(rest, plain);
        }
    }

    // Each required key, missing or holding the wrong type, makes the object
    // unreadable; the error names the key.
    void badKeys_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QByteArray>("value"); // empty: key removed
        QTest::addColumn<QString>("error");    // empty: "<key>: not a ..."
        for (const auto &[kind, keys] : kRequiredKeys) {
            for (const QString &key : keys) {
                QTest::addRow("%s missing %s", qPrintable(kind), qPrintable(key))
                    << kind << key << QByteArray() << key + ": missing key";
                QTest::addRow("%s null %s", qPrintable(kind), qPrintable(key))
                    << kind << key << QByteArray("null") << QString();
            }
        }
        auto row = [](const char *kind, const char *key, const char *value, const QString &error) {
            QTest::addRow("%s %s=%s", kind, key, value) << kind << key << QByteArray(value) << error;
        };
        row("file", "id", "\"{0F8FAD5B-D9CB-469F-A165-70867728950E}\"", "id: not a UUID");
        row("file", "id", "\"0F8FAD5BD-9CB-469F-A165-70867728950E\"", "id: not a UUID");
        row("file", "id", "\"0F8FAD5B-D9CB-469F-A165-70867728950G\"", "id: not a UUID");
        row("file", "id", "12", "id: not a string");
        row("file", "fileSize", "1.5", "fileSize: not a 64-bit integer");
        row("file", "fileSize", "9223372036854775808", "fileSize: not a 64-bit integer");
        row("model", "downloadedBytes", "-9.3e18", "downloadedBytes: not a 64-bit integer");
        row("message", "isFromUser", "1", "isFromUser: not a boolean");
        row("message", "timestamp", "\"786000000\"", "timestamp: not a number");
        row("message", "attachedFiles", "\"a.txt\"", "attachedFiles: not an array");
        row("message", "attachedFiles", "[1]", "attachedFiles[0]: not an object");
        row("message", "attachedFiles", R"([{"id":"16fd2706-8baf-433b-82eb-8c7fada847da"}])",
            "attachedFiles[0].fileName: missing key");
        row("session", "messages", "{}", "messages: not an array");
        row("session", "messages", "[1]", "messages[0]: not an object");
        row("session", "messages", "[{}]", "messages[0].id: missing key");
        row("modelfile", "parameters", "[]", "parameters: not an object");
        row("modelfile", "parameters", "{\"top_k\":40}", "parameters.top_k: not a string");
    }
    void badKeys()
    {
        QFETCH(QString, kind);
        QFETCH(QString, key);
        QFETCH(QByteArray, value);
        QFETCH(QString, error);
        QJsonObject o = validObject(kind);
        DecodeError err;
        QVERIFY2(decodeKind(kind, o, &err), qPrintable(err.text));
        if (value.isEmpty())
            o.remove(key);
        else
            o.insert(key, jsonValue(value));
        QVERIFY(!decodeKind(kind, o, &err));
        if (error.isEmpty())
            QVERIFY2(err.text.startsWith(key + ": not a"), qPrintable(err.text));
        else
            QCOMPARE(err.text, error);
        if (kind != "modelfile") {
            const QString found = err.text;
            QVERIFY(!decodeInDocument(kind, o, &err));
            QVERIFY2(err.text.endsWith(found), qPrintable(err.text + " / " + found));
        }
    }

    void badDocuments_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("error"); // prefix of the error text
        const QByteArray good = *encodeSessionDocument(sampleSession());
        auto spoilt = [&](const QByteArray &from, const QByteArray &to) { return QByteArray(good).replace(from, to); };
        // the error says where in the nested document the (first) fault is
        const QByteArray noTimestamp = spoilt("\"timestamp\":-12.5", "\"timestamp_\":-12.5");
        QTest::newRow("nested key missing") << noTimestamp << "messages[1].timestamp: missing key";
        QTest::newRow("first of two faults") << QByteArray(noTimestamp).replace("\"fileSize\":0", "\"fileSize\":\"big\"")
                                             << "messages[0].attachedFiles[1].fileSize: not a 64-bit integer";
        // a key given twice counts with its last value, as Qt's reader takes it
        QTest::newRow("key twice, the last wrong") << spoilt("\"timestamp\":-12.5", "\"timestamp\":-12.5,\"timestamp\":\"\"")
                                                   << "messages[1].timestamp: not a number";
        QTest::newRow("latin-1") << spoilt("Hello", "H\xe9llo") << "invalid JSON: ";
        QTest::newRow("bad key bytes") << spoilt("\"content\"", "\"cont\xe9nt\"") << "invalid JSON: ";
        QTest::newRow("trailing garbage") << good + "x" << "invalid JSON: ";
        QTest::newRow("array") << "[" + good + "]" << "not a JSON object";
        // integral, but 2^63 does not fit in 64 bits
        QTest::newRow("size 2^63 as a double") << spoilt("9007199254740993", "9.223372036854775808e18")
                                               << "messages[0].attachedFiles[0].fileSize: not a 64-bit integer";
    }
    void badDocuments()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, error);
        DecodeError err;
        QVERIFY(!decodeSessionDocument(bytes, &err));
        QVERIFY2(err.text.startsWith(error), qPrintable(err.text));
        if (error.startsWith("invalid"))
            QVERIFY2(err.text.contains(QRegularExpression(" at offset \\d+$")), qPrintable(err.text));
        const QString found = err.text;
        QVERIFY(!decodeSessionList("[" + *encodeSessionDocument(sampleSession()) + "," + bytes + "]", &err));
        if (found.startsWith("messages"))
            QCOMPARE(err.text, "[1]." + found);
    }

    void truncatedDocuments()
    {
        const QByteArray session = *encodeSessionDocument(sampleSession());
        const QByteArray models = *encodeModelList({sampleModel(), sampleModel()});
        for (qsizetype n = 0; n < session.size(); ++n)
            QVERIFY2(!decodeSessionDocument(session.left(n)), qPrintable(QString::number(n)));
        for (qsizetype n = 0; n < models.size(); ++n)
            QVERIFY2(!decodeModelList(models.left(n)), qPrintable(QString::number(n)));
        DecodeError err;
        QVERIFY(!decodeModelList(session, &err));
        QCOMPARE(err.text, "not a JSON array");
        QVERIFY(!decodeModelList(QJsonDocument(QJsonArray{*encode(sampleModel()), 3}).toJson(), &err));
        QCOMPARE(err.text, "[1]: not an object");
    }

    // JSON cannot hold these: encoding fails rather than writing what would
    // not read back.
    void nonFiniteRefused()
    {
        for (const double bad : {qQNaN(), qInf(), -qInf()}) {
            AIModel m1 = sampleModel(), m2 = m1, m3 = m1;
            m1.downloadProgress = bad;
            m2.downloadSpeed = bad;
            m3.createdAt = Date::fromSecondsSince1970(bad);
            for (const AIModel &m : {m1, m2, m3})
                QVERIFY(!encode(m) && !encodeModelList({sampleModel(), m}));
            ChatSession s1 = sampleSession(), s2 = s1;
            s1.createdAt = Date::fromSecondsSince2001(bad);
            s2.messages[2].timestamp = Date::fromSecondsSince2001(bad);
            for (const ChatSession &s : {s1, s2})
                QVERIFY(!encode(s) && !encodeSessionDocument(s));
        }
    }

    void roundTrip_data()
    {
        QTest::addColumn<double>("d");
        QTest::addColumn<qint64>("i");
        QTest::newRow("1/3, -1") << 1.0 / 3.0 << qint64(-1);
        QTest::newRow("date with more digits than a double holds, 1") << 786000000.123456789 << qint64(1);
        QTest::newRow("2^53, 2^53+1") << 9007199254740992.0 << qint64(9007199254740993LL);
        QTest::newRow("1e21, int64 max") << 1e21 << std::numeric_limits<qint64>::max();
        QTest::newRow("-1e-300, int64 min") << -1e-300 << std::numeric_limits<qint64>::min();
        QTest::newRow("denormal, 2") << std::numeric_limits<double>::denorm_min() << qint64(2);
        QTest::newRow("double max, 18 digits") << std::numeric_limits<double>::max() << qint64(123456789012345678LL);
    }
    // The stored documents give back every field exactly (absent and empty
    // attachedFiles stay apart), and encoding again gives the same bytes.
    void roundTrip()
    {
        QFETCH(double, d);
        QFETCH(qint64, i);
        AIModel m = sampleModel();
        m.downloadSpeed = d;
        m.downloadProgress = -d;
        m.totalBytes = i;
        DecodeError err;
        const auto models = decodeModelList(*encodeModelList({sampleModel(), m}), &err);
        QVERIFY2(models && models->size() == 2, qPrintable(err.text));
        QCOMPARE(*encode(models->at(1)), *encode(m)); // every field: a model's == compares the id only

        ChatSession s = sampleSession();
        s.createdAt = Date::fromSecondsSince2001(d);
        s.messages[0].attachedFiles->first().fileSize = i;
        s.messages[1].figures.tokensPerSecond = d;
        s.messages[1].figures.tokenCount = i;
        const QByteArray bytes = *encodeSessionDocument(s);
        const auto back = decodeSessionDocument(bytes, &err);
        QVERIFY2(back, qPrintable(err.text));
        QCOMPARE(*back, s);
        QCOMPARE(*encodeSessionDocument(*back), bytes);
    }
};

QTEST_GUILESS_MAIN(TestRecords)
#include "tst_records.moc"
