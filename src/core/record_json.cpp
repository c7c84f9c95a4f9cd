#include "core/record_json.h"

#include <QAnyStringView>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>

#include <cmath>

namespace recordjson {

namespace {

// ---- reading ---------------------------------------------------------------

// Where a value sits in the document, for error texts: "" for the top object,
// "[3]" for an element of a top-level array, "[3].messages[0]" further down.
// Built as a chain on the stack and rendered only when an error is reported,
// so that reading a large valid document makes no strings for it.
struct Path {
    const Path *parent = nullptr;
    QAnyStringView key;
    int index = -1;

    QString text() const
    {
        const QString prefix = parent ? parent->text() : QString();
        if (index >= 0)
            return prefix + QLatin1Char('[') + QString::number(index) + QLatin1Char(']');
        if (key.isEmpty())
            return prefix;
        return prefix.isEmpty() ? key.toString() : prefix + QLatin1Char('.') + key.toString();
    }
};

Path keyPath(const Path &at, QAnyStringView key) { return Path{&at, key, -1}; }
Path indexPath(const Path &at, int index) { return Path{&at, {}, index}; }

template <typename T>
std::optional<T> fail(DecodeError *error, const Path &where, const char *what)
{
    if (error) {
        const QString at = where.text();
        error->text = at.isEmpty() ? QString::fromLatin1(what) : at + QLatin1String(": ") + QLatin1String(what);
    }
    return std::nullopt;
}

// Fetches a required key; reports "missing key" when it is not there.
std::optional<QJsonValue> required(const QJsonObject &o, const Path &at, const char *key, DecodeError *error)
{
    const auto it = o.constFind(QLatin1String(key));
    if (it == o.constEnd())
        return fail<QJsonValue>(error, keyPath(at, QLatin1String(key)), "missing key");
    return it.value();
}

std::optional<QString> readString(const QJsonObject &o, const Path &at, const char *key, DecodeError *error)
{
    const auto v = required(o, at, key, error);
    if (!v)
        return std::nullopt;
    if (!v->isString())
        return fail<QString>(error, keyPath(at, QLatin1String(key)), "not a string");
    return v->toString();
}

std::optional<bool> readBool(const QJsonObject &o, const Path &at, const char *key, DecodeError *error)
{
    const auto v = required(o, at, key, error);
    if (!v)
        return std::nullopt;
    if (!v->isBool())
        return fail<bool>(error, keyPath(at, QLatin1String(key)), "not a boolean");
    return v->toBool();
}

std::optional<double> readDouble(const QJsonObject &o, const Path &at, const char *key, DecodeError *error)
{
    const auto v = required(o, at, key, error);
    if (!v)
        return std::nullopt;
    if (!v->isDouble() || !std::isfinite(v->toDouble()))
        return fail<double>(error, keyPath(at, QLatin1String(key)), "not a number");
    return v->toDouble();
}

std::optional<qint64> readInt64(const QJsonObject &o, const Path &at, const char *key, DecodeError *error)
{
    const auto v = required(o, at, key, error);
    if (!v)
        return std::nullopt;
    // Qt keeps every integral number that fits in 64 bits as an integer
    // (1e3 and 1000.0 included) and anything else as a double; toInteger()
    // returns its default for a number it cannot convert exactly, so two
    // different defaults tell 1.5 or 1e19 apart from a real value.
    if (!v->isDouble() || v->toInteger(0) != v->toInteger(1))
        return fail<qint64>(error, keyPath(at, QLatin1String(key)), "not a 64-bit integer");
    return v->toInteger();
}

std::optional<QUuid> readUuid(const QJsonObject &o, const Path &at, const char *key, DecodeError *error)
{
    const auto text = readString(o, at, key, error);
    if (!text)
        return std::nullopt;
    const auto id = parseUuid(*text);
    if (!id)
        return fail<QUuid>(error, keyPath(at, QLatin1String(key)), "not a UUID");
    return id;
}

std::optional<Date> readDate(const QJsonObject &o, const Path &at, const char *key, DateEpoch epoch,
                             DecodeError *error)
{
    const auto s = readDouble(o, at, key, error);
    if (!s)
        return std::nullopt;
    return epoch == DateEpoch::Since2001 ? Date::fromSecondsSince2001(*s) : Date::fromSecondsSince1970(*s);
}

std::optional<AttachedFile> readAttachedFile(const QJsonObject &o, const Path &at, DecodeError *error)
{
    AttachedFile f;
    const auto id = readUuid(o, at, "id", error);
    if (!id)
        return std::nullopt;
    f.id = *id;
    const auto fileName = readString(o, at, "fileName", error);
    if (!fileName)
        return std::nullopt;
    f.fileName = *fileName;
    const auto filePath = readString(o, at, "filePath", error);
    if (!filePath)
        return std::nullopt;
    f.filePath = *filePath;
    const auto fileType = readString(o, at, "fileType", error);
    if (!fileType)
        return std::nullopt;
    f.fileType = *fileType;
    const auto fileSize = readInt64(o, at, "fileSize", error);
    if (!fileSize)
        return std::nullopt;
    f.fileSize = *fileSize;
    return f;
}

// Reads every element of an array as an object with the given reader; the
// first element that fails makes the whole array fail.
template <typename T, typename ReadOne>
std::optional<QList<T>> readObjectArray(const QJsonArray &array, const Path &at, DecodeError *error,
                                        ReadOne readOne)
{
    QList<T> out;
    out.reserve(array.size());
    for (int i = 0; i < array.size(); ++i) {
        const Path where = indexPath(at, i);
        const QJsonValue v = array.at(i);
        if (!v.isObject())
            return fail<QList<T>>(error, where, "not an object");
        auto item = readOne(v.toObject(), where, error);
        if (!item)
            return std::nullopt;
        out.append(std::move(*item));
    }
    return out;
}

std::optional<ChatMessage> readChatMessage(const QJsonObject &o, const Path &at, DecodeError *error)
{
    ChatMessage m;
    const auto id = readUuid(o, at, "id", error);
    if (!id)
        return std::nullopt;
    m.id = *id;
    const auto content = readString(o, at, "content", error);
    if (!content)
        return std::nullopt;
    m.content = *content;
    const auto isFromUser = readBool(o, at, "isFromUser", error);
    if (!isFromUser)
        return std::nullopt;
    m.isFromUser = *isFromUser;
    const auto timestamp = readDate(o, at, "timestamp", DateEpoch::Since2001, error);
    if (!timestamp)
        return std::nullopt;
    m.timestamp = *timestamp;

    // Optional: missing or null is "no attachments"; [] is an empty list.
    const QJsonValue files = o.value(QLatin1String("attachedFiles"));
    if (files.isArray()) {
        auto list = readObjectArray<AttachedFile>(files.toArray(), keyPath(at, QStringLiteral("attachedFiles")),
                                                  error, readAttachedFile);
        if (!list)
            return std::nullopt;
        m.attachedFiles = std::move(*list);
    } else if (!files.isUndefined() && !files.isNull()) {
        return fail<ChatMessage>(error, keyPath(at, QStringLiteral("attachedFiles")), "not an array");
    }
    return m;
}

std::optional<ChatSession> readChatSession(const QJsonObject &o, const Path &at, DecodeError *error)
{
    ChatSession s;
    const auto id = readUuid(o, at, "id", error);
    if (!id)
        return std::nullopt;
    s.id = *id;
    const auto title = readString(o, at, "title", error);
    if (!title)
        return std::nullopt;
    s.title = *title;
    const auto createdAt = readDate(o, at, "createdAt", DateEpoch::Since2001, error);
    if (!createdAt)
        return std::nullopt;
    s.createdAt = *createdAt;

    const auto messages = required(o, at, "messages", error);
    if (!messages)
        return std::nullopt;
    if (!messages->isArray())
        return fail<ChatSession>(error, keyPath(at, QStringLiteral("messages")), "not an array");
    auto list = readObjectArray<ChatMessage>(messages->toArray(), keyPath(at, QStringLiteral("messages")), error,
                                             readChatMessage);
    if (!list)
        return std::nullopt;
    s.messages = std::move(*list);
    return s;
}

std::optional<AIModel> readAIModel(const QJsonObject &o, const Path &at, DecodeError *error)
{
    AIModel m;
    const auto id = readUuid(o, at, "id", error);
    if (!id)
        return std::nullopt;
    m.id = *id;
    const auto name = readString(o, at, "name", error);
    if (!name)
        return std::nullopt;
    m.name = *name;
    const auto url = readString(o, at, "url", error);
    if (!url)
        return std::nullopt;
    m.url = *url;
    const auto isDownloaded = readBool(o, at, "isDownloaded", error);
    if (!isDownloaded)
        return std::nullopt;
    m.isDownloaded = *isDownloaded;
    const auto filePath = readString(o, at, "filePath", error);
    if (!filePath)
        return std::nullopt;
    m.filePath = *filePath;
    const auto size = readString(o, at, "size", error);
    if (!size)
        return std::nullopt;
    m.size = *size;
    const auto downloadProgress = readDouble(o, at, "downloadProgress", error);
    if (!downloadProgress)
        return std::nullopt;
    m.downloadProgress = *downloadProgress;
    const auto downloadedBytes = readInt64(o, at, "downloadedBytes", error);
    if (!downloadedBytes)
        return std::nullopt;
    m.downloadedBytes = *downloadedBytes;
    const auto totalBytes = readInt64(o, at, "totalBytes", error);
    if (!totalBytes)
        return std::nullopt;
    m.totalBytes = *totalBytes;
    const auto downloadSpeed = readDouble(o, at, "downloadSpeed", error);
    if (!downloadSpeed)
        return std::nullopt;
    m.downloadSpeed = *downloadSpeed;
    const auto createdAt = readDate(o, at, "createdAt", DateEpoch::Since1970, error);
    if (!createdAt)
        return std::nullopt;
    m.createdAt = *createdAt;
    // "modelfile" is kept in memory only; whatever the object holds under
    // that key is ignored.
    return m;
}

std::optional<Modelfile> readModelfile(const QJsonObject &o, const Path &at, DecodeError *error)
{
    Modelfile mf;
    const auto fromPath = readString(o, at, "fromPath", error);
    if (!fromPath)
        return std::nullopt;
    mf.fromPath = *fromPath;
    const auto systemPrompt = readString(o, at, "systemPrompt", error);
    if (!systemPrompt)
        return std::nullopt;
    mf.systemPrompt = *systemPrompt;
    const auto templateText = readString(o, at, "template", error);
    if (!templateText)
        return std::nullopt;
    mf.templateText = *templateText;

    const auto parameters = required(o, at, "parameters", error);
    if (!parameters)
        return std::nullopt;
    const Path paramsAt = keyPath(at, QStringLiteral("parameters"));
    if (!parameters->isObject())
        return fail<Modelfile>(error, paramsAt, "not an object");
    const QJsonObject params = parameters->toObject();
    for (auto it = params.constBegin(); it != params.constEnd(); ++it) {
        if (!it.value().isString())
            return fail<Modelfile>(error, keyPath(paramsAt, it.key()), "not a string");
        mf.parameters.insert(it.key(), it.value().toString());
    }
    return mf;
}

std::optional<QJsonDocument> parse(const QByteArray &json, DecodeError *error)
{
    // The parser rejects bytes that are not UTF-8 (inside strings they give
    // "invalid UTF8 string", elsewhere they are not JSON at all).
    QJsonParseError parseError;
    QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        if (error)
            error->text = QStringLiteral("invalid JSON: %1 at offset %2")
                              .arg(parseError.errorString())
                              .arg(parseError.offset);
        return std::nullopt;
    }
    return doc;
}

template <typename T, typename ReadOne>
std::optional<QList<T>> decodeArrayDocument(const QByteArray &json, DecodeError *error, ReadOne readOne)
{
    const auto doc = parse(json, error);
    if (!doc)
        return std::nullopt;
    if (!doc->isArray())
        return fail<QList<T>>(error, Path{}, "not a JSON array");
    return readObjectArray<T>(doc->array(), Path{}, error, readOne);
}

// ---- writing ---------------------------------------------------------------

// JSON has no NaN or infinity; Qt would write them as null, which would make
// the stored value unreadable, so such a record is not encoded at all.
bool finite(double d)
{
    return std::isfinite(d);
}

QJsonValue dateValue(const Date &d, DateEpoch epoch)
{
    return epoch == DateEpoch::Since2001 ? d.secondsSince2001() : d.secondsSince1970();
}

QByteArray compact(const QJsonDocument &doc)
{
    return doc.toJson(QJsonDocument::Compact);
}

} // namespace

