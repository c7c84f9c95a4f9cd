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
    return AttachedFile{id, QStringLiteral("notes.PDF"), QStringLiteral("/home/u/Docs/notes.PDF"),
                        QStringLiteral("pdf"), size};
}

ChatSession sampleSession()
{
    ChatSession s;
    s.id = kId1;
    s.title = QStringLiteral("Über \"quotes\" \\ and 漢字 🙂");
    s.createdAt = Date::fromSecondsSince2001(786000000.123456789);
    ChatMessage a{kId2, QStringLiteral("Hello\nworld\t\u0001"), true, Date::fromSecondsSince2001(1.0 / 3.0),
                  QList<AttachedFile>{sampleFile(kId3, 9007199254740993LL), sampleFile(kId1, 0)}};
    ChatMessage b{kId3, QStringLiteral("```swift\nlet x = 1\n```"), false, Date::fromSecondsSince2001(-12.5),
                  std::nullopt};
    ChatMessage c{kId1, QString(), true, Date::fromSecondsSince2001(0.1), QList<AttachedFile>{}};
    s.messages = {a, b, c};
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

void compareModels(const AIModel &a, const AIModel &b)
{
    QCOMPARE(a.id, b.id);
    QCOMPARE(a.name, b.name);
    QCOMPARE(a.url, b.url);
    QCOMPARE(a.isDownloaded, b.isDownloaded);
    QCOMPARE(a.filePath, b.filePath);
    QCOMPARE(a.size, b.size);
    QCOMPARE(a.downloadProgress, b.downloadProgress);
    QCOMPARE(a.downloadedBytes, b.downloadedBytes);
    QCOMPARE(a.totalBytes, b.totalBytes);
    QCOMPARE(a.downloadSpeed, b.downloadSpeed);
    QCOMPARE(a.createdAt.secondsSince2001(), b.createdAt.secondsSince2001());
}

QSet<QString> keySet(const QJsonObject &o)
{
    const QStringList keys = o.keys();
    return QSet<QString>(keys.begin(), keys.end());
}

QJsonValue jsonValue(const QByteArray &text)
{
    return QJsonDocument::fromJson("[" + text + "]").array().at(0);
}

QJsonObject validObject(const QString &kind)
{
    if (kind == QLatin1String("file"))
        return *encode(sampleFile(kId3, 42));
    if (kind == QLatin1String("message"))
        return *encode(sampleSession().messages.first());
    if (kind == QLatin1String("session"))
        return *encode(sampleSession());
    if (kind == QLatin1String("model"))
        return *encode(sampleModel());
    return encode(Modelfile{QStringLiteral("/m.gguf"), QStringLiteral("Be brief."), QStringLiteral("{{ .Prompt }}"),
                            {{QStringLiteral("temperature"), QStringLiteral("0.7")}}});
}

bool decodeKind(const QString &kind, const QJsonObject &o, DecodeError *error)
{
    if (kind == QLatin1String("file"))
        return decodeAttachedFile(o, error).has_value();
    if (kind == QLatin1String("message"))
        return decodeChatMessage(o, error).has_value();
    if (kind == QLatin1String("session"))
        return decodeChatSession(o, error).has_value();
    if (kind == QLatin1String("model"))
        return decodeAIModel(o, error).has_value();
    return decodeModelfile(o, error).has_value();
}

} // namespace

