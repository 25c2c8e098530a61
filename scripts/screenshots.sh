#!/usr/bin/env bash
# Renders every dialog and widget to PNG files for review of the look.
#   scripts/screenshots.sh [OUTPUT_FOLDER] [--xvfb] [--hidpi] [NAME_FILTER]
# Default output: screenshots/ beside the build folder's binary.
#   --xvfb   run on a virtual X server (xvfb-run) instead of the offscreen platform
#   --wm     as --xvfb, with the openbox window manager, shooting the windows with
#            their frames and the file choosers as well (needs openbox)
#   --hidpi  also render at device pixel ratio 2 into OUTPUT_FOLDER/hidpi
# BUILD_DIR selects the build folder (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build}
out=""
xvfb=0
wm=0
hidpi=0
filter=""
for argument in "$@"; do
  case "$argument" in
    --xvfb) xvfb=1 ;;
    --wm) xvfb=1; wm=1 ;;
    --hidpi) hidpi=1 ;;
    *) if [ -z "$out" ]; then out=$argument; else filter=$argument; fi ;;
  esac
done
out=${out:-$build/screenshots}

if [ ! -f "$build/build.ninja" ] && [ ! -f "$build/Makefile" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --target kestrel-screenshots -j 2

run() {
  if [ "$wm" = 1 ]; then
    # The window manager first; the program shoots once it has settled.
    xvfb-run -a -s "-screen 0 1280x1024x24" bash -c \
      'openbox & sleep 1; xdotool mousemove 0 0 2>/dev/null; KESTREL_SHOT_FRAMES=1 "$@"; status=$?; kill %1; exit $status' shots "$@"
  elif [ "$xvfb" = 1 ]; then
    xvfb-run -a -s "-screen 0 1280x1024x24" "$@"
  else
    QT_QPA_PLATFORM=offscreen "$@"
  fi
}

# A private home, so that no settings of the user are read or written.
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME=$home XDG_DATA_HOME=$home/data XDG_CONFIG_HOME=$home/config XDG_RUNTIME_DIR=$home

run "$build/kestrel-screenshots" "$out" $filter
if [ "$hidpi" = 1 ]; then
  QT_SCALE_FACTOR=2 run "$build/kestrel-screenshots" "$out/hidpi" $filter
fi
