"""Shared fixtures of the difral Python tests."""

import io
import os
import pathlib
import struct
import zipfile

import difral

REPO = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = REPO / "examples"
EXAMPLE_DATA = EXAMPLES / "data"
STUB = REPO / "src" / "python" / "difral-stubs" / "__init__.pyi"

GSAS_HEADER = b"BANK 1 4 1 CONST 1000.0 2.0 0 0 STD\n"


def under_asan() -> bool:
    return "asan" in os.environ.get("LD_PRELOAD", "")


def bits(values):
    """The exact bytes of a float list (NaN payloads and -0.0 included), or
    None for an absent e."""
    if values is None:
        return None
    return struct.pack(f"<{len(values)}d", *values)


def outcome(load, *args):
    """What a load gives, comparable across file and bytes loads: the exact
    bits of x, y and e, or the exception's class and args."""
    try:
        pattern = load(*args)
    except (OSError, ValueError) as error:
        return ("error", type(error), error.args)
    return ("ok", bits(pattern.x), bits(pattern.y), bits(pattern.e))


def member_info(name, compression):
    """A member's header with a fixed time: with the clock's, the headers'
    bytes (and so what a damaged archive shows a reader) change by the minute."""
    info = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
    info.compress_type = compression
    info.external_attr = 0o600 << 16
    return info


def make_zip(members, compression=zipfile.ZIP_DEFLATED) -> bytes:
    """An archive in memory holding (name, text) members in this order."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression=compression) as archive:
        for name, text in members:
            archive.writestr(member_info(name, compression), text)
    return buffer.getvalue()


def raw_with_nul_at(offset: int, size: int = 2048) -> bytes:
    """A GSAS RAW text of size bytes with intensities 10 20 30 40, padded
    with blanks, whose only NUL byte is at the given offset."""
    head = GSAS_HEADER + b"10 20 30 40\n"
    data = bytearray(head + b" " * (size - len(head) - 1) + b"\n")
    data[offset] = 0
    return bytes(data)


def samples(*parts):
    """A folder of the real instrument files, which the build names
    (DIFRAL_SAMPLES_DIR), or None: tests that read them skip when it is
    absent, or when the tests run without the build's environment."""
    root = os.environ.get("DIFRAL_SAMPLES")
    folder = pathlib.Path(root, *parts) if root else None
    return folder if folder is not None and folder.is_dir() else None


def sample_files():
    """Every file below the samples folder, or nothing when it is absent."""
    root = samples()
    if root is None:
        return []
    return sorted(p for p in root.rglob("*") if p.is_file() and p.suffix != ".md")


def load_text(text: str, name: str = "scan.xy"):
    return difral.load_bytes(text.encode("utf-8"), name)

# A GSAS RAW text without any NUL byte.
NUL_FREE_RAW = GSAS_HEADER + b"10 20 30 40\n"
