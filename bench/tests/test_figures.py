import math

import cases
import pytest
import run
import text_bench
import tree_bench


def test_close_compares_nested_results_by_value():
    assert run._close((1, 0.1 + 0.2, "x"), (1, 0.3, "x"))
    assert not run._close((1, 0.3), (1, 0.31))
    assert not run._close((1, 2), (1, 2, 3))
    assert not run._close(1.0, "1.0")
    assert run._close([(3, 4)], [(3, 4)])


def test_sorted_list_index_is_a_best_fit_index_oldest_first():
    pytest.importorskip("sortedcontainers")
    idx = tree_bench.SortedListIndex()
    a, b, c = object(), object(), object()
    idx.insert(64, a)
    idx.insert(64, b)
    idx.insert(32, c)
    assert idx.find_best_fit(33) is a and idx.find_best_fit(32) is c and idx.find_best_fit(65) is None
    assert idx.remove_ge(40) == (64, a)
    assert idx.remove_ge(40) == (64, b)
    assert idx.remove_ge(40) == (None, None)
    assert idx.remove_ge(0) == (32, c)


def test_tree_round_measures_every_phase_and_empties_the_index():
    work = tree_bench._workload(500, seed=1)
    res, height = tree_bench._one_round(tree_bench.cases.pyref("tollet").FastRedBlackTree, *work)
    assert set(res) == {"insert", "find_best_fit", "churn", "remove_ge"} and all(v > 0 for v in res.values())
    assert 1 <= height <= 2 * math.log2(500 + 1)


def test_text_sources_are_real_modules():
    sources = text_bench.load_sources()
    assert len(sources) >= 10
    assert all(len(code) > 1000 and "def " in code for _name, code in sources)


def test_documented_targets_are_found_in_their_docstrings():
    import re

    for case in cases.TARGETS:
        m = cases.native(case["mod"])
        if m is None:
            continue
        if "pattern" in case:
            assert re.search(case["pattern"], case["doc"](m), re.IGNORECASE), case["id"]
        else:
            ref = cases.pyref(case["mod"])
            assert eval(case["stmt"], case["ns"](m)) == eval(case["stmt"], case["ns"](ref)), case["id"]


def test_budgets_are_read_from_the_docstrings_in_ns():
    expected = {
        "LockFreeStatistics.record_allocation(64)": 100,
        "LockFreeStatistics.get_snapshot(), fresh": 500,
        "AdaptivePolicy.get_threshold('f')": 100,
        "AdaptivePolicy.should_compile('f', store)": 1000,
        "AtomicPointer.store(x)": 100,
        "AtomicPointer.compare_and_swap(x, x)": 150,
        "LockFreeStack.push(x); pop()": 450,
        "LockFreeStack.size()": 20,
        "AtomicCounter.load()": 10,
    }
    seen = {}
    for case in cases.TARGETS:
        m = cases.native(case["mod"])
        if m is None or "pattern" not in case:
            continue
        seen[case["id"]] = run._budget(case, m)[1]
        exec(case["stmt"], case["ns"](m))  # the statement runs as measured
    assert {k: seen[k] for k in expected if k in seen} == {k: v for k, v in expected.items() if k in seen}
    assert None not in seen.values()


def test_ft_scaling_runs_workers_together_and_skips_with_the_gil(monkeypatch):
    import ft_bench

    def worker(stop):
        c = 0
        while not stop[0]:
            c += 1
        return c

    counts, dt = ft_bench._timed([worker, worker], 0.05)
    assert len(counts) == 2 and all(c > 0 for c in counts) and dt >= 0.05
    monkeypatch.setattr(ft_bench.sysconfig, "get_config_var", lambda name: 0)
    fig = ft_bench.figure(quick=True)
    assert fig == {"skipped": "not a free-threaded interpreter (%s)" % ft_bench.sys.executable}
    out = []
    ft_bench.print_figure(fig, out)
    assert "skipped: not a free-threaded interpreter" in "\n".join(out)
