"""No descriptor outlives a load, whichever way the load ends."""

import os
import tempfile
import unittest

import difral

from helpers import EXAMPLE_DATA, GSAS_HEADER, make_zip

FD_FOLDER = "/proc/self/fd"


@unittest.skipUnless(os.path.isdir(FD_FOLDER), "needs /proc/self/fd")
class Descriptors(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.folder = folder.name

    def write(self, name, data):
        path = os.path.join(self.folder, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def cases(self):
        """(path, succeeds) for every way a file load can end."""
        directory = os.path.join(self.folder, "folder.xy")
        os.mkdir(directory)
        loads = [(str(p), True) for p in sorted(EXAMPLE_DATA.iterdir())]
        loads += [
            (os.path.join(self.folder, "missing.xy"), False),          # open fails
            (self.write("scan.unknown", b"1 2\n"), False),             # unknown extension
            (directory, False),                                         # read fails
            (self.write("bad.xy", b"1 2\n\xb0\n"), False),             # invalid UTF-8
            (self.write("bruker.raw", b"RAW\0"), False),               # refused after sniff
            (self.write("no-bank.raw", b"1 2\n" * 400), False),        # reader fails
            (self.write("gsas.raw", GSAS_HEADER + b"1 2 3 4\n"), True),
            (self.write("not-zip.rasx", b"text"), False),              # archive refused
            (self.write("no-profile.rasx", make_zip([("a.txt", "1 2")])), False),
            (self.write("bad-utf8.rasx", make_zip([("Data0/Profile0.txt", b"1 2\n\xb0")])),
             False),                                                    # member read fails
        ]
        return loads

    def open_descriptors(self):
        return sorted(os.listdir(FD_FOLDER))

    def test_thousand_loads_leave_no_descriptor_open(self):
        cases = self.cases()
        before = self.open_descriptors()
        outcomes = {True: 0, False: 0}
        for i in range(1000):
            path, succeeds = cases[i % len(cases)]
            try:
                difral.load_file(path)
                outcomes[True] += 1
                self.assertTrue(succeeds, path)
            except (OSError, ValueError):
                outcomes[False] += 1
                self.assertFalse(succeeds, path)
        self.assertEqual(self.open_descriptors(), before)
        self.assertGreater(outcomes[True], 200)
        self.assertGreater(outcomes[False], 400)


if __name__ == "__main__":
    unittest.main()
