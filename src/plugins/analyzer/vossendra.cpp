// talvora.plugins.analyzer.vossendra: stateless decision functions of the
// adaptive orchestrator (performance degradation and trend, workload change,
// dominant pattern, adaptation benefit, cooldown, memory pressure,
// fragmentation, urgency, pool scoring and resource prediction).
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <vector>

#include "frame/frame.hpp"

namespace {

using namespace frame::declarations;
using frame::Ref;

// ---------------------------------------------------------------------------
// Arithmetic helpers (no Python objects involved).

// Truncates toward zero into int64, saturating at the limits; NaN gives 0.
int64_t trunc_i64(double v) {
  if (std::isnan(v)) return 0;
  constexpr double kTwo63 = 9223372036854775808.0;  // 2**63
  if (v >= kTwo63) return std::numeric_limits<int64_t>::max();
  if (v <= -kTwo63) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

// A factor limited to at most 1.0 (NaN counts as 1.0).
inline double cap1(double v) { return v < 1.0 ? v : 1.0; }

// A weighted factor: non-positive capped values contribute nothing.
inline double weighted(double weight, double v) {
  double c = cap1(v);
  return c > 0.0 ? weight * c : 0.0;
}

// Limits to at most 1.0, then to at least 0.0 (first argument kept unless the
// bound is strictly beyond it).
inline double clamp01(double v) {
  double r = 1.0 < v ? 1.0 : v;
  return 0.0 > r ? 0.0 : r;
}

// ---------------------------------------------------------------------------
// Python-level helpers.

PyObject* raise_expected(const char* expected, PyObject* o) {
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(o)->tp_name);
  return nullptr;
}

// Unpacks a (first, second) entry and converts both items to doubles.
bool read_pair(PyObject* entry, double& first, double& second) {
  Ref items[2];
  if (!frame::unpack_iterable(entry, items, 2)) return false;
  return frame::to_double(items[0], first) && frame::to_double(items[1], second);
}

// Reads entry `i` of a list as a pair of doubles: 1, 0 when the list has no
// entry `i` (it may change meanwhile), -1 on error.  A 2-tuple of floats is
// read in place under the list's critical section (no Python code runs);
// anything else is held while its conversions run, since they may change
// the list.
inline int read_list_pair(PyObject* list, Py_ssize_t i, double& first, double& second) {
  Ref held;
  {
    frame::compat::CriticalSection cs(list);
    if (i >= PyList_GET_SIZE(list)) return 0;
    PyObject* entry = PyList_GET_ITEM(list, i);
    if (PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) == 2) {
      PyObject* x = PyTuple_GET_ITEM(entry, 0);
      PyObject* y = PyTuple_GET_ITEM(entry, 1);
      if (PyFloat_CheckExact(x) && PyFloat_CheckExact(y)) {
        first = PyFloat_AS_DOUBLE(x);
        second = PyFloat_AS_DOUBLE(y);
        return 1;
      }
    }
    held = Ref::borrow(entry);
  }
  return read_pair(held, first, second) ? 1 : -1;
}

// Item `i` of a list as a new reference (the list may have shrunk meanwhile).
PyObject* list_item(PyObject* list, Py_ssize_t i) {
  frame::compat::CriticalSection cs(list);
  if (i < 0 || i >= PyList_GET_SIZE(list)) {
    PyErr_SetString(PyExc_IndexError, "list index out of range");
    return nullptr;
  }
  return Ref::borrow(PyList_GET_ITEM(list, i)).release();
}

// Strings compare by value, None only with itself.
bool same_name(PyObject* a, PyObject* b) {
  if (a == b) return true;
  if (a == Py_None || b == Py_None) return false;
  return PyUnicode_Compare(a, b) == 0;
}

// ---------------------------------------------------------------------------
// Performance and workload change detection.

std::optional<bool> detect_performance_degradation(ListOrNone performance_history, double baseline_performance,
                                                   double threshold, double window_start_time) {
  if (performance_history.is_none() || PyList_GET_SIZE(performance_history.get()) < 5 || !(baseline_performance > 0.0))
    return false;
  Py_ssize_t count = 0;
  double sum = 0.0;
  for (Py_ssize_t i = 0;; i++) {
    double ts, metric;
    const int read = read_list_pair(performance_history.get(), i, ts, metric);
    if (read < 0) return std::nullopt;
    if (read == 0) break;
    if (ts >= window_start_time) {
      count++;
      sum += metric;
    }
  }
  if (count < 5) return false;
  return (baseline_performance - sum / static_cast<double>(count)) / baseline_performance > threshold;
}
constexpr frame::FuncDef degradation_def =
    frame::fn<&detect_performance_degradation>("detect_performance_degradation",
                                               R"(Detect if performance has degraded significantly.

Args:
    performance_history: list of (timestamp, metric) pairs, larger metric is better
    baseline_performance: baseline metric value
    threshold: relative drop below the baseline that counts as degradation
    window_start_time: only samples at or after this timestamp count

Returns:
    True if at least 5 samples lie in the window and their mean metric is more
    than threshold (relative) below the baseline)",
                                               returns(), param("performance_history"), param("baseline_performance"),
                                               param("threshold"), param("window_start_time"));

