#!/usr/bin/env python3
"""Checks `recover --organise date` against exiftool on a bench image with its ground truth.

    bench/organise_dates.py IMAGE TRUTH.tsv [PICTAVO_CLI]

Saves the image's finds organised by date into a scratch folder, then, for every JPEG of the
ground truth whose DateTimeOriginal exiftool reads, looks up the saved file with the same SHA-256
and checks that it lies in YYYY/YYYY-MM-DD/ under "YYYY-MM-DD HH.MM.SS.jpeg" (or " (n)" added).
Prints the count placed as exiftool's date says, and every miss.
"""
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

image, truth_path = sys.argv[1], sys.argv[2]
here = os.path.dirname(os.path.abspath(__file__))
cli = sys.argv[3] if len(sys.argv) > 3 else os.path.join(here, "..", "build", "dev", "src", "cli",
                                                         "pictavo-cli")
scratch = tempfile.mkdtemp(prefix="pictavo-organise-", dir="/dev/shm")
try:
    out = os.path.join(scratch, "out")
    subprocess.run([cli, "recover", image, "--organise", "date", "--allow-same-filesystem",
                    "--to", out], check=False, stdout=subprocess.DEVNULL)
    saved = {}
    for folder, _, names in os.walk(out):
        for name in names:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                saved.setdefault(hashlib.sha256(f.read()).hexdigest(), []).append(
                    os.path.relpath(path, out))

    rows = [line.split("\t") for line in open(truth_path).read().splitlines()[1:]]
    jpegs = [r for r in rows if r[0] in ("jpg", "jpeg")]
    extracted = os.path.join(scratch, "truth")
    os.mkdir(extracted)
    with open(image, "rb") as medium:
        for kind, offset, length, sha, name, *_ in jpegs:
            medium.seek(int(offset))
            with open(os.path.join(extracted, sha + ".jpg"), "wb") as f:
                f.write(medium.read(int(length)))
    listing = subprocess.run(["exiftool", "-j", "-q", "-q", "-DateTimeOriginal", extracted],
                             capture_output=True, text=True).stdout
    dates = {}
    for entry in json.loads(listing or "[]"):
        value = entry.get("DateTimeOriginal")
        if value:
            dates[os.path.basename(entry["SourceFile"])[:-4]] = str(value)

    placed, misses = 0, []
    for sha, value in sorted(dates.items()):
        m = re.match(r"(\d{4}):(\d\d):(\d\d) (\d\d):(\d\d):(\d\d)", value)
        if not m:
            misses.append((sha, value, "exiftool date not understood"))
            continue
        y, mo, d, h, mi, s = m.groups()
        folder = f"{y}/{y}-{mo}-{d}"
        pattern = re.compile(re.escape(f"{folder}/{y}-{mo}-{d} {h}.{mi}.{s}") +
                             r"( \(\d+\))?\.jpeg$")
        paths = saved.get(sha, [])
        if any(pattern.match(p) for p in paths):
            placed += 1
        else:
            misses.append((sha, value, ", ".join(paths) or "not saved with this content"))
    print(f"JPEGs in the ground truth: {len(jpegs)}; with a DateTimeOriginal (exiftool): "
          f"{len(dates)}; saved in the folder and under the name of that date: {placed}")
    for sha, value, where in misses:
        print(f"  miss: {sha[:16]} {value}: {where}")
finally:
    shutil.rmtree(scratch, ignore_errors=True)
