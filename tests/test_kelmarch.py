"""talvora.plugins.analyzer.kelmarch: indicator counts, framework scores, estimates."""

import inspect
import math
import re
import subprocess
import sys
import threading
from fractions import Fraction as F

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from talvora.plugins.analyzer import kelmarch as k

NAN = float("nan")
FUNCS = [
    "quick_framework_score",
    "score_indicators",
    "normalize_scores",
    "score_framework_patterns",
    "determine_workload_pattern",
    "calculate_gpu_suitability",
    "estimate_gpu_speedup",
    "calculate_parallelization_potential",
    "update_adaptive_threshold",
]

# Reference data: the ten tables and the three framework patterns.
TABLES = {
    "cpu": "for while range numpy scipy math calculation compute algorithm sum prod dot matmul fft linalg",
    "memory": "array list dict pandas dataframe allocate buffer cache append extend",
    "parallel": "multiprocessing threading concurrent async parallel pool worker chunk batch "
    "processpoolexecutor threadpoolexecutor",
    "gpu_op": "matmul dot tensordot @ fft ifft rfft convolve correlate sum mean std var sin cos exp log sqrt "
    "power ** add subtract multiply divide / * + - linalg linear_algebra array asarray zeros ones empty full",
    "large_data": "reshape resize huge large gigabyte gb million billion 1e6 1e9 1024 megabyte mb",
    "embarrassing": "workload benchmark intensive chunk_workload map apply vectorize broadcast",
    "sequential": "global nonlocal lock mutex synchronized sequential ordered dependencies",
    "numpy": "numpy np. ndarray array matrix vectorize broadcast ufunc dot matmul linalg fft sum mean std var "
    "min max argmax argmin reshape transpose concatenate stack split",
    "pandas": "pandas pd. dataframe series groupby apply agg transform merge join concat pivot melt query eval "
    "rolling resample sort_values",
    "sklearn": "sklearn fit predict transform score cross_val gridsearchcv randomizedsearchcv pipeline "
    "featureunion train_test_split classification regression clustering preprocessing model_selection "
    "metrics ensemble",
}
TABLES = {name: text.split() for name, text in TABLES.items()}
PATTERNS = {
    "numpy": r"\b(numpy|np\.|ndarray|array|vectorize|matmul|linalg)\b",
    "pandas": r"\b(pandas|pd\.|DataFrame|Series|groupby|merge|pivot)\b",
    "sklearn": r"\b(sklearn|fit|predict|transform|GridSearchCV|RandomForest)\b",
}
SEVEN = ["cpu", "memory", "parallel", "gpu_op", "large_data", "embarrassing", "sequential"]


def ref_indicators(code, name):
    low = code.lower()
    fl = name.lower() if isinstance(name, str) and name else ""
    both = {"gpu_op", "embarrassing"}
    return tuple(sum(1 for e in TABLES[t] if e in low or (t in both and e in fl)) for t in SEVEN)


def ref_frameworks(code):
    low = code.lower()
    n = [sum(1 for e in TABLES[t] if e in low) for t in ("numpy", "pandas", "sklearn")]
    return (
        max(min(n[0] * 0.04, 1.0), 0.0),
        max(min(n[1] * 0.05555555555555555, 1.0), 0.0),
        max(min(n[2] * 0.05555555555555555, 1.0), 0.0),
    )


def fused(a, b, c):
    """a * b + c rounded once."""
    return float(F(a) * F(b) + F(c))


