"""`talvora analyze` over the interpreter's standard library against the floor:
reading and parsing the same files with `ast` in one process.

Every output mode (the default summary view, --files, --json, --jsonl) is timed
with --jobs 1 (one process) and with --jobs 2, in the same rounds as the floor.
Targets: at most 1.5 times the floor in one process, at most 1.0 times with two.

Usage: python bench/analyze_bench.py [--quick] [--rounds N] [--jobs N] [--json PATH] [PATH]
"""

import argparse
import ast
import io
import json
import os
import platform
import sys
import sysconfig
import time

from talvora.cli import main as run_cli
from talvora.cli.discovery import collect_files
from talvora.cli.reading import AnalysisError, NotRegularFile, read_source

TARGET_ONE = 1.5
TARGET_MANY = 1.0
MODES = (("summary", []), ("--files", ["--files"]), ("--json", ["--json"]), ("--jsonl", ["--jsonl"]))


class Discard(io.TextIOBase):
    """A text sink that counts what it is given."""

    def __init__(self):
        self.chars = 0

    def write(self, text):
        self.chars += len(text)
        return len(text)


def stdlib_files(root):
    """The Python files under `root`, less the third-party packages installed in its site-packages."""
    items = collect_files([root], Discard(), ["site-packages/"])
    return [path for path, err in items if err is None]


def parse_floor(files):
    """Seconds to read (honouring encoding declarations) and parse every file; the files that parse."""
    start = time.perf_counter()
    parsed = 0
    for path in files:
        try:
            source = read_source(path)
            ast.parse(source, filename=path)
            parsed += 1
        except (AnalysisError, NotRegularFile, SyntaxError, ValueError, RecursionError, MemoryError):
            pass
    return time.perf_counter() - start, parsed


def analyze(files, options, jobs):
    """Seconds of the command line over the files (output discarded), and of CPU in this process."""
    out = Discard()
    argv = ["analyze", "--no-default-excludes", "--jobs", str(jobs)] + options + files
    cpu = time.process_time()
    start = time.perf_counter()
    run_cli(argv, stdout=out, stderr=Discard())
    return time.perf_counter() - start, time.process_time() - cpu


def timed_floor(files):
    cpu = time.process_time()
    seconds, parsed = parse_floor(files)
    return seconds, time.process_time() - cpu, parsed


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("path", nargs="?", default=sysconfig.get_paths()["stdlib"])
    p.add_argument("--quick", action="store_true", help="one round over the first 300 files")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--jobs", type=int, default=2, help="the jobs of the parallel runs (default: 2)")
    p.add_argument("--json", default=os.path.join("build", "bench", "analyze.json"))
    args = p.parse_args()
    files = stdlib_files(args.path)
    rounds = args.rounds
    if args.quick:
        files, rounds = files[:300], 1
    size = sum(os.path.getsize(f) for f in files)
    runs = [(name, options, jobs) for jobs in (1, args.jobs) for name, options in MODES]
    best = {}
    parsed = 0
    cpu = {}
    for _ in range(rounds):  # every candidate once per round, so that they share the machine's moods
        seconds, used, parsed = timed_floor(files)
        best["floor"] = min(best.get("floor", seconds), seconds)
        cpu["floor"] = min(cpu.get("floor", used), used)
        for name, options, jobs in runs:
            seconds, used = analyze(files, options, jobs)
            key = "%s/%d" % (name, jobs)
            best[key] = min(best.get(key, seconds), seconds)
            cpu[key] = min(cpu.get(key, used), used)
    floor = best["floor"]
    result = {
        "python": platform.python_version(),
        "path": args.path,
        "files": len(files),
        "parsed": parsed,
        "bytes": size,
        "rounds": rounds,
        "cpus": len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count(),
        "load_average": os.getloadavg()[0] if hasattr(os, "getloadavg") else None,
        "floor_s": floor,
        "floor_cpu_s": cpu["floor"],
        "runs": [],
        "targets": {"one_process": TARGET_ONE, "parallel": TARGET_MANY},
    }
    print("## 7. talvora analyze against reading and parsing the same files (seconds, best of rounds)")
    print("")
    print(
        "analyze over %s: %d files (%d parse), %.1f MB, best of %d"
        % (args.path, len(files), parsed, size / 1e6, rounds)
    )
    print("  %-34s %8.2f s" % ("read + ast.parse (floor)", floor))
    met = True
    for name, _options, jobs in runs:
        seconds = best["%s/%d" % (name, jobs)]
        target = TARGET_ONE if jobs == 1 else TARGET_MANY
        ratio = seconds / floor
        met = met and ratio <= target
        used = cpu["%s/%d" % (name, jobs)]
        result["runs"].append(
            {"mode": name, "jobs": jobs, "seconds": seconds, "ratio": ratio, "target": target, "cpu_s": used}
        )
        label = "analyze %s --jobs %d" % (name, jobs)
        # In one process, CPU time says how the run would fare on an idle machine.
        note = "  (CPU %.2f x)" % (used / cpu["floor"]) if jobs == 1 else ""
        verdict = "met" if ratio <= target else "MISSED (target %.1f)" % target
        print(("  %-34s %8.2f s  %.2f x floor  %-22s%s" % (label, seconds, ratio, verdict, note)).rstrip())
    os.makedirs(os.path.dirname(args.json) or ".", exist_ok=True)
    with open(args.json, "w") as handle:
        json.dump(result, handle, indent=2)
    print("  every target met" if met else "  a target MISSED")
    return 0


if __name__ == "__main__":
    sys.exit(main())
