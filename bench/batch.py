# SPDX-License-Identifier: MIT
"""Times the ways of loading many files with difral, on the same files in
the same run. Four cases end with every file's x and y columns in the parent
process: a serial loop, a thread pool, and process pools that send the
columns back as lists or as array('d'); they must agree exactly. The fifth
reduces each pattern in the worker and sends back only its highest point
(position and intensity), which must agree with the serial loop's columns.

Usage (from the repository, after a build; installs nothing):

  PYTHONPATH=build/dev/src/python python3.12 bench/batch.py [options]

The files come from generate.py: --files windows of --points points of one
synthetic scan, "%.4f %.4f" per line, kept in --data-dir between runs. Each
case runs --repeat times; the table shows the best wall-clock time, the
pools' start-up included, and the least processor time (user and system) of
all processes and of the parent alone: on a busy machine the wall-clock time
of the pools says little, their processor time still shows what each way
costs, and the parent's share is what no number of workers takes away. The
pools have --workers workers (default: one per core) and hand out
--chunksize files at a time.
"""

import argparse
import array
import json
import os
import pathlib
import platform
import resource
import sys
import time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import difral

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import generate  # noqa: E402  (beside this script)


def highest(x, y):
    """The position and intensity of the highest point."""
    i = y.index(max(y))
    return x[i], y[i]


def as_lists(path):
    pattern = difral.load_file(path)
    return pattern.x, pattern.y


def as_arrays(path):
    pattern = difral.load_file(path)
    return array.array("d", pattern.x), array.array("d", pattern.y)


def reduced(path):
    pattern = difral.load_file(path)
    return highest(pattern.x, pattern.y)


def serial(files, workers, chunksize):
    return [as_lists(f) for f in files]


def threads(files, workers, chunksize):
    with ThreadPoolExecutor(workers) as pool:
        return list(pool.map(as_lists, files))


def processes_lists(files, workers, chunksize):
    with ProcessPoolExecutor(workers) as pool:
        return list(pool.map(as_lists, files, chunksize=chunksize))


def processes_arrays(files, workers, chunksize):
    with ProcessPoolExecutor(workers) as pool:
        return list(pool.map(as_arrays, files, chunksize=chunksize))


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


def agrees(result, columns, reduced_case):
    """Whether a case's result is what the serial loop's columns give."""
    if reduced_case:
        return result == [highest(x, y) for x, y in columns]
    return [(list(x), list(y)) for x, y in result] == columns


def cpu_seconds(who):
    usage = resource.getrusage(who)
    return usage.ru_utime + usage.ru_stime


def measure(case, files, workers, chunksize):
    """The case's result, wall-clock time, processor time of all processes
    (the pool's workers are waited for when it shuts down) and of the parent."""
    parent = cpu_seconds(resource.RUSAGE_SELF)
    children = cpu_seconds(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    result = case(files, workers, chunksize)
    wall = time.perf_counter() - start
    parent = cpu_seconds(resource.RUSAGE_SELF) - parent
    children = cpu_seconds(resource.RUSAGE_CHILDREN) - children
    return result, wall, parent + children, parent


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
    print("| case | wall | × serial | processor, all | processor, parent |")
    print("|---|---:|---:|---:|---:|")
    columns = None
    failed = False
    base = None
    for name, case in CASES:
        runs = [measure(case, files, args.workers, args.chunksize) for _ in range(args.repeat)]
        columns = columns or runs[0][0]
        for result, *_ in runs:
            if not agrees(result, columns, case is processes_reduced):
                print(f"error: {name} gave other results than the serial loop", file=sys.stderr)
                failed = True
        wall, cpu, parent = (min(run[i] for run in runs) for i in (1, 2, 3))
        base = base or wall
        print(f"| {name} | {wall:.2f} s | {wall / base:.2f} | {cpu:.2f} s | {parent:.2f} s |")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
