#!/usr/bin/env bash
# Renders every screen offscreen (the chat empty, with a conversation, while
# a reply streams, with a tooltip and its alerts, with the focus ring on a
# control and on a menu entry; the models screen, empty
# and with a model's details and delete confirmation; the model picker's tabs
# and alerts; settings with its Replies section; welcome with its dialog for
# a server elsewhere; installation and setup; dark and light) into
# build/screenshots/*.png, and again at 200 % scaling (QT_SCALE_FACTOR=2) in
# a window of the smallest size into build/screenshots/200/*.png. Fails when
# a text of some screen is cut off (the program names it).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -f build/CMakeCache.txt ]; then
    bash scripts/build.sh
fi
cmake --build build -j2 --target screenshots
status=0
QT_QPA_PLATFORM=offscreen build/tests/ui/screenshots build/screenshots || status=1
QT_QPA_PLATFORM=offscreen QT_SCALE_FACTOR=2 build/tests/ui/screenshots build/screenshots/200 900x600 || status=1
exit $status
