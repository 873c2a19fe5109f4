# SPDX-License-Identifier: MIT
"""Writes the benchmark inputs: one synthetic powder pattern in every format
difral reads, plus a folder of small .xy files for the per-call overhead.

Usage: generate.py [--points N] [--small-files K] [--small-points M] [DIR]

The pattern is a scan from 10 to 110 degrees 2-theta: a decaying background,
forty peaks of random position, height and width (pseudo-Voigt), and counting
noise, from a fixed seed so the same arguments give the same bytes. Files:

  pattern.xye        "%.4f %.4f %.4f" per line (x, y, e), one comment line
  pattern.csv        the same values, comma-separated, one header line
  pattern.raw        GSAS text: a title, a BANK line (CONST, STD) and ten
                     "%8d" counts per line
  pattern.rasx       ZIP archive; its deflated Data0/Profile0.txt holds
                     tab-separated 2-theta, intensity and attenuation, as
                     Rigaku instruments write it (BOM, CR LF)
  profile.xye        the uncompressed text of that member, as a plain file
  small/NNNNN.xy     K files of M points, "%.4f %.4f" per line

A manifest.json records the arguments; a later call with the same arguments
leaves the files alone. Runs on CPython 3.11 and 3.12, standard library only.
"""

import argparse
import json
import math
import os
import pathlib
import random
import struct
import sys
import zipfile

FIXED_TIME = (2024, 1, 1, 0, 0, 0)
FIRST_X = 10.0
LAST_X = 110.0
SEED = 20240101
FORMAT_VERSION = 1

CONDITIONS = """<?xml version="1.0" encoding="utf-8"?>
<MeasurementConditions>
  <ScanAxis>TwoThetaTheta</ScanAxis>
  <Start>{start:.4f}</Start>
  <Stop>{stop:.4f}</Stop>
  <Step>{step:.8f}</Step>
  <Comment>Synthetic scan written by the difral benchmark</Comment>
</MeasurementConditions>
"""

ROOT = """<?xml version="1.0" encoding="utf-8"?>
<Root><Data0 Profile="Data0/Profile0.txt" /></Root>
"""


def pattern(points, seed=SEED):
    """The x positions and noisy intensities of one scan of `points` points."""
    rng = random.Random(seed)
    step = (LAST_X - FIRST_X) / max(points, 1)
    x = [FIRST_X + i * step for i in range(points)]
    mean = [150.0 + 2000.0 * math.exp(-(v - FIRST_X) / 15.0) for v in x]
    for _ in range(40):
        centre = rng.uniform(FIRST_X + 2, LAST_X - 2)
        height = rng.uniform(500.0, 30000.0)
        fwhm = rng.uniform(0.05, 0.3)
        eta = rng.uniform(0.2, 0.6)
        # The Lorentzian tail is cut at 20 widths, where it has fallen to
        # 1/1600 of the height: far below the noise.
        lo = max(0, int((centre - 20 * fwhm - FIRST_X) / step))
        hi = min(points, int((centre + 20 * fwhm - FIRST_X) / step) + 1)
        gauss = -4.0 * math.log(2.0) / (fwhm * fwhm)
        lorentz = 4.0 / (fwhm * fwhm)
        for i in range(lo, hi):
            d = x[i] - centre
            d2 = d * d
            mean[i] += height * (
                (1 - eta) * math.exp(gauss * d2) + eta / (1.0 + lorentz * d2)
            )
    y = [max(m + rng.gauss(0.0, math.sqrt(m)), 1.0) for m in mean]
    return x, y


def float32(value):
    """The value rounded to single precision, as an instrument stores it."""
    return struct.unpack("f", struct.pack("f", value))[0]


def write_text(path, lines, newline="\n", prefix=""):
    with open(path, "w", encoding="utf-8", newline="") as out:
        out.write(prefix)
        out.write(newline.join(lines))
        out.write(newline)


