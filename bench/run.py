# SPDX-License-Identifier: MIT
"""Times difral against what a scientist would write instead, on the same
files in the same run, and prints one table with ratios and peak memory.

Usage (from the repository, after a build):

  PYTHONPATH=build/dev/src/python python3.12 bench/run.py [options]

Every case runs in a process of its own: it sets up (imports, reads the
input where the case needs it in memory), resets the peak-RSS counter of
/proc/self, runs the case once for the peak memory above that baseline, then
repeats it for the best of N wall-clock times, with the garbage collector
off as timeit does. difral, the plain Python loops and the two floors run in
this script's own interpreter (CPython 3.12); numpy.loadtxt and
pandas.read_csv run in the system python3, the only one that has them
(Debian's python3-numpy and python3-pandas, which scripts/bench installs;
this script installs nothing and leaves out the rows of what is missing).

The inputs come from generate.py and stay in --data-dir between runs. Before
timing, difral's values are compared with the plain Python loop's on every
input; a difference is a failure (exit status 1), as is a case that fails.
"""

import argparse
import array
import gc
import io
import json
import os
import pathlib
import platform
import struct
import subprocess
import sys
import time
import zipfile
import zlib

HERE = pathlib.Path(__file__).resolve().parent
SYSTEM_PYTHON = "/usr/bin/python3"
PROFILE_MEMBER = "Data0/Profile0.txt"

# ---------------------------------------------------------------------------
# The cases. Each takes the input path, does its set-up and returns the
# function to time; what that function returns is kept alive until the peak
# memory has been read. This part runs in the worker processes and must work
# on CPython 3.11 as well as 3.12.


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def member_data_offset(path, info):
    """Where the member's compressed bytes start: after its local header."""
    with open(path, "rb") as f:
        f.seek(info.header_offset)
        header = f.read(30)
    name_length, extra_length = struct.unpack("<HH", header[26:30])
    return info.header_offset + 30 + name_length + extra_length


def python_columns(path, comma=False):
    """The loop one writes without a library: split, float(), skip the rest."""
    xs, ys, es = [], [], []
    with open(path, encoding="utf-8-sig") as f:
        for line in f:
            if comma:
                line = line.replace(",", " ")
            parts = line.split()
            if len(parts) < 2 or parts[0][0] in "#!":
                continue
            try:
                x = float(parts[0])
                y = float(parts[1])
            except ValueError:
                continue
            xs.append(x)
            ys.append(y)
            if len(parts) > 2:
                try:
                    es.append(float(parts[2]))
                except ValueError:
                    pass
    return xs, ys, es if es and len(es) == len(xs) else None


def python_raw(path):
    ys = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.startswith("BANK"):
                parts = line.split()
                if len(parts) >= 7:
                    start = float(parts[5]) / 100.0
                    step = float(parts[6]) / 100.0
                    break
        for line in f:
            if line.startswith("BANK"):
                break
            for token in line.split():
                try:
                    ys.append(float(token))
                except ValueError:
                    pass
    return [i * step + start for i in range(len(ys))], ys, None


def python_rasx(path):
    with zipfile.ZipFile(path) as archive:
        text = archive.read(PROFILE_MEMBER).decode("utf-8-sig")
    xs, ys = [], []
    for line in text.splitlines():
        parts = line.split()
        if len(parts) < 2:
            continue
        try:
            x = float(parts[0])
            y = float(parts[1])
        except ValueError:
            continue
        xs.append(x)
        ys.append(y)
    return xs, ys, None


def python_loader(path):
    suffix = pathlib.Path(path).suffix.lower()
    if suffix == ".raw":
        return python_raw
    if suffix == ".rasx":
        return python_rasx
    if suffix == ".csv":
        return lambda p: python_columns(p, comma=True)
    return python_columns


def small_files(folder):
    return sorted(str(p) for p in pathlib.Path(folder).glob("*.xy"))


