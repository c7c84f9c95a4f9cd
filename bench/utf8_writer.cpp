// Writes the mixed UTF-8 text of utf8_mix.h to standard output in writes of
// random sizes, for the streaming benchmark. The text is made before the
// first write, so the reader sees the pipe's pace, not the generator's.
//
//   utf8_writer <bytes> <seed>

#include "utf8_mix.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <random>

#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: utf8_writer <bytes> <seed>\n");
        return 2;
    }
    const long long size = std::atoll(argv[1]);
    const std::uint64_t seed = std::strtoull(argv[2], nullptr, 10);
    const utf8mix::Text text = utf8mix::generate(size, seed);

    std::mt19937_64 rng(seed + 1);
    std::uniform_int_distribution<size_t> chunk(1, 16384);
    size_t done = 0;
    while (done < text.bytes.size()) {
        const size_t want = std::min(chunk(rng), text.bytes.size() - done);
        size_t sent = 0;
        while (sent < want) {
            const ssize_t n = ::write(1, text.bytes.data() + done + sent, want - sent);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return 98;
            sent += size_t(n);
        }
        done += want;
    }
    return 0;
}
