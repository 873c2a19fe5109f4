"""Loads from several Python threads at once give exactly what the same loads
give one after another: no load sees another's state."""

import os
import random
import sys
import tempfile
import threading
import unittest

import difral

from support import EXAMPLE_DATA, LIGHT, inputs, outcome, write_inputs

THREADS = 8
ROUNDS = 3 if LIGHT else 40


class ConcurrentLoads(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        paths = write_inputs(folder.name) + [str(p) for p in sorted(EXAMPLE_DATA.iterdir())]
        # Large enough that a load spans many switch intervals of the others.
        big = os.path.join(folder.name, "big.csv")
        with open(big, "w") as f:
            f.writelines(f"{i / 7!r},{i * 3},{i % 11}\n" for i in range(20_000))
        paths.append(big)
        self.calls = [(difral.load_file, (path,)) for path in paths]
        self.calls += [(difral.load_bytes, (data, name)) for name, data in inputs()]
        self.expected = [outcome(load, *args) for load, args in self.calls]

        interval = sys.getswitchinterval()
        self.addCleanup(sys.setswitchinterval, interval)
        sys.setswitchinterval(1e-6)

    def test_threads_match_serial_loads(self):
        start = threading.Barrier(THREADS)
        results = [None] * THREADS
        failures = []

        def work(index):
            try:
                order = list(range(len(self.calls))) * ROUNDS
                random.Random(index).shuffle(order)
                start.wait()
                seen = []
                for i in order:
                    load, args = self.calls[i]
                    seen.append((i, outcome(load, *args)))
                results[index] = seen
            except BaseException as error:  # reported below, not lost in the thread
                failures.append(error)

        threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(failures, [])
        for index, seen in enumerate(results):
            self.assertEqual(len(seen), len(self.calls) * ROUNDS)
            for i, got in seen:
                if got != self.expected[i]:
                    name = self.calls[i][1][-1]
                    self.fail(f"thread {index}, {name!r}: {got[:3]!r} != {self.expected[i][:3]!r}")

    def test_patterns_are_read_while_others_load(self):
        pattern = difral.load_bytes(b"1 2 3\n4 5 6\n" * 5_000, "shared.xy")
        x, y, e = pattern.x, pattern.y, pattern.e
        failures = []

        def reader():
            for _ in range(ROUNDS):
                if (pattern.x, pattern.y, pattern.e) != (x, y, e):
                    failures.append("attributes changed")

        def loader():
            for _ in range(ROUNDS):
                for load, args in self.calls:
                    outcome(load, *args)

        threads = [threading.Thread(target=reader) for _ in range(THREADS // 2)]
        threads += [threading.Thread(target=loader) for _ in range(THREADS // 2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(failures, [])


if __name__ == "__main__":
    unittest.main()
