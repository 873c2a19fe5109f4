# SPDX-License-Identifier: MIT
"""The build backend of difral (PEP 517), in the tree and standard library only.

build_wheel configures and builds the extension module with CMake in a fresh
temporary folder, installs it with the stub package into a staging folder and
zips that with its metadata; build_sdist packs the source tree. The project's
name, version and description come from pyproject.toml alone.

Environment: CMAKE names the cmake program; DIFRAL_CMAKE_ARGS adds options to
the configure step (CI passes -DDIFRAL_WERROR=ON).

Config settings of build_wheel (pip's --config-settings KEY=VALUE), which
scripts/wheel uses for the self-contained wheel:
  static-deps=PREFIX   link libzip and zlib from the static, position-
                       independent archives below PREFIX (lib/, include/,
                       lib/pkgconfig/); the licence texts below
                       PREFIX/share/licenses/ go into the wheel beside
                       difral's own
  platform-tag=TAG     the wheel's platform tag (manylinux_2_NN_x86_64)
                       instead of this machine's; scripts/check-wheel checks
                       that the module keeps to it
  build-dir=DIR        build in DIR and keep it for the next build (of the
                       same interpreter and settings), not in a fresh
                       temporary folder
Without them the module links the system's libzip and the tag is this
machine's.
"""

import base64
import contextlib
import hashlib
import io
import os
import pathlib
import shlex
import shutil
import stat
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import time
import tomllib
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent

# Entries get this time unless SOURCE_DATE_EPOCH says otherwise, so that one
# tree always packs into the same bytes (1980 is the earliest a zip can hold).
DEFAULT_EPOCH = 315532800


def _project():
    with open(ROOT / "pyproject.toml", "rb") as f:
        return tomllib.load(f)["project"]


def _epoch():
    return max(int(os.environ.get("SOURCE_DATE_EPOCH", DEFAULT_EPOCH)), DEFAULT_EPOCH)


def _metadata():
    """The core metadata (METADATA in the wheel, PKG-INFO in the sdist).

    Version 2.2 is the newest that Debian 12's twine (4.0.2, with pkginfo
    1.8.2) reads: it finds no name in 2.4 and refuses the distribution. 2.2
    names the licence in License; 2.4's License-Expression and License-File
    would say the same, and the files are in the wheel and the sdist either way.
    """
    project = _project()
    lines = ["Metadata-Version: 2.2",
             f"Name: {project['name']}",
             f"Version: {project['version']}",
             f"Summary: {project['description']}",
             f"License: {project['license']}",
             f"Requires-Python: {project['requires-python']}"]
    lines += [f"Classifier: {c}" for c in project.get("classifiers", [])]
    readme = project.get("readme")
    if readme:
        lines.append("Description-Content-Type: text/markdown")
    text = "\n".join(lines) + "\n"
    if readme:
        text += "\n" + (ROOT / readme).read_text(encoding="utf-8")
    return text


def _base_name():
    project = _project()
    return f"{project['name']}-{project['version']}"


def _tag(settings):
    """The tag of the running interpreter: the module is built for it alone.
    The platform is this machine's plain one, where the module links the
    system's libzip, unless the settings name another."""
    version = f"{sys.version_info.major}{sys.version_info.minor}"
    abi = "cp" + version + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")
    platform = settings.get("platform-tag") or sysconfig.get_platform()
    platform = platform.replace("-", "_").replace(".", "_")
    return f"cp{version}-{abi}-{platform}"


def _wheel_file(settings):
    return ("Wheel-Version: 1.0\n"
            "Generator: difral_build\n"
            "Root-Is-Purelib: false\n"
            f"Tag: {_tag(settings)}\n")


def _licence_files(settings):
    """(path in the .dist-info folder, file) of every licence the wheel
    carries: difral's own, then those of the libraries linked into it."""
    files = [(f"licenses/{name}", ROOT / name) for name in _project()["license-files"]]
    static_deps = settings.get("static-deps")
    if static_deps:
        licences = pathlib.Path(static_deps) / "share" / "licenses"
        files += [(f"licenses/{p.relative_to(licences).as_posix()}", p)
                  for p in sorted(licences.rglob("*")) if p.is_file()]
    return files


