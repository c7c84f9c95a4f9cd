#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite through CTest.
# The real llama-completion the tests run is built once and cached outside the
# checkout (see scripts/build-llama-completion.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
llama_completion="$(bash scripts/build-llama-completion.sh | tail -n 1)"
bash scripts/build.sh -DQUORVANE_LLAMA_COMPLETION="$llama_completion"
ctest --test-dir build --output-on-failure -j"$(nproc)"