// Least-squares slope of the windowed samples, relative to their mean metric.
std::optional<double> calculate_performance_trend(ListOrNone performance_history, double window_start_time) {
  if (performance_history.is_none() || PyList_GET_SIZE(performance_history.get()) < 3) return 0.0;
  Py_ssize_t n = 0;
  double t0 = 0.0, sx = 0.0, sy = 0.0, sxy = 0.0, sxx = 0.0;
  for (Py_ssize_t i = 0;; i++) {
    double ts, metric;
    const int read = read_list_pair(performance_history.get(), i, ts, metric);
    if (read < 0) return std::nullopt;
    if (read == 0) break;
    if (!(ts >= window_start_time)) continue;
    if (n == 0) t0 = ts;
    n++;
    const double x = ts - t0;
    sx += x;
    sy += metric;
    sxy += x * metric;
    sxx += x * x;
  }
  if (n < 3) return 0.0;
  const double dn = static_cast<double>(n);
  const double mean_x = sx / dn;
  const double mean_y = sy / dn;
  const double a = mean_x * dn;
  const double den = sxx - a * mean_x;
  if (!(std::fabs(den) >= 1e-10 && std::fabs(mean_y) >= 1e-10)) return 0.0;
  const double trend = (sxy - mean_y * a) / (mean_y * den);
  const double upper = 1.0 < trend ? 1.0 : trend;
  return -1.0 > upper ? -1.0 : upper;
}
constexpr frame::FuncDef trend_def =
    frame::fn<&calculate_performance_trend>("calculate_performance_trend",
                                            R"(Calculate performance trend over a time window.

Args:
    performance_history: list of (timestamp, metric) pairs
    window_start_time: only samples at or after this timestamp count

Returns:
    Least-squares slope divided by the mean metric, clamped to [-1.0, 1.0];
    negative means declining, 0.0 with fewer than 3 samples)",
                                            returns(), param("performance_history"), param("window_start_time"));

PyObject* workload_neutral() { return Py_BuildValue("(Oddd)", Py_False, 0.0, 0.0, 0.0); }

PyObject* detect_workload_characteristics_change(ListOrNone pattern_history, double change_threshold) {
  if (pattern_history.is_none()) return frame::raise_no_len(pattern_history);
  PyObject* const keys[3] = {"parallelization_potential"_s, "cpu_intensity"_s, "memory_intensity"_s};
  // The six newest entries, oldest first, taken before any check: key tests
  // and additions may run Python code that changes the list or frees them.
  Ref entries[6];
  {
    frame::compat::CriticalSection cs(pattern_history.get());
    const Py_ssize_t n = PyList_GET_SIZE(pattern_history.get());
    if (n >= 6)
      for (int k = 0; k < 6; k++) entries[k] = Ref::borrow(PyList_GET_ITEM(pattern_history.get(), n - 6 + k));
  }
  if (!entries[0]) return workload_neutral();
  for (int k = 0; k < 6; k++) {
    PyObject* e = entries[k];
    if (!PyDict_CheckExact(e)) {
      if (e == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return nullptr;
      }
      return raise_expected("dict", e);
    }
    for (PyObject* key : keys) {
      int has = PyDict_Contains(e, key);
      if (has < 0) return nullptr;
      if (!has) return workload_neutral();
    }
  }
  // sums[0] over the newest three, sums[1] over the three before them.
  double sums[2][3] = {{0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}};
  for (int group = 0; group < 2; group++) {
    const int first = group == 0 ? 3 : 0;
    for (int k = first; k < first + 3; k++) {
      for (int j = 0; j < 3; j++) {
        PyObject* v = PyDict_GetItemWithError(entries[k], keys[j]);
        if (!v) {
          if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, keys[j]);
          return nullptr;
        }
        Ref value = Ref::borrow(v);
        Ref acc(PyFloat_FromDouble(sums[group][j]));
        if (!acc) return nullptr;
        Ref total(PyNumber_Add(acc, value));
        if (!total || !frame::to_double(total, sums[group][j])) return nullptr;
      }
    }
  }
  constexpr double kThird = 0.3333333333333333;
  double change[3];
  bool changed = false;
  for (int j = 0; j < 3; j++) {
    change[j] = std::fabs((sums[0][j] - sums[1][j]) * kThird);
    if (change[j] > change_threshold) changed = true;
  }
  return Py_BuildValue("(Oddd)", changed ? Py_True : Py_False, change[0], change[1], change[2]);
}
constexpr frame::FuncDef workload_def = frame::fn<&detect_workload_characteristics_change>(
    "detect_workload_characteristics_change",
    R"(Detect significant changes in workload characteristics.

Args:
    pattern_history: list of dicts with 'parallelization_potential',
        'cpu_intensity' and 'memory_intensity'
    change_threshold: change of a 3-entry mean that counts as significant

Returns:
    (changed, parallelization_change, cpu_change, memory_change) comparing the
    three newest entries with the three before them)",
    returns(), param("pattern_history"), param("change_threshold", default_float(0.3)));

