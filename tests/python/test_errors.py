"""Translation of load failures and faults into Python exceptions."""

import os
import subprocess
import sys
import tempfile
import textwrap
import unittest
import zipfile

import difral

from helpers import GSAS_HEADER, make_zip, samples, under_asan

try:
    import _difral_fault_probe as probe
except ImportError:
    probe = None

NOT_ZIP = b"this is not an archive\n"
NO_PROFILE = make_zip([("Data0/Notes.txt", "1 2\n")])


def crc_broken_archive() -> bytes:
    data = bytearray(make_zip([("Data0/Profile0.txt", "10 100\n11 110\n")],
                              compression=zipfile.ZIP_STORED))
    position = data.index(b"11 110")
    data[position] = ord("2")  # the stored CRC-32 no longer matches
    return bytes(data)


class LoadErrorTranslation(unittest.TestCase):
    # (label, data, name, class, message); message None: any one text
    cases = [
        ("invalid UTF-8", b"10 100\n\xb0\n", "scan.xy", OSError,
         "stream did not contain valid UTF-8"),
        ("invalid UTF-8 in a comment", b"# 45\xb0\n10 100\n", "scan.csv", OSError,
         "stream did not contain valid UTF-8"),
        ("unknown extension", b"10 100\n", "scan.txt", ValueError, "Unknown format"),
        ("unknown extension, empty data", b"", "scan", ValueError, "Unknown format"),
        ("Bruker binary RAW", b"RAW1.01\x00\x00\x00", "scan.raw", ValueError,
         "Bruker binary RAW format not yet supported"),
        ("RAW without header", b"10 20 30\n", "scan.raw", ValueError,
         "BANK header not found in RAW file"),
        ("RAW bad start", b"BANK 1 4 1 CONST 1,000 2.0 0 0 STD\n", "scan.raw", ValueError,
         "Invalid start"),
        ("RAW bad step", b"BANK 1 4 1 CONST 1000.0 two 0 0 STD\n", "scan.raw", ValueError,
         "Invalid step"),
        ("archive without profile", NO_PROFILE, "scan.rasx", ValueError,
         "File not found in archive: Profile*.txt"),
        ("empty archive", make_zip([]), "scan.rasx", ValueError,
         "File not found in archive: Profile*.txt"),
        ("not an archive", NOT_ZIP, "scan.rasx", ValueError, None),
        ("empty data as archive", b"", "scan.rasx", ValueError, None),
        ("member CRC mismatch", crc_broken_archive(), "scan.rasx", OSError, None),
    ]

    def test_class_and_args(self):
        for label, data, name, cls, message in self.cases:
            with self.subTest(label):
                with self.assertRaises(cls) as caught:
                    difral.load_bytes(data, name)
                error = caught.exception
                self.assertIs(type(error), cls)
                self.assertEqual(len(error.args), 1)
                self.assertIsInstance(error.args[0], str)
                self.assertEqual(str(error), error.args[0])
                if message is not None:
                    self.assertEqual(error.args, (message,))
                self.assertIsNone(error.__cause__)
                self.assertEqual(getattr(error, "__notes__", []), [])

    def test_zip_failure_is_value_error_with_zip_text(self):
        with self.assertRaises(ValueError) as caught:
            difral.load_bytes(NOT_ZIP, "scan.rasx")
        self.assertTrue(caught.exception.args[0].startswith(
            ("invalid Zip archive: ", "unsupported Zip archive: ", "i/o error: ")),
            caught.exception.args[0])

    def test_no_class_of_the_module_is_raised(self):
        for label, data, name, cls, _ in self.cases:
            with self.subTest(label):
                try:
                    difral.load_bytes(data, name)
                except (OSError, ValueError) as error:
                    self.assertEqual(type(error).__module__, "builtins")