def _record_hash(data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
    return "sha256=" + digest.decode("ascii")


def _cmake():
    cmake = os.environ.get("CMAKE") or shutil.which("cmake")
    if not cmake:
        raise RuntimeError("difral is built with CMake, which was not found: install cmake "
                           "(Debian: apt-get install cmake), or run scripts/bootstrap")
    return cmake


def _build_module(stage, settings):
    """Builds difral for this interpreter and installs the module and the stub
    package into stage."""
    cmake = _cmake()
    environment = None
    static_deps = settings.get("static-deps")
    if static_deps:
        # pkg-config sees only the static libzip and zlib, and names zlib
        # too (--static); each -l then finds the archive, the only file there.
        environment = dict(os.environ, PKG_CONFIG="pkg-config --static",
                           PKG_CONFIG_LIBDIR=str(pathlib.Path(static_deps) / "lib" / "pkgconfig"))
    kept = settings.get("build-dir")
    folder = (contextlib.nullcontext(kept) if kept
              else tempfile.TemporaryDirectory(prefix="difral-build-"))
    with folder as build:
        configure = [cmake, "-S", str(ROOT), "-B", build, "-DCMAKE_BUILD_TYPE=Release"]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        # The user's options come first, so that the last three, which the
        # wheel depends on, win.
        configure += shlex.split(os.environ.get("DIFRAL_CMAKE_ARGS", ""))
        configure += ["-DDIFRAL_BUILD_TESTS=OFF",
                      f"-DPython_EXECUTABLE={sys.executable}",
                      "-DDIFRAL_INSTALL_DIR=."]
        subprocess.run(configure, check=True, env=environment)
        subprocess.run([cmake, "--build", build, "--parallel", str(os.cpu_count() or 1)],
                       check=True)
        subprocess.run([cmake, "--install", build, "--component", "python",
                        "--prefix", str(stage), "--strip"], check=True)


def _zip_entry(name, mode):
    info = zipfile.ZipInfo(name, date_time=time.gmtime(_epoch())[:6])
    info.external_attr = (stat.S_IFREG | mode) << 16
    info.compress_type = zipfile.ZIP_DEFLATED
    return info


def _write_wheel(wheel_directory, stage, settings):
    base = _base_name()
    dist_info = f"{base}.dist-info"
    files = sorted(p for p in pathlib.Path(stage).rglob("*") if p.is_file())
    entries = [(p.relative_to(stage).as_posix(), p.read_bytes(),
                0o755 if os.access(p, os.X_OK) else 0o644) for p in files]
    entries += [(f"{dist_info}/{path}", p.read_bytes(), 0o644)
                for path, p in _licence_files(settings)]
    entries += [(f"{dist_info}/METADATA", _metadata().encode("utf-8"), 0o644),
                (f"{dist_info}/WHEEL", _wheel_file(settings).encode("utf-8"), 0o644)]
    name = f"{base}-{_tag(settings)}.whl"
    record = io.StringIO()
    with zipfile.ZipFile(pathlib.Path(wheel_directory) / name, "w") as wheel:
        for path, data, mode in entries:
            wheel.writestr(_zip_entry(path, mode), data)
            record.write(f"{path},{_record_hash(data)},{len(data)}\n")
        # RECORD lists every other entry and comes last, without a hash of itself.
        record.write(f"{dist_info}/RECORD,,\n")
        wheel.writestr(_zip_entry(f"{dist_info}/RECORD", 0o644), record.getvalue())
    return name


def _source_files():
    """The files of the source tree: git's list when the root is a checkout
    of its own (committed and untracked files, less the ignored ones), else
    every file below the root, which is then an unpacked sdist."""
    def git(*arguments):
        return subprocess.run(["git", "-C", str(ROOT), *arguments], check=True,
                              capture_output=True).stdout
    try:
        top = git("rev-parse", "--show-toplevel").decode("utf-8").strip()
        checkout = pathlib.Path(top).resolve() == ROOT
    except (OSError, subprocess.CalledProcessError):
        checkout = False
    if checkout:
        listing = git("ls-files", "-z", "--cached", "--others", "--exclude-standard")
        names = [n for n in listing.decode("utf-8").split("\0") if n]
    else:
        names = [p.relative_to(ROOT).as_posix() for p in ROOT.rglob("*") if p.is_file()]
        names = [n for n in names if n != "PKG-INFO" and not n.startswith(("build/", ".git/"))
                 and "__pycache__" not in n]
    return sorted(n for n in names if (ROOT / n).is_file())


# The PEP 517 hooks.

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    dist_info = pathlib.Path(metadata_directory) / f"{_base_name()}.dist-info"
    dist_info.mkdir(parents=True, exist_ok=True)
    (dist_info / "METADATA").write_text(_metadata(), encoding="utf-8")
    (dist_info / "WHEEL").write_text(_wheel_file(config_settings or {}), encoding="utf-8")
    return dist_info.name


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    settings = config_settings or {}
    with tempfile.TemporaryDirectory(prefix="difral-stage-") as stage:
        _build_module(stage, settings)
        return _write_wheel(wheel_directory, stage, settings)


def build_sdist(sdist_directory, config_settings=None):
    base = _base_name()
    name = f"{base}.tar.gz"

    def add(archive, path, data, mode):
        info = tarfile.TarInfo(f"{base}/{path}")
        info.size, info.mode, info.mtime = len(data), mode, _epoch()
        archive.addfile(info, io.BytesIO(data))

    with tarfile.open(pathlib.Path(sdist_directory) / name, "w:gz",
                      format=tarfile.PAX_FORMAT) as archive:
        for path in _source_files():
            executable = os.access(ROOT / path, os.X_OK)
            add(archive, path, (ROOT / path).read_bytes(), 0o755 if executable else 0o644)
        add(archive, "PKG-INFO", _metadata().encode("utf-8"), 0o644)
    return name