def case_difral_load_file(path):
    import difral

    return lambda: difral.load_file(path)


def case_difral_load_bytes(path):
    import difral

    data = read_bytes(path)
    name = os.path.basename(path)
    return lambda: difral.load_bytes(data, name)


def case_difral_load_read(path):
    import difral

    def run():
        p = difral.load_file(path)
        return p, p.x, p.y, p.e

    return run


def case_difral_read_x(path):
    import difral

    p = difral.load_file(path)
    return lambda: p.x


def case_floor_tolist(path):
    import difral

    values = array.array("d", difral.load_file(path).x)
    return values.tolist


def case_floor_read(path):
    return lambda: read_bytes(path)


def case_zlib_inflate(path):
    with zipfile.ZipFile(path) as archive:
        info = archive.getinfo(PROFILE_MEMBER)
    start = member_data_offset(path, info)
    compressed = read_bytes(path)[start : start + info.compress_size]
    return lambda: zlib.decompress(compressed, -15)


def case_python_loop(path):
    loader = python_loader(path)
    return lambda: loader(path)


def numpy_reader(path):
    import numpy

    suffix = pathlib.Path(path).suffix.lower()
    if suffix == ".csv":
        return lambda: numpy.loadtxt(path, delimiter=",", skiprows=1)
    if suffix == ".raw":
        # Ten counts to a row; the rows are flattened into one sequence.
        return lambda: numpy.loadtxt(path, skiprows=2).ravel()
    if suffix == ".rasx":

        def run():
            with zipfile.ZipFile(path) as archive:
                with archive.open(PROFILE_MEMBER) as member:
                    text = io.TextIOWrapper(member, encoding="utf-8-sig")
                    return numpy.loadtxt(text, delimiter="\t")

        return run
    return lambda: numpy.loadtxt(path)


def pandas_reader(path):
    import pandas

    suffix = pathlib.Path(path).suffix.lower()
    if suffix == ".csv":
        return lambda: pandas.read_csv(path, engine="c")
    if suffix == ".raw":
        return lambda: pandas.read_csv(
            path, delim_whitespace=True, header=None, skiprows=2, engine="c"
        )
    if suffix == ".rasx":

        def run():
            with zipfile.ZipFile(path) as archive:
                with archive.open(PROFILE_MEMBER) as member:
                    return pandas.read_csv(
                        member, sep="\t", header=None, encoding="utf-8-sig",
                        engine="c",
                    )

        return run
    return lambda: pandas.read_csv(
        path, delim_whitespace=True, header=None, comment="#", engine="c"
    )


def case_numpy_loadtxt(path):
    return numpy_reader(path)


def case_pandas_read_csv(path):
    return pandas_reader(path)


def small_difral_load_file(folder):
    import difral

    files = small_files(folder)

    def run():
        for f in files:
            difral.load_file(f)

    return run


def small_difral_load_read(folder):
    import difral

    files = small_files(folder)

    def run():
        for f in files:
            p = difral.load_file(f)
            p.x
            p.y

    return run


def small_numpy_loadtxt(folder):
    import numpy

    files = small_files(folder)

    def run():
        for f in files:
            numpy.loadtxt(f)

    return run


def small_pandas_read_csv(folder):
    import pandas

    files = small_files(folder)

    def run():
        for f in files:
            pandas.read_csv(f, delim_whitespace=True, header=None, engine="c")

    return run


def small_python_loop(folder):
    files = small_files(folder)

    def run():
        for f in files:
            python_columns(f)

    return run


def small_floor_read(folder):
    files = small_files(folder)

    def run():
        for f in files:
            read_bytes(f)

    return run


