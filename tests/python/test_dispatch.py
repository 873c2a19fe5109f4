"""Which reader a name selects, the RAW sniff, and file against bytes."""

import os
import tempfile
import unittest

import difral

from helpers import EXAMPLE_DATA, GSAS_HEADER, NUL_FREE_RAW, make_zip, outcome, \
    raw_with_nul_at, sample_files

# Under the column reader the first line is a single token and is skipped;
# under the CSV reader it is a point. The RAW reader finds no header, and the
# RASX reader finds no archive.
PROBE = b"1,2,3\n10 20 30\n"


def reader_of(name):
    try:
        pattern = difral.load_bytes(PROBE, name)
    except ValueError as error:
        text = error.args[0]
        if text == "Unknown format":
            return None
        if text == "BANK header not found in RAW file":
            return "raw"
        return "rasx"
    return {1: "columns", 2: "csv"}[len(pattern.x)]


class ExtensionRule(unittest.TestCase):
    names = [
        ("scan.xy", "columns"), ("scan.xye", "columns"), ("scan.csv", "csv"),
        ("scan.raw", "raw"), ("scan.rasx", "rasx"),
        # Upper and mixed case.
        ("SCAN.XY", "columns"), ("scan.Xye", "columns"), ("scan.CSV", "csv"),
        ("scan.Raw", "raw"), ("scan.RASX", "rasx"),
        # Only the text after the last dot counts, whole.
        ("scan.xy.bak", None), ("scan.bak.xy", "columns"), ("scan.xyz", None),
        ("scan.x", None), ("scan.xy ", None), ("scan.x y", None), (" scan.xy", "columns"),
        ("scan.txt", None), ("scan.zip", None), ("scan.gsas", None), ("scan.xy\0", None),
        # No extension, or the empty one.
        ("", None), ("scan", None), (".xy", None), ("dir/.csv", None), ("scan.", None),
        ("..xy", "columns"),
        # Both separators; only the final component counts.
        ("dir/scan.csv", "csv"), ("dir\\scan.csv", "csv"), ("a.xy/scan.csv", "csv"),
        ("a.csv\\scan", None), ("a.csv/scan", None), ("/abs/path/scan.rasx", "rasx"),
        # Trailing separators and "." components are ignored; ".." is not.
        ("scan.xy/", "columns"), ("scan.xy\\", "columns"), ("scan.xy/.", "columns"),
        ("scan.xy/./", "columns"), ("scan.xy\\.\\", "columns"), ("scan.xy//", "columns"),
        ("scan.xy/..", None), ("..", None), ("/", None), ("\\", None), (".", None),
        # Drive and share prefixes belong to no component.
        ("C:scan.csv", "csv"), ("C:\\data\\scan.csv", "csv"), ("c:/data/scan.raw", "raw"),
        ("C:", None), ("C:\\", None), ("C:.xy", None),
        ("\\\\server\\share\\scan.csv", "csv"),
        # Unicode: nothing but the five texts matches after lower-casing.
        ("ÜBERSICHT.CSV", "csv"), ("scan.ΧΥ", None), ("scan.ｘｙ", None), ("測定.xye", "columns"),
    ]

    def test_names(self):
        for name, expected in self.names:
            with self.subTest(name=name):
                self.assertEqual(reader_of(name), expected)

    def test_unknown_extension_is_checked_before_data(self):
        with self.assertRaises(ValueError) as caught:
            difral.load_bytes(b"", "scan.bak")
        self.assertEqual(caught.exception.args, ("Unknown format",))

    def test_missing_file_fails_on_open_whatever_its_extension(self):
        with tempfile.TemporaryDirectory() as folder:
            for name in ("scan.bak", "scan", "scan.xy"):
                with self.subTest(name):
                    with self.assertRaises(OSError) as caught:
                        difral.load_file(os.path.join(folder, name))
                    self.assertIs(type(caught.exception), OSError)

    def test_existing_file_with_unknown_extension(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "scan.bak.")
            with open(path, "wb") as f:
                f.write(b"1 2\n")
            with self.assertRaises(ValueError) as caught:
                difral.load_file(path)
            self.assertEqual(caught.exception.args, ("Unknown format",))


