"""cmake --install puts a working module and its stub package side by side,
and a type checker finds the stubs there."""

import os
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import unittest


def installed_files(stage):
    # The site-packages folder may lie below a hidden one (~/.pyenv), which
    # glob's ** would skip.
    return [os.path.join(root, name) for root, _, names in os.walk(stage) for name in names]


BUILD_DIR = os.environ.get("DIFRAL_BUILD_DIR")
CMAKE = os.environ.get("DIFRAL_CMAKE")
# Debian's mypy runs under the system interpreter and checks the stubs for
# the version of the interpreter that runs these tests.
SYSTEM_PYTHON = "/usr/bin/python3"
TARGET_VERSION = "%d.%d" % sys.version_info[:2]

# Each line that ends in a comment is a mistake that mypy must report with
# that error code; the other lines are sound and must pass.
TYPED_USE = textwrap.dedent("""\
    import pathlib
    import difral
    p = difral.load_file("scan.xy")
    total: float = sum(p.y) + len(p.x)
    if p.e is not None:
        total += max(p.e)
    q = difral.load_bytes(b"1 2", "scan.xy")
    difral.load_file(pathlib.Path("scan.xy"))  # arg-type
    difral.load_bytes("1 2", "scan.xy")  # arg-type
    difral.load_bytes(b"1 2")  # call-arg
    len(p.e)  # arg-type
    p.x = [1.0]  # misc
    difral.__version__  # attr-defined
    class Mine(difral.Pattern): ...  # misc
    """)


def has_mypy():
    return os.access(SYSTEM_PYTHON, os.X_OK) and subprocess.run(
        [SYSTEM_PYTHON, "-c", "import mypy"], capture_output=True).returncode == 0


@unittest.skipUnless(BUILD_DIR and CMAKE, "run from CTest, which names the build")
class Install(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.stage = tempfile.TemporaryDirectory()
        environment = dict(os.environ, DESTDIR=cls.stage.name)
        subprocess.run([CMAKE, "--install", BUILD_DIR, "--component", "python"],
                       check=True, capture_output=True, env=environment, timeout=120)
        cls.installed = installed_files(cls.stage.name)
        suffix = sysconfig.get_config_var("EXT_SUFFIX")
        cls.modules = [f for f in cls.installed if os.path.basename(f) == f"difral{suffix}"]

    @classmethod
    def tearDownClass(cls):
        cls.stage.cleanup()

    def folder(self):
        self.assertEqual(len(self.modules), 1, self.modules)
        return os.path.dirname(self.modules[0])

    def test_module_and_stub_package_only(self):
        folder = self.folder()
        relative = sorted(os.path.relpath(f, folder) for f in self.installed)
        self.assertEqual(relative, sorted([os.path.basename(self.modules[0]),
                                           os.path.join("difral-stubs", "__init__.pyi")]))

    def test_imports_from_any_folder(self):
        environment = dict(os.environ, PYTHONPATH=self.folder())
        script = "import difral; print(difral.__file__); print(difral.__all__)"
        result = subprocess.run([sys.executable, "-c", script], capture_output=True,
                                text=True, cwd=self.stage.name, env=environment, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.splitlines(),
                         [self.modules[0], "['Pattern', 'load_file', 'load_bytes']"])

    def test_mypy_finds_the_stubs_and_reports_each_mistake(self):
        if not has_mypy():
            if os.environ.get("CI") == "true":
                self.fail("CI needs mypy (Debian: python3-mypy)")
            self.skipTest("mypy is not installed (Debian: python3-mypy)")
        expected = {(number, line.rsplit("# ", 1)[1])
                    for number, line in enumerate(TYPED_USE.splitlines(), 1) if "# " in line}
        with tempfile.TemporaryDirectory() as work:
            source = os.path.join(work, "use.py")
            with open(source, "w", encoding="utf-8") as f:
                f.write(TYPED_USE)
            # mypy finds stub packages on the sys.path of the interpreter it
            # asks, which PYTHONPATH extends.
            environment = dict(os.environ, PYTHONPATH=self.folder())
            environment.pop("LD_PRELOAD", None)
            result = subprocess.run(
                [SYSTEM_PYTHON, "-m", "mypy", "--python-version", TARGET_VERSION,
                 "--python-executable", SYSTEM_PYTHON, "--show-error-codes",
                 "--no-incremental", "--cache-dir", os.path.join(work, "cache"), source],
                capture_output=True, text=True, cwd=work, env=environment, timeout=300)
        reported = set()
        for line in result.stdout.splitlines():
            if ": error: " in line:
                number = int(line.split(":")[1])
                reported.add((number, line.rsplit("[", 1)[1].rstrip("]")))
        self.assertEqual(reported, expected, result.stdout + result.stderr)


if __name__ == "__main__":
    unittest.main()
