#!/usr/bin/env python3
"""Scores the rules against the exact-ends mode on a ground-truth image.

  bench/exact_ends.py --cli build/dev/src/cli/pictavo-cli --truth IMG.tsv IMG [--runs 3]
  bench/exact_ends.py --cli build/dev/src/cli/pictavo-cli --corpus DIR


Scans IMG with and without --exact-ends (the middle of --runs timed scans each), and prints for
both modes: the files found with exactly their true offset and length, the finds per type, the
bytes a recover would write against the bytes of the true files, the wall time and the peak
resident size; then every true file the exact-ends mode does not find exactly.

With --corpus, lays every sample that DIR/MANIFEST.tsv lists between random bytes (the sample on a
sector boundary), scans that medium in both modes and prints, per sample, the length each mode
finds at the sample's offset, and whether the exact-ends mode recovers it byte for byte.
"""
import argparse
import collections
import os
import random
import re
import subprocess
import sys
import tempfile


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


def scan_finds(cli, image, exact):
    args = [cli, 'scan', '--format', 'tsv', image]
    if exact:
        args.insert(2, '--exact-ends')
    run = subprocess.run(args, capture_output=True, text=True, check=False)
    return [line.split('\t') for line in run.stdout.splitlines()[1:] if line]


def corpus(cli, directory):
    """Scores every corpus sample laid between random bytes; returns the number not exact."""
    samples = load_tsv(os.path.join(directory, 'MANIFEST.tsv'))
    lead = 64 * 1024
    not_exact = 0
    with tempfile.TemporaryDirectory() as tmp:
        medium = os.path.join(tmp, 'medium.bin')
        for i, sample in enumerate(samples):
            path = os.path.join(directory, sample['path'])
            if not os.path.isfile(path):
                continue
            with open(path, 'rb') as f:
                data = f.read()
            noise = random.Random(i)
            with open(medium, 'wb') as f:
                f.write(noise.randbytes(lead))
                f.write(data)
                f.write(noise.randbytes(-len(data) % 512 + 256 * 1024))
            lengths = []
            for exact in (False, True):
                at = [f for f in scan_finds(cli, medium, exact) if int(f[2]) == lead]
                lengths.append(', '.join(f'{f[1]} {f[3]}' for f in at) or 'none')
            whole = lengths[1].endswith(f' {len(data)}')
            not_exact += not whole
            print(f"{'exact' if whole else 'NOT  '}  {sample['path']} ({len(data)} bytes): "
                  f"rules {lengths[0]}; exact-ends {lengths[1]}")
    print(f'{not_exact} of the samples not recovered byte for byte in the exact-ends mode')
    return not_exact


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('--cli', required=True)
    ap.add_argument('--truth')
    ap.add_argument('--runs', type=int, default=3)
    ap.add_argument('--corpus', help='score the samples of this corpus directory instead')
    ap.add_argument('image', nargs='?')
    a = ap.parse_args()
    if a.corpus:
        corpus(a.cli, a.corpus)
        return 0
    if not a.truth or not a.image:
        ap.error('an image and its --truth are needed without --corpus')
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
