"""The talvora command line: analyze and plan."""

import io
import json
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest
from support.cli_runs import run, without_time

from talvora.cli import common, discovery, main, ranking, reading, scan, scoring, streaming, tables
from talvora.cli.plan import PLAN_SCHEMA_VERSION, chunk_groups, format_plan, parse_shape, parse_size, plan_allocation
from talvora.cli.scoring import analyze_source
from talvora.plugins.analyzer import PATTERN_NAMES


def write(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(text))
    return path


def functions_of(source, **options):
    return {f.qualname: f for f in analyze_source(textwrap.dedent(source), **options)}


def loops(source):
    """The loop chunking potential of the first function of `source`."""
    import ast

    return scan.find_functions(ast.parse(textwrap.dedent(source)))[0][2]


# ---------------------------------------------------------------------------
# Finding and scoring functions


class TestAnalyzeSource:
    def test_finds_every_function_with_qualified_names_in_source_order(self):
        found = analyze_source(
            textwrap.dedent("""\
            def top():
                def inner():
                    pass
                return inner

            class Shape:
                def area(self):
                    return 0

                class Unit:
                    async def fetch(self):
                        pass

            x = lambda: 0
            """)
        )
        assert [(f.qualname, f.line) for f in found] == [
            ("top", 1),
            ("top.<locals>.inner", 2),
            ("Shape.area", 7),
            ("Shape.Unit.fetch", 11),
        ]

    def test_scores_follow_the_function_source_and_name(self):
        f = functions_of("""\
            import numpy as np

            def matmul_kernel(a, b):
                return a @ b
            """)["matmul_kernel"]
        # The text includes the def line: "matmul" (cpu and gpu-op) and "@" (gpu-op).
        assert f.indicators == {
            "cpu": 1,
            "memory": 0,
            "parallel": 0,
            "gpu_op": 2,
            "large_data": 0,
            "embarrassing": 0,
            "sequential": 0,
        }
        assert f.normalized["gpu_operation_score"] == 2 * 0.027777777777777776
        # "matmul" only: the module-level numpy import is outside the function.
        assert f.frameworks == {"numpy": 0.04, "pandas": 0.0, "sklearn": 0.0}

    def test_decorators_and_siblings_do_not_leak_into_a_function(self):
        found = functions_of("""\
            @parallel_pool
            def plain(x):
                return x

            def other():
                import multiprocessing
            """)
        assert found["plain"].indicators["parallel"] == 0
        assert found["other"].indicators["parallel"] == 1

    def test_framework_heavy_functions_are_classified(self):
        found = functions_of("""\
            def train(features, labels):
                from sklearn.model_selection import train_test_split, GridSearchCV
                from sklearn.pipeline import Pipeline
                x, xt, y, yt = train_test_split(features, labels)
                search = GridSearchCV(Pipeline([]), {})
                search.fit(x, y)
                return search.predict(xt), search.score(xt, yt)

            def report(frame):
                import pandas as pd
                df = pd.DataFrame(frame)
                return df.groupby("k").agg("sum").merge(df).pivot().sort_values("k")

            def idle():
                pass
            """)
        assert found["train"].pattern == "SKLEARN_TRAINING" and found["train"].pattern_code == 12
        assert found["report"].pattern == "PANDAS_DATAFRAME"
        assert found["idle"].pattern == "MIXED"

    def test_without_gpu_nothing_is_gpu_suitable(self):
        source = """\
            def kernel(x):
                import cupy as cp
                return cp.sqrt(cp.fft.fft(cp.asarray(x)) ** 2 + 1) / cp.exp(x.var()) - cp.log(x.std())
            """
        with_gpu = functions_of(source)["kernel"]
        without = functions_of(source, gpu_available=False)["kernel"]
        assert with_gpu.gpu_suitability > 0.0 and with_gpu.gpu_speedup > 1.0
        assert without.gpu_suitability == 0.0 and without.gpu_speedup == 1.0
        assert not without.pattern.startswith("GPU")

    def test_compute_capability_scales_gpu_suitability(self):
        source = "def f(x):\n    return x.sum() * x.mean() + x.std()\n"
        base = functions_of(source)["f"].gpu_suitability
        assert 0.0 < base < 0.8
        assert functions_of(source, gpu_capability="8.6")["f"].gpu_suitability == pytest.approx(base * 1.2)
        assert functions_of(source, gpu_capability="5.2")["f"].gpu_suitability == pytest.approx(base * 0.8)
        assert functions_of(source, gpu_capability="abc")["f"].gpu_suitability == base

    def test_syntax_error_propagates(self):
        with pytest.raises(SyntaxError):
            analyze_source("def broken(:\n    pass\n")


class TestLoopChunking:
    def test_loop_kinds(self):
        assert loops("def f(xs):\n    for x in xs:\n        print(x)\n") == 1.0
        assert loops("def f(n):\n    while n:\n        n -= 1\n") == 0.0
        assert loops("def f(xs):\n    return [x * 2 for x in xs]\n") == 1.0
        assert loops("def f():\n    return 1\n") == 0.0

    def test_early_exits_make_a_loop_unchunkable(self):
        assert loops("def f(xs):\n    for x in xs:\n        if x:\n            break\n") == 0.0
        assert loops("def f(xs):\n    for x in xs:\n        if x:\n            return x\n") == 0.0
        assert loops("def f(xs):\n    for x in xs:\n        yield x\n") == 0.0

    def test_break_of_an_inner_loop_leaves_the_outer_chunkable(self):
        source = """\
            def f(rows):
                for row in rows:
                    for cell in row:
                        if cell:
                            break
            """
        assert loops(source) == 0.5

    def test_nested_functions_are_not_counted(self):
        source = """\
            def outer(xs):
                def helper(n):
                    while n:
                        n -= 1
                for x in xs:
                    helper(x)
            """
        assert loops(source) == 1.0


# ---------------------------------------------------------------------------
# The analyze command


