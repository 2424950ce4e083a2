"""inspect.signature() and help() of every function, method and constructor of the seven modules."""

import importlib
import inspect
import pydoc
from typing import Dict, Tuple  # noqa: F401  (named by string annotations below)

import pytest
from support.module_list import ROOT, SOURCES, short
from support.pydoc_text import PYDOC_QUOTES, PYDOC_WRAPS, as_pydoc_prints

# Expected signatures, by module and qualified name.  A bare class name is the
# class's constructor signature.
EXPECTED = {
    "talvora.memory.mesqua": {
        "AtomicCounter": "(initial_value=0)",
        "AtomicCounter.load": "(self) -> 'int'",
        "AtomicCounter.store": "(self, value)",
        "AtomicCounter.increment": "(self, delta=1) -> 'int'",
        "AtomicCounter.decrement": "(self, delta=1) -> 'int'",
        "AtomicCounter.compare_and_swap": "(self, expected, new_value) -> 'bool'",
        "AtomicCounter.fetch_and_add": "(self, delta) -> 'int'",
        "AtomicCounter.py_load": "(self) -> 'int'",
        "AtomicCounter.py_store": "(self, value)",
        "AtomicCounter.py_increment": "(self, delta=1) -> 'int'",
        "AtomicCounter.py_decrement": "(self, delta=1) -> 'int'",
        "AtomicCounter.py_compare_and_swap": "(self, expected, new_value) -> 'bool'",
        "AtomicCounter.py_fetch_and_add": "(self, delta) -> 'int'",
        "AtomicCounterWrapper.__init__": "(self, initial_value: 'int' = 0)",
        "AtomicCounterWrapper.load": "(self) -> 'int'",
        "AtomicCounterWrapper.store": "(self, value: 'int')",
        "AtomicCounterWrapper.increment": "(self, delta: 'int' = 1) -> 'int'",
        "AtomicCounterWrapper.decrement": "(self, delta: 'int' = 1) -> 'int'",
        "AtomicCounterWrapper.compare_and_swap": "(self, expected: 'int', new_value: 'int') -> 'bool'",
        "AtomicCounterWrapper.fetch_and_add": "(self, delta: 'int') -> 'int'",
        "LockFreeStatistics.py_record_allocation": (
            "(self, size: 'int', is_bucketed: 'bool', padding: 'int' = 0, time_ns: 'int' = 0)"
        ),
        "LockFreeStatistics.py_record_deallocation": "(self, size: 'int', time_ns: 'int' = 0)",
        "LockFreeStatistics._update_peaks": "(self, current_allocs: 'int', current_bytes: 'int') -> 'None'",
        "LockFreeStatistics.record_allocation": (
            "(self, size: 'int', is_bucketed: 'bool' = True, padding: 'int' = 0, time_ns: 'int' = 0) -> 'None'"
        ),
        "LockFreeStatistics.record_deallocation": "(self, size: 'int', time_ns: 'int' = 0) -> 'None'",
        "LockFreeStatistics.get_snapshot": "(self) -> 'dict'",
        "LockFreeStatistics.reset": "(self)",
        "AtomicPointer": "(initial_value=None)",
        "AtomicPointer.load": "(self) -> 'Optional[object]'",
        "AtomicPointer.store": "(self, value)",
        "AtomicPointer.compare_and_swap": "(self, expected, new_value) -> 'bool'",
        "AtomicPointer.get_version": "(self) -> 'int'",
        "LockFreeStack.push": "(self, item)",
        "LockFreeStack.pop": "(self) -> 'Optional[object]'",
        "LockFreeStack.is_empty": "(self) -> 'bool'",
        "LockFreeStack.size": "(self) -> 'int'",
        "PerformanceTimer.start": "(self)",
        "PerformanceTimer.elapsed_ns": "(self) -> 'int'",
        "PerformanceTimer.elapsed_us": "(self) -> 'float'",
        "PerformanceTimer.elapsed_ms": "(self) -> 'float'",
    },
    "talvora.memory.tollet": {
        "FastRedBlackTree": "(sample_rate=100)",
        "FastRedBlackTree._sanitize_size": "(size: 'int') -> 'int'",
        "FastRedBlackTree.insert": "(self, size: 'int', block: 'MemoryBlock') -> 'bool'",
        "FastRedBlackTree.find_best_fit": "(self, size: 'int', alignment: 'int' = 1) -> 'Optional[MemoryBlock]'",
        "FastRedBlackTree.find_all_exact": "(self, size: 'int') -> 'List[MemoryBlock]'",
        "FastRedBlackTree.delete": "(self, size: 'int', block: 'MemoryBlock') -> 'bool'",
        "FastRedBlackTree.remove_ge": "(self, size: 'int') -> 'Tuple[Optional[int], Optional[MemoryBlock]]'",
        "FastRedBlackTree.get_stats": "(self) -> 'Dict[str, Any]'",
        "FastRedBlackTree.size": "(self) -> 'int'",
        "FastRedBlackTree.clear": "(self) -> 'None'",
        "FastRedBlackTree.get_size_distribution": "(self) -> 'Dict[int, int]'",
        "FastRedBlackTree.reset_circuit_breaker": "(self) -> 'None'",
        "FastRedBlackTree.get_statistics": "(self) -> 'Dict[int, List[float]]'",
    },
    "talvora.memory.pardune": {
        "FastSlabHeaderOps": "(size_class_index, objects_per_slab)",
        "FastSlabHeaderOps.pack_header": "(self)",
        "FastSlabHeaderOps.unpack_header": "(self, data)",
        "FastSlabHeaderOps.py_is_object_free": "(self, object_index)",
        "FastSlabHeaderOps.py_find_free_object": "(self)",
        "FastSlabHeaderOps.py_allocate_object_at": "(self, object_index)",
        "FastSlabHeaderOps.py_deallocate_object_at": "(self, object_index)",
        "FastBucketAllocator": "(bucket_size_step=8, small_block_max=256, medium_block_max=4096)",
        "FastBucketAllocator._init_buckets": "(self)",
        "FastBucketAllocator.add_to_bucket": "(self, offset, size)",
        "FastBucketAllocator.remove_from_bucket": "(self, size)",
        "FastBucketAllocator.find_best_fit_bucket": "(self, size, alignment)",
        "FastStatsCollector.py_record_allocation": "(self, size, padding, is_bucketed)",
        "FastStatsCollector.py_record_deallocation": "(self)",
        "FastStatsCollector.get_stats": "(self)",
        "FastStatsCollector.reset_stats": "(self)",
        "fast_align_size": "(size, alignment)",
        "fast_get_bucket_size": "(size, step=8)",
        "fast_bitmap_operations": "(bitmap, index, operation)",
        "fast_can_fit_aligned": "(block_offset, block_size, alloc_size, alignment)",
    },
    "talvora.jit.orvistle": {
        "PolicyConfig": "(initial_threshold=100, min_threshold=10, max_threshold=10000, learning_rate=0.1, "
        "target_speedup=2.0)",
        "FunctionMetrics": "(call_count=0, compile_count=0, avg_speedup=1.0, total_execution_time_ms=0.0, "
        "last_compile_time=0.0, last_compiled=-1.0)",
        "AdaptivePolicy": "(config=None)",
        "AdaptivePolicy.get_threshold": "(self, func_id) -> 'int'",
        "AdaptivePolicy.should_compile": "(self, func_id, telemetry_store) -> 'bool'",
        "AdaptivePolicy.update": "(self, func_id, telemetry_store)",
        "AdaptivePolicy.get_statistics": "(self) -> 'Dict'",
        "get_orvistle": "() -> 'AdaptivePolicy'",
        "reset_orvistle": "()",
        "create_function_metrics": "(call_count: 'int' = 0, compile_count: 'int' = 0, avg_speedup: 'float' = 1.0, "
        "total_execution_time_ms: 'float' = 0.0, last_compile_time: 'float' = 0.0) "
        "-> 'FunctionMetrics'",
        "create_policy_config": "(initial_threshold: 'int' = 100, min_threshold: 'int' = 10, "
        "max_threshold: 'int' = 10000, learning_rate: 'float' = 0.1, "
        "target_speedup: 'float' = 2.0) -> 'PolicyConfig'",
    },
    "talvora.plugins.analyzer.kelmarch": {
        "quick_framework_score": "(code, framework)",
        "score_indicators": "(code, function_name)",
        "normalize_scores": "(cpu_score, memory_score, parallel_score, gpu_op_score, large_data_score)",
        "score_framework_patterns": "(code)",
        "determine_workload_pattern": "(cpu_intensity, memory_intensity, parallelization_potential, "
        "gpu_suitability, gpu_operation_score, numpy_score, pandas_score, "
        "sklearn_score, sequential_count, embarrassing_count, cpu_threshold, "
        "memory_threshold, gpu_threshold, numpy_threshold, pandas_threshold, "
        "sklearn_threshold, gpu_available)",
        "calculate_gpu_suitability": "(gpu_operation_score, gpu_data_size_score, cpu_intensity, gpu_available, "
        "compute_capability)",
        "estimate_gpu_speedup": "(gpu_operation_score, gpu_data_size_score, gpu_available)",
        "calculate_parallelization_potential": "(base_parallel_score, embarrassing_bonus, sequential_penalty, "
        "loop_chunking_potential)",
        "update_adaptive_threshold": "(current_threshold, success_rate, learning_rate, min_threshold, max_threshold)",
    },
    "talvora.plugins.analyzer.vossendra": {
        "detect_performance_degradation": "(performance_history, baseline_performance, threshold, window_start_time)",
        "calculate_performance_trend": "(performance_history, window_start_time)",
        "detect_workload_characteristics_change": "(pattern_history, change_threshold=0.3)",
        "detect_dominant_pattern": "(patterns, window_size=5)",
        "is_adaptation_beneficial": "(current_pool, recommended_pool, recommendation_score, "
        "recommendation_confidence, current_performance_estimate, trigger_code, "
        "min_improvement_ratio=1.1, min_confidence=0.6)",
        "should_skip_adaptation": "(last_adaptation_time, current_time, min_interval)",
        "detect_memory_pressure": "(current_usage, peak_usage, pressure_threshold=0.8)",
        "detect_fragmentation_threshold": "(fragmentation_ratio, threshold=0.3)",
        "calculate_adaptation_urgency": "(performance_degradation, memory_pressure, fragmentation_ratio, "
        "workload_changed)",
        "score_pool_recommendation": "(workload_fit, memory_fit, thread_count_fit, historical_success_rate)",
        "predict_resource_requirements": "(allocation_history, prediction_horizon_seconds)",
    },
    "talvora.gpu.drelling": {
        "estimate_allocation_bytes": "(shape, element_size, overhead_factor=1.0)",
        "calculate_safe_limit": "(available_bytes, headroom_ratio)",
        "decide_allocation_strategy": "(requested_bytes, available_bytes, headroom_ratio, is_chunkable)",
        "compute_chunk_shapes": "(shape, element_size, max_chunk_bytes)",
        "calculate_optimal_chunks": "(total_bytes, available_bytes, headroom_ratio, min_chunks=1, max_chunks=1000)",
        "is_oom_error": "(error_message, error_type)",
        "is_chunkable_operation": "(operation)",
        "score_gpu_suitability": "(data_size_bytes, operation_type, available_gpu_memory, headroom_ratio)",
        "calculate_memory_pressure": "(used_bytes, total_bytes)",
        "recommend_headroom": "(current_pressure, base_headroom=0.5)",
    },
}

