#!/usr/bin/env python3
"""Mutation testing of the frame (src/frame/): N seeded single-line mutants.

Each mutant changes one line of a frame source with a classic operator
(negated condition, swapped comparison or logical operator, swapped + and -,
constant off by one, swapped return value or truth literal, deleted
statement).  The build trees of `make test` are rebuilt incrementally and the
extension modules installed over the package in the virtual environment;
mutants that do not build are skipped and another one is drawn.  The frame's
own test files run first, one at a time, stopping at the first failure;
survivors then meet the rest of the suite the same way.

The mutated file is restored after every mutant, on errors and on Ctrl-C, and
the unmutated tree is rebuilt and installed again at the end.

    tools/mutate_frame.py --seed 7 -n 40 --venv .venv --build-dir build/.venv \\
        --probe-dir build/frame_probe/.venv
"""

import argparse
import os
import random
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FRAME = ROOT / "src" / "frame"
TESTS = ROOT / "tests"
FRAME_TESTS = ["test_frame.py", "test_mesqua_frame.py", "test_locked.py", "test_signatures.py"]

# Binary operators as clang-format writes them (spaced), and their swaps.
RELATIONAL = {" == ": " != ", " != ": " == ", " < ": " <= ", " <= ": " < ", " > ": " >= ", " >= ": " > "}
LOGICAL = {" && ": " || ", " || ": " && "}
ARITHMETIC = {" + ": " - ", " - ": " + "}
RETURNS = {"return 0;": "return -1;", "return -1;": "return 0;", "return true;": "return false;"}
RETURNS["return false;"] = "return true;"
# Lines not deleted: returns, labels, declarations, closing braces.
NOT_DELETED = re.compile(
    r"(return\b|case\b|default\b|using\b|namespace\b|typedef\b|\}|"
    r"(const |static |constexpr |thread_local )*[\w:]+(<[^;]*>)?[*&]* \**\w+(\[[^]]*\])?( = |\(|\{|;))"
)


class Mutant:
    def __init__(self, path, lineno, op, original, mutated):
        self.path, self.lineno, self.op = path, lineno, op
        self.original, self.mutated = original, mutated
        self.result = None

    @property
    def where(self):
        return f"{self.path.relative_to(ROOT / 'src')}:{self.lineno}"


def mask(line):
    """The line with string and character literals and the trailing comment
    blanked out (same length), so that operators are only found in code."""
    out, i, quote = [], 0, None
    while i < len(line):
        c = line[i]
        if quote:
            if c == "\\":
                out.append("__")
                i += 2
                continue
            out.append(c if c == quote else "_")
            quote = None if c == quote else quote
        elif c in "\"'":
            quote = c
            out.append(c)
        elif line.startswith("//", i):
            out.append(" " * (len(line) - i))
            break
        else:
            out.append(c)
        i += 1
    return "".join(out)[: len(line)]


def closing_paren(code, start):
    depth = 0
    for i in range(start, len(code)):
        if code[i] == "(":
            depth += 1
        elif code[i] == ")":
            depth -= 1
            if depth == 0:
                return i
    return -1


def line_mutants(line, code):
    """(operator, mutated line) for every mutation of one line of code."""
    stripped = code.strip()
    if not stripped or stripped.startswith(("#", "*", "/*")) or "static_assert" in code:
        return []
    found = []

    def swap_all(table, op):
        for old, new in table.items():
            for m in re.finditer(re.escape(old), code):
                found.append((op, line[: m.start()] + new + line[m.end() :]))

    for m in re.finditer(r"\b(if|while)\s*\(", code):
        end = closing_paren(code, m.end() - 1)
        if end > 0:
            cond = line[m.end() : end]
            found.append(("negate", line[: m.end()] + "!(" + cond + ")" + line[end:]))
    swap_all(RELATIONAL, "relational")
    swap_all(LOGICAL, "logical")
    swap_all(ARITHMETIC, "arithmetic")
    # Literals returned alone are the return operator's (0 and -1 swapped).
    for m in re.finditer(r"(?<![\w.])(?<!return )(?<!return -)(\d+)(?![\w.'])", code):
        n = int(m.group(1))
        for v in (n + 1, n - 1) if n > 0 else (n + 1,):
            found.append(("constant", line[: m.start()] + str(v) + line[m.end() :]))
    for old, new in RETURNS.items():
        i = code.find(old)
        if i >= 0:
            found.append(("return", line[:i] + new + line[i + len(old) :]))
    for m in re.finditer(r"(?<!return )\b(true|false)\b", code):
        new = "false" if m.group(1) == "true" else "true"
        found.append(("truth", line[: m.start()] + new + line[m.end() :]))
    if stripped.endswith(";") and not NOT_DELETED.match(stripped):
        indent = line[: len(line) - len(line.lstrip())]
        found.append(("delete", indent + "; // deleted\n"))
    return found