std::optional<QJsonObject> encode(const AttachedFile &file)
{
    QJsonObject o;
    o.insert(QLatin1String("id"), canonicalUuid(file.id));
    o.insert(QLatin1String("fileName"), file.fileName);
    o.insert(QLatin1String("filePath"), file.filePath);
    o.insert(QLatin1String("fileType"), file.fileType);
    o.insert(QLatin1String("fileSize"), file.fileSize);
    return o;
}

std::optional<QJsonObject> encode(const ChatMessage &message)
{
    if (!finite(message.timestamp.secondsSince2001()))
        return std::nullopt;
    QJsonObject o;
    o.insert(QLatin1String("id"), canonicalUuid(message.id));
    o.insert(QLatin1String("content"), message.content);
    o.insert(QLatin1String("isFromUser"), message.isFromUser);
    o.insert(QLatin1String("timestamp"), dateValue(message.timestamp, DateEpoch::Since2001));
    if (message.attachedFiles) {
        QJsonArray files;
        for (const AttachedFile &f : *message.attachedFiles) {
            const auto fo = encode(f);
            if (!fo)
                return std::nullopt;
            files.append(*fo);
        }
        o.insert(QLatin1String("attachedFiles"), files);
    }
    return o;
}

std::optional<QJsonObject> encode(const ChatSession &session)
{
    if (!finite(session.createdAt.secondsSince2001()))
        return std::nullopt;
    QJsonArray messages;
    for (const ChatMessage &m : session.messages) {
        const auto mo = encode(m);
        if (!mo)
            return std::nullopt;
        messages.append(*mo);
    }
    QJsonObject o;
    o.insert(QLatin1String("id"), canonicalUuid(session.id));
    o.insert(QLatin1String("title"), session.title);
    o.insert(QLatin1String("createdAt"), dateValue(session.createdAt, DateEpoch::Since2001));
    o.insert(QLatin1String("messages"), messages);
    return o;
}

