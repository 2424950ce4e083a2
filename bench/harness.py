"""Side-by-side timing: every candidate of a group is measured in the same
rounds, interleaved, so that the ratios stay stable on a noisy machine."""

import gc
import itertools
import statistics
import time

_perf = time.perf_counter_ns


def make_loop(stmt, ns):
    """A function `loop(n)` running `stmt` n times with the names of `ns` as
    fast locals (bound through default arguments)."""
    names = sorted(ns)
    params = "".join(", %s=_ns[%r]" % (k, k) for k in names)
    src = "def _loop(_n, _repeat=_repeat%s):\n    for _ in _repeat(None, _n):\n        %s\n" % (params, stmt)
    g = {"_ns": ns, "_repeat": itertools.repeat}
    exec(compile(src, "<bench %s>" % stmt, "exec"), g)
    return g["_loop"]


class Case:
    """One measured statement.  `ns` is a dict or a zero-argument callable
    building it (so that native objects are created only when measured)."""

    def __init__(self, key, stmt, ns=None, label=None):
        self.key = key
        self.stmt = stmt
        self._ns = ns if ns is not None else {}
        self.label = label or stmt

    def loop(self):
        ns = self._ns() if callable(self._ns) else self._ns
        return make_loop(self.stmt, ns)


def _calibrate(loop, target_ns):
    n = 16
    while True:
        t0 = _perf()
        loop(n)
        dt = _perf() - t0
        if dt >= target_ns // 4 or n >= 1 << 24:
            return max(16, int(n * target_ns / max(dt, 1)))
        n *= 4


def measure(cases, rounds=15, target_ns=2_000_000):
    """Per-call nanoseconds of each case, minus the empty loop: a dict key ->
    {"min": .., "median": .., "n": ..}."""
    loops = [(c.key, c.loop()) for c in cases]
    empty = make_loop("pass", {})
    for _key, loop in loops:
        loop(64)  # warm-up
    counts = [_calibrate(loop, target_ns) for _key, loop in loops]
    n_empty = _calibrate(empty, target_ns)
    samples = {key: [] for key, _ in loops}
    empties = []
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        for r in range(rounds):
            t0 = _perf()
            empty(n_empty)
            empties.append((_perf() - t0) / n_empty)
            order = list(range(len(loops)))
            k = r % len(order)
            order = order[k:] + order[:k]
            for i in order:
                key, loop = loops[i]
                t0 = _perf()
                loop(counts[i])
                samples[key].append((_perf() - t0) / counts[i])
    finally:
        if was_enabled:
            gc.enable()
    base = min(empties)
    out = {}
    for (key, _loop), n in zip(loops, counts):
        s = [max(x - base, 0.0) for x in samples[key]]
        out[key] = {"min": min(s), "median": statistics.median(s), "n": n}
    return out


def time_block(fn, rounds=5):
    """Wall-clock nanoseconds of fn() (which may prepare state and return a
    callable to time): min and median over rounds."""
    res = []
    for _ in range(rounds):
        run = fn()
        gc.collect()
        was = gc.isenabled()
        gc.disable()
        try:
            t0 = _perf()
            run()
            res.append(_perf() - t0)
        finally:
            if was:
                gc.enable()
    return {"min": min(res), "median": statistics.median(res)}


def fmt_ratio(x):
    if x is None:
        return "-"
    return "%.2f" % x if x < 100 else "%.0f" % x
