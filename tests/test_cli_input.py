"""The talvora command's inputs and errors: the first word, standard input, paths named twice or looping, files
that do not decode or parse, unmatched exclude patterns, a closed output pipe and a missing native module."""

import io
import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

from talvora.cli import discovery, main, reading, streaming

SCRIPT = shutil.which("talvora", path=os.path.dirname(sys.executable))
GRAMMAR = "(parsed with the Python %d.%d grammar)" % sys.version_info[:2]


def run(*argv):
    out, err = io.StringIO(), io.StringIO()
    code = main(list(argv), stdout=out, stderr=err)
    return code, out.getvalue(), err.getvalue()


def talvora(*argv, cwd, input=None, timeout=120):
    """The installed talvora command run as a user runs it: (status, standard output, standard error)."""
    assert SCRIPT, "the talvora console script is not installed next to %s" % sys.executable
    result = subprocess.run(
        [SCRIPT, *map(str, argv)],
        cwd=str(cwd),
        input=input,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        timeout=timeout,
    )
    return result.returncode, result.stdout.decode("utf-8"), result.stderr.decode("utf-8")


def write(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(text))
    return path


class TestFirstWord:
    def test_a_mistyped_command_is_an_error_naming_the_commands(self, tmp_path):
        write(tmp_path / "src" / "m.py", "def f():\n    pass\n")
        code, out, err = talvora("analyse", "src", cwd=tmp_path)
        assert (code, out) == (2, "")
        assert err.startswith("usage: talvora ")
        assert err.splitlines()[-1] == (
            "talvora: error: 'analyse' is neither a command (choose from analyze, plan, help) "
            "nor an existing path; did you mean 'analyze'?"
        )

    def test_a_first_word_that_is_neither_names_no_guess(self):
        code, out, err = run("frobnicate")
        assert (code, out) == (2, "")
        assert err.splitlines()[-1].endswith("nor an existing path")

    def test_an_existing_path_or_options_first_still_analyse(self, tmp_path):
        write(tmp_path / "src" / "m.py", "def f():\n    pass\n")
        code, out, err = talvora("src", "--files", cwd=tmp_path)
        assert code == 0, err
        assert "src/m.py: 1 function" in out
        code, out, err = talvora("--json", "src", cwd=tmp_path)
        assert code == 0 and json.loads(out)["summary"]["files"] == 1

    def test_help_with_and_without_a_command(self, tmp_path):
        code, out, err = talvora("help", cwd=tmp_path)
        assert (code, err) == (0, "")
        assert out.startswith("usage: talvora ") and "exit status:" in out
        assert out == talvora("--help", cwd=tmp_path)[1]
        code, out, err = talvora("help", "analyze", cwd=tmp_path)
        assert (code, err) == (0, "")
        assert out.startswith("usage: talvora analyze ") and "- reads standard input" in " ".join(out.split())
        assert out == run("analyze", "--help")[1]
        assert run("help", "plan")[1].startswith("usage: talvora plan ")
        code, out, err = talvora("help", "analyse", cwd=tmp_path)
        assert (code, out) == (2, "")
        assert "invalid choice: 'analyse'" in err

    def test_help_documents_the_exit_statuses_line_by_line(self):
        for argv in (["--help"], ["analyze", "--help"]):
            out = run(*argv)[1]
            for line in ("  0    success", "  3    a native module", "  130  interrupted", "  141  the output"):
                assert "\n" + line in out, argv