# Names bound in the class dictionaries that are not methods of the Parts' tables.
_IGNORED = {
    "__reduce__",
    "__setstate__",
    "__reduce_cython__",
    "__setstate_cython__",
    "__len__",
    "__bool__",
    "__repr__",
    "__doc__",
    "__module__",
    "__qualname__",
    "__dict__",
    "__weakref__",
    "__new__",
    "__text_signature__",
}


def load(module):
    if not (ROOT / SOURCES[module]).exists():
        pytest.skip("%s is not built yet" % module)
    return importlib.import_module(module)


def resolve(mod, qualname):
    obj = mod
    for part in qualname.split("."):
        obj = getattr(obj, part)
    return obj


CASES = [(m, q) for m, table in EXPECTED.items() for q in table]


@pytest.mark.parametrize("module,qualname", CASES, ids=["%s:%s" % (short(m), q) for m, q in CASES])
def test_signature(module, qualname):
    obj = resolve(load(module), qualname)
    assert str(inspect.signature(obj)) == EXPECTED[module][qualname]


@pytest.mark.parametrize("module", list(EXPECTED), ids=short)
def test_help_shows_each_signature(module):
    mod = load(module)
    for qualname, sig in EXPECTED[module].items():
        obj = resolve(mod, qualname)
        if isinstance(obj, type):
            continue
        text = pydoc.render_doc(obj, renderer=pydoc.plaintext)
        assert obj.__name__ + as_pydoc_prints(obj.__name__, sig) in text, (qualname, text)