class TestRecords : public QObject {
    Q_OBJECT

private slots:
    void uuidText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::newRow("upper") << "0F8FAD5B-D9CB-469F-A165-70867728950E" << true;
        QTest::newRow("lower") << "0f8fad5b-d9cb-469f-a165-70867728950e" << true;
        QTest::newRow("mixed") << "0f8FAD5b-d9cb-469F-a165-70867728950E" << true;
        QTest::newRow("all zero") << "00000000-0000-0000-0000-000000000000" << true;
        QTest::newRow("braces") << "{0F8FAD5B-D9CB-469F-A165-70867728950E}" << false;
        QTest::newRow("no hyphens") << "0F8FAD5BD9CB469FA16570867728950E" << false;
        QTest::newRow("short") << "0F8FAD5B-D9CB-469F-A165-70867728950" << false;
        QTest::newRow("long") << "0F8FAD5B-D9CB-469F-A165-70867728950E0" << false;
        QTest::newRow("non-hex") << "0F8FAD5B-D9CB-469F-A165-70867728950G" << false;
        QTest::newRow("hyphen moved") << "0F8FAD5BD-9CB-469F-A165-70867728950E" << false;
        QTest::newRow("padded") << " 0F8FAD5B-D9CB-469F-A165-70867728950" << false;
        QTest::newRow("empty") << "" << false;
    }
    void uuidText()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        const auto id = parseUuid(text);
        QCOMPARE(id.has_value(), valid);
        if (valid)
            QCOMPARE(canonicalUuid(*id), text.toUpper());
    }

    void sessionRoundTrip()
    {
        const ChatSession s = sampleSession();
        const auto bytes = encodeSessionDocument(s);
        QVERIFY(bytes);
        DecodeError err;
        const auto back = decodeSessionDocument(*bytes, &err);
        QVERIFY2(back, qPrintable(err.text));
        QCOMPARE(*back, s);
        QVERIFY(!back->messages[1].attachedFiles.has_value());
        QVERIFY(back->messages[2].attachedFiles.has_value());
        QVERIFY(back->messages[2].attachedFiles->isEmpty());
        // Writing what was read gives the same bytes.
        QCOMPARE(*encodeSessionDocument(*back), *bytes);

        // The legacy array of all conversations.
        const QByteArray list = "[" + *bytes + "," + *bytes + "]";
        const auto sessions = decodeSessionList(list, &err);
        QVERIFY2(sessions, qPrintable(err.text));
        QCOMPARE(sessions->size(), 2);
        QCOMPARE(sessions->at(1), s);
        QVERIFY(decodeSessionList("[]")->isEmpty());
    }

    void modelListRoundTrip()
    {
        AIModel a = sampleModel();
        a.modelfile = Modelfile{QStringLiteral("/p"), QStringLiteral("sys"), QStringLiteral("t"), {}};
        AIModel b = AIModel::make(QStringLiteral("B"), QStringLiteral("file:///b.gguf"));
        b.downloadedBytes = std::numeric_limits<qint64>::min();
        b.totalBytes = -1;
        const auto bytes = encodeModelList({a, b});
        QVERIFY(bytes);
        QVERIFY(!bytes->contains("modelfile"));
        DecodeError err;
        const auto back = decodeModelList(*bytes, &err);
        QVERIFY2(back, qPrintable(err.text));
        QCOMPARE(back->size(), 2);
        compareModels(back->at(0), a);
        compareModels(back->at(1), b);
        QVERIFY(!back->at(0).modelfile.has_value());

        // A stored modelfile key is ignored, not read.
        QJsonObject o = *encode(a);
        o.insert(QStringLiteral("modelfile"), encode(*a.modelfile));
        o.insert(QStringLiteral("somethingNew"), 7);
        const auto withExtra = decodeAIModel(o);
        QVERIFY(withExtra);
        QVERIFY(!withExtra->modelfile.has_value());

        const Modelfile mf{QStringLiteral("/m"), QStringLiteral("s"), QStringLiteral("{{x}}"),
                           {{QStringLiteral("a"), QStringLiteral("1")}, {QStringLiteral("b"), QString()}}};
        QCOMPARE(decodeModelfile(encode(mf)), mf);
    }

    void keySets()
    {
        const ChatSession s = sampleSession();
        const QJsonObject so = *encode(s);
        QCOMPARE(keySet(so), (QSet<QString>{"id", "title", "createdAt", "messages"}));
        QCOMPARE(so.value("id").toString(), "0F8FAD5B-D9CB-469F-A165-70867728950E");
        const QJsonArray messages = so.value("messages").toArray();
        QCOMPARE(keySet(messages[0].toObject()),
                 (QSet<QString>{"id", "content", "isFromUser", "timestamp", "attachedFiles"}));
        QCOMPARE(keySet(messages[1].toObject()), (QSet<QString>{"id", "content", "isFromUser", "timestamp"}));
        QCOMPARE(messages[2].toObject().value("attachedFiles"), QJsonValue(QJsonArray()));
        const QJsonObject fo = messages[0].toObject().value("attachedFiles").toArray()[0].toObject();
        QCOMPARE(keySet(fo), (QSet<QString>{"id", "fileName", "filePath", "fileType", "fileSize"}));
        QCOMPARE(fo.value("id").toString(), "16FD2706-8BAF-433B-82EB-8C7FADA847DA");

        AIModel m = sampleModel();
        m.modelfile = Modelfile{};
        QCOMPARE(keySet(*encode(m)),
                 (QSet<QString>{"id", "name", "url", "isDownloaded", "filePath", "size", "downloadProgress",
                                "downloadedBytes", "totalBytes", "downloadSpeed", "createdAt"}));
        QCOMPARE(keySet(encode(Modelfile{})), (QSet<QString>{"fromPath", "systemPrompt", "template", "parameters"}));
    }

    void epochs()
    {
        const Date instant = Date::fromSecondsSince2001(786000000.25);
        ChatSession s = sampleSession();
        s.createdAt = instant;
        AIModel m = sampleModel();
        m.createdAt = instant;
        const double inSession = encode(s)->value("createdAt").toDouble();
        const double inModel = encode(m)->value("createdAt").toDouble();
        QCOMPARE(inSession, 786000000.25);
        QCOMPARE(inModel - inSession, 978307200.0);
        QCOMPARE(decodeAIModel(*encode(m))->createdAt, instant);

        QCOMPARE(Date::fromDateTime(QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC)), Date());
        QCOMPARE(Date::fromSecondsSince1970(0).toDateTime(), QDateTime(QDate(1970, 1, 1), QTime(0, 0), Qt::UTC));
        const QDateTime dt(QDate(2024, 2, 29), QTime(13, 14, 15, 678), Qt::UTC);
        QCOMPARE(Date::fromDateTime(dt).toDateTime(), dt);
        QCOMPARE(Date::fromDateTime(dt).secondsSince1970(), dt.toMSecsSinceEpoch() / 1000.0);
    }

    void attachedFiles_data()
    {
        QTest::addColumn<QByteArray>("value"); // empty: key left out
        QTest::addColumn<bool>("readable");
        QTest::addColumn<int>("count"); // -1: absent
        QTest::newRow("missing") << QByteArray() << true << -1;
        QTest::newRow("null") << QByteArray("null") << true << -1;
        QTest::newRow("empty") << QByteArray("[]") << true << 0;
        QTest::newRow("one")
            << QByteArray(R"([{"id":"16fd2706-8baf-433b-82eb-8c7fada847da","fileName":"a","filePath":"/a",)"
                          R"("fileType":"","fileSize":1e3}])")
            << true << 1;
        QTest::newRow("string") << QByteArray("\"a.txt\"") << false << 0;
        QTest::newRow("object") << QByteArray("{}") << false << 0;
        QTest::newRow("not objects") << QByteArray("[1]") << false << 0;
        QTest::newRow("bad file") << QByteArray(R"([{"id":"16fd2706-8baf-433b-82eb-8c7fada847da"}])") << false << 0;
    }
    void attachedFiles()
    {
        QFETCH(QByteArray, value);
        QFETCH(bool, readable);
        QFETCH(int, count);
        QJsonObject o = validObject("message");
        o.remove("attachedFiles");
        if (!value.isEmpty())
            o.insert("attachedFiles", jsonValue(value));
        const auto m = decodeChatMessage(o);
        QCOMPARE(m.has_value(), readable);
        if (!readable)
            return;
        QCOMPARE(m->attachedFiles.has_value(), count >= 0);
        if (count >= 0)
            QCOMPARE(m->attachedFiles->size(), count);
        if (count == 1) {
            QCOMPARE(m->attachedFiles->at(0).id, kId3);
            QCOMPARE(m->attachedFiles->at(0).fileSize, qint64(1000));
        }
    }

    // Each required key, missing or holding the wrong type, makes the object
    // unreadable; the error names the key.
    void badKeys_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QByteArray>("value"); // empty: key removed
        QTest::addColumn<QString>("error");

        const QList<QPair<QString, QStringList>> required = {
            {"file", {"id", "fileName", "filePath", "fileType", "fileSize"}},
            {"message", {"id", "content", "isFromUser", "timestamp"}},
            {"session", {"id", "title", "createdAt", "messages"}},
            {"model",
             {"id", "name", "url", "isDownloaded", "filePath", "size", "downloadProgress", "downloadedBytes",
              "totalBytes", "downloadSpeed", "createdAt"}},
            {"modelfile", {"fromPath", "systemPrompt", "template", "parameters"}},
        };
        for (const auto &[kind, keys] : required) {
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
        row("file", "id", "\"not-a-uuid\"", "id: not a UUID");
        row("file", "id", "\"{16fd2706-8baf-433b-82eb-8c7fada847da}\"", "id: not a UUID");
        row("file", "id", "12", "id: not a string");
        row("file", "fileSize", "1.5", "fileSize: not a 64-bit integer");
        row("file", "fileSize", "\"12\"", "fileSize: not a 64-bit integer");
        row("file", "fileSize", "9223372036854775808", "fileSize: not a 64-bit integer");
        row("file", "fileSize", "1e19", "fileSize: not a 64-bit integer");
        row("file", "fileName", "[]", "fileName: not a string");
        row("message", "isFromUser", "1", "isFromUser: not a boolean");
        row("message", "isFromUser", "\"true\"", "isFromUser: not a boolean");
        row("message", "timestamp", "\"786000000\"", "timestamp: not a number");
        row("message", "content", "{}", "content: not a string");
        row("session", "createdAt", "true", "createdAt: not a number");
        row("session", "messages", "{}", "messages: not an array");
        row("session", "messages", "[1]", "messages[0]: not an object");
        row("session", "messages", "[{}]", "messages[0].id: missing key");
        row("model", "downloadProgress", "\"0.5\"", "downloadProgress: not a number");
        row("model", "totalBytes", "0.5", "totalBytes: not a 64-bit integer");
        row("model", "downloadedBytes", "-9.3e18", "downloadedBytes: not a 64-bit integer");
        row("model", "isDownloaded", "0", "isDownloaded: not a boolean");
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
    }

    void nestedFailure()
    {
        const QByteArray good = *encodeSessionDocument(sampleSession());
        QJsonObject s = QJsonDocument::fromJson(good).object();
        QJsonArray messages = s.value("messages").toArray();
        QJsonObject m = messages[1].toObject();
        m.remove("timestamp");
        messages[1] = m;
        s.insert("messages", messages);
        const QByteArray bad = QJsonDocument(s).toJson();

        DecodeError err;
        QVERIFY(!decodeSessionDocument(bad, &err));
        QCOMPARE(err.text, "messages[1].timestamp: missing key");
        QVERIFY(!decodeSessionList("[" + good + "," + bad + "]", &err));
        QCOMPARE(err.text, "[1].messages[1].timestamp: missing key");

        QJsonObject f = messages[0].toObject();
        QJsonArray files = f.value("attachedFiles").toArray();
        QJsonObject file = files[1].toObject();
        file.insert("fileSize", "big");
        files[1] = file;
        f.insert("attachedFiles", files);
        messages[0] = f;
        messages[1] = m;
        s.insert("messages", messages);
        QVERIFY(!decodeChatSession(s, &err));
        QCOMPARE(err.text, "messages[0].attachedFiles[1].fileSize: not a 64-bit integer");

        QJsonArray models{*encode(sampleModel()), 3};
        QVERIFY(!decodeModelList(QJsonDocument(models).toJson(), &err));
        QCOMPARE(err.text, "[1]: not an object");
    }

    void badDocuments_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("error"); // prefix of the error text
        const QByteArray good = *encodeSessionDocument(sampleSession());
        QVERIFY(good.contains("Hello"));
        QByteArray latin1 = good;
        latin1.replace("Hello", "H\xe9llo");
        QByteArray stray = good;
        stray.replace("Hello", "Hel\xff\xfe");
        QByteArray overlong = good;
        overlong.replace("Hello", "\xc0\xaf");
        QByteArray surrogate = good;
        surrogate.replace("Hello", "\xed\xa0\x80");
        QByteArray badKey = good;
        badKey.replace("\"content\"", "\"cont\xe9nt\"");
        QTest::newRow("latin-1") << latin1 << "invalid JSON: ";
        QTest::newRow("stray bytes") << stray << "invalid JSON: ";
        QTest::newRow("overlong") << overlong << "invalid JSON: ";
        QTest::newRow("encoded surrogate") << surrogate << "invalid JSON: ";
        QTest::newRow("bad key bytes") << badKey << "invalid JSON: ";
        QTest::newRow("empty") << QByteArray() << "invalid JSON: ";
        QTest::newRow("trailing garbage") << good + "x" << "invalid JSON: ";
        QTest::newRow("array") << "[" + good + "]" << "not a JSON object";
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
        if (!bytes.isEmpty())
            QVERIFY(!decodeSessionList("[" + bytes + "]", &err));
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
        QVERIFY(!decodeModelList(*encodeSessionDocument(sampleSession()), &err));
        QCOMPARE(err.text, "not a JSON array");
    }

    void nonFiniteRefused_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<double>("value");
        const double nan = std::numeric_limits<double>::quiet_NaN();
        const double inf = std::numeric_limits<double>::infinity();
        for (const char *field : {"downloadProgress", "downloadSpeed", "model.createdAt", "session.createdAt",
                                  "message.timestamp"}) {
            QTest::addRow("%s nan", field) << field << nan;
            QTest::addRow("%s inf", field) << field << inf;
            QTest::addRow("%s -inf", field) << field << -inf;
        }
    }
    void nonFiniteRefused()
    {
        QFETCH(QString, field);
        QFETCH(double, value);
        AIModel m = sampleModel();
        ChatSession s = sampleSession();
        if (field == "downloadProgress")
            m.downloadProgress = value;
        else if (field == "downloadSpeed")
            m.downloadSpeed = value;
        else if (field == "model.createdAt")
            m.createdAt = Date::fromSecondsSince1970(value);
        else if (field == "session.createdAt")
            s.createdAt = Date::fromSecondsSince2001(value);
        else
            s.messages[2].timestamp = Date::fromSecondsSince2001(value);
        if (field.startsWith("download") || field.startsWith("model")) {
            QVERIFY(!encode(m));
            QVERIFY(!encodeModelList({sampleModel(), m}));
        } else {
            QVERIFY(!encode(s));
            QVERIFY(!encodeSessionDocument(s));
        }
    }

    void exactNumbers_data()
    {
        QTest::addColumn<double>("d");
        QTest::addColumn<qint64>("i");
        QTest::newRow("0.1, 0") << 0.1 << qint64(0);
        QTest::newRow("1/3, 1") << 1.0 / 3.0 << qint64(1);
        QTest::newRow("date, -1") << 786000000.123456789 << qint64(-1);
        QTest::newRow("2^53, 2^53+1") << 9007199254740992.0 << qint64(9007199254740993LL);
        QTest::newRow("1e21, int64 max") << 1e21 << std::numeric_limits<qint64>::max();
        QTest::newRow("-1e-300, int64 min") << -1e-300 << std::numeric_limits<qint64>::min();
        QTest::newRow("denormal, 2") << std::numeric_limits<double>::denorm_min() << qint64(2);
        QTest::newRow("double max, 18 digits") << std::numeric_limits<double>::max() << qint64(123456789012345678LL);
        QTest::newRow("1e17, 0") << 1e17 << qint64(0);
    }
    void exactNumbers()
    {
        QFETCH(double, d);
        QFETCH(qint64, i);
        AIModel m = sampleModel();
        m.downloadSpeed = d;
        m.downloadProgress = -d;
        m.totalBytes = i;
        const auto models = decodeModelList(*encodeModelList({m}));
        QVERIFY(models);
        QCOMPARE(models->at(0).downloadSpeed, d);
        QCOMPARE(models->at(0).downloadProgress, -d);
        QCOMPARE(models->at(0).totalBytes, i);

        ChatSession s = sampleSession();
        s.createdAt = Date::fromSecondsSince2001(d);
        s.messages[0].attachedFiles->first().fileSize = i;
        const auto back = decodeSessionDocument(*encodeSessionDocument(s));
        QVERIFY(back);
        QCOMPARE(back->createdAt.secondsSince2001(), d);
        QCOMPARE(back->messages[0].attachedFiles->first().fileSize, i);
    }

    // A date read from a conversation file is written back as the same number,
    // even when the file spells it with more digits than a double holds.
    void dateWrittenBackUnchanged()
    {
        for (const QByteArray text : {"786000000.123456789", "0", "-1.5e3", "7.86e8", "123"}) {
            QJsonObject o = validObject("session");
            o.insert("createdAt", jsonValue(text));
            const auto s = decodeChatSession(o);
            QVERIFY(s);
            const QByteArray written = *encodeSessionDocument(*s);
            const double expected = jsonValue(text).toDouble();
            QCOMPARE(QJsonDocument::fromJson(written).object().value("createdAt").toDouble(), expected);
            QCOMPARE(*encodeSessionDocument(*decodeSessionDocument(written)), written);
        }
    }

    void equality()
    {
        AIModel a = sampleModel();
        AIModel b = a;
        b.downloadProgress = 0.9;
        b.name = QStringLiteral("other");
        b.isDownloaded = false;
        QVERIFY(a == b);
        b.id = kId3;
        QVERIFY(!(a == b));

        const Modelfile mf{QStringLiteral("p"), QStringLiteral("s"), QStringLiteral("t"),
                           {{QStringLiteral("k"), QStringLiteral("v")}}};
        QVERIFY(mf == Modelfile(mf));
        Modelfile x = mf;
        x.fromPath += 'x';
        QVERIFY(!(x == mf));
        x = mf;
        x.systemPrompt += 'x';
        QVERIFY(!(x == mf));
        x = mf;
        x.templateText += 'x';
        QVERIFY(!(x == mf));
        x = mf;
        x.parameters[QStringLiteral("k")] = QStringLiteral("w");
        QVERIFY(!(x == mf));
    }

    void freshRecords()
    {
        const double before = Date::now().secondsSince1970();
        const AIModel m = AIModel::make(QStringLiteral("n"), QStringLiteral("u"));
        const ChatSession s1 = ChatSession::make();
        const ChatSession s2 = ChatSession::make();
        const ChatMessage msg = ChatMessage::make(QStringLiteral("hi"), true);
        QVERIFY(!m.id.isNull() && !s1.id.isNull() && !msg.id.isNull());
        QVERIFY(s1.id != s2.id && m.id != s1.id);
        QCOMPARE(s1.title, QStringLiteral("New Chat"));
        QVERIFY(s1.messages.isEmpty());
        QVERIFY(!msg.attachedFiles.has_value());
        QVERIFY(m.createdAt.secondsSince1970() >= before);
        QVERIFY(msg.timestamp >= s2.createdAt);
        const double wall = QDateTime::currentMSecsSinceEpoch() / 1000.0;
        QVERIFY(std::fabs(msg.timestamp.secondsSince1970() - wall) < 2.0);

        // Sub-second precision: a whole number three times in a row would
        // mean the fraction is dropped.
        bool fraction = false;
        for (int i = 0; i < 3 && !fraction; ++i)
            fraction = std::fmod(Date::now().secondsSince2001(), 1.0) != 0.0;
        QVERIFY(fraction);
    }

    void errorDescriptions_data()
    {
        QTest::addColumn<int>("which");
        QTest::addColumn<QString>("text");
        QTest::newRow("download") << 0 << "Download failed: disk full";
        QTest::newRow("llama") << 1 << "Llama.cpp error: boom";
        QTest::newRow("http")
            << 2 << "Server returned HTTP 404. The file may have been moved, renamed, or require authentication.";
        QTest::newRow("not found") << 3 << "Model not found";
        QTest::newRow("format") << 4 << "Invalid model format";
        QTest::newRow("network") << 5 << "Network connection error";
    }
    void errorDescriptions()
    {
        QFETCH(int, which);
        QFETCH(QString, text);
        const QList<QuorvaneError> errors = {
            QuorvaneError::downloadFailed(QStringLiteral("disk full")),
            QuorvaneError::llamaCppError(QStringLiteral("boom")),
            QuorvaneError::httpError(404),
            QuorvaneError::modelNotFound(),
            QuorvaneError::invalidModelFormat(),
            QuorvaneError::networkError(),
        };
        QCOMPARE(errors.at(which).description(), text);
    }

    void appearance()
    {
        QCOMPARE(appearanceModeString(AppearanceMode::Light), QStringLiteral("light"));
        QCOMPARE(appearanceModeString(AppearanceMode::Dark), QStringLiteral("dark"));
        QCOMPARE(appearanceModeFromString(QStringLiteral("light")), AppearanceMode::Light);
        for (const char *other : {"dark", "Light", " light", "", "system"})
            QCOMPARE(appearanceModeFromString(QString::fromLatin1(other)), AppearanceMode::Dark);
    }
};

QTEST_GUILESS_MAIN(TestRecords)
#include "tst_records.moc"