class TestPaths:
    def test_a_file_named_twice_is_analysed_once(self, tmp_path):
        ok = write(tmp_path / "pkg" / "ok.py", "def f():\n    pass\n")
        os.symlink("ok.py", str(tmp_path / "pkg" / "link.py"))
        code, out, err = talvora("analyze", "--json", "pkg/ok.py", "./pkg/ok.py", "pkg", "pkg/link.py", cwd=tmp_path)
        assert code == 0, err
        doc = json.loads(out)
        assert [f["path"] for f in doc["files"]] == ["pkg/ok.py"]
        assert doc["summary"]["files"] == 1 and doc["summary"]["functions"] == 1
        items = discovery.collect_files([str(ok), str(ok), "missing", "./missing"], io.StringIO())
        assert [(p, e is not None) for p, e in items] == [(str(ok), False), ("missing", True)]

    def test_a_symbolic_link_loop_is_named_so(self, tmp_path):
        os.symlink("loop.py", str(tmp_path / "loop.py"))
        code, out, err = talvora("analyze", "loop.py", cwd=tmp_path)
        assert code == 1
        assert err == "talvora: error: loop.py: symbolic link loop\n"
        # Found while searching a directory, it is reported when read.
        os.mkdir(str(tmp_path / "pkg"))
        os.symlink("self.py", str(tmp_path / "pkg" / "self.py"))
        code, out, err = run("analyze", str(tmp_path / "pkg"))
        assert code == 1
        assert err == "talvora: error: %s: symbolic link loop\n" % (tmp_path / "pkg" / "self.py")

    def test_unmatched_exclude_patterns_get_one_note_each_after_the_run(self, tmp_path):
        write(tmp_path / "pkg" / "a.py", "def a():\n    pass\n")
        write(tmp_path / "pkg" / "gen" / "b.py", "def b():\n    pass\n")
        argv = "analyze pkg --exclude gen/ --exclude *.pyx --exclude old/ --exclude *.pyx".split()
        code, out, err = talvora(*argv, cwd=tmp_path)
        assert code == 0, err
        assert err == (
            "talvora: note: excluded 1 matching gen/\n"
            "talvora: note: --exclude *.pyx matched nothing\n"
            "talvora: note: --exclude old/ matched nothing\n"
        )
        # Default patterns that match nothing are not noted.
        assert run("analyze", str(tmp_path / "pkg" / "a.py"))[2] == ""


class TestStandardInput:
    def test_dash_reads_standard_input(self, tmp_path):
        source = b"# -*- coding: latin-1 -*-\ndef caf\xe9(xs):\n    return sum(xs)\n"
        for argv in (["analyze", "--json", "-"], ["-", "--json"]):
            code, out, err = talvora(*argv, cwd=tmp_path, input=source)
            assert code == 0, err
            [entry] = json.loads(out)["files"]
            assert entry["path"] == "<stdin>"
            assert [f["name"] for f in entry["functions"]] == ["caf\u00e9"]

    def test_errors_of_standard_input_name_it(self, tmp_path):
        code, out, err = talvora("analyze", "-", cwd=tmp_path, input=b"def f(:\n")
        assert code == 1
        assert err.startswith("talvora: error: <stdin>: syntax error at line 1")

    def test_dash_is_read_once_beside_files(self, tmp_path, monkeypatch):
        path = write(tmp_path / "m.py", "def g():\n    pass\n")
        stdin = io.TextIOWrapper(io.BytesIO(b"def f():\n    pass\n"), encoding="utf-8")
        monkeypatch.setattr(sys, "stdin", stdin)
        code, out, err = run("analyze", "--json", "-", str(path), "-")
        assert code == 0, err
        assert [f["path"] for f in json.loads(out)["files"]] == ["<stdin>", str(path)]


