"""The type stubs: installed with the package and consistent with the built modules (stubtest)."""

import importlib
import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

from module_list import BUILT, SOURCES, short


def _run(args, cwd):
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    return subprocess.run([sys.executable, "-m", *args], cwd=str(cwd), env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True, timeout=600)


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
    result = _run(["mypy.stubtest", "--mypy-config-file", os.devnull, *BUILT], tmp_path)
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
    result = _run(["mypy", "--no-incremental", "--config-file", os.devnull, "--strict-optional", "-m",
                   "talvora.cli"], tmp_path)
    assert result.returncode == 0, result.stdout