def all_mutants(paths):
    mutants = []
    for path in paths:
        in_block_comment = False
        for lineno, line in enumerate(path.read_text().splitlines(keepends=True), 1):
            code = mask(line)
            if in_block_comment:
                in_block_comment = "*/" not in code
                continue
            if code.lstrip().startswith("/*"):
                in_block_comment = "*/" not in code
                continue
            for op, mutated in line_mutants(line, code):
                if mutated != line:
                    mutants.append(Mutant(path, lineno, op, line, mutated))
    return mutants


class Runner:
    def __init__(self, args):
        self.args = args
        self.python = Path(args.venv).resolve() / "bin" / "python"
        self.cmake = Path(args.venv).resolve() / "bin" / "cmake"
        self.build_dir = Path(args.build_dir).resolve()
        self.probe_dir = Path(args.probe_dir).resolve()
        for p, what in [(self.python, "virtual environment"), (self.build_dir / "CMakeCache.txt", "build tree")]:
            if not p.exists():
                sys.exit(f"mutate_frame: no {what} at {p}; run `make test` first")
        if not (self.probe_dir / "CMakeCache.txt").exists():
            sys.exit(f"mutate_frame: no probe tree at {self.probe_dir}; run `make test` first")
        self.platlib = subprocess.run(
            [self.python, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])"],
            capture_output=True,
            text=True,
            check=True,
        ).stdout.strip()
        self.env = dict(os.environ, TALVORA_FRAME_PROBE_DIR=str(self.probe_dir))
        others = sorted(p.name for p in TESTS.glob("test_*.py") if p.name not in FRAME_TESTS)
        self.suite = others if args.suite is None else args.suite

    def build(self):
        """Rebuilds both trees and installs the modules; False when it does not build."""
        steps = [
            [self.cmake, "--build", self.build_dir],
            [self.cmake, "--build", self.probe_dir, "--target", "frame_probe"],
            [self.cmake, "--install", self.build_dir, "--prefix", self.platlib],
        ]
        for cmd in steps:
            if subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode != 0:
                return False
        return True

    def run_files(self, names):
        """None when the files pass, else the first failure: the test, or the
        file and how its process ended."""
        cmd = [self.python, "-X", "faulthandler", "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", *names]
        try:
            r = subprocess.run(cmd, cwd=TESTS, env=self.env, capture_output=True, text=True, timeout=self.args.timeout)
        except subprocess.TimeoutExpired:
            return f"{names[0] if len(names) == 1 else 'the suite'} (timeout)"
        label = names[0] if len(names) == 1 else "the suite"
        if r.returncode == 0:
            return None
        if r.returncode in (1, 2):
            failed = re.search(r"^(?:FAILED|ERROR) (\S+)", r.stdout, re.M)
            return failed.group(1) if failed else label
        # A crash (negative: the signal): the innermost test file of the fault's traceback.
        files = re.findall(r'File "[^"]*/tests/(test_\w+\.py)"', r.stderr)
        return f"{files[0] if files else label} (exit {r.returncode})"

    def first_failure(self, files, one_by_one):
        if not one_by_one:
            return self.run_files(files)
        for name in files:
            failure = self.run_files([name])
            if failure:
                return failure
        return None


ORIGINALS = {}  # path: text before the first mutant


def mutated_text(m):
    text = ORIGINALS.setdefault(m.path, m.path.read_text())
    lines = text.splitlines(keepends=True)
    assert lines[m.lineno - 1] == m.original
    lines[m.lineno - 1] = m.mutated
    return "".join(lines)


def restore(m):
    m.path.write_text(ORIGINALS[m.path])


