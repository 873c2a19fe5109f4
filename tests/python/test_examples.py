"""The bundled examples: the loader script and the RASX generator."""

import os
import subprocess
import sys
import tempfile
import unittest

import difral

from helpers import EXAMPLES, EXAMPLE_DATA, bits

SCRIPT = EXAMPLES / "load_examples.py"


def run(*arguments, cwd=None):
    """Runs the script as a command, as the README does, with this
    interpreter as the python3 that its first line asks for."""
    with tempfile.TemporaryDirectory() as folder:
        os.symlink(sys.executable, os.path.join(folder, "python3"))
        environment = dict(os.environ, PATH=folder + os.pathsep + os.environ["PATH"])
        return subprocess.run([str(SCRIPT), *arguments], capture_output=True, text=True,
                              cwd=cwd, env=environment, timeout=60)


class LoadExamples(unittest.TestCase):
    def test_one_line_per_file(self):
        files = sorted(str(p) for p in EXAMPLE_DATA.iterdir())
        self.assertEqual({os.path.splitext(f)[1] for f in files},
                         {".xy", ".xye", ".csv", ".raw", ".rasx"})
        result = run(*files)
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual(lines[0].split(), ["file", "points", "x", "range", "e"])
        self.assertEqual(len(lines), len(files) + 1)
        for path, line in zip(files, lines[1:]):
            with self.subTest(os.path.basename(path)):
                pattern = difral.load_file(path)
                name, points, low, _, high, has_e = line.split()
                self.assertEqual(name, path)
                self.assertEqual(int(points), len(pattern.x))
                self.assertGreater(int(points), 0)
                self.assertEqual((float(low), float(high)),
                                 (float(f"{min(pattern.x):g}"), float(f"{max(pattern.x):g}")))
                self.assertEqual(has_e, "no" if pattern.e is None else "yes")

    def test_default_is_the_bundled_data(self):
        result = run(cwd=EXAMPLES)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(len(result.stdout.splitlines()), len(list(EXAMPLE_DATA.iterdir())) + 1)

    def test_failures_are_reported_per_file(self):
        good = str(EXAMPLE_DATA / "example.xy")
        result = run("/no/such/file.xy", good, "notes.txt")
        self.assertEqual(result.returncode, 1)
        lines = result.stdout.splitlines()[1:]
        self.assertEqual(lines[0].split(None, 1),
                         ["/no/such/file.xy", "OSError: No such file or directory (os error 2)"])
        self.assertTrue(lines[1].startswith(good))
        self.assertEqual(lines[2].split(None, 1)[1], "OSError: No such file or directory (os error 2)")


class MakeRasx(unittest.TestCase):
    def test_generator_rebuilds_the_committed_archive(self):
        committed = difral.load_file(str(EXAMPLE_DATA / "example.rasx"))
        with tempfile.TemporaryDirectory() as folder:
            output = os.path.join(folder, "rebuilt.rasx")
            subprocess.run([sys.executable, str(EXAMPLES / "make_rasx.py"), output],
                           check=True, capture_output=True, timeout=60)
            rebuilt = difral.load_file(output)
        for name in ("x", "y"):
            self.assertEqual(bits(getattr(rebuilt, name)), bits(getattr(committed, name)))
        self.assertIsNone(rebuilt.e)


if __name__ == "__main__":
    unittest.main()