class TestAnalyzeCommand:
    def test_no_arguments_analyse_the_bundled_examples(self):
        from talvora.examples import workloads

        code, out, err = run()
        assert code == 0, err
        assert err == ""
        assert workloads.__file__ in out
        for name in (
            "normalize_features",
            "monthly_revenue",
            "train_churn_model",
            "post_transactions",
            "TileRenderer.render_all",
        ):
            assert name in out
        assert "Summary: " in out
        for pattern in ("NUMPY_VECTORIZED", "PANDAS_DATAFRAME", "SKLEARN_TRAINING", "SEQUENTIAL", "PARALLEL_FRIENDLY"):
            assert pattern in out
        assert without_time(run("analyze")[1]) == without_time(out)
        # No GPU is assumed unless its capability is given.
        assert "GPU_" not in out
        assert "GPU_SUITABLE" in run("--gpu-capability", "8.6")[1]

    def test_table_and_summary(self, tmp_path):
        path = write(
            tmp_path / "m.py",
            """\
            def a():
                pass

            def b():
                pass
            """,
        )
        code, out, err = run("analyze", str(path))
        assert code == 0
        lines = out.splitlines()
        title = lines.index("%s: 2 functions" % path)
        header = lines[title + 1].split()
        # No GPU assumed: the GPU columns would be 0.00 and 1.0x throughout, so they are left out.
        assert header == ["function", "line", "cpu", "mem", "par_pot", "pattern"]
        assert lines[title + 2].split() == ["a", "1", "0.00", "0.00", "0.00", "MIXED"]
        assert lines[title + 3].split()[-1] == "MIXED"
        at = [i for i, line in enumerate(lines) if line.startswith("Summary: 2 functions in 1 file, ")]
        assert len(at) == 1
        assert [line.split() for line in lines[at[0] + 1 : at[0] + 3]] == [
            ["MIXED", "2", "100.0", "%"],
            [
                "No",
                "GPU",
                "assumed:",
                "gpu_suitability",
                "0.00",
                "and",
                "gpu_speedup",
                "1.0x",
                "throughout",
                "(--gpu-capability",
                "X.Y:",
                "a",
                "GPU).",
            ],
        ]
        assert lines[at[0] + 4] == "No candidates: all 2 functions are MIXED (2 MIXED)."
        code, wide, err = run("analyze", "--wide", str(path))
        lines = wide.splitlines()
        title = lines.index("%s: 2 functions" % path)
        header = lines[title + 1].split()
        assert header[:3] == ["function", "line", "indicators"] and header[-1] == "pattern"
        assert lines[title + 2].split()[:3] == ["a", "1", "0/0/0/0/0/0/0"]
        assert wide.startswith(tables.legend(tables.table_layout(wide=True, gpu=False)) + "\n\n")

    def test_json_output(self, tmp_path):
        path = write(
            tmp_path / "m.py",
            "def f(xs):\n    return sum(x * x for x in xs)\n\nclass C:\n    def g(self):\n"
            "        import pandas as pd\n        return pd.DataFrame()\n",
        )
        code, out, err = run("analyze", "--json", "--gpu-capability", "8.6", str(path))
        assert code == 0, err
        doc = json.loads(out)
        assert doc["gpu_available"] is True and doc["gpu_capability"] == "8.6"
        [entry] = doc["files"]
        assert entry["path"] == str(path)
        f, g = entry["functions"]
        assert (f["qualname"], f["line"], g["qualname"], g["line"]) == ("f", 1, "C.g", 5)
        assert set(f) >= {
            "indicators",
            "normalized",
            "frameworks",
            "parallelization_potential",
            "gpu_suitability",
            "gpu_speedup",
            "pattern_code",
            "pattern",
        }
        assert f["loop_chunking_potential"] == 1.0
        assert PATTERN_NAMES[g["pattern_code"]] == g["pattern"]
        summary = doc["summary"]
        assert summary["files"] == 1 and summary["functions"] == 2
        assert list(summary["patterns"]) == list(PATTERN_NAMES)
        assert sum(summary["patterns"].values()) == 2
        assert doc["errors"] == []

    def test_no_gpu_option(self, tmp_path):
        path = write(tmp_path / "m.py", "def f(x):\n    return x.sum() * x.mean() @ x\n")
        doc = json.loads(run("analyze", "--json", "--no-gpu", str(path))[1])
        f = doc["files"][0]["functions"][0]
        assert doc["gpu_available"] is False
        assert f["gpu_suitability"] == 0.0 and f["gpu_speedup"] == 1.0

    def test_gpu_options_exclude_each_other(self, tmp_path):
        code, out, err = run("analyze", "--no-gpu", "--gpu-capability", "8.6")
        assert code == 2
        assert "not allowed with argument" in err

    def test_directories_are_searched_recursively(self, tmp_path):
        write(tmp_path / "pkg" / "b.py", "def b():\n    pass\n")
        write(tmp_path / "pkg" / "a.py", "def a():\n    pass\n")
        write(tmp_path / "pkg" / "sub" / "c.py", "def c():\n    pass\n")
        write(tmp_path / "pkg" / "notes.txt", "def not_python(:\n")
        write(tmp_path / "pkg" / ".hidden" / "h.py", "def hidden():\n    pass\n")
        write(tmp_path / "pkg" / "__pycache__" / "x.py", "def cached():\n    pass\n")
        doc = json.loads(run("analyze", "--json", str(tmp_path / "pkg"))[1])
        rel = [os.path.relpath(f["path"], str(tmp_path)) for f in doc["files"]]
        assert rel == [os.path.join("pkg", "a.py"), os.path.join("pkg", "b.py"), os.path.join("pkg", "sub", "c.py")]

    def test_explicit_files_are_read_whatever_their_suffix(self, tmp_path):
        path = write(tmp_path / "script", "def main():\n    pass\n")
        code, out, _ = run("analyze", str(path))
        assert code == 0 and "%s: 1 function" % path in out

    def test_empty_directory_warns(self, tmp_path):
        code, out, err = run("analyze", str(tmp_path))
        assert code == 0
        assert err == "talvora: warning: %s: no Python files found\n" % tmp_path
        assert "Summary: 0 functions in 0 files" in out

    def test_files_without_functions_get_no_table(self, tmp_path):
        # Changed on purpose: a file without functions used to get a "0 functions" header.
        path = write(tmp_path / "consts.py", "X = 1\n")
        code, out, _ = run("analyze", str(path))
        assert code == 0 and str(path) not in out and "columns" not in out
        assert out.startswith("Summary: 0 functions in 1 file, ")
        assert out.endswith("\nNo candidates: no functions were analysed.\n")


class TestAnalyzeErrors:
    def test_missing_path_is_reported_and_the_others_analysed(self, tmp_path):
        good = write(tmp_path / "good.py", "def ok():\n    pass\n")
        missing = tmp_path / "missing.py"
        code, out, err = run("analyze", "--files", str(missing), str(good))
        assert code == 1
        assert err == "talvora: error: %s: no such file or directory\n" % missing
        assert "%s: 1 function" % good in out
        assert "1 path could not be analysed" in out

    def test_syntax_error_names_the_file_and_line(self, tmp_path):
        bad = write(tmp_path / "bad.py", "x = 1\ndef broken(:\n    pass\n")
        good = write(tmp_path / "good.py", "def ok():\n    pass\n")
        code, out, err = run("analyze", "--json", str(bad), str(good))
        assert code == 1
        assert err.startswith("talvora: error: %s: syntax error at line 2" % bad)
        doc = json.loads(out)
        assert [f["path"] for f in doc["files"]] == [str(good)]
        [error] = doc["errors"]
        assert error["path"] == str(bad) and error["error"].startswith("syntax error at line 2")

    def test_null_bytes_are_a_syntax_error(self, tmp_path):
        bad = tmp_path / "nul.py"
        bad.write_bytes(b"def f():\n    return '\x00'\n")
        code, _, err = run("analyze", str(bad))
        assert code == 1
        assert err.startswith("talvora: error: %s: syntax error" % bad)

    def test_undecodable_file(self, tmp_path):
        bad = tmp_path / "latin.py"
        bad.write_bytes(b"def f():\n    return '\xff\xfe'\n")
        code, _, err = run("analyze", str(bad))
        assert code == 1
        assert err.startswith("talvora: error: %s: " % bad)
        assert "decode" in err or "syntax error" in err

    def test_encoding_declaration_is_honoured(self, tmp_path):
        path = tmp_path / "latin.py"
        path.write_bytes(b"# -*- coding: latin-1 -*-\ndef caf\xe9():\n    return '\xe9'\n")
        code, out, err = run("analyze", str(path))
        assert code == 0, err
        assert "caf\u00e9" in out

    @pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() == 0, reason="root reads any file")
    def test_unreadable_file(self, tmp_path):
        path = write(tmp_path / "secret.py", "def f():\n    pass\n")
        path.chmod(0)
        try:
            code, _, err = run("analyze", str(path))
        finally:
            path.chmod(0o644)
        assert code == 1
        assert err.startswith("talvora: error: %s: cannot read: " % path)

    def test_deeply_nested_code_does_not_crash(self, tmp_path):
        deep = write(tmp_path / "deep.py", "def f():\n    return " + " + ".join(["1"] * 30000) + "\n")
        good = write(tmp_path / "good.py", "def ok():\n    pass\n")
        code, out, err = run("analyze", "--files", str(deep), str(good))
        # Depending on the interpreter's parser, analysed or reported; never a traceback.
        assert (code, err) in ((0, ""), (1, "talvora: error: %s: too deeply nested to analyse\n" % deep))
        assert "%s: 1 function" % good in out


