#!/usr/bin/env bash
# Peak memory of `pictavo-cli recover` saving many tiny finds, listed in a snapshot: what saving
# keeps per file. Compare two builds by giving the older one's program in PICTAVO_CLI_BEFORE.
#
#   bench/saving_memory.sh [COUNT]       (default 400000)
#
# The medium, the snapshot and the saved files live on /dev/shm (PICTAVO_BENCH_DIR), so that the
# run measures memory rather than the disk; everything is removed afterwards.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${PICTAVO_BUILD:-$root/build/dev}
cli=${PICTAVO_CLI:-$build/src/cli/pictavo-cli}
maker=$build/bench/pictavo-bench-tiny-finds
count=${1:-400000}
dir=${PICTAVO_BENCH_DIR:-/dev/shm/pictavo-bench-saving}
[ -x "$cli" ] && [ -x "$maker" ] || { echo "build pictavo-cli and pictavo-bench-tiny-finds first" >&2; exit 1; }

mkdir -p "$dir"
trap 'rm -rf "$dir"' EXIT
"$maker" "$dir/tiny.img" "$dir/tiny.dat" "$count" >&2

measure() {  # label program
  rm -rf "$dir/out"
  local t0 t1
  t0=$(date +%s.%N)
  /usr/bin/time -f "%M" -o "$dir/rss" "$2" recover --snapshot "$dir/tiny.dat" \
    --allow-same-filesystem --to "$dir/out" > "$dir/summary" 2> /dev/null || true
  t1=$(date +%s.%N)
  local saved
  saved=$(find "$dir/out" -type f | wc -l)
  python3 - "$1" "$(cat "$dir/rss")" "$count" "$saved" "$t0" "$t1" <<'PY'
import sys
label, rss_kib, count, saved, t0, t1 = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), float(sys.argv[5]), float(sys.argv[6])
rss = rss_kib * 1024
goal = 64 * 2**20 + 64 * count
print(f"{label:8s} peak RSS {rss / 2**20:7.1f} MiB for {count} finds ({saved} saved, {t1 - t0:.1f} s): "
      f"{rss / count:6.1f} B per find in all; goal 64 MiB + 64 B per find = "
      f"{goal / 2**20:.1f} MiB: {'met' if rss <= goal else 'NOT met'}")
PY
}

if [ -n "${PICTAVO_CLI_BEFORE:-}" ]; then measure before "$PICTAVO_CLI_BEFORE"; fi
measure after "$cli"
