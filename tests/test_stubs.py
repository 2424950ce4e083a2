"""The type stubs: installed with the package and consistent with the built modules (stubtest)."""

import importlib
import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest
from support.module_list import BUILT, ROOT, SOURCES, short


def _run(args, cwd):
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=str(cwd),
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        universal_newlines=True,
        timeout=600,
    )


@pytest.mark.parametrize("module", list(SOURCES), ids=short)
def test_stub_is_installed_next_to_the_extension(module):
    if module not in BUILT:
        pytest.skip("%s is not built yet" % module)
    found = importlib.util.find_spec(module)
    assert found is not None and found.origin.endswith((".so", ".pyd")), found
    origin = Path(found.origin)
    assert (origin.parent / (short(module) + ".pyi")).is_file()
    package_root = origin.parents[len(module.split(".")) - 2]
    assert package_root.name == "talvora"
    assert (package_root / "py.typed").is_file()


def test_stubtest_passes_for_every_built_module(tmp_path):
    if not BUILT:
        pytest.skip("no module built yet")
    args = ["mypy.stubtest", "--mypy-config-file", os.devnull]
    mypy_version = importlib.import_module("mypy.version").__version__
    if int(mypy_version.split(".")[0]) < 2 and "talvora.memory.mesqua" in BUILT:
        # The newest mypy a free-threaded interpreter installs from wheels (1.18) compares typing.TypeVar,
        # re-exported by mesqua, with its typeshed, which lacks the runtime's __mro_entries__.
        allowlist = tmp_path / "allowlist.txt"
        allowlist.write_text("talvora.memory.mesqua.TypeVar.__mro_entries__\n")
        args += ["--allowlist", str(allowlist), "--ignore-unused-allowlist"]
    result = _run([*args, *BUILT], tmp_path)
    assert result.returncode == 0, result.stdout
    assert "Success" in result.stdout


def test_stubs_type_check_a_client(tmp_path):
    """mypy accepts correct use of the modules and rejects wrong argument types."""
    needed = {"talvora.memory.mesqua", "talvora.gpu.drelling", "talvora.plugins.analyzer.kelmarch"}
    if not needed <= set(BUILT):
        pytest.skip("modules not built yet: %s" % ", ".join(sorted(needed - set(BUILT))))
    good = tmp_path / "good.py"
    good.write_text(
        "from talvora.memory.mesqua import AtomicCounter\n"
        "from talvora.gpu.drelling import decide_allocation_strategy\n"
        "from talvora.plugins.analyzer.kelmarch import score_indicators\n"
        "c = AtomicCounter(5)\n"
        "n: int = c.increment(2)\n"
        "code, size, count, message = decide_allocation_strategy(3000, 2000, 0.5, True)\n"
        "text: str = message\n"
        "counts = score_indicators('for x in range(3): pass', 'f')\n"
        "first: int = counts[0]\n"
    )
    bad = tmp_path / "bad.py"
    bad.write_text(
        "from talvora.memory.mesqua import AtomicCounter\n"
        "from talvora.gpu.drelling import estimate_allocation_bytes\n"
        "AtomicCounter().increment('one')\n"
        "estimate_allocation_bytes([1, 2], 8)\n"
        "s: str = AtomicCounter().load()\n"
    )
    ok = _run(["mypy", "--no-incremental", "--config-file", os.devnull, str(good)], tmp_path)
    assert ok.returncode == 0, ok.stdout
    failed = _run(["mypy", "--no-incremental", "--config-file", os.devnull, str(bad)], tmp_path)
    assert failed.returncode == 1, failed.stdout
    assert failed.stdout.count("error:") == 3, failed.stdout


def test_the_command_line_type_checks_against_the_stubs(tmp_path):
    if not {"talvora.plugins.analyzer.kelmarch", "talvora.gpu.drelling"} <= set(BUILT):
        pytest.skip("kelmarch and drelling are not built yet")
    result = _run(
        ["mypy", "--no-incremental", "--config-file", os.devnull, "--strict-optional", "-m", "talvora.cli"], tmp_path
    )
    assert result.returncode == 0, result.stdout


