#!/bin/sh
# Renders every screen of the main window and both pages of the photo detail
# dialog, with sample content, into a folder of PNG files.
#   scripts/screenshots.sh [build folder] [output folder]
set -eu
build=${1:-build}
out=${2:-$build/screenshots}
mkdir -p "$out"
out=$(cd "$out" && pwd)
ninja -C "$build" tst_mainviewscreenshots >/dev/null
KESTREL_SCREENSHOT_DIR="$out" QT_QPA_PLATFORM=offscreen \
  "$build/tests/tst_mainviewscreenshots" -silent
echo "screenshots in $out"
