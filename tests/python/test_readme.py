"""Every Python snippet of the README's recipes and scale sections runs as
written, in a folder whose scans/ holds copies of the bundled examples, and
does what the README says. Snippets that need numpy, dask or matplotlib are
skipped where this interpreter lacks them (Debian's python3 has them)."""

import importlib.util
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import difral

from helpers import EXAMPLE_DATA, EXAMPLES, REPO

README = (REPO / "README.md").read_text(encoding="utf-8")
# Every Python block from this heading to the next one of its level is in
# the table below.
FIRST, LAST = "Python recipes", "Examples"
# Debian 12's matplotlib, which drew examples/examples.png: the same
# version draws the same bytes.
PNG_MATPLOTLIB = "3.6.3"


def blocks(heading):
    """The Python blocks between a heading and the next one."""
    text = re.split(rf"^#+ {re.escape(heading)}\n", README, maxsplit=1, flags=re.M)[1]
    text = re.split(r"^#+ ", text, maxsplit=1, flags=re.M)[0]
    return re.findall(r"```python\n(.*?)```", text, re.S)


def missing(*modules):
    """The first of the modules this interpreter cannot import, or None."""
    return next((m for m in modules if importlib.util.find_spec(m.split(".")[0]) is None),
                None)


def example(name):
    return str(EXAMPLE_DATA / name)


XY = difral.load_file(example("example.xy"))
XY_POINTS = len(XY.x)
XY_PEAK = (XY.x[XY.y.index(max(XY.y))], max(XY.y))
XY_TOTAL = sum(XY.y)

# Files written into scans/ for the encoding snippet, and what they load as.
ENCODED = {
    "latin-1.xy": "# Probe: Quarz, 25 °C\n26.00 120\n26.05 121\n".encode("latin-1"),
    "shift-jis.xy": "# 試料: 石英\r\n26.00 120\r\n26.05 121\r\n".encode("shift_jis"),
}
LOAD_ENCODED = (
    "print(european.x, european.y, japanese.x, japanese.y)\n"
    "for name in ('latin-1.xy', 'shift-jis.xy'):\n"
    "    try:\n"
    "        difral.load_file('scans/' + name)\n"
    "    except OSError as error:\n"
    "        print(error)\n")

# The dask.bag snippet, then what the README says of mapping load_file.
BAG_CHECK = (
    "    print(peaks)\n"
    "    try:\n"
    "        dask.bag.from_sequence(paths).map(difral.load_file).compute(scheduler='processes')\n"
    "    except TypeError as error:\n"
    "        print(error)\n")

SCANS = ["a.xy", "b.xy", "c.xy"]

# (name, heading, block, files in scans/ (copies of example.xy unless they
# name an example), code run after the block, modules needed, exit status,
# output, end of stderr)
TABLE = [
    ("pathlib", "Python recipes", 0, ["a.xy"], "print(len(pattern.x))", (), 0,
     f"{XY_POINTS}\n", ""),
    ("batch", "Python recipes", 1, ["a.xy", "b.xy"], "print(sorted(patterns))", (), 0,
     "['a.xy', 'b.xy']\n", ""),
    ("batch names the file", "Python recipes", 1, ["a.xy", "notes.txt"], "", (), 1, "",
     "ValueError: Unknown format\nwhile loading scans/notes.txt\n"),
    ("processes", "Many files", 0, SCANS,
     "    print(len(peaks), peaks['scans/b.xy'], [len(x) for x, y in loaded.values()],"
     " type(loaded['scans/c.xy'][1]).__name__)", (), 0,
     f"3 {XY_PEAK} [{XY_POINTS}, {XY_POINTS}, {XY_POINTS}] array\n", ""),
    ("dask.bag", "dask", 0, SCANS, BAG_CHECK, ("dask.bag",), 0,
     f"[{XY_PEAK}, {XY_PEAK}, {XY_PEAK}]\ncannot pickle 'builtins.Pattern' object\n", ""),
    ("dask.distributed", "dask", 1, SCANS, "    print(totals)", ("dask.distributed",), 0,
     f"[{XY_TOTAL}, {XY_TOTAL}, {XY_TOTAL}]\n", ""),
    ("numpy", "numpy", 0, ["example.xy"],
     "print(x.dtype, x.tolist() == pattern.x, y.tolist() == pattern.y)", ("numpy",), 0,
     # The README's figures: 32 bytes a value in a list, 8 in an array.
     f"{XY_POINTS} values: list {56 + 32 * XY_POINTS} bytes, array {8 * XY_POINTS} bytes\n"
     "float64 True True\n", ""),
    ("rasx conditions", "Metadata beside the pattern", 0, ["example.rasx"], "", (), 0,
     "{'wavelength': 1.540593, 'axis': 'TwoThetaTheta', 'unit': 'deg'}\n", ""),
    ("csv header", "Metadata beside the pattern", 1, ["example.csv"], "", (), 0,
     f"['2theta', 'intensity', 'esd'] {len(difral.load_file(example('example.csv')).x)}\n",
     ""),
    ("encodings", "Other text encodings", 0, list(ENCODED), LOAD_ENCODED, (), 0,
     "[26.0, 26.05] [120.0, 121.0] [26.0, 26.05] [120.0, 121.0]\n"
     + "stream did not contain valid UTF-8\n" * 2, ""),
]