def test_pydoc_layout_of_long_signatures():
    """The layout helper against pydoc itself, on Python functions."""

    def short_one(a, b: "int" = 1) -> "int":
        return a

    def some_function(first_parameter, second: "Tuple[int, int]" = (1, 2), third: "str" = "x, y", fourth=None) -> "int":
        return 0

    def starred(*args: "int", key: "str" = "a: 'b'", **kw: "Dict[str, int]") -> "Tuple[int, int]":
        return 0, 0

    for func in (short_one, some_function, starred):
        sig = str(inspect.signature(func))
        text = pydoc.render_doc(func, renderer=pydoc.plaintext)
        assert func.__name__ + as_pydoc_prints(func.__name__, sig) in text, text
    quoted = "short_one(a, b: 'int' = 1) -> 'int'"
    text = pydoc.render_doc(short_one, renderer=pydoc.plaintext)
    assert (quoted if PYDOC_QUOTES else quoted.replace("'", "")) in text, text
    third = "third: 'str' = 'x, y'" if PYDOC_QUOTES else "third: str = 'x, y'"
    assert (
        "\n    %s,\n" % third in as_pydoc_prints("some_function", str(inspect.signature(some_function)))
    ) == PYDOC_WRAPS


def _public_callables(mod):
    """Qualified names of the functions and methods a module defines."""
    names = set()
    for name, obj in vars(mod).items():
        if name.startswith("__"):
            continue
        if isinstance(obj, type) and obj.__module__ == mod.__name__:
            for attr, member in vars(obj).items():
                if attr in _IGNORED:
                    continue
                if isinstance(member, staticmethod):
                    member = member.__func__
                if callable(member) and hasattr(member, "__code__"):
                    names.add("%s.%s" % (name, attr))
        elif callable(obj) and hasattr(obj, "__code__") and getattr(obj, "__module__", None) == mod.__name__:
            names.add(name)
    return names


