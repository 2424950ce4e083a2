"""talvora.plugins.analyzer.vossendra: orchestrator decision functions."""

import collections
import decimal
import fractions
import logging
import math
import subprocess
import sys
import traceback

import pytest

import talvora.plugins.analyzer.vossendra as vs

NAN = float("nan")
INF = float("inf")
MODNAME = "talvora.plugins.analyzer.vossendra"
FUNCTIONS = [
    "detect_performance_degradation",
    "calculate_performance_trend",
    "detect_workload_characteristics_change",
    "detect_dominant_pattern",
    "is_adaptation_beneficial",
    "should_skip_adaptation",
    "detect_memory_pressure",
    "detect_fragmentation_threshold",
    "calculate_adaptation_urgency",
    "score_pool_recommendation",
    "predict_resource_requirements",
]
FIRST_LINES = {
    "detect_performance_degradation": "Detect if performance has degraded significantly.",
    "calculate_performance_trend": "Calculate performance trend over a time window.",
    "detect_workload_characteristics_change": "Detect significant changes in workload characteristics.",
    "detect_dominant_pattern": "Detect the dominant pattern in a list of pattern names.",
    "is_adaptation_beneficial": "Determine if pool adaptation would be beneficial.",
    "should_skip_adaptation": "Check if adaptation should be skipped due to timing.",
    "detect_memory_pressure": "Detect memory pressure conditions.",
    "detect_fragmentation_threshold": "Check if fragmentation exceeds threshold.",
    "calculate_adaptation_urgency": "Calculate urgency score for adaptation.",
    "score_pool_recommendation": "Score a pool recommendation based on multiple factors.",
    "predict_resource_requirements": "Predict future resource requirements based on allocation history.",
}
DEFAULTS = {
    "detect_workload_characteristics_change": (0.3,),
    "detect_dominant_pattern": (5,),
    "is_adaptation_beneficial": (1.1, 0.6),
    "detect_memory_pressure": (0.8,),
    "detect_fragmentation_threshold": (0.3,),
}


class MyList(list):
    pass


class MyStr(str):
    pass


def wl(par=0.0, cpu=0.0, mem=0.0):
    return {"parallelization_potential": par, "cpu_intensity": cpu, "memory_intensity": mem}


# ---------------------------------------------------------------------------
# Module set-up and binding


class TestModule:
    def test_namespace(self):
        names = [n for n in vars(vs) if not n.startswith("__")]
        assert names == ["logging", "logger"] + FUNCTIONS
        assert list(vars(vs))[-1] == "__test__" and vs.__test__ == {}
        assert vs.logger is logging.getLogger(MODNAME)
        assert vs.logging is logging
        for phrase in (
            "dynamic pool switching and adaptation decisions",
            "performance degradation detection",
            "workload change detection",
            "adaptation benefit scoring",
            "memory pressure evaluation",
        ):
            assert phrase in vs.__doc__

    @pytest.mark.parametrize("name", FUNCTIONS)
    def test_introspection(self, name):
        f = getattr(vs, name)
        assert f.__name__ == f.__qualname__ == name
        assert f.__module__ == MODNAME
        assert f.__annotations__ == {}
        assert f.__defaults__ == DEFAULTS.get(name)
        assert f.__doc__.splitlines()[0] == FIRST_LINES[name]

    def test_load_line_once(self):
        code = (
            "import logging, importlib\n"
            "logging.basicConfig(level=logging.DEBUG, format='%(levelname)s|%(name)s|%(message)s')\n"
            f"import {MODNAME} as a\n"
            f"b = importlib.import_module('{MODNAME}')\n"
            "assert a is b\n"
        )
        err = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stderr
        assert err.splitlines() == [
            f"INFO|{MODNAME}|Talvora Orchestrator Algorithms Cython module loaded - IP protected"
        ]

    def test_keywords_and_counts(self):
        assert vs.detect_memory_pressure(peak_usage=100, current_usage=81) is True
        with pytest.raises(
            TypeError,
            match=r"^should_skip_adaptation\(\) takes exactly 3 positional arguments "
            r"\(2 given\)$",
        ):
            vs.should_skip_adaptation(1.0, 2.0)
        with pytest.raises(
            TypeError,
            match=r"^detect_dominant_pattern\(\) takes at most 2 positional arguments "
            r"\(3 given\)$",
        ):
            vs.detect_dominant_pattern([], 1, 2)
        with pytest.raises(TypeError, match=r"got an unexpected keyword argument 'window'$"):
            vs.detect_dominant_pattern([], window=1)

    def test_traceback_entry(self):
        with pytest.raises(ValueError) as ei:
            vs.predict_resource_requirements([(i,) for i in range(10)], 1.0)
        names = [f.name for f in traceback.extract_tb(ei.value.__traceback__)]
        assert names[-1] == MODNAME + ".predict_resource_requirements"

    @pytest.mark.parametrize(
        "call",
        [
            lambda v: vs.detect_performance_degradation(v, 1.0, 0.1, 0.0),
            lambda v: vs.calculate_performance_trend(v, 0.0),
            lambda v: vs.detect_workload_characteristics_change(v),
            lambda v: vs.detect_dominant_pattern(v),
            lambda v: vs.predict_resource_requirements(v, 1.0),
        ],
    )
    def test_list_must_be_exact(self, call):
        with pytest.raises(TypeError) as ei:
            call(MyList())
        assert str(ei.value).endswith("has incorrect type (expected list, got MyList)")
        with pytest.raises(TypeError, match=r"incorrect type \(expected list, got tuple\)$"):
            call(())

    def test_str_must_be_exact(self):
        with pytest.raises(TypeError) as ei:
            vs.is_adaptation_beneficial(MyStr("a"), "b", 0.9, 0.9, 0.5, 1)
        assert str(ei.value) == "Argument 'current_pool' has incorrect type (expected str, got MyStr)"
        with pytest.raises(
            TypeError,
            match=r"^Argument 'recommended_pool' has incorrect type "
            r"\(expected str, got int\)$",
        ):
            vs.is_adaptation_beneficial("a", 1, 0.9, 0.9, 0.5, 1)

    def test_number_conversions(self):
        with pytest.raises(OverflowError, match="^value too large to convert to int$"):
            vs.is_adaptation_beneficial("a", "b", 0.9, 0.9, 0.5, 2**31)
        with pytest.raises(OverflowError, match="^value too large to convert to int$"):
            vs.detect_dominant_pattern(["a"], -(2**31) - 1)
        with pytest.raises(TypeError, match="^an integer is required$"):
            vs.detect_dominant_pattern(["a"], "2")
        assert vs.detect_dominant_pattern(["a", "b", "b", "c"], 2.9) == "b"  # window 2
        with pytest.raises(TypeError):
            vs.detect_memory_pressure("1", 2.0)
        assert vs.calculate_adaptation_urgency(0, 0, 0, [1]) == 0.15  # truth value
        assert vs.calculate_adaptation_urgency(0, 0, 0, None) == 0.0


