"""Instructions per call under valgrind's callgrind, which are repeatable.

Every case runs N and 2N times inside sys.call_tracing (a C function used by
nothing else), with collection toggled on around it and the counters dumped
after it; per-call instructions are (I(2N) - I(N)) / N minus the same figure
for the empty loop.  Usage: python bench/callgrind.py [--n N] [--json PATH]."""

import argparse
import glob
import json
import math
import os
import platform
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import cases  # noqa: E402
import harness  # noqa: E402

TARGET = 1.3


def all_cases():
    """(key, stmt, ns builder) for the worker, plus table rows for the report."""
    out = [("empty", "pass", dict)]
    rows = []
    for case in cases.FRAME:
        m = cases.native(case["mod"])
        if m is None:
            rows.append({"id": case["id"], "skipped": cases.missing()[case["mod"]]})
            continue
        out.append((case["id"], case["stmt"], lambda s=case, m=m: s["ns"](m)))
        out.append(("floor:" + case["id"], case["floor"], case["floor_ns"]))
        rows.append(
            {"id": case["id"], "floor": case["floor_label"], "extra": case.get("extra"), "note": case.get("note")}
        )
    for key, stmt, ns in cases.gil_cases():
        out.append((key, stmt, lambda ns=ns: ns))
    pure_rows = []
    for case in cases.PURE:
        if case["kind"] != "arith":
            continue
        m = cases.native(case["mod"])
        if m is None:
            continue
        ref = cases.pyref(case["mod"])
        out.append(("native:" + case["id"], case["stmt"], lambda s=case, m=m: s["ns"](m)))
        out.append(("python:" + case["id"], case["stmt"], lambda s=case, r=ref: s["ns"](r)))
        pure_rows.append({"id": case["id"], "mod": case["mod"]})
    peer_rows = []
    cy, why = cases.peer()
    for case in cases.PEER:
        m = cases.native(case["mod"])
        if m is None or cy is None:
            peer_rows.append(
                {"id": case["id"], "call": case["call"], "skipped": why if cy is None else cases.missing()[case["mod"]]}
            )
            continue
        out.append(("talvora:" + case["id"], case["stmt"], lambda s=case, m=m: s["ns"](m)))
        out.append(("cython:" + case["id"], case.get("peer_stmt", case["stmt"]), lambda s=case: s["peer_ns"](cy)))
        peer_rows.append({"id": case["id"], "call": case["call"]})
    return out, rows, pure_rows, peer_rows


def worker(order_path, n):
    todo = all_cases()[0]
    order = []
    for key, stmt, ns in todo:
        loop = harness.make_loop(stmt, ns())
        loop(200)  # warm-up, not collected
        sys.call_tracing(loop, (n,))
        sys.call_tracing(loop, (2 * n,))
        order.append(key)
    with open(order_path, "w") as f:
        json.dump(order, f)


def _totals(path):
    with open(path) as f:
        for line in f:
            if line.startswith("totals:"):
                return int(line.split()[1])
    raise RuntimeError("no totals in " + path)


def run(n, keep=None):
    if not shutil.which("valgrind"):
        raise SystemExit("valgrind is not installed")
    tmp = keep or tempfile.mkdtemp(prefix="talvora-cg-")
    os.makedirs(tmp, exist_ok=True)
    for old in glob.glob(os.path.join(tmp, "cg.out*")):
        os.remove(old)
    order_path = os.path.join(tmp, "order.json")
    env = dict(os.environ, PYTHONHASHSEED="0")
    cmd = [
        "valgrind",
        "--tool=callgrind",
        "--collect-atstart=no",
        "--toggle-collect=sys_call_tracing",
        "--dump-after=sys_call_tracing",
        "--callgrind-out-file=" + os.path.join(tmp, "cg.out"),
        sys.executable,
        os.path.abspath(__file__),
        "--worker",
        order_path,
        "--n",
        str(n),
    ]
    proc = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    if proc.returncode != 0:
        sys.stderr.write(proc.stderr[-4000:])
        raise SystemExit("callgrind run failed")
    with open(order_path) as f:
        order = json.load(f)
    dumps = sorted(glob.glob(os.path.join(tmp, "cg.out.*")), key=lambda p: int(p.rsplit(".", 1)[1]))
    if len(dumps) != 2 * len(order):
        raise SystemExit("expected %d dumps, found %d" % (2 * len(order), len(dumps)))
    per_call = {}
    for i, key in enumerate(order):
        per_call[key] = (_totals(dumps[2 * i + 1]) - _totals(dumps[2 * i])) / n
    if not keep:
        shutil.rmtree(tmp, ignore_errors=True)
    empty = per_call.pop("empty")
    return {k: v - empty for k, v in per_call.items()}, empty


