# SPDX-License-Identifier: MIT
"""Writes the seed corpora of the fuzz targets into OUT/<target>/.

The seeds come from the project itself: the example files, the fixtures in
tests/data, the string literals of the C++ and Python tests (the inputs the
tests feed to the readers), a few hand-made hostile inputs, and RASX archives
built here so that the archive fuzzer starts from every member layout the
reader tells apart (stored, deflated, fallback names, encrypted, unsupported
method, CRC mismatch, ZIP64, data in front).

usage: make_seeds.py REPO OUT [MAX_LEN]
"""

import ast
import hashlib
import io
import pathlib
import re
import struct
import sys
import zipfile

TARGETS = ("xy", "csv", "raw", "rasx", "format_from_name")

# Which target a file of each extension seeds first; text seeds go to every
# text target as well, since the formats share the line reader.
EXTENSION_TARGET = {
    ".xy": "xy", ".xye": "xy", ".csv": "csv", ".raw": "raw", ".rasx": "rasx",
}
TEXT_TARGETS = ("xy", "csv", "raw")

PROFILE = b"# 2theta intensity\r\n10.00 100\r\n10.02\t120 1.0\r\n10.04 130\r\n"


class Seeds:
    def __init__(self, out, max_len):
        self.out = pathlib.Path(out)
        self.max_len = max_len
        self.counts = dict.fromkeys(TARGETS, 0)
        for target in TARGETS:
            (self.out / target).mkdir(parents=True, exist_ok=True)

    def add(self, target, data):
        if isinstance(data, str):
            data = data.encode("utf-8", "surrogatepass")
        if len(data) > self.max_len:
            return
        path = self.out / target / hashlib.sha1(data).hexdigest()
        if not path.exists():
            path.write_bytes(data)
            self.counts[target] += 1

    def add_text(self, data):
        for target in TEXT_TARGETS:
            self.add(target, data)


ESCAPE = re.compile(rb'\\(x[0-9A-Fa-f]+|[0-7]{1,3}|.)', re.S)
SIMPLE_ESCAPES = {b"n": b"\n", b"r": b"\r", b"t": b"\t", b"0": b"\0",
                  b"\\": b"\\", b'"': b'"', b"'": b"'", b"a": b"\a",
                  b"b": b"\b", b"f": b"\f", b"v": b"\v", b"?": b"?"}


def unescape_cpp(body):
    def one(match):
        code = match.group(1)
        if code in SIMPLE_ESCAPES:
            return SIMPLE_ESCAPES[code]
        if code[:1] == b"x":
            return bytes([int(code[1:], 16) & 0xFF])
        if code[:1].isdigit():
            return bytes([int(code, 8) & 0xFF])
        return code
    return ESCAPE.sub(one, body)


def cpp_literals(path):
    """The ordinary string literals of a C++ file, adjacent ones joined."""
    text = path.read_bytes()
    text = re.sub(rb"//[^\n]*", b"", text)
    pieces = re.finditer(rb'(?<![A-Za-z0-9_])"((?:[^"\\\n]|\\.)*)"((?:\s*"(?:[^"\\\n]|\\.)*")*)', text)
    for match in pieces:
        joined = unescape_cpp(match.group(1))
        for more in re.finditer(rb'"((?:[^"\\\n]|\\.)*)"', match.group(2)):
            joined += unescape_cpp(more.group(1))
        yield joined


def python_literals(path):
    """The bytes and str constants of a Python file."""
    try:
        tree = ast.parse(path.read_bytes())
    except SyntaxError:
        return
    for node in ast.walk(tree):
        if isinstance(node, ast.Constant) and isinstance(node.value, (bytes, str)):
            yield node.value


def archive(members, *, compression=zipfile.ZIP_STORED, zip64=False):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression=compression,
                         allowZip64=True) as z:
        for name, data in members:
            with z.open(zipfile.ZipInfo(name), "w", force_zip64=zip64) as f:
                f.write(data)
    return buffer.getvalue()


def deflated(members):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression=zipfile.ZIP_DEFLATED) as z:
        for name, data in members:
            z.writestr(name, data)
    return buffer.getvalue()


def with_flag(data, flag):
    """Sets a general-purpose flag bit in every local and central header."""
    data = bytearray(data)
    for signature, offset in ((b"PK\x03\x04", 6), (b"PK\x01\x02", 8)):
        at = data.find(signature)
        while at >= 0:
            (flags,) = struct.unpack_from("<H", data, at + offset)
            struct.pack_into("<H", data, at + offset, flags | flag)
            at = data.find(signature, at + 4)
    return bytes(data)