class OsErrorShape(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.folder = folder.name

    def missing_file_error(self, name):
        with self.assertRaises(OSError) as caught:
            difral.load_file(os.path.join(self.folder, name))
        return caught.exception

    def test_missing_file_is_plain_oserror(self):
        for name in ("missing.xy", "missing.unknown", "missing"):
            with self.subTest(name):
                error = self.missing_file_error(name)
                self.assertIs(type(error), OSError)
                self.assertNotIsInstance(error, FileNotFoundError)
                self.assertEqual(error.args, ("No such file or directory (os error 2)",))
                for attribute in ("errno", "strerror", "filename", "filename2"):
                    self.assertIsNone(getattr(error, attribute), attribute)

    def test_caught_by_oserror_and_ioerror_only(self):
        caught_by = []
        for handler in (FileNotFoundError, IOError, OSError):
            try:
                difral.load_file(os.path.join(self.folder, "missing.xy"))
            except handler:
                caught_by.append(handler)
            except OSError:
                pass
        self.assertEqual(caught_by, [IOError, OSError])

    def test_directory_read_fails_with_system_text(self):
        directory = os.path.join(self.folder, "folder.xy")
        os.mkdir(directory)
        with self.assertRaises(OSError) as caught:
            difral.load_file(directory)
        self.assertIs(type(caught.exception), OSError)
        self.assertEqual(caught.exception.args, ("Is a directory (os error 21)",))

    @unittest.skipUnless(samples("bruker_raw"), "no sample files")
    def test_real_bruker_files_are_refused(self):
        for path in sorted(samples("bruker_raw").iterdir()):
            with self.subTest(path.name):
                with self.assertRaises(ValueError) as caught:
                    difral.load_file(str(path))
                self.assertEqual(caught.exception.args,
                                 ("Bruker binary RAW format not yet supported",))


@unittest.skipIf(probe is None, "the fault probe module is not built")
class Faults(unittest.TestCase):
    """The call boundary, exercised through the test-only fault probe, which
    throws C++ exceptions through the same boundary code as difral."""

    def test_fault_becomes_panic_exception(self):
        with self.assertRaises(BaseException) as caught:
            probe.raise_fault("broken invariant")
        error = caught.exception
        panic = type(error)
        self.assertEqual(panic.__name__, "PanicException")
        self.assertEqual(panic.__module__, "difral")
        self.assertEqual(panic.__bases__, (BaseException,))
        self.assertNotIsInstance(error, Exception)
        self.assertEqual(error.args, ("broken invariant",))

    def test_except_exception_does_not_catch_it(self):
        def swallow():
            try:
                probe.raise_fault("x")
            except Exception:
                return "caught"
        with self.assertRaises(BaseException):
            swallow()

    def test_class_is_created_once(self):
        classes = set()
        for call in (lambda: probe.raise_fault("a"), lambda: probe.raise_fault("b"),
                     probe.raise_unnamed_fault):
            try:
                call()
            except BaseException as error:
                classes.add(type(error))
        self.assertEqual(len(classes), 1)

    def test_fault_without_text(self):
        with self.assertRaises(BaseException) as caught:
            probe.raise_unnamed_fault()
        self.assertEqual(type(caught.exception).__name__, "PanicException")
        self.assertEqual(caught.exception.args, ("unknown fault",))

    def test_non_ascii_fault_text(self):
        with self.assertRaises(BaseException) as caught:
            probe.raise_fault("défaut ∞")
        self.assertEqual(caught.exception.args, ("défaut ∞",))

    def test_out_of_memory_becomes_memory_error(self):
        self.assertRaises(MemoryError, probe.raise_bad_alloc)

    def capture_unraisable(self, call):
        seen = []
        previous = sys.unraisablehook
        sys.unraisablehook = seen.append
        try:
            call()
        finally:
            sys.unraisablehook = previous
        return seen

    def test_dealloc_fault_goes_to_the_unraisable_hook(self):
        seen = self.capture_unraisable(lambda: self.assertIsNone(
            probe.dealloc_fault("dealloc fault", False)))
        self.assertEqual(len(seen), 1)
        self.assertEqual(seen[0].exc_type.__name__, "PanicException")
        self.assertEqual(seen[0].exc_value.args, ("dealloc fault",))

    def test_dealloc_fault_keeps_a_pending_error(self):
        def call():
            with self.assertRaises(ValueError) as caught:
                probe.dealloc_fault("during unwinding", True)
            self.assertEqual(caught.exception.args, ("pending",))
        seen = self.capture_unraisable(call)
        self.assertEqual([s.exc_value.args for s in seen], [("during unwinding",)])


@unittest.skipIf(under_asan(), "an address-space limit breaks the sanitizer runtime")
@unittest.skipUnless(sys.platform.startswith("linux"), "needs /proc and RLIMIT_AS")
class OutOfMemory(unittest.TestCase):
    def test_load_that_runs_out_of_memory_raises_memory_error(self):
        # A child process under an address-space limit too small for the
        # points of its input: the interpreter must survive the load.
        script = textwrap.dedent("""
            import resource, difral
            data = b"1 2\\n" * 4_000_000
            with open("/proc/self/status") as status:
                size = next(int(l.split()[1]) for l in status if l.startswith("VmSize:"))
            resource.setrlimit(resource.RLIMIT_AS, (size * 1024 + (40 << 20), resource.RLIM_INFINITY))
            try:
                difral.load_bytes(data, "big.xy")
            except MemoryError:
                print("MemoryError")
            else:
                print("loaded")
            print(difral.load_bytes(b"3 4\\n", "small.xy").x)
        """)
        result = subprocess.run([sys.executable, "-c", script], capture_output=True,
                                text=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.split("\n")[:2], ["MemoryError", "[3.0]"])

    def test_archive_that_runs_out_of_memory_raises_memory_error(self):
        # Address-space limits in 64 kB steps from too little to enough, for
        # an archive of 3,000 members from memory and from a file: every load
        # fails with MemoryError or loads, never calls the archive invalid.
        script = textwrap.dedent("""
            import io, os, resource, tempfile, zipfile, difral
            buffer = io.BytesIO()
            with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
                for i in range(3000):
                    archive.writestr(f"m{i}.txt", b"x")
                archive.writestr("Data0/Profile0.txt", b"1 2\\n" * 1000)
            data = buffer.getvalue()
            path = os.path.join(tempfile.mkdtemp(), "many.rasx")
            with open(path, "wb") as f:
                f.write(data)
            loads = (lambda: difral.load_bytes(data, "many.rasx"), lambda: difral.load_file(path))
            outcomes = set()
            for step in range(128):
                for load in loads:
                    with open("/proc/self/status") as status:
                        size = next(int(l.split()[1]) for l in status if l.startswith("VmSize:"))
                    resource.setrlimit(resource.RLIMIT_AS,
                                       (size * 1024 + step * 65536, resource.RLIM_INFINITY))
                    try:
                        outcomes.add("loaded %d" % len(load().x))
                    except Exception as error:
                        outcomes.add(type(error).__name__ + " " + str(error))
                    finally:
                        resource.setrlimit(resource.RLIMIT_AS,
                                           (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
            os.remove(path)
            print(sorted(outcomes))
        """)
        result = subprocess.run([sys.executable, "-c", script], capture_output=True,
                                text=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "['MemoryError ', 'loaded 1000']\n")


if __name__ == "__main__":
    unittest.main()
