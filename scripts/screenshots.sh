#!/usr/bin/env bash
# Takes the pictures shown in the README: the window (docs/window-*.png),
# the settings and cleaning dialogs (docs/dialog-*.png) and the Transfer
# History window (docs/history-*.png). They run on a virtual
# X server (Xvfb), the window against a pyftpdlib server on 127.0.0.1, with
# the fonts a desktop would have.
#   ./scripts/screenshots.sh [output-folder]
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath "${1:-docs}")
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target gui_screenshots dialog_screenshots history_screenshots
export KORVANE_SOURCE_DIR=$PWD
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
chmod 700 "$XDG_RUNTIME_DIR"
unset QT_QPA_PLATFORM
xvfb-run -a -s "-screen 0 1024x768x24" ./build/tests/gui_screenshots "$out"
xvfb-run -a -s "-screen 0 1024x768x24" ./build/tests/dialog_screenshots "$out"
xvfb-run -a -s "-screen 0 1024x768x24" ./build/tests/history_screenshots "$out"
