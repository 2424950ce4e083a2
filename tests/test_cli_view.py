"""The default view of ``talvora analyze``, its candidates with their evidence, and the records of its JSON
forms checked against the schema shipped with the package."""

import ast
import glob
import json
import os
import shutil
import signal
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest
from support.cli_runs import interrupt_after_two_lines, run

import talvora
from talvora.cli import common, evidence, ranking, scan, scoring, streaming
from talvora.plugins.analyzer import INDICATOR_KINDS
from talvora.plugins.analyzer import kelmarch as k

SCHEMA = json.loads((Path(talvora.__file__).parent / "cli" / "schema.json").read_text(encoding="utf-8"))

FRAMES = """\
import pandas as pd


def frame_report(df):
    return df.groupby("k").agg("sum").merge(df, on="k").sort_values("k")
"""

LOOKALIKE = """\
def query_report(rows):
    return rows.query("x").eval("y").merge(rows).join(rows)
"""


def write(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(text))
    return path


def talvora_cli(*argv, cwd):
    """Runs the installed console script as a user does; (status, stdout, stderr)."""
    script = shutil.which("talvora", path=os.path.dirname(sys.executable))
    assert script, "the talvora console script is not installed next to %s" % sys.executable
    result = subprocess.run(
        [script, *argv],
        cwd=str(cwd),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        timeout=120,
    )
    return result.returncode, result.stdout, result.stderr


def project(tmp_path):
    """A directory of three files: a pandas user, a look-alike without the import, a file without functions."""
    write(tmp_path / "proj" / "frames.py", FRAMES)
    write(tmp_path / "proj" / "lookalike.py", LOOKALIKE)
    write(tmp_path / "proj" / "consts.py", "X = 1\n")
    return tmp_path / "proj"


# ---------------------------------------------------------------------------
# The default view


class TestDefaultView:
    def test_a_directory_gets_a_summary_and_the_candidates_without_tables(self, tmp_path):
        root = project(tmp_path)
        code, out, err = talvora_cli("analyze", "proj", cwd=tmp_path)
        assert (code, err) == (0, "")
        lines = out.splitlines()
        assert lines[0].startswith("Summary: 2 functions in 3 files, ") and lines[0].endswith(" s")
        assert "PANDAS_DATAFRAME" in lines[1] and "2  100.0 %" in lines[1]
        assert "function" not in out.split()  # no table header
        assert ": 0 functions" not in out and "columns (JSON fields)" not in out
        # Candidates by score, then path and line: the two functions score the same here.
        at = lines.index("Top 2 candidates by score, then path and line; a function's score is the largest of its")
        first, second = lines[at + 2], lines[at + 5]
        assert first.endswith("proj/frames.py:4 frame_report") and second.endswith("proj/lookalike.py:1 query_report")
        # With --files, a table per file that has functions, the legend once before the first.
        code, files, _ = talvora_cli("analyze", "--files", "proj", cwd=tmp_path)
        assert files.count("columns (JSON fields)") == 1 and files.startswith("columns (JSON fields)")
        assert "proj/frames.py: 1 function\n" in files and "consts.py" not in files
        assert files.endswith(out[out.index("\n") :])  # the same summary tail after the tables
        assert root.is_dir()

    def test_one_file_gets_its_table_unless_no_files(self, tmp_path):
        root = project(tmp_path)
        code, out, _ = run("analyze", str(root / "frames.py"))
        assert code == 0 and "%s: 1 function\n" % (root / "frames.py") in out
        code, out, _ = run("analyze", "--no-files", str(root / "frames.py"))
        assert code == 0 and out.startswith("Summary: 1 function in 1 file, ")

    def test_gpu_columns_only_when_they_can_vary_and_the_assumption_said_once(self, tmp_path):
        path = write(tmp_path / "m.py", "def f(x):\n    return x.sum() * x.mean() @ x\n")
        _, out, _ = run("analyze", "--wide", str(path))
        header = out.splitlines()[out.splitlines().index("%s: 1 function" % path) + 1].split()
        assert "gpu_suit" not in header and "speedup" not in header and "gpu_suit" not in out.split()
        assert out.count("No GPU assumed") == 1
        _, out, _ = run("analyze", "--wide", "--gpu-capability", "8.6", str(path))
        header = out.splitlines()[out.splitlines().index("%s: 1 function" % path) + 1].split()
        assert header[-3:] == ["gpu_suit", "speedup", "pattern"]
        assert "No GPU assumed" not in out and out.count("Scored for a GPU of compute capability 8.6.") == 1

    def test_an_empty_top_list_says_why(self, tmp_path):
        path = write(
            tmp_path / "m.py",
            "def a():\n    pass\n\ndef b(lock):\n    global g\n    with lock:\n        sequential = ordered = 1\n",
        )
        code, out, _ = talvora_cli("analyze", "--top", "1", str(path), cwd=tmp_path)
        assert code == 0 and "Top 0" not in out
        assert out.endswith("\nNo candidates: all 2 functions are MIXED or SEQUENTIAL (1 MIXED, 1 SEQUENTIAL).\n")
        _, out, _ = run("analyze", str(tmp_path / "nothing-here"))
        assert out.endswith("\nNo candidates: no functions were analysed.\n")