std::optional<QJsonObject> encode(const AIModel &model)
{
    if (!finite(model.downloadProgress) || !finite(model.downloadSpeed)
        || !finite(model.createdAt.secondsSince1970()))
        return std::nullopt;
    QJsonObject o;
    o.insert(QLatin1String("id"), canonicalUuid(model.id));
    o.insert(QLatin1String("name"), model.name);
    o.insert(QLatin1String("url"), model.url);
    o.insert(QLatin1String("isDownloaded"), model.isDownloaded);
    o.insert(QLatin1String("filePath"), model.filePath);
    o.insert(QLatin1String("size"), model.size);
    o.insert(QLatin1String("downloadProgress"), model.downloadProgress);
    o.insert(QLatin1String("downloadedBytes"), model.downloadedBytes);
    o.insert(QLatin1String("totalBytes"), model.totalBytes);
    o.insert(QLatin1String("downloadSpeed"), model.downloadSpeed);
    o.insert(QLatin1String("createdAt"), dateValue(model.createdAt, DateEpoch::Since1970));
    return o;
}

QJsonObject encode(const Modelfile &modelfile)
{
    QJsonObject params;
    for (auto it = modelfile.parameters.constBegin(); it != modelfile.parameters.constEnd(); ++it)
        params.insert(it.key(), it.value());
    QJsonObject o;
    o.insert(QLatin1String("fromPath"), modelfile.fromPath);
    o.insert(QLatin1String("systemPrompt"), modelfile.systemPrompt);
    o.insert(QLatin1String("template"), modelfile.templateText);
    o.insert(QLatin1String("parameters"), params);
    return o;
}

