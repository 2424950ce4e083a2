"""Allocation-failure injection over every public callable.

Each callable's scenarios (support/fault_scenarios.py) run in a child interpreter,
failing the n-th allocation for every n the call reaches, then failing every
allocation from the n-th on.  A crash or a hang of the child is a failure of
the callable it was running; a hang ends through the child's watchdog or the
parent's time limit.
"""

import json
import os
import signal
import subprocess
import sys
import time

import pytest
from support.api_surface import public_callables

_testcapi = pytest.importorskip("_testcapi")
if not hasattr(_testcapi, "set_nomemory"):  # pragma: no cover
    pytest.skip("_testcapi.set_nomemory is not available", allow_module_level=True)

from support import fault_scenarios  # noqa: E402  (imports the modules under test)

HERE = os.path.dirname(os.path.abspath(__file__))
CHILD_TIMEOUT = float(os.environ.get("TALVORA_FAULT_CHILD_TIMEOUT", "900"))

CALLABLES = [ident for ident, *_ in public_callables()]


class LockLeftHeld(AssertionError):
    """A lock stayed held after an injected allocation failure."""


def _run_child(idents, env=None):
    """Runs the scenarios of `idents` in child processes; id -> report.

    A child that dies (a crash, or its watchdog ending a hang) is restarted
    with the callables it had not reached.
    """
    reports = {}
    pending = list(idents)
    env = dict(os.environ if env is None else env)
    env.setdefault("PYTHONHASHSEED", "0")  # the same allocations on every run
    while pending:
        try:
            proc = subprocess.run(
                [sys.executable, "-X", "faulthandler", os.path.join(HERE, "support", "fault_scenarios.py"), *pending],
                cwd=HERE,
                capture_output=True,
                text=True,
                timeout=CHILD_TIMEOUT,
                env=env,
            )
        except subprocess.TimeoutExpired as e:
            out = e.stdout.decode() if isinstance(e.stdout, bytes) else (e.stdout or "")
            proc = subprocess.CompletedProcess(e.cmd, -9, out, f"Timeout (parent, {CHILD_TIMEOUT} s)")
        current = None
        for line in proc.stdout.splitlines():
            msg = json.loads(line)
            if "begin" in msg:
                current = msg["begin"]
            else:
                reports[msg["id"]] = msg
                current = None
        done = [i for i in pending if i in reports]
        pending = [i for i in pending if i not in reports]
        if proc.returncode != 0 and not pending and current is None and done:
            # Every callable reported, then the child died on its way out.
            reports[done[-1]]["failures"].append(
                {"kind": "crash at exit", "variant": "?", "mode": "?", "n": "?", "detail": proc.stderr[-3000:]}
            )
            break
        if proc.returncode != 0 or pending:
            if current is None:  # died before or between callables
                current = pending[0] if pending else None
            if current is None:
                break
            hang = "Timeout (" in proc.stderr or proc.returncode == -signal.SIGALRM
            reports[current] = {
                "id": current,
                "crashed": True,
                "runs": 0,
                "injected": 0,
                "counts": {},
                "failures": [
                    {
                        "kind": "hang" if hang else "crash",
                        "variant": "?",
                        "mode": "?",
                        "n": "?",
                        "detail": proc.stderr[-3000:],
                    }
                ],
            }
            pending = [i for i in pending if i != current]
        del done
    return reports


class _Totals:
    """Prints the coverage figures in the terminal summary."""

    def __init__(self, reports):
        self.reports = reports

    def line(self):
        r = self.reports.values()
        return (
            f"fault injection: {len(self.reports)} of {len(CALLABLES)} public callables, "
            f"{sum(x['variants'] for x in r if 'variants' in x)} scenarios, {sum(x['runs'] for x in r)} runs, "
            f"{sum(x['injected'] for x in r)} injected allocation failures"
        )

    def pytest_terminal_summary(self, terminalreporter):
        terminalreporter.write_line(self.line())


@pytest.fixture(scope="session")
def fault_reports(request):
    selected = [
        item.callspec.params["ident"]
        for item in request.session.items
        if getattr(item, "originalname", None) == "test_fault_injection"
    ]
    reports = _run_child(selected or CALLABLES)
    request.config.pluginmanager.register(_Totals(reports), "talvora-fault-totals")
    return reports


