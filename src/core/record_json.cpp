#include "core/record_json.h"
#include "core/record_json_nodes.h"

#include <QAnyStringView>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>

#include <simdjson.h>

#include <cmath>
#include <type_traits>

namespace recordjson {

namespace {

// ---- reading ---------------------------------------------------------------

using detail::QtNode;
using detail::SimdNode;

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

bool fail(DecodeError *error, const Path &where, const char *what)
{
    if (error) {
        const QString at = where.text();
        error->text = at.isEmpty() ? QString::fromLatin1(what) : at + QLatin1String(": ") + QLatin1String(what);
    }
    return false;
}

// Each reader fills `out` from an object node and returns false (with the
// error set) at the first key that is missing or of the wrong type.

template <typename Node>
bool readRequired(const Node &o, const Path &at, const char *key, DecodeError *error, Node *out)
{
    auto v = o.field(key);
    if (!v)
        return fail(error, keyPath(at, QLatin1String(key)), "missing key");
    *out = std::move(*v);
    return true;
}

template <typename Node>
bool readString(const Node &o, const Path &at, const char *key, DecodeError *error, QString *out)
{
    Node v = o;
    if (!readRequired(o, at, key, error, &v))
        return false;
    if (!v.isString())
        return fail(error, keyPath(at, QLatin1String(key)), "not a string");
    *out = v.string();
    return true;
}

template <typename Node>
bool readBool(const Node &o, const Path &at, const char *key, DecodeError *error, bool *out)
{
    Node v = o;
    if (!readRequired(o, at, key, error, &v))
        return false;
    if (!v.isBool())
        return fail(error, keyPath(at, QLatin1String(key)), "not a boolean");
    *out = v.boolean();
    return true;
}

template <typename Node>
bool readDouble(const Node &o, const Path &at, const char *key, DecodeError *error, double *out)
{
    Node v = o;
    if (!readRequired(o, at, key, error, &v))
        return false;
    if (!v.isNumber() || !std::isfinite(v.number()))
        return fail(error, keyPath(at, QLatin1String(key)), "not a number");
    *out = v.number();
    return true;
}

template <typename Node>
bool readInt64(const Node &o, const Path &at, const char *key, DecodeError *error, qint64 *out)
{
    Node v = o;
    if (!readRequired(o, at, key, error, &v))
        return false;
    const auto n = v.int64();
    if (!n)
        return fail(error, keyPath(at, QLatin1String(key)), "not a 64-bit integer");
    *out = *n;
    return true;
}

template <typename Node>
bool readUuid(const Node &o, const Path &at, const char *key, DecodeError *error, QUuid *out)
{
    QString text;
    if (!readString(o, at, key, error, &text))
        return false;
    const auto id = parseUuid(text);
    if (!id)
        return fail(error, keyPath(at, QLatin1String(key)), "not a UUID");
    *out = *id;
    return true;
}

template <typename Node>
bool readDate(const Node &o, const Path &at, const char *key, DateEpoch epoch, DecodeError *error, Date *out)
{
    double s = 0;
    if (!readDouble(o, at, key, error, &s))
        return false;
    *out = epoch == DateEpoch::Since2001 ? Date::fromSecondsSince2001(s) : Date::fromSecondsSince1970(s);
    return true;
}

// Reads every element of an array as an object with the given reader; the
// first element that fails makes the whole array fail.
template <typename T, typename Node, typename ReadOne>
bool readObjectArray(const Node &array, const Path &at, DecodeError *error, ReadOne readOne, QList<T> *out)
{
    out->reserve(array.size());
    return array.forEachElement([&](int i, const Node &v) {
        const Path where = indexPath(at, i);
        if (!v.isObject())
            return fail(error, where, "not an object");
        T item;
        if (!readOne(v, where, error, &item))
            return false;
        out->append(std::move(item));
        return true;
    });
}

template <typename Node>
bool readAttachedFile(const Node &o, const Path &at, DecodeError *error, AttachedFile *f)
{
    return readUuid(o, at, "id", error, &f->id) && readString(o, at, "fileName", error, &f->fileName)
           && readString(o, at, "filePath", error, &f->filePath) && readString(o, at, "fileType", error, &f->fileType)
           && readInt64(o, at, "fileSize", error, &f->fileSize);
}

// A reply's figures are a nicety: whatever the "figures" object holds, the
// message stays readable, and a value of the wrong type is an unknown figure.
template <typename Node>
ReplyFigures readFigures(const Node &o)
{
    ReplyFigures f;
    const auto figures = o.field("figures");
    if (!figures || !figures->isObject())
        return f;
    auto number = [&](const char *key) {
        const auto v = figures->field(key);
        return v && v->isNumber() && std::isfinite(v->number()) ? std::optional<double>(v->number()) : std::nullopt;
    };
    auto text = [&](const char *key) {
        const auto v = figures->field(key);
        return v && v->isString() ? v->string() : QString();
    };
    f.secondsToFirstToken = number("secondsToFirstToken");
    f.tokensPerSecond = number("tokensPerSecond");
    if (const auto v = figures->field("tokenCount"); v && v->isNumber())
        f.tokenCount = v->int64();
    f.engineName = text("engine");
    f.modelName = text("model");
    return f;
}

const char *const kKindNames[] = {"", "reply", "notice", "error", "stopped"};

// Like the figures, a message's kind and its other versions never make it
// unreadable: an unknown kind is none, and versions that do not read in
// full (or do not show the message's own text) are left out.
template <typename Node>
MessageKind readKind(const Node &o)
{
    const auto v = o.field("kind");
    if (!v || !v->isString())
        return MessageKind::Unset;
    const QString name = v->string();
    for (int i = 1; i < int(std::size(kKindNames)); ++i) {
        if (name == QLatin1String(kKindNames[i]))
            return MessageKind(i);
    }
    return MessageKind::Unset;
}

template <typename Node>
void readVersions(const Node &o, ChatMessage *m)
{
    const auto array = o.field("versions");
    const auto shown = o.field("shownVersion");
    if (!array || !array->isArray() || !shown || !shown->isNumber())
        return;
    QList<ReplyVersion> versions;
    const bool ok = array->forEachElement([&](int, const Node &v) {
        const auto content = v.isObject() ? v.field("content") : std::nullopt;
        const auto time = v.isObject() ? v.field("timestamp") : std::nullopt;
        if (!content || !content->isString() || !time || !time->isNumber() || !std::isfinite(time->number()))
            return false;
        versions.append({content->string(), Date::fromSecondsSince2001(time->number()), readFigures(v)});
        return true;
    });
    const auto index = shown->int64();
    if (!ok || !index || *index < 0 || *index >= versions.size() || versions.at(*index).content != m->content)
        return;
    m->versions = std::move(versions);
    m->shownVersion = int(*index);
}

template <typename Node>
bool readChatMessage(const Node &o, const Path &at, DecodeError *error, ChatMessage *m)
{
    if (!(readUuid(o, at, "id", error, &m->id) && readString(o, at, "content", error, &m->content)
          && readBool(o, at, "isFromUser", error, &m->isFromUser)
          && readDate(o, at, "timestamp", DateEpoch::Since2001, error, &m->timestamp)))
        return false;
    m->figures = readFigures(o);
    m->kind = readKind(o);
    readVersions(o, m);

    // Optional: missing or null is "no attachments"; [] is an empty list.
    const auto files = o.field("attachedFiles");
    if (!files || files->isNull())
        return true;
    const Path filesAt = keyPath(at, QLatin1String("attachedFiles"));
    if (!files->isArray())
        return fail(error, filesAt, "not an array");
    QList<AttachedFile> list;
    if (!readObjectArray<AttachedFile>(*files, filesAt, error, readAttachedFile<Node>, &list))
        return false;
    m->attachedFiles = std::move(list);
    return true;
}

template <typename Node>
bool readChatSession(const Node &o, const Path &at, DecodeError *error, ChatSession *s)
{
    if (!(readUuid(o, at, "id", error, &s->id) && readString(o, at, "title", error, &s->title)
          && readDate(o, at, "createdAt", DateEpoch::Since2001, error, &s->createdAt)))
        return false;
    const auto manual = o.field("hasManualTitle");
    s->hasManualTitle = manual && manual->isBool() && manual->boolean();
    Node messages = o;
    if (!readRequired(o, at, "messages", error, &messages))
        return false;
    const Path messagesAt = keyPath(at, QLatin1String("messages"));
    if (!messages.isArray())
        return fail(error, messagesAt, "not an array");
    return readObjectArray<ChatMessage>(messages, messagesAt, error, readChatMessage<Node>, &s->messages);
}

template <typename Node>
bool readAIModel(const Node &o, const Path &at, DecodeError *error, AIModel *m)
{
    // "modelfile" is kept in memory only; whatever the object holds under
    // that key is ignored.
    return readUuid(o, at, "id", error, &m->id) && readString(o, at, "name", error, &m->name)
           && readString(o, at, "url", error, &m->url) && readBool(o, at, "isDownloaded", error, &m->isDownloaded)
           && readString(o, at, "filePath", error, &m->filePath) && readString(o, at, "size", error, &m->size)
           && readDouble(o, at, "downloadProgress", error, &m->downloadProgress)
           && readInt64(o, at, "downloadedBytes", error, &m->downloadedBytes)
           && readInt64(o, at, "totalBytes", error, &m->totalBytes)
           && readDouble(o, at, "downloadSpeed", error, &m->downloadSpeed)
           && readDate(o, at, "createdAt", DateEpoch::Since1970, error, &m->createdAt);
}

template <typename Node>
bool readModelfile(const Node &o, const Path &at, DecodeError *error, Modelfile *mf)
{
    if (!(readString(o, at, "fromPath", error, &mf->fromPath)
          && readString(o, at, "systemPrompt", error, &mf->systemPrompt)
          && readString(o, at, "template", error, &mf->templateText)))
        return false;
    Node parameters = o;
    if (!readRequired(o, at, "parameters", error, &parameters))
        return false;
    const Path paramsAt = keyPath(at, QLatin1String("parameters"));
    if (!parameters.isObject())
        return fail(error, paramsAt, "not an object");
    return parameters.forEachMember([&](const QString &name, const Node &value) {
        if (!value.isString())
            return fail(error, keyPath(paramsAt, name), "not a string");
        mf->parameters.insert(name, value.string());
        return true;
    });
}

// Runs one reader on a Qt object.
template <typename T, typename Reader>
std::optional<T> readQtObject(const QJsonObject &o, DecodeError *error, Reader reader)
{
    T out;
    if (!reader(QtNode(o), Path{}, error, &out))
        return std::nullopt;
    return out;
}

static_assert(kDocumentPadding >= qsizetype(simdjson::SIMDJSON_PADDING));

enum class TopLevel { Object, Array };

// Parses a whole document and hands its top value to `read`. The fast
// parser goes first; when it refuses the bytes, Qt's parser has the last
// word, so that what is accepted and the error text (with its offset) stay
// those of Qt's JSON.
template <typename Read>
bool parseDocument(const QByteArray &json, TopLevel top, DecodeError *error, Read read)
{
    {
        // simdjson reads up to SIMDJSON_PADDING bytes past the end; copy
        // only when the array has no such room.
        thread_local simdjson::dom::parser parser;
        const bool padded = json.capacity() - json.size() >= qsizetype(simdjson::SIMDJSON_PADDING);
        simdjson::dom::element root;
        if (!parser.parse(json.constData(), size_t(json.size()), !padded).get(root)) {
            const SimdNode node(root);
            if (top == TopLevel::Object ? !node.isObject() : !node.isArray())
                return fail(error, Path{}, top == TopLevel::Object ? "not a JSON object" : "not a JSON array");
            return read(node);
        }
    }
    // The parser rejects bytes that are not UTF-8 (inside strings they give
    // "invalid UTF8 string", elsewhere they are not JSON at all).
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        if (error)
            error->text = QStringLiteral("invalid JSON: %1 at offset %2")
                              .arg(parseError.errorString())
                              .arg(parseError.offset);
        return false;
    }
    if (top == TopLevel::Object && !doc.isObject())
        return fail(error, Path{}, "not a JSON object");
    if (top == TopLevel::Array && !doc.isArray())
        return fail(error, Path{}, "not a JSON array");
    return read(top == TopLevel::Object ? QtNode(doc.object()) : QtNode(doc.array()));
}

template <typename T>
std::optional<QList<T>> decodeArrayDocument(const QByteArray &json, DecodeError *error)
{
    QList<T> out;
    const bool ok = parseDocument(json, TopLevel::Array, error, [&](const auto &node) {
        using Node = std::decay_t<decltype(node)>;
        if constexpr (std::is_same_v<T, AIModel>)
            return readObjectArray<T>(node, Path{}, error, readAIModel<Node>, &out);
        else
            return readObjectArray<T>(node, Path{}, error, readChatSession<Node>, &out);
    });
    if (!ok)
        return std::nullopt;
    return out;
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

// Only the known figures are written; a figure JSON cannot hold is left out.
QJsonObject figuresObject(const ReplyFigures &f)
{
    QJsonObject o;
    if (f.secondsToFirstToken && finite(*f.secondsToFirstToken))
        o.insert(QLatin1String("secondsToFirstToken"), *f.secondsToFirstToken);
    if (f.tokensPerSecond && finite(*f.tokensPerSecond))
        o.insert(QLatin1String("tokensPerSecond"), *f.tokensPerSecond);
    if (f.tokenCount)
        o.insert(QLatin1String("tokenCount"), *f.tokenCount);
    if (!f.engineName.isEmpty())
        o.insert(QLatin1String("engine"), f.engineName);
    if (!f.modelName.isEmpty())
        o.insert(QLatin1String("model"), f.modelName);
    return o;
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
    if (const QJsonObject figures = figuresObject(message.figures); !figures.isEmpty())
        o.insert(QLatin1String("figures"), figures);
    if (message.kind != MessageKind::Unset)
        o.insert(QLatin1String("kind"), QLatin1String(kKindNames[int(message.kind)]));
    if (!message.versions.isEmpty()) {
        QJsonArray versions;
        for (const ReplyVersion &v : message.versions) {
            if (!finite(v.timestamp.secondsSince2001()))
                return std::nullopt;
            QJsonObject vo{{QLatin1String("content"), v.content},
                           {QLatin1String("timestamp"), dateValue(v.timestamp, DateEpoch::Since2001)}};
            if (const QJsonObject figures = figuresObject(v.figures); !figures.isEmpty())
                vo.insert(QLatin1String("figures"), figures);
            versions.append(vo);
        }
        o.insert(QLatin1String("versions"), versions);
        o.insert(QLatin1String("shownVersion"), message.shownVersion);
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
    if (session.hasManualTitle)
        o.insert(QLatin1String("hasManualTitle"), true);
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
    return readQtObject<AttachedFile>(o, error, readAttachedFile<QtNode>);
}

std::optional<ChatMessage> decodeChatMessage(const QJsonObject &o, DecodeError *error)
{
    return readQtObject<ChatMessage>(o, error, readChatMessage<QtNode>);
}

std::optional<ChatSession> decodeChatSession(const QJsonObject &o, DecodeError *error)
{
    return readQtObject<ChatSession>(o, error, readChatSession<QtNode>);
}

std::optional<AIModel> decodeAIModel(const QJsonObject &o, DecodeError *error)
{
    return readQtObject<AIModel>(o, error, readAIModel<QtNode>);
}

std::optional<Modelfile> decodeModelfile(const QJsonObject &o, DecodeError *error)
{
    return readQtObject<Modelfile>(o, error, readModelfile<QtNode>);
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
    ChatSession session;
    const bool ok = parseDocument(json, TopLevel::Object, error, [&](const auto &node) {
        return readChatSession(node, Path{}, error, &session);
    });
    if (!ok)
        return std::nullopt;
    return session;
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
    return decodeArrayDocument<AIModel>(json, error);
}

std::optional<QList<ChatSession>> decodeSessionList(const QByteArray &json, DecodeError *error)
{
    return decodeArrayDocument<ChatSession>(json, error);
}

} // namespace recordjson
