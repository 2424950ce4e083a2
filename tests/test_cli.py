"""The talvora command line: analyze and plan."""

import io
import json
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from talvora import cli
from talvora.cli import analyze_source, loop_chunking_potential, main, parse_shape, parse_size


def run(*argv):
    out, err = io.StringIO(), io.StringIO()
    code = main(list(argv), stdout=out, stderr=err)
    return code, out.getvalue(), err.getvalue()


def write(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(text))
    return path


def functions_of(source, **options):
    return {f.qualname: f for f in analyze_source(textwrap.dedent(source), **options)}


def loops(source):
    import ast

    return loop_chunking_potential(ast.parse(textwrap.dedent(source)).body[0])


# ---------------------------------------------------------------------------
# Finding and scoring functions


class TestAnalyzeSource:
    def test_finds_every_function_with_qualified_names_in_source_order(self):
        found = analyze_source(textwrap.dedent("""\
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
            """))
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
        assert f.indicators == {"cpu": 1, "memory": 0, "parallel": 0, "gpu_op": 2, "large_data": 0,
                                "embarrassing": 0, "sequential": 0}
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
        for name in ("normalize_features", "monthly_revenue", "train_churn_model", "post_transactions",
                     "TileRenderer.render_all"):
            assert name in out
        assert "Summary: " in out
        for pattern in ("NUMPY_VECTORIZED", "PANDAS_DATAFRAME", "SKLEARN_TRAINING", "SEQUENTIAL",
                        "PARALLEL_FRIENDLY", "GPU_SUITABLE"):
            assert pattern in out
        assert run("analyze")[1] == out

    def test_table_and_summary(self, tmp_path):
        path = write(tmp_path / "m.py", """\
            def a():
                pass

            def b():
                pass
            """)
        code, out, err = run("analyze", str(path))
        assert code == 0
        lines = out.splitlines()
        title = lines.index("%s: 2 functions" % path)
        header = lines[title + 1].split()
        assert header[:3] == ["function", "line", "indicators"] and header[-1] == "pattern"
        assert lines[title + 2].split()[:3] == ["a", "1", "0/0/0/0/0/0/0"]
        assert lines[title + 3].split()[-1] == "MIXED"
        assert "Summary: 2 functions in 1 file" in out
        assert [l.split() for l in lines[lines.index("Summary: 2 functions in 1 file") + 1:]] == [["MIXED", "2"]]

    def test_json_output(self, tmp_path):
        path = write(tmp_path / "m.py", "def f(xs):\n    return sum(x * x for x in xs)\n\nclass C:\n    def g(self):\n"
                                        "        import pandas as pd\n        return pd.DataFrame()\n")
        code, out, err = run("analyze", "--json", "--gpu-capability", "8.6", str(path))
        assert code == 0, err
        doc = json.loads(out)
        assert doc["gpu_available"] is True and doc["gpu_capability"] == "8.6"
        [entry] = doc["files"]
        assert entry["path"] == str(path)
        f, g = entry["functions"]
        assert (f["qualname"], f["line"], g["qualname"], g["line"]) == ("f", 1, "C.g", 5)
        assert set(f) >= {"indicators", "normalized", "frameworks", "parallelization_potential", "gpu_suitability",
                          "gpu_speedup", "pattern_code", "pattern"}
        assert f["loop_chunking_potential"] == 1.0
        assert cli.PATTERN_NAMES[g["pattern_code"]] == g["pattern"]
        summary = doc["summary"]
        assert summary["files"] == 1 and summary["functions"] == 2
        assert list(summary["patterns"]) == list(cli.PATTERN_NAMES)
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

    def test_files_without_functions(self, tmp_path):
        path = write(tmp_path / "consts.py", "X = 1\n")
        code, out, _ = run("analyze", str(path))
        assert code == 0 and "%s: 0 functions" % path in out


class TestAnalyzeErrors:
    def test_missing_path_is_reported_and_the_others_analysed(self, tmp_path):
        good = write(tmp_path / "good.py", "def ok():\n    pass\n")
        missing = tmp_path / "missing.py"
        code, out, err = run("analyze", str(missing), str(good))
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
        code, out, err = run("analyze", str(deep), str(good))
        # Depending on the interpreter's parser, analysed or reported; never a traceback.
        assert (code, err) in ((0, ""), (1, "talvora: error: %s: too deeply nested to analyse\n" % deep))
        assert "%s: 1 function" % good in out


class FakeTerminal(io.StringIO):
    def isatty(self):
        return True


