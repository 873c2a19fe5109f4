"""cmake --install puts a working module and its stub side by side."""

import os
import subprocess
import sys
import sysconfig
import tempfile
import unittest

def installed_files(stage):
    # The site-packages folder may lie below a hidden one (~/.pyenv), which
    # glob's ** would skip.
    return [os.path.join(root, name) for root, _, names in os.walk(stage) for name in names]


BUILD_DIR = os.environ.get("DIFRAL_BUILD_DIR")
CMAKE = os.environ.get("DIFRAL_CMAKE")


@unittest.skipUnless(BUILD_DIR and CMAKE, "run from CTest, which names the build")
class Install(unittest.TestCase):
    def test_staged_install_imports_from_any_folder(self):
        with tempfile.TemporaryDirectory() as stage:
            environment = dict(os.environ, DESTDIR=stage)
            subprocess.run([CMAKE, "--install", BUILD_DIR, "--component", "python"],
                           check=True, capture_output=True, env=environment, timeout=120)
            suffix = sysconfig.get_config_var("EXT_SUFFIX")
            installed = installed_files(stage)
            modules = [f for f in installed if os.path.basename(f) == f"difral{suffix}"]
            self.assertEqual(len(modules), 1, modules)
            folder = os.path.dirname(modules[0])
            self.assertEqual(sorted(os.listdir(folder)), sorted(["difral.pyi", f"difral{suffix}"]))
            self.assertFalse([f for f in installed if "fault_probe" in f])

            environment = dict(os.environ, PYTHONPATH=folder)
            script = "import difral; print(difral.__file__); print(difral.__all__)"
            result = subprocess.run([sys.executable, "-c", script], capture_output=True,
                                    text=True, cwd=stage, env=environment, timeout=60)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(result.stdout.splitlines(),
                             [modules[0], "['Pattern', 'load_file', 'load_bytes']"])


if __name__ == "__main__":
    unittest.main()
