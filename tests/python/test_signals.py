"""A file load that blocks can be stopped by a signal handler that raises."""

import platform
import subprocess
import sys
import textwrap
import unittest

# Each scenario runs in a child process with a time limit, so a load that
# can no longer be interrupted fails the test instead of hanging the suite.
PRELUDE = textwrap.dedent("""
    import os, signal, subprocess, sys, tempfile
    import difral

    class Stop(Exception):
        pass

    def stop(signum, frame):
        raise Stop("alarm")

    folder = tempfile.mkdtemp()
    fifo = os.path.join(folder, "pipe.xy")
    os.mkfifo(fifo)
    descriptors = len(os.listdir("/proc/self/fd"))

    # Loads archive from memory, then from a file, each stopped by an alarm
    # after 0.2 s; prints what each raised and whether every file descriptor
    # is closed again.
    def stop_both_loads(archive, name):
        path = os.path.join(folder, name)
        with open(path, "wb") as f:
            f.write(archive)
        signal.signal(signal.SIGALRM, stop)
        for load in (lambda: difral.load_bytes(archive, name),
                     lambda: difral.load_file(path)):
            signal.setitimer(signal.ITIMER_REAL, 0.2)
            try:
                load()
            except Stop as error:
                print(type(error).__name__, error.args)
        print(len(os.listdir("/proc/self/fd")) == descriptors)
""")


def run(body):
    script = PRELUDE + textwrap.dedent(body)
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60)


@unittest.skipUnless(sys.platform.startswith("linux"), "needs FIFOs and /proc")
class SignalsDuringLoad(unittest.TestCase):
    def check(self, body, expected):
        result = run(body)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.splitlines(), expected)

    def test_open_without_writer_is_stopped(self):
        self.check("""
            signal.signal(signal.SIGALRM, stop)
            signal.setitimer(signal.ITIMER_REAL, 0.2)
            try:
                difral.load_file(fifo)
            except Stop as error:
                print(type(error).__name__, error.args)
            print(len(os.listdir("/proc/self/fd")) == descriptors)
        """, ["Stop ('alarm',)", "True"])

    def test_read_without_data_is_stopped(self):
        self.check("""
            writer = os.open(fifo, os.O_RDWR)  # a writer that never closes
            os.write(writer, b"1 2\\n")
            signal.signal(signal.SIGALRM, stop)
            signal.setitimer(signal.ITIMER_REAL, 0.2)
            try:
                difral.load_file(fifo)
            except Stop as error:
                print(type(error).__name__, error.args)
            print(len(os.listdir("/proc/self/fd")) == descriptors + 1)
        """, ["Stop ('alarm',)", "True"])

    def test_keyboard_interrupt_reaches_the_caller(self):
        self.check("""
            signal.setitimer(signal.ITIMER_REAL, 0.2)
            signal.signal(signal.SIGALRM, lambda *_: os.kill(os.getpid(), signal.SIGINT))
            try:
                difral.load_file(fifo)
            except KeyboardInterrupt as error:
                print(type(error).__name__)
        """, ["KeyboardInterrupt"])

    def test_archive_loads_are_stopped(self):
        # A member that inflates to 256 MB of line ends (seconds of work),
        # from memory and from a file: the check comes with every read of
        # the archive's bytes. Its CRC is wrong, so a load that could not be
        # stopped would end in OSError instead.
        self.check("""
            import struct, zlib
            chunk, count = b"\\n" * (1 << 20), 256
            deflate = zlib.compressobj(9, zlib.DEFLATED, -15)
            data = b"".join(deflate.compress(chunk) for _ in range(count)) + deflate.flush()
            name = b"Data0/Profile0.txt"
            head = (0, len(data), len(chunk) * count, len(name))
            local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 8, 0, 0, *head, 0)
            central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, 8, 0, 0,
                                  *head, 0, 0, 0, 0, 0, 0)
            end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(central) + len(name),
                              len(local) + len(name) + len(data), 0)
            archive = local + name + data + central + name + end
            stop_both_loads(archive, "bomb.rasx")
        """, ["Stop ('alarm',)", "Stop ('alarm',)", "True"])

    def test_archive_directory_parse_is_stopped(self):
        # A directory of a million entries (47 MB), every one naming the same
        # empty member: libzip parses it for seconds, from memory and from a
        # file, and the alarm comes meanwhile.
        self.check("""
            import struct
            count = 1_000_000
            local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 0, 0, 0, 0, 0, 0, 1, 0)
            entry = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, 0, 0, 0,
                                0, 0, 0, 1, 0, 0, 0, 0, 0, 0)
            central = (entry + b"a") * count
            records = struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count,
                                  len(central), len(local) + 1)
            records += struct.pack("<IIQI", 0x07064B50, 0, len(local) + 1 + len(central), 1)
            records += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF,
                                   0xFFFFFFFF, 0xFFFFFFFF, 0)
            archive = local + b"a" + central + records
            stop_both_loads(archive, "directory.rasx")
        """, ["Stop ('alarm',)", "Stop ('alarm',)", "True"])

    @unittest.skipUnless(platform.machine() == "x86_64", "FE_DOWNWARD is x86's")
    def test_handler_that_changes_the_rounding_keeps_values_exact(self):
        # The handler sets downward rounding between the two halves of the
        # input; every value is still the one float() gives in round to
        # nearest.
        self.check("""
            import ctypes, ctypes.util
            libm = ctypes.CDLL(ctypes.util.find_library("m"))
            lines = ["%d.%04d %d.%03d" % (i, i * 7919 % 10000, 3 * i, i % 997)
                     for i in range(40000)]
            halves = []
            for part in (lines[:20000], lines[20000:]):
                halves.append(os.path.join(folder, "half%d" % len(halves)))
                with open(halves[-1], "w") as f:
                    f.write("\\n".join(part) + "\\n")
            signal.signal(signal.SIGALRM, lambda *_: libm.fesetround(0x400))
            signal.setitimer(signal.ITIMER_REAL, 0.2)
            writer = subprocess.Popen([sys.executable, "-c",
                "import sys, time; f = open(sys.argv[1], 'w'); "
                "f.write(open(sys.argv[2]).read()); f.flush(); time.sleep(0.5); "
                "f.write(open(sys.argv[3]).read())", fifo, *halves])
            pattern = difral.load_file(fifo)
            writer.wait()
            print(libm.fegetround() == 0x400)
            libm.fesetround(0)
            print(pattern.y == [float(line.split()[1]) for line in lines])
        """, ["True", "True"])

    def test_handler_that_returns_lets_the_load_go_on(self):
        # Alarms every 50 ms interrupt the blocked read; the handler returns,
        # so the read is repeated until the writer has written and closed.
        self.check("""
            ticks = []
            signal.signal(signal.SIGALRM, lambda *_: ticks.append(1))
            signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
            writer = subprocess.Popen([sys.executable, "-c",
                "import sys, time; f = open(sys.argv[1], 'w'); f.write('1 2\\\\n'); "
                "f.flush(); time.sleep(0.5); f.write('3 4\\\\n')", fifo])
            pattern = difral.load_file(fifo)
            signal.setitimer(signal.ITIMER_REAL, 0)
            writer.wait()
            print(pattern.x, len(ticks) > 2)
        """, ["[1.0, 3.0] True"])


if __name__ == "__main__":
    unittest.main()
