// What every fuzz target shares: quiet logs, the input as bytes, a failed
// property as a crash the fuzzer keeps, and a stream fed in pieces.
#pragma once

#include <QByteArray>
#include <QLoggingCategory>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    QLoggingCategory::setFilterRules(QStringLiteral("com.quorvane.*=false"));
    return 0;
}

inline QByteArray inputBytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
}

inline void require(bool holds)
{
    if (!holds)
        std::abort();
}

// What feed gives for bytes handed over step bytes at a time.
template <class Feed>
auto inPieces(const QByteArray &bytes, qsizetype step, Feed feed)
{
    decltype(feed(bytes)) out;
    for (qsizetype at = 0; at < bytes.size(); at += step)
        out += feed(bytes.mid(at, step));
    return out;
}