# ---------------------------------------------------------------------------
# Pair histories: shared unpacking rules


def _degr(entries):
    return vs.detect_performance_degradation(entries, 100.0, 0.1, 0.0)


def _trend(entries):
    return vs.calculate_performance_trend(entries, 0.0)


def _predict(entries):
    return vs.predict_resource_requirements(entries, 10.0)


PAIR_FUNCS = [_degr, _trend, _predict]


def _history(bad, at=5, n=12):
    h = [(float(i), 1.0) for i in range(n)]
    h[at] = bad
    return h


def _gen_raising():
    yield 1.0
    raise RuntimeError("boom")


class TestPairUnpacking:
    @pytest.mark.parametrize("func", PAIR_FUNCS)
    @pytest.mark.parametrize(
        "bad, exc, msg",
        [
            ((1, 2, 3), ValueError, "too many values to unpack (expected 2)"),
            ([1, 2, 3], ValueError, "too many values to unpack (expected 2)"),
            (lambda: iter([1, 2, 3]), ValueError, "too many values to unpack (expected 2)"),
            ((1,), ValueError, "need more than 1 value to unpack"),
            ([1], ValueError, "need more than 1 value to unpack"),
            ((), ValueError, "need more than 0 values to unpack"),
            ([], ValueError, "need more than 0 values to unpack"),
            (lambda: iter([1]), ValueError, "need more than 1 value to unpack"),
            ("abc", ValueError, "too many values to unpack (expected 2)"),
            (_gen_raising, RuntimeError, "boom"),
            (5, TypeError, "'int' object is not iterable"),
            (None, TypeError, "'NoneType' object is not iterable"),
        ],
    )
    def test_wrong_shape(self, func, bad, exc, msg):
        if callable(bad):
            bad = bad()
        with pytest.raises(exc) as ei:
            func(_history(bad))
        assert str(ei.value) == msg

    @pytest.mark.parametrize("func", PAIR_FUNCS)
    def test_unconvertible_items(self, func):
        with pytest.raises(TypeError):
            func(_history(("x", 1.0)))
        with pytest.raises(TypeError):
            func(_history((1.0, None)))
        # a string of two characters unpacks, then fails to convert
        with pytest.raises(TypeError):
            func(_history("ab"))

    @pytest.mark.parametrize("func", PAIR_FUNCS)
    def test_other_iterables_accepted(self, func):
        Pair = collections.namedtuple("Pair", "t v")
        base = func([(float(i), 1.0) for i in range(12)])
        forms = [Pair(5.0, 1.0), [5.0, 1.0], iter((5.0, 1.0)), (5, True), (fractions.Fraction(5), 1)]
        for form in forms:
            assert func(_history(form)) == base

    def test_entries_outside_window_still_validated(self):
        h = [(float(i), 1.0) for i in range(12)]
        h[1] = (1.0, 1.0, 0.0)
        with pytest.raises(ValueError):
            vs.detect_performance_degradation(h, 100.0, 0.1, 50.0)
        with pytest.raises(ValueError):
            vs.calculate_performance_trend(h, 50.0)

    @pytest.mark.parametrize("func", PAIR_FUNCS)
    def test_history_mutated_during_walk(self, func):
        h = [(float(i), 1.0) for i in range(12)]

        class Clearing:
            def __float__(self):
                h.clear()
                return 3.0

        h[4] = (Clearing(), 1.0)
        func(h)  # the walk stops at the new end; no crash
        assert h == []


