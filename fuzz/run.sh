#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for a bounded time under ASan and UBSan.
# Usage: fuzz/run.sh [SECONDS_PER_TARGET]   (default 60; all but the first two run half of it)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
cmake --preset fuzz >/dev/null
cmake --build build/fuzz --target fuzz_handlers fuzz_decoders fuzz_tiff_family fuzz_modern \
  fuzz_file_systems fuzz_stored
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The committed corpus seeds the run; new inputs go to a scratch folder, not into the repo.
./build/fuzz/fuzz/fuzz_handlers -max_total_time="$seconds" -max_len=262144 -timeout=20 \
  -rss_limit_mb=4096 -print_final_stats=1 "$work" fuzz/corpus 2>&1 | tail -n 25
# The decoders: every codec library behind the preview, on arbitrary files.
mkdir -p "$work/decoders"
./build/fuzz/fuzz/fuzz_decoders -max_total_time="$seconds" -max_len=65536 -timeout=20 \
  -rss_limit_mb=4096 -print_final_stats=1 "$work/decoders" fuzz/corpus-decoders 2>&1 | tail -n 25
# The TIFF-family recognisers one by one, each on every sector, on the same seed corpus.
mkdir -p "$work/tiff"
./build/fuzz/fuzz/fuzz_tiff_family -max_total_time="$(((seconds + 1) / 2))" -max_len=65536 \
  -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 "$work/tiff" fuzz/corpus 2>&1 | tail -n 12
# The modern recognisers one by one (ISO media, WebP, Ogg, DNG of other makers).
mkdir -p "$work/modern"
./build/fuzz/fuzz/fuzz_modern -max_total_time="$(((seconds + 1) / 2))" -max_len=65536 \
  -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 "$work/modern" fuzz/corpus 2>&1 | tail -n 12
# Disks and file systems through our sources.
mkdir -p "$work/filesystems"
./build/fuzz/fuzz/fuzz_file_systems -max_total_time="$(((seconds + 1) / 2))" -max_len=262144 \
  -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 "$work/filesystems" fuzz/corpus-filesystems \
  2>&1 | tail -n 12
# The files a user opens: snapshots, checkpoints, listings and disk image trailers.
mkdir -p "$work/stored"
./build/fuzz/fuzz/fuzz_stored -max_total_time="$(((seconds + 1) / 2))" -max_len=65536 \
  -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 "$work/stored" fuzz/corpus-stored \
  2>&1 | tail -n 12