class FakeTerminal(io.StringIO):
    def isatty(self):
        return True


def analyze_paths(paths, stderr):
    """Analyses every file under `paths` as the analyze command does: (reports, errors)."""
    reports, errors = [], []
    for outcome in streaming.analyze_items(discovery.collect_files(paths, stderr), stderr):
        if isinstance(outcome, scoring.FileReport):
            reports.append(outcome)
        elif isinstance(outcome, reading.AnalysisError):
            errors.append(outcome)
    return reports, errors


class TestProgress:
    def make_files(self, tmp_path, n):
        for i in range(n):
            write(tmp_path / ("m%02d.py" % i), "def f%d():\n    pass\n" % i)

    def test_shown_on_a_terminal_for_many_files(self, tmp_path):
        self.make_files(tmp_path, streaming.PROGRESS_MIN_FILES)
        err = FakeTerminal()
        reports, errors = analyze_paths([str(tmp_path)], err)
        assert len(reports) == streaming.PROGRESS_MIN_FILES and not errors
        text = err.getvalue()
        assert "[%d/%d]" % (streaming.PROGRESS_MIN_FILES, streaming.PROGRESS_MIN_FILES) in text
        assert text.endswith("\r\x1b[K")  # the line is cleared at the end

    def test_errors_get_their_own_line(self, tmp_path):
        self.make_files(tmp_path, streaming.PROGRESS_MIN_FILES)
        write(tmp_path / "zz_bad.py", "def (:\n")
        err = FakeTerminal()
        analyze_paths([str(tmp_path)], err)
        # The progress line is cleared before the error is written on a line of its own.
        assert "\r\x1b[Ktalvora: error: %s: syntax error" % (tmp_path / "zz_bad.py") in err.getvalue()
        assert err.getvalue().endswith("\n")  # the bad file came last: no progress line after it

    def test_not_shown_for_few_files_or_without_terminal(self, tmp_path):
        self.make_files(tmp_path, streaming.PROGRESS_MIN_FILES - 1)
        err = FakeTerminal()
        analyze_paths([str(tmp_path)], err)
        assert err.getvalue() == ""
        self.make_files(tmp_path, streaming.PROGRESS_MIN_FILES)
        err = io.StringIO()
        analyze_paths([str(tmp_path)], err)
        assert err.getvalue() == ""


# ---------------------------------------------------------------------------
# The plan command


class TestPlan:
    def test_fits(self):
        code, out, err = run("plan", "--shape", "100000,1000", "--element-size", "8", "--available", "8GiB")
        assert code == 0, err
        assert "Allocation estimate: 800000000 bytes (762.94 MiB)" in out
        assert "Safe limit:          6871947673 bytes (6.40 GiB)" in out
        assert "Strategy:            GPU_DIRECT - Allocation fits in GPU memory" in out
        assert "Chunk" not in out

    def test_chunked_plan_lists_the_chunk_shapes(self):
        code, out, err = run(
            "plan", "--shape", "10,4", "--element-size", "8", "--available", "125", "--headroom", "0.2"
        )
        assert code == 0, err
        assert "Strategy:            GPU_CHUNKED - Chunking into 4 GPU passes" in out
        assert "Chunk size:          100 bytes (100 B)" in out
        assert out.endswith(
            "Chunk shapes:        4 chunks of whole rows along the first axis\n  (3, 4) x 3\n  (1, 4) x 1\n"
        )

    def test_rows_larger_than_a_chunk_are_flagged(self):
        code, out, _ = run("plan", "--shape", "2,1000", "--element-size", "8", "--available", "125")
        assert code == 0
        assert "GPU_CHUNKED" in out and "  (1, 1000) x 2\n" in out
        assert out.endswith(
            "Warning: one row takes 8000 bytes, more than the chunk size; every chunk exceeds the safe limit\n"
        )
        plan = json.loads(run("plan", "--shape", "2,1000", "--element-size", "8", "--available", "125", "--json")[1])
        assert plan["row_bytes"] == 8000 and plan["chunk_shapes_fit"] is False

    def test_json(self):
        code, out, _ = run("plan", "--shape", "10,4", "--element-size", "8", "--available", "125", "--json")
        plan = json.loads(out)
        assert plan["strategy"] == "GPU_CHUNKED" and plan["strategy_code"] == 1
        assert plan["allocation_bytes"] == 320 and plan["safe_limit_bytes"] == 100
        assert plan["gpu_passes"] == 4 and plan["chunk_size_bytes"] == 100
        assert plan["chunk_shape_groups"] == [{"shape": [3, 4], "count": 3}, {"shape": [1, 4], "count": 1}]
        assert plan["chunk_shape_count"] == 4 and plan["schema_version"] == PLAN_SCHEMA_VERSION
        assert plan["row_bytes"] == 32 and plan["chunk_shapes_fit"] is True

    def test_fallbacks(self):
        code, out, _ = run(
            "plan", "--shape", "100000,1000", "--element-size", "8", "--available", "512MiB", "--op", "matmul"
        )
        assert code == 0
        assert "Operation:           matmul (not chunkable)" in out
        assert "CPU_FALLBACK - Operation not chunkable, falling back to CPU" in out
        code, out, _ = run("plan", "--shape", "4", "--element-size", "8", "--available", "0")
        assert "CPU_FALLBACK - No GPU memory available" in out

    def test_overhead_factor(self):
        plan = json.loads(
            run(
                "plan",
                "--shape",
                "1000,1000",
                "--element-size",
                "8",
                "--available",
                "1GiB",
                "--overhead-factor",
                "1.5",
                "--json",
            )[1]
        )
        assert plan["allocation_bytes"] == 12000000

    @pytest.mark.parametrize(
        "option,value,message",
        [
            ("--available", "8XB", "argument --available: invalid size '8XB'"),
            ("--available", "-1", "argument --available: invalid size '-1'"),
            ("--available", "1.5B", "argument --available: size '1.5B' is not a whole number of bytes"),
            ("--available", "16EiB", "argument --available: invalid size '16EiB'"),
            ("--available", "20000000TiB", "argument --available: size '20000000TiB' is too large"),
            ("--shape", "10,-4", "argument --shape: invalid shape '10,-4'"),
            ("--shape", "a,b", "argument --shape: invalid shape 'a,b'"),
            ("--shape", "3000000000", "argument --shape: dimension 3000000000 of shape '3000000000' is too large"),
            ("--element-size", "0", "argument --element-size: element size must be positive, got 0"),
            ("--element-size", "eight", "argument --element-size: invalid element size 'eight'"),
            ("--headroom", "1.0", "argument --headroom: headroom must be at least 0 and below 1"),
            ("--headroom", "nan", "argument --headroom: headroom must be at least 0 and below 1"),
            ("--overhead-factor", "0", "argument --overhead-factor: overhead factor must be a positive number"),
        ],
    )
    def test_bad_values_get_a_clear_error(self, option, value, message):
        argv = {"--shape": "10,4", "--element-size": "8", "--available": "1GiB"}
        argv[option] = value
        code, out, err = run("plan", *[x for kv in argv.items() for x in ("%s=%s" % kv,)])
        assert code == 2
        assert out == ""
        assert "talvora plan: error: " + message in err

    def test_required_options(self):
        code, _, err = run("plan", "--shape", "10")
        assert code == 2
        assert "the following arguments are required: --element-size, --available" in err


