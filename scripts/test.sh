#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite through CTest.
# The real llama-completion the tests run is built once and cached outside the
# checkout (see scripts/build-llama-completion.sh).
#
# With --sanitize it runs the suite built with AddressSanitizer and
# UndefinedBehaviorSanitizer instead (./build-asan), then the platform, engine
# and models tests, which hold the queues, the child processes and the
# download threads, built with ThreadSanitizer (./build-tsan). Any report
# fails the test that made it; known noise is in tests/sanitizers/tsan.supp.
#   bash scripts/test.sh [--sanitize]
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -gt 0 ] && [ "$1" != "--sanitize" ]; then
    echo "usage: bash scripts/test.sh [--sanitize]" >&2
    exit 2
fi
bash scripts/install-deps.sh
llama_completion="$(bash scripts/build-llama-completion.sh | tail -n 1)"
if [ $# -eq 0 ]; then
    bash scripts/build.sh -DQUORVANE_LLAMA_COMPLETION="$llama_completion"
    ctest --test-dir build --output-on-failure -j"$(nproc)"
    exit 0
fi

launcher=()
if command -v ccache >/dev/null 2>&1; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
# configure <dir> <flags>: executables link the sanitizer runtime; the shared
# fault library of the disk-fault campaign stays plain (tests/campaigns).
configure() {
    cmake -S . -B "$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" -DQUORVANE_BUILD_BENCH=OFF \
        -DCMAKE_C_FLAGS="$2 -fno-omit-frame-pointer" -DCMAKE_CXX_FLAGS="$2 -fno-omit-frame-pointer" \
        -DCMAKE_EXE_LINKER_FLAGS="$2" -DQUORVANE_LLAMA_COMPLETION="$llama_completion" >/dev/null
}
suppressions="$PWD/tests/sanitizers/tsan.supp"
status=0

# gcc warns of values "maybe used uninitialized" that only its sanitizer
# instrumentation makes it unsure of
configure build-asan "-fsanitize=address,undefined -Wno-maybe-uninitialized"
cmake --build build-asan -j"$(nproc)"
# the fuzz targets of the plain suite already run under both sanitizers
# (the disk-fault campaign preloads its plain fault library ahead of the runtime)
asan="detect_leaks=1:verify_asan_link_order=0:detect_stack_use_after_return=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/sanitizers/lsan.supp:print_suppressions=0"
# The window tests record whole allocation stacks (slower): the leaks
# suppressed there are named by Qt functions deep inside them.
window_tests=$(ctest --test-dir build-asan/tests/ui -N | sed -n 's/^ *Test *#[0-9]*: //p' | paste -sd'|')
ASAN_OPTIONS="$asan:fast_unwind_on_malloc=0" \
    ctest --test-dir build-asan/tests/ui --output-on-failure -j"$(nproc)" || status=1
ASAN_OPTIONS="$asan" \
    ctest --test-dir build-asan --output-on-failure -j"$(nproc)" -E "^(fuzz_targets|$window_tests)\$" || status=1

configure build-tsan "-fsanitize=thread"
areas=(platform engine models)
targets=()
for area in "${areas[@]}"; do
    targets+=($(ctest --test-dir "build-tsan/tests/$area" -N | sed -n 's/^ *Test *#[0-9]*: //p'))
done
cmake --build build-tsan --target "${targets[@]}" -j"$(nproc)"
for area in "${areas[@]}"; do
    TSAN_OPTIONS="suppressions=$suppressions:print_suppressions=0:second_deadlock_stack=1" \
        ctest --test-dir "build-tsan/tests/$area" --output-on-failure -j"$(nproc)" || status=1
done
exit "$status"
