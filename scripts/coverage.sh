#!/usr/bin/env bash
# Builds Quorvane with gcc's coverage counters into ./build-coverage, runs the
# whole test suite there and prints the line and branch coverage of src/, per
# folder and in total. Installs Debian's lcov when it is missing.
# Arguments before "--" go to the CMake configure step, those after it to CTest
# (for example: scripts/coverage.sh -- -R tst_storage).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
build="$root/build-coverage"

configure_args=()
ctest_args=()
while [ $# -gt 0 ]; do
    if [ "$1" = "--" ]; then
        shift
        ctest_args=("$@")
        break
    fi
    configure_args+=("$1")
    shift
done

if ! command -v lcov >/dev/null 2>&1; then
    SUDO=""
    if [ "$(id -u)" -ne 0 ]; then
        SUDO="sudo"
    fi
    echo "Installing: lcov"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends lcov
fi

launcher=()
if command -v ccache >/dev/null 2>&1; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug "${launcher[@]}" \
    -DCMAKE_CXX_FLAGS="--coverage -O0" -DCMAKE_EXE_LINKER_FLAGS="--coverage" \
    -DCMAKE_SHARED_LINKER_FLAGS="--coverage" -DQUORVANE_BUILD_BENCH=OFF \
    "${configure_args[@]}" >/dev/null
nice -n 10 cmake --build "$build" -j"$(nproc)"

# Counters of an earlier run would add to this one.
find "$build" -name '*.gcda' -delete
status=0
nice -n 10 ctest --test-dir "$build" --output-on-failure -j"$(nproc)" "${ctest_args[@]}" || status=$?

info="$build/coverage.info"
lcov --quiet --capture --directory "$build" --rc lcov_branch_coverage=1 \
    --output-file "$build/all.info" 2>/dev/null
lcov --quiet --extract "$build/all.info" "$root/src/*" --rc lcov_branch_coverage=1 \
    --output-file "$info" 2>/dev/null

# One row per folder of src/ from the lcov records: LF/LH lines found and hit,
# BRF/BRH branches found and hit.
awk -v src="$root/src/" '
    /^SF:/ { path = substr($0, 4); sub(src, "", path); split(path, part, "/"); folder = part[1] }
    /^LF:/ { lf[folder] += substr($0, 4) }
    /^LH:/ { lh[folder] += substr($0, 4) }
    /^BRF:/ { bf[folder] += substr($0, 5) }
    /^BRH:/ { bh[folder] += substr($0, 5) }
    END { for (f in lf) print f, lh[f], lf[f], bh[f] + 0, bf[f] + 0 }' "$info" | sort | awk '
    function pct(hit, found) { return found ? sprintf("%6.1f %%", 100 * hit / found) : "     - " }
    function row(name, lh, lf, bh, bf) {
        printf "%-14s %9s %7d/%-7d %9s %7d/%-7d\n", name, pct(lh, lf), lh, lf, pct(bh, bf), bh, bf
    }
    BEGIN { printf "%-14s %9s %15s %9s %15s\n", "src/", "lines", "hit/found", "branches", "hit/found" }
    { row($1, $2, $3, $4, $5); lh += $2; lf += $3; bh += $4; bf += $5 }
    END { row("total", lh, lf, bh, bf) }'
echo "lcov data: $info (genhtml $info --branch-coverage -o <folder> draws it)"

if [ "$status" -ne 0 ]; then
    echo "coverage.sh: some tests failed (ctest exit $status); the figures count the tests that ran" >&2
fi
exit "$status"
