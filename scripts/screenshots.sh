#!/usr/bin/env bash
# Renders the chat screen offscreen (empty, a conversation with a code block
# and attachments, a reply streaming in; dark and light) into
# build/screenshots/*.png.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -f build/CMakeCache.txt ]; then
    bash scripts/build.sh
fi
cmake --build build -j2 --target screenshots
QT_QPA_PLATFORM=offscreen build/tests/ui/screenshots build/screenshots
