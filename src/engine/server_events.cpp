#include "engine/server_events.h"

#include "engine/generation_run.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// The texts of this file shown to the user, translated in the context "Replies".
struct Text {
    Q_DECLARE_TR_FUNCTIONS(Replies)
};

} // namespace

QList<ServerEvent> ServerEventReader::feed(const QByteArray &bytes)
{
    QList<ServerEvent> out;
    for (const char c : bytes) {
        if (c == '\n' && m_afterCR) { // the second half of "\r\n"
            m_afterCR = false;
            continue;
        }
        m_afterCR = c == '\r';
        if (c != '\n' && c != '\r') {
            m_line += c;
            continue;
        }
        takeLine(m_line, out);
        m_line.clear();
    }
    return out;
}

bool ServerEventReader::hasPartialEvent() const { return !m_line.isEmpty() || m_dataSeen || !m_name.isEmpty(); }

void ServerEventReader::takeLine(const QByteArray &rawLine, QList<ServerEvent> &out)
{
    QByteArray line = rawLine;
    if (!m_started) {
        m_started = true;
        if (line.startsWith("\xEF\xBB\xBF"))
            line.remove(0, 3);
    }
    if (line.isEmpty()) { // the end of an event
        if (m_dataSeen) {
            m_data.chop(1); // the "\n" after the last data line
            out.append(ServerEvent{m_data, m_name});
        }
        m_data.clear();
        m_name.clear();
        m_dataSeen = false;
        return;
    }
    if (line.startsWith(':'))
        return; // a comment (servers send them to keep the connection open)
    const qsizetype colon = line.indexOf(':');
    const QByteArray field = colon < 0 ? line : line.left(colon);
    QByteArray value = colon < 0 ? QByteArray() : line.mid(colon + 1);
    if (value.startsWith(' '))
        value.remove(0, 1);
    if (field == "data") {
        m_data += value;
        m_data += '\n';
        m_dataSeen = true;
    } else if (field == "event") {
        m_name = value;
    }
}

namespace {

std::optional<qint64> integerField(const QJsonObject &object, const char *key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    const double number = value.toDouble();
    // a count that does not fit in 64 bits is not one
    if (!value.isDouble() || !(number >= -9223372036854775808.0 && number < 9223372036854775808.0))
        return std::nullopt;
    return qint64(number);
}

std::optional<double> numberField(const QJsonObject &object, const char *key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    return value.isDouble() ? std::optional<double>(value.toDouble()) : std::nullopt;
}

// llama-server's "timings" (both APIs carry them).
void readTimings(const QJsonObject &timings, ServerFigures &figures)
{
    const auto evaluated = integerField(timings, "prompt_n");
    figures.cachedTokens = integerField(timings, "cache_n");
    if (evaluated)
        figures.promptTokens = *evaluated + figures.cachedTokens.value_or(0);
    figures.generatedTokens = integerField(timings, "predicted_n");
    figures.promptMs = numberField(timings, "prompt_ms");
    figures.generationMs = numberField(timings, "predicted_ms");
    figures.tokensPerSecond = numberField(timings, "predicted_per_second");
}

// The OpenAI "usage" object; llama-server's timings, when present, win.
void readUsage(const QJsonObject &usage, ServerFigures &figures)
{
    if (!figures.promptTokens)
        figures.promptTokens = integerField(usage, "prompt_tokens");
    if (!figures.generatedTokens)
        figures.generatedTokens = integerField(usage, "completion_tokens");
    if (!figures.cachedTokens)
        figures.cachedTokens = integerField(usage.value(QLatin1String("prompt_tokens_details")).toObject(),
                                            "cached_tokens");
}

void setFinish(ReplyPiece &piece, const QString &word)
{
    piece.isFinal = true;
    piece.finishText = word;
    if (word == QLatin1String("eos") || word == QLatin1String("word") || word == QLatin1String("stop"))
        piece.finish = FinishReason::EndOfText;
    else if (word == QLatin1String("limit") || word == QLatin1String("length"))
        piece.finish = FinishReason::Limit;
    else if (word.isEmpty() || word == QLatin1String("none"))
        piece.finish = FinishReason::None;
    else
        piece.finish = FinishReason::Other;
}

QString errorMessageOf(const QJsonObject &object)
{
    const QJsonValue error = object.value(QLatin1String("error"));
    if (error.isString())
        return error.toString();
    if (error.isObject()) {
        const QJsonObject e = error.toObject();
        const QString message = e.value(QLatin1String("message")).toString();
        if (!message.isEmpty())
            return message;
        const QString type = e.value(QLatin1String("type")).toString();
        return type.isEmpty() ? Text::tr("The server reported an error.") : type;
    }
    for (const char *key : {"message", "detail"}) {
        const QJsonValue value = object.value(QLatin1String(key));
        if (value.isString() && !value.toString().isEmpty())
            return value.toString();
    }
    return QString();
}

} // namespace