STRICT = ["mypy", "--strict", "--no-incremental", "--config-file", os.devnull]
ALL_BUILT = set(SOURCES) <= set(BUILT)


def _readme_script():
    import doctest

    from test_readme import SECTIONS

    return "\n".join(doctest.script_from_examples(text) for text, _ in SECTIONS.values())


@pytest.mark.skipif(not ALL_BUILT, reason="not every module is built")
def test_readme_examples_pass_mypy_strict(tmp_path):
    script = tmp_path / "readme_examples.py"
    script.write_text(_readme_script())
    assert "FastRedBlackTree()" in script.read_text()
    result = _run([*STRICT, str(script)], tmp_path)
    assert result.returncode == 0, result.stdout


@pytest.mark.skipif(not ALL_BUILT, reason="not every module is built")
def test_a_client_of_every_module_passes_mypy_strict_and_runs(tmp_path):
    client = ROOT / "tests" / "clients" / "every_module.py"
    result = _run([*STRICT, str(client)], tmp_path)
    assert result.returncode == 0, result.stdout
    ran = subprocess.run(
        [sys.executable, str(client)],
        cwd=str(tmp_path),
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        universal_newlines=True,
        timeout=120,
    )
    assert ran.returncode == 0, ran.stdout


@pytest.mark.skipif(not ALL_BUILT, reason="not every module is built")
def test_mypy_strict_rejects_misuse(tmp_path):
    bad = tmp_path / "bad.py"
    bad.write_text(
        "from talvora.jit.orvistle import AdaptivePolicy, FunctionMetrics\n"
        "from talvora.memory.mesqua import LockFreeStatistics\n"
        "from talvora.memory.pardune import FastStatsCollector, fast_bitmap_operations\n"
        "from talvora.memory.tollet import FastRedBlackTree\n"
        "fast_bitmap_operations(5, 1, 'toggle')\n"  # 1: no such operation
        "found: bool = fast_bitmap_operations(5, 1, 'set')\n"  # 2: set gives the bitmap
        "LockFreeStatistics().get_snapshot()['total_allocs']\n"  # 3: no such key
        "ratio: float = FastStatsCollector().get_stats()['bucketed_allocation_ratio']\n"  # 4: a str
        "class Store:\n"
        "    def get_metrics(self, func_id: int) -> FunctionMetrics: raise NotImplementedError\n"
        "AdaptivePolicy().update('f', Store())\n"  # 5: the store takes ints
        "size: int = FastRedBlackTree().remove_ge(8)[0]\n"  # 6: None when nothing fits
    )
    result = _run([*STRICT, str(bad)], tmp_path)
    lines = sorted(int(line.split(":")[1]) for line in result.stdout.splitlines() if ": error:" in line)
    assert lines == [5, 6, 7, 8, 11, 12], result.stdout


def test_public_types_are_importable_at_run_time():
    from talvora import interfaces

    assert interfaces.BitmapOperation.__args__ == ("is_set", "set", "clear", "find_first")
    assert list(interfaces.StatisticsSnapshot.__annotations__)[:2] == ["total_allocations", "total_deallocations"]
    assert list(interfaces.TreeStatistics.__annotations__) == [
        "total_blocks",
        "total_insertions",
        "total_deletions",
        "total_searches",
        "bucket_hits",
        "tree_hits",
        "operation_count",
        "circuit_breaker_trips",
        "node_count",
        "height",
        "sampled_operations",
        "is_valid",
    ]
    assert interfaces.TreeStatistics.__optional_keys__ == frozenset({"circuit_breaker_trips"})