# ---------------------------------------------------------------------------
# Candidates and their evidence


class TestCandidates:
    def test_each_entry_shows_its_scores_and_the_words_that_matched(self, tmp_path):
        root = project(tmp_path)
        code, out, _ = talvora_cli("analyze", "--top", "1", "proj", cwd=tmp_path)
        lines = out.splitlines()
        tail = lines[next(i for i, line in enumerate(lines) if line.startswith("  1. ")) :]
        assert len(tail) == 3
        assert tail[0].split() == ["1.", "0.22", "PANDAS_DATAFRAME", "proj/frames.py:4", "frame_report"]
        assert tail[1].split(";")[0].split() == ["score", "=", "pandas"]
        assert tail[2].strip() == "pandas words: groupby, agg, merge, sort_values; file imports pandas: yes"
        doc = json.loads(run("analyze", "--json", "--top", "2", str(root))[1])
        best, other = doc["top"]
        assert best["ranked_by"] == "pandas" and best["score"] == best["scores"]["pandas"]
        assert best["matched"]["pandas"] == ["groupby", "agg", "merge", "sort_values"]
        assert other["matched"]["pandas"] == ["merge", "join", "query", "eval"]
        assert (best["imports"], other["imports"]) == (["pandas"], [])
        # The look-alike reads like pandas but its file never imports it: the evidence says so.
        _, out, _ = run("analyze", "--top", "2", str(root))
        assert out.splitlines()[-1].endswith("; file imports pandas: no")

    def test_ties_break_by_path_then_line_whatever_the_order_of_the_paths(self, tmp_path):
        body = "def f%d(xs):\n    return xs.groupby(1).agg(2).merge(3)\n\n"
        for name in ("b.py", "a.py"):
            write(tmp_path / name, "".join(body % i for i in range(3)))
        docs = [
            json.loads(run("analyze", "--json", "--top", "4", *order)[1])["top"]
            for order in (
                [str(tmp_path / "b.py"), str(tmp_path / "a.py")],
                [str(tmp_path / "a.py"), str(tmp_path / "b.py")],
            )
        ]
        assert docs[0] == docs[1]
        assert len({t["score"] for t in docs[0]}) == 1
        assert [(os.path.basename(t["path"]), t["line"]) for t in docs[0]] == [
            ("a.py", 1),
            ("a.py", 4),
            ("a.py", 7),
            ("b.py", 1),
        ]

    def test_only_the_best_n_are_kept_as_files_stream_by(self):
        from talvora.cli.scoring import analyze_module

        sources = {
            "z.py": FRAMES,
            "y.py": LOOKALIKE,
            "x.py": "def t(m, x, y):\n    m.fit(x, y)\n    return m.predict(x), m.score(x, y)\n",
        }
        reports = [analyze_module(textwrap.dedent(text), path) for path, text in sources.items()]
        kept, every = ranking.TopCandidates(2), ranking.TopCandidates(10)
        for report in reports:
            kept.add(report)
            every.add(report)
        assert len(every.candidates()) == 3
        assert [c.key for c in kept.candidates()] == sorted(c.key for c in every.candidates())[:2]


def _sources():
    from talvora.examples import workloads

    stdlib = sysconfig.get_paths()["stdlib"]
    paths = [workloads.__file__] + sorted(glob.glob(os.path.join(stdlib, "*.py")))[:25]
    sources = [FRAMES, LOOKALIKE, "x = a @ b\n", ""]
    for p in paths:
        with open(p, encoding="utf-8") as fh:
            sources.append(fh.read())
    return sources