class TestParsers:
    def test_sizes(self):
        assert parse_size("8GiB") == 8 * 2**30
        assert parse_size("8 gib") == 8 * 2**30
        assert parse_size("2GB") == 2 * 10**9
        assert parse_size("1.5G") == 3 * 2**29
        assert parse_size("10k") == 10240
        assert parse_size("1e3") == 1000
        assert parse_size("123") == 123
        assert parse_size("16TiB") == 16 * 2**40
        assert parse_size(str(2**64 - 1)) == 2**64 - 1
        for bad in ("", "GiB", "1..2", "8 G i B", str(2**64)):
            with pytest.raises(ValueError):
                parse_size(bad)

    def test_shapes(self):
        assert parse_shape("100000,1000") == (100000, 1000)
        assert parse_shape("64x64x3") == (64, 64, 3)
        assert parse_shape("(5,)") == (5,)
        assert parse_shape(" 7 ") == (7,)
        assert parse_shape("") == ()
        assert parse_shape("0,3") == (0, 3)
        for bad in ("1,,2", "1.5", "2**3"):
            with pytest.raises(ValueError):
                parse_shape(bad)

    @pytest.mark.parametrize(
        "argv,message",
        [
            (["analyze", "--top", "many"], "argument --top: invalid count 'many' (expected a positive number)"),
            (["analyze", "--top", "0"], "argument --top: count must be positive, got 0"),
            (
                ["plan", "--shape", "4", "--available", "8", "--element-size", " 8x"],
                "argument --element-size: invalid element size ' 8x' (expected a positive number of bytes)",
            ),
            (
                ["plan", "--shape", "4", "--available", "8", "--element-size", "8", "--headroom", " x"],
                "argument --headroom: invalid headroom ' x' (expected a ratio such as 0.2)",
            ),
            (
                ["plan", "--shape", "4", "--available", "8", "--element-size", "8", "--overhead-factor", "1,5"],
                "argument --overhead-factor: invalid overhead factor '1,5' (expected a number such as 1.2)",
            ),
        ],
    )
    def test_numbers_that_do_not_parse_are_quoted_as_given(self, argv, message):
        code, out, err = run(*argv)
        assert (code, out) == (2, "")
        assert err.splitlines()[-1] == "talvora %s: error: %s" % (argv[0], message)


# ---------------------------------------------------------------------------
# Entry points


def test_python_dash_m_runs_the_examples(tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "talvora"],
        cwd=str(tmp_path),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    assert "Summary: " in result.stdout and "workloads.py" in result.stdout


