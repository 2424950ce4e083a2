// talvora.plugins.analyzer.kelmarch: workload indicator scoring, framework
// scoring, GPU suitability and threshold estimates.
#include <new>
#include <optional>

#include "frame/frame.hpp"
#include "plugins/analyzer/kelmarch_core.hpp"

namespace {

using namespace frame::declarations;
using frame::Ref;

frame::Str s_pat_numpy(R"re(\b(numpy|np\.|ndarray|array|vectorize|matmul|linalg)\b)re");
frame::Str s_pat_pandas(R"re(\b(pandas|pd\.|DataFrame|Series|groupby|merge|pivot)\b)re");
frame::Str s_pat_sklearn(R"re(\b(sklearn|fit|predict|transform|GridSearchCV|RandomForest)\b)re");

// Compiled framework patterns by framework name; private to the module.
PyObject* g_framework_patterns = nullptr;

// Texts at least this long are scanned without the interpreter lock.
constexpr Py_ssize_t kNogilScan = 1 << 15;

template <class CharT>
void scan_units(const CharT* data, Py_ssize_t n, kelmarch::Found& found) {
  const kelmarch::Matcher& m = kelmarch::matcher();
  if (n >= kNogilScan) {
    frame::nogil([&] { m.scan(data, static_cast<std::size_t>(n), found); });
  } else {
    m.scan(data, static_cast<std::size_t>(n), found);
  }
}

// Records the indicator entries that occur in `s.lower()` (s an exact str).
// ASCII text is folded during the scan; other text is lower-cased once by
// str.lower, whose result is scanned in its own code-unit width.
bool scan_lowered(PyObject* s, kelmarch::Found& found) {
  if (frame::compat::unicode_ready(s) < 0) return false;
  if (PyUnicode_IS_ASCII(s)) {
    scan_units(PyUnicode_1BYTE_DATA(s), PyUnicode_GET_LENGTH(s), found);
    return true;
  }
  Ref low(frame::call_method(s, "lower"_s));
  if (!low) return false;
  if (frame::compat::unicode_ready(low.get()) < 0) return false;
  const Py_ssize_t n = PyUnicode_GET_LENGTH(low.get());
  switch (PyUnicode_KIND(low.get())) {
    case PyUnicode_1BYTE_KIND:
      scan_units(PyUnicode_1BYTE_DATA(low.get()), n, found);
      break;
    case PyUnicode_2BYTE_KIND:
      scan_units(PyUnicode_2BYTE_DATA(low.get()), n, found);
      break;
    default:
      scan_units(PyUnicode_4BYTE_DATA(low.get()), n, found);
      break;
  }
  return true;
}

// A None `code` cannot be lower-cased.
bool require_code(const StrOrNone& code) {
  return !code.is_none() || frame::exact_check(code, &PyUnicode_Type, false, false, "code");
}

PyObject* float_tuple(std::initializer_list<double> values) {
  PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(values.size()));
  if (!t) return nullptr;
  Py_ssize_t i = 0;
  for (double v : values) {
    PyObject* f = PyFloat_FromDouble(v);
    if (!f) {
      Py_DECREF(t);
      return nullptr;
    }
    PyTuple_SET_ITEM(t, i++, f);
  }
  return t;
}

// ---------------------------------------------------------------------------
// Indicator and framework scoring

std::optional<double> quick_framework_score(StrOrNone code, StrOrNone framework) {
  PyObject* pattern = PyDict_GetItemWithError(g_framework_patterns, framework);
  if (!pattern) {
    if (PyErr_Occurred()) return std::nullopt;
    return 0.0;
  }
  Ref matches(frame::call_method(pattern, "findall"_s, code.get()));
  if (!matches) return std::nullopt;
  const Py_ssize_t n = PyObject_Size(matches);
  if (n < 0) return std::nullopt;
  if (n > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, frame::kMsgInt32);
    return std::nullopt;
  }
  return kelmarch::quick_score(static_cast<int32_t>(n));
}
constexpr frame::FuncDef quick_framework_score_def =
    frame::fn<&quick_framework_score>("quick_framework_score",
                                      R"(Fast pattern scoring using precompiled regex.

    Performance target: <100us for typical code snippets

    Args:
        code: Source code to analyze
        framework: Framework name ('numpy', 'pandas' or 'sklearn')

    Returns:
        Score between 0.0 and 1.0
    )",
                                      returns(), param("code"), param("framework"));

