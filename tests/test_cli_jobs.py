"""analyze in worker processes (--jobs) and the pieces that make it fast: the pool and its ordered window,
the long-lived parse thread, and the JSON text laid out over the C encoder."""

import faulthandler
import io
import json
import multiprocessing
import os
import pickle
import re
import signal
import subprocess
import sys
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from talvora.cli import jsontext, main, parallel, reading, streaming

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="the pool forks on Linux only")


def run(*argv):
    out, err = io.StringIO(), io.StringIO()
    code = main(list(argv), stdout=out, stderr=err)
    return code, out.getvalue(), err.getvalue()


def without_time(text):
    return re.sub(r"^(Summary: .*), \d+\.\d\d s$", r"\1", text, flags=re.M)


# ---------------------------------------------------------------------------
# JSON text: the bytes of json.dumps(..., indent=2)

TRICKY = [
    None,
    0.1,
    -0.0,
    1e16,
    1e-7,
    123456789.0,
    float("nan"),
    float("inf"),
    -float("inf"),
    2**70,
    -1,
    True,
    False,
    "",
    "%s %d %%",
    '\x00\x01\n\t"\\/',
    "caf\xe9 \u2028 \U0001f600",
    [],
    {},
    [[]],
    {"a": {}},
    [[], {}, [{}], {"x": []}],
    (1, (2, ()), "t"),
    {"z": 1, "a": 2, "m": [3, {"k": None}]},
    {1: "int", 2.5: "float", False: "bool", None: "none", "s": "str"},
    {"%s": "%d", "\x00": "\x00", "nested": {"%": [0.5, -0.0]}},
    [{"path": "p", "imports": [], "functions": [{"name": "f", "scores": {"a": 0.30000000000000004}}]}],
]


class TestLayout:
    @pytest.mark.parametrize("value", TRICKY)
    def test_same_text_as_json_with_indent(self, value):
        for indent in (2, 4):
            assert jsontext.Layout(indent).dumps(value) == json.dumps(value, indent=indent)

    @given(
        st.recursive(
            st.none() | st.booleans() | st.integers() | st.floats() | st.text(),
            lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=3), inner, max_size=4),
            max_leaves=25,
        )
    )
    @settings(max_examples=300, deadline=None)
    def test_any_json_value(self, value):
        assert jsontext.Layout().dumps(value) == json.dumps(value, indent=2)

    @pytest.mark.parametrize(
        "record",
        [
            {"name": "f", "line": 3, "scores": {"cpu": 0.1, "gpu": float("nan")}, "pattern": "MIXED"},
            {"%s": 1, "sub": {"%d": -0.0}},
            {"\x00": 1, "b": {"\x00": 2}},  # a key that looks like the template's mark
            {"list": [1, 2], "empty": {}, "tuple": ()},  # not of the template's shape: laid out in full
            {"float_subclass": type("F", (float,), {})(1.5)},
            {},
        ],
    )
    def test_records_through_templates(self, record):
        layout = jsontext.Layout()
        for depth in (0, 1, 4):
            assert layout.record(record, depth) == layout.dumps(record, depth)
            assert layout.record(record, depth) == layout.record(record, depth)  # the second from the template
        assert layout.dumps(jsontext.Laid([layout.record(record, 1)])) == json.dumps([record], indent=2)

    def test_function_records_of_a_real_file(self):
        from talvora.examples import workloads

        layout = jsontext.Layout()
        report = reading.analyze_file(workloads.__file__, gpu_capability="8.6")
        records = [f.to_dict() for f in report.functions]
        laid = jsontext.Laid(layout.record(d, 2) for d in records)
        assert layout.dumps({"functions": laid}) == json.dumps({"functions": records}, indent=2)

    @pytest.mark.parametrize("scramble", [False, True])
    def test_json_documents_of_the_writer(self, scramble, monkeypatch):
        from talvora.cli import writers

        if scramble:  # scalars out of the order of to_dict: the writer must notice and lay records out in full
            real = writers._function_values
            monkeypatch.setattr(writers, "_function_values", lambda f: real(f)[::-1])
        code, out, _ = run("analyze", "--json", "--gpu-capability", "8.6", "--top", "3")
        assert code == 0 and out == json.dumps(json.loads(out), indent=2) + "\n"
        assert json.loads(out)["files"][0]["functions"]

    def test_values_json_refuses_are_refused(self):
        with pytest.raises(TypeError, match="not JSON serializable"):
            jsontext.Layout().dumps({"a": [1, object()]})
        with pytest.raises(TypeError, match="keys must be"):
            jsontext.Layout().dumps({(1, 2): [1, [2]]})


# ---------------------------------------------------------------------------
# The parse thread