def test_console_script_is_installed(tmp_path):
    script = shutil.which("talvora", path=os.path.dirname(sys.executable))
    assert script, "the talvora console script is not installed next to %s" % sys.executable
    result = subprocess.run(
        [script, "plan", "--shape", "5", "--element-size", "4", "--available", "8", "--headroom", "0"],
        cwd=str(tmp_path),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    assert "GPU_CHUNKED - Chunking into 3 GPU passes" in result.stdout
    assert result.stdout.endswith("  (2,) x 2\n  (1,) x 1\n")


def test_help_lists_the_commands():
    code, out, _ = run("--help")
    assert code == 0
    assert "analyze" in out and "plan" in out


# ---------------------------------------------------------------------------
# Source segments, streaming output, exclusion, candidates, GPU assumption


SEGMENT_SOURCES = {
    "plain": "def f(x):\n    return x\n\nclass C:\n    def g(self): return 1\n",
    "crlf": "def f(x):\r\n    y = x\r\n    return y\r\n",
    "cr": "def f(x):\r    return x\rdef g(): pass\r",
    "mixed breaks": "def f():\r\n    a = 1\r    b = 2\n    return a\r\n",
    "form feed": "def f():\n    x = 1\x0c\n    return x\n\x0c\ndef g():\n    pass\n",
    "multibyte": "def caf\u00e9(\u00e0):\n    return '\u00e9\u00e8' + \u00e0  # \u2603\n\n"
    "def g(): return '\U0001f600'\n",
    "no final newline": "def f():\n    return 1",
    "tabs and decorators": "@dec\nclass K:\n\t@staticmethod\n\tdef s(a,\n\t      b):\n\t\treturn a\n",
    "nested": "def outer():\n    def inner():\n        return [x for x in\n                range(3)]\n"
    "    return inner\n",
    "one line": "def f(): return 1; x = 2\n",
}


@pytest.mark.parametrize("source", list(SEGMENT_SOURCES.values()), ids=list(SEGMENT_SOURCES))
def test_source_segments_are_those_of_the_ast_module(source):
    import ast

    tree = ast.parse(source)
    lines = scan.SourceLines(source)
    nodes = [n for n in ast.walk(tree) if hasattr(n, "end_col_offset")]
    assert nodes
    for node in nodes:
        assert lines.segment(node) == ast.get_source_segment(source, node), ast.dump(node)
    assert lines.segment(tree) is None  # a module has no position


class RecordingStream(io.StringIO):
    """Notes what had been written when each file's analysis began."""

    def __init__(self):
        super().__init__()
        self.flushed = []

    def flush(self):
        self.flushed.append(self.getvalue())


def _stream_check(tmp_path, monkeypatch, *options):
    for name in ("a", "b", "c"):
        write(tmp_path / ("%s.py" % name), "def %s():\n    pass\n" % name)
    seen = []
    out = RecordingStream()
    real = streaming.analyze_file

    def analyze_file(path, **kw):
        seen.append((os.path.basename(path), out.getvalue()))
        return real(path, **kw)

    monkeypatch.setattr(streaming, "analyze_file", analyze_file)
    code = main(["analyze", "--files", *options, str(tmp_path)], stdout=out, stderr=io.StringIO())
    assert code == (1 if (tmp_path / "zz_bad.py").exists() else 0)
    return seen, out.getvalue()


def test_table_of_each_file_is_written_before_the_next_file_is_read(tmp_path, monkeypatch):
    seen, out = _stream_check(tmp_path, monkeypatch)
    assert [name for name, _ in seen] == ["a.py", "b.py", "c.py"]
    assert seen[0][1] == ""
    assert "a.py: 1 function" in seen[1][1] and "b.py" not in seen[1][1]
    assert "b.py: 1 function" in seen[2][1] and "c.py" not in seen[2][1]
    legend = tables.legend(tables.table_layout(gpu=False))
    assert out.count(legend) == 1 and out.index(legend) < out.index("a.py")


def test_json_lines_stream_one_record_per_file(tmp_path, monkeypatch):
    write(tmp_path / "zz_bad.py", "def (:\n")
    seen, out = _stream_check(tmp_path, monkeypatch, "--jsonl", "--gpu-capability", "7.5")
    records = [json.loads(line) for line in out.splitlines()]
    assert [r["type"] for r in records] == ["run", "file", "file", "file", "error", "summary"]
    run_record = records[0]
    assert run_record["schema_version"] == common.SCHEMA_VERSION
    assert run_record["gpu_available"] is True and run_record["gpu_capability"] == "7.5"
    assert [os.path.basename(r["path"]) for r in records[1:5]] == ["a.py", "b.py", "c.py", "zz_bad.py"]
    assert records[1]["functions"][0]["qualname"] == "a"
    assert records[4]["error"].startswith("syntax error at line 1")
    summary = records[-1]
    assert (summary["files"], summary["functions"], summary["errors"]) == (3, 3, 1)
    # Each record was on its way before the next file was read.
    assert seen[1][1].count("\n") == 2 and seen[3][1].count("\n") == 4


def test_json_document_has_a_schema_version_and_assumes_no_gpu(tmp_path):
    path = write(tmp_path / "m.py", "def f(x):\n    return x.sum() * x.mean() @ x\n")
    doc = json.loads(run("analyze", "--json", str(path))[1])
    assert doc["schema_version"] == common.SCHEMA_VERSION == 1
    assert doc["gpu_available"] is False and doc["gpu_capability"] is None
    f = doc["files"][0]["functions"][0]
    assert f["gpu_suitability"] == 0.0 and f["gpu_speedup"] == 1.0
    assert doc["skipped"] == [] and "top" not in doc


@pytest.mark.parametrize("value", ["banana", "8", "8.", ".6", "8.6.1", "99999999999.0", "-7.5", "8,6"])
def test_malformed_gpu_capabilities_are_rejected(value):
    code, out, err = run("analyze", "--gpu-capability", value)
    assert code == 2 and out == ""
    assert (
        "talvora analyze: error: argument --gpu-capability: invalid compute capability %r (expected X.Y, "
        "such as 8.6)" % value
    ) in err


def test_gpu_capability_scores_for_that_gpu(tmp_path):
    path = write(tmp_path / "m.py", "def f(x):\n    return x.sum() * x.mean() + x.std()\n")
    expected = functions_of(path.read_text(), gpu_available=True, gpu_capability="8.6")["f"]
    doc = json.loads(run("analyze", "--json", "--gpu-capability", " 8.6 ", str(path))[1])
    assert doc["gpu_capability"] == "8.6"
    assert doc["files"][0]["functions"][0]["gpu_suitability"] == expected.gpu_suitability > 0.0


class TestExclude:
    def tree(self, tmp_path):
        for rel in (
            "pkg/core.py",
            "pkg/test_core.py",
            "pkg/core_test.py",
            "pkg/conftest.py",
            "pkg/tests/test_x.py",
            "pkg/tests/helper.py",
            "pkg/sub/test/t.py",
            "pkg/.venv/lib.py",
            "pkg/sub/fixtures/data.py",
            "pkg/sub/gen.py",
            "pkg/testing.py",
        ):
            write(tmp_path / rel, "def f():\n    pass\n")
        return tmp_path / "pkg"

    def analysed(self, root, *options):
        code, out, err = run("analyze", "--json", *options, str(root))
        assert code == 0, err
        return sorted(os.path.relpath(f["path"], str(root)).replace(os.sep, "/") for f in json.loads(out)["files"]), err

    def test_default_excludes_are_reported_in_one_note(self, tmp_path):
        root = self.tree(tmp_path)
        files, err = self.analysed(root)
        assert files == ["core.py", "sub/fixtures/data.py", "sub/gen.py", "testing.py"]
        [line] = err.splitlines()
        assert line.startswith("talvora: note: excluded ")
        for part in (
            "1 matching .*/",
            "1 matching test/",
            "1 matching tests/",
            "1 matching test_*.py",
            "1 matching *_test.py",
            "1 matching conftest.py",
        ):
            assert part in line
        assert line.endswith("(--no-default-excludes includes them)")

    def test_no_default_excludes(self, tmp_path):
        root = self.tree(tmp_path)
        files, err = self.analysed(root, "--no-default-excludes")
        assert len(files) == 11 and err == ""

    def test_user_patterns(self, tmp_path):
        root = self.tree(tmp_path)
        files, err = self.analysed(
            root, "--no-default-excludes", "--exclude", "fixtures/", "--exclude", "sub/*.py", "--exclude", "test*"
        )
        # "test*" matches tests/ and testing.py by name; "sub/*.py" the path below the root (and through
        # sub/fixtures, already excluded as a directory).
        assert files == [".venv/lib.py", "conftest.py", "core.py", "core_test.py"]
        assert "1 matching fixtures/" in err and "1 matching sub/*.py" in err and "4 matching test*" in err
        assert "--no-default-excludes" not in err

    def test_searched_root_and_named_files_are_never_excluded(self, tmp_path):
        root = self.tree(tmp_path)
        files, err = self.analysed(root / "tests")
        assert files == ["helper.py"] and err.startswith("talvora: note: excluded 1 matching test_*.py ")
        code, out, _ = run("analyze", "--exclude", "*.py", str(root / "test_core.py"))
        assert code == 0 and "test_core.py: 1 function" in out

    def test_json_lists_what_was_skipped(self, tmp_path):
        root = self.tree(tmp_path)
        doc = json.loads(run("analyze", "--json", str(root))[1])
        reasons = {os.path.relpath(s["path"], str(root)).replace(os.sep, "/"): s["reason"] for s in doc["skipped"]}
        assert reasons["tests"] == "excluded by tests/" and reasons["conftest.py"] == "excluded by conftest.py"
        assert len(reasons) == 6

    def test_exclusion_rules(self):
        rules = discovery.exclusion
        assert rules("a/tests", True, ["tests/"]) == "tests/"
        assert rules("a/tests", False, ["tests/"]) is None  # a file named tests
        assert rules("a/b/c.py", False, ["a/*.py"]) == "a/*.py"  # * crosses /
        assert rules("x/a/c.py", False, ["a/*.py"]) is None  # path patterns are anchored at the root
        assert rules("Tests", True, ["tests/"]) is None  # case-sensitive
        assert rules("m.py", False, ["x", "m.py", "*.py"]) == "m.py"  # the first match


class TestTop:
    SOURCE = """\
        def vectorised(a):
            import numpy as np
            return np.dot(np.array(a), np.linalg.inv(a)).sum(axis=0).mean()

        def train(x, y):
            from sklearn.ensemble import RandomForestClassifier
            model = RandomForestClassifier()
            model.fit(x, y)
            return model.predict(x), model.score(x, y)

        def idle():
            pass

        def ledger(rows):
            total = 0
            for r in rows:
                total = total + r
                if total > 10:
                    break
            return total
        """

    def test_ranks_candidates_by_their_strongest_score(self, tmp_path):
        path = write(tmp_path / "m.py", self.SOURCE)
        doc = json.loads(run("analyze", "--json", "--top", "5", str(path))[1])
        functions = {f["qualname"]: f for f in doc["files"][0]["functions"]}
        top = doc["top"]
        expected = sorted(
            (f for f in functions.values() if f["pattern"] not in ("MIXED", "SEQUENTIAL")),
            key=lambda f: (
                -max(
                    f["parallelization_potential"],
                    f["gpu_suitability"],
                    f["normalized"]["cpu_intensity"],
                    *f["frameworks"].values(),
                )
            ),
        )
        assert [t["qualname"] for t in top] == [f["qualname"] for f in expected]
        assert {"vectorised", "train"} <= {t["qualname"] for t in top}
        assert all(t["path"] == str(path) and t["line"] == functions[t["qualname"]]["line"] for t in top)
        assert [t["score"] for t in top] == sorted((t["score"] for t in top), reverse=True)

    def test_keeps_only_n_and_prints_them_after_the_summary(self, tmp_path):
        path = write(tmp_path / "m.py", self.SOURCE)
        full = json.loads(run("analyze", "--json", "--top", "9", str(path))[1])["top"]
        code, out, _ = run("analyze", "--top", "1", str(path))
        assert code == 0
        tail = out[out.index("Summary: ") :].splitlines()
        at = tail.index("Top 1 candidate by score, then path and line; a function's score is the largest of its")
        assert tail[at + 1] == "parallelization_potential, cpu_intensity, numpy, pandas and sklearn scores:"
        best = full[0]
        assert tail[at + 2].split() == [
            "1.",
            "%.2f" % best["score"],
            best["pattern"],
            "%s:%d" % (path, best["line"]),
            best["qualname"],
        ]
        assert tail[at + 3].replace(";", " ").split()[:3] == ["score", "=", best["ranked_by"]]
        assert tail[at + 4].startswith("     %s words: " % best["pattern"][: best["pattern"].index("_")].lower())
        assert len(tail) == at + 5

    def test_ties_keep_the_earlier_function(self):
        import dataclasses

        top = ranking.TopCandidates(2)
        functions = analyze_source(
            "def a(xs):\n    return [x for x in xs]\n\ndef b(xs):\n    return [x for x in xs]\n"
            "\ndef c(xs):\n    return [x for x in xs]\n"
        )
        report = scoring.FileReport("m.py", [dataclasses.replace(f, pattern="CPU_INTENSIVE") for f in functions])
        assert len({ranking.candidate_score(f) for f in report.functions}) == 1
        top.add(report)
        assert [f.qualname for _, _, f in top.ranked()] == ["a", "b"]

    @pytest.mark.parametrize("value", ["0", "-3", "many"])
    def test_bad_counts(self, value):
        code, _, err = run("analyze", "--top", value)
        assert code == 2 and "argument --top: " in err


def test_ctrl_c_exits_130_with_one_line(tmp_path, monkeypatch):
    write(tmp_path / "a.py", "def a():\n    pass\n")

    def interrupted(path, **kw):
        raise KeyboardInterrupt

    monkeypatch.setattr(streaming, "analyze_file", interrupted)
    code, out, err = run("analyze", str(tmp_path))
    assert code == 130
    assert err == "talvora: interrupted\n"


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no FIFOs")
def test_fifos_are_skipped_without_being_opened(tmp_path):
    write(tmp_path / "a.py", "def a():\n    pass\n")
    os.mkfifo(str(tmp_path / "x.py"))
    with pytest.raises(reading.NotRegularFile):
        reading.read_source(str(tmp_path / "x.py"))
    # In a child process: a FIFO opened for reading would wait for a writer forever.
    for target in (tmp_path, tmp_path / "x.py"):
        result = subprocess.run(
            [sys.executable, "-m", "talvora", "analyze", "--jsonl", str(target)],
            cwd=str(tmp_path),
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            universal_newlines=True,
            timeout=60,
        )
        assert result.returncode == 0, result.stderr
        assert result.stderr == "talvora: note: %s: not a regular file, skipped\n" % (tmp_path / "x.py")
        records = [json.loads(line) for line in result.stdout.splitlines()]
        assert {"type": "skipped", "path": str(tmp_path / "x.py"), "reason": "not a regular file"} in records


def test_a_parser_crash_depth_is_analysed_or_reported(tmp_path):
    # 200,000 terms overflowed the C stack of the main thread in some interpreters' parsers.
    deep = tmp_path / "deep.py"
    deep.write_text("def f():\n    return " + " + ".join(["1"] * 200000) + "\n")
    good = write(tmp_path / "good.py", "def ok():\n    pass\n")
    result = subprocess.run(
        [sys.executable, "-m", "talvora", "analyze", "--jsonl", str(deep), str(good)],
        cwd=str(tmp_path),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        timeout=300,
    )
    assert result.returncode in (0, 1), result.stderr
    records = [json.loads(line) for line in result.stdout.splitlines()]
    assert [r["type"] for r in records][-2:] == ["file", "summary"] and records[-2]["path"] == str(good)
    if result.returncode:
        assert result.stderr == "talvora: error: %s: too deeply nested to analyse\n" % deep
    else:
        assert records[1]["functions"][0]["qualname"] == "f"


class TestCallWithStack:
    def test_result_and_exception(self):
        assert reading.call_with_stack(2**20, divmod, 7, 2) == (3, 1)
        with pytest.raises(ZeroDivisionError):
            reading.call_with_stack(2**20, divmod, 7, 0)
        import threading

        assert reading.call_with_stack(2**20, threading.current_thread).name == "talvora-parse"

    def test_stack_size_setting_is_restored(self):
        import threading

        before = threading.stack_size()
        reading.call_with_stack(2**21, int)
        assert threading.stack_size() == before

    def test_runs_in_place_when_no_thread_starts(self, monkeypatch):
        import threading

        def refuse(self):
            raise RuntimeError("can't start new thread")

        monkeypatch.setattr(threading.Thread, "start", refuse)
        assert reading.call_with_stack(2**20, threading.current_thread) is threading.current_thread()

    def test_parse_errors_of_any_kind_are_reported_per_file(self, tmp_path, monkeypatch):
        write(tmp_path / "a.py", "def a():\n    pass\n")
        write(tmp_path / "b.py", "def b():\n    pass\n")
        real = reading.analyze_module
        raised = iter([MemoryError(), RecursionError()])

        def failing(source, filename, **kw):
            if filename.endswith("a.py"):
                raise next(raised)
            return real(source, filename, **kw)

        monkeypatch.setattr(reading, "analyze_module", failing)
        for message in ("too deeply nested or too large to analyse", "too deeply nested to analyse"):
            code, out, err = run("analyze", "--files", str(tmp_path))
            assert code == 1
            assert err == "talvora: error: %s: %s\n" % (tmp_path / "a.py", message)
            assert "b.py: 1 function" in out


# ---------------------------------------------------------------------------
# Plan: grouped chunk shapes


def _grouped(shapes):
    groups = []
    for s in shapes:
        if groups and groups[-1][0] == s:
            groups[-1] = (s, groups[-1][1] + 1)
        else:
            groups.append((s, 1))
    return groups


@pytest.mark.parametrize(
    "shape,element_size,limit",
    [
        ((10, 4), 8, 100),
        ((5,), 4, 8),
        ((), 4, 8),
        ((0, 3), 8, 10),
        ((7, 0), 8, 10),
        ((3, 5, 0, 2), 8, 1),
        ((9,), 1, 9),
        ((9,), 1, 10),
        ((9,), 1, 3),
        ((2, 1000), 8, 100),
        ((1,), 8, 7),
        ((100, 3, 3), 2, 2**64 - 1),
        ((4, 2**31 - 1, 2**31 - 1, 2**31 - 1), 2**31 - 1, 2**64 - 1),
    ],
)
def test_chunk_groups_expand_to_the_library_shapes(shape, element_size, limit):
    from talvora.gpu.drelling import compute_chunk_shapes

    assert chunk_groups(shape, element_size, limit) == _grouped(compute_chunk_shapes(shape, element_size, limit))


def test_chunk_groups_match_the_library_on_random_shapes():
    from hypothesis import given, settings
    from hypothesis import strategies as st

    from talvora.gpu.drelling import compute_chunk_shapes

    @settings(max_examples=300, deadline=None)
    @given(st.lists(st.integers(0, 40), max_size=4).map(tuple), st.integers(1, 16), st.integers(1, 2000))
    def check(shape, element_size, limit):
        expected = _grouped(compute_chunk_shapes(shape, element_size, limit))
        assert chunk_groups(shape, element_size, limit) == expected

    check()


def test_huge_shapes_are_planned_without_listing_their_chunks():
    import tracemalloc

    shape = (2**31 - 1,) * 3
    tracemalloc.start()
    try:
        plan = plan_allocation(shape, 8, 80 * 2**30)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 2**20
    assert plan["chunk_shape_count"] == 2**31 - 1 and plan["gpu_passes"] == 134217728
    assert plan["chunk_shape_groups"] == [{"shape": [1, 2**31 - 1, 2**31 - 1], "count": 2**31 - 1}]
    text = format_plan(plan)
    assert text.count("\n") < 20


def test_plan_explains_passes_against_chunks():
    code, out, _ = run("plan", "--shape", "20000000,1000", "--element-size", "8", "--available", "1MiB")
    assert code == 0
    lines = out.splitlines()
    assert lines[-4:] == [
        "Chunk shapes:        192308 chunks of whole rows along the first axis",
        "  (104, 1000) x 192307",
        "  (72, 1000) x 1",
        "Chunks hold whole rows of 8000 bytes: 192308 chunks of up to 104 rows, against 190736 passes counted in bytes",
    ]
    assert "GPU passes:          190736" in lines


def test_version_comes_from_the_package_metadata():
    import importlib.metadata

    import talvora

    assert talvora.__version__ == importlib.metadata.version("talvora")
    code, out, err = run("--version")
    assert (code, out, err) == (0, "talvora %s\n" % talvora.__version__, "")


def test_progress_on_the_terminal_never_shares_a_line_with_the_tables(tmp_path):
    for i in range(streaming.PROGRESS_MIN_FILES):
        write(tmp_path / ("m%02d.py" % i), "def f%d():\n    pass\n" % i)
    terminal = FakeTerminal()  # stdout and stderr on the same terminal
    code = main(["analyze", "--files", str(tmp_path)], stdout=terminal, stderr=terminal)
    assert code == 0
    text = terminal.getvalue()
    assert text.count("\r\x1b[K[") == streaming.PROGRESS_MIN_FILES
    # Each progress text is cleared before anything else is written.
    for chunk in text.split("\r\x1b[K")[1:]:
        if chunk.startswith("["):
            assert "\n" not in chunk
    n = streaming.PROGRESS_MIN_FILES
    assert without_time(text).endswith(
        "Summary: %d functions in %d files\n  MIXED                 %d  100.0 %%\n"
        "No GPU assumed: gpu_suitability 0.00 and gpu_speedup 1.0x throughout "
        "(--gpu-capability X.Y: a GPU).\n\n"
        "No candidates: all %d functions are MIXED (%d MIXED).\n" % (n, n, n, n, n)
    )


@pytest.mark.parametrize(
    "head,message",
    [
        (b"# coding: uft-8\n", "line 1: unknown encoding: uft-8"),
        (b"x = '\xff'\n", "line 1 as utf-8: invalid start byte"),
    ],
)
def test_bad_encoding_declarations_name_the_file(tmp_path, head, message):
    path = tmp_path / "bad.py"
    path.write_bytes(head + b"def f():\n    pass\n")
    code, _, err = run("analyze", str(path))
    assert code == 1
    # The path once, then the line that does not decode.
    assert err == "talvora: error: %s: cannot decode %s\n" % (path, message)


# The walk of the analysis as first written: one walk to find the functions,
# one per function for its loops, both over ast.iter_child_nodes.
def _reference_scan(tree):
    import ast

    def walk_local(node):
        stack = list(ast.iter_child_nodes(node))
        while stack:
            n = stack.pop()
            yield n
            if not isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda, ast.ClassDef)):
                stack.extend(ast.iter_child_nodes(n))

    def breaks_out(body):
        for stmt in body:
            for n in [stmt, *walk_local(stmt)]:
                if isinstance(n, (ast.Return, ast.Yield, ast.YieldFrom, ast.Await)):
                    return True
                if isinstance(n, ast.Break) and not any(
                    isinstance(loop, (ast.For, ast.AsyncFor, ast.While))
                    and any(m is n for b in (loop.body, loop.orelse) for s in b for m in [s, *walk_local(s)])
                    for loop in [stmt, *walk_local(stmt)]
                ):
                    return True
        return False

    def chunking(func):
        loops = chunkable = 0
        for n in walk_local(func):
            if isinstance(n, (ast.For, ast.AsyncFor)):
                loops += 1
                chunkable += not breaks_out(n.body)
            elif isinstance(n, ast.While):
                loops += 1
            elif isinstance(n, (ast.ListComp, ast.SetComp, ast.DictComp, ast.GeneratorExp)):
                loops += 1
                elts = [n.key, n.value] if isinstance(n, ast.DictComp) else [n.elt]
                chunkable += not any(
                    isinstance(m, (ast.Yield, ast.YieldFrom, ast.Await)) for e in elts for m in ast.walk(e)
                )
        return chunkable / loops if loops else 0.0

    found = []
    stack = [(tree, "")]
    while stack:
        node, prefix = stack.pop()
        for child in ast.iter_child_nodes(node):
            if isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef)):
                found.append((child, prefix + child.name))
                stack.append((child, prefix + child.name + ".<locals>."))
            elif isinstance(child, ast.ClassDef):
                stack.append((child, prefix + child.name + "."))
            else:
                stack.append((child, prefix))
    found.sort(key=lambda item: (item[0].lineno, item[0].col_offset))
    return [(node, qual, chunking(node)) for node, qual in found]


