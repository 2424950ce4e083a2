"""The names of the native codes: WorkloadPattern and AllocationStrategy beside the modules that return them."""

import enum
import subprocess
import sys

import pytest
from support.module_list import BUILT

from talvora.gpu import STRATEGY_NAMES, AllocationStrategy, strategy_name
from talvora.plugins.analyzer import PATTERN_NAMES, WorkloadPattern, pattern_name

KELMARCH, DRELLING = "talvora.plugins.analyzer.kelmarch", "talvora.gpu.drelling"


def _pattern(**scores):
    from talvora.plugins.analyzer import kelmarch

    args = dict.fromkeys(["cpu", "memory", "parallel", "gpu", "gpu_op", "numpy", "pandas", "sklearn"], 0.0)
    args.update(scores)
    seq, emb = args.pop("seq", 0), args.pop("emb", 0)
    gpu_available = args.pop("gpu_available", False)
    return kelmarch.determine_workload_pattern(*args.values(), seq, emb, *[0.5] * 6, gpu_available)


@pytest.mark.parametrize(
    "enum_class,names,name_of",
    [
        (WorkloadPattern, PATTERN_NAMES, pattern_name),
        (AllocationStrategy, STRATEGY_NAMES, strategy_name),
    ],
)
def test_members_are_the_name_tables(enum_class, names, name_of):
    assert issubclass(enum_class, enum.IntEnum)
    assert [m.name for m in enum_class] == list(names)
    assert [m.value for m in enum_class] == list(range(len(names)))
    for member in enum_class:
        assert name_of(member) == name_of(int(member)) == member.name
        assert enum_class[member.name] is member


@pytest.mark.skipif(KELMARCH not in BUILT, reason="kelmarch is not built")
def test_every_pattern_code_returned_maps_to_a_member_and_back():
    returned = {
        _pattern(): "MIXED",
        _pattern(cpu=0.6): "CPU_INTENSIVE",
        _pattern(memory=0.6): "MEMORY_INTENSIVE",
        _pattern(parallel=0.61): "PARALLEL_FRIENDLY",
        _pattern(seq=3): "SEQUENTIAL",
        _pattern(gpu=0.8, gpu_available=True): "GPU_SUITABLE",
        _pattern(gpu=0.8, gpu_op=0.9, cpu=0.7, gpu_available=True): "GPU_COMPUTE_INTENSIVE",
        _pattern(gpu=0.8, memory=0.6, gpu_available=True): "GPU_MEMORY_BOUND",
        _pattern(numpy=0.9): "NUMPY_VECTORIZED",
        _pattern(pandas=0.9): "PANDAS_DATAFRAME",
        _pattern(sklearn=0.9): "SKLEARN_TRAINING",
    }
    assert len(returned) == 11  # the three others are never returned
    for code, name in returned.items():
        assert type(code) is int  # the native result stays a plain int
        assert WorkloadPattern(code).name == name and code == WorkloadPattern[name]
        assert {WorkloadPattern[name]: True}[code]  # equal members hash alike


@pytest.mark.skipif(DRELLING not in BUILT, reason="drelling is not built")
def test_every_strategy_code_maps_to_a_member_and_back():
    from talvora.gpu import drelling

    cases = {
        (1000, 2000, 0.5, True): AllocationStrategy.GPU_DIRECT,
        (3000, 2000, 0.5, True): AllocationStrategy.GPU_CHUNKED,
        (3000, 2000, 0.5, False): AllocationStrategy.CPU_FALLBACK,
        (0, 0, 0.5, True): AllocationStrategy.CPU_FALLBACK,
    }
    for args, member in cases.items():
        code = drelling.decide_allocation_strategy(*args)[0]
        assert type(code) is int and code == member and AllocationStrategy(code) is member


def test_codes_outside_the_tables():
    with pytest.raises(ValueError):
        WorkloadPattern(14)
    with pytest.raises(ValueError):
        AllocationStrategy(-1)
    assert (pattern_name(14), strategy_name(3)) == ("UNKNOWN(14)", "3")


def test_the_classes_are_importable_without_the_native_modules(tmp_path):
    # The names live in the packages' pure-Python modules, not in the extensions.
    code = (
        "import sys; sys.modules['talvora.gpu.drelling'] = None; sys.modules['%s'] = None\n"
        "from talvora.gpu import AllocationStrategy\nfrom talvora.plugins.analyzer import WorkloadPattern\n"
        "print(AllocationStrategy.GPU_CHUNKED == 1, WorkloadPattern(6).name)" % KELMARCH
    )
    out = subprocess.run(
        [sys.executable, "-c", code], cwd=str(tmp_path), stdout=subprocess.PIPE, universal_newlines=True, timeout=60
    ).stdout
    assert out == "True GPU_COMPUTE_INTENSIVE\n"