class TestParseThread:
    def test_one_thread_for_every_call(self):
        import threading

        runner = reading.ParseThread(2**24)
        first = runner.call(2**20, threading.current_thread)
        assert first.name == "talvora-parse" and first is not threading.current_thread()
        assert runner.call(2**20, threading.current_thread) is first
        assert runner.call(2**20, divmod, 7, 2) == (3, 1)
        with pytest.raises(ZeroDivisionError):
            runner.call(2**20, divmod, 7, 0)

    def test_results_of_abandoned_calls_are_passed_over(self):
        runner = reading.ParseThread(2**24)
        runner.call(2**20, int)
        runner._results.put((runner._sent - 5, True, "stale"))  # as left by a call given up on Ctrl-C
        assert runner.call(2**20, str, "fresh") == "fresh"

    def test_a_forked_child_starts_its_own(self):
        runner = reading.ParseThread(2**24)
        parent = runner.call(2**20, os.getpid)
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:  # the child: the parent's thread is gone
            try:
                os.write(w, str(runner.call(2**20, os.getpid)).encode())
            finally:
                os._exit(0)
        os.close(w)
        child = int(os.read(r, 100))
        os.close(r)
        os.waitpid(pid, 0)
        assert child == pid != parent

    def test_falls_back_when_no_thread_starts(self, monkeypatch):
        import threading

        def refuse(self):
            raise RuntimeError("can't start new thread")

        monkeypatch.setattr(threading.Thread, "start", refuse)
        runner = reading.ParseThread(2**24)
        assert runner.call(2**20, threading.current_thread) is threading.current_thread()

    def test_errors_pickle_with_their_path_and_message(self):
        e = pickle.loads(pickle.dumps(reading.AnalysisError("a.py", "syntax error")))
        assert (e.path, e.message, str(e)) == ("a.py", "syntax error", "a.py: syntax error")


# ---------------------------------------------------------------------------
# The pool


class TestOrderedWindow:
    def test_results_in_index_order_within_the_window(self):
        window = parallel.OrderedWindow(3)
        issued = []
        while window.room():
            issued.append(window.issue())
        assert issued == [0, 1, 2]  # no more than the window beyond the first awaited
        window.put(2, "c")
        window.put(1, "b")
        assert not window.ready() and not window.room()
        window.put(0, "a")
        assert [window.take() for _ in range(3)] == ["a", "b", "c"]
        assert window.room() and window.issue() == 3 and len(window) == 0


def _slow_square(n):
    time.sleep((n * 7 % 5) / 1000)
    return n * n


def _crashing(n):
    if n == 5:
        os._exit(3)
    if n == 9:
        faulthandler.disable()  # as pytest set it, it would print the worker's stack
        os.kill(os.getpid(), signal.SIGSEGV)
    return n


def _failing(n):
    if n == 4:
        raise ValueError("bad item %d" % n)
    return n


class TestImapOrdered:
    def test_results_in_input_order(self):
        assert list(parallel.imap_ordered(_slow_square, range(60), 3, window=7)) == [n * n for n in range(60)]

    def test_a_dead_worker_costs_its_item_only(self):
        results = list(parallel.imap_ordered(_crashing, range(20), 2))
        died = {i: str(r) for i, r in enumerate(results) if isinstance(r, parallel.WorkerDied)}
        assert died == {5: "its worker process exited with status 3", 9: "its worker process was killed by SIGSEGV"}
        assert [r for i, r in enumerate(results) if i not in died] == [i for i in range(20) if i not in died]
        assert not multiprocessing.active_children()

    def test_an_exception_is_raised_at_its_turn(self):
        got = []
        with pytest.raises(ValueError, match="bad item 4"):
            for r in parallel.imap_ordered(_failing, range(30), 2):
                got.append(r)
        assert got == [0, 1, 2, 3] and not multiprocessing.active_children()

    def test_local_items_are_computed_here(self):
        results = list(parallel.imap_ordered(lambda n: (n, os.getpid()), range(12), 2, local=lambda n: n % 5 == 0))
        assert [n for n, _ in results] == list(range(12))
        assert {n for n, pid in results if pid == os.getpid()} == {0, 5, 10}

    def test_memory_is_bounded_by_the_window(self):
        started = multiprocessing.get_context("fork").Value("i", 0)

        def count(n):
            with started.get_lock():
                started.value += 1
            return n

        results = parallel.imap_ordered(count, range(500), 2, window=10)
        assert next(results) == 0
        time.sleep(0.5)  # the workers would run far ahead if nothing held them back
        assert started.value <= 1 + 10
        results.close()
        assert not multiprocessing.active_children()


# ---------------------------------------------------------------------------
# analyze --jobs


def build_tree(root, n=40):
    for i in range(n):
        body = "def f%d(xs):\n    return [x * %d for x in xs]\n\n\nclass C%d:\n    def m(self):\n        pass\n" % (
            i,
            i,
            i,
        )
        (root / ("m%02d.py" % i)).write_text(body)
    (root / "m07.py").write_text("def broken(:\n")
    (root / "m13.py").write_bytes(b"x = '\xff'\n")
    (root / "m21.py").write_text("import numpy as np\n\ndef k(a):\n    return np.dot(a, a).sum()\n")
    (root / "tests").mkdir()
    (root / "tests" / "t.py").write_text("def t():\n    pass\n")
    os.mkfifo(str(root / "m30.py.fifo"))
    return [str(root), str(root / "m30.py.fifo"), str(root / "missing.py")]