SCOPES = """\
@decorate([x for x in range(3)])
def outer(xs=[y for y in range(2)], *, key=lambda v: [w for w in v]):
    total = 0
    while total < 10:
        total += 1
    for x in xs:
        for y in x:
            if y:
                break
        else:
            continue
    class Local:
        def method(self):
            return {k: v for k, v in self.items()}
        items = [i for i in range(3)]
    async def agen(rows):
        async for r in rows:
            yield r
        return [await r for r in rows]
    f = lambda: [z for z in range(4)]
    return sorted(xs, key=lambda v: [(yield) for _ in v])

class Top:
    def a(self):
        return (x for x in self)
    class Inner:
        async def b(self):
            for i in range(3):
                await i
"""


# Loops that only the keyword "for" on some line gives away, and loop bodies that leave in odd places.
SCREENS = """\
def header(a,
           b=[i for i in range(3)],
           *, c: "annotation" = {k: k
                                 for k in "ab"}) -> None:
    pass

def fstring(xs):
    return f"{[x for x in xs]!r:>{len([y for y in xs])}}"

def spans(xs):
    value = (1 +
             sum(x
                 for x in xs))
    other = [1 for _ in
             xs] if 0 else None
    return value, other

def leaves(xs):
    for x in xs:
        def inner():
            return x
    for x in xs:
        class C:
            def m(self):
                return 1
    for x in xs:
        while x:
            break
        else:
            break
    for x in xs:
        for y in x:
            pass
        else:
            yield y
    for x in xs:
        print("break return yield await")

@deco([n for n in range(2)])
def decorated():
    return [z async for z in aiter()]
"""