class TestUnreadableSource:
    @pytest.mark.parametrize(
        "data,message",
        [
            (b"x = 1\r\ny = 2\r\nz = '\xff'\n", "cannot decode line 3 as utf-8: invalid start byte"),
            (b"x = 1\ry = '\xc3'\n", "cannot decode line 2 as utf-8: invalid continuation byte"),
            (b"# coding: ascii\n\n\ns = '\xe9'\n", "cannot decode line 4 as ascii: ordinal not in range(128)"),
            (b"# coding: uft-8\ndef f():\n    pass\n", "cannot decode line 1: unknown encoding: uft-8"),
            (b"#!/usr/bin/python\n# coding: nope\n", "cannot decode line 2: unknown encoding: nope"),
            (b"x = '\xff'\n", "cannot decode line 1 as utf-8: invalid start byte"),
            (b"\xef\xbb\xbfx = 1\ny = '\xff'\n", "cannot decode line 2 as utf-8-sig: invalid start byte"),
        ],
    )
    def test_decode_errors_name_the_path_once_and_the_line(self, tmp_path, data, message):
        path = tmp_path / "bad.py"
        path.write_bytes(data)
        code, out, err = talvora("analyze", "bad.py", cwd=tmp_path)
        assert code == 1
        assert err == "talvora: error: bad.py: %s\n" % message

    def test_line_breaks_are_read_as_universal_newlines(self):
        assert reading.decode_source(b"\xef\xbb\xbfa\r\nb\rc\n", "x.py") == "a\nb\nc\n"

    def test_syntax_errors_name_the_grammar_used(self, tmp_path):
        bad = write(tmp_path / "bad.py", "def f(:\n    pass\n")
        code, _, err = run("analyze", str(bad))
        assert code == 1
        assert err.startswith("talvora: error: %s: syntax error at line 1, column 7: " % bad)
        assert err.endswith(" %s\n" % GRAMMAR) and err.count(str(bad)) == 1

    @pytest.mark.skipif(sys.version_info >= (3, 10), reason="match statements parse from Python 3.10")
    def test_code_newer_than_the_interpreter_says_which_grammar(self, tmp_path):
        write(tmp_path / "new.py", "def f(x):\n    match x:\n        case 1:\n            return 2\n")
        code, _, err = talvora("analyze", "new.py", cwd=tmp_path)
        assert code == 1
        assert err.startswith("talvora: error: new.py: syntax error at line 2")
        assert err.endswith("(parsed with the Python 3.9 grammar)\n")


def test_a_closed_pipe_ends_the_run_quietly_with_the_sigpipe_status(tmp_path):
    # One file whose table is far larger than a pipe's buffer.
    write(tmp_path / "big.py", "".join("def f%d(xs):\n    return sum(xs)\n\n" % i for i in range(4000)))
    for option in ([], ["--json"]):
        proc = subprocess.Popen(
            [SCRIPT, "analyze", *option, "big.py"], cwd=str(tmp_path), stdout=subprocess.PIPE, stderr=subprocess.PIPE
        )
        head = [proc.stdout.readline() for _ in range(5)]
        proc.stdout.close()
        err = proc.stderr.read()
        proc.stderr.close()
        assert proc.wait(timeout=120) == 141, err
        assert all(head) and err == b""


NATIVE_SHIM = """\
import sys

class Unbuilt:
    # Stands for a build without one native module.
    def find_spec(self, name, path=None, target=None):
        if name == sys.argv[1]:
            raise ModuleNotFoundError("No module named %r" % name, name=name)
        return None

sys.meta_path.insert(0, Unbuilt())
from talvora.cli import main
sys.exit(main(sys.argv[2:]))
"""


@pytest.mark.parametrize(
    "module,argv",
    [
        ("talvora.plugins.analyzer.kelmarch", ["analyze"]),
        ("talvora.gpu.drelling", ["plan", "--shape", "5", "--element-size", "4", "--available", "8"]),
    ],
)
def test_a_missing_native_module_is_named_with_the_rebuild(tmp_path, module, argv):
    result = subprocess.run(
        [sys.executable, "-c", NATIVE_SHIM, module, *argv],
        cwd=str(tmp_path),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        timeout=120,
    )
    assert (result.returncode, result.stdout) == (3, "")
    first, second = result.stderr.splitlines()
    assert first == "talvora: error: the native module %s cannot be imported: No module named %r" % (module, module)
    assert "make install" in second and "pip install ." in second


def test_a_native_module_failing_during_the_run_is_reported_like_a_missing_one(tmp_path, monkeypatch):
    write(tmp_path / "a.py", "def a():\n    pass\n")

    def unbuilt(name):
        def fail(path, **options):
            raise ModuleNotFoundError("No module named %r" % name, name=name)

        return fail

    monkeypatch.setattr(streaming, "analyze_file", unbuilt("talvora.plugins.analyzer.kelmarch"))
    code, out, err = run("analyze", str(tmp_path))
    assert code == 3
    assert err.startswith("talvora: error: the native module talvora.plugins.analyzer.kelmarch cannot be imported")
    # Other import errors are not the installation's: they are not disguised.
    monkeypatch.setattr(streaming, "analyze_file", unbuilt("numpy"))
    with pytest.raises(ModuleNotFoundError):
        run("analyze", str(tmp_path))
