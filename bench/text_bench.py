"""Text scoring on real source files (the standard library's own modules)."""

import os
import time

import cases

_FILES = [
    "argparse.py",
    "typing.py",
    "inspect.py",
    "difflib.py",
    "pathlib.py",
    "subprocess.py",
    "threading.py",
    "collections/__init__.py",
    "json/decoder.py",
    "dataclasses.py",
    "functools.py",
    "statistics.py",
    "fractions.py",
    "logging/__init__.py",
    "unittest/case.py",
    "asyncio/base_events.py",
    "email/message.py",
    "http/client.py",
    "tarfile.py",
    "_pydecimal.py",
]


def load_sources():
    root = os.path.dirname(os.__file__)
    out = []
    for rel in _FILES:
        path = os.path.join(root, rel)
        if os.path.exists(path):
            with open(path, encoding="utf-8") as f:
                out.append((os.path.splitext(os.path.basename(rel))[0], f.read()))
    return out


def _pass_time(fn, sources, rounds):
    best = None
    for _ in range(rounds):
        t0 = time.perf_counter()
        for name, code in sources:
            fn(code, name)
        dt = time.perf_counter() - t0
        best = dt if best is None else min(best, dt)
    return best


def figure_text(quick=False):
    sources = load_sources()
    nbytes = sum(len(code.encode("utf-8")) for _n, code in sources)
    m = cases.native("kelmarch")
    ref = cases.pyref("kelmarch")
    result = {"files": len(sources), "bytes": nbytes, "rows": [], "skipped": None}
    if m is None:
        result["skipped"] = cases.missing().get("kelmarch")
        return result
    rounds = 2 if quick else 5
    funcs = [
        ("score_indicators", lambda f: lambda code, name: f.score_indicators(code, name)),
        ("score_framework_patterns", lambda f: lambda code, name: f.score_framework_patterns(code)),
        ("quick_framework_score numpy", lambda f: lambda code, name: f.quick_framework_score(code, "numpy")),
    ]
    for label, make in funcs:
        nat, py = make(m), make(ref)
        same = all(nat(code, name) == py(code, name) for name, code in sources)
        tn = _pass_time(nat, sources, rounds)
        tp = _pass_time(py, sources, rounds)
        result["rows"].append(
            {
                "function": label,
                "native_mb_s": nbytes / tn / 1e6,
                "python_mb_s": nbytes / tp / 1e6,
                "speedup": tp / tn,
                "same_result": same,
            }
        )
    return result


def print_text(fig, out):
    out.append(
        "## 5. Text scoring on %d standard-library modules (%.2f MB), MB per second"
        % (fig["files"], fig["bytes"] / 1e6)
    )
    out.append("")
    if fig["skipped"]:
        out.append("skipped: " + fig["skipped"])
        out.append("")
        return
    out.append("| function | native MB/s | pure Python MB/s | speed-up |")
    out.append("|---|---:|---:|---:|")
    for r in fig["rows"]:
        flag = "" if r["same_result"] else " (RESULTS DIFFER)"
        out.append(
            "| %s | %.1f | %.1f | %.2f%s |" % (r["function"], r["native_mb_s"], r["python_mb_s"], r["speedup"], flag)
        )
    out.append("")