CASES = {
    "difral.load_file": case_difral_load_file,
    "difral.load_bytes": case_difral_load_bytes,
    "difral.load_file+x,y,e": case_difral_load_read,
    "difral p.x": case_difral_read_x,
    "floor array.tolist": case_floor_tolist,
    "floor read bytes": case_floor_read,
    "zlib inflate member": case_zlib_inflate,
    "python loop": case_python_loop,
    "numpy.loadtxt": case_numpy_loadtxt,
    "pandas.read_csv": case_pandas_read_csv,
    "small difral.load_file": small_difral_load_file,
    "small difral.load_file+x,y": small_difral_load_read,
    "small numpy.loadtxt": small_numpy_loadtxt,
    "small pandas.read_csv": small_pandas_read_csv,
    "small python loop": small_python_loop,
    "small floor read bytes": small_floor_read,
}


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return None


def reset_peak():
    """Resets VmHWM to the current RSS; returns that RSS in KiB, or None
    where the kernel does not offer the reset."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        return None
    return status_kib("VmRSS")


def worker(case, path, repeat, measure_memory):
    run = CASES[case](path)
    gc.collect()
    baseline = reset_peak() if measure_memory else None
    times = []
    peak = None
    for i in range(repeat):
        gc.disable()
        start = time.perf_counter()
        result = run()
        elapsed = time.perf_counter() - start
        gc.enable()
        if i == 0 and baseline is not None:
            peak = status_kib("VmHWM") - baseline
        del result
        times.append(elapsed)
    return {"case": case, "best": min(times), "times": times, "peak_kib": peak}


def versions():
    found = {"python": platform.python_version()}
    for name in ("numpy", "pandas"):
        try:
            found[name] = __import__(name).__version__
        except ImportError:
            found[name] = None
    return found


def check(path):
    """difral's values against the plain Python loop's, exactly."""
    import difral

    p = difral.load_file(path)
    with open(path, "rb") as f:
        q = difral.load_bytes(f.read(), os.path.basename(path))
    xs, ys, es = python_loader(path)(path)
    problems = []
    for label, got in (("load_file", p), ("load_bytes", q)):
        if len(got.x) != len(xs):
            problems.append("%s: %d points, expected %d" % (label, len(got.x), len(xs)))
        elif got.x != xs or got.y != ys:
            problems.append("%s: x or y differs from float()" % label)
        if (got.e is None) != (es is None) or (es is not None and got.e != es):
            problems.append("%s: e differs from float()" % label)
    return {"points": len(xs), "problems": problems}


# ---------------------------------------------------------------------------
# The parent: prepares the inputs, runs every case in its own process, and
# prints the table. CPython 3.12 only.


class Runner:
    def __init__(self, args):
        self.args = args
        self.failures = []
        self.own_env = dict(os.environ)
        # The system interpreter gets neither the 3.12 module path nor a
        # sanitizer runtime meant for the module.
        self.system_env = {
            k: v
            for k, v in os.environ.items()
            if k not in ("PYTHONPATH", "LD_PRELOAD", "ASAN_OPTIONS")
        }

    def spawn(self, python, env, argv):
        command = [python, str(pathlib.Path(__file__).resolve())] + argv
        done = subprocess.run(command, env=env, capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError(
                "%s failed (%d):\n%s" % (" ".join(argv), done.returncode, done.stderr)
            )
        return json.loads(done.stdout.strip().splitlines()[-1])

    def time_case(self, system, case, path, repeat):
        python, env = (
            (self.args.system_python, self.system_env)
            if system
            else (sys.executable, self.own_env)
        )
        argv = ["--worker", case, str(path), "--repeat", str(repeat)]
        if self.args.no_memory:
            argv.append("--no-memory")
        progress("  %-28s %s" % (case, os.path.basename(str(path))))
        try:
            return self.spawn(python, env, argv)
        except (RuntimeError, ValueError, IndexError) as error:
            self.failures.append(str(error))
            return None


def progress(text):
    print(text, file=sys.stderr, flush=True)


def machine():
    model = platform.processor() or "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return "%s, %d cores, Linux %s" % (model, os.cpu_count() or 0, platform.release())


def system_modules(args):
    """The versions of the system interpreter and of its numpy and pandas."""
    if not os.path.exists(args.system_python):
        return None
    done = subprocess.run(
        [args.system_python, str(pathlib.Path(__file__).resolve()), "--versions"],
        capture_output=True, text=True,
        env={k: v for k, v in os.environ.items()
             if k not in ("PYTHONPATH", "LD_PRELOAD", "ASAN_OPTIONS")},
    )
    return json.loads(done.stdout) if done.returncode == 0 else None


def fmt_time(seconds, per=1):
    value = seconds / per
    if value >= 1.0:
        return "%.2f s" % value
    if value >= 1e-3:
        return "%.1f ms" % (value * 1e3)
    return "%.1f µs" % (value * 1e6)


def fmt_mib(kib):
    return "—" if kib is None else "%.1f" % (kib / 1024.0)


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="difral against numpy, pandas and plain Python, same files, same run"
    )
    parser.add_argument("--worker", metavar="CASE", help=argparse.SUPPRESS)
    parser.add_argument("--check", metavar="PATH", help=argparse.SUPPRESS)
    parser.add_argument("--versions", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("path", nargs="?", help=argparse.SUPPRESS)
    parser.add_argument("--points", type=int, default=1_000_000,
                        help="points of the big inputs (default 1,000,000)")
    parser.add_argument("--small-files", type=int, default=10_000,
                        help="number of small .xy files (default 10,000)")
    parser.add_argument("--small-points", type=int, default=100,
                        help="points per small file (default 100)")
    parser.add_argument("--repeat", type=int, default=5,
                        help="best of N for the big inputs (default 5)")
    parser.add_argument("--small-repeat", type=int, default=3,
                        help="best of N over the folder of small files (default 3)")
    parser.add_argument("--data-dir", default=str(HERE / "data"),
                        help="where the inputs are generated (default bench/data)")
    parser.add_argument("--system-python", default=SYSTEM_PYTHON,
                        help="the interpreter that has numpy and pandas")
    parser.add_argument("--no-memory", action="store_true",
                        help="skip the peak-memory measurement")
    parser.add_argument("--markdown", metavar="FILE",
                        help="also write the tables to FILE")
    parser.add_argument("--json", metavar="FILE", help="also write the raw results")
    args = parser.parse_args(argv)

    if args.versions:
        print(json.dumps(versions()))
        return 0
    if args.check:
        print(json.dumps(check(args.check)))
        return 0
    if args.worker:
        print(json.dumps(worker(args.worker, args.path, args.repeat, not args.no_memory)))
        return 0
    return bench(args)


def bench(args):
    sys.path.insert(0, str(HERE))
    import generate

    try:
        import difral  # noqa: F401  (only to fail early with a clear message)
    except ImportError as error:
        print("difral is not importable (%s): set PYTHONPATH to the folder of the "
              "built module, e.g. build/dev/src/python" % error, file=sys.stderr)
        return 2

    data = pathlib.Path(args.data_dir)
    progress("generating inputs in %s" % data)
    generate.generate(data, args.points, args.small_files, args.small_points)
    system = system_modules(args)
    has = {
        "numpy": bool(system and system.get("numpy")),
        "pandas": bool(system and system.get("pandas")),
    }
    runner = Runner(args)

    files = {
        "xye": data / "pattern.xye",
        "csv": data / "pattern.csv",
        "raw": data / "pattern.raw",
        "rasx": data / "pattern.rasx",
        "profile": data / "profile.xye",
    }
    progress("checking difral's values against float()")
    for key in ("xye", "csv", "raw", "rasx", "profile"):
        got = runner.spawn(sys.executable, runner.own_env, ["--check", str(files[key])])
        for problem in got["problems"]:
            runner.failures.append("%s: %s" % (files[key].name, problem))

    # (section, case, runs in the system interpreter)
    plan = []
    for key in ("xye", "csv", "raw", "rasx"):
        plan += [
            (key, "difral.load_file", False),
            (key, "difral.load_bytes", False),
            (key, "difral.load_file+x,y,e", False),
        ]
        if key == "xye":
            plan += [(key, "difral p.x", False), (key, "floor array.tolist", False)]
        if key == "rasx":
            plan += [(key, "zlib inflate member", False), ("profile", "difral.load_file", False)]
        plan.append((key, "floor read bytes", False))
        plan.append((key, "python loop", False))
        if has["numpy"] and not (key == "raw" and args.points % 10):
            plan.append((key, "numpy.loadtxt", True))
        if has["pandas"]:
            plan.append((key, "pandas.read_csv", True))
    small = data / "small"
    plan += [
        ("small", "small difral.load_file", False),
        ("small", "small difral.load_file+x,y", False),
        ("small", "small floor read bytes", False),
        ("small", "small python loop", False),
    ]
    if has["numpy"]:
        plan.append(("small", "small numpy.loadtxt", True))
    if has["pandas"]:
        plan.append(("small", "small pandas.read_csv", True))

    results = {}
    progress("timing (best of %d, small files best of %d)" % (args.repeat, args.small_repeat))
    for key, case, on_system in plan:
        path = small if key == "small" else files[key]
        repeat = args.small_repeat if key == "small" else args.repeat
        got = runner.time_case(on_system, case, path, repeat)
        if got is not None:
            got["system"] = on_system
            results[(key, case)] = got

    own = platform.python_version()
    other = system["python"] if system else "—"
    lines = report(args, files, results, own, other, system, has)
    text = "\n".join(lines)
    print(text)
    if args.markdown:
        pathlib.Path(args.markdown).write_text(text + "\n")
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(
            {"%s|%s" % k: v for k, v in results.items()}, indent=1))
    for failure in runner.failures:
        print("FAILED: " + failure, file=sys.stderr)
    return 1 if runner.failures else 0


SECTIONS = [
    ("xye", "pattern.xye: 3 columns, \"%.4f\", white space"),
    ("csv", "pattern.csv: the same values, commas, a header line"),
    ("raw", "pattern.raw: GSAS text, BANK header, ten \"%8d\" counts per line"),
    ("rasx", "pattern.rasx: ZIP, deflated Data0/Profile0.txt, tab-separated"),
]


def report(args, files, results, own, other, system, has):
    size = {k: p.stat().st_size for k, p in files.items()}
    small_count = args.small_files

    def best(key, case):
        got = results.get((key, case))
        return got["best"] if got else None

    lines = []
    lines.append("difral benchmark: %s points, %s small files of %s points; "
                 "best of %d (small files best of %d)"
                 % (format(args.points, ","), format(small_count, ","),
                    args.small_points, args.repeat, args.small_repeat))
    lines.append("machine: %s" % machine())
    lines.append("difral, python loop, floors: CPython %s; numpy %s and pandas %s: "
                 "system CPython %s" % (own, (system or {}).get("numpy") or "absent",
                                        (system or {}).get("pandas") or "absent", other))
    lines.append("")
    lines.append("| input | case | python | best | MB/s | × load_file | peak MiB |")
    lines.append("|---|---|---|---:|---:|---:|---:|")
    for key, title in SECTIONS + [("small", "small/*.xy")]:
        reference = best(key, "small difral.load_file" if key == "small" else "difral.load_file")
        for (k, case), got in results.items():
            if k != key and not (key == "rasx" and k == "profile"):
                continue
            label = case[len("small "):] if key == "small" else case
            if k == "profile":
                label = "difral.load_file on the member's text as .xye"
            per = small_count if key == "small" else 1
            nbytes = None if key == "small" else size[k]
            rate = "%.0f" % (nbytes / got["best"] / 1e6) if nbytes else "—"
            if key == "small":
                label += " (per file)"
            ratio = "%.2f" % (got["best"] / reference) if reference else "—"
            python = other if got["system"] else own
            input_name = "small/*.xy" if key == "small" else files[k].name
            lines.append("| %s | %s | %s | %s | %s | %s | %s |" % (
                input_name, label, python, fmt_time(got["best"], per), rate, ratio,
                fmt_mib(got["peak_kib"])))
    lines.append("")
    lines.append("| target | measured | goal | met |")
    lines.append("|---|---:|---:|---|")

    def target(name, value, goal, met, unit="×"):
        if value is None:
            lines.append("| %s | — | %s | not measured |" % (name, goal))
            return
        lines.append("| %s | %.2f%s | %s | %s |" % (name, value, unit, goal,
                                                   "yes" if met else "**no**"))

    def speedup(key, other_case):
        a, b = best(key, other_case), best(key, "difral.load_file")
        return a / b if a and b else None

    for key in ("xye", "csv"):
        for competitor in ("numpy.loadtxt", "pandas.read_csv"):
            s = speedup(key, competitor)
            target("%s: %s time / load_file time" % (key, competitor), s, "≥ 4×",
                   s is not None and s >= 4)
    xye_rate = size["xye"] / best("xye", "difral.load_file") if best("xye", "difral.load_file") else None
    raw_rate = size["raw"] / best("raw", "difral.load_file") if best("raw", "difral.load_file") else None
    if xye_rate and raw_rate:
        target("raw bytes/s ÷ xye bytes/s", raw_rate / xye_rate, "≥ 1×", raw_rate >= xye_rate)
    inflate, profile = best("rasx", "zlib inflate member"), best("profile", "difral.load_file")
    rasx = best("rasx", "difral.load_file")
    if inflate and profile and rasx:
        share = rasx / (inflate + profile)
        target("rasx load_file ÷ (zlib inflate + load_file of the text)", share, "≤ 1.3×",
               share <= 1.3)
    px, tolist = best("xye", "difral p.x"), best("xye", "floor array.tolist")
    if px and tolist:
        target("p.x ÷ array('d').tolist()", px / tolist, "≤ 1.1×", px / tolist <= 1.1)
    s = None
    if best("small", "small numpy.loadtxt") and best("small", "small difral.load_file"):
        s = best("small", "small numpy.loadtxt") / best("small", "small difral.load_file")
    target("small files: numpy.loadtxt per file ÷ load_file per file", s, "≥ 10×",
           s is not None and s >= 10)
    record = 3 * 8 * args.points
    load = results.get(("xye", "difral.load_file"))
    if load and load["peak_kib"] is not None:
        peak = load["peak_kib"] * 1024
        target("xye load_file peak ÷ record (%.3g MB)" % (record / 1e6), peak / record,
               "≤ 2×", peak <= 2 * record)
    loaded = results.get(("xye", "difral.load_bytes"))
    if load and loaded and load["peak_kib"] is not None and loaded["peak_kib"] is not None:
        extra = (loaded["peak_kib"] - load["peak_kib"]) * 1024
        target("xye load_bytes peak − load_file peak, ÷ input size", extra / size["xye"],
               "no copy (≪ 1×)", extra < 0.1 * size["xye"])
    lines.append("")
    lines.append("× load_file: the case's best time over difral.load_file's on the same "
                 "input (small files: per file). MB/s: input bytes (the .rasx archive's "
                 "compressed size) per second. peak: VmHWM above the RSS after set-up, "
                 "in the case's own process; load_bytes holds its input before the "
                 "baseline. The files are in the page cache.")
    if args.points != 1_000_000:
        lines.append("The targets are set for 1,000,000 points; at other sizes they "
                     "are shown for information only.")
    if not has["numpy"] or not has["pandas"]:
        lines.append("numpy or pandas was not available to %s: those rows are absent."
                     % args.system_python)
    return lines


if __name__ == "__main__":
    sys.exit(main())
