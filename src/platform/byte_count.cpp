#include "platform/byte_count.h"

#include <QCoreApplication>

#include <iterator>

namespace {

struct Unit {
    const char *name;
    int decimals;
};

constexpr Unit kUnits[] = {{"KB", 0}, {"MB", 1}, {"GB", 2}, {"TB", 2}, {"PB", 2}, {"EB", 2}};

constexpr quint64 pow10(int n)
{
    quint64 p = 1;
    while (n-- > 0)
        p *= 10;
    return p;
}

} // namespace

// Whole-number arithmetic throughout: the shown digits are the exact value
// rounded half up, which binary floating point cannot promise (5,350,000
// bytes would otherwise show as "5.3 MB").
QString formatByteCount(qint64 bytes)
{
    if (bytes == 0)
        return QCoreApplication::translate("ByteCount", "Zero KB");
    const bool negative = bytes < 0;
    // magnitude as unsigned, so that the smallest value does not overflow
    const quint64 magnitude = negative ? quint64(0) - quint64(bytes) : quint64(bytes);
    const QString sign = negative ? QStringLiteral("-") : QString();
    if (magnitude == 1)
        return sign + QCoreApplication::translate("ByteCount", "1 byte");
    if (magnitude < 1000)
        return sign + QCoreApplication::translate("ByteCount", "%1 bytes").arg(magnitude);

    quint64 unitBytes = 1000;
    const int last = int(std::size(kUnits)) - 1;
    for (int u = 0;; ++u, unitBytes *= 1000) {
        const int decimals = kUnits[u].decimals;
        const quint64 scale = pow10(decimals);
        const quint64 step = unitBytes / scale; // bytes in the last shown digit
        const quint64 remainder = magnitude % step;
        const quint64 shown = magnitude / step + (remainder >= step - remainder ? 1 : 0); // half up
        // move up a unit when rounding would show 1000 or more in this one
        if (shown >= 1000 * scale && u < last)
            continue;
        QString text = QString::number(shown / scale);
        quint64 fraction = shown % scale;
        int digits = decimals;
        while (digits > 0 && fraction % 10 == 0) { // trailing zeros are dropped
            fraction /= 10;
            --digits;
        }
        if (digits > 0)
            text += QLatin1Char('.') + QString::number(fraction).rightJustified(digits, QLatin1Char('0'));
        return sign + text + QLatin1Char(' ') + QLatin1String(kUnits[u].name);
    }
}
