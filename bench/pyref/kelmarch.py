"""Workload analysis scoring in pure Python."""

import re

cpu_indicators = (
    "for",
    "while",
    "range",
    "numpy",
    "scipy",
    "math",
    "calculation",
    "compute",
    "algorithm",
    "sum",
    "prod",
    "dot",
    "matmul",
    "fft",
    "linalg",
)
memory_indicators = ("array", "list", "dict", "pandas", "dataframe", "allocate", "buffer", "cache", "append", "extend")
parallel_indicators = (
    "multiprocessing",
    "threading",
    "concurrent",
    "async",
    "parallel",
    "pool",
    "worker",
    "chunk",
    "batch",
    "processpoolexecutor",
    "threadpoolexecutor",
)
gpu_operation_indicators = (
    "matmul",
    "dot",
    "tensordot",
    "@",
    "fft",
    "ifft",
    "rfft",
    "convolve",
    "correlate",
    "sum",
    "mean",
    "std",
    "var",
    "sin",
    "cos",
    "exp",
    "log",
    "sqrt",
    "power",
    "**",
    "add",
    "subtract",
    "multiply",
    "divide",
    "/",
    "*",
    "+",
    "-",
    "linalg",
    "linear_algebra",
    "array",
    "asarray",
    "zeros",
    "ones",
    "empty",
    "full",
)
large_data_indicators = (
    "reshape",
    "resize",
    "huge",
    "large",
    "gigabyte",
    "gb",
    "million",
    "billion",
    "1e6",
    "1e9",
    "1024",
    "megabyte",
    "mb",
)
embarrassing_indicators = (
    "workload",
    "benchmark",
    "intensive",
    "chunk_workload",
    "map",
    "apply",
    "vectorize",
    "broadcast",
)
sequential_indicators = ("global", "nonlocal", "lock", "mutex", "synchronized", "sequential", "ordered", "dependencies")
numpy_indicators = (
    "numpy",
    "np.",
    "ndarray",
    "array",
    "matrix",
    "vectorize",
    "broadcast",
    "ufunc",
    "dot",
    "matmul",
    "linalg",
    "fft",
    "sum",
    "mean",
    "std",
    "var",
    "min",
    "max",
    "argmax",
    "argmin",
    "reshape",
    "transpose",
    "concatenate",
    "stack",
    "split",
)
pandas_indicators = (
    "pandas",
    "pd.",
    "dataframe",
    "series",
    "groupby",
    "apply",
    "agg",
    "transform",
    "merge",
    "join",
    "concat",
    "pivot",
    "melt",
    "query",
    "eval",
    "rolling",
    "resample",
    "sort_values",
)
sklearn_indicators = (
    "sklearn",
    "fit",
    "predict",
    "transform",
    "score",
    "cross_val",
    "gridsearchcv",
    "randomizedsearchcv",
    "pipeline",
    "featureunion",
    "train_test_split",
    "classification",
    "regression",
    "clustering",
    "preprocessing",
    "model_selection",
    "metrics",
    "ensemble",
)

_framework_patterns = {
    "numpy": re.compile(r"\b(numpy|np\.|ndarray|array|vectorize|matmul|linalg)\b", re.IGNORECASE),
    "pandas": re.compile(r"\b(pandas|pd\.|DataFrame|Series|groupby|merge|pivot)\b", re.IGNORECASE),
    "sklearn": re.compile(r"\b(sklearn|fit|predict|transform|GridSearchCV|RandomForest)\b", re.IGNORECASE),
}


def quick_framework_score(code, framework):
    pattern = _framework_patterns.get(framework)
    if pattern is None:
        return 0.0
    return min(len(pattern.findall(code)) * 0.1, 1.0)


def _count(table, text):
    n = 0
    for ind in table:
        if ind in text:
            n += 1
    return n


def _count2(table, text, name):
    n = 0
    for ind in table:
        if ind in text or ind in name:
            n += 1
    return n


