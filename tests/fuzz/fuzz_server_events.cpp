// The event stream of a server engine: cut into events however its bytes
// arrive (the input's first byte cuts it), each event decoded as a reply
// piece of both APIs and read for the server's error message.
#include "engine/server_events.h"

#include <QLoggingCategory>

#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    QLoggingCategory::setFilterRules(QStringLiteral("com.quorvane.*=false"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t step = size_t(data[0] % 13) + 1;
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    ServerEventReader pieces;
    QList<ServerEvent> events;
    for (qsizetype at = 0; at < bytes.size(); at += qsizetype(step))
        events += pieces.feed(bytes.mid(at, qsizetype(step)));
    ServerEventReader whole;
    if (events != whole.feed(bytes) || pieces.hasPartialEvent() != whole.hasPartialEvent())
        std::abort(); // cutting the stream changed the events
    for (const ServerEvent &event : std::as_const(events)) {
        for (const ServerApi api : {ServerApi::LlamaCompletion, ServerApi::OpenAICompletions}) {
            const ReplyPiece piece = decodeReplyEvent(api, event);
            if (piece.kind == ReplyPiece::Kind::Invalid && piece.message.isEmpty())
                std::abort();
        }
        serverErrorMessage(event.data);
    }
    return 0;
}
