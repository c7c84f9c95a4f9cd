#include "core/date.h"

#include <chrono>
#include <cmath>

namespace {
constexpr qint64 kNanosFrom1970To2001 = qint64(978307200) * 1000000000;
}

Date Date::now()
{
    using namespace std::chrono;
    // Subtract the epochs in whole nanoseconds first, so the only rounding is
    // the final conversion to double.
    const qint64 ns1970 = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    const qint64 ns2001 = ns1970 - kNanosFrom1970To2001;
    const qint64 whole = ns2001 / 1000000000;
    const qint64 frac = ns2001 % 1000000000;
    return Date(double(whole) + double(frac) / 1e9);
}

QDateTime Date::toDateTime() const
{
    if (!std::isfinite(m_since2001))
        return QDateTime();
    // Whole milliseconds; QDateTime has no finer resolution.
    const double ms = std::round(m_since2001 * 1000.0);
    // Beyond what QDateTime can represent (about +/- 292 million years).
    if (std::fabs(ms) > 9.0e18)
        return QDateTime();
    return QDateTime::fromMSecsSinceEpoch(qint64(ms) + qint64(978307200) * 1000);
}