PyObject* score_indicators(StrOrNone code, StrOrNone function_name) {
  if (!require_code(code)) return nullptr;
  kelmarch::Found in_code, in_name;
  if (!scan_lowered(code, in_code)) return nullptr;
  if (!function_name.is_none() && PyUnicode_GetLength(function_name) > 0 && !scan_lowered(function_name, in_name))
    return nullptr;
  const kelmarch::Found either = in_code | in_name;
  const kelmarch::Matcher& m = kelmarch::matcher();
  const long counts[7] = {
      m.count(kelmarch::kCpu, in_code),        m.count(kelmarch::kMemory, in_code),
      m.count(kelmarch::kParallel, in_code),   m.count(kelmarch::kGpuOp, either),
      m.count(kelmarch::kLargeData, in_code),  m.count(kelmarch::kEmbarrassing, either),
      m.count(kelmarch::kSequential, in_code),
  };
  PyObject* t = PyTuple_New(7);
  if (!t) return nullptr;
  for (int i = 0; i < 7; i++) {
    PyObject* v = PyLong_FromLong(counts[i]);
    if (!v) {
      Py_DECREF(t);
      return nullptr;
    }
    PyTuple_SET_ITEM(t, i, v);
  }
  return t;
}
constexpr frame::FuncDef score_indicators_def =
    frame::fn<&score_indicators>("score_indicators",
                                 R"(Score code against all indicator categories.

    Args:
        code: Source code to analyze
        function_name: Name of the function being analyzed

    Returns:
        Tuple of (cpu, memory, parallel, gpu_op, large_data, embarrassing, sequential) counts
    )",
                                 returns(), param("code"), param("function_name"));

PyObject* normalize_scores(int32_t cpu_score, int32_t memory_score, int32_t parallel_score, int32_t gpu_op_score,
                           int32_t large_data_score) {
  return float_tuple({kelmarch::normalize(cpu_score, 0), kelmarch::normalize(memory_score, 1),
                      kelmarch::normalize(parallel_score, 2), kelmarch::normalize(gpu_op_score, 3),
                      kelmarch::normalize(large_data_score, 4)});
}
constexpr frame::FuncDef normalize_scores_def =
    frame::fn<&normalize_scores>("normalize_scores",
                                 R"(Normalize indicator scores to 0.0-1.0 range.

    Returns:
        Tuple of (cpu_intensity, memory_intensity, parallel_score, gpu_operation_score, gpu_data_size_score)
    )",
                                 returns(), param("cpu_score"), param("memory_score"), param("parallel_score"),
                                 param("gpu_op_score"), param("large_data_score"));

PyObject* score_framework_patterns(StrOrNone code) {
  if (!require_code(code)) return nullptr;
  kelmarch::Found found;
  if (!scan_lowered(code, found)) return nullptr;
  const kelmarch::Matcher& m = kelmarch::matcher();
  return float_tuple({kelmarch::clamp01(m.count(kelmarch::kNumpy, found) * kelmarch::kNumpyFactor),
                      kelmarch::clamp01(m.count(kelmarch::kPandas, found) * kelmarch::kFrameworkFactor),
                      kelmarch::clamp01(m.count(kelmarch::kSklearn, found) * kelmarch::kFrameworkFactor)});
}
constexpr frame::FuncDef score_framework_patterns_def =
    frame::fn<&score_framework_patterns>("score_framework_patterns",
                                         R"(Score code for framework-specific patterns.

    Args:
        code: Source code to analyze

    Returns:
        Tuple of (numpy_score, pandas_score, sklearn_score)
    )",
                                         returns(), param("code"));