def test_matched_words_are_what_the_module_counts():
    checked = 0
    for source in _sources():
        lines = scan.SourceLines(source)
        for node, _, _ in scan.find_functions(ast.parse(source)):
            code = lines.segment(node) or ""
            matched = evidence.matched_words(code, node.name)
            counts = k.score_indicators(code, node.name)
            assert [len(matched[kind]) for kind in INDICATOR_KINDS] == list(counts)
            frameworks = k.score_framework_patterns(code)
            for name, score, size in zip(evidence.FRAMEWORKS, frameworks, (25, 18, 18)):
                assert len(matched[name]) == round(score * size)
            checked += 1
    assert checked > 300
    # Whole tables, in the module's sizes, found by the function's name where the module looks there too.
    assert [len(evidence.INDICATOR_WORDS[kind]) for kind in INDICATOR_KINDS] == [15, 10, 11, 36, 13, 8, 8]
    assert evidence.matched_words("x = a @ b", "matmul_kernel")["gpu_op"] == ["matmul", "@"]
    everything = " ".join(w for words in evidence.FRAMEWORK_WORDS.values() for w in words)
    assert k.score_framework_patterns(everything) == (1.0, 1.0, 1.0)


@pytest.mark.parametrize(
    "source,found",
    [
        ("import numpy as np\n", ("numpy",)),
        ("import os, pandas.io.sql\n", ("pandas",)),
        ("def f():\n    from sklearn.ensemble import X\n", ("sklearn",)),
        (
            "class C:\n    try:\n        import numpy\n    except ImportError:\n        from pandas import DataFrame\n",
            ("numpy", "pandas"),
        ),
        ("from . import numpy\nimport numpyish\nx = 'import pandas'\n", ()),
    ],
)
def test_framework_imports(source, found):
    assert evidence.framework_imports(ast.parse(source)) == found
    assert scoring.analyze_module(source).imports == found  # the same after the check of the text


def test_imports_of_frameworks_spelt_in_other_characters_are_found():
    # Identifiers are NFKC-normalised: full-width letters name numpy too.
    source = "def f():\n    import \uff4e\uff55\uff4d\uff50\uff59\n"
    assert evidence.may_import_frameworks(source)
    assert scoring.analyze_module(source).imports == ("numpy",)
    assert not evidence.may_import_frameworks("import os\n")


# ---------------------------------------------------------------------------
# JSON forms against the schema


class SchemaError(AssertionError):
    pass


_TYPES = {
    "object": lambda v: isinstance(v, dict),
    "array": lambda v: isinstance(v, list),
    "string": lambda v: isinstance(v, str),
    "integer": lambda v: isinstance(v, int) and not isinstance(v, bool),
    "number": lambda v: isinstance(v, (int, float)) and not isinstance(v, bool),
    "boolean": lambda v: isinstance(v, bool),
    "null": lambda v: v is None,
}


def validate(value, schema, where="$"):
    """Checks `value` against the subset of JSON Schema that schema.json uses; raises SchemaError."""
    if "$ref" in schema:
        name = schema["$ref"].rsplit("/", 1)[-1]
        return validate(value, SCHEMA["$defs"][name], where)
    if "oneOf" in schema:
        passed = 0
        for option in schema["oneOf"]:
            try:
                validate(value, option, where)
                passed += 1
            except SchemaError:
                pass
        if passed != 1:
            raise SchemaError("%s: matches %d of the oneOf schemas" % (where, passed))
        return None
    if "const" in schema and value != schema["const"]:
        raise SchemaError("%s: %r is not %r" % (where, value, schema["const"]))
    if "enum" in schema and value not in schema["enum"]:
        raise SchemaError("%s: %r not in %r" % (where, value, schema["enum"]))
    if "type" in schema:
        types = schema["type"] if isinstance(schema["type"], list) else [schema["type"]]
        if not any(_TYPES[t](value) for t in types):
            raise SchemaError("%s: %r is not of type %s" % (where, value, types))
    if isinstance(value, dict):
        props = schema.get("properties", {})
        for key in schema.get("required", []):
            if key not in value:
                raise SchemaError("%s: missing %r" % (where, key))
        for key, item in value.items():
            if key in props:
                validate(item, props[key], "%s.%s" % (where, key))
            elif schema.get("additionalProperties", True) is False:
                raise SchemaError("%s: unexpected %r" % (where, key))
    if isinstance(value, list) and "items" in schema:
        for i, item in enumerate(value):
            validate(item, schema["items"], "%s[%d]" % (where, i))
    return None