# ---------------------------------------------------------------------------
# Performance degradation and trend


class TestDegradation:
    def test_relative_drop(self):
        h = [(float(i), 80.0) for i in range(5)]
        assert vs.detect_performance_degradation(h, 100.0, 0.15, 0.0) is True
        assert vs.detect_performance_degradation(h, 100.0, 0.25, 0.0) is False
        # exactly at the threshold is not degraded
        assert vs.detect_performance_degradation(h, 100.0, 0.2, 0.0) is False
        assert vs.detect_performance_degradation(h, 100.0, NAN, 0.0) is False

    def test_window_and_counts(self):
        recent = [(10.0 + i, 50.0) for i in range(4)]
        old = [(float(i), 1000.0) for i in range(5)]
        # four in the window, old samples count neither in sum nor count
        assert vs.detect_performance_degradation(old + recent, 100.0, 0.1, 10.0) is False
        assert vs.detect_performance_degradation(old + recent + [(20.0, 50.0)], 100.0, 0.1, 10.0) is True
        # timestamp exactly at the window start counts; NaN timestamps never do
        assert vs.detect_performance_degradation([(10.0, 50.0)] * 5, 100.0, 0.1, 10.0) is True
        assert vs.detect_performance_degradation([(NAN, 50.0)] * 5, 100.0, 0.1, 0.0) is False

    @pytest.mark.parametrize(
        "history, baseline",
        [
            (None, 100.0),
            ([], 100.0),
            ([(0.0, 1.0)] * 4, 100.0),
            ([(0.0, 1.0)] * 5, 0.0),
            ([(0.0, 1.0)] * 5, -5.0),
            ([(0.0, 1.0)] * 5, NAN),
        ],
    )
    def test_neutral(self, history, baseline):
        assert vs.detect_performance_degradation(history, baseline, 0.1, 0.0) is False

    def test_nan_and_negative_threshold(self):
        h = [(float(i), 50.0) for i in range(5)] + [(5.0, NAN)]
        assert vs.detect_performance_degradation(h, 100.0, 0.1, 0.0) is False
        better = [(float(i), 120.0) for i in range(5)]  # 20 % above the baseline
        assert vs.detect_performance_degradation(better, 100.0, -0.5, 0.0) is True
        assert vs.detect_performance_degradation(better, 100.0, -0.2, 0.0) is False

    def test_short_history_not_inspected(self):
        assert vs.detect_performance_degradation([None] * 4, 100.0, 0.1, 0.0) is False
        assert vs.detect_performance_degradation([None] * 5, 0.0, 0.1, 0.0) is False