long determine_workload_pattern(double cpu_intensity, double memory_intensity, double parallelization_potential,
                                double gpu_suitability, double gpu_operation_score, double numpy_score,
                                double pandas_score, double sklearn_score, int32_t sequential_count,
                                int32_t embarrassing_count, double cpu_threshold, double memory_threshold,
                                double gpu_threshold, double numpy_threshold, double pandas_threshold,
                                double sklearn_threshold, bool gpu_available) {
  return kelmarch::workload_pattern({cpu_intensity, memory_intensity, parallelization_potential, gpu_suitability,
                                     gpu_operation_score, numpy_score, pandas_score, sklearn_score, sequential_count,
                                     embarrassing_count, cpu_threshold, memory_threshold, gpu_threshold,
                                     numpy_threshold, pandas_threshold, sklearn_threshold, gpu_available});
}
constexpr frame::FuncDef determine_workload_pattern_def = frame::fn<&determine_workload_pattern>(
    "determine_workload_pattern",
    R"(Determine primary workload pattern from scores.

    Returns:
        Integer pattern code:
        0 = MIXED
        1 = CPU_INTENSIVE
        2 = MEMORY_INTENSIVE
        3 = PARALLEL_FRIENDLY
        4 = SEQUENTIAL
        5 = GPU_SUITABLE
        6 = GPU_COMPUTE_INTENSIVE
        7 = GPU_MEMORY_BOUND
        8 = NUMPY_VECTORIZED
        9 = NUMPY_LINALG
        10 = PANDAS_DATAFRAME
        11 = PANDAS_GROUPBY
        12 = SKLEARN_TRAINING
        13 = SKLEARN_INFERENCE
    )",
    returns(), param("cpu_intensity"), param("memory_intensity"), param("parallelization_potential"),
    param("gpu_suitability"), param("gpu_operation_score"), param("numpy_score"), param("pandas_score"),
    param("sklearn_score"), param("sequential_count"), param("embarrassing_count"), param("cpu_threshold"),
    param("memory_threshold"), param("gpu_threshold"), param("numpy_threshold"), param("pandas_threshold"),
    param("sklearn_threshold"), param("gpu_available"));

// ---------------------------------------------------------------------------
// Suitability and threshold estimates

// Multiplier from `int(capability.split(".")[0])`; ValueError and IndexError
// of the parse leave 1.0.
std::optional<double> parse_capability(PyObject* capability) {
  const Py_ssize_t len = PyUnicode_GetLength(capability);
  if (len < 0) return std::nullopt;
  if (len == 0) return 1.0;
  const Py_ssize_t dot = PyUnicode_FindChar(capability, '.', 0, len, 1);
  if (dot == -2) return std::nullopt;
  Ref piece;
  if (dot < 0) {
    piece = Ref::borrow(capability);
  } else {
    piece = Ref(PyUnicode_Substring(capability, 0, dot));
    if (!piece) return std::nullopt;
  }
  Ref major(PyNumber_Long(piece));
  if (!major) {
    if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_IndexError)) {
      PyErr_Clear();
      return 1.0;
    }
    return std::nullopt;
  }
  int32_t m;
  if (!frame::to_i32(major, m, frame::kMsgInt32)) return std::nullopt;
  return kelmarch::capability_multiplier(m);
}

std::optional<double> calculate_gpu_suitability(double gpu_operation_score, double gpu_data_size_score,
                                                double cpu_intensity, bool gpu_available,
                                                StrOrNone compute_capability) {
  if (!gpu_available) return 0.0;
  double multiplier = 1.0;
  if (!compute_capability.is_none()) {
    std::optional<double> mult = parse_capability(compute_capability);
    if (!mult) return std::nullopt;
    multiplier = *mult;
  }
  return kelmarch::gpu_suitability(gpu_operation_score, gpu_data_size_score, cpu_intensity, multiplier);
}
constexpr frame::FuncDef calculate_gpu_suitability_def =
    frame::fn<&calculate_gpu_suitability>("calculate_gpu_suitability",
                                          R"(Calculate overall GPU suitability score.

    Args:
        gpu_operation_score: Score based on GPU-friendly operations (0.0-1.0)
        gpu_data_size_score: Score based on data size indicators (0.0-1.0)
        cpu_intensity: CPU intensity score (0.0-1.0)
        gpu_available: Whether a GPU is available
        compute_capability: GPU compute capability (e.g. "8.6")

    Returns:
        GPU suitability score (0.0-1.0)
    )",
                                          returns(), param("gpu_operation_score"), param("gpu_data_size_score"),
                                          param("cpu_intensity"), param("gpu_available"), param("compute_capability"));

double estimate_gpu_speedup(double gpu_operation_score, double gpu_data_size_score, bool gpu_available) {
  return kelmarch::gpu_speedup(gpu_operation_score, gpu_data_size_score, gpu_available);
}
constexpr frame::FuncDef estimate_gpu_speedup_def = frame::fn<&estimate_gpu_speedup>(
    "estimate_gpu_speedup",
    R"(Estimate GPU speedup from static code analysis.

    Args:
        gpu_operation_score: Score based on GPU-friendly operations (0.0-1.0)
        gpu_data_size_score: Score based on data size indicators (0.0-1.0)
        gpu_available: Whether a GPU is available

    Returns:
        Estimated speedup factor (1.0 = no speedup)
    )",
    returns(), param("gpu_operation_score"), param("gpu_data_size_score"), param("gpu_available"));