def records(text):
    return [json.loads(line) for line in text.splitlines()]


def test_schema_validator_rejects_what_the_schema_rules_out():
    good = json.loads(run("analyze", "--json", "--top", "1")[1])
    validate(good, SCHEMA)
    for damage in (
        lambda d: d.pop("version"),
        lambda d: d["summary"].update(files="3"),
        lambda d: d["files"][0]["functions"][0].update(extra=1),
        lambda d: d.update(schema_version=2),
        lambda d: d["top"][0].update(pattern="MIXY"),
    ):
        doc = json.loads(json.dumps(good))
        damage(doc)
        with pytest.raises(SchemaError):
            validate(doc, SCHEMA)
    with pytest.raises(SchemaError):
        validate({"type": "summary", "files": 1}, SCHEMA["$defs"]["record"])


@pytest.mark.parametrize("options", [[], ["--top", "3", "--gpu-capability", "7.5", "--exclude", "x*"]])
def test_both_json_forms_follow_the_schema(tmp_path, options):
    root = project(tmp_path)
    write(root / "tests" / "t.py", "def t():\n    pass\n")
    write(root / "bad.py", "def (:\n")
    (tmp_path / "empty").mkdir()
    paths = [str(root), str(tmp_path / "empty"), str(tmp_path / "missing.py")]
    code, out, _ = talvora_cli("analyze", "--json", *options, *paths, cwd=tmp_path)
    assert code == 1
    doc = json.loads(out)
    validate(doc, SCHEMA)
    assert SCHEMA["properties"]["schema_version"]["const"] == common.SCHEMA_VERSION == doc["schema_version"]
    assert (doc["version"], doc["paths"]) == (talvora.__version__, paths)
    assert doc["options"]["top"] == (3 if options else None)
    assert doc["options"]["exclude"] == (["x*"] if options else [])
    assert doc["warnings"] == [{"path": str(tmp_path / "empty"), "message": "no Python files found"}]
    assert ("top" in doc) == bool(options)
    code, out, _ = talvora_cli("analyze", "--jsonl", *options, *paths, cwd=tmp_path)
    lines = records(out)
    for record in lines:
        validate(record, SCHEMA["$defs"]["record"])
    types = [r["type"] for r in lines]
    assert types[:2] == ["run", "warning"] and types[-1] == "summary" and {"file", "error", "skipped"} <= set(types)
    run_record = {key: value for key, value in lines[0].items() if key != "type"}
    assert run_record == {key: doc[key] for key in run_record}
    assert lines[1] == dict(doc["warnings"][0], type="warning")


def test_an_interrupted_stream_ends_with_a_record_saying_so(tmp_path, monkeypatch):
    for i in range(3):
        write(tmp_path / ("m%d.py" % i), "def f():\n    pass\n")
    real = streaming.analyze_file
    calls = []

    def analyze_file(path, **kw):
        calls.append(path)
        if len(calls) == 2:
            raise KeyboardInterrupt
        return real(path, **kw)

    monkeypatch.setattr(streaming, "analyze_file", analyze_file)
    code, out, err = run("analyze", "--jsonl", str(tmp_path))
    assert (code, err) == (130, "talvora: interrupted\n")
    lines = records(out)
    assert [r["type"] for r in lines] == ["run", "file", "interrupted"]
    assert (lines[-1]["files"], lines[-1]["functions"], lines[-1]["errors"]) == (1, 1, 0)
    validate(lines[-1], SCHEMA["$defs"]["record"])


@pytest.mark.skipif(not hasattr(signal, "SIGINT") or os.name != "posix", reason="needs POSIX signals")
def test_ctrl_c_on_the_console_script_ends_the_stream_with_an_interrupted_record(tmp_path):
    for i in range(3000):
        write(tmp_path / "many" / ("m%04d.py" % i), "def f(xs):\n    return [x * 2 for x in xs]\n" * 20)
    script = shutil.which("talvora", path=os.path.dirname(sys.executable))
    code, out, err = interrupt_after_two_lines([script, "analyze", "--jsonl", "many"], timeout=120, cwd=str(tmp_path))
    lines = records(out)
    assert code == 130 and err.endswith("talvora: interrupted\n")
    assert lines[-1]["type"] == "interrupted" and lines[-1]["files"] < 3000
    assert all(r["type"] in ("run", "file") for r in lines[:-1])
