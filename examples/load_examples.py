#!/usr/bin/env python3
"""Loads each file given on the command line with difral and prints one line
per file: its name, the number of points, the x range, whether the file gave
uncertainties (e), or the error that the load raised.

Usage: load_examples.py [FILE ...]   (default: every file in data/ beside
this script)

Exits with status 1 if any file failed to load, else 0.
"""

import math
import os
import pathlib
import sys

import difral


def x_range(x: list[float]) -> str:
    finite = [v for v in x if not math.isnan(v)]
    if not finite:
        return "-"
    return f"{min(finite):g} .. {max(finite):g}"


def describe(path: str) -> tuple[list[str], bool]:
    """The table cells for one file, and whether it loaded."""
    try:
        pattern = difral.load_file(path)
    except (OSError, ValueError) as error:
        return [path, f"{type(error).__name__}: {error}"], False
    x = pattern.x
    has_e = "yes" if pattern.e is not None else "no"
    return [path, str(len(x)), x_range(x), has_e], True


def main(argv: list[str]) -> int:
    paths = argv[1:]
    if not paths:
        data = pathlib.Path(__file__).resolve().parent / "data"
        paths = sorted(os.path.relpath(p) for p in data.iterdir() if p.is_file())
    rows = []
    failures = 0
    for path in paths:
        cells, loaded = describe(path)
        rows.append(cells)
        failures += 0 if loaded else 1

    width = max([len("file")] + [len(row[0]) for row in rows])
    print(f"{'file':<{width}}  {'points':>6}  {'x range':<18}  e")
    for row in rows:
        if len(row) == 2:  # a failed load: name and error
            print(f"{row[0]:<{width}}  {row[1]}")
        else:
            name, points, span, has_e = row
            print(f"{name:<{width}}  {points:>6}  {span:<18}  {has_e}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