def test_one_walk_gives_the_functions_and_loops_of_separate_walks():
    import ast
    import glob
    import sysconfig

    sources = [SCOPES, textwrap.dedent(TestTop.SOURCE)]
    from talvora.examples import workloads

    stdlib = sysconfig.get_paths()["stdlib"]
    paths = [workloads.__file__] + sorted(glob.glob(os.path.join(stdlib, "*.py")))[:40]
    sources += [reading.read_source(p) for p in paths]
    compared = 0
    sources.append(SCREENS)
    for source in sources:
        tree = ast.parse(source)
        got = [(node.lineno, qual, chunk) for node, qual, chunk in scan.find_functions(tree)]
        expected = [(node.lineno, qual, chunk) for node, qual, chunk in _reference_scan(tree)]
        assert got == expected
        # With the source lines, code without "for" (or a loop without a way out) is not walked: same result.
        lines = scan.SourceLines(source).lines
        assert [(node.lineno, qual, chunk) for node, qual, chunk in scan.find_functions(tree, lines)] == expected
        compared += len(got)
    assert compared > 500
    # outer: the comprehensions of its decorator and default, the while loop and both for loops
    # (the inner one breaks); nothing in its lambdas or its class.
    scopes = {qual: chunk for _, qual, chunk in scan.find_functions(ast.parse(SCOPES))}
    assert scopes == {
        "outer": 3 / 5,
        "outer.<locals>.Local.method": 1.0,
        "outer.<locals>.agen": 0.0,
        "Top.a": 1.0,
        "Top.Inner.b": 0.0,
    }