class TestTrend:
    def test_slope_over_mean(self):
        assert vs.calculate_performance_trend([(0, 10), (1, 11), (2, 12)], 0) == pytest.approx(1 / 11)
        assert vs.calculate_performance_trend([(0, 12), (1, 11), (2, 10)], 0) == pytest.approx(-1 / 11)
        # unsorted timestamps and a large clock offset give the same slope
        h = [(1e9 + 2, 12.0), (1e9, 10.0), (1e9 + 1, 11.0)]
        assert vs.calculate_performance_trend(h, 0) == pytest.approx(1 / 11)

    def test_least_squares(self):
        pts = [(0.0, 1.0), (1.0, 3.0), (2.0, 2.0), (3.0, 5.0), (4.0, 4.0)]
        n = len(pts)
        mx = sum(x for x, _ in pts) / n
        my = sum(y for _, y in pts) / n
        slope = sum((x - mx) * (y - my) for x, y in pts) / sum((x - mx) ** 2 for x, _ in pts)
        assert vs.calculate_performance_trend(pts, 0.0) == pytest.approx(slope / my)

    def test_clamped(self):
        rising = [(0.0, -10.0), (1.0, 10.0), (2.0, 30.0)]  # +20/s around a mean of 10
        assert vs.calculate_performance_trend(rising, 0.0) == 1.0
        falling = [(0.0, 30.0), (1.0, 10.0), (2.0, -10.0)]
        assert vs.calculate_performance_trend(falling, 0.0) == -1.0

    def test_window(self):
        h = [(0.0, 1000.0), (1.0, 0.0), (5.0, 10.0), (6.0, 11.0), (7.0, 12.0)]
        assert vs.calculate_performance_trend(h, 5.0) == pytest.approx(1 / 11)
        assert vs.calculate_performance_trend(h, 6.0) == 0.0  # two samples kept

    @pytest.mark.parametrize(
        "history",
        [
            None,
            [],
            [(0, 1), (1, 2)],
            [(0.0, 5.0)] * 3 + [(1.0, 5.0)],  # constant metric
            [(3.0, 1.0), (3.0, 2.0), (3.0, 9.0)],  # one timestamp: den is 0
            [(0.0, -1.0), (1.0, 0.0), (2.0, 1.0)],  # mean metric 0
            [(0.0, 1.0), (1.0, NAN), (2.0, 1.0)],  # NaN mean
            [(0.0, 1.0), (NAN, 1.0), (2.0, 1.0)],  # NaN timestamp not kept
        ],
    )
    def test_neutral(self, history):
        assert vs.calculate_performance_trend(history, 0.0) == 0.0

    def test_long_history(self):
        h = [(float(i), 100.0 + i % 7) for i in range(200_000)]
        assert -1.0 <= vs.calculate_performance_trend(h, 0.0) <= 1.0


# ---------------------------------------------------------------------------
# Workload change and dominant pattern


class TestWorkloadChange:
    def test_cpu_change(self):
        h = [wl(cpu=0.3)] * 3 + [wl(cpu=0.9)] * 3
        changed, par, cpu, mem = vs.detect_workload_characteristics_change(h)
        assert changed is True and par == 0.0 and mem == 0.0
        assert cpu == pytest.approx(0.6)
        assert vs.detect_workload_characteristics_change(h, 0.7)[0] is False
        # absolute: a drop counts like a rise
        assert vs.detect_workload_characteristics_change(h[::-1])[2] == pytest.approx(0.6)

    def test_each_key_and_order(self):
        h = [wl(0.1, 0.2, 0.3)] * 3 + [wl(0.5, 0.2, 0.0)] * 3
        changed, par, cpu, mem = vs.detect_workload_characteristics_change(h)
        assert (par, cpu, mem) == pytest.approx((0.4, 0.0, 0.3))
        assert changed is True
        assert vs.detect_workload_characteristics_change(h, 0.45)[0] is False

    def test_strict_threshold_and_nan(self):
        h = [wl(mem=0.0)] * 3 + [wl(mem=1.0)] * 3
        exact = abs((3.0 - 0.0) * 0.3333333333333333)
        assert vs.detect_workload_characteristics_change(h)[3] == exact
        assert vs.detect_workload_characteristics_change(h, exact)[0] is False
        assert vs.detect_workload_characteristics_change(h, NAN)[0] is False
        nan_h = [wl(cpu=NAN)] * 6
        result = vs.detect_workload_characteristics_change(nan_h, 0.0)
        assert result[0] is False and math.isnan(result[2])

    def test_only_newest_six(self):
        h = ["junk", None, 7] + [wl()] * 6
        assert vs.detect_workload_characteristics_change(h) == (False, 0.0, 0.0, 0.0)

    def test_neutral(self):
        assert vs.detect_workload_characteristics_change([wl(cpu=1.0)] * 5) == (False, 0.0, 0.0, 0.0)
        assert vs.detect_workload_characteristics_change([]) == (False, 0.0, 0.0, 0.0)
        h = [wl(cpu=0.0)] * 3 + [wl(cpu=1.0)] * 3
        h[4] = {"parallelization_potential": 0.0, "cpu_intensity": 1.0}
        assert vs.detect_workload_characteristics_change(h) == (False, 0.0, 0.0, 0.0)

    def test_missing_key_stops_before_later_entries(self):
        # the entry with a missing key is reached before the bad entry after it
        h = [wl()] * 2 + [{"cpu_intensity": 1.0}, 42] + [wl()] * 2
        assert vs.detect_workload_characteristics_change(h) == (False, 0.0, 0.0, 0.0)
        h = [wl()] * 2 + [42, {"cpu_intensity": 1.0}] + [wl()] * 2
        with pytest.raises(TypeError, match="^Expected dict, got int$"):
            vs.detect_workload_characteristics_change(h)

    def test_entry_errors(self):
        with pytest.raises(TypeError, match="^object of type 'NoneType' has no len\\(\\)$"):
            vs.detect_workload_characteristics_change(None)
        h = [wl()] * 6
        h[2] = None
        with pytest.raises(TypeError, match="^'NoneType' object is not iterable$"):
            vs.detect_workload_characteristics_change(h)
        h[2] = collections.OrderedDict(wl())
        with pytest.raises(TypeError, match="^Expected dict, got collections.OrderedDict$"):
            vs.detect_workload_characteristics_change(h)

    def test_list_mutated_during_key_tests(self):
        h = []

        class Clearing:
            # collides with "cpu_intensity", so the key test compares with it
            def __hash__(self):
                return hash("cpu_intensity")

            def __eq__(self, other):
                h.clear()
                return False

        first = {"parallelization_potential": 0.0, Clearing(): 1, "cpu_intensity": 0.0, "memory_intensity": 0.0}
        h.extend([first] + [wl(cpu=0.9)] * 2 + [wl()] * 3)
        # the six entries were taken before the list changed
        changed, par, cpu, mem = vs.detect_workload_characteristics_change(h)
        assert h == []
        assert changed is True and cpu == pytest.approx(0.6) and par == mem == 0.0

    def test_value_types(self):
        h = [wl(cpu=fractions.Fraction(1, 2))] * 3 + [wl(cpu=True)] * 3
        assert vs.detect_workload_characteristics_change(h)[2] == pytest.approx(0.5)
        h = [wl()] * 5 + [wl(cpu=decimal.Decimal("1"))]
        with pytest.raises(TypeError):
            vs.detect_workload_characteristics_change(h)
        h = [wl()] * 5 + [wl(cpu="0.5")]
        with pytest.raises(TypeError):
            vs.detect_workload_characteristics_change(h)


