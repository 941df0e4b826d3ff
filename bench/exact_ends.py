#!/usr/bin/env python3
"""Scores the rules against the exact-ends mode on a ground-truth image.

  bench/exact_ends.py --cli build/dev/src/cli/pictavo-cli --truth IMG.tsv IMG [--runs 3]

Scans IMG with and without --exact-ends (the middle of --runs timed scans each), and prints for
both modes: the files found with exactly their true offset and length, the finds per type, the
bytes a recover would write against the bytes of the true files, the wall time and the peak
resident size; then every true file the exact-ends mode does not find exactly.
"""
import argparse
import collections
import re
import subprocess
import sys


def load_tsv(path):
    with open(path) as f:
        header = f.readline().rstrip('\n').split('\t')
        return [dict(zip(header, line.rstrip('\n').split('\t'))) for line in f if line.strip()]


def timed_scan(cli, image, exact):
    args = ['/usr/bin/time', '-v', cli, 'scan', '--format', 'tsv', image]
    if exact:
        args.insert(4, '--exact-ends')
    run = subprocess.run(args, capture_output=True, text=True, check=False)
    wall = re.search(r'Elapsed \(wall clock\) time.*?: (?:(\d+):)?(\d+):([\d.]+)', run.stderr)
    rss = re.search(r'Maximum resident set size \(kbytes\): (\d+)', run.stderr)
    seconds = int(wall.group(1) or 0) * 3600 + int(wall.group(2)) * 60 + float(wall.group(3))
    finds = [line.split('\t') for line in run.stdout.splitlines()[1:] if line]
    return seconds, int(rss.group(1)) if rss else 0, finds


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('--cli', required=True)
    ap.add_argument('--truth', required=True)
    ap.add_argument('--runs', type=int, default=3)
    ap.add_argument('image')
    a = ap.parse_args()
    truth = load_tsv(a.truth)
    true_bytes = sum(int(t['length']) for t in truth)
    for exact in (False, True):
        runs = sorted((timed_scan(a.cli, a.image, exact) for _ in range(a.runs)),
                      key=lambda r: r[0])
        seconds, rss, finds = runs[len(runs) // 2]
        found = {(int(f[2]), int(f[3])) for f in finds}
        hits = [t for t in truth if (int(t['offset']), int(t['length'])) in found]
        per_type = collections.Counter(f[1] for f in finds)
        written = sum(int(f[3]) for f in finds)
        print(f"{'exact-ends' if exact else 'rules'}: {len(hits)}/{len(truth)} exact, "
              f"{len(finds)} finds ({dict(sorted(per_type.items()))}), writes {written} bytes "
              f"= {written / true_bytes:.2f} x the true {true_bytes}, "
              f"{seconds:.2f} s, {rss // 1024} MiB")
        if exact:
            by_offset = collections.defaultdict(list)
            for f in finds:
                by_offset[int(f[2])].append(f)
            for t in truth:
                if (int(t['offset']), int(t['length'])) in found:
                    continue
                at = by_offset.get(int(t['offset']), [])
                print(f"  not exact: {t['type']} {t.get('name', '')} at {t['offset']} "
                      f"length {t['length']} {t.get('variant', '')}: "
                      f"{[(f[1], int(f[3])) for f in at] or 'no find there'}")
    return 0


if __name__ == '__main__':
    sys.exit(main())