# Text rich in indicator fragments, case changes and non-ASCII characters.
FRAGMENTS = sorted({e for t in TABLES.values() for e in t} | {e[: len(e) // 2] for t in TABLES.values() for e in t})
code_text = st.lists(
    st.one_of(
        st.sampled_from(FRAGMENTS),
        st.sampled_from(FRAGMENTS).map(str.upper),
        st.sampled_from([" ", ".", "(", "\n", "\u212a", "\u0130", "\u00e9", "\u03a3", "\U0001f600", "\ud800"]),
        st.text(max_size=3),
    ),
    max_size=30,
).map("".join)


class TestModule:
    def test_namespace_and_introspection(self):
        for name in FUNCS:
            f = getattr(k, name)
            assert f.__name__ == name and f.__module__ == "talvora.plugins.analyzer.kelmarch"
            assert f.__defaults__ is None and f.__annotations__ == {}
        assert not hasattr(k, "_framework_patterns")
        assert k.re is re and k.logger.name == "talvora.plugins.analyzer.kelmarch"
        first = {name: getattr(k, name).__doc__.splitlines()[0] for name in FUNCS}
        assert first == {
            "quick_framework_score": "Fast pattern scoring using precompiled regex.",
            "score_indicators": "Score code against all indicator categories.",
            "normalize_scores": "Normalize indicator scores to 0.0-1.0 range.",
            "score_framework_patterns": "Score code for framework-specific patterns.",
            "determine_workload_pattern": "Determine primary workload pattern from scores.",
            "calculate_gpu_suitability": "Calculate overall GPU suitability score.",
            "estimate_gpu_speedup": "Estimate GPU speedup from static code analysis.",
            "calculate_parallelization_potential": "Calculate parallelization potential score.",
            "update_adaptive_threshold": "Update adaptive threshold based on performance feedback.",
        }
        doc = k.determine_workload_pattern.__doc__
        for name in [
            "MIXED",
            "CPU_INTENSIVE",
            "MEMORY_INTENSIVE",
            "PARALLEL_FRIENDLY",
            "SEQUENTIAL",
            "GPU_SUITABLE",
            "GPU_COMPUTE_INTENSIVE",
            "GPU_MEMORY_BOUND",
            "NUMPY_VECTORIZED",
            "NUMPY_LINALG",
            "PANDAS_DATAFRAME",
            "PANDAS_GROUPBY",
            "SKLEARN_TRAINING",
            "SKLEARN_INFERENCE",
        ]:
            assert name in doc

    def test_parameter_names(self):
        want = {
            "quick_framework_score": "code framework",
            "score_indicators": "code function_name",
            "normalize_scores": "cpu_score memory_score parallel_score gpu_op_score large_data_score",
            "score_framework_patterns": "code",
            "determine_workload_pattern": "cpu_intensity memory_intensity parallelization_potential "
            "gpu_suitability gpu_operation_score numpy_score pandas_score sklearn_score sequential_count "
            "embarrassing_count cpu_threshold memory_threshold gpu_threshold numpy_threshold pandas_threshold "
            "sklearn_threshold gpu_available",
            "calculate_gpu_suitability": "gpu_operation_score gpu_data_size_score cpu_intensity gpu_available "
            "compute_capability",
            "estimate_gpu_speedup": "gpu_operation_score gpu_data_size_score gpu_available",
            "calculate_parallelization_potential": "base_parallel_score embarrassing_bonus sequential_penalty "
            "loop_chunking_potential",
            "update_adaptive_threshold": "current_threshold success_rate learning_rate min_threshold max_threshold",
        }
        for name, params in want.items():
            sig = inspect.signature(getattr(k, name))
            assert list(sig.parameters) == params.split(), name
            assert all(p.default is p.empty and p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
        # Every argument by keyword, in an order other than the declared one.
        kw = dict(zip(want["determine_workload_pattern"].split(), [0.0] * 8 + [0, 0] + [0.5] * 6 + [False]))
        kw["sequential_count"] = 3
        assert k.determine_workload_pattern(**dict(reversed(kw.items()))) == 4
        assert (
            k.calculate_gpu_suitability(
                compute_capability="5.0",
                gpu_available=True,
                cpu_intensity=0.0,
                gpu_data_size_score=0.0,
                gpu_operation_score=0.5,
            )
            == 0.8 * 0.3
        )
        assert (
            k.calculate_parallelization_potential(
                loop_chunking_potential=0.0, sequential_penalty=0.0, embarrassing_bonus=0.0, base_parallel_score=0.25
            )
            == 0.25
        )
        assert (
            k.update_adaptive_threshold(
                max_threshold=0.9, min_threshold=0.1, learning_rate=0.25, success_rate=0.9, current_threshold=0.5
            )
            == 0.75
        )
        assert k.normalize_scores(
            large_data_score=13, gpu_op_score=0, parallel_score=0, memory_score=0, cpu_score=0
        ) == (0.0, 0.0, 0.0, 0.0, 1.0)
        assert k.score_framework_patterns(code="sklearn") == (0.0, 0.0, 0.05555555555555555)
        assert k.quick_framework_score(framework="pandas", code="pandas") == 0.1

    def test_quoted_docstring_texts(self):
        assert "<100us for typical code snippets" in k.quick_framework_score.__doc__
        for name in ("calculate_gpu_suitability", "estimate_gpu_speedup"):
            doc = getattr(k, name).__doc__
            assert "Score based on GPU-friendly operations (0.0-1.0)" in doc
            assert "Score based on data size indicators (0.0-1.0)" in doc
        assert "CPU intensity score (0.0-1.0)" in k.calculate_gpu_suitability.__doc__
        assert '"8.6"' in k.calculate_gpu_suitability.__doc__
        assert "Score from parallel indicators (0.0-1.0)" in k.calculate_parallelization_potential.__doc__
        assert "framework detection accuracy" in k.update_adaptive_threshold.__doc__

    def test_patterns_compiled_at_import(self, monkeypatch):
        def boom(*args, **kwargs):
            raise AssertionError("re used at call time")

        for name in ("compile", "findall", "search", "finditer", "match"):
            monkeypatch.setattr(re, name, boom)
        assert k.quick_framework_score("import numpy as np\nx = np.array([1])", "numpy") == 0.30000000000000004
        assert k.quick_framework_score("GridSearchCV RandomForest fit", "sklearn") == 0.30000000000000004

    def test_code_type_checked_before_lookup(self):
        # The argument check comes first, so an unknown framework does not hide a wrong `code` type.
        for bad in (b"numpy", 3, ["numpy"]):
            with pytest.raises(
                TypeError, match=r"^Argument 'code' has incorrect type \(expected str, got %s\)$" % type(bad).__name__
            ):
                k.quick_framework_score(bad, "torch")
        with pytest.raises(TypeError, match="^expected string or bytes-like object") as info:
            k.quick_framework_score(None, "sklearn")
        assert info.traceback[-1].frame.code.name == "talvora.plugins.analyzer.kelmarch.quick_framework_score"

    def test_result_types(self):
        # Integer-valued floats compare equal to ints, so the types are checked apart from the values.
        def types(t):
            return tuple(type(v) for v in t)

        assert types(k.score_indicators("for list", "")) == (int,) * 7
        assert types(k.normalize_scores(0, 10, 0, 36, 13)) == (float,) * 5
        assert types(k.score_framework_patterns("")) == (float,) * 3
        assert type(k.score_framework_patterns(" ".join(TABLES["numpy"]))[0]) is float
        for fw in ("numpy", "torch"):
            assert type(k.quick_framework_score("numpy " * 20, fw)) is float
        assert type(k.calculate_gpu_suitability(1, 1, 1, True, None)) is float
        assert type(k.calculate_gpu_suitability(1, 1, 1, False, None)) is float
        for args in ((0, 0, True), (1, 0, False), (1, 1, True)):
            assert type(k.estimate_gpu_speedup(*args)) is float
        assert type(k.calculate_parallelization_potential(5, 0, 0, 0)) is float
        assert type(k.calculate_parallelization_potential(-5, 0, 0, 0)) is float
        assert type(k.update_adaptive_threshold(0, 0.6, 0, 1, 2)) is float

    def test_load_line_once(self):
        script = (
            "import logging, sys\n"
            "logging.basicConfig(level=logging.INFO, stream=sys.stdout, format='%(name)s|%(message)s')\n"
            "import talvora.plugins.analyzer.kelmarch\n"
            "import importlib; importlib.import_module('talvora.plugins.analyzer.kelmarch')\n"
        )
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
        assert out.splitlines() == [
            "talvora.plugins.analyzer.kelmarch|Talvora Workload Algorithms Cython module loaded - IP protected"
        ]

    def test_argument_counts_and_keywords(self):
        with pytest.raises(
            TypeError,
            match=r"^quick_framework_score\(\) takes exactly 2 positional arguments "
            r"\(1 given\)$",
        ):
            k.quick_framework_score("x")
        with pytest.raises(
            TypeError,
            match=r"^determine_workload_pattern\(\) takes exactly 17 positional "
            r"arguments \(18 given\)$",
        ):
            k.determine_workload_pattern(*[0] * 18)
        with pytest.raises(TypeError, match=r"^score_framework_patterns\(\) got an unexpected keyword argument"):
            k.score_framework_patterns(text="")
        assert k.score_indicators(function_name="f", code="for") == (1, 0, 0, 0, 0, 0, 0)
        assert k.estimate_gpu_speedup(gpu_available=1, gpu_data_size_score=0, gpu_operation_score=0.9) == 15.0

    @pytest.mark.parametrize(
        "call",
        [
            lambda v: k.quick_framework_score(v, "numpy"),
            lambda v: k.quick_framework_score("", v),
            lambda v: k.score_indicators(v, ""),
            lambda v: k.score_indicators("", v),
            lambda v: k.score_framework_patterns(v),
            lambda v: k.calculate_gpu_suitability(0, 0, 0, False, v),
        ],
    )
    def test_str_arguments_exact(self, call):
        class S(str):
            pass

        for bad in (b"numpy", S("numpy"), 8, ["x"]):
            with pytest.raises(
                TypeError, match=r"^Argument '\w+' has incorrect type \(expected str, got %s\)$" % type(bad).__name__
            ):
                call(bad)

    def test_none_arguments(self):
        assert k.quick_framework_score(None, "pandas_x") == 0.0
        assert k.quick_framework_score("numpy numpy", None) == 0.0
        with pytest.raises(TypeError):  # from the regular-expression engine
            k.quick_framework_score(None, "numpy")
        for call in (lambda: k.score_indicators(None, "f"), lambda: k.score_framework_patterns(None)):
            with pytest.raises(TypeError, match="'code'"):
                call()
        # Both arguments are type-checked before a None `code` is refused.
        with pytest.raises(TypeError, match=r"^Argument 'function_name' has incorrect type \(expected str, got int\)$"):
            k.score_indicators(None, 5)
        assert k.score_indicators("@", None) == k.score_indicators("@", "") == (0, 0, 0, 1, 0, 0, 0)


class TestCounting:
    def test_quick_framework_score(self):
        assert k.quick_framework_score("import numpy as np\nx = np.array([1])", "numpy") == 0.30000000000000004
        assert k.quick_framework_score("numpy " * 12, "numpy") == 1.0
        assert k.quick_framework_score("DataFrame SERIES pd.read", "pandas") == 0.30000000000000004
        assert k.quick_framework_score("np. np.(", "numpy") == 0.0  # a word character must follow the dot
        assert k.quick_framework_score("fitting", "sklearn") == 0.0
        assert k.score_framework_patterns("fitting")[2] == 0.05555555555555555
        for fw in ("torch", "NUMPY", "", "numpy "):
            assert k.quick_framework_score("numpy array", fw) == 0.0

    @settings(max_examples=300, deadline=None)
    @given(code_text, st.sampled_from(["numpy", "pandas", "sklearn"]))
    def test_quick_score_matches_findall(self, code, fw):
        n = len(re.findall(PATTERNS[fw], code, re.IGNORECASE))
        assert k.quick_framework_score(code, fw) == min(n * 0.1, 1.0)

    def test_indicator_examples(self):
        assert k.score_indicators("", "") == (0,) * 7
        assert k.score_indicators("x = a @ b", "matmul_kernel")[3] == 2
        assert k.score_indicators("for i in x:\n" * 100, "")[0] == 1
        assert k.score_indicators("print(format(x))", "")[0] == 1  # "for" inside a word
        # Only gpu_op and embarrassing look at the function name.
        assert k.score_indicators("", "for_list_pool_huge_lock_map_sum") == (0, 0, 0, 1, 0, 1, 0)
        full = {t: " ".join(TABLES[t]) for t in SEVEN}
        assert k.score_indicators(" ".join(full.values()), "") == (15, 10, 11, 36, 13, 8, 8)
        assert k.score_framework_patterns(" ".join(TABLES["numpy"] + TABLES["pandas"] + TABLES["sklearn"])) == (
            1.0,
            1.0,
            1.0,
        )

    def test_unicode_lowering(self):
        # Lower-casing is str.lower: the Kelvin sign becomes "k", U+0130 "i" plus a combining dot.
        assert k.score_indicators("loc\u212a", "")[6] == 1
        assert k.score_indicators("L\u0130ST", "")[1] == 0
        assert k.score_indicators("\u00e9 FOR \U0001f600", "WORKLOAD\u00e9")[0::5] == (1, 1)
        assert k.score_indicators("f\u00f6r", "") == (0,) * 7

    @settings(max_examples=400, deadline=None)
    @given(code_text, st.one_of(st.none(), code_text))
    def test_counts_match_reference(self, code, name):
        assert k.score_indicators(code, name) == ref_indicators(code, name)
        assert k.score_framework_patterns(code) == ref_frameworks(code)

    def test_large_text_from_threads(self):
        code = ("x = y * z\n" * 5000) + "multiprocessing DataFrame \u212a" + "lock" * 3
        want = ref_indicators(code, "bench")
        results = []

        def work():
            for _ in range(5):
                results.append((k.score_indicators(code, "bench"), k.score_framework_patterns(code)))

        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert results == [(want, ref_frameworks(code))] * 20

    def test_normalize_scores(self):
        assert k.normalize_scores(15, 10, 11, 36, 13) == (1.0,) * 5
        assert k.normalize_scores(30, -5, 0, 1, 1) == (1.0, 0.0, 0.0, 0.027777777777777776, 0.07692307692307693)
        assert k.normalize_scores(1, 1, 1, 0, 0)[:3] == (0.06666666666666667, 0.1, 0.09090909090909091)
        assert k.normalize_scores(2.9, True, 0, 0, 0)[:2] == (2 * (1 / 15), 0.1)
        with pytest.raises(OverflowError, match="^value too large to convert to int$"):
            k.normalize_scores(0, 0, 0, 0, 2**31)
        with pytest.raises(TypeError, match="^an integer is required$"):
            k.normalize_scores("2", 0, 0, 0, 0)

    def test_scaled_by_reciprocals(self):
        # count * (1/size) differs from count / size for these counts (3 * 0.1 is 0.30000000000000004).
        sizes = (15, 10, 11, 36, 13)
        for n in (3, 5, 7, 11, 14):
            assert k.normalize_scores(n, n, n, n, n) == tuple(min(n * (1 / s), 1.0) for s in sizes)
        assert k.normalize_scores(0, 3, 10, 7, 11)[1:] == (
            0.30000000000000004,
            0.9090909090909092,
            0.19444444444444442,
            0.8461538461538463,
        )
        seven = " ".join(TABLES["sklearn"][:7])
        assert k.score_framework_patterns(seven)[2] == 7 * 0.05555555555555555 == 0.38888888888888884
        assert k.score_framework_patterns(" ".join(TABLES["pandas"][:11]))[1] == 0.611111111111111

    @pytest.mark.parametrize("wide", ["", "\u00e9", "\u0100", "\U0001f600"])
    def test_long_text_windows(self, wide):
        # Long texts are scanned in windows; entries straddling every quarter of the text must be found.
        n = 40001
        word = "ProcessPoolExecutor"  # counts with "pool" in the parallel table
        for quarter in (1, 2, 3):
            b = n * quarter // 4
            for start in range(b - len(word), b + 2):
                code = "#" * start + word + "#" * (n - start) + wide
                assert k.score_indicators(code, "")[2] == 2, (quarter, start)
        edges = "sum" + "#" * n + "SORT_VALUES" + wide
        assert k.score_indicators(edges, "") == ref_indicators(edges, "")
        assert k.score_framework_patterns(edges) == ref_frameworks(edges)


def pattern(**kw):
    args = dict(
        cpu_intensity=0.0,
        memory_intensity=0.0,
        parallelization_potential=0.0,
        gpu_suitability=0.0,
        gpu_operation_score=0.0,
        numpy_score=0.0,
        pandas_score=0.0,
        sklearn_score=0.0,
        sequential_count=0,
        embarrassing_count=0,
        cpu_threshold=0.5,
        memory_threshold=0.5,
        gpu_threshold=0.5,
        numpy_threshold=0.5,
        pandas_threshold=0.5,
        sklearn_threshold=0.5,
        gpu_available=False,
    )
    args.update(kw)
    return k.determine_workload_pattern(*args.values())


class TestWorkloadPattern:
    def test_rules_in_order(self):
        # Each step adds a condition for an earlier rule, which then shadows the rest.
        steps = [
            ({}, 0),
            (dict(sequential_count=3), 4),
            (dict(memory_intensity=0.6), 2),
            (dict(cpu_intensity=0.6), 1),
            (dict(parallelization_potential=0.61), 3),
            (dict(gpu_suitability=0.8), 3),
            (dict(gpu_available=True), 7),
            (dict(gpu_operation_score=0.9), 7),
            (dict(cpu_intensity=0.7), 6),
            (dict(numpy_score=0.9), 8),
            (dict(pandas_score=0.9), 10),
            (dict(sklearn_score=0.9), 12),
        ]
        kw = {}
        for change, code in steps:
            kw.update(change)
            assert pattern(**kw) == code, kw
        assert pattern(embarrassing_count=1, cpu_intensity=0.9) == 3
        assert pattern(sequential_count=2) == 0 and pattern(parallelization_potential=0.6) == 0
        assert pattern(gpu_available=True, gpu_suitability=0.8) == 5
        assert pattern(gpu_available=True, gpu_suitability=0.5, cpu_intensity=0.9) == 1
        assert type(pattern()) is int

    def test_nan_never_holds(self):
        assert (
            pattern(
                sklearn_score=NAN,
                pandas_threshold=NAN,
                numpy_score=NAN,
                cpu_intensity=NAN,
                parallelization_potential=NAN,
                memory_threshold=NAN,
                memory_intensity=0.9,
            )
            == 0
        )
        assert pattern(gpu_available=True, gpu_suitability=0.9, gpu_operation_score=NAN, memory_intensity=NAN) == 5
        assert pattern(gpu_available=True, gpu_suitability=NAN, cpu_intensity=0.9) == 1
        assert pattern(gpu_available=True, gpu_suitability=0.9, gpu_threshold=NAN, memory_intensity=0.9) == 2

    def test_comparisons_are_strict(self):
        # A score equal to its threshold (or to a fixed bound) does not hold.
        assert pattern(sklearn_score=0.5) == pattern(pandas_score=0.5) == pattern(numpy_score=0.5) == 0
        assert pattern(sklearn_score=0.7, sklearn_threshold=0.7, pandas_score=0.71, pandas_threshold=0.7) == 10
        assert pattern(numpy_score=0.50001) == 8
        assert pattern(cpu_intensity=0.5) == 0 and pattern(memory_intensity=0.5) == 0
        gpu = dict(gpu_available=True, gpu_suitability=0.9)
        assert pattern(**gpu, gpu_operation_score=0.7, cpu_intensity=0.9) == 5
        assert pattern(**gpu, gpu_operation_score=0.71, cpu_intensity=0.61) == 6
        assert pattern(**gpu, memory_intensity=0.5) == 5 and pattern(**gpu, memory_intensity=0.51) == 7
        assert pattern(embarrassing_count=-1, sequential_count=3) == 4
        assert pattern(parallelization_potential=0.6000000000000001) == 3

    def test_conversions(self):
        class BadBool:
            def __bool__(self):
                raise ZeroDivisionError("no truth")

        with pytest.raises(ZeroDivisionError):
            pattern(sklearn_score=0.9, gpu_available=BadBool())
        assert pattern(embarrassing_count=1.9) == 3 and pattern(gpu_available=[1], gpu_suitability=1) == 5
        with pytest.raises(OverflowError, match="^value too large to convert to int$"):
            pattern(sequential_count=-(2**31) - 1)
        with pytest.raises(TypeError):
            pattern(cpu_threshold="0.5")


class TestEstimates:
    def test_gpu_suitability_examples(self):
        assert k.calculate_gpu_suitability(1.0, 1.0, 1.0, True, "8.6") == 1.0
        assert k.calculate_gpu_suitability(0.5, 0.5, 0.5, True, None) == 0.65
        assert k.calculate_gpu_suitability(0.5, 0.5, 0.5, True, "5.2") == 0.52
        assert k.calculate_gpu_suitability(0.5, 0.5, 0.5, True, "7.5") == 0.7150000000000001
        assert k.calculate_gpu_suitability(0.5, 0.5, 0.5, True, "6.1") == 0.65
        assert k.calculate_gpu_suitability(1.0, 1.0, 1.0, False, "8.6") == 0.0
        with pytest.raises(
            TypeError,
            match=r"^Argument 'compute_capability' has incorrect type \(expected str, "
            r"got int\)$",
        ):
            k.calculate_gpu_suitability(1.0, 1.0, 1.0, False, 8)
        # Arguments convert in order: scores, the truth value, then the capability type.
        with pytest.raises(TypeError, match="real number"):
            k.calculate_gpu_suitability("x", 0, 0, False, 8)
        with pytest.raises(ZeroDivisionError):
            k.calculate_gpu_suitability(0, 0, 0, type("B", (), {"__bool__": lambda s: 1 / 0})(), 8)

    @pytest.mark.parametrize(
        "cap, mult",
        [
            ("abc", 1.0),
            ("8a.0", 1.0),
            ("", 1.0),
            (".5", 1.0),
            ("8", 1.2),
            (" 9 .0", 1.2),
            ("1_0.0", 1.2),
            ("\u0668.6", 1.2),
            ("-1.0", 0.8),
            ("7", 1.1),
            ("7.5.1", 1.1),
            ("\ud800", 1.0),
        ],
    )
    def test_capability_parse(self, cap, mult):
        assert k.calculate_gpu_suitability(0.25, 0.25, 0.0, True, cap) == mult * 0.25

    def test_capability_overflow_and_nan(self):
        with pytest.raises(OverflowError, match="^value too large to convert to int$") as info:
            k.calculate_gpu_suitability(0.5, 0.5, 0.5, True, "99999999999.0")
        assert info.traceback[-1].frame.code.name == "talvora.plugins.analyzer.kelmarch.calculate_gpu_suitability"
        assert k.calculate_gpu_suitability(NAN, 0.0, 0.0, True, None) == 1.0
        assert k.calculate_gpu_suitability(0.0, NAN, 0.0, True, None) == 1.0
        assert k.calculate_gpu_suitability(0.0, 0.0, NAN, True, None) == 0.3
        assert k.calculate_gpu_suitability(-1.0, 0.0, -5.0, True, "8.0") == 0.0
        # Without a GPU the capability is never parsed: no overflow, no multiplier.
        assert k.calculate_gpu_suitability(0.5, 0.5, 0.5, False, "99999999999.0") == 0.0
        assert k.calculate_gpu_suitability(0.5, 0.5, 0.5, [], "8.6") == 0.0
        # The CPU term is capped at 0.3 before the multiplier; the product is clamped afterwards.
        assert k.calculate_gpu_suitability(0.0, 0.0, 100.0, True, "5.0") == 0.8 * 0.3
        assert k.calculate_gpu_suitability(0.0, 0.0, 100.0, True, "8.0") == 1.2 * 0.3

    def test_gpu_suitability_fused(self):
        differs = 0
        for i in range(1, 60):
            op, data, cpu = i / 61, (61 - i) / 67, i / 97
            cpu_term = max(min(cpu * 0.3, 0.3), 0.0)
            base = fused(data, 0.4, op * 0.6)
            differs += base != data * 0.4 + op * 0.6
            assert k.calculate_gpu_suitability(op, data, cpu, True, "7.0") == max(
                min(1.1 * (base + cpu_term), 1.0), 0.0
            )
        assert differs

    def test_gpu_speedup(self):
        cases = [
            ((0.9, 1.0, True), 22.5),
            ((0.7, 0.0, True), 8.0),
            ((0.5, 0.5, True), 5.0),
            ((0.2, 0.0, True), 2.0),
            ((0.0, 1.0, True), 1.0),
            ((0.9, 1.0, False), 1.0),
            ((0.8, 0.0, True), 8.0),
            ((0.3, 0.0, True), 2.0),
            ((0.6, 0.0, True), 4.0),
            ((NAN, 0.0, True), 2.0),
            ((-0.1, 0.0, True), 2.0),
            ((0.9, -4.0, True), -15.0),
            ((-0.0, 1.0, True), 1.0),
            ((0.9, 1.0, None), 1.0),
            ((0.31, 1.0, True), 6.0),
        ]
        for args, want in cases:
            assert k.estimate_gpu_speedup(*args) == want, args
        assert math.isnan(k.estimate_gpu_speedup(0.5, NAN, True))
        differs = 0
        for i in range(1, 80):
            data = i / 83
            want = fused(data * 0.5, 15.0, 15.0)
            differs += want != 15.0 + (data * 0.5) * 15.0
            assert k.estimate_gpu_speedup(0.95, data, True) == want
        assert differs

    def test_parallelization_potential(self):
        assert k.calculate_parallelization_potential(0.5, 0.0, 0.0, 0.0) == 0.5
        assert k.calculate_parallelization_potential(0.5, 10.0, 0.0, 0.0) == 1.0
        assert k.calculate_parallelization_potential(0.2, 0.0, 5.0, 0.0) == 0.0
        assert k.calculate_parallelization_potential(0.0, NAN, 0.0, 0.0) == 0.7
        assert k.calculate_parallelization_potential(0.6, 0.0, NAN, 0.0) == 0.6 - 0.5
        assert k.calculate_parallelization_potential(NAN, 0.0, 0.0, 0.0) == 1.0
        assert k.calculate_parallelization_potential(0.0, 0.0, 0.0, NAN) == 1.0
        assert k.calculate_parallelization_potential(0.0, -3.0, -3.0, 2.0) == 0.8
        differs = 0
        for i in range(1, 80):
            base, bonus, pen, chunk = i / 173, i / 89, (80 - i) / 71, (80 - i) / 131
            x0 = (max(min(bonus * 0.3, 0.7), 0.0) + base) - max(min(pen * 0.2, 0.5), 0.0)
            want = fused(chunk, 0.4, x0)
            differs += want != x0 + chunk * 0.4
            assert k.calculate_parallelization_potential(base, bonus, pen, chunk) == max(min(want, 1.0), 0.0)
        assert differs

    def test_adaptive_threshold(self):
        u = k.update_adaptive_threshold
        assert u(0.5, 0.9, 0.05, 0.1, 0.9) == 0.55
        assert u(0.5, 0.3, 0.05, 0.1, 0.9) == 0.45
        assert u(0.5, 0.6, 0.05, 0.1, 0.9) == 0.5
        assert u(0.5, 0.8, 0.05, 0.1, 0.9) == 0.5 and u(0.5, 0.4, 0.05, 0.1, 0.9) == 0.5
        assert u(0.9, 0.9, 0.05, 0.1, 0.9) == 0.9
        assert u(0.12, 0.1, 0.05, 0.1, 0.9) == 0.1
        assert u(0.5, NAN, 0.05, 0.1, 0.9) == 0.45
        assert u(NAN, 0.9, 0.05, 0.1, 0.9) == 0.1 and u(0.5, 0.9, NAN, 0.1, 0.9) == 0.1
        assert u(0.5, 0.9, 0.05, 0.1, NAN) == 0.55
        assert u(0.5, 0.6, 0.0, NAN, 0.9) == 0.5 and math.isnan(u(NAN, 0.6, 0.0, NAN, 0.9))
        assert u(0.0, 0.6, 0.0, 0.5, 0.2) == 0.5 and u(0.7, 0.6, 0.0, 0.5, 0.2) == 0.2
        assert u(3, 1, 2, 0, 100) == 5.0 and type(u(3, 1, 2, 0, 100)) is float
        with pytest.raises(TypeError):
            u("0.5", 0.9, 0.05, 0.1, 0.9)
