#!/usr/bin/env bash
# Renders every screen offscreen (the chat empty, with a conversation and
# while a reply streams; the models screen, the model picker's tabs,
# settings with its Replies section, welcome with its dialog for a server
# elsewhere, installation and setup; dark and light) into
# build/screenshots/*.png.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -f build/CMakeCache.txt ]; then
    bash scripts/build.sh
fi
cmake --build build -j2 --target screenshots
QT_QPA_PLATFORM=offscreen build/tests/ui/screenshots build/screenshots