// Counts names of the window in order of first appearance; the hash index
// keeps long windows linear.
class NameCounter {
 public:
  explicit NameCounter(Py_ssize_t capacity) {
    size_t size = 8;
    while (size < static_cast<size_t>(capacity) * 2) size <<= 1;
    index_.assign(size, -1);
    slots_.reserve(static_cast<size_t>(capacity));
  }

  void add(PyObject* name) {
    const size_t mask = index_.size() - 1;
    const size_t h = static_cast<size_t>(hash_of(name));
    for (size_t pos = h & mask;; pos = (pos + 1) & mask) {
      Py_ssize_t at = index_[pos];
      if (at < 0) {
        index_[pos] = static_cast<Py_ssize_t>(slots_.size());
        slots_.push_back({name, 1});
        return;
      }
      if (same_name(slots_[static_cast<size_t>(at)].name, name)) {
        slots_[static_cast<size_t>(at)].count++;
        return;
      }
    }
  }

  // The first name whose count is strictly the highest, or nullptr.
  PyObject* dominant() const {
    PyObject* best = nullptr;
    Py_ssize_t best_count = 0;
    for (const Slot& s : slots_) {
      if (s.count > best_count) {
        best = s.name;
        best_count = s.count;
      }
    }
    return best;
  }

 private:
  struct Slot {
    PyObject* name;  // borrowed from the list, which nothing can change meanwhile
    Py_ssize_t count;
  };
  // Exact strings cache their hash and cannot fail; None gets a fixed value.
  static Py_hash_t hash_of(PyObject* name) { return name == Py_None ? 0x5bd1e995 : PyObject_Hash(name); }

  std::vector<Py_ssize_t> index_;
  std::vector<Slot> slots_;
};

PyObject* detect_dominant_pattern(ListOrNone patterns, int32_t window_size) {
  if (patterns.is_none()) return frame::raise_no_len(patterns);
  // Type checks and string comparisons run no Python code: under the list's
  // critical section the list stays as it is for the whole walk.
  frame::compat::CriticalSection cs(patterns.get());
  const Py_ssize_t n = PyList_GET_SIZE(patterns.get());
  const int64_t start64 = static_cast<int64_t>(n) - static_cast<int64_t>(window_size);
  const Py_ssize_t start = start64 > 0 ? static_cast<Py_ssize_t>(start64) : 0;
  PyObject* result = "mixed"_s;
  if (start < n) {
    try {
      NameCounter counter(n - start);
      for (Py_ssize_t i = start; i < n; i++) {
        PyObject* e = PyList_GET_ITEM(patterns.get(), i);
        if (!PyUnicode_CheckExact(e) && e != Py_None) return raise_expected("str", e);
        counter.add(e);
      }
      if (PyObject* best = counter.dominant()) result = best;
    } catch (const std::bad_alloc&) {
      return PyErr_NoMemory();
    }
  }
  return Ref::borrow(result).release();
}
constexpr frame::FuncDef dominant_def =
    frame::fn<&detect_dominant_pattern>("detect_dominant_pattern",
                                        R"(Detect the dominant pattern in a list of pattern names.

Args:
    patterns: list of pattern names
    window_size: number of newest entries to consider

Returns:
    The most frequent name in the window (the first seen on a tie), or
    'mixed' when there is nothing to count)",
                                        returns(), param("patterns"), param("window_size", default_int(5)));