def test_function_records_as_dicts():
    import dataclasses

    [f] = analyze_source("def f(xs):\n    return [x for x in xs]\n")
    # The scored source text stays on the record (for the evidence of candidates) and out of the JSON.
    assert f.code == "def f(xs):\n    return [x for x in xs]"
    assert f.to_dict() == {k: v for k, v in dataclasses.asdict(f).items() if k != "code"}
    assert list(f.to_dict()) == [field.name for field in dataclasses.fields(f) if field.name != "code"]
    d = f.to_dict()
    d["indicators"]["cpu"] = 99
    assert f.indicators["cpu"] != 99  # a copy


class TestTableLayout:
    LONG = "Renderer.render_all.<locals>.flush_tile_cache_to_disk_when_full"

    def report(self, tmp_path, lines=1):
        """A file with a short and a long qualified name, the long one on line `lines` or later."""
        source = (
            "def a():\n    pass\n"
            + "\n" * max(lines - 3, 0)
            + textwrap.dedent("""\
            class Renderer:
                def render_all(self, tiles):
                    def flush_tile_cache_to_disk_when_full(pool):
                        return pool.map(len, tiles)
                    return flush_tile_cache_to_disk_when_full
            """)
        )
        return reading.analyze_file(str(write(tmp_path / "m.py", source)))

    @staticmethod
    def rows(text):
        return text.splitlines()[1:]

    def test_shorten_keeps_both_ends(self):
        name = "abcdefghij.klmnopqrst"
        for width in range(len(tables.ELLIPSIS) + 1, len(name)):
            short = tables.shorten(name, width)
            assert len(short) == width and tables.ELLIPSIS in short
            head, tail = short.split(tables.ELLIPSIS)
            assert name.startswith(head) and name.endswith(tail) and len(tail) >= len(head)
        assert tables.shorten(name, len(name)) == name
        assert [tables.shorten(name, w) for w in (0, 1, 3)] == ["", "t", "rst"]

    @pytest.mark.parametrize("width", [40, 60, 80, 100, 132, 200])
    def test_rows_fit_and_stay_aligned(self, tmp_path, width):
        report = self.report(tmp_path, lines=12345)
        layout = tables.table_layout(width)
        rows = self.rows(tables.format_table(report, layout))
        assert len(rows) == 1 + len(report.functions)
        assert max(len(r) for r in rows) <= width
        # Left-aligned cells start where their header does, right-aligned ones end where it ends.
        header = rows[0]
        for r in rows[1:]:
            cells = r.split()
            assert len(cells) == len(layout.columns)
            for c, cell in zip(layout.columns, cells):
                start = header.index(c.name)
                if c.align == "<":
                    assert r[start:].startswith(cell + " ") or r[start:] == cell
                else:
                    end = start + len(c.name)
                    assert r[:end].endswith(" " + cell) and r[end : end + 1] == " "
        names = [r.split()[0] for r in rows[1:]]
        for name, f in zip(names, report.functions):
            if name != f.qualname:
                head, tail = name.split(tables.ELLIPSIS)
                assert f.qualname.startswith(head) and f.qualname.endswith(tail)
        assert (self.LONG in names) == (width >= 132)

    def test_columns_give_way_on_narrow_terminals(self):
        def shown(width):
            return [c.name for c in tables.table_layout(width).columns]

        assert shown(None) == shown(100) == list(tables.COMPACT_COLUMNS)
        assert shown(80) == ["function", "line", "par_pot", "gpu_suit", "speedup", "pattern"]
        assert shown(30) == ["function", "line", "pattern"]
        widths = range(20, 140)
        counts = [len(shown(w)) for w in widths]
        assert counts == sorted(counts)  # a wider terminal never shows fewer columns

    def test_legend_names_the_json_field_of_exactly_the_columns_shown(self):
        # Each column is named with the field of the JSON function record it shows, and that field exists.
        [f] = analyze_source("def f(xs):\n    return [x * 2 for x in xs]\n")
        record = f.to_dict()
        layout_of = tables.table_layout
        for layout in (
            layout_of(),
            layout_of(80),
            layout_of(30),
            layout_of(wide=True),
            layout_of(gpu=False),
            layout_of(wide=True, gpu=False),
        ):
            text = tables.legend(layout)
            hidden = set()
            pairs = {}
            for line in text.splitlines():
                if line.startswith("--wide adds: "):
                    hidden = set(line.split()[2:])
                    continue
                for pair in re.findall(r"(\w+) = ([\w.]+)", line):
                    pairs[pair[0]] = pair[1]
            shown = {c.name for c in layout.columns}
            assert set(pairs) == shown - {"line", "pattern"}
            for name, field in pairs.items():
                value = record
                for key in field.split("."):
                    value = value[key]
                column = next(c for c in layout.columns if c.name == name)
                if isinstance(value, float):
                    assert column.cell(f) in ("%.2f" % value, "%.1fx" % value)
                elif name != "indicators":
                    assert column.cell(f) == str(value)
            available = {c.name for c in tables.COLUMNS} - (set() if layout.gpu else set(tables.GPU_COLUMNS))
            assert hidden == available - shown
            assert layout.gpu or not shown & set(tables.GPU_COLUMNS)

    def test_wide_shows_every_column_and_full_names(self, tmp_path):
        report = self.report(tmp_path)
        rows = self.rows(tables.format_table(report, tables.table_layout(40, wide=True)))
        assert rows[0].split() == [c.name for c in tables.COLUMNS]
        assert [r.split()[0] for r in rows[1:]] == [f.qualname for f in report.functions]
        assert all(len(r.split()) == len(tables.COLUMNS) for r in rows)

    def test_piped_output_is_compact_whatever_the_terminal(self, tmp_path, monkeypatch):
        path = self.report(tmp_path).path
        monkeypatch.setattr(shutil, "get_terminal_size", lambda fallback=(80, 24): os.terminal_size((50, 24)))
        code, out, err = run("analyze", path)
        assert code == 0 and err == ""
        table = out[out.index(path) : out.index("Summary")].splitlines()[1:-1]
        assert table[0].split() == [c for c in tables.COMPACT_COLUMNS if c not in tables.GPU_COLUMNS]
        assert max(len(r) for r in table) <= tables.DEFAULT_WIDTH
        assert out.startswith(tables.legend(tables.table_layout(gpu=False)) + "\n\n")

    def test_terminal_output_fits_the_terminal(self, tmp_path, monkeypatch):
        path = self.report(tmp_path).path
        monkeypatch.setattr(shutil, "get_terminal_size", lambda fallback=(80, 24): os.terminal_size((50, 24)))
        out = FakeTerminal()
        assert main(["analyze", path], stdout=out, stderr=io.StringIO()) == 0
        text = out.getvalue()
        table = text[text.index(path) : text.index("Summary")].splitlines()[1:-1]
        assert max(len(r) for r in table) <= 50
        assert text.startswith(tables.legend(tables.table_layout(50, gpu=False)) + "\n\n")
        out = FakeTerminal()
        assert main(["analyze", "--wide", path], stdout=out, stderr=io.StringIO()) == 0
        wide = tables.legend(tables.table_layout(wide=True, gpu=False))
        assert self.LONG in out.getvalue() and out.getvalue().startswith(wide + "\n\n")

    def test_json_ignores_the_layout(self, tmp_path):
        path = self.report(tmp_path).path
        assert run("analyze", "--json", path)[1] == run("analyze", "--json", "--wide", path)[1]
        assert json.loads(run("analyze", "--json", path)[1])["files"][0]["functions"][-1]["qualname"] == self.LONG
