"""`talvora analyze` over the interpreter's standard library against the floor:
reading and parsing the same files with `ast`.  Target: at most 3 times the floor.

Usage: python bench/analyze_bench.py [--quick] [--rounds N] [--json PATH] [PATH]
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

TARGET = 3.0


class Discard(io.TextIOBase):
    """A text sink that counts what it is given."""

    def __init__(self):
        self.chars = 0

    def write(self, text):
        self.chars += len(text)
        return len(text)


def stdlib_files(root):
    items = collect_files([root], Discard())
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


def analyze(files, fmt):
    """Seconds of the command line over the files (output discarded); its functions."""
    out = Discard()
    argv = ["analyze", "--no-default-excludes"] + (["--%s" % fmt] if fmt else []) + files
    start = time.perf_counter()
    run_cli(argv, stdout=out, stderr=Discard())
    return time.perf_counter() - start, out.chars


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("path", nargs="?", default=sysconfig.get_paths()["stdlib"])
    p.add_argument("--quick", action="store_true", help="one round over the first 300 files")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--json", default=os.path.join("build", "bench", "analyze.json"))
    args = p.parse_args()
    files = stdlib_files(args.path)
    rounds = args.rounds
    if args.quick:
        files, rounds = files[:300], 1
    size = sum(os.path.getsize(f) for f in files)
    floor, parsed = min(parse_floor(files) for _ in range(rounds))
    table = min(analyze(files, None)[0] for _ in range(rounds))
    jsonl = min(analyze(files, "jsonl")[0] for _ in range(rounds))
    result = {
        "python": platform.python_version(),
        "path": args.path,
        "files": len(files),
        "parsed": parsed,
        "bytes": size,
        "rounds": rounds,
        "floor_s": floor,
        "analyze_table_s": table,
        "analyze_jsonl_s": jsonl,
        "ratio_table": table / floor,
        "ratio_jsonl": jsonl / floor,
        "target": TARGET,
    }
    print("analyze over %s: %d files (%d parse), %.1f MB, best of %d" % (args.path, len(files), parsed,
                                                                       size / 1e6, rounds))
    print("  %-34s %8.2f s" % ("read + ast.parse (floor)", floor))
    for label, key in (("talvora analyze (table)", "table"), ("talvora analyze --jsonl", "jsonl")):
        ratio = result["ratio_" + key]
        print("  %-34s %8.2f s  %.2f x floor  %s" % (label, result["analyze_%s_s" % key], ratio,
                                                    "met" if ratio <= TARGET else "MISSED (target %.0f)" % TARGET))
    os.makedirs(os.path.dirname(args.json) or ".", exist_ok=True)
    with open(args.json, "w") as handle:
        json.dump(result, handle, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
