"""Runs unittest suites under valgrind memcheck and fails on any invalid
access, use of uninitialised memory or bad free, and on any definite leak
whose allocation stack passes through difral's code.

CPython itself leaves definitely-lost blocks at exit (interned strings, module
state); those have no difral frame and are not reported. They are told apart
by stack rather than suppressed, because a suppression keyed on interpreter
frames would also hide a Python object leaked by difral, whose stack runs
through the same interpreter functions above difral's own frame. CPython
3.12 under PYTHONMALLOC=malloc reports no other kind of error, so no
suppressions file is needed; should one be, pass it in VALGRIND_OPTS.

usage: valgrind_check.py SUITE_DIR...
"""

import os
import pathlib
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree


def ours(frame):
    obj = os.path.basename(frame.findtext("obj") or "")
    fn = frame.findtext("fn") or ""
    return "difral" in obj or "difral::" in fn


def describe(error):
    lines = [error.findtext("kind") + ": " + (error.findtext("what")
                                              or error.findtext("xwhat/text") or "")]
    for frame in error.findall("stack/frame")[:16]:
        where = frame.findtext("fn") or frame.findtext("obj") or "?"
        if frame.findtext("file"):
            where += f" ({frame.findtext('file')}:{frame.findtext('line')})"
        lines.append("    " + where)
    return "\n".join(lines)


def problems(xml_path):
    root = ElementTree.parse(xml_path).getroot()
    found = []
    for error in root.iter("error"):
        kind = error.findtext("kind")
        if kind.startswith("Leak_"):
            if kind == "Leak_DefinitelyLost" and any(map(ours, error.iter("frame"))):
                found.append(error)
        else:
            found.append(error)
    return found


def main():
    failed = False
    env = dict(os.environ, PYTHONMALLOC="malloc", DIFRAL_HARDENING_LIGHT="1")
    with tempfile.TemporaryDirectory() as folder:
        for suite in sys.argv[1:]:
            xml_path = pathlib.Path(folder) / "memcheck.xml"
            command = ["valgrind", "--tool=memcheck", "--leak-check=full",
                       "--show-leak-kinds=definite", "--errors-for-leak-kinds=definite",
                       "--num-callers=40",
                       "--xml=yes", f"--xml-file={xml_path}",
                       sys.executable, "-m", "unittest", "discover", "-s", suite, "-t", suite]
            print("$", " ".join(command), flush=True)
            run = subprocess.run(command, env=env)
            if run.returncode != 0:
                print(f"error: the tests in {suite} failed under valgrind", flush=True)
                failed = True
            found = problems(xml_path)
            for error in found:
                print(describe(error), flush=True)
            if found:
                print(f"error: memcheck found {len(found)} problems in {suite}")
                failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
