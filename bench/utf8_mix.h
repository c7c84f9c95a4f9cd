#pragma once

// Mixed UTF-8 text for the streaming benchmark, the same for a given size and
// seed in the writer program and in the benchmark that checks what arrived.

#include <cstdint>
#include <random>
#include <string>

namespace utf8mix {

struct Text {
    std::string bytes;
    long long codePoints = 0;
    long long utf16Units = 0; // what a QString of the text holds
};

inline void append(std::string &out, char32_t c)
{
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

// Exactly `size` bytes of valid UTF-8: about 40% one-byte characters
// (printable ASCII and line breaks), 25% two-byte, 20% three-byte (no
// surrogates, no byte order mark) and 15% four-byte. The tail is filled up
// with ASCII so that the size is exact.
inline Text generate(long long size, std::uint64_t seed)
{
    Text t;
    t.bytes.reserve(size_t(size));
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<int> kind(0, 99);
    std::uniform_int_distribution<std::uint32_t> ascii(0x20, 0x7F); // 0x7F stands for '\n'
    std::uniform_int_distribution<std::uint32_t> two(0x80, 0x7FF);
    std::uniform_int_distribution<std::uint32_t> three(0x800, 0xFFFF - 0x800 - 1);
    std::uniform_int_distribution<std::uint32_t> four(0x10000, 0x10FFFF);
    while (static_cast<long long>(t.bytes.size()) + 4 <= size) {
        const int k = kind(rng);
        char32_t c;
        if (k < 40) {
            c = ascii(rng);
            if (c == 0x7F)
                c = '\n';
        } else if (k < 65) {
            c = two(rng);
        } else if (k < 85) {
            c = three(rng);
            if (c >= 0xD800) // skip the surrogates
                c += 0x800;
            if (c == 0xFEFF)
                c = 0xFEFE;
        } else {
            c = four(rng);
        }
        append(t.bytes, c);
        ++t.codePoints;
        t.utf16Units += c >= 0x10000 ? 2 : 1;
    }
    while (static_cast<long long>(t.bytes.size()) < size) {
        t.bytes += 'x';
        ++t.codePoints;
        ++t.utf16Units;
    }
    return t;
}

} // namespace utf8mix
