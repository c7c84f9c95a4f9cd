#!/usr/bin/env bash
# Builds the Debian package build/quorvane_<version>_<arch>.deb from the
# build tree: installs what is missing, builds the application and its data
# files (configuring ./build first when there is none), then runs CPack.
# Extra arguments go to the CMake configure step of a first build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
if [ ! -f build/CMakeCache.txt ]; then
    launcher=()
    if command -v ccache >/dev/null 2>&1; then
        launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    fi
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" "$@" >/dev/null
fi
cmake --build build -j"$(nproc)" --target quorvane quorvane_icons quorvane_docs
(cd build && cpack --config CPackConfig.cmake -B . >/dev/null)
ls build/quorvane_*.deb