def score_indicators(code, function_name):
    code_lower = code.lower()
    func_lower = function_name.lower() if function_name else ""
    return (
        _count(cpu_indicators, code_lower),
        _count(memory_indicators, code_lower),
        _count(parallel_indicators, code_lower),
        _count2(gpu_operation_indicators, code_lower, func_lower),
        _count(large_data_indicators, code_lower),
        _count2(embarrassing_indicators, code_lower, func_lower),
        _count(sequential_indicators, code_lower),
    )


def _clamp01(x):
    return max(min(x, 1.0), 0.0)


def normalize_scores(cpu_score, memory_score, parallel_score, gpu_op_score, large_data_score):
    return (
        _clamp01(cpu_score * (1 / 15)),
        _clamp01(memory_score * (1 / 10)),
        _clamp01(parallel_score * (1 / 11)),
        _clamp01(gpu_op_score * (1 / 36)),
        _clamp01(large_data_score * (1 / 13)),
    )


def score_framework_patterns(code):
    code_lower = code.lower()
    return (
        _clamp01(_count(numpy_indicators, code_lower) * 0.04),
        _clamp01(_count(pandas_indicators, code_lower) * 0.05555555555555555),
        _clamp01(_count(sklearn_indicators, code_lower) * 0.05555555555555555),
    )


def determine_workload_pattern(
    cpu_intensity,
    memory_intensity,
    parallelization_potential,
    gpu_suitability,
    gpu_operation_score,
    numpy_score,
    pandas_score,
    sklearn_score,
    sequential_count,
    embarrassing_count,
    cpu_threshold,
    memory_threshold,
    gpu_threshold,
    numpy_threshold,
    pandas_threshold,
    sklearn_threshold,
    gpu_available,
):
    if sklearn_score > sklearn_threshold:
        return 12
    if pandas_score > pandas_threshold:
        return 10
    if numpy_score > numpy_threshold:
        return 8
    if gpu_available and gpu_suitability > gpu_threshold:
        if gpu_operation_score > 0.7 and cpu_intensity > 0.6:
            return 6
        if memory_intensity > 0.5:
            return 7
        return 5
    if embarrassing_count > 0 or parallelization_potential > 0.6:
        return 3
    if cpu_intensity > cpu_threshold:
        return 1
    if memory_intensity > memory_threshold:
        return 2
    if sequential_count > 2:
        return 4
    return 0


def calculate_gpu_suitability(
    gpu_operation_score, gpu_data_size_score, cpu_intensity, gpu_available, compute_capability
):
    if not gpu_available:
        return 0.0
    multiplier = 1.0
    if compute_capability:
        try:
            major = int(compute_capability.split(".")[0])
        except (ValueError, IndexError):
            pass
        else:
            multiplier = 1.2 if major > 7 else 1.1 if major == 7 else 1.0 if major == 6 else 0.8
    cpu_term = max(min(cpu_intensity * 0.3, 0.3), 0.0)
    base = gpu_data_size_score * 0.4 + gpu_operation_score * 0.6
    return _clamp01(multiplier * (base + cpu_term))


def estimate_gpu_speedup(gpu_operation_score, gpu_data_size_score, gpu_available):
    if not gpu_available or gpu_operation_score == 0.0:
        return 1.0
    if gpu_operation_score > 0.8:
        base = 15.0
    elif gpu_operation_score > 0.6:
        base = 8.0
    elif gpu_operation_score > 0.3:
        base = 4.0
    else:
        base = 2.0
    return base + (gpu_data_size_score * 0.5) * base


def calculate_parallelization_potential(
    base_parallel_score, embarrassing_bonus, sequential_penalty, loop_chunking_potential
):
    bonus = max(min(embarrassing_bonus * 0.3, 0.7), 0.0)
    penalty = max(min(sequential_penalty * 0.2, 0.5), 0.0)
    x = (bonus + base_parallel_score) - penalty
    x = x + loop_chunking_potential * 0.4
    return _clamp01(x)


def update_adaptive_threshold(current_threshold, success_rate, learning_rate, min_threshold, max_threshold):
    if success_rate > 0.8:
        t = current_threshold + learning_rate
    elif not success_rate >= 0.4:
        t = current_threshold - learning_rate
    else:
        t = current_threshold
    if t < min_threshold or t != t:
        return min_threshold
    return min(t, max_threshold)