class RawSniff(unittest.TestCase):
    refused = ("Bruker binary RAW format not yet supported",)
    offsets = [(0, "refused"), (1, "refused"), (1022, "refused"), (1023, "refused"),
               (1024, "gsas"), (1025, "gsas"), (2000, "gsas")]

    def check(self, load):
        for offset, expected in self.offsets:
            with self.subTest(offset=offset):
                data = raw_with_nul_at(offset)
                if expected == "refused":
                    with self.assertRaises(ValueError) as caught:
                        load(data)
                    self.assertEqual(caught.exception.args, self.refused)
                else:
                    pattern = load(data)
                    self.assertEqual(pattern.y, [10.0, 20.0, 30.0, 40.0])
                    self.assertEqual(pattern.x, [i * 0.02 + 10.0 for i in range(4)])
                    self.assertIsNone(pattern.e)

    def test_bytes(self):
        self.check(lambda data: difral.load_bytes(data, "scan.raw"))

    def test_file(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "scan.RAW")

            def load(data):
                with open(path, "wb") as f:
                    f.write(data)
                return difral.load_file(path)
            self.check(load)

    def test_short_inputs(self):
        with self.assertRaises(ValueError) as caught:
            difral.load_bytes(b"\0", "scan.raw")
        self.assertEqual(caught.exception.args, self.refused)
        with self.assertRaises(ValueError) as caught:
            difral.load_bytes(b"", "scan.raw")
        self.assertEqual(caught.exception.args, ("BANK header not found in RAW file",))
        self.assertEqual(difral.load_bytes(NUL_FREE_RAW, "scan.raw").y, [10.0, 20.0, 30.0, 40.0])

    def test_other_extensions_are_not_sniffed(self):
        self.assertEqual(difral.load_bytes(b"\0 9\n1 2\n", "scan.xy").x, [1.0])
        self.assertEqual(difral.load_bytes(b"\0,9\n1,2\n", "scan.csv").x, [1.0])


class FileAgainstBytes(unittest.TestCase):
    """load_file and load_bytes of the same bytes under the same name give the
    same pattern, bit for bit, or the same failure."""

    def crafted(self):
        return [
            ("columns.xy", b"# header\n10 100 3\n10.02 120 4\r\n"),
            ("mixed.xye", b"10 100 3\n10.02 120\n"),
            ("empty.xy", b""),
            ("special.csv", b"x,y,e\nnan,inf,-inf\n-0.0,1e400,-1e-400\n"),
            ("bad-utf8.csv", b"1,2\n\xff\n"),
            ("bruker.raw", b"\0" * 10),
            ("no-bank.raw", b"10 20\n"),
            ("gsas.raw", GSAS_HEADER + b"10 20 30 40\nBANK 2\n50\n"),
            ("nul-at-1023.raw", raw_with_nul_at(1023)),
            ("nul-at-1024.raw", raw_with_nul_at(1024)),
            ("profile.rasx", make_zip([("Data1/Profile0.txt", "1 2\n"),
                                       ("Data0/Profile0.txt", "3\t4\t5\n")])),
            ("fallback.rasx", make_zip([("Profiles/notes.txt", "7 8\n")])),
            ("missing.rasx", make_zip([("Data0/profile0.txt", "1 2\n")])),
            ("not-zip.rasx", b"plain text\n"),
            ("unknown.dat", b"1 2\n"),
        ]

    def assert_same(self, path, data):
        by_file = outcome(difral.load_file, str(path))
        by_bytes = outcome(difral.load_bytes, data, str(path))
        self.assertEqual(by_file, by_bytes)
        return by_file

    def test_crafted_inputs(self):
        with tempfile.TemporaryDirectory() as folder:
            for name, data in self.crafted():
                with self.subTest(name):
                    path = os.path.join(folder, name)
                    with open(path, "wb") as f:
                        f.write(data)
                    self.assert_same(path, data)

    def test_examples_load_the_same_way(self):
        for path in sorted(EXAMPLE_DATA.iterdir()):
            with self.subTest(path.name):
                self.assertEqual(self.assert_same(path, path.read_bytes())[0], "ok")

    def test_sample_files(self):
        samples = sample_files()
        if not samples:
            self.skipTest("no sample files")
        for path in samples:
            with self.subTest(str(path.relative_to(path.parents[1]))):
                self.assert_same(path, path.read_bytes())


if __name__ == "__main__":
    unittest.main()
