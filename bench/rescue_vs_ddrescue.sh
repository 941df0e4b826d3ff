#!/bin/bash
# Images a medium with about 1 % of its sectors unreadable, in scattered clusters of 1 to 16
# sectors, with pictavo-cli's mapped imaging and with GNU ddrescue, side by side on the same
# FUSE-served faulty file, and compares what each rescued and how long it took.
#   bench/rescue_vs_ddrescue.sh [PICTAVO_CLI] [SIZE_MIB]
# Needs: cc, libfuse3 (pkg-config fuse3), fusermount3, ddrescue and ddrescuelog.
set -euo pipefail
cli=${1:-build/release/src/cli/pictavo-cli}
size_mib=${2:-256}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/pictavo-rescue-bench.XXXXXX)
mnt="$work/mnt"
cleanup() { fusermount3 -u "$mnt" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
mkdir "$mnt"

cc -O2 -o "$work/faulty_medium" "$here/faulty_medium.c" $(pkg-config --cflags --libs fuse3)
head -c $((size_mib << 20)) /dev/urandom > "$work/backing"
python3 - "$size_mib" > "$work/bad" <<'PY'
import random, sys
sectors = int(sys.argv[1]) << 11
rng = random.Random(18)
bad = set()
while len(bad) < sectors // 100:
    first = rng.randrange(sectors)
    bad.update(range(first, min(sectors, first + rng.randint(1, 16))))
for s in sorted(bad):
    print(s * 512, s * 512 + 512)
PY
expected_bad=$(wc -l < "$work/bad")
"$work/faulty_medium" "$work/backing" "$work/bad" "$mnt"
for _ in $(seq 50); do [ -e "$mnt/disk" ] && break; sleep 0.1; done
src="$mnt/disk"

seconds() { local t0 t1; t0=$(date +%s.%N); "$@" > /dev/null 2>&1 || true; t1=$(date +%s.%N); echo "$t1 - $t0" | bc; }
cat "$work/backing" > /dev/null  # both runs read it from the page cache

t_dd=$(seconds ddrescue -q "$src" "$work/dd.img" "$work/dd.map")
t_pv=$(seconds "$cli" image create "$src" "$work/pv.img" --map "$work/pv.map")

rescued() { echo $(( $(ddrescuelog -b 512 -l+ "$1" | wc -l) * 512 )); }
bad_list() { ddrescuelog -b 512 -l- "$1"; }
size=$((size_mib << 20))
dd_rescued=$(rescued "$work/dd.map")
pv_rescued=$(rescued "$work/pv.map")
same_bad=no
cmp -s <(bad_list "$work/dd.map") <(bad_list "$work/pv.map") && same_bad=yes
expected_ok=no
cmp -s <(bad_list "$work/pv.map") <(awk '{print $1/512}' "$work/bad") && expected_ok=yes
truncate -s "$size" "$work/dd.img"
same_bytes=no
cmp -s "$work/dd.img" <(head -c "$size" "$work/pv.img") && same_bytes=yes

printf 'medium: %d MiB, %d unreadable sectors (%.2f %%)\n' "$size_mib" "$expected_bad" \
  "$(echo "100 * $expected_bad / ($size / 512)" | bc -l)"
printf '%-12s %10s %14s\n' tool seconds "rescued bytes"
printf '%-12s %10.2f %14d\n' ddrescue "$t_dd" "$dd_rescued"
printf '%-12s %10.2f %14d\n' pictavo "$t_pv" "$pv_rescued"
printf 'time ratio pictavo/ddrescue: %.2f\n' "$(echo "$t_pv / $t_dd" | bc -l)"
echo "same bad sectors in both maps: $same_bad; pictavo's bad sectors are exactly the planted ones: $expected_ok"
echo "same image bytes: $same_bytes"