class TestDominantPattern:
    @pytest.mark.parametrize(
        "patterns, window, expected",
        [
            (["a", "b", "b", "a"], 5, "a"),
            (["x", "a", "b", "b"], 3, "b"),
            (["b", "a", "a"], 5, "a"),
            (["a", "b", "c"], 1, "c"),
            (["a", "b", "c"], 0, "mixed"),
            (["a", "b", "c"], -3, "mixed"),
            (["a"], 2**31 - 1, "a"),
            ([], 5, "mixed"),
            (["mixed", "q"], 5, "mixed"),
        ],
    )
    def test_counts(self, patterns, window, expected):
        assert vs.detect_dominant_pattern(patterns, window) == expected

    def test_default_window_is_five(self):
        assert vs.detect_dominant_pattern(["z"] * 10 + ["a", "b", "c", "d", "e"]) == "a"

    def test_none_entries(self):
        assert vs.detect_dominant_pattern([None, "a", None]) is None
        assert vs.detect_dominant_pattern(["a", None, None, "a"]) == "a"

    def test_equal_strings_are_one_name(self):
        a1 = "".join(["pat", "tern"])
        a2 = "".join(["patt", "ern"])
        assert a1 is not a2
        assert vs.detect_dominant_pattern(["b", a1, a2]) == "pattern"
        assert vs.detect_dominant_pattern(["b", a1, a2]) is a1  # the first seen is the key

    def test_entry_types(self):
        with pytest.raises(TypeError, match="^object of type 'NoneType' has no len\\(\\)$"):
            vs.detect_dominant_pattern(None)
        with pytest.raises(TypeError, match="^Expected str, got int$"):
            vs.detect_dominant_pattern(["a", 1, "b"])
        with pytest.raises(TypeError, match="^Expected str, got MyStr$"):
            vs.detect_dominant_pattern(["a", MyStr("a")])
        # entries outside the window are never looked at
        assert vs.detect_dominant_pattern([1, MyStr("x"), "a"], 1) == "a"

    def test_long_window(self):
        names = [f"p{i}" for i in range(100_000)]
        assert vs.detect_dominant_pattern(names, len(names)) == "p0"
        assert vs.detect_dominant_pattern(names + ["p99999"], len(names) + 1) == "p99999"


# ---------------------------------------------------------------------------
# Adaptation decisions


def benefit(current="a", recommended="b", score=0.9, confidence=0.9, estimate=0.5, trigger=2, **kw):
    return vs.is_adaptation_beneficial(current, recommended, score, confidence, estimate, trigger, **kw)


