# SPDX-License-Identifier: MIT
"""Times the ways of loading many files with difral, on the same files in
the same run: a serial loop, a thread pool, and process pools that return
the columns as lists, return them as array('d'), or reduce each pattern in
the worker. Every case ends with the same result in the parent, each file's
highest point (position and intensity); the results must agree exactly.

Usage (from the repository, after a build; installs nothing):

  PYTHONPATH=build/dev/src/python python3.12 bench/batch.py [options]

The files come from generate.py: --files windows of --points points of one
synthetic scan, "%.4f %.4f" per line, kept in --data-dir between runs. Each
case runs --repeat times; the table shows the best, the pools' start-up
included. The pools have --workers workers (default: one per core) and hand
out --chunksize files at a time.
"""

import argparse
import array
import json
import os
import pathlib
import platform
import sys
import time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import difral

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import generate  # noqa: E402  (beside this script)


def highest(x, y):
    """The position and intensity of the highest point."""
    i = max(range(len(y)), key=y.__getitem__)
    return x[i], y[i]


def reduced(path):
    pattern = difral.load_file(path)
    return highest(pattern.x, pattern.y)


def as_lists(path):
    pattern = difral.load_file(path)
    return pattern.x, pattern.y


def as_arrays(path):
    pattern = difral.load_file(path)
    return array.array("d", pattern.x), array.array("d", pattern.y)


def serial(files, workers, chunksize):
    return [reduced(f) for f in files]


def threads(files, workers, chunksize):
    with ThreadPoolExecutor(workers) as pool:
        return list(pool.map(reduced, files))


def processes_lists(files, workers, chunksize):
    with ProcessPoolExecutor(workers) as pool:
        return [highest(x, y) for x, y in pool.map(as_lists, files, chunksize=chunksize)]


def processes_arrays(files, workers, chunksize):
    with ProcessPoolExecutor(workers) as pool:
        return [highest(x, y) for x, y in pool.map(as_arrays, files, chunksize=chunksize)]


def processes_reduced(files, workers, chunksize):
    with ProcessPoolExecutor(workers) as pool:
        return list(pool.map(reduced, files, chunksize=chunksize))


CASES = [
    ("serial loop", serial),
    ("threads", threads),
    ("processes, columns as lists", processes_lists),
    ("processes, columns as array('d')", processes_arrays),
    ("processes, reduced in the worker", processes_reduced),
]


def files_of(folder, count, points):
    """The generated files, written first unless a manifest says they are there."""
    folder = pathlib.Path(folder) / f"batch-{count}x{points}"
    manifest = folder / "manifest.json"
    wanted = {"version": generate.FORMAT_VERSION, "files": count, "points": points}
    try:
        ready = json.loads(manifest.read_text()) == wanted
    except (OSError, ValueError):
        ready = False
    if not ready:
        x, y = generate.pattern(100 * points)
        generate.write_small(folder, x, y, count, points)
        manifest.write_text(json.dumps(wanted))
    return sorted(str(p) for p in folder.glob("*.xy"))[:count]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", type=int, default=4000)
    parser.add_argument("--points", type=int, default=1000)
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--chunksize", type=int, default=64)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--data-dir", default=str(HERE / "data"))
    args = parser.parse_args(argv)
    if args.files < 1 or args.points < 2 or args.workers < 1 or args.repeat < 1:
        parser.error("need at least 1 file of 2 points, 1 worker and 1 repeat")

    files = files_of(args.data_dir, args.files, args.points)
    size = sum(os.path.getsize(f) for f in files)
    print(f"difral batch benchmark: {len(files)} files of {args.points} points "
          f"({size / 1e6:.1f} MB), {args.workers} workers, chunks of {args.chunksize}, "
          f"best of {args.repeat}")
    print(f"machine: {platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
          f"load average {os.getloadavg()[0]:.2f}; CPython {platform.python_version()}")
    print()
    print("| case | best | per file | × serial |")
    print("|---|---:|---:|---:|")
    expected = None
    failed = False
    base = None
    for name, case in CASES:
        times = []
        for _ in range(args.repeat):
            start = time.perf_counter()
            result = case(files, args.workers, args.chunksize)
            times.append(time.perf_counter() - start)
        if expected is None:
            expected = result
        elif result != expected:
            print(f"error: {name} gave other results than the serial loop", file=sys.stderr)
            failed = True
        best = min(times)
        base = base or best
        print(f"| {name} | {best:.3f} s | {best / len(files) * 1e6:.0f} µs | {best / base:.2f} |")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
