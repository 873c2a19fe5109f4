#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes the files whose loaded values scripts/compare-values compares
between builds: numbers of every digit length and point position, with and
without signs and exponents (overflow, underflow and subnormals among them),
exact halfway points, the words INF and NAN, every line ending, a byte-order
mark, white-space and comma columns, non-ASCII separators, data across the
8192-byte block edges at every offset, GSAS RAW files with eight-byte fields
and many starts and steps, RASX archives, and inputs that fail.

    generate.py FOLDER    writes the files into FOLDER, which it empties

The same script always writes the same bytes.
"""

import decimal
import math
import os
import random
import shutil
import struct
import sys
import zipfile

rng = random.Random(15)
ENDINGS = ["\n", "\r\n", "\r"]
BOM = "\ufeff"


def digits(count, lead_zero_ok=True):
    if lead_zero_ok:
        return "%0*d" % (count, rng.randrange(10**count))
    return "%d" % rng.randrange(10 ** (count - 1), 10**count)


def decimal_token(count, point, sign, exponent=""):
    """count digits with the point before digit `point` (None: no point)."""
    body = digits(count, lead_zero_ok=rng.random() < 0.2)
    if point is not None:
        body = body[:point] + "." + body[point:]
    return sign + body + exponent


def lines_of(tokens, per_line, separators):
    out = []
    for i in range(0, len(tokens), per_line):
        out.append(rng.choice(separators).join(tokens[i : i + per_line]))
    return out


def write(folder, name, text, ending="\n", bom=False):
    data = (BOM if bom else "") + text.replace("\n", ending)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data.encode("utf-8"))


def random_double(low=-1074, high=1023):
    """A finite double of random bits, its binary exponent in [low, high]."""
    while True:
        value = struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
        if math.isfinite(value) and value != 0:
            exponent = math.frexp(value)[1] - 1
            if low <= exponent <= high:
                return value


def decimal_files(folder):
    """Every digit length from 1 to 25, the point at every position or
    absent, and each sign; three columns a line."""
    for count in range(1, 26):
        tokens = []
        for point in [None] + list(range(count + 1)):
            for sign in ("", "-", "+"):
                for _ in range(400):
                    tokens.append(decimal_token(count, point, sign))
        rng.shuffle(tokens)
        if count % 2:
            name = "decimals-%02d.csv" % count
            separators = [",", ", ", " , ", ",\t", " "]
        else:
            name = "decimals-%02d.xy" % count
            separators = [" ", "  ", "\t", " \t "]
        text = "\n".join(lines_of(tokens, 3, separators)) + "\n"
        write(folder, name, text, ENDINGS[count % 3], bom=count % 5 == 0)


def exponent_file(folder):
    """Every decimal exponent from -350 to 330, in its every spelling, on
    mantissas of 1 to 19 digits."""
    tokens = []
    for exponent in range(-350, 331):
        for _ in range(150):
            count = rng.randint(1, 19)
            point = rng.choice([None, rng.randint(0, count)])
            mark = rng.choice("eE")
            plus = "-" if exponent < 0 else rng.choice(["", "+"])
            width = rng.choice([0, 0, 0, 3, 5])
            spelled = "%s%s%0*d" % (mark, plus, width, abs(exponent))
            sign = rng.choice(["", "-", "+"])
            tokens.append(decimal_token(count, point, sign, spelled))
    write(folder, "exponents.xy", "\n".join(lines_of(tokens, 3, [" "])) + "\n")


def edge_file(folder):
    """The edges of the double range, of the fast paths and of rounding."""
    tokens = [
        "0", "-0", "+0", "0.0", "-0.0", ".0", "0.", "00000000000000000000",
        "0e999999999999", "-0e-999999999999", "1e-99999999999",
        "1e99999999999", "-1e99999999999",
        "1.7976931348623157e308", "1.7976931348623158e308",
        "1.7976931348623159e308", "-1.7976931348623159e308",
        "179769313486231580793728971405303415079934132710037826936173778"
        "98045271144166356935306813540736000000000000000000000000000000"
        "00000000000000000000000000000000000000000000000000000000000000"
        "00000000000000000000000000000000000000000000000000000000000000"
        "00000000000000000000000000000000000000000000000000000000000000"
        "0000000000000000000000000",
        "2.2250738585072011e-308", "2.2250738585072014e-308",
        "2.2250738585072012e-308", "4.9406564584124654e-324",
        "4.9e-324", "5e-324", "3e-324", "2.4703282292062327e-324",
        "2.4703282292062328e-324", "2.4703282292062327208e-324",
        "1e-320", "-1e-320", "1e-400", "-1e-400",
        "9007199254740992", "9007199254740993", "9007199254740994",
        "9007199254740995", "18014398509481983", "18014398509481985",
        "1e15", "1e16", "1e17", "1e22", "1e23", "9999999999999999",
        "99999999999999999", "0.1", "0.2", "0.3", "0.7", "2.3",
        "12345678.", "1234567.8", ".12345678", "123456789", "99999999.99999999",
        "1234567890123456", "12345678901234567", ".0000000000000001",
        "0." + "0" * 330 + "1", "1" + "0" * 400, "1" * 800,
        "0." + "0" * 300 + "1" * 500 + "e300",
        "000000000000000000000000000000001", "1e000000000000000000000000400",
        "0.00000000000000000001e329", "-1000000e-330",
    ]
    lines = []
    for token in tokens:
        lines.append("%s 1 %s" % (token, token))
        lines.append("1 %s 2" % token)
    write(folder, "edges.xy", "\n".join(lines) + "\n")


def halfway_file(folder):
    """Exact halfway points between neighbouring doubles, and the decimals
    just below and above them."""
    decimal.getcontext().prec = 1200
    tokens = []
    for i in range(15000):
        value = abs(random_double(-1074 if i % 10 == 0 else -80, 200))
        above = math.nextafter(value, math.inf)
        half = (decimal.Decimal(value) + decimal.Decimal(above)) / 2
        exact = format(half, "f") if i % 2 else format(half, "e")
        tokens.append(exact)
        mantissa, _, exponent = format(half, "e").partition("e")
        for nudge in ("1", "9"):
            # Cut to 25 significant digits and nudged below or above.
            cut = mantissa[: 2 + 24] + nudge
            tokens.append("%se%s" % (cut, exponent))
    text = "\n".join(lines_of(tokens, 3, [" ", "\t"])) + "\n"
    write(folder, "halfway.xy", text)


def random_file(folder, name, forms, count, ending):
    tokens = []
    for _ in range(count):
        value = random_double()
        tokens.append(rng.choice(forms)(value))
    write(folder, name, "\n".join(lines_of(tokens, 3, [" "])) + "\n", ending)


def random_files(folder):
    """Random doubles as Python prints them, shortest and longer."""
    random_file(folder, "random-repr.xy", [repr, str], 60000, "\n")
    random_file(
        folder,
        "random-long.csv",
        [lambda v: "%.17g" % v, lambda v: "%.16e" % v, lambda v: "%.25g" % v],
        60000,
        "\r\n",
    )
    # Values that plain text writers give: a few decimals of a modest size.
    tokens = []
    for _ in range(80000):
        places = rng.randint(0, 8)
        tokens.append("%.*f" % (places, rng.uniform(-1e5, 1e5)))
    write(folder, "fixed-point.xye", "\n".join(lines_of(tokens, 3, [" "])) + "\n")


def word_file(folder):
    """INF and NAN in every case and sign, and tokens that are no numbers."""
    words = ["inf", "INF", "Inf", "infinity", "INFINITY", "InFiNiTy", "nan",
             "NAN", "NaN", "nAn"]
    others = ["infinit", "infinityy", "nan(1)", "in", "1e", "1e+", ".", "+",
              "-", "e5", "0x10", "1_000", "1.2.3", "1d5", "--1", "+-1", "#1",
              "n/a", "1,5"]
    lines = []
    for i in range(4000):
        row = []
        for _ in range(3):
            pick = rng.random()
            if pick < 0.45:
                row.append(rng.choice(["", "-", "+"]) + rng.choice(words))
            elif pick < 0.55:
                row.append(rng.choice(others))
            else:
                row.append(decimal_token(rng.randint(1, 12), None, ""))
        lines.append(" ".join(row))
    write(folder, "words.xy", "\n".join(lines) + "\n", "\r\n")


def block_edge_files(folder):
    """The same short rows after a first line of 0 to 63 bytes, so that over
    the files every token meets the 8192-byte block edges at every offset;
    and lines far longer than a block."""
    rows = []
    for _ in range(1700):
        rows.append(" ".join(
            decimal_token(rng.randint(1, 17), rng.choice([None, 1, 3]),
                          rng.choice(["", "-"]))
            for _ in range(3)))
    body = "\n".join(rows) + "\n"
    for shift in range(64):
        write(folder, "block-edge-%02d.xy" % shift,
              "#" + "-" * shift + "\n" + body, ENDINGS[shift % 3])
    long_rows = []
    for _ in range(6):
        padding = " " * rng.randint(8000, 9000)
        long_rows.append(padding + "1.5" + padding + "2.5 " + "7" * 9000)
    write(folder, "long-lines.xy", "\n".join(long_rows) + "\n")


def unicode_files(folder):
    """Non-ASCII separators, which send lines off the block path, and text
    that is not UTF-8."""
    spaces = ["\u00a0", "\u3000", "\u2009", "\u2003", "\u1680", "\u0085"]
    lines = []
    for _ in range(5000):
        sep = rng.choice(spaces + [" "])
        lines.append(sep.join(
            decimal_token(rng.randint(1, 16), rng.choice([None, 2]), "")
            for _ in range(3)))
    lines.insert(100, "# \u00b0 2\u03b8 comment")
    write(folder, "unicode-spaces.xy", "\n".join(lines) + "\n", bom=True)
    with open(os.path.join(folder, "invalid-utf8.xy"), "wb") as f:
        f.write(b"1 2\n3 4\n# 45\xb0\n5 6\n")
    with open(os.path.join(folder, "invalid-utf8-late.csv"), "wb") as f:
        f.write(b"1,2\n" * 5000 + b"\xc0\x80\n")


GSAS_FIELDS = ["%8d", "%8d", "%8d", "%8.1f", "%8.2f", "%8.3f"]


def gsas_files(folder):
    """GSAS RAW files: many starts and steps, eight-byte fields in the
    layouts of STD and ESD records, free tokens, and banks that end data."""
    for n in range(150):
        start = rng.choice([
            "%d" % rng.randint(0, 20000),
            "%.2f" % rng.uniform(0, 20000),
            "%.6f" % rng.uniform(-500, 20000),
            "%.3e" % rng.uniform(1, 20000),
        ])
        step = rng.choice([
            "%d" % rng.randint(1, 10),
            "%.2f" % rng.uniform(0.01, 5),
            "%.5f" % rng.uniform(0.0001, 5),
            "%.7g" % rng.uniform(0.001, 50),
        ])
        points = rng.randint(800, 2200)
        layout = n % 5
        header = "BANK 1 %d %d CONST %s %s 0 0 %s" % (
            points, (points + 9) // 10, start, step,
            "ESD" if layout == 1 else "STD")
        lines = ["Generated GSAS file %d" % n, header]
        field = rng.choice(GSAS_FIELDS)
        values = []
        for _ in range(points):
            if "d" in field:
                values.append(field % rng.randint(0, 10 ** rng.randint(1, 8) - 1))
            else:
                values.append(field % rng.uniform(0, 9999))
        if layout == 0:  # STD: ten fields of eight bytes a line
            for i in range(0, points, 10):
                lines.append("".join(values[i : i + 10]))
        elif layout == 1:  # ESD: value and sigma pairs, five a line
            pairs = [v + ("%8.2f" % rng.uniform(0, 99)) for v in values]
            for i in range(0, points, 5):
                lines.append("".join(pairs[i : i + 5]))
        elif layout == 2:  # free tokens of every shape
            tokens = [decimal_token(rng.randint(1, 18),
                                    rng.choice([None, 1, 4]), "")
                      for _ in range(points)]
            lines.extend(lines_of(tokens, rng.randint(1, 12), [" ", "  ", "\t"]))
        elif layout == 3:  # fields, a second bank that ends the data
            for i in range(0, points, 10):
                lines.append("".join(values[i : i + 10]))
            lines.append("BANK 2 10 1 CONST 0 1 0 0 STD")
            lines.append("".join(values[:10]))
        else:  # fields that run together with longer numbers between
            for i in range(0, points, 10):
                row = values[i : i + 10]
                if rng.random() < 0.3:
                    row[rng.randrange(len(row))] = "%12d" % rng.randint(0, 10**11)
                lines.append("".join(row))
        write(folder, "gsas-%03d.raw" % n, "\n".join(lines) + "\n",
              ENDINGS[n % 3], bom=n % 7 == 0)
    failures = {
        "gsas-no-bank.raw": "title\n1 2 3\n",
        "gsas-empty.raw": "",
        "gsas-invalid-start.raw": "BANK 1 4 1 CONST 1,000 2.0\n1 2\n",
        "gsas-invalid-step.raw": "BANK 1 4 1 CONST 1000 step\n1 2\n",
        "gsas-short-bank.raw": "BANK 1 2 3\nBANK 1 2 3 4 5\n1 2\n",
    }
    for name, text in failures.items():
        write(folder, name, text)
    with open(os.path.join(folder, "bruker.raw"), "wb") as f:
        f.write(b"RAW1.01" + bytes(1017) + b"BANK 1 4 1 CONST 1000 2\n1 2\n")


def rasx_files(folder):
    """RASX archives: the profile deflated and stored, chosen by either rule,
    and archives that fail."""
    for n in range(10):
        lines = ["# profile %d" % n, "pos\tintensity\tatt"]
        for _ in range(5000):
            x = decimal_token(rng.randint(1, 12), rng.choice([None, 2, 3]), "")
            y = decimal_token(rng.randint(1, 9), rng.choice([None, 4]), "")
            lines.append("%s\t%s\t1.0" % (x, y))
        text = ("\n" if n % 2 else "\r\n").join(lines) + "\n"
        member = "Data0/Profile0.txt" if n < 7 else "Data1/MyProfile%d.txt" % n
        method = zipfile.ZIP_DEFLATED if n % 3 else zipfile.ZIP_STORED
        with zipfile.ZipFile(os.path.join(folder, "archive-%02d.rasx" % n), "w",
                             method) as archive:
            archive.writestr(zipfile.ZipInfo("Data0/MesurementConditions0.xml",
                                             (2020, 1, 1, 0, 0, 0)), "<xml/>")
            archive.writestr(zipfile.ZipInfo(member, (2020, 1, 1, 0, 0, 0)),
                             text)
    with zipfile.ZipFile(os.path.join(folder, "archive-no-profile.rasx"), "w") as archive:
        archive.writestr(zipfile.ZipInfo("Data0/readme.txt", (2020, 1, 1, 0, 0, 0)),
                         "nothing")
    write(folder, "archive-not-zip.rasx", "1 2\n3 4\n")
    write(folder, "unknown.txt", "1 2\n")


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: generate.py FOLDER")
    folder = sys.argv[1]
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for make in (decimal_files, exponent_file, edge_file, halfway_file,
                 random_files, word_file, block_edge_files, unicode_files,
                 gsas_files, rasx_files):
        make(folder)


if __name__ == "__main__":
    main()
