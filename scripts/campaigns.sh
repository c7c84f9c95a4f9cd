#!/usr/bin/env bash
# The full crash and disk-fault campaigns (the suite runs their short forms):
# kills the running application N times (default 1000) at random moments and
# fails every open, write, fsync and rename of each operation that writes the
# user's data, with both ENOSPC and EIO. Run after scripts/test.sh has built
# ./build; prints the figures of each campaign.
#   bash scripts/campaigns.sh [kills] [seed]
set -euo pipefail
cd "$(dirname "$0")/.."
kills="${1:-1000}"
seed_args=()
if [ -n "${2:-}" ]; then
    seed_args=(--seed "$2")
fi
cmake --build build --target crash_campaign disk_faults -j"$(nproc)" >/dev/null
export QT_QPA_PLATFORM=offscreen
status=0
build/tests/campaigns/crash_campaign --kills "$kills" "${seed_args[@]}" || status=1
build/tests/campaigns/disk_faults --full || status=1
exit "$status"