double calculate_parallelization_potential(double base_parallel_score, double embarrassing_bonus,
                                           double sequential_penalty, double loop_chunking_potential) {
  return kelmarch::parallelization_potential(base_parallel_score, embarrassing_bonus, sequential_penalty,
                                             loop_chunking_potential);
}
constexpr frame::FuncDef calculate_parallelization_potential_def = frame::fn<&calculate_parallelization_potential>(
    "calculate_parallelization_potential",
    R"(Calculate parallelization potential score.

    Args:
        base_parallel_score: Score from parallel indicators (0.0-1.0)
        embarrassing_bonus: Bonus from embarrassingly parallel indicators
        sequential_penalty: Penalty from sequential indicators
        loop_chunking_potential: Potential for chunking loops

    Returns:
        Parallelization potential (0.0-1.0)
    )",
    returns(), param("base_parallel_score"), param("embarrassing_bonus"), param("sequential_penalty"),
    param("loop_chunking_potential"));

double update_adaptive_threshold(double current_threshold, double success_rate, double learning_rate,
                                 double min_threshold, double max_threshold) {
  return kelmarch::adaptive_threshold(current_threshold, success_rate, learning_rate, min_threshold, max_threshold);
}
constexpr frame::FuncDef update_adaptive_threshold_def =
    frame::fn<&update_adaptive_threshold>("update_adaptive_threshold",
                                          R"(Update adaptive threshold based on performance feedback.

    Used to tune framework detection accuracy.

    Args:
        current_threshold: Current threshold value
        success_rate: Observed success rate (0.0-1.0)
        learning_rate: Absolute step applied to the threshold
        min_threshold: Lower bound of the threshold
        max_threshold: Upper bound of the threshold

    Returns:
        Updated threshold value
    )",
                                          returns(), param("current_threshold"), param("success_rate"),
                                          param("learning_rate"), param("min_threshold"), param("max_threshold"));

// ---------------------------------------------------------------------------
// Module

int compile_patterns() {
  Ref re(frame::get_global("re"_s));
  if (!re) return -1;
  Ref compile(PyObject_GetAttr(re, "compile"_s));
  if (!compile) return -1;
  Ref flags(PyObject_GetAttr(re, "IGNORECASE"_s));
  if (!flags) return -1;
  Ref table(PyDict_New());
  if (!table) return -1;
  const std::pair<PyObject*, PyObject*> entries[] = {
      {"numpy"_s, s_pat_numpy}, {"pandas"_s, s_pat_pandas}, {"sklearn"_s, s_pat_sklearn}};
  for (const auto& [key, text] : entries) {
    Ref pattern(frame::call(compile.get(), text, flags.get()));
    if (!pattern || PyDict_SetItem(table, key, pattern) < 0) return -1;
  }
  g_framework_patterns = table.release();
  return 0;
}

int module_body(PyObject*) {
  if (frame::import_module("re") < 0 || compile_patterns() < 0) return -1;
  if (frame::add_functions() < 0) return -1;
  try {
    (void)kelmarch::matcher();  // build the automaton before the first call
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();  // the import fails; nothing was built
    return -1;
  }
  if (frame::import_module("logging") < 0 || frame::make_logger() < 0) return -1;
  return frame::log_info("Talvora Workload Algorithms Cython module loaded - IP protected");
}

const frame::FuncDef* const kFunctions[] = {
    &quick_framework_score_def,      &score_indicators_def,
    &normalize_scores_def,           &score_framework_patterns_def,
    &determine_workload_pattern_def, &calculate_gpu_suitability_def,
    &estimate_gpu_speedup_def,       &calculate_parallelization_potential_def,
    &update_adaptive_threshold_def,
};

const frame::ModuleDef kModule = {
    .dotted = "talvora.plugins.analyzer.kelmarch",
    .doc = R"(Workload analysis scoring: keyword indicators, framework patterns, GPU suitability,
speed-up and parallelization estimates, workload classification and adaptive thresholds.)",
    .types = {},
    .functions = kFunctions,
    .body = module_body,
};

}  // namespace

TALVORA_MODULE(kelmarch, kModule)
