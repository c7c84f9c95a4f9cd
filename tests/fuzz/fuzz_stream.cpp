// The standard output of llama-completion as it streams in: decoded piece by
// piece (the input's first byte cuts it into pieces) and cleaned. Decoding in
// pieces gives what decoding at once gives; the cleaned reply is trimmed and
// has no run of three line breaks.
#include "engine/generation_run.h"
#include "engine/reply_trim.h"
#include "engine/response_cleaning.h"

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
    const size_t step = size_t(data[0] % 7) + 1;
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    Utf8StreamDecoder pieces;
    QString streamed;
    for (qsizetype at = 0; at < bytes.size(); at += qsizetype(step))
        streamed += pieces.decode(bytes.mid(at, qsizetype(step)));
    Utf8StreamDecoder whole;
    if (streamed != whole.decode(bytes))
        std::abort(); // cutting the stream changed the text

    const QString reply = cleanResponse(streamed);
    if (trimReply(reply) != reply || reply.contains(QStringLiteral("\n\n\n")))
        std::abort();
    collapseSpacesOutsideCode(streamed);
    return 0;
}
