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

# The scan alone, warm, as the same run measured the raw readers: the middle of three runs,
# each timed with its peak resident size.
cat "$image" > /dev/null
scan_times=$(mktemp)
trap 'rm -f "$scan_times"' EXIT
for _ in 1 2 3; do
  /usr/bin/time -f "%e %M" -a -o "$scan_times" "$PICTAVO_CLI" scan --format tsv "$image" > /dev/null
done
finds=$("$PICTAVO_CLI" scan --format tsv "$image" | tail -n +2 | wc -l)

python3 - "$RESULTS" "$(stat -c %s "$image")" "$scan_times" "$finds" "$TOOLS" <<'PY'
import json, os, sys
results, size, times, finds = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
ran = sys.argv[5].split()
def load(name):
    # Only what this run measured: results of earlier runs may linger in the folder.
    if name.split("_")[0].replace("read", "baseline") not in ran: return None
    path = os.path.join(results, name + ".json")
    return json.load(open(path)) if os.path.exists(path) else None
def wall(r):
    for key in ("wall_s", "wall", "elapsed_s", "seconds"):
        if r and key in r: return float(r[key])
    return None
runs = sorted(tuple(map(float, line.split())) for line in open(times) if line.strip())
scan, scan_rss_kb = runs[len(runs) // 2][0], max(r[1] for r in runs)
scan = max(scan, 0.01)  # /usr/bin/time counts hundredths
print(f"\npictavo scan (all types, warm, middle of {len(runs)}): {scan:.2f} s, "
      f"{size / scan / 1e6:.0f} MB/s")
for name in ("read_dd", "read_memscan"):
    r = load(name)
    if wall(r): print(f"  scan rate / {name[5:]} rate: {wall(r) / scan:.2f}")
pictavo, photorec = load("pictavo"), load("photorec")
if wall(photorec):
    print(f"  scan speed / PhotoRec: {wall(photorec) / scan:.1f}x")
    if wall(pictavo): print(f"  recover speed / PhotoRec: {wall(photorec) / wall(pictavo):.1f}x")
limit_mib = 64 + 64 * finds / 2**20
print(f"  peak resident: scan {scan_rss_kb / 1024:.1f} MiB"
      + (f", recover {pictavo['maxrss_kb'] / 1024:.1f} MiB" if pictavo else "")
      + f" (limit 64 MiB + 64 B x {finds} finds = {limit_mib:.1f} MiB)")
PY
