#!/usr/bin/env bash
# Scan throughput against plain reading, on the shared ground-truth image.
#
#   bench/scan_throughput.sh [IMAGE]
#
# IMAGE defaults to the 1 GiB image that ../shared/bench/make_image.py builds (and caches under
# /tmp/carvebench; about ten minutes the first time). Warm page cache: the image is read once
# before timing. Prints the MB/s of reading the file, the MB/s of `pictavo-cli scan`, their
# ratio, and how many ground-truth files the scan finds at their offset with their exact length.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
cli=${PICTAVO_CLI:-$root/build/dev/src/cli/pictavo-cli}
shared_bench=${SHARED_BENCH:-$root/../shared/bench}
image=${1:-/tmp/carvebench/img_1G_s1.img}

if [ ! -f "$image" ]; then
  echo "building the ground-truth image (cached under /tmp/carvebench)..." >&2
  (cd "$shared_bench" && python3 make_image.py --size 1G >&2)
fi
truth="$image.tsv"
[ -x "$cli" ] || { echo "build pictavo-cli first (make build)" >&2; exit 1; }

bytes=$(stat -c %s "$image")
cat "$image" > /dev/null  # warm the page cache

now() { date +%s.%N; }
t0=$(now); dd if="$image" of=/dev/null bs=4M status=none; t1=$(now)
out=$(mktemp); trap 'rm -f "$out"' EXIT
t2=$(now); "$cli" scan --format tsv "$image" > "$out"; t3=$(now)

python3 - "$bytes" "$t0" "$t1" "$t2" "$t3" "$truth" "$out" <<'PY'
import sys
size, t0, t1, t2, t3 = int(sys.argv[1]), *map(float, sys.argv[2:6])
truth_path, found_path = sys.argv[6], sys.argv[7]
read_rate = size / (t1 - t0) / 1e6
scan_rate = size / (t3 - t2) / 1e6
ext = {"jpg": "jpeg", "tif": "tiff", "mpg": "mpeg"}
truth = []
with open(truth_path) as f:
    next(f)
    for line in f:
        t, off, length = line.split("\t")[:3]
        truth.append((ext.get(t, t), int(off), int(length)))
found = {}
with open(found_path) as f:
    next(f)
    for line in f:
        _, e, off, length = line.rstrip("\n").split("\t")[:4]
        found[int(off)] = (e, int(length))
exact = sum(1 for t, o, l in truth if found.get(o) == (t, l))
at_offset = sum(1 for t, o, l in truth if o in found)
by_type = {}
for t, o, l in truth:
    n, e = by_type.get(t, (0, 0))
    by_type[t] = (n + 1, e + (found.get(o) == (t, l)))
print(f"image:            {size / 2**20:.0f} MiB")
print(f"plain read (dd):  {t1 - t0:6.2f} s  {read_rate:8.0f} MB/s")
print(f"pictavo scan:     {t3 - t2:6.2f} s  {scan_rate:8.0f} MB/s")
print(f"scan / read:      {100 * scan_rate / read_rate:6.1f} %")
print(f"finds:            {len(found)} files")
print(f"ground truth:     {len(truth)} files, {at_offset} found at their offset, {exact} exact")
print("per type (exact / total): " + ", ".join(f"{t} {e}/{n}" for t, (n, e) in sorted(by_type.items())))
PY
