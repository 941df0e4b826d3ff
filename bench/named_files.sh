#!/usr/bin/env bash
# Listing and saving files by name on a FAT32 card of 1 GiB.
#
#   bench/named_files.sh [IMAGE [TRUTH]]
#
# With an IMAGE (the FAT32 bench image of make_image.py --fat, for instance) times
# `pictavo-cli files` and `recover --by-name` on it. Without one, builds (and caches under
# /tmp/pictavo-bench) a 1 GiB FAT32 card with mtools and ImageMagick: 400 photos in
# DCIM/100TEST, every second one deleted. Warms the page cache first; prints the times.
# With the ground-truth TSV of make_image.py --fat or make_modern.py --fs exfat as TRUTH,
# also checks every file's name, state and size against it, checks that every deleted file
# was saved byte for byte, and compares `scan` with `scan --unallocated` (live files found
# again, deleted ones found at their offsets).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${PICTAVO_BUILD:-$root/build/dev}
cli=${PICTAVO_CLI:-$build/src/cli/pictavo-cli}
[ -x "$cli" ] || { echo "build pictavo-cli first" >&2; exit 1; }

image=${1:-}
truth=${2:-}
if [ -z "$image" ]; then
  dir=/tmp/pictavo-bench
  mkdir -p "$dir"
  image=$dir/named_fat32_1G.img
  if [ ! -f "$image" ]; then
    command -v mcopy > /dev/null || { echo "needs mtools" >&2; exit 1; }
    staging=$(mktemp -d); trap 'rm -rf "$staging"' EXIT
    command -v convert-im6.q16 > /dev/null || { echo "needs imagemagick (convert-im6.q16)" >&2; exit 1; }
    for k in 0 1 2 3 4 5 6 7; do
      convert-im6.q16 -seed "$k" -size "$((400 + 300 * k))x$((300 + 200 * k))" plasma:fractal \
        -quality 92 "$staging/sample$k.jpg"
    done
    for i in $(seq 1 400); do
      cp "$staging/sample$((i % 8)).jpg" "$staging/$(printf 'IMG_%04d.JPG' "$i")"
    done
    rm "$staging"/sample*.jpg
    truncate -s 1G "$image.part"
    PATH=$PATH:/usr/sbin:/sbin mkfs.vfat -F 32 "$image.part" > /dev/null
    MTOOLS_SKIP_CHECK=1 mmd -i "$image.part" ::DCIM ::DCIM/100TEST
    MTOOLS_SKIP_CHECK=1 mcopy -i "$image.part" "$staging"/*.JPG ::DCIM/100TEST/
    for i in $(seq 2 2 400); do printf '::DCIM/100TEST/IMG_%04d.JPG\n' "$i"; done |
      xargs env MTOOLS_SKIP_CHECK=1 mdel -i "$image.part"
    mv "$image.part" "$image"
  fi
fi
cat "$image" > /dev/null  # warm the page cache

out=$(mktemp -d); trap 'rm -rf "$out"' EXIT
timer=(); [ -x /usr/bin/time ] && timer=(/usr/bin/time -o "$out/cpu" -f "%U %S")
t0=$(date +%s.%N); "${timer[@]}" "$cli" files --format tsv "$image" > "$out/list.tsv"; t1=$(date +%s.%N)
"$cli" recover "$image" --by-name --deleted-only --allow-same-filesystem --to "$out/saved" \
  > /dev/null 2>&1 || true
t2=$(date +%s.%N)
python3 - "$image" "$t0" "$t1" "$t2" "$out/list.tsv" "$out/saved" "$out/cpu" <<'PY'
import os, sys
image, t0, t1, t2, listing, saved, cpu = sys.argv[1], *map(float, sys.argv[2:5]), *sys.argv[5:8]
rows = [line.split("\t") for line in open(listing).read().splitlines()[1:]]
states = {}
for row in rows:
    states[row[0]] = states.get(row[0], 0) + 1
size = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(saved) for f in fs)
print(f"{image}: {os.path.getsize(image) / 2**30:.2f} GiB")
cpu_text = ""
if os.path.exists(cpu):
    user, system = map(float, open(cpu).read().split()[-2:])
    cpu_text = f", {user + system:.2f} s of CPU (child included)"
print(f"files: {len(rows)} listed in {t1 - t0:.3f} s{cpu_text} ({states})")
print(f"recover --by-name --deleted-only: {size / 1e6:.1f} MB in {t2 - t1:.2f} s"
      f" ({size / 1e6 / max(t2 - t1, 1e-9):.0f} MB/s, listing included)")
PY
[ -n "$truth" ] || exit 0

# Against the ground truth: names (a deleted FAT short name may show '_' for its first
# letter), states and sizes by offset, and the saved deleted files by their SHA-256.
python3 - "$truth" "$out/list.tsv" "$out/saved" <<'PY'
import csv, hashlib, os, sys
truth_path, listing, saved = sys.argv[1:4]
truth = list(csv.DictReader(open(truth_path), delimiter="\t"))
by_offset = {row[5]: row for row in (l.split("\t") for l in open(listing).read().splitlines()[1:])}
missing = wrong_name = wrong_state = 0
for t in truth:
    row = by_offset.get(t["offset"])
    if row is None:
        missing += 1
        continue
    # The truth names the file by its leaf (make_image.py) or its whole path (make_modern.py).
    path, want = row[3], t["name"]
    folder, leaf = (path.rsplit("/", 1) if "/" in path else ("", path))
    want_folder, want_leaf = (want.rsplit("/", 1) if "/" in want else ("", want))
    same_folder = want_folder == "" or folder == want_folder
    same_leaf = leaf == want_leaf or (
        t["status"] == "deleted" and leaf[:1] == "_" and leaf[1:] == want_leaf[1:])
    if not (same_folder and same_leaf):
        wrong_name += 1
        print("name:", row[3], "expected", want)
    state = "live" if t["status"] == "live" else "deleted, recoverable"
    if row[0] != state or int(row[2]) != int(t["length"]):
        wrong_state += 1
        print("state/size:", row[:4], "expected", state, t["length"])
hashes = set()
for folder, _, files in os.walk(saved):
    for name in files:
        with open(os.path.join(folder, name), "rb") as f:
            hashes.add(hashlib.sha256(f.read()).hexdigest())
deleted = [t for t in truth if t["status"] == "deleted"]
exact = sum(t["sha256"] in hashes for t in deleted)
print(f"truth: {len(truth)} files; {missing} not listed at their offset, {wrong_name} wrong names,"
      f" {wrong_state} wrong states or sizes; deleted {len(deleted)}, saved byte for byte {exact}")
PY

t0=$(date +%s.%N); "$cli" scan --format tsv "$image" > "$out/all.tsv" 2> /dev/null || true
t1=$(date +%s.%N); "$cli" scan --unallocated --format tsv "$image" > "$out/free.tsv" 2> /dev/null || true
t2=$(date +%s.%N)
python3 - "$truth" "$out/all.tsv" "$out/free.tsv" "$t0" "$t1" "$t2" <<'PY'
import csv, sys
truth_path, whole, free = sys.argv[1:4]
t0, t1, t2 = map(float, sys.argv[4:7])
truth = list(csv.DictReader(open(truth_path), delimiter="\t"))
live = {int(t["offset"]) for t in truth if t["status"] == "live"}
deleted = {int(t["offset"]) for t in truth if t["status"] == "deleted"}
for label, path, seconds in (("scan", whole, t1 - t0), ("scan --unallocated", free, t2 - t1)):
    offsets = {int(l.split("\t")[2]) for l in open(path).read().splitlines()[1:]}
    print(f"{label}: {len(offsets)} finds in {seconds:.2f} s; live files found again "
          f"{len(offsets & live)}/{len(live)}, deleted found {len(offsets & deleted)}/{len(deleted)}")
PY
