"""Suite-wide hooks.

With TALVORA_REFLEAKS=1 on a debug interpreter (one with sys.gettotalrefcount),
every plain test function runs several times and fails when the interpreter's
total reference count grows on every measured run, the way CPython's own
regression test option -R hunts leaks.
"""

import gc
import os
import sys

import pytest

# The frame's test-only extension module, built by the Makefile's test targets
# outside the package (TALVORA_FRAME_PROBE_DIR names the directory).
_PROBE_DIR = os.environ.get("TALVORA_FRAME_PROBE_DIR")
if _PROBE_DIR:
    sys.path.insert(0, _PROBE_DIR)

REFLEAKS = os.environ.get("TALVORA_REFLEAKS") == "1" and hasattr(sys, "gettotalrefcount")
WARMUPS = int(os.environ.get("TALVORA_REFLEAK_WARMUPS", "2"))
RUNS = int(os.environ.get("TALVORA_REFLEAK_RUNS", "3"))


def pytest_configure(config):
    config.addinivalue_line("markers", "no_refleak: run once, outside the reference-leak repetition")


def pytest_collection_finish(session):
    if REFLEAKS:
        # Long-lived objects go to the permanent generation, so that the many
        # full collections of the leak check stay cheap.
        gc.collect()
        gc.freeze()


def _reset_fixtures(funcargs, item=None):
    # Fixtures that keep per-call state would look like leaks when repeated.
    if item is not None:
        del item.user_properties[:]
        plugin = item.config.pluginmanager.get_plugin("logging-plugin")
        for name in ("caplog_handler", "report_handler"):
            handler = getattr(plugin, name, None)
            if handler is not None:
                handler.reset()
    mp = funcargs.get("monkeypatch")
    if mp is not None:
        mp.undo()
    for name in ("caplog",):
        fx = funcargs.get(name)
        if fx is not None:
            fx.clear()
    rec = funcargs.get("recwarn")
    if rec is not None:
        rec.clear()


def _run_counts(func, args, funcargs, item=None):
    deltas = []
    for _ in range(WARMUPS + RUNS):
        _reset_fixtures(funcargs, item)
        gc.collect()
        before = sys.gettotalrefcount()
        func(**args)
        _reset_fixtures(funcargs, item)
        gc.collect()
        deltas.append(sys.gettotalrefcount() - before)
    return deltas[WARMUPS:]


def _noop():
    pass


_BASELINE = None


@pytest.hookimpl(tryfirst=True)
def pytest_pyfunc_call(pyfuncitem):
    if not REFLEAKS or pyfuncitem.get_closest_marker("no_refleak"):
        return None
    func = pyfuncitem.obj
    if getattr(func, "is_hypothesis_test", False) or hasattr(func, "hypothesis"):
        return None
    funcargs = pyfuncitem.funcargs
    args = {name: funcargs[name] for name in pyfuncitem._fixtureinfo.argnames}
    # The measuring loop itself keeps a few references; measure it empty once.
    global _BASELINE
    if _BASELINE is None:
        _BASELINE = _run_counts(_noop, {}, {})
    baseline = _BASELINE
    func(**args)  # the test's own outcome
    try:
        counts = _run_counts(func, args, funcargs, pyfuncitem)
    except Exception:
        # Not repeatable in place (state on disk, fixtures consumed): the
        # first run stands and the leak check is skipped for this test.
        return True
    measured = [d - b for d, b in zip(counts, baseline)]
    if all(d > 0 for d in measured):
        pytest.fail(f"reference leak: total reference count grew by {measured} over {RUNS} runs", pytrace=False)
    return True
