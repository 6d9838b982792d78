#!/usr/bin/env bash
# Makes docs/screenshot.png: the window after a finished demo transfer ("END"
# on a green bar), on a virtual X display (Xvfb). The program
# corvanel_screenshot drives the real window through its own buttons against
# the bootloader simulator on loopback, with the demo image of ./run.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh xvfb xauth
./run.sh --no-window

# The "dev" preset: corvanel_screenshot lives with the window's tests.
build=build/dev
cmake --preset dev >/dev/null
cmake --build --preset dev --target corvanel_screenshot corvanel-devsim

mkdir -p docs
# A private X server with a fixed DPI, so the picture is the 96 dpi layout.
xvfb-run -a -s '-screen 0 800x600x24 -dpi 96' \
    env QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR=1 \
    "$build/tests/window/corvanel_screenshot" demo/firmware.hex docs/screenshot.png