def write_raw(path, x, y):
    points = len(y)
    step = x[1] - x[0] if points > 1 else 0.01
    counts = [round(v) for v in y]
    records = (points + 9) // 10
    lines = [
        "difral benchmark: synthetic scan, {} points".format(points).ljust(80),
        "BANK 1 {} {} CONST {:.4f} {:.6f} 0 0 STD".format(
            points, records, x[0] * 100.0, step * 100.0
        ),
    ]
    for first in range(0, points, 10):
        lines.append("".join("%8d" % c for c in counts[first : first + 10]))
    write_text(path, lines)


def profile_lines(x, y):
    return ["%.4f\t%.15g\t1" % (a, float32(b)) for a, b in zip(x, y)]


def write_rasx(path, x, y, text):
    def member(archive, name, data):
        info = zipfile.ZipInfo(name, date_time=FIXED_TIME)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.create_system = 3
        info.external_attr = 0o644 << 16
        archive.writestr(info, data)

    step = x[1] - x[0] if len(x) > 1 else 0.0
    conditions = CONDITIONS.format(
        start=x[0] if x else 0.0, stop=x[-1] if x else 0.0, step=step
    )
    with zipfile.ZipFile(path, "w") as archive:
        member(archive, "Data0/Profile0.txt", text)
        member(archive, "Data0/MesurementConditions0.xml", conditions.encode())
        member(archive, "root.xml", ROOT.encode())


def write_small(folder, x, y, files, points):
    folder.mkdir(parents=True, exist_ok=True)
    total = len(x)
    for k in range(files):
        # Each file is a different window of the big scan.
        first = (k * 7919 * points) % max(total - points, 1)
        lines = [
            "%.4f %.4f" % (x[i], y[i])
            for i in range(first, min(first + points, total))
        ]
        write_text(folder / "{:05d}.xy".format(k), lines)


def generate(folder, points=1_000_000, small_files=10_000, small_points=100):
    """Writes every input into folder, unless its manifest says they are
    already there for these arguments. Returns the manifest."""
    folder = pathlib.Path(folder)
    manifest_path = folder / "manifest.json"
    wanted = {
        "version": FORMAT_VERSION,
        "points": points,
        "small_files": small_files,
        "small_points": small_points,
        "seed": SEED,
    }
    try:
        if json.loads(manifest_path.read_text()) == wanted:
            return wanted
    except (OSError, ValueError):
        pass
    folder.mkdir(parents=True, exist_ok=True)
    if manifest_path.exists():
        manifest_path.unlink()

    x, y = pattern(points)
    e = [math.sqrt(v) for v in y]
    columns = ["%.4f %.4f %.4f" % row for row in zip(x, y, e)]
    write_text(folder / "pattern.xye", ["# 2theta intensity esd"] + columns)
    write_text(
        folder / "pattern.csv",
        ["2theta,intensity,esd"] + [c.replace(" ", ",") for c in columns],
    )
    del columns
    write_raw(folder / "pattern.raw", x, y)
    profile = profile_lines(x, y)
    text = ("\ufeff" + "\r\n".join(profile) + "\r\n").encode("utf-8")
    del profile
    write_rasx(folder / "pattern.rasx", x, y, text)
    (folder / "profile.xye").write_bytes(text)
    del text
    # The small files are windows of a scan of their own length at least.
    sx, sy = (x, y) if points >= 10 * small_points else pattern(100 * small_points)
    write_small(folder / "small", sx, sy, small_files, small_points)
    manifest_path.write_text(json.dumps(wanted))
    return wanted


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder", nargs="?", default=str(
        pathlib.Path(__file__).resolve().parent / "data"))
    parser.add_argument("--points", type=int, default=1_000_000)
    parser.add_argument("--small-files", type=int, default=10_000)
    parser.add_argument("--small-points", type=int, default=100)
    args = parser.parse_args(argv)
    if args.points < 2 or args.small_points < 1 or args.small_files < 0:
        parser.error("need at least 2 points and 1 point per small file")
    generate(args.folder, args.points, args.small_files, args.small_points)
    for name in sorted(os.listdir(args.folder)):
        path = os.path.join(args.folder, name)
        if os.path.isfile(path):
            print("{:>14,} {}".format(os.path.getsize(path), path))
    return 0


if __name__ == "__main__":
    sys.exit(main())
