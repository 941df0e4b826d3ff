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

# A FAT card with the demo photos under camera names, a third of them deleted, for the page of
# files with names (needs dosfstools and mtools).
fat=()
if command -v mkfs.vfat >/dev/null && command -v mcopy >/dev/null; then
  "$build/src/cli/pictavo-cli" recover --types jpeg --allow-same-filesystem --to "$work/photos" "$work/demo-card.img" \
    >/dev/null
  mkfs.vfat -C -F 16 -s 1 -n DEMO "$work/fat-card.img" 8192 >/dev/null
  export MTOOLS_SKIP_CHECK=1
  mmd -i "$work/fat-card.img" ::DCIM ::DCIM/100DEMO
  for n in $(seq 1 12); do
    mcopy -i "$work/fat-card.img" "$work/photos/File$((n - 1)).jpeg" \
      "::DCIM/100DEMO/$(printf 'IMG_%04d.JPG' "$n")"
  done
  for n in 2 5 9 11; do mdel -i "$work/fat-card.img" "::DCIM/100DEMO/$(printf 'IMG_%04d.JPG' "$n")"; done
  # The wizard opens disk images of its own making.
  "$build/src/cli/pictavo-cli" image create "$work/fat-card.img" "$work/fat-card.pimg" \
    >/dev/null 2>&1
  fat=("$work/fat-card.pimg")
fi
# A fixed style and font size keep the pictures the same from one machine to the next.
QT_QPA_PLATFORM=xcb QT_STYLE_OVERRIDE=Fusion XDG_RUNTIME_DIR="$work" \
  xvfb-run --auto-servernum --server-args="-screen 0 1280x900x24 -dpi 96" \
  "$build/src/app/pictavo-screenshot-tour" "$work/demo-card.img" "$out" "${fat[@]}"
ls -l "$out"