@pytest.mark.parametrize("module", list(EXPECTED), ids=short)
def test_every_function_is_covered(module):
    mod = load(module)
    listed = {q for q in EXPECTED[module] if "." in q or not isinstance(getattr(mod, q, None), type)}
    assert _public_callables(mod) == listed


@pytest.mark.parametrize("module", list(EXPECTED), ids=short)
def test_code_objects_describe_the_parameters(module):
    mod = load(module)
    for qualname in EXPECTED[module]:
        obj = resolve(mod, qualname)
        if isinstance(obj, type):
            continue
        params = list(inspect.signature(obj).parameters)
        code = obj.__code__
        assert code.co_varnames[: code.co_argcount] == tuple(params), qualname
        assert code.co_posonlyargcount == 0 and code.co_kwonlyargcount == 0, qualname
        assert code.co_name == obj.__name__, qualname


def test_bound_methods_drop_self():
    mod = load("talvora.memory.mesqua")
    counter = mod.AtomicCounter(3)
    assert str(inspect.signature(counter.increment)) == "(delta=1) -> 'int'"
    assert counter.increment() == 4
    wrapper = mod.AtomicCounterWrapper(7)
    assert str(inspect.signature(wrapper.compare_and_swap)) == "(expected: 'int', new_value: 'int') -> 'bool'"


def test_signature_binds_like_the_call():
    """Arguments accepted by Signature.bind are the ones the call accepts."""
    mod = load("talvora.gpu.drelling")
    sig = inspect.signature(mod.calculate_optimal_chunks)
    bound = sig.bind(3000, 2000, 0.5, max_chunks=2)
    assert mod.calculate_optimal_chunks(*bound.args, **bound.kwargs) == 2
    with pytest.raises(TypeError):
        sig.bind(3000, 2000)
    with pytest.raises(TypeError):
        mod.calculate_optimal_chunks(3000, 2000)


@pytest.mark.parametrize("module", list(EXPECTED), ids=short)
def test_code_objects_and_traceback_entries_name_the_source_file(module):
    """Each function's code object, and the traceback entry of a failed call,
    carry the module's source file and the function's dotted name (an alias
    is the same function, under its first name)."""
    import traceback

    mod = load(module)
    for qualname in EXPECTED[module]:
        obj = resolve(mod, qualname)
        if isinstance(obj, type):
            continue
        assert obj.__code__.co_filename == SOURCES[module], qualname
        with pytest.raises(TypeError) as info:
            obj(*range(40))
        entry = traceback.extract_tb(info.value.__traceback__)[-1]
        assert (entry.filename, entry.name) == (SOURCES[module], "%s.%s" % (module, obj.__qualname__)), qualname
