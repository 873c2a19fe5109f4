#!/usr/bin/env python3
"""Draws the bundled example patterns with matplotlib, one panel per file,
with error bars where the file gives uncertainties, into a PNG.

Usage: plot_examples.py [OUTPUT]   (default: examples.png beside this script)

Needs matplotlib (Debian: python3-matplotlib, for Debian's own python3).
"""

import pathlib
import sys

import matplotlib

matplotlib.use("Agg")  # draws to a file; no display needed
import matplotlib.pyplot as plt  # noqa: E402  (after the backend is chosen)

import difral  # noqa: E402


def main(argv: list[str]) -> int:
    here = pathlib.Path(__file__).resolve().parent
    output = pathlib.Path(argv[1]) if len(argv) > 1 else here / "examples.png"
    files = sorted(p for p in (here / "data").iterdir() if p.is_file())
    figure, axes = plt.subplots(len(files), 1, figsize=(7, 1.6 * len(files)),
                                constrained_layout=True)
    for ax, path in zip(axes, files):
        pattern = difral.load_file(str(path))
        if pattern.e is not None:
            ax.errorbar(pattern.x, pattern.y, yerr=pattern.e, fmt=".", markersize=3,
                        linewidth=0.8)
        else:
            ax.plot(pattern.x, pattern.y, ".-", markersize=3, linewidth=0.8)
        ax.set_title(f"{path.name}: {len(pattern.x)} points", loc="left", fontsize=9)
        ax.set_ylabel("counts")
    axes[-1].set_xlabel("2θ (degrees)")
    # No software version in the file, so that one matplotlib gives one PNG.
    figure.savefig(output, dpi=100, metadata={"Software": None})
    print(f"wrote {output}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