std::optional<AttachedFile> decodeAttachedFile(const QJsonObject &o, DecodeError *error)
{
    return readAttachedFile(o, Path{}, error);
}

std::optional<ChatMessage> decodeChatMessage(const QJsonObject &o, DecodeError *error)
{
    return readChatMessage(o, Path{}, error);
}

std::optional<ChatSession> decodeChatSession(const QJsonObject &o, DecodeError *error)
{
    return readChatSession(o, Path{}, error);
}

std::optional<AIModel> decodeAIModel(const QJsonObject &o, DecodeError *error)
{
    return readAIModel(o, Path{}, error);
}

std::optional<Modelfile> decodeModelfile(const QJsonObject &o, DecodeError *error)
{
    return readModelfile(o, Path{}, error);
}

std::optional<QByteArray> encodeSessionDocument(const ChatSession &session)
{
    const auto o = encode(session);
    if (!o)
        return std::nullopt;
    return compact(QJsonDocument(*o));
}

std::optional<ChatSession> decodeSessionDocument(const QByteArray &json, DecodeError *error)
{
    const auto doc = parse(json, error);
    if (!doc)
        return std::nullopt;
    if (!doc->isObject())
        return fail<ChatSession>(error, Path{}, "not a JSON object");
    return readChatSession(doc->object(), Path{}, error);
}

std::optional<QByteArray> encodeModelList(const QList<AIModel> &models)
{
    QJsonArray array;
    for (const AIModel &m : models) {
        const auto o = encode(m);
        if (!o)
            return std::nullopt;
        array.append(*o);
    }
    return compact(QJsonDocument(array));
}

std::optional<QList<AIModel>> decodeModelList(const QByteArray &json, DecodeError *error)
{
    return decodeArrayDocument<AIModel>(json, error, readAIModel);
}

std::optional<QList<ChatSession>> decodeSessionList(const QByteArray &json, DecodeError *error)
{
    return decodeArrayDocument<ChatSession>(json, error, readChatSession);
}

} // namespace recordjson
