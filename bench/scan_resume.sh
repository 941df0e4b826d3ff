#!/usr/bin/env bash
# A scan stopped with Ctrl-C at about 10 %, 50 % and 90 % of its time, then resumed from its
# checkpoint, against one uninterrupted scan of the same image: the lists must be the same.
#
#   bench/scan_resume.sh [IMAGE]
#
# IMAGE defaults to the 1 GiB ground-truth image of ../shared/bench/make_image.py.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
cli=${PICTAVO_CLI:-$root/build/dev/src/cli/pictavo-cli}
image=${1:-/tmp/carvebench/img_1G_s1.img}
[ -f "$image" ] || { echo "no image at $image (see bench/scan_throughput.sh)" >&2; exit 1; }
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
cat "$image" > /dev/null  # warm the page cache

t0=$(date +%s.%N)
"$cli" scan --format tsv "$image" > "$work/whole.tsv" 2>/dev/null
t1=$(date +%s.%N)
whole=$(echo "$t1 - $t0" | bc -l)
echo "uninterrupted scan: $(($(wc -l < "$work/whole.tsv") - 1)) finds in ${whole} s"
for percent in 10 50 90; do
  ck="$work/c$percent.dat"
  "$cli" scan --format tsv --allow-same-filesystem --checkpoint "$ck" "$image" \
    > /dev/null 2>&1 &
  pid=$!
  sleep "$(echo "$whole * $percent / 100" | bc -l)"
  kill -INT "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  if ! head -1 "$ck" | grep -q '^pictavo scan checkpoint'; then
    echo "stopped near $percent %: the scan had ended already"
    continue
  fi
  at=$(sed -n 's/^position //p' "$ck")
  "$cli" scan --format tsv --allow-same-filesystem --resume "$ck" "$image" \
    > "$work/r$percent.tsv" 2>/dev/null || true
  if cmp -s "$work/whole.tsv" "$work/r$percent.tsv"; then same=same; else same=DIFFERENT; fi
  echo "stopped near $percent % (checkpoint at byte ${at:-?}), resumed: $same finds"
done