def restore_on_signal(signum, frame):
    raise KeyboardInterrupt


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("-n", type=int, default=40, help="mutants that build")
    ap.add_argument("--venv", default=".venv")
    ap.add_argument("--build-dir", default="build/.venv")
    ap.add_argument("--probe-dir", default="build/frame_probe/.venv")
    ap.add_argument("--files", nargs="*", help="frame sources to mutate (default: src/frame/*.cpp)")
    ap.add_argument("--headers", action="store_true", help="mutate the headers too (each rebuilds every module)")
    ap.add_argument(
        "--suite", nargs="*", help="test files for survivors (default: every other tests/test_*.py; none when empty)"
    )
    ap.add_argument("--timeout", type=int, default=900, help="seconds per test file")
    ap.add_argument("--list", action="store_true", help="print the drawn mutants without running them")
    ap.add_argument("--match", help="only candidates whose 'file:line operator line' matches this regex")
    ap.add_argument("--output", default="build/mutate-frame.md", help="the table, also written here")
    args = ap.parse_args()

    if args.files:
        paths = [Path(f).resolve() for f in args.files]
    else:
        paths = sorted(FRAME.glob("*.cpp")) + (sorted(FRAME.glob("*.hpp")) if args.headers else [])
    candidates = all_mutants(paths)
    random.Random(args.seed).shuffle(candidates)
    if args.match:
        candidates = [m for m in candidates if re.search(args.match, f"{m.where} {m.op} {m.mutated.strip()}")]
    if args.list:
        for m in candidates[: args.n]:
            print(f"{m.where:24} {m.op:10} {shown(m)}")
        return 0

    signal.signal(signal.SIGTERM, restore_on_signal)
    try:
        return run(args, paths, candidates)
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return 130


def run(args, paths, candidates):
    runner = Runner(args)
    print(f"mutate-frame: seed {args.seed}, {len(candidates)} candidates in {len(paths)} files", flush=True)
    if not runner.build():
        sys.exit("mutate_frame: the unmutated tree does not build")
    baseline = runner.first_failure(FRAME_TESTS, True)
    if baseline:
        sys.exit(f"mutate_frame: the frame's tests fail without a mutant ({baseline})")

    done, skipped = [], []
    start = time.monotonic()
    pending = None
    try:
        for m in candidates:
            if len(done) >= args.n:
                break
            pending = m
            m.path.write_text(mutated_text(m))
            try:
                if not runner.build():
                    skipped.append(m)
                    continue
                killer = runner.first_failure(FRAME_TESTS, True)
                suite = None if killer or not runner.suite else runner.first_failure(runner.suite, False)
                m.result = ("frame", killer) if killer else ("suite", suite)
            finally:
                restore(m)
                pending = None
            done.append(m)
            print(f"[{len(done)}/{args.n}] {row(m)}", flush=True)
    except KeyboardInterrupt:
        print("interrupted; restoring", file=sys.stderr)
    finally:
        if pending:
            restore(pending)
        runner.build()
    table = report(done, skipped, args, time.monotonic() - start)
    print(table)
    if args.output:
        out = ROOT / args.output
        out.parent.mkdir(parents=True, exist_ok=True)
        out.write_text(table)
    return 0


def shown(m):
    return f"deleted: {m.original.strip()}" if m.op == "delete" else m.mutated.strip()


def row(m):
    stage, failure = m.result
    if failure is None:
        verdict = "survived"
    else:
        verdict = failure if stage == "frame" else f"{failure} (suite only)"
    return f"| {m.where} | {m.op} | `{shown(m)}` | {verdict} |"


def report(done, skipped, args, seconds):
    n = len(done)
    by_frame = sum(1 for m in done if m.result[0] == "frame")
    by_suite = by_frame + sum(1 for m in done if m.result[0] == "suite" and m.result[1])
    pct = lambda k: f"{100.0 * k / n:.0f} %" if n else "-"  # noqa: E731
    lines = [
        f"mutate-frame: seed {args.seed}, {n} mutants ({len(skipped)} more drawn did not build), "
        f"{seconds / 60:.1f} minutes",
        "",
        "| where | operator | mutated line | killed by |",
        "|---|---|---|---|",
    ]
    lines += [row(m) for m in done]
    lines += [
        "",
        f"frame's tests: {by_frame} of {n} killed ({pct(by_frame)}); "
        f"whole suite: {by_suite} of {n} killed ({pct(by_suite)})",
    ]
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    sys.exit(main())
