"""pip builds, installs, shows and uninstalls difral in a fresh virtual
environment, offline, through the in-tree backend; the wheel and the sdist
hold what they should. Each test builds the module, so this suite runs in
the full tier only."""

import base64
import csv
import hashlib
import importlib.machinery
import importlib.util
import io
import os
import pathlib
import platform
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import tomllib
import unittest
import zipfile

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUB = ROOT / "src" / "python" / "difral-stubs" / "__init__.pyi"
with open(ROOT / "pyproject.toml", "rb") as f:
    VERSION = tomllib.load(f)["project"]["version"]
MODULE = "difral" + sysconfig.get_config_var("EXT_SUFFIX")
TAG = "cp{0}{1}-cp{0}{1}-linux_{2}".format(*sys.version_info[:2], platform.machine())


def run(command, **options):
    result = subprocess.run(command, capture_output=True, text=True, timeout=600, **options)
    if result.returncode != 0:
        raise AssertionError(f"{command} failed:\n{result.stdout}\n{result.stderr}")
    return result.stdout


class Pip(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        venv = pathlib.Path(cls.work.name) / "venv"
        run([sys.executable, "-m", "venv", str(venv)])
        cls.python = str(venv / "bin" / "python")
        cls.site = run([cls.python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"]).strip()

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def pip(self, *arguments):
        return run([self.python, "-m", "pip", "--disable-pip-version-check", *arguments],
                   cwd=self.work.name)

    def python_outside(self, code):
        """Runs code in the venv from a folder that holds no difral."""
        return subprocess.run([self.python, "-c", code], capture_output=True, text=True,
                              cwd=self.work.name, timeout=60)

    def assert_installed_and_removed(self):
        found = self.python_outside(
            "import difral, importlib.metadata as m\n"
            "print(m.version('difral'), difral.__file__, hasattr(difral, '__version__'))")
        self.assertEqual(found.stdout.split(), [VERSION, os.path.join(self.site, MODULE), "False"],
                         found.stderr)
        shown = dict(line.split(": ", 1) for line in self.pip("show", "difral").splitlines()
                     if ": " in line)
        self.assertEqual((shown["Name"], shown["Version"], shown["Location"]),
                         ("difral", VERSION, self.site))
        self.pip("uninstall", "-y", "difral")
        self.assertIn("ModuleNotFoundError", self.python_outside("import difral").stderr)
        self.assertEqual([n for n in os.listdir(self.site) if "difral" in n], [])

    def test_install_from_the_tree(self):
        self.pip("install", "--no-index", str(ROOT))
        self.assert_installed_and_removed()

    def test_sdist_wheel_and_install(self):
        # The wheel is built from the sdist, which must therefore hold all
        # that the build needs; pip builds from the tree as the other test does.
        folder = pathlib.Path(self.work.name) / "dist"
        folder.mkdir()
        sdist = run([sys.executable, "-c",
                     "import sys, difral_build; print(difral_build.build_sdist(sys.argv[1]))",
                     str(folder)], cwd=ROOT,
                    env=dict(os.environ, PYTHONPATH=str(ROOT / "backend"))).strip()
        self.assertEqual(sdist, f"difral-{VERSION}.tar.gz")
        with tarfile.open(folder / sdist) as archive:
            names = archive.getnames()
        prefix = f"difral-{VERSION}/"
        self.assertEqual([n for n in names if not n.startswith(prefix)], [])
        for expected in ("PKG-INFO", "pyproject.toml", "backend/difral_build.py", "LICENSE",
                         "CHANGELOG.md", "src/python/difral-stubs/__init__.pyi",
                         "tests/python/test_module.py"):
            self.assertIn(prefix + expected, names)
        self.assertEqual([n for n in names if n.startswith(prefix + "build/")], [])

        self.pip("wheel", "--no-index", "--no-deps", "-w", str(folder), str(folder / sdist))
        wheel_name = f"difral-{VERSION}-{TAG}.whl"
        self.assertEqual(sorted(os.listdir(folder)), sorted([sdist, wheel_name]))
        info = f"difral-{VERSION}.dist-info/"
        with zipfile.ZipFile(folder / wheel_name) as wheel:
            names = wheel.namelist()
            self.assertEqual(sorted(names), sorted([
                MODULE, "difral-stubs/__init__.pyi", info + "licenses/LICENSE",
                info + "METADATA", info + "WHEEL", info + "RECORD"]))
            self.assertEqual(names[-1], info + "RECORD")
            self.assertEqual(wheel.read("difral-stubs/__init__.pyi"), STUB.read_bytes())
            self.assertEqual(wheel.read(info + "licenses/LICENSE"), (ROOT / "LICENSE").read_bytes())
            metadata = wheel.read(info + "METADATA").decode()
            self.assertTrue(metadata.startswith(
                f"Metadata-Version: 2.2\nName: difral\nVersion: {VERSION}\n"), metadata)
            self.assertIn("\nLicense: MIT\n", metadata)
            self.assertIn(f"\nRoot-Is-Purelib: false\nTag: {TAG}\n",
                          wheel.read(info + "WHEEL").decode())
            rows = list(csv.reader(io.StringIO(wheel.read(info + "RECORD").decode())))
            self.assertEqual(sorted(row[0] for row in rows), sorted(names))
            for path, digest, size in rows:
                with self.subTest(path):
                    if path == info + "RECORD":
                        self.assertEqual((digest, size), ("", ""))
                        continue
                    data = wheel.read(path)
                    expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest())
                    self.assertEqual(digest, "sha256=" + expected.rstrip(b"=").decode())
                    self.assertEqual(int(size), len(data))

        self.pip("install", "--no-index", str(folder / wheel_name))
        self.assert_installed_and_removed()

def load_check_wheel():
    """scripts/check-wheel as a module (the file has no .py suffix)."""
    path = str(ROOT / "scripts" / "check-wheel")
    loader = importlib.machinery.SourceFileLoader("check_wheel", path)
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)
    return module


class CheckWheel(unittest.TestCase):
    """The manylinux rules that scripts/check-wheel applies to a module."""

    def test_rules(self):
        problems = load_check_wheel().problems
        runtime = {"libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1"}
        within = {"GLIBC_2.2.5", "GLIBC_2.33", "GLIBCXX_3.4.20", "CXXABI_1.3.9",
                  "CXXABI_TM_1", "GCC_3.0"}
        tag = "manylinux_2_34_x86_64"
        # (case, tag, libraries needed, symbol versions, problems)
        table = [
            ("within the tag", tag, runtime, within, []),
            ("the system's libzip", tag, runtime | {"libzip.so.4"}, within,
             ["needs libzip.so.4, which is not in the manylinux set"]),
            ("arc4random", tag, runtime, within | {"GLIBC_2.36"},
             [f"needs GLIBC_2.36, above GLIBC_2.34 of {tag}"]),
            ("a newer libstdc++", tag, runtime, within | {"GLIBCXX_3.4.30"},
             [f"needs GLIBCXX_3.4.30, above GLIBCXX_3.4.29 of {tag}"]),
            ("versions compare as numbers", "manylinux_2_31_x86_64", runtime,
             {"GLIBC_2.4", "GLIBC_2.31", "CXXABI_1.3.10"}, []),
            ("an interface no policy names", tag, runtime, {"ZSTD_1.5"},
             [f"needs ZSTD_1.5, which {tag} does not provide"]),
            ("a tag without a policy", "linux_x86_64", runtime, within,
             ["no manylinux policy known for the tag linux_x86_64"]),
        ]
        for case, tag, needed, versions, expected in table:
            with self.subTest(case):
                self.assertEqual(problems(tag, needed, versions), expected)


class SetUpScripts(unittest.TestCase):
    """What the set-up and test scripts refuse, and how they say it."""

    def test_refusals(self):
        with tempfile.TemporaryDirectory() as folder:
            # Another user must be able to read the shared part of the scripts.
            os.chmod(folder, 0o755)
            common = shutil.copy(ROOT / "scripts" / "common.sh", folder)
            os.chmod(common, 0o644)
            missing = ["bash", "-c", f"source {common}; ensure_packages bash no-such-package-x"]
            # (name, command, environment, exit status, standard error)
            table = [
                ("bootstrap: unknown option", ["scripts/bootstrap", "--bogus"], {}, 2,
                 "error: unknown option '--bogus'\n"
                 "usage: scripts/bootstrap [--no-apt]   (PYTHON=... picks the interpreter)\n"),
                ("test: unknown option", ["scripts/test", "--quick", "-x"], {}, 2,
                 "error: unknown option '-x'\n"
                 "usage: scripts/test [--quick | --aarch64 | --i686 | --s390x | --libcxx"
                 " | --windows | --wheel] [--no-apt]\n"),
                ("test-target: unknown target", ["scripts/test-target", "ppc64"], {}, 2,
                 "error: unknown option 'ppc64'\n"
                 "usage: scripts/test-target aarch64 | i686 | s390x | libcxx [--no-apt]\n"),
                ("bootstrap: interpreter that cannot build", ["scripts/bootstrap", "--no-apt"],
                 {"PYTHON": "/bin/false"}, 1,
                 "error: /bin/false cannot build difral: it needs CPython 3.11, 3.12 or 3.13"
                 " with its development headers (Python.h)\n"),
                ("packages missing without root", missing, {}, 1,
                 "error: these Debian packages are missing: no-such-package-x\n"
                 "Install them as root, then run this again:\n"
                 "  sudo apt-get update && sudo apt-get install --no-install-recommends"
                 " no-such-package-x\n"
                 "Or pass --no-apt if they are installed in another way.\n"),
            ]
            for name, command, environment, status, error in table:
                with self.subTest(name):
                    # Root would install the package; everyone else must be told.
                    user = {}
                    if command is missing and os.geteuid() == 0:
                        user = {"user": 65534, "group": 65534, "extra_groups": []}
                    result = subprocess.run(command, capture_output=True, text=True,
                                            cwd=folder if command is missing else ROOT,
                                            env=dict(os.environ, **environment), timeout=60,
                                            **user)
                    self.assertEqual((result.returncode, result.stderr), (status, error))


if __name__ == "__main__":
    unittest.main()
