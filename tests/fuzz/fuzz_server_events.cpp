// The event stream of a server engine: cut into events however its bytes
// arrive (the input's first byte cuts it), each event decoded as a reply
// piece of both APIs and read for the server's error message.
#include "engine/server_events.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray bytes = inputBytes(data + 1, size - 1);
    ServerEventReader pieces, whole;
    const QList<ServerEvent> events =
        inPieces(bytes, data[0] % 13 + 1, [&](const QByteArray &b) { return pieces.feed(b); });
    // cutting the stream must not change the events
    require(events == whole.feed(bytes) && pieces.hasPartialEvent() == whole.hasPartialEvent());
    for (const ServerEvent &event : events) {
        for (const ServerApi api : {ServerApi::LlamaCompletion, ServerApi::OpenAICompletions}) {
            const ReplyPiece piece = decodeReplyEvent(api, event);
            require(piece.kind != ReplyPiece::Kind::Invalid || !piece.message.isEmpty());
        }
        serverErrorMessage(event.data);
    }
    return 0;
}
