#pragma once

#include <QDateTime>

// A wall-clock instant kept as seconds (with fraction) since 2001-01-01
// 00:00:00 UTC, the epoch conversation files use, so that a date read from a
// file is written back as the very same number.
class Date {
public:
    static constexpr double kSecondsFrom1970To2001 = 978307200.0;

    constexpr Date() = default;

    static Date now();
    static constexpr Date distantPast() { return Date(-63114076800.0); } // year 1
    static constexpr Date fromSecondsSince2001(double s) { return Date(s); }
    static constexpr Date fromSecondsSince1970(double s) { return Date(s - kSecondsFrom1970To2001); }

    constexpr double secondsSince2001() const { return m_since2001; }
    constexpr double secondsSince1970() const { return m_since2001 + kSecondsFrom1970To2001; }
    QDateTime toDateTime() const;

    // Seconds from other to this (positive when this is later).
    constexpr double secondsSince(const Date &other) const { return m_since2001 - other.m_since2001; }
    constexpr Date addingSeconds(double s) const { return Date(m_since2001 + s); }

    friend constexpr bool operator==(const Date &a, const Date &b) { return a.m_since2001 == b.m_since2001; }
    friend constexpr auto operator<=>(const Date &a, const Date &b) { return a.m_since2001 <=> b.m_since2001; }

private:
    constexpr explicit Date(double since2001) : m_since2001(since2001) {}
    double m_since2001 = 0.0;
};