class Snippets(unittest.TestCase):
    def run_snippet(self, code, files):
        with tempfile.TemporaryDirectory() as folder:
            os.mkdir(os.path.join(folder, "scans"))
            for name in files:
                target = os.path.join(folder, "scans", name)
                if name in ENCODED:
                    with open(target, "wb") as f:
                        f.write(ENCODED[name])
                else:
                    source = name if (EXAMPLE_DATA / name).exists() else "example.xy"
                    shutil.copy(EXAMPLE_DATA / source, target)
            script = os.path.join(folder, "snippet.py")
            with open(script, "w", encoding="utf-8") as f:
                f.write(code)
            return subprocess.run([sys.executable, script], capture_output=True, text=True,
                                  cwd=folder, timeout=300)

    def test_every_snippet_is_run(self):
        headings = re.findall(r"^#+ (.+)$", README, re.M)
        covered = headings[headings.index(FIRST):headings.index(LAST)]
        found = {(h, i) for h in covered for i in range(len(blocks(h)))}
        self.assertEqual({(row[1], row[2]) for row in TABLE}, found)

    def test_snippets(self):
        for name, heading, index, files, check, modules, status, output, error_end in TABLE:
            with self.subTest(name):
                absent = missing(*modules)
                if absent:
                    self.skipTest(f"{absent} is not installed for {sys.executable} "
                                  "(Debian's python3 has it: python3-numpy, python3-dask, "
                                  "python3-distributed)")
                result = self.run_snippet(blocks(heading)[index] + check + "\n", files)
                self.assertEqual((result.returncode, result.stdout), (status, output),
                                 result.stderr)
                self.assertTrue(result.stderr.endswith(error_end), result.stderr)


@unittest.skipIf(missing("matplotlib"), "matplotlib is not installed for this interpreter "
                 "(Debian: python3-matplotlib, for Debian's python3)")
class PlotExamples(unittest.TestCase):
    def test_draws_the_picture_the_readme_shows(self):
        committed = (EXAMPLES / "examples.png").read_bytes()
        with tempfile.TemporaryDirectory() as folder:
            output = os.path.join(folder, "examples.png")
            result = subprocess.run([sys.executable, str(EXAMPLES / "plot_examples.py"), output],
                                    capture_output=True, text=True, timeout=300)
            self.assertEqual(result.returncode, 0, result.stderr)
            with open(output, "rb") as f:
                drawn = f.read()
        self.assertIn("](examples/examples.png)", README)
        # PNG signature and the IHDR's width and height.
        self.assertEqual(drawn[:8], b"\x89PNG\r\n\x1a\n")
        self.assertEqual(drawn[16:24], committed[16:24])
        import matplotlib

        if matplotlib.__version__ == PNG_MATPLOTLIB:
            self.assertEqual(drawn, committed, "rerun examples/plot_examples.py")


if __name__ == "__main__":
    unittest.main()
