#!/usr/bin/env bash
# pictavo next to PhotoRec, foremost and scalpel on the shared ground-truth image.
#
#   bench/peers.sh [IMAGE]
#
# Runs ../shared/bench/run_peers.sh with its `pictavo` tool (pictavo-cli recover of everything
# found) beside the peers, then prints the ratios we track: recovery against PhotoRec, the scan
# against the one-signature memchr scan and against dd, and the exact recoveries. TOOLS can be
# narrowed (for example TOOLS="baseline pictavo photorec"); other knobs of run_peers.sh pass
# through the environment.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
shared_bench=${SHARED_BENCH:-$root/../shared/bench}
image=${1:-/tmp/carvebench/img_1G_s1.img}
export PICTAVO_CLI=${PICTAVO_CLI:-$root/build/dev/src/cli/pictavo-cli}
export TOOLS=${TOOLS:-baseline pictavo photorec foremost scalpel}
name=$(basename "$image" .img)
export RESULTS=${RESULTS:-/tmp/carvebench/results/$name}

if [ ! -f "$image" ]; then
  (cd "$shared_bench" && python3 make_image.py --size 1G >&2)
fi
"$shared_bench/run_peers.sh" "$image" >&2

# The scan alone, warm, as the same run measured the raw readers.
cat "$image" > /dev/null
start=$(date +%s.%N)
"$PICTAVO_CLI" scan --format tsv "$image" > /dev/null
end=$(date +%s.%N)

python3 - "$RESULTS" "$(stat -c %s "$image")" "$start" "$end" <<'PY'
import json, os, sys
results, size, start, end = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4])
def load(name):
    path = os.path.join(results, name + ".json")
    return json.load(open(path)) if os.path.exists(path) else None
def wall(r):
    for key in ("wall_s", "wall", "elapsed_s", "seconds"):
        if r and key in r: return float(r[key])
    return None
scan = end - start
print(f"\npictavo scan (all types, warm): {scan:.3f} s, {size / scan / 1e6:.0f} MB/s")
for name in ("read_dd", "read_memscan"):
    r = load(name)
    if wall(r): print(f"  scan rate / {name[5:]} rate: {wall(r) / scan:.2f}")
pictavo, photorec = load("pictavo"), load("photorec")
if wall(photorec):
    print(f"  scan speed / PhotoRec: {wall(photorec) / scan:.1f}x")
    if wall(pictavo): print(f"  recover speed / PhotoRec: {wall(photorec) / wall(pictavo):.1f}x")
PY