class TestProgress:
    def make_files(self, tmp_path, n):
        for i in range(n):
            write(tmp_path / ("m%02d.py" % i), "def f%d():\n    pass\n" % i)

    def test_shown_on_a_terminal_for_many_files(self, tmp_path):
        self.make_files(tmp_path, cli.PROGRESS_MIN_FILES)
        err = FakeTerminal()
        reports, errors = cli.analyze_paths([str(tmp_path)], err)
        assert len(reports) == cli.PROGRESS_MIN_FILES and not errors
        text = err.getvalue()
        assert "[%d/%d]" % (cli.PROGRESS_MIN_FILES, cli.PROGRESS_MIN_FILES) in text
        assert text.endswith("\r\x1b[K")  # the line is cleared at the end

    def test_errors_get_their_own_line(self, tmp_path):
        self.make_files(tmp_path, cli.PROGRESS_MIN_FILES)
        write(tmp_path / "zz_bad.py", "def (:\n")
        err = FakeTerminal()
        cli.analyze_paths([str(tmp_path)], err)
        # The progress line is cleared before the error is written on a line of its own.
        assert "\r\x1b[Ktalvora: error: %s: syntax error" % (tmp_path / "zz_bad.py") in err.getvalue()
        assert err.getvalue().endswith("\n")  # the bad file came last: no progress line after it

    def test_not_shown_for_few_files_or_without_terminal(self, tmp_path):
        self.make_files(tmp_path, cli.PROGRESS_MIN_FILES - 1)
        err = FakeTerminal()
        cli.analyze_paths([str(tmp_path)], err)
        assert err.getvalue() == ""
        self.make_files(tmp_path, cli.PROGRESS_MIN_FILES)
        err = io.StringIO()
        cli.analyze_paths([str(tmp_path)], err)
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
        code, out, err = run("plan", "--shape", "10,4", "--element-size", "8", "--available", "125",
                             "--headroom", "0.2")
        assert code == 0, err
        assert "Strategy:            GPU_CHUNKED - Chunking into 4 GPU passes" in out
        assert "Chunk size:          100 bytes (100 B)" in out
        assert out.endswith("Chunk shapes:        4 chunks of whole rows along the first axis\n"
                            "  (3, 4) x 3\n  (1, 4) x 1\n")

    def test_rows_larger_than_a_chunk_are_flagged(self):
        code, out, _ = run("plan", "--shape", "2,1000", "--element-size", "8", "--available", "125")
        assert code == 0
        assert "GPU_CHUNKED" in out and "  (1, 1000) x 2\n" in out
        assert out.endswith("Warning: one row takes 8000 bytes, more than the chunk size; every chunk exceeds "
                            "the safe limit\n")
        plan = json.loads(run("plan", "--shape", "2,1000", "--element-size", "8", "--available", "125",
                              "--json")[1])
        assert plan["row_bytes"] == 8000 and plan["chunks_fit"] is False

    def test_json(self):
        code, out, _ = run("plan", "--shape", "10,4", "--element-size", "8", "--available", "125", "--json")
        plan = json.loads(out)
        assert plan["strategy"] == "GPU_CHUNKED" and plan["strategy_code"] == 1
        assert plan["allocation_bytes"] == 320 and plan["safe_limit_bytes"] == 100
        assert plan["chunk_count"] == 4 and plan["chunk_size_bytes"] == 100
        assert plan["chunk_shapes"] == [[3, 4], [3, 4], [3, 4], [1, 4]]
        assert plan["row_bytes"] == 32 and plan["chunks_fit"] is True

    def test_fallbacks(self):
        code, out, _ = run("plan", "--shape", "100000,1000", "--element-size", "8", "--available", "512MiB",
                           "--op", "matmul")
        assert code == 0
        assert "Operation:           matmul (not chunkable)" in out
        assert "CPU_FALLBACK - Operation not chunkable, falling back to CPU" in out
        code, out, _ = run("plan", "--shape", "4", "--element-size", "8", "--available", "0")
        assert "CPU_FALLBACK - No GPU memory available" in out

    def test_overhead_factor(self):
        plan = json.loads(run("plan", "--shape", "1000,1000", "--element-size", "8", "--available", "1GiB",
                              "--overhead-factor", "1.5", "--json")[1])
        assert plan["allocation_bytes"] == 12000000

    @pytest.mark.parametrize("option,value,message", [
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
    ])
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


# ---------------------------------------------------------------------------
# Entry points


def test_python_dash_m_runs_the_examples(tmp_path):
    result = subprocess.run([sys.executable, "-m", "talvora"], cwd=str(tmp_path), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert "Summary: " in result.stdout and "workloads.py" in result.stdout


def test_console_script_is_installed(tmp_path):
    script = shutil.which("talvora", path=os.path.dirname(sys.executable))
    assert script, "the talvora console script is not installed next to %s" % sys.executable
    result = subprocess.run([script, "plan", "--shape", "5", "--element-size", "4", "--available", "8",
                             "--headroom", "0"], cwd=str(tmp_path), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert "GPU_CHUNKED - Chunking into 3 GPU passes" in result.stdout
    assert result.stdout.endswith("  (2,) x 2\n  (1,) x 1\n")


def test_help_lists_the_commands():
    code, out, _ = run("--help")
    assert code == 0
    assert "analyze" in out and "plan" in out