@pytest.mark.skipif(not ALL_BUILT, reason="not every module is built")
def test_statistics_dicts_have_the_typed_keys_in_order():
    from talvora import interfaces
    from talvora.jit.orvistle import AdaptivePolicy
    from talvora.memory.mesqua import LockFreeStatistics
    from talvora.memory.pardune import FastStatsCollector
    from talvora.memory.tollet import FastRedBlackTree

    tree = FastRedBlackTree()
    cases = [
        (LockFreeStatistics().get_snapshot(), interfaces.StatisticsSnapshot),
        (FastStatsCollector().get_stats(), interfaces.SlabStatistics),
        (AdaptivePolicy().get_statistics(), interfaces.PolicyStatistics),
        (tree.get_stats(), interfaces.TreeStatistics),
    ]
    tree.reset_circuit_breaker()
    cases.append((tree.get_stats(), interfaces.TreeStatistics))
    for value, typed in cases:
        keys = [k for k in typed.__annotations__ if k in value or k in typed.__required_keys__]
        assert list(value) == keys, typed.__name__
        for key, kind in typed.__annotations__.items():
            if key in value:
                assert isinstance(value[key], float if kind is float else kind) or (
                    kind is float and isinstance(value[key], int)
                ), (typed.__name__, key)


def test_the_suite_imports_the_installed_package():
    import talvora

    here = Path(talvora.__file__).resolve()
    assert here.parent != ROOT / "talvora"
    assert Path(sys.prefix).resolve() in here.parents


@pytest.mark.skipif(not ALL_BUILT, reason="not every module is built")
def test_lists_of_any_entry_type_pass_mypy_strict_and_run(tmp_path):
    """Histories kept as List[List[float]], List[Tuple[...]] and List[str] variables fit the stubs (List is
    invariant, so the stubs take their entries through type variables) and the modules accept them."""
    client = ROOT / "tests" / "clients" / "sequences.py"
    result = _run([*STRICT, str(client)], tmp_path)
    assert result.returncode == 0, result.stdout
    ran = subprocess.run(
        [sys.executable, str(client)],
        cwd=str(tmp_path),
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        universal_newlines=True,
        timeout=120,
    )
    assert ran.returncode == 0, ran.stdout


# Calls that the stubs refuse and the modules refuse too: each raises TypeError when run.
_REFUSED = [
    "vossendra.calculate_performance_trend(((0.0, 1.0), (1.0, 2.0), (2.0, 3.0)), 0.0)",  # a tuple, not a list
    "vossendra.detect_dominant_pattern(None)",  # None has no length
    "vossendra.detect_dominant_pattern([1, 2, 2])",  # names are str
    "vossendra.predict_resource_requirements(None, 1.0)",
    "vossendra.detect_workload_characteristics_change([[0.1, 0.2, 0.3]] * 6)",  # entries are dicts
    "drelling.estimate_allocation_bytes([10, 4], 8)",  # shapes are tuples
]


@pytest.mark.skipif(not ALL_BUILT, reason="not every module is built")
def test_mypy_strict_refuses_what_the_modules_refuse(tmp_path):
    from talvora.gpu import drelling
    from talvora.plugins.analyzer import vossendra

    for call in _REFUSED:
        with pytest.raises(TypeError):
            eval(call, {"vossendra": vossendra, "drelling": drelling})
    bad = tmp_path / "bad.py"
    bad.write_text(
        "from typing import List, Optional\nfrom talvora.gpu import drelling\n"
        "from talvora.plugins.analyzer import vossendra\n"
        + "".join(call + "\n" for call in _REFUSED)
        # A list that may hold None may give None back.
        + "names: List[Optional[str]] = ['a', None]\n"
        + "found: str = vossendra.detect_dominant_pattern(names)\n"
    )
    result = _run([*STRICT, str(bad)], tmp_path)
    lines = sorted(int(line.split(":")[1]) for line in result.stdout.splitlines() if ": error:" in line)
    assert lines == list(range(4, 4 + len(_REFUSED))) + [4 + len(_REFUSED) + 1], result.stdout
