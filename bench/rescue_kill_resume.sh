#!/bin/bash
# Kills mapped imaging of a FUSE-served medium with 1 % bad sectors with SIGKILL at random
# moments, starts it again each time, and compares the final image with one uninterrupted run.
#   bench/rescue_kill_resume.sh [PICTAVO_CLI] [SIZE_MIB] [KILLS]
set -euo pipefail
cli=${1:-build/release/src/cli/pictavo-cli}
size_mib=${2:-64}
kills=${3:-5}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/pictavo-kill-bench.XXXXXX)
mnt="$work/mnt"
cleanup() { fusermount3 -u "$mnt" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
mkdir "$mnt"
cc -O2 -o "$work/faulty_medium" "$here/faulty_medium.c" $(pkg-config --cflags --libs fuse3)
head -c $((size_mib << 20)) /dev/urandom > "$work/backing"
python3 - "$size_mib" > "$work/bad" <<'PY'
import random, sys
sectors = int(sys.argv[1]) << 11
rng = random.Random(7)
bad = set()
while len(bad) < sectors // 100:
    first = rng.randrange(sectors)
    bad.update(range(first, min(sectors, first + rng.randint(1, 16))))
for s in sorted(bad):
    print(s * 512, s * 512 + 512)
PY
"$work/faulty_medium" "$work/backing" "$work/bad" "$mnt"
for _ in $(seq 50); do [ -e "$mnt/disk" ] && break; sleep 0.1; done

"$cli" image create "$mnt/disk" "$work/whole.img" --map "$work/whole.map" > /dev/null 2>&1
runs=0
for i in $(seq "$kills"); do
  "$cli" image create "$mnt/disk" "$work/k.img" --map "$work/k.map" --map-interval 1 \
    > /dev/null 2>&1 &
  pid=$!
  sleep "$(python3 -c 'import random; print(round(random.uniform(0.3, 3.0), 2))')"
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  runs=$((runs + 1))
  [ -e "$work/k.map" ] && grep -q "^# Finished" "$work/k.map" && break
done
"$cli" image create "$mnt/disk" "$work/k.img" --map "$work/k.map" > /dev/null 2>&1
if cmp -s "$work/whole.img" "$work/k.img"; then same=yes; else same=no; fi
echo "$runs runs killed with SIGKILL, then one to the end: image byte-identical to an uninterrupted run's: $same"
cmp -s <(ddrescuelog -b 512 -l- "$work/whole.map") <(ddrescuelog -b 512 -l- "$work/k.map") \
  && echo "both maps list the same bad sectors" || echo "the maps differ"
