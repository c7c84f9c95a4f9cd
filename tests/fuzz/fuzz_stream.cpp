// The standard output of llama-completion as it streams in: decoded piece by
// piece (the input's first byte cuts it into pieces) and cleaned. Decoding in
// pieces gives what decoding at once gives; the cleaned reply is trimmed and
// has no run of three line breaks.
#include "engine/generation_run.h"
#include "engine/reply_trim.h"
#include "engine/response_cleaning.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray bytes = inputBytes(data + 1, size - 1);
    Utf8StreamDecoder pieces, whole;
    const QString streamed = inPieces(bytes, data[0] % 7 + 1, [&](const QByteArray &b) { return pieces.decode(b); });
    require(streamed == whole.decode(bytes)); // cutting the stream changed the text

    const QString reply = cleanResponse(streamed);
    require(trimReply(reply) == reply && !reply.contains(QStringLiteral("\n\n\n")));
    collapseSpacesOutsideCode(streamed);
    return 0;
}
