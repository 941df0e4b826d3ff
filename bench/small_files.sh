#!/usr/bin/env bash
# Scan throughput on a medium full of small PNG and GIF files, where each candidate's own
# reading (not the sector loop) dominates.
#
#   bench/small_files.sh [FILES]     (default 4000)
#
# Builds the image with pictavo-make-small-files (cached under /tmp/pictavo-bench), warms the
# page cache, times `pictavo-cli scan` once, and checks every file is found at its offset with
# its exact length.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${PICTAVO_BUILD:-$root/build/dev}
cli=${PICTAVO_CLI:-$build/src/cli/pictavo-cli}
maker=$build/tools/pictavo-make-small-files
files=${1:-4000}
[ -x "$cli" ] && [ -x "$maker" ] || { echo "build pictavo-cli and the tools first" >&2; exit 1; }

dir=/tmp/pictavo-bench
mkdir -p "$dir"
image=$dir/small_files_$files.img
[ -f "$image" ] || "$maker" "$image" "$files" >&2
bytes=$(stat -c %s "$image")
cat "$image" > /dev/null  # warm the page cache

out=$(mktemp); trap 'rm -f "$out"' EXIT
t0=$(date +%s.%N); "$cli" scan --format tsv --types png,gif "$image" > "$out"; t1=$(date +%s.%N)

python3 - "$bytes" "$t0" "$t1" "$image.tsv" "$out" <<'PY'
import sys
size, t0, t1 = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3])
truth = [l.split("\t") for l in open(sys.argv[4]).read().splitlines()[1:]]
found = {}
for line in open(sys.argv[5]).read().splitlines()[1:]:
    _, ext, off, length = line.split("\t")[:4]
    found[int(off)] = (ext, int(length))
exact = sum(1 for t, o, l in truth if found.get(int(o)) == (t, int(l)))
print(f"image:        {size / 2**20:.1f} MiB, {len(truth)} files")
print(f"scan:         {t1 - t0:.2f} s  {size / (t1 - t0) / 1e6:.1f} MB/s  {len(truth) / (t1 - t0):.0f} files/s")
print(f"finds:        {len(found)}, {exact} of {len(truth)} exact")
PY