class TestAdaptationBeneficial:
    def test_documented_cases(self):
        assert benefit(confidence=0.5) is False
        assert benefit(trigger=0, score=0.55) is True
        assert benefit(trigger=0, score=0.5) is False
        assert benefit(estimate=0.5, score=0.56) is True
        assert benefit(estimate=0.5, score=0.55) is False
        assert benefit(estimate=0.0, score=0.61) is True
        assert benefit(estimate=0.0, score=0.6) is False
        assert benefit(estimate=-1.0, score=0.61) is True

    def test_same_pool_first(self):
        assert benefit("a", "a", score=10.0, trigger=0) is False
        assert benefit("".join(["po", "ol"]), "pool", score=10.0, trigger=0) is False
        assert benefit(None, None, score=10.0, trigger=0) is False
        assert benefit(None, "a", trigger=0) is True
        assert benefit("a", None, trigger=0) is True

    def test_order_of_checks(self):
        # confidence is checked before the trigger and estimate rules
        assert benefit(confidence=0.1, trigger=0, score=0.99) is False
        assert benefit(confidence=0.1, estimate=0.0, score=0.99) is False
        # trigger 0 ignores the estimate and the improvement ratio
        assert benefit(trigger=0, estimate=100.0, score=0.51) is True
        # the fixed constants do not follow min_confidence
        assert benefit(trigger=0, score=0.55, min_confidence=0.0) is True
        assert benefit(estimate=0.0, score=0.55, min_confidence=0.0) is False
        # the ratio applies only to a positive estimate
        assert benefit(estimate=1.0, score=0.9, min_improvement_ratio=0.5) is True
        assert benefit(estimate=1.0, score=0.9, min_improvement_ratio=0.9) is False
        # confidence equal to the minimum passes
        assert benefit(confidence=0.6, trigger=0, score=0.9) is True

    def test_trigger_code_conversion(self):
        # only 0 is special; the code converts like a native 32-bit int
        assert benefit(trigger=-1, estimate=100.0, score=0.9) is False
        assert benefit(trigger=2**31 - 1, estimate=100.0, score=0.9) is False
        assert benefit(trigger=0.9, estimate=100.0, score=0.55) is True  # truncated to 0
        assert benefit(trigger=False, estimate=100.0, score=0.55) is True
        with pytest.raises(OverflowError, match="^value too large to convert to int$"):
            benefit(trigger=-(2**31) - 1)

    def test_nan_rules(self):
        assert benefit(confidence=NAN, trigger=0) is True
        assert benefit(min_confidence=NAN, trigger=0) is True
        assert benefit(trigger=0, score=NAN) is False
        assert benefit(estimate=0.5, score=NAN) is True
        assert benefit(estimate=0.5, min_improvement_ratio=NAN, score=0.0) is True
        assert benefit(estimate=NAN, score=0.61) is True
        assert benefit(estimate=NAN, score=0.6) is False


class TestThresholdDecisions:
    @pytest.mark.parametrize(
        "args, expected",
        [
            ((100.0, 130.0, 30.0), False),
            ((100.0, 129.9, 30.0), True),
            ((100.0, 200.0, 30.0), False),
            ((100.0, 50.0, 0.0), True),
            ((NAN, 130.0, 30.0), True),
            ((100.0, NAN, 30.0), True),
            ((100.0, 130.0, NAN), True),
            ((0.0, INF, 1e300), False),
        ],
    )
    def test_skip(self, args, expected):
        assert vs.should_skip_adaptation(*args) is expected

    @pytest.mark.parametrize(
        "args, expected",
        [
            ((81, 100), True),
            ((80, 100), False),
            ((50, 0), False),
            ((-1, 100), False),
            ((50, -10), False),
            ((50, NAN), False),
            ((NAN, 100), False),
            ((0, 100, -0.1), True),
            ((81, 100, NAN), False),
            ((50, 100, 0.4), True),
            ((1e308, 1e-308), True),
        ],
    )
    def test_memory_pressure(self, args, expected):
        assert vs.detect_memory_pressure(*args) is expected

    @pytest.mark.parametrize(
        "args, expected",
        [
            ((0.3,), False),
            ((0.31,), True),
            ((0.0,), False),
            ((-0.5, -1.0), False),
            ((-0.0, -1.0), True),
            ((NAN,), False),
            ((NAN, -1.0), False),
            ((0.0, NAN), True),
            ((0.5, 0.5), False),
            ((INF,), True),
        ],
    )
    def test_fragmentation(self, args, expected):
        assert vs.detect_fragmentation_threshold(*args) is expected


