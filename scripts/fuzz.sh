#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer included) into ./build-fuzz, once, and runs each
# for the given seconds (default 60) on its seed corpus plus what earlier runs
# found. Prints the executions of each and exits 1 when any target found a
# crash, a hang or a sanitizer report; the input is kept in
# build-fuzz/artifacts.
#   bash scripts/fuzz.sh [seconds] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
targets=(fuzz_conversation fuzz_model_list fuzz_release_list fuzz_stream fuzz_server_events fuzz_markdown
         fuzz_attachment_text)
if [ $# -gt 0 ]; then
    targets=("$@")
fi

launcher=()
if command -v ccache >/dev/null 2>&1; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
flags="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
if [ ! -f build-fuzz/CMakeCache.txt ]; then
    cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" -DQUORVANE_FUZZ=ON -DQUORVANE_BUILD_BENCH=OFF \
        "${launcher[@]}" >/dev/null
fi
cmake --build build-fuzz --target "${targets[@]}" -j"$(nproc)" >/dev/null

export ASAN_OPTIONS="detect_leaks=0:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
mkdir -p build-fuzz/artifacts
for target in "${targets[@]}"; do
    corpus="build-fuzz/corpus/$target"
    mkdir -p "$corpus"
    log="build-fuzz/$target.log"
    if build-fuzz/tests/fuzz/"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="build-fuzz/artifacts/$target-" "$corpus" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
        runs="$(grep -o 'Done [0-9]* runs' "$log" | tail -n 1 | cut -d' ' -f2)"
        echo "$target: ${runs:-?} executions in $seconds s, no finding"
    else
        status=1
        echo "$target: FINDING (see $log and build-fuzz/artifacts)"
        grep -E 'ERROR|SUMMARY|runtime error|deadly signal|timeout' "$log" | head -n 5 || true
    fi
done
exit "$status"
