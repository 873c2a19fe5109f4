"""Shared by the hardening tests: inputs of every format, outcomes that can be
compared across loads, and child processes for checks that must not take the
test runner down with them."""

import binascii
import os
import struct
import subprocess
import sys
import textwrap
import zipfile
import zlib

# The Python suite's fixtures (tests/python, on the path CTest gives), shared
# with these tests rather than written again.
from helpers import EXAMPLE_DATA, GSAS_HEADER, make_zip, outcome

# Set by CTest under the sanitizers and under valgrind: the heavy checks are
# skipped or shrunk, since they would take minutes there and the address-space
# limits they rely on do not mix with the sanitizer's shadow memory.
LIGHT = os.environ.get("DIFRAL_HARDENING_LIGHT") == "1"

UTF8_ERROR = "stream did not contain valid UTF-8"
PROFILE = b"# position intensity\r\n10.00 100\r\n10.02\t120\r\n10.04 130 7\r\n"


def deflate_bomb(chunk, count, name="Data0/Profile0.txt"):
    """A one-member archive whose member inflates to count copies of chunk,
    built without ever holding the inflated data."""
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    crc = 0
    parts = []
    for _ in range(count):
        parts.append(compressor.compress(chunk))
        crc = binascii.crc32(chunk, crc)
    parts.append(compressor.flush())
    data = b"".join(parts)
    size = len(chunk) * count
    encoded = name.encode()
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 8, 0, 0, crc, len(data),
                        size, len(encoded), 0) + encoded
    central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, 8, 0, 0, crc,
                          len(data), size, len(encoded), 0, 0, 0, 0, 0, 0) + encoded
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(central),
                      len(local) + len(data), 0)
    return local + data + central + end


def inputs():
    """(name, data) for loads that succeed and loads that fail, in every
    format and every way the readers fail."""
    return [
        ("scan.xy", b"10 100 1\n10.02 120 2\n10.04 130 3\n"),
        ("scan.xye", b"# header\n1 2\n3 4\n"),
        ("empty.xy", b""),
        ("scan.csv", b"x,y\n1,2\n3,4\n5,6\n"),
        ("scan.raw", GSAS_HEADER + b"10 20 30 40\n"),
        ("scan.rasx", make_zip([("Data0/Profile0.txt", PROFILE)])),
        ("bad.xy", b"1 2\n\xb0\n"),                              # not UTF-8
        ("scan.unknown", b"1 2\n"),                              # no reader
        ("bruker.raw", b"RAW1.01\0\0\0"),                        # refused binary
        ("no-bank.raw", b"1 2 3\n"),                             # no header
        ("start.raw", b"BANK 1 4 1 CONST x 2.0\n"),              # invalid start
        ("text.rasx", b"1 2\n3 4\n"),                            # not an archive
        ("other.rasx", make_zip([("Data0/Other.txt", b"1 2")])),  # no profile
        ("crc.rasx", make_zip([("Data0/Profile0.txt", b"1 2\n")],
                              zipfile.ZIP_STORED).replace(b"1 2\n", b"1 3\n")),
    ]


def write_inputs(folder):
    """Writes inputs() into folder; returns their paths."""
    paths = []
    for name, data in inputs():
        path = os.path.join(folder, name)
        with open(path, "wb") as f:
            f.write(data)
        paths.append(path)
    return paths


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def open_descriptors():
    return sorted(os.listdir("/proc/self/fd"))


def run_child(body, timeout=60, **kwargs):
    """Runs body in a fresh interpreter that has imported difral; returns the
    completed process (stdout and stderr as text)."""
    script = "import os, resource, signal, sys, threading, time\nimport difral\n"
    script += textwrap.dedent(body)
    return subprocess.run([sys.executable, "-c", script], capture_output=True,
                          text=True, timeout=timeout, **kwargs)
