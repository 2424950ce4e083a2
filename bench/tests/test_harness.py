import callgrind
import cases
import harness
import pytest


def test_make_loop_binds_locals_and_runs_n_times():
    calls = []
    loop = harness.make_loop("f(x)", {"f": calls.append, "x": 7})
    loop(5)
    assert calls == [7] * 5
    assert "f" in loop.__code__.co_varnames  # a fast local, not a global lookup


def test_measure_reports_every_case_and_orders_costs():
    cases = [harness.Case("cheap", "f()", {"f": int}), harness.Case("dear", "f(2000)", {"f": lambda n: sum(range(n))})]
    res = harness.measure(cases, rounds=3, target_ns=200_000)
    assert set(res) == {"cheap", "dear"}
    assert all(r["min"] <= r["median"] for r in res.values())
    assert res["dear"]["min"] > 5 * res["cheap"]["min"]


def test_callgrind_totals_parser(tmp_path):
    p = tmp_path / "cg.out.1"
    p.write_text("version: 1\ncmd: python\nevents: Ir\nfn=(1) main\n0 12\ntotals: 4242\n")
    assert callgrind._totals(str(p)) == 4242


def test_callgrind_case_list_pairs_every_subject_with_its_floor():
    todo, rows, pure, peer = callgrind.all_cases()
    keys = [k for k, _s, _ns in todo]
    assert keys[0] == "empty" and len(keys) == len(set(keys))
    for r in rows:
        if "skipped" not in r:
            assert r["id"] in keys and "floor:" + r["id"] in keys
    for r in pure:
        assert "native:" + r["id"] in keys and "python:" + r["id"] in keys
    for r in peer:
        if "skipped" not in r:
            assert "talvora:" + r["id"] in keys and "cython:" + r["id"] in keys


def test_cython_peer_does_the_same_work_as_talvora():
    """Each shape's peer call returns what the talvora call returns (the
    constructors and the counter compared through their state), so the
    instruction counts compare like with like."""
    cy, why = cases.peer()
    if cy is None:
        pytest.skip(why)
    by_id = {c["id"]: c for c in cases.PEER}
    assert len(by_id) == 13
    for case in cases.PEER:
        m = cases.native(case["mod"])
        if m is None:
            continue
        ours = eval(case["stmt"], case["ns"](m))
        theirs = eval(case.get("peer_stmt", case["stmt"]), case["peer_ns"](cy))
        if case["id"].startswith("constructor"):
            assert type(theirs).__module__ == "cypeer" and type(ours).__module__.startswith("talvora.")
            continue
        assert ours == theirs and type(ours) is type(theirs), case["id"]
    slots = cy.Slots(3, 8)
    assert cy.Tally(5).bump() == cy.Tally().bump(6) == 6 and slots.first_free() == 0
    with pytest.raises(ValueError):
        cy.round_to(13, 6)