def report_peer(per_call, peer_rows):
    """Talvora against the Cython peer, shape by shape, with the geometric mean."""
    out = ["## 10. Talvora against Cython 3 (instructions per call; the same call shapes, bench/peer/cypeer.pyx)", ""]
    out.append("| shape | talvora call | talvora instr | Cython instr | ratio | target %.2f |" % cases.PEER_TARGET)
    out.append("|---|---|---:|---:|---:|---|")
    logs = []
    for r in peer_rows:
        if "skipped" in r:
            out.append("| %s | %s | skipped (%s) | | | |" % (r["id"], r["call"], r["skipped"]))
            continue
        a, c = per_call["talvora:" + r["id"]], per_call["cython:" + r["id"]]
        ratio = a / c if c > 0 else None
        r.update(talvora_instr=a, cython_instr=c, ratio=ratio)
        if ratio:
            logs.append(math.log(ratio))
        verdict = "met" if ratio is not None and ratio <= cases.PEER_TARGET else "MISSED"
        out.append(
            "| %s | %s | %.0f | %.0f | %s | %s |" % (r["id"], r["call"], a, c, harness.fmt_ratio(ratio), verdict)
        )
    if logs:
        mean = math.exp(sum(logs) / len(logs))
        out.append(
            "| geometric mean | | | | %.2f | %s |"
            % (mean, "met" if mean <= cases.PEER_MEAN_TARGET else "MISSED (target %.2f)" % cases.PEER_MEAN_TARGET)
        )
    out.append("")
    return out


def report(per_call, empty, rows, pure_rows, n):
    out = [
        "# Instructions per call (callgrind, Python %s, N=%d; empty loop %.1f instructions subtracted)"
        % (platform.python_version(), n, empty),
        "",
    ]
    out.append("## 8. Call cost of the frame against the floor (instructions per call)")
    out.append("")
    out.append("| call | instr | floor | floor instr | ratio | target 1.3 |")
    out.append("|---|---:|---|---:|---:|---|")
    gil = max(per_call["gil.release"] - per_call["gil.hold"], 0.0)
    for r in rows:
        if "skipped" in r:
            out.append("| %s | skipped (%s) | | | | |" % (r["id"], r["skipped"]))
            continue
        a, f = per_call[r["id"]], per_call["floor:" + r["id"]]
        r.update(instr=a, floor_instr=f, ratio=a / f if f else None)
        if r["extra"]:
            if "gil" in r["extra"]:
                rest = a - gil
                r["instr_without_gil"] = rest
                r["ratio_without_gil"] = rest / f
                verdict = "extra: %s; GIL share %.0f, rest %.0f = %.2fx floor" % (r["extra"], gil, rest, rest / f)
            else:
                verdict = "extra: " + r["extra"]
        else:
            verdict = "met" if r["ratio"] <= TARGET else "MISSED"
        note = (" (" + r["note"] + ")") if r.get("note") else ""
        out.append(
            "| %s%s | %.0f | %s | %.0f | %s | %s |"
            % (r["id"], note, a, r["floor"], f, harness.fmt_ratio(r["ratio"]), verdict)
        )
    out.append("")
    out.append("Releasing and re-taking the interpreter lock: %.0f instructions (ctypes CDLL minus PyDLL call)." % gil)
    out.append("")
    if pure_rows:
        out.append("## 9. Stateless arithmetic and bit functions against pure Python (instructions per call)")
        out.append("")
        out.append("| module | call | native instr | Python instr | ratio | target 5 |")
        out.append("|---|---|---:|---:|---:|---|")
        for r in pure_rows:
            a, b = per_call["native:" + r["id"]], per_call["python:" + r["id"]]
            r.update(native_instr=a, python_instr=b, ratio=b / a if a else None)
            out.append(
                "| %s | %s | %.0f | %.0f | %s | %s |"
                % (r["mod"], r["id"], a, b, harness.fmt_ratio(r["ratio"]), "met" if r["ratio"] >= 5 else "MISSED")
            )
        out.append("")
    missing = cases.missing()
    if missing:
        out.append("Modules skipped: " + ", ".join("%s (%s)" % kv for kv in sorted(missing.items())))
    return out


def main(argv=None):
    ap = argparse.ArgumentParser()
    ap.add_argument("--worker")
    ap.add_argument("--n", type=int, default=2000)
    ap.add_argument("--keep", help="keep the callgrind dumps in this directory")
    ap.add_argument("--json", default=os.path.join("build", "bench", "callgrind.json"))
    ap.add_argument("--markdown", default=os.path.join("build", "bench", "callgrind.md"))
    args = ap.parse_args(argv)
    if args.worker:
        worker(args.worker, args.n)
        return
    cases.peer()  # built here, outside valgrind
    per_call, empty = run(args.n, args.keep)
    _todo, rows, pure_rows, peer_rows = all_cases()
    out = report(per_call, empty, rows, pure_rows, args.n)
    out.extend(report_peer(per_call, peer_rows))
    print("\n".join(out))
    data = {
        "python": platform.python_version(),
        "n": args.n,
        "empty_loop": empty,
        "per_call": per_call,
        "frame": rows,
        "pure": pure_rows,
        "cython": peer_rows,
        "skipped_modules": cases.missing(),
    }
    for path, text in ((args.json, json.dumps(data, indent=1)), (args.markdown, "\n".join(out) + "\n")):
        os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
    print("figures written to", args.json, "and", args.markdown)


if __name__ == "__main__":
    main()