ReplyPiece decodeReplyEvent(ServerApi api, const ServerEvent &event)
{
    ReplyPiece piece;
    if (event.isDone()) {
        piece.kind = ReplyPiece::Kind::Done;
        return piece;
    }
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(event.data, &parseError);
    if (!document.isObject()) {
        piece.kind = ReplyPiece::Kind::Invalid;
        const QString shown = QString::fromUtf8(event.data.left(80));
        piece.message = Text::tr("The server sent an event that is not JSON: %1").arg(shown);
        return piece;
    }
    const QJsonObject object = document.object();
    const QJsonValue error = object.value(QLatin1String("error"));
    if (error.isObject() || error.isString() || event.name == "error") {
        piece.kind = ReplyPiece::Kind::Error;
        piece.message = errorMessageOf(object);
        if (piece.message.isEmpty())
            piece.message = Text::tr("The server reported an error.");
        return piece;
    }
    readTimings(object.value(QLatin1String("timings")).toObject(), piece.figures);
    if (api == ServerApi::LlamaCompletion) {
        piece.text = object.value(QLatin1String("content")).toString();
        if (object.value(QLatin1String("stop")).toBool())
            setFinish(piece, object.value(QLatin1String("stop_type")).toString());
        return piece;
    }
    readUsage(object.value(QLatin1String("usage")).toObject(), piece.figures);
    const QJsonObject choice = object.value(QLatin1String("choices")).toArray().at(0).toObject();
    piece.text = choice.value(QLatin1String("text")).toString();
    const QJsonValue finish = choice.value(QLatin1String("finish_reason"));
    if (finish.isString())
        setFinish(piece, finish.toString());
    return piece;
}

QString serverErrorMessage(const QByteArray &json)
{
    const QJsonDocument document = QJsonDocument::fromJson(json);
    return document.isObject() ? errorMessageOf(document.object()) : QString();
}

QByteArray replyRequestBody(ServerApi api, const QString &prompt, const QString &model, const SamplingValues &sampling)
{
    QJsonObject body{
        {QStringLiteral("prompt"), prompt},
        {QStringLiteral("stream"), true},
        {QStringLiteral("temperature"), floatArgument(sampling.temperature).toDouble()},
        {QStringLiteral("top_p"), floatArgument(sampling.topP).toDouble()},
        {QStringLiteral("top_k"), sampling.topK},
    };
    if (api == ServerApi::LlamaCompletion) {
        body.insert(QStringLiteral("n_predict"), sampling.maxTokens);
        body.insert(QStringLiteral("cache_prompt"), true);
        body.insert(QStringLiteral("repeat_penalty"), floatArgument(sampling.repeatPenalty).toDouble());
        body.insert(QStringLiteral("repeat_last_n"), sampling.repeatLastN);
    } else {
        // The repeat penalty of 1.0 is off, every server's default, and has
        // no name in this API that all of them take.
        body.insert(QStringLiteral("model"), model);
        body.insert(QStringLiteral("max_tokens"), sampling.maxTokens);
        // the token count of the reply, from servers that only send it when asked
        body.insert(QStringLiteral("stream_options"), QJsonObject{{QStringLiteral("include_usage"), true}});
    }
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}
