#!/usr/bin/env bash
# Starts the wizard under Xvfb on the demo card image and saves a picture of each page into
# docs/screenshots/. Needs a dev build (cmake --preset dev && cmake --build --preset dev).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build/dev}
out=$root/docs/screenshots
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$build/tools/pictavo-make-demo" "$work/demo-card.img" >/dev/null
mkdir -p "$out"
# A fixed style and font size keep the pictures the same from one machine to the next.
QT_QPA_PLATFORM=xcb QT_STYLE_OVERRIDE=Fusion XDG_RUNTIME_DIR="$work" \
  xvfb-run --auto-servernum --server-args="-screen 0 1280x900x24 -dpi 96" \
  "$build/src/app/pictavo-screenshot-tour" "$work/demo-card.img" "$out"
ls -l "$out"