// ---------------------------------------------------------------------------
// Adaptation and resource decisions.

bool is_adaptation_beneficial(StrOrNone current_pool, StrOrNone recommended_pool, double recommendation_score,
                              double recommendation_confidence, double current_performance_estimate,
                              int32_t trigger_code, double min_improvement_ratio, double min_confidence) {
  if (same_name(current_pool, recommended_pool)) return false;
  if (min_confidence > recommendation_confidence) return false;
  if (trigger_code == 0) return recommendation_score > 0.5;
  if (current_performance_estimate > 0.0)
    return !(min_improvement_ratio * current_performance_estimate >= recommendation_score);
  return recommendation_score > 0.6;
}
constexpr frame::FuncDef beneficial_def = frame::fn<&is_adaptation_beneficial>(
    "is_adaptation_beneficial",
    R"(Determine if pool adaptation would be beneficial.

Args:
    current_pool: name of the current pool
    recommended_pool: name of the recommended pool
    recommendation_score: score of the recommendation
    recommendation_confidence: confidence of the recommendation
    current_performance_estimate: estimated performance of the current pool
    trigger_code: kind of triggering event (0 or other)
    min_improvement_ratio: required score ratio over the current estimate
    min_confidence: minimum confidence required

Returns:
    True if switching to the recommended pool is worthwhile)",
    returns(), param("current_pool"), param("recommended_pool"), param("recommendation_score"),
    param("recommendation_confidence"), param("current_performance_estimate"), param("trigger_code"),
    param("min_improvement_ratio", default_float(1.1)), param("min_confidence", default_float(0.6)));

bool should_skip_adaptation(double last_adaptation_time, double current_time, double min_interval) {
  return !(current_time - last_adaptation_time >= min_interval);
}
constexpr frame::FuncDef skip_def = frame::fn<&should_skip_adaptation>(
    "should_skip_adaptation",
    R"(Check if adaptation should be skipped due to timing.

Args:
    last_adaptation_time: time of the last adaptation (seconds)
    current_time: current time (seconds)
    min_interval: minimum interval between adaptations (seconds)

Returns:
    True if less than min_interval has passed since the last adaptation)",
    returns(), param("last_adaptation_time"), param("current_time"), param("min_interval"));

bool detect_memory_pressure(double current_usage, double peak_usage, double pressure_threshold) {
  if (!(peak_usage > 0.0)) return false;
  if (current_usage < 0.0 || std::isnan(current_usage)) return false;
  return current_usage / peak_usage > pressure_threshold;
}
constexpr frame::FuncDef pressure_def = frame::fn<&detect_memory_pressure>(
    "detect_memory_pressure",
    R"(Detect memory pressure conditions.

Args:
    current_usage: current memory usage
    peak_usage: peak memory usage
    pressure_threshold: usage ratio above which memory is under pressure

Returns:
    True if current_usage / peak_usage exceeds pressure_threshold)",
    returns(), param("current_usage"), param("peak_usage"), param("pressure_threshold", default_float(0.8)));

bool detect_fragmentation_threshold(double fragmentation_ratio, double threshold) {
  if (fragmentation_ratio < 0.0 || std::isnan(fragmentation_ratio)) return false;
  if (threshold >= fragmentation_ratio) return false;
  return true;
}
constexpr frame::FuncDef fragmentation_def = frame::fn<&detect_fragmentation_threshold>(
    "detect_fragmentation_threshold",
    R"(Check if fragmentation exceeds threshold.

Args:
    fragmentation_ratio: current fragmentation ratio
    threshold: fragmentation ratio that calls for action

Returns:
    True if a non-negative fragmentation_ratio exceeds threshold)",
    returns(), param("fragmentation_ratio"), param("threshold", default_float(0.3)));

double calculate_adaptation_urgency(double performance_degradation, double memory_pressure, double fragmentation_ratio,
                                    bool workload_changed) {
  double sum =
      (weighted(0.3, memory_pressure) + weighted(0.4, performance_degradation)) + weighted(0.15, fragmentation_ratio);
  if (workload_changed) sum += 0.15;
  return clamp01(sum);
}
constexpr frame::FuncDef urgency_def =
    frame::fn<&calculate_adaptation_urgency>("calculate_adaptation_urgency",
                                             R"(Calculate urgency score for adaptation.

Args:
    performance_degradation: relative performance degradation (weight 0.4)
    memory_pressure: memory pressure (weight 0.3)
    fragmentation_ratio: fragmentation ratio (weight 0.15)
    workload_changed: whether the workload changed (adds 0.15)

Returns:
    Urgency in [0.0, 1.0]; each input counts at most 1 and at least 0)",
                                             returns(), param("performance_degradation"), param("memory_pressure"),
                                             param("fragmentation_ratio"), param("workload_changed"));

