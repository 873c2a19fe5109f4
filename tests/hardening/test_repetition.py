"""Many loads in a row leave nothing behind: resident memory stays flat and no
descriptor stays open, whether the loads succeed or fail."""

import gc
import os
import tempfile
import unittest

import difral

from support import LIGHT, inputs, open_descriptors, resident_bytes, write_inputs

# Under the sanitizers and valgrind the loops shrink, and resident memory says
# nothing there (freed blocks are held back on purpose), so it is not checked.
LOADS = 2_000 if LIGHT else 100_000
WARM_UP = 500 if LIGHT else 5_000
# Allowed growth over the whole run. A leak of one 8-byte double per load
# would already be 800 kB; a leaked Pattern or list per load far more.
SLACK = 512 * 1024


@unittest.skipUnless(os.path.isdir("/proc/self/fd"), "needs /proc")
class ManyLoads(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        directory = os.path.join(folder.name, "folder.xy")
        os.mkdir(directory)
        files = write_inputs(folder.name)
        files += [directory, os.path.join(folder.name, "missing.xy"), "nul\0.xy"]
        # Each call: (function, arguments), mixing file and memory loads,
        # successes, load failures and argument errors.
        self.calls = [(difral.load_file, (path,)) for path in files]
        self.calls += [(difral.load_bytes, item[::-1]) for item in inputs()]
        self.calls += [(difral.load_bytes, (bytearray(b"1 2"), "a.xy")),
                       (difral.load_file, (b"scan.xy",))]

    def run_loads(self, count):
        done = {"ok": 0, "failed": 0}
        calls = self.calls
        for i in range(count):
            load, args = calls[i % len(calls)]
            try:
                pattern = load(*args)
            except (OSError, ValueError, TypeError):
                done["failed"] += 1
                continue
            # Build the attribute lists too: they are where references live.
            pattern.x, pattern.y, pattern.e
            done["ok"] += 1
        return done

    def test_memory_and_descriptors_stay_flat(self):
        descriptors = open_descriptors()
        self.run_loads(WARM_UP)
        gc.collect()
        before = resident_bytes()
        done = self.run_loads(LOADS)
        gc.collect()
        growth = resident_bytes() - before
        self.assertEqual(open_descriptors(), descriptors)
        self.assertGreater(done["ok"], LOADS // 5)
        self.assertGreater(done["failed"], LOADS // 2)
        if not LIGHT:
            self.assertLess(growth, SLACK, f"resident memory grew by {growth} bytes")

    def test_large_patterns_are_released(self):
        # A leak of the record itself shows at once with a few large loads.
        data = b"1.5 2.5 0.5\n" * 200_000
        difral.load_bytes(data, "big.xy")
        gc.collect()
        before = resident_bytes()
        for _ in range(3 if LIGHT else 20):
            pattern = difral.load_bytes(data, "big.xy")
            self.assertEqual(len(pattern.e), 200_000)
            del pattern
        gc.collect()
        if not LIGHT:
            self.assertLess(resident_bytes() - before, 4 * SLACK)


if __name__ == "__main__":
    unittest.main()