class TestScores:
    @pytest.mark.parametrize(
        "args, expected",
        [
            ((1.0, 1.0, 1.0, True), 1.0),
            ((0.5, 0.0, 0.0, False), 0.2),
            ((0.0, 0.0, 0.0, True), 0.15),
            ((0.0, 0.0, 0.0, False), 0.0),
            ((5.0, 0.0, 0.0, False), 0.4),
            ((-5.0, -1.0, -INF, False), 0.0),
            ((-5.0, -1.0, -INF, True), 0.15),
            ((0.0, 7.0, 0.0, False), 0.3),
            ((0.0, 0.0, 2.0, False), 0.15),
            ((NAN, 0.0, 0.0, False), 0.4),
            ((NAN, NAN, NAN, True), 1.0),
            ((INF, 0.0, 0.0, False), 0.4),
        ],
    )
    def test_urgency(self, args, expected):
        assert vs.calculate_adaptation_urgency(*args) == pytest.approx(expected, abs=1e-15)

    def test_urgency_weights_are_summed_in_order(self):
        assert vs.calculate_adaptation_urgency(0.5, 0.5, 0.5, False) == (0.3 * 0.5 + 0.4 * 0.5) + 0.15 * 0.5
        assert vs.calculate_adaptation_urgency(0.1, 0.2, 0.3, True) == (0.3 * 0.2 + 0.4 * 0.1) + 0.15 * 0.3 + 0.15

    @pytest.mark.parametrize(
        "args, expected",
        [
            ((1, 1, 1, 1), 1.0),
            ((1, 0, 0, 0), 0.35),
            ((2, -1, 0, 0), 0.35),
            ((0, 1, 0, 0), 0.3),
            ((0, 0, 1, 0), 0.2),
            ((0, 0, 0, 1), 0.15),
            ((NAN, NAN, NAN, NAN), 1.0),
            ((-INF, 0, 0, 0), 0.0),
            ((9, 9, 9, 9), 1.0),
        ],
    )
    def test_pool_score(self, args, expected):
        assert vs.score_pool_recommendation(*args) == pytest.approx(expected, abs=1e-15)

    def test_pool_score_grouping(self):
        a, b, c, d = 0.7, 0.3, 0.9, 0.1
        assert vs.score_pool_recommendation(a, b, c, d) == (0.3 * b + 0.2 * c) + (0.35 * a + 0.15 * d)


# ---------------------------------------------------------------------------
# Resource prediction


def even_history(n, size=100, step=1.0):
    return [(i * step, size) for i in range(n)]