def rasx_seeds():
    good = [("Data0/Profile0.txt", PROFILE)]
    yield archive(good)
    yield deflated(good)
    yield archive(good, zip64=True)
    yield archive([])
    yield archive([("Data1/Profile0.txt", b"1 2\n"), ("Data0/Profile0.txt", PROFILE)])
    yield archive([("Data1/Profile0.txt", PROFILE), ("Data0/MyProfile.txt", b"3 4\n")])
    yield archive([("Profiles/notes.txt", PROFILE), ("Data0/profile0.txt", b"1 2\n"),
                   ("Data0/Profile0.TXT", b"1 2\n"), ("Data0/Profile0.csv", b"1 2\n")])
    yield archive([("Data0/MesurementConditions0.xml", b"<x/>"), ("Data0/Profile0.txt", b"")])
    yield with_flag(archive(good), 0x1)          # claims to be encrypted
    yield with_flag(archive(good), 0x800)        # UTF-8 names
    bzip = io.BytesIO()
    with zipfile.ZipFile(bzip, "w", compression=zipfile.ZIP_BZIP2) as z:
        z.writestr("Data0/Profile0.txt", PROFILE)
    yield bzip.getvalue()                        # a method the reader refuses
    bad_crc = bytearray(archive(good))
    at = bad_crc.find(b"10.02")
    bad_crc[at] ^= 0x01                          # data no longer matches its CRC
    yield bytes(bad_crc)
    yield b"junk in front " + archive(good)
    yield archive(good)[:-10]                    # truncated end record
    yield deflated([("Data0/Profile0.txt", b"0 0\n" * 2000)])
    yield b"PK\x05\x06" + b"\0" * 18             # an end record and nothing else


HOSTILE_TEXT = [
    b"", b"\n", b"\r\n", b"\r", b"\xef\xbb\xbf1 2\n", b"1 2\r3 4\r\n",
    b"1\x002\n", b"1 2\xb0\n", b"\xc0\x80", b"\xed\xa0\x80 1\n", b"\xf4\x90\x80\x80",
    b"1\xc2\xa02\n", b"1\xe3\x80\x803\n", b"1\xe2\x80\x8b2\n", b"inf nan 1e400\n",
    b"BANK 1 4 1 CONST 1000.0 2.0 0 0 STD\n10 20 30 40\n",
    b"BANK 1 2 3\nBANK 1 4 1 CONST 1000.0 2.0 0 0 STD\n1 2\nBANK 2\n3\n",
    b"BANK 1 4 1 CONST x 2.0\n", b"BANK 1 4 1 CONST 1 y\n",
    b"1" * 9000 + b" 2\n", b"x" * 8191 + b"\r\n1 2\n",
]

NAMES = [
    "scan.xy", "scan.XYE", "a/b.csv", "a\\b.raw", "C:scan.rasx", "C:\\dir\\x.xy",
    "\\\\server\\share\\x.csv", "\\\\server\\share", "scan.xy/", "scan.xy/.", "dir/..",
    ".xy", "scan.", "scan", "", "scan.xy.bak", "\u00e9.xy", "scan.\u0130aw",
    "scan.\u212aa", b"bad\xff.xy", "a/./b.csv/./",
]


def main():
    repo = pathlib.Path(sys.argv[1])
    max_len = int(sys.argv[3]) if len(sys.argv) > 3 else 1 << 16
    seeds = Seeds(sys.argv[2], max_len)

    for folder in (repo / "examples" / "data", repo / "tests" / "data"):
        for path in sorted(folder.rglob("*")) if folder.is_dir() else ():
            if not path.is_file():
                continue
            target = EXTENSION_TARGET.get(path.suffix.lower())
            data = path.read_bytes()
            if target:
                seeds.add(target, data)
            if target != "rasx":
                seeds.add_text(data)
            seeds.add("format_from_name", path.name)

    for path in sorted((repo / "tests" / "cpp").glob("*.cpp")):
        for literal in cpp_literals(path):
            seeds.add_text(literal)
            if len(literal) < 200:
                seeds.add("format_from_name", literal)
    for path in sorted((repo / "tests").rglob("*.py")):
        for literal in python_literals(path):
            seeds.add_text(literal)
            if isinstance(literal, str) and len(literal) < 200:
                seeds.add("format_from_name", literal)

    for data in HOSTILE_TEXT:
        seeds.add_text(data)
    for data in rasx_seeds():
        seeds.add("rasx", data)
    for name in NAMES:
        seeds.add("format_from_name", name)

    print(" ".join(f"{target}:{count}" for target, count in seeds.counts.items()))


if __name__ == "__main__":
    main()