def test_every_public_callable_has_a_scenario():
    missing = [i for i in CALLABLES if i not in fault_scenarios.SCENARIOS]
    unknown = [i for i in fault_scenarios.SCENARIOS if i not in CALLABLES]
    assert not missing and not unknown, (missing, unknown)
    variants = {(i, v) for i, scenarios in fault_scenarios.SCENARIOS.items() for v, _ in scenarios}
    assert fault_scenarios.KNOWN_INTERPRETER_FAULTS <= variants


# Calls whose scenarios must meet allocations of their own; a change of the
# driver that hid them from the failing allocator would show here.
ALLOCATING = [
    "mesqua.LockFreeStack.push",
    "mesqua.LockFreeStatistics.get_snapshot",
    "tollet.FastRedBlackTree.insert",
    "tollet.FastRedBlackTree.remove_ge",
    "tollet.FastRedBlackTree.clear",
    "tollet.FastRedBlackTree.find_all_exact",
    "pardune.FastBucketAllocator()",
    "pardune.FastBucketAllocator._init_buckets",
    "orvistle.AdaptivePolicy.update",
    "kelmarch.score_indicators",
    "drelling.compute_chunk_shapes",
]


def test_injection_reaches_the_calls(fault_reports):
    assert sum(r["injected"] for r in fault_reports.values()) > 0
    quiet = [
        i
        for i in ALLOCATING
        if i in fault_reports
        and not any(fault_reports[i].get("points", {}).values())
        and not fault_reports[i].get("known")  # not run on this build
    ]
    assert not quiet


def test_child_death_is_reported_and_the_rest_still_runs():
    env = dict(os.environ, TALVORA_FAULT_RUN_TIMEOUT="1")
    reports = _run_child(["selftest.hang", "selftest.crash", "pardune.fast_align_size"], env=env)
    assert [f["kind"] for f in reports["selftest.hang"]["failures"]] == ["hang"]
    assert [f["kind"] for f in reports["selftest.crash"]["failures"]] == ["crash"]
    assert reports["pardune.fast_align_size"]["failures"] == []
    assert reports["pardune.fast_align_size"]["injected"] > 0


def test_child_death_after_its_last_report_is_reported():
    reports = _run_child(["pardune.fast_align_size", "selftest.crash_at_exit"])
    assert reports["pardune.fast_align_size"]["failures"] == []
    failures = reports["selftest.crash_at_exit"]["failures"]
    assert [f["kind"] for f in failures] == ["crash at exit"] and "Aborted" in failures[0]["detail"]


def test_parent_time_limit_ends_a_hang(monkeypatch):
    # The child's watchdog is far off: the parent's limit ends the child.  The limit leaves a loaded
    # machine room for a child that does not hang: four times what one took here.
    env = dict(os.environ, TALVORA_FAULT_RUN_TIMEOUT="600")
    start = time.monotonic()
    assert _run_child(["pardune.fast_align_size"], env=env)["pardune.fast_align_size"]["failures"] == []
    monkeypatch.setattr(sys.modules[__name__], "CHILD_TIMEOUT", max(2.0, 4 * (time.monotonic() - start)))
    reports = _run_child(["selftest.hang", "pardune.fast_align_size"], env=env)
    assert [f["kind"] for f in reports["selftest.hang"]["failures"]] == ["hang"]
    assert reports["pardune.fast_align_size"]["failures"] == []


@pytest.mark.no_refleak
@pytest.mark.parametrize("ident", CALLABLES)
def test_fault_injection(ident, fault_reports):
    report = fault_reports[ident]
    failures = report["failures"]
    known = report.get("known", [])
    if not failures:
        assert report["runs"] > 0 or known
        if known:
            # The callable's other scenarios passed; the known ones did not run.
            pytest.skip("; ".join(f"{ident} [{k['variant']}]: {k['reason']}" for k in known))
        return
    text = "\n".join(f"  [{f['variant']}, {f['mode']}, n={f['n']}] {f['kind']}: {f['detail']}" for f in failures)
    counts = report.get("counts", {})
    if set(counts) == {"lock"}:
        raise LockLeftHeld(f"{ident}: {counts}\n{text}")
    pytest.fail(f"{ident}: {counts}\n{text}", pytrace=False)
