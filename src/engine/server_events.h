#pragma once

#include "engine/reply_backend.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// Server-sent events (text/event-stream) as llama-server and OpenAI-style
// servers stream replies, and the reply pieces inside them.

// One complete event: its data lines joined by "\n" (UTF-8 bytes as sent),
// and its "event:" name when it had one.
struct ServerEvent {
    QByteArray data;
    QByteArray name;

    // The "data: [DONE]" that ends an OpenAI-style stream.
    bool isDone() const { return data == "[DONE]"; }
    bool operator==(const ServerEvent &) const = default;
};

// Splits a stream into events as its bytes arrive. The bytes may be cut
// anywhere: inside a line, between "\r" and "\n", inside a UTF-8 character.
// Lines end with "\n", "\r\n" or "\r"; a blank line ends an event; comment
// lines (starting with ":"), "id:", "retry:" and unknown fields are skipped;
// an event without data lines is not reported. Not thread-safe: one reader
// per stream, used by one thread at a time.
class ServerEventReader {
public:
    // The events that the new bytes complete, in order.
    QList<ServerEvent> feed(const QByteArray &bytes);
    // Some bytes of an event arrived but not the blank line that ends it
    // (what a stream cut off inside an event leaves behind).
    bool hasPartialEvent() const;

private:
    void takeLine(const QByteArray &line, QList<ServerEvent> &out);

    QByteArray m_line;   // the current line, without its end
    QByteArray m_data;   // data lines of the current event, each followed by "\n"
    QByteArray m_name;
    bool m_dataSeen = false;
    bool m_afterCR = false;   // the last byte was "\r": a "\n" right after it ends nothing
    bool m_started = false;   // past a leading byte-order mark
};

// The two streaming APIs replies are read from: llama-server's own
// "/completion" and the OpenAI-compatible "/v1/completions" (llama-server,
// vLLM, Ollama).
enum class ServerApi { LlamaCompletion, OpenAICompletions };

// Why the server ended a reply.
enum class FinishReason {
    None,       // not said (yet)
    EndOfText,  // the model ended it, or a stop word ("eos", "word", "stop")
    Limit,      // the token limit ("limit", "length")
    Other,      // anything else the server named (finishText tells)
};

// Figures a server reports about a reply, each when it said so.
struct ServerFigures {
    std::optional<qint64> promptTokens;     // the whole prompt, reused tokens included
    std::optional<qint64> cachedTokens;     // prompt tokens reused from the previous request
    std::optional<qint64> generatedTokens;
    std::optional<double> promptMs;         // reading the prompt
    std::optional<double> generationMs;     // generating
    std::optional<double> tokensPerSecond;  // generation speed

    bool isEmpty() const
    {
        return !promptTokens && !cachedTokens && !generatedTokens && !promptMs && !generationMs && !tokensPerSecond;
    }
};

// What one event means for the reply.
struct ReplyPiece {
    enum class Kind {
        Text,    // new text (possibly empty), possibly the last piece (isFinal)
        Done,    // "[DONE]": the stream ends
        Error,   // the server reported an error in the stream; message tells
        Invalid, // the event is not a JSON object; message tells
    };
    Kind kind = Kind::Text;
    QString text;
    bool isFinal = false;           // the server ended the reply with this piece
    FinishReason finish = FinishReason::None;
    QString finishText;             // the server's own word for it ("eos", "length", ...)
    ServerFigures figures;
    QString message;

    // After this piece no more text is expected.
    bool endsReply() const { return kind != Kind::Text || isFinal; }
};

// Decodes one event of a stream in the given API's format. Never throws:
// anything that is not a JSON object is an Invalid piece.
ReplyPiece decodeReplyEvent(ServerApi api, const ServerEvent &event);

// The server's own message in an error body or error event: "error" as an
// object with "message" or as a string, or a top-level "message" or
// "detail". Empty when the bytes hold none.
QString serverErrorMessage(const QByteArray &json);

// The JSON body of a streamed request for a reply to prompt, with the
// sampling values of the process engine's command line. model names the
// model for the OpenAI API (llama-server's own API ignores it).
QByteArray replyRequestBody(ServerApi api, const QString &prompt, const QString &model = QString(),
                            const SamplingValues &sampling = {});