@pytest.mark.parametrize("mode", [[], ["--files"], ["--json"], ["--jsonl"], ["--json", "--top", "5"], ["--wide"]])
def test_same_output_in_one_process_and_in_two(tmp_path, mode):
    paths = build_tree(tmp_path)
    one = run("analyze", "--jobs", "1", *mode, *paths)
    two = run("analyze", "--jobs", "2", *mode, *paths)
    assert one[0] == two[0] == 1  # the syntax error, the undecodable file, the missing path
    assert without_time(two[1]) == without_time(one[1])
    assert two[2] == one[2]  # errors and notes in the same order
    assert "m07.py: syntax error" in one[2] and "not a regular file, skipped" in one[2]


def test_a_crash_is_an_error_for_its_file(tmp_path, monkeypatch):
    paths = build_tree(tmp_path)
    real = streaming.analyze_file

    def analyze_file(path, **options):
        if path.endswith("m11.py"):
            os._exit(70)  # in the worker, which the fork gave this function
        return real(path, **options)

    monkeypatch.setattr(streaming, "analyze_file", analyze_file)
    code, out, err = run("analyze", "--jobs", "2", "--jsonl", *paths)
    assert code == 1
    crashed = str(tmp_path / "m11.py")
    assert "talvora: error: %s: the analysis crashed: its worker process exited with status 70\n" % crashed in err
    kinds = [(r["type"], r.get("path")) for r in map(json.loads, out.splitlines())]
    assert ("error", crashed) in kinds
    files = [p for t, p in kinds if t == "file"]
    assert files == sorted(files) and len(files) == 37  # 40 less the crash, the syntax error, the undecodable


def test_small_runs_and_standard_input_stay_in_this_process(tmp_path, monkeypatch):
    def no_pool(*args, **kwargs):
        raise AssertionError("a pool was started")

    monkeypatch.setattr(streaming, "imap_ordered", no_pool)
    for i in range(streaming.POOL_MIN_FILES - 1):
        (tmp_path / ("m%02d.py" % i)).write_text("def f():\n    pass\n")
    code, out, _ = run("analyze", "--jobs", "8", "--json", str(tmp_path))
    assert code == 0 and json.loads(out)["summary"]["files"] == streaming.POOL_MIN_FILES - 1
    assert run("analyze", "--jobs", "8")[0] == 0  # the bundled examples


def test_standard_input_among_many_files(tmp_path, monkeypatch):
    build_tree(tmp_path)
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(b"def from_stdin():\n    pass\n")))
    paths = [str(tmp_path / ("m%02d.py" % i)) for i in range(20)]
    code, out, _ = run("analyze", "--jobs", "2", "--jsonl", *paths[:10], "-", *paths[10:])
    names = [r["path"] for r in map(json.loads, out.splitlines()) if r["type"] in ("file", "error")]
    assert names == paths[:10] + [reading.STDIN_NAME] + paths[10:]


@pytest.mark.parametrize("value", ["0", "-2", "many"])
def test_bad_job_counts(value):
    code, _, err = run("analyze", "--jobs", value)
    assert code == 2 and "argument --jobs: " in err


def test_jobs_in_the_help():
    code, out, _ = run("help", "analyze")
    text = " ".join(out.split())
    assert code == 0 and "--jobs N" in text and "the number of usable CPUs" in text


def test_ctrl_c_with_workers_ends_with_one_line(tmp_path):
    for i in range(1500):
        (tmp_path / ("m%04d.py" % i)).write_text("def f(xs):\n    return [x * 2 for x in xs]\n" * 20)
    proc = subprocess.Popen(
        [sys.executable, "-m", "talvora", "analyze", "--jobs", "2", "--jsonl", str(tmp_path)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    first = [proc.stdout.readline(), proc.stdout.readline()]
    proc.send_signal(signal.SIGINT)
    rest, err = proc.stdout.read(), proc.stderr.read()
    proc.wait(timeout=60)
    assert (proc.returncode, err) == (130, "talvora: interrupted\n")  # no tracebacks of workers
    lines = [json.loads(line) for line in ("".join(first) + rest).splitlines()]
    assert lines[-1]["type"] == "interrupted" and lines[-1]["files"] < 1500
    # No worker outlives the run.
    time.sleep(0.2)
    left = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                if str(tmp_path).encode() in f.read():
                    left.append(pid)
        except OSError:
            pass
    assert not left


def test_usable_cpus():
    n = parallel.usable_cpus()
    assert n >= 1 and (not hasattr(os, "sched_getaffinity") or n == len(os.sched_getaffinity(0)))