double score_pool_recommendation(double workload_fit, double memory_fit, double thread_count_fit,
                                 double historical_success_rate) {
  double score = (weighted(0.3, memory_fit) + weighted(0.2, thread_count_fit)) +
                 (weighted(0.35, workload_fit) + weighted(0.15, historical_success_rate));
  return clamp01(score);
}
constexpr frame::FuncDef pool_score_def = frame::fn<&score_pool_recommendation>(
    "score_pool_recommendation",
    R"(Score a pool recommendation based on multiple factors.

Args:
    workload_fit: fit to the workload (weight 0.35)
    memory_fit: fit to the memory profile (weight 0.3)
    thread_count_fit: fit to the thread count (weight 0.2)
    historical_success_rate: past success rate (weight 0.15)

Returns:
    Score in [0.0, 1.0]; each factor counts at most 1 and at least 0)",
    returns(), param("workload_fit"), param("memory_fit"), param("thread_count_fit"), param("historical_success_rate"));

PyObject* resource_neutral() { return Py_BuildValue("(iid)", 0, 0, 0.0); }

// Reads item 0 of list entry `i` as a double.
bool first_item(PyObject* list, Py_ssize_t i, double& out) {
  Ref entry(list_item(list, i));
  if (!entry) return false;
  Ref item(PyObject_GetItem(entry, 0_n));
  return item && frame::to_double(item, out);
}

PyObject* predict_resource_requirements(ListOrNone allocation_history, double prediction_horizon_seconds) {
  if (allocation_history.is_none()) return frame::raise_no_len(allocation_history);
  const Py_ssize_t n = PyList_GET_SIZE(allocation_history.get());
  if (n < 10) return resource_neutral();
  double first, last;
  if (!first_item(allocation_history.get(), 0, first) || !first_item(allocation_history.get(), n - 1, last))
    return nullptr;
  const double span = last - first;
  if (!(span > 0.0)) return resource_neutral();
  double total = 0.0;
  for (Py_ssize_t i = 0;; i++) {
    double ts, size;
    const int read = read_list_pair(allocation_history.get(), i, ts, size);
    if (read < 0) return nullptr;
    if (read == 0) break;
    total += size;
  }
  const double dn = static_cast<double>(n);
  const int64_t allocations = trunc_i64(prediction_horizon_seconds * dn / span);
  const int64_t bytes = trunc_i64(total * static_cast<double>(allocations) / dn);
  const double confidence = dn * 0.01 >= 1.0 ? 0.8 : dn * 0.008;
  return Py_BuildValue("(LLd)", static_cast<long long>(allocations), static_cast<long long>(bytes), confidence);
}
constexpr frame::FuncDef predict_def = frame::fn<&predict_resource_requirements>(
    "predict_resource_requirements",
    R"(Predict future resource requirements based on allocation history.

Args:
    allocation_history: list of (timestamp, size) pairs, oldest first
    prediction_horizon_seconds: length of the coming time window (seconds)

Returns:
    (predicted_allocations, predicted_total_bytes, confidence); (0, 0, 0.0)
    with fewer than 10 entries or no time span)",
    returns(), param("allocation_history"), param("prediction_horizon_seconds"));

// ---------------------------------------------------------------------------
// Module

int module_body(PyObject*) {
  if (frame::import_module("logging") < 0 || frame::make_logger() < 0) return -1;
  if (frame::add_functions() < 0) return -1;
  return frame::log_info("Talvora Orchestrator Algorithms Cython module loaded - IP protected");
}

const frame::FuncDef* const kFunctions[] = {
    &degradation_def, &trend_def,         &workload_def, &dominant_def,   &beneficial_def, &skip_def,
    &pressure_def,    &fragmentation_def, &urgency_def,  &pool_score_def, &predict_def,
};

const frame::ModuleDef kModule = {
    .dotted = "talvora.plugins.analyzer.vossendra",
    .doc = R"(Orchestrator algorithms for dynamic pool switching and adaptation decisions.

The algorithms cover performance degradation detection, workload change detection, adaptation benefit scoring and memory pressure evaluation.)",
    .functions = kFunctions,
    .body = module_body,
};

}  // namespace

TALVORA_MODULE(vossendra, kModule)
