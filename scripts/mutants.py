#!/usr/bin/env python3
"""Mutation testing: how many small seeded faults in the program's own source
does the test suite catch?

Each mutant changes one place of one source file (a flipped comparison, == and
!=, && and ||, true and false, an off-by-one, a dropped negation), rebuilds the
build tree incrementally and runs ctest. A mutant is killed when a test fails,
survives when all pass, and does not count when it does not compile. The
sites are drawn from a seeded random order, so the same seed on the same
program source gives the same mutants, whatever the tests look like.

    scripts/mutants.py --count 60 --seed 1 [--build build-mutants]

The source file is always restored, also when the run is interrupted.
"""

import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE_FOLDERS = ("controller", "model", "json", "view", "service")

# (name, pattern, replacement); patterns only match outside strings and
# comments (see code_part).
OPERATORS = [
    ("== to !=", re.compile(r"(?<=[\s)\w\]])==(?=[\s(\w!-])"), "!="),
    ("!= to ==", re.compile(r"(?<=[\s)\w\]])!=(?=[\s(\w!-])"), "=="),
    ("< to <=", re.compile(r"(?<=\s)<(?=\s)"), "<="),
    ("<= to <", re.compile(r"(?<=\s)<=(?=\s)"), "<"),
    ("> to >=", re.compile(r"(?<=\s)>(?=\s)"), ">="),
    (">= to >", re.compile(r"(?<=\s)>=(?=\s)"), ">"),
    ("&& to ||", re.compile(r"(?<=\s)&&(?=\s)"), "||"),
    ("|| to &&", re.compile(r"(?<=\s)\|\|(?=\s)"), "&&"),
    ("true to false", re.compile(r"\btrue\b"), "false"),
    ("false to true", re.compile(r"\bfalse\b"), "true"),
    ("+ 1 to - 1", re.compile(r"(?<=\s)\+ 1\b"), "- 1"),
    ("- 1 to + 1", re.compile(r"(?<=\s)- 1\b"), "+ 1"),
    ("off by one", re.compile(r"(?<![\w.])([1-9]\d{0,3})(?![\w.])"), None),
    ("dropped negation", re.compile(r"(?<=[\s(])!(?=[\w(*])"), ""),
]


# The start of a C++ raw string literal, R"delimiter( ...: what follows up to
# )delimiter" is text (page scripts, SQL), never mutated.
RAW_STRING = re.compile(r'\bR"([^(\s]{0,16})\(')


def code_part(line):
    """The line with string and character literals and a trailing // comment
    blanked out, so that matches inside them are never mutated."""
    out = []
    quote = None
    i = 0
    while i < len(line):
        c = line[i]
        if quote:
            if c == "\\":
                out.append("  ")
                i += 2
                continue
            out.append(" " if c != quote else c)
            if c == quote:
                quote = None
        elif c in "\"'":
            quote = c
            out.append(c)
        elif line.startswith("//", i):
            break
        else:
            out.append(c)
        i += 1
    return "".join(out).ljust(len(line))


def sites():
    files = subprocess.run(["git", "ls-files", *SOURCE_FOLDERS], cwd=ROOT, check=True,
                           capture_output=True, text=True).stdout.split()
    found = []
    for path in sorted(f for f in files if f.endswith(".cpp")):
        with open(os.path.join(ROOT, path), encoding="utf-8") as handle:
            lines = handle.read().split("\n")
        in_block = False
        raw_end = None  # the end of a raw string literal open since an earlier line
        for number, line in enumerate(lines):
            stripped = line.strip()
            rest = line
            was_raw = raw_end is not None
            while True:
                if raw_end:
                    if raw_end not in rest:
                        break
                    rest = rest[rest.index(raw_end) + len(raw_end):]
                    raw_end = None
                opened = RAW_STRING.search(rest)
                if not opened:
                    break
                raw_end = ")" + opened.group(1) + '"'
                rest = rest[opened.end():]
            if was_raw or raw_end:
                continue
            if in_block:
                in_block = "*/" not in stripped
                continue
            if stripped.startswith("/*"):
                in_block = "*/" not in stripped
                continue
            if (not stripped or stripped.startswith(("//", "#", "Q_", "static_assert"))
                    or "qDebug" in line or "qWarning" in line):
                continue
            code = code_part(line)
            for name, pattern, _ in OPERATORS:
                for match in pattern.finditer(code):
                    found.append((path, number, match.start(), match.end(), name))
    return found


def mutate(line, start, end, name):
    replacement = next(r for n, _, r in OPERATORS if n == name)
    if replacement is None:
        replacement = str(int(line[start:end]) + 1)
    return line[:start] + replacement + line[end:]


def run(command, timeout):
    try:
        return subprocess.run(command, cwd=ROOT, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return -1


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", type=int, default=60, help="mutants that compile (default 60)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--build", default="build-mutants", help="build folder (configured when missing)")
    parser.add_argument("--timeout", type=int, default=300, help="seconds for one ctest run")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    args = parser.parse_args()

    build = os.path.join(ROOT, args.build)
    if not os.path.exists(os.path.join(build, "build.ninja")):
        launcher = ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"] if shutil.which("ccache") else []
        subprocess.run(["cmake", "-S", ROOT, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                        "-DKESTREL_BUILD_BENCHMARKS=OFF", *launcher], check=True)
    if run(["cmake", "--build", build, "-j", str(args.jobs)], None) != 0:
        sys.exit("the unmutated tree does not build")
    if run(["ctest", "--test-dir", build, "-j", str(args.jobs), "--timeout", str(args.timeout)], None) != 0:
        sys.exit("the unmutated tree does not pass its tests")

    candidates = sites()
    random.Random(args.seed).shuffle(candidates)
    killed, survived, broken = [], [], 0
    started = time.time()
    for path, number, start, end, name in candidates:
        if len(killed) + len(survived) >= args.count:
            break
        full = os.path.join(ROOT, path)
        with open(full, encoding="utf-8") as handle:
            original = handle.read()
        lines = original.split("\n")
        before = lines[number]
        lines[number] = mutate(before, start, end, name)
        label = f"{path}:{number + 1} {name}: {before.strip()}"
        try:
            with open(full, "w", encoding="utf-8") as handle:
                handle.write("\n".join(lines))
            if run(["cmake", "--build", build, "-j", str(args.jobs)], None) != 0:
                broken += 1
                continue
            failed = run(["ctest", "--test-dir", build, "-j", str(args.jobs), "--timeout",
                          str(args.timeout), "--stop-on-failure"], args.timeout * 4)
            (killed if failed else survived).append(label)
            print(("killed   " if failed else "SURVIVED ") + label, flush=True)
        finally:
            with open(full, "w", encoding="utf-8") as handle:
                handle.write(original)
    run(["cmake", "--build", build, "-j", str(args.jobs)], None)

    total = len(killed) + len(survived)
    print(f"\nseed {args.seed}: {total} mutants compiled ({broken} did not), {len(killed)} killed, "
          f"{len(survived)} survived; killed share {100.0 * len(killed) / max(total, 1):.1f} % "
          f"in {time.time() - started:.0f} s")
    for label in survived:
        print("  survived: " + label)


if __name__ == "__main__":
    main()