class TestPredict:
    def test_documented_case(self):
        assert vs.predict_resource_requirements(even_history(10), 9.0) == (10, 1000, 0.08)
        assert vs.predict_resource_requirements(even_history(9), 9.0) == (0, 0, 0.0)
        assert vs.predict_resource_requirements([(5.0, 100)] * 10, 9.0) == (0, 0, 0.0)

    def test_result_types(self):
        a, b, c = vs.predict_resource_requirements(even_history(10), 9.0)
        assert type(a) is int and type(b) is int and type(c) is float
        assert vs.predict_resource_requirements(even_history(3), 9.0) == (0, 0, 0.0)

    def test_truncation_and_mean_size(self):
        h = [(i * 0.5, 10 + i) for i in range(10)]  # span 4.5, mean size 14.5
        alloc, total, conf = vs.predict_resource_requirements(h, 1.0)
        assert alloc == int(1.0 * 10 / 4.5) == 2
        assert total == int(145.0 * 2 / 10) == 29
        neg = vs.predict_resource_requirements(h, -1.0)
        assert neg[:2] == (-2, -29)  # toward zero

    def test_confidence(self):
        assert vs.predict_resource_requirements(even_history(50), 1.0)[2] == 50 * 0.008
        assert vs.predict_resource_requirements(even_history(99), 1.0)[2] == 99 * 0.008
        assert vs.predict_resource_requirements(even_history(100), 1.0)[2] == 0.8
        assert vs.predict_resource_requirements(even_history(1000), 1.0)[2] == 0.8

    def test_span_from_first_and_last_entries(self):
        h = even_history(10)
        h[0], h[-1] = (9.0, 100), (0.0, 100)  # last before first
        assert vs.predict_resource_requirements(h, 9.0) == (0, 0, 0.0)
        h = even_history(10)
        h[-1] = (NAN, 100)
        assert vs.predict_resource_requirements(h, 9.0) == (0, 0, 0.0)
        # only the ends set the span; the middle timestamps are only validated
        h = even_history(10)
        h[4] = (-1e9, 100)
        assert vs.predict_resource_requirements(h, 9.0) == (10, 1000, 0.08)

    def test_span_checked_before_walk(self):
        h = [(5.0, 100)] * 10
        h[4] = (1, 2, 3)
        h[6] = "bad"
        assert vs.predict_resource_requirements(h, 9.0) == (0, 0, 0.0)
        h = even_history(10)
        h[4] = (1, 2, 3)
        with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
            vs.predict_resource_requirements(h, 9.0)

    def test_first_end_read_before_last(self):
        h = even_history(10)
        h[0], h[-1] = ("x", 100), (None, 100)
        with pytest.raises(TypeError, match="str"):
            vs.predict_resource_requirements(h, 9.0)
        h[0] = (0.0, 100)
        with pytest.raises(TypeError, match="NoneType"):
            vs.predict_resource_requirements(h, 9.0)

    def test_list_cleared_while_reading_ends(self):
        h = even_history(10)

        class Clearing:
            def __float__(self):
                h.clear()
                return 0.0

        h[0] = (Clearing(), 100)
        with pytest.raises(IndexError):
            vs.predict_resource_requirements(h, 9.0)

    def test_saturation_limits_exact(self):
        # span 16 over 16 entries: the allocation count equals the horizon exactly
        h = [(float(i), 0) for i in range(15)] + [(16.0, 0)]
        below = 2.0**63 - 1024  # largest double below 2**63
        assert vs.predict_resource_requirements(h, below)[0] == int(below)
        assert vs.predict_resource_requirements(h, 2.0**63)[0] == 2**63 - 1
        assert vs.predict_resource_requirements(h, -(2.0**63))[0] == -(2**63)
        assert vs.predict_resource_requirements(h, -(2.0**63) - 2048)[0] == -(2**63)
        assert vs.predict_resource_requirements(h, 2.0**53 + 2)[0] == 2**53 + 2

    def test_indexed_ends(self):
        h = even_history(10)
        h[0] = {0: 0.0, 1: "ignored"}  # subscriptable; unpacks to its keys (0, 1)
        assert vs.predict_resource_requirements(h, 9.0) == (10, int((900 + 1) * 10 / 10), 0.08)
        h[0] = 7  # not subscriptable
        with pytest.raises(TypeError):
            vs.predict_resource_requirements(h, 9.0)

    def test_errors(self):
        with pytest.raises(TypeError, match="^object of type 'NoneType' has no len\\(\\)$"):
            vs.predict_resource_requirements(None, 1.0)
        assert vs.predict_resource_requirements([None] * 9, 1.0) == (0, 0, 0.0)
        h = even_history(10)
        h[3] = (3.0, "big")
        with pytest.raises(TypeError):
            vs.predict_resource_requirements(h, 9.0)

    def test_predictions_beyond_32_bits(self):
        # 4 GiB blocks: the byte prediction does not fit 32 bits
        h = even_history(10, size=4 * 2**30)
        assert vs.predict_resource_requirements(h, 9.0) == (10, 10 * 4 * 2**30, 0.08)
        # a long horizon gives more than 2**31 allocations
        alloc, total, _ = vs.predict_resource_requirements(even_history(10, size=3), 9.0 * 2**32)
        assert alloc == 10 * 2**32 and total == 3 * alloc

    def test_predictions_saturate(self):
        top, bottom = 2**63 - 1, -(2**63)
        assert vs.predict_resource_requirements(even_history(10), 1e300)[:2] == (top, top)
        assert vs.predict_resource_requirements(even_history(10), INF)[:2] == (top, top)
        assert vs.predict_resource_requirements(even_history(10), -1e300)[:2] == (bottom, bottom)
        assert vs.predict_resource_requirements(even_history(10, size=-1e300), 1e300)[:2] == (top, bottom)
        assert vs.predict_resource_requirements(even_history(10), NAN) == (0, 0, 0.08)
        assert vs.predict_resource_requirements(even_history(10, size=NAN), 9.0) == (10, 0, 0.08)
        # a zero prediction with infinite sizes is 0 * inf = NaN bytes, reported as 0
        assert vs.predict_resource_requirements(even_history(10, size=INF), 0.0) == (0, 0, 0.08)


# ---------------------------------------------------------------------------
# Result types on every path (0 and 0.0 compare equal, so check the types)


class TestResultTypes:
    def test_floats(self):
        for v in (
            vs.calculate_performance_trend(None, 0.0),
            vs.calculate_performance_trend([(0, 1)] * 3, 0.0),
            vs.calculate_performance_trend([(0.0, -10.0), (1.0, 10.0), (2.0, 30.0)], 0.0),
            vs.calculate_adaptation_urgency(0, 0, 0, False),
            vs.calculate_adaptation_urgency(9, 9, 9, True),
            vs.score_pool_recommendation(0, 0, 0, 0),
            vs.score_pool_recommendation(9, 9, 9, 9),
        ):
            assert type(v) is float

    def test_tuples(self):
        for h in ([], [wl()] * 6, [wl(cpu=1)] * 3 + [wl()] * 3, [{"cpu_intensity": 1}] * 6):
            r = vs.detect_workload_characteristics_change(h)
            assert type(r) is tuple and type(r[0]) is bool
            assert [type(x) for x in r[1:]] == [float] * 3
        for h, horizon in ((even_history(3), 1.0), ([(1.0, 1)] * 10, 1.0), (even_history(10), NAN)):
            r = vs.predict_resource_requirements(h, horizon)
            assert type(r) is tuple and [type(x) for x in r] == [int, int, float]
