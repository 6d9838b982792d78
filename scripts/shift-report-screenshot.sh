#!/usr/bin/env bash
# Makes docs/shift-report.png: the shift page of the example reports in
# docs/shift-example/ (two stations, one morning; make-example.py wrote
# them), as headless Chromium shows it. The page comes from
# `corvanel-flash --summary ... --html` where the flasher has the option, else
# from the test helper shift_report_page over the same library. Times are
# shown in UTC, so the picture is the same on every machine.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh chromium

build=build/dev
cmake --preset dev >/dev/null
cmake --build --preset dev --target corvanel-flash shift_report_page

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
reports=(docs/shift-example/line-1.jsonl docs/shift-example/line-2.jsonl)
if "$build/src/flash/corvanel-flash" --help 2>/dev/null | grep -q -- '--summary'; then
  TZ=UTC "$build/src/flash/corvanel-flash" --summary "${reports[@]}" --html "$work/shift.html" >/dev/null
else
  TZ=UTC "$build/tests/records/shift_report_page" "$work/shift.html" "${reports[@]}" >/dev/null
fi

# A fresh profile, nothing from the network, a bounded time: the page needs
# nothing but itself.
mkdir "$work/profile"
timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync \
  --user-data-dir="$work/profile" --hide-scrollbars --force-device-scale-factor=1 \
  --window-size=1000,1080 --screenshot="$work/shift.png" "file://$work/shift.html" 2>/dev/null
mkdir -p docs
mv "$work/shift.png" docs/shift-report.png
echo "docs/shift-report.png"
