"""The command line's output, byte for byte, against recorded runs.

Each case runs ``main`` in-process (standard output not a terminal, so the
tables are 100 columns wide) and compares standard output, standard error and
the exit status with the files under ``golden/cli/`` (``<case>.out`` and
``<case>.err``).  Paths that differ from machine to machine are written as
``{examples}`` (the bundled workloads) and ``{root}`` (the tree built for the
case); the package version is written as ``{version}`` and the time a run took
as ``{seconds}``.
"""

import io
import os
import re
from pathlib import Path

import pytest

import talvora
from talvora.cli import main

GOLDEN = Path(__file__).parent / "golden" / "cli"

EXAMPLES = {
    "examples": [],
    "examples_wide": ["--wide"],
    "examples_summary": ["--no-files", "--top", "3"],
    "examples_top": ["--top", "3"],
    "examples_gpu": ["--gpu-capability", "8.6", "--top", "5"],
    "examples_json": ["--json"],
    "examples_jsonl_top": ["--jsonl", "--top", "3"],
}

# A tree with every kind of outcome: analysed files, one that cannot be decoded,
# excluded paths, a path that is not a regular file, and a missing path.
TREE = {
    "tree": [],
    "tree_files": ["--files"],
    "tree_top": ["--top", "2"],
    "tree_json_top": ["--json", "--top", "2"],
    "tree_jsonl": ["--jsonl"],
}

PLAN = {
    "plan_direct": ["--shape", "100000,1000", "--element-size", "8", "--available", "8GiB"],
    "plan_direct_json": ["--shape", "100000,1000", "--element-size", "8", "--available", "8GiB", "--json"],
    "plan_chunked": ["--shape", "10,4", "--element-size", "8", "--available", "125"],
    "plan_chunked_json": ["--shape", "10,4", "--element-size", "8", "--available", "125", "--json"],
    "plan_rows": ["--shape", "20000000,1000", "--element-size", "8", "--available", "1MiB", "--overhead-factor", "1.5"],
    "plan_fallback": ["--shape", "1000", "--element-size", "8", "--available", "100", "--op", "matmul"],
    # Values given that differ from those applied, and an operation the module does not know.
    "plan_applied": [
        "--shape",
        "10,4",
        "--element-size",
        "8",
        "--available",
        "1PiB",
        "--headroom",
        "0.995",
        "--overhead-factor",
        "0.5",
        "--op",
        "zero",
    ],
    "plan_saturated": ["--shape", "2000000000,2000000000,2000000000", "--element-size", "8", "--available", "8GiB"],
    "plan_saturated_json": [
        "--shape",
        "2000000000,2000000000,2000000000",
        "--element-size",
        "8",
        "--available",
        "8GiB",
        "--json",
    ],
}


def run(argv, replacements):
    out, err = io.StringIO(), io.StringIO()
    code = main(argv, stdout=out, stderr=err)
    texts = [out.getvalue(), err.getvalue()]
    for path, name in replacements:
        texts = [t.replace(path, name) for t in texts]
    texts = [t.replace('"version": "%s"' % talvora.__version__, '"version": "{version}"') for t in texts]
    texts = [re.sub(r"^(Summary: .*), \d+\.\d\d s$", r"\1, {seconds} s", t, flags=re.M) for t in texts]
    return code, texts[0], texts[1]


KERNELS = """\
import numpy as np


def scale(a):
    return np.dot(np.array(a), np.linalg.inv(a)).sum(axis=0).mean()


class Ledger:
    def total(self, rows):
        t = 0
        for r in rows:
            t += r
        return t

    def each(self, rows):
        return [r * 2 for r in rows]
"""


def build_tree(root):
    pkg = root / "pkg"
    (pkg / "tests").mkdir(parents=True)
    (pkg / "kernels.py").write_text(KERNELS)
    (pkg / "bad.py").write_text("# coding: uft-8\ndef f():\n    pass\n")
    (pkg / "empty.py").write_text("X = 1\n")
    (pkg / "test_x.py").write_text("def t():\n    pass\n")
    (pkg / "tests" / "t.py").write_text("def t():\n    pass\n")
    os.mkfifo(str(pkg / "pipe.py"))
    return [str(pkg), str(root / "missing.py")]


def expected(code, name):
    """(code, recorded standard output, recorded standard error) of case `name`."""
    return (
        code,
        (GOLDEN / (name + ".out")).read_text(encoding="utf-8"),
        (GOLDEN / (name + ".err")).read_text(encoding="utf-8"),
    )


def examples_replacements():
    from talvora.examples import workloads

    return [(workloads.__file__, "{examples}")]


@pytest.mark.parametrize("name", list(EXAMPLES))
def test_analyze_on_the_bundled_examples(name):
    assert run(["analyze", *EXAMPLES[name]], examples_replacements()) == expected(0, name)


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no FIFOs")
@pytest.mark.parametrize("name", list(TREE))
def test_analyze_on_a_tree_with_errors_and_skips(name, tmp_path):
    paths = build_tree(tmp_path)
    # The syntax error and the missing path make the status 1.
    assert run(["analyze", *TREE[name], *paths], [(str(tmp_path), "{root}")]) == expected(1, name)


@pytest.mark.parametrize("name", list(PLAN))
def test_plan(name):
    assert run(["plan", *PLAN[name]], []) == expected(0, name)
