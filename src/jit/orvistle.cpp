// talvora.jit.orvistle: per-function compile thresholds that adapt to the
// speed-ups measured after earlier compilations.
#include <charconv>
#include <cmath>

#include "frame/frame.hpp"

namespace {

using namespace frame::declarations;
using frame::FieldKind;
using frame::Ref;

PyTypeObject PolicyConfigType;
PyTypeObject FunctionMetricsType;
PyTypeObject AdaptivePolicyType;

// Keyword names for calling the two record classes.
constexpr const char* kConfigFields[] = {"initial_threshold", "min_threshold", "max_threshold", "learning_rate",
                                         "target_speedup"};
constexpr const char* kMetricsFields[] = {"call_count", "compile_count", "avg_speedup", "total_execution_time_ms",
                                          "last_compile_time"};
frame::Names g_config_kwnames(kConfigFields);
frame::Names g_metrics_kwnames(kMetricsFields);

// The shared policy of get_orvistle(); nullptr stands for None.
PyObject* g_global_policy = nullptr;

// Reads attribute `name` as a double; `fallback` when the attribute is missing.
bool attr_double(PyObject* o, PyObject* name, double& out, const double* fallback = nullptr) {
  Ref v(PyObject_GetAttr(o, name));
  if (!v) {
    if (fallback && PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      out = *fallback;
      return true;
    }
    return false;
  }
  return frame::to_double(v, out);
}

// A native-table entry that returns one field of the instance.
template <auto Field, class C>
auto read_field(C* c) {
  return frame::load_relaxed(c->*Field);
}

// ---------------------------------------------------------------------------
// PolicyConfig

struct PolicyConfig;
struct PolicyConfigVtab {
  int32_t (*get_initial_threshold_fast)(PolicyConfig*);
  int32_t (*get_min_threshold_fast)(PolicyConfig*);
  int32_t (*get_max_threshold_fast)(PolicyConfig*);
  double (*get_learning_rate_fast)(PolicyConfig*);
  double (*get_target_speedup_fast)(PolicyConfig*);
};

struct PolicyConfig {
  PyObject_HEAD
  const PolicyConfigVtab* vtab;
  int32_t initial_threshold;
  int32_t min_threshold;
  int32_t max_threshold;
  double learning_rate;
  double target_speedup;
};

const PolicyConfigVtab kConfigVtab = {
    read_field<&PolicyConfig::initial_threshold>, read_field<&PolicyConfig::min_threshold>,
    read_field<&PolicyConfig::max_threshold>,     read_field<&PolicyConfig::learning_rate>,
    read_field<&PolicyConfig::target_speedup>,
};

void pc_alloc(PyObject* o) { reinterpret_cast<PolicyConfig*>(o)->vtab = &kConfigVtab; }

int config_error(const char* message) {
  PyErr_SetString(PyExc_ValueError, message);
  return -1;
}

int pc_cinit(PolicyConfig* self, int32_t initial_threshold, int32_t min_threshold, int32_t max_threshold,
             double learning_rate, double target_speedup) {
  if (min_threshold <= 0) return config_error("min_threshold must be positive");
  if (max_threshold <= min_threshold) return config_error("max_threshold must be greater than min_threshold");
  // Written so that a NaN fails.
  if (!(learning_rate > 0.0) || learning_rate > 1.0) return config_error("learning_rate must be in (0, 1]");
  if (!(target_speedup > 0.0)) return config_error("target_speedup must be positive");
  if (initial_threshold < min_threshold || initial_threshold > max_threshold)
    return config_error("initial_threshold must be within bounds");
  frame::store_relaxed(self->initial_threshold, initial_threshold);
  frame::store_relaxed(self->min_threshold, min_threshold);
  frame::store_relaxed(self->max_threshold, max_threshold);
  frame::store_relaxed(self->learning_rate, learning_rate);
  frame::store_relaxed(self->target_speedup, target_speedup);
  return 0;
}
constexpr frame::FuncDef pc_init_def =
    frame::ctor<&pc_cinit>(param("initial_threshold", default_int(100)), param("min_threshold", default_int(10)),
                           param("max_threshold", default_int(10000)), param("learning_rate", default_float(0.1)),
                           param("target_speedup", default_float(2.0)));

constexpr frame::Property pc_props[] = {
    frame::field("initial_threshold", FieldKind::I32, offsetof(PolicyConfig, initial_threshold)),
    frame::field("min_threshold", FieldKind::I32, offsetof(PolicyConfig, min_threshold)),
    frame::field("max_threshold", FieldKind::I32, offsetof(PolicyConfig, max_threshold)),
    frame::field("learning_rate", FieldKind::Double, offsetof(PolicyConfig, learning_rate)),
    frame::field("target_speedup", FieldKind::Double, offsetof(PolicyConfig, target_speedup)),
};

constexpr frame::TypeDef pc_type = {
    .type = &PolicyConfigType,
    .name = "PolicyConfig",
    .doc = "Configuration for adaptive policy.",
    .basicsize = sizeof(PolicyConfig),
    .init = &pc_init_def,
    .props = pc_props,
    .alloc_init = pc_alloc,
};

PolicyConfig* as_config(PyObject* o) { return reinterpret_cast<PolicyConfig*>(o); }

// ---------------------------------------------------------------------------
// FunctionMetrics

struct FunctionMetrics;
struct FunctionMetricsVtab {
  uint64_t (*get_call_count_fast)(FunctionMetrics*);
  uint32_t (*get_compile_count_fast)(FunctionMetrics*);
  double (*get_avg_speedup_fast)(FunctionMetrics*);
  double (*get_last_compiled_fast)(FunctionMetrics*);
};

struct FunctionMetrics {
  PyObject_HEAD
  const FunctionMetricsVtab* vtab;
  uint64_t call_count;
  uint32_t compile_count;
  double avg_speedup;
  double total_execution_time_ms;
  double last_compiled;
};

const FunctionMetricsVtab kMetricsVtab = {
    read_field<&FunctionMetrics::call_count>,
    read_field<&FunctionMetrics::compile_count>,
    read_field<&FunctionMetrics::avg_speedup>,
    read_field<&FunctionMetrics::last_compiled>,
};

void fm_alloc(PyObject* o) { reinterpret_cast<FunctionMetrics*>(o)->vtab = &kMetricsVtab; }

int fm_cinit(FunctionMetrics* self, uint64_t call_count, uint32_t compile_count, double avg_speedup,
             double total_execution_time_ms, double last_compile_time, double last_compiled) {
  frame::store_relaxed(self->call_count, call_count);
  frame::store_relaxed(self->compile_count, compile_count);
  frame::store_relaxed(self->avg_speedup, avg_speedup);
  frame::store_relaxed(self->total_execution_time_ms, total_execution_time_ms);
  // `last_compiled` wins when given as 0 or more; a negative or NaN value
  // means "not given".
  frame::store_relaxed(self->last_compiled, last_compiled >= 0.0 ? last_compiled : last_compile_time);
  return 0;
}
constexpr frame::FuncDef fm_init_def = frame::ctor<&fm_cinit>(
    param("call_count", default_int(0)), param("compile_count", default_int(0)),
    param("avg_speedup", default_float(1.0)), param("total_execution_time_ms", default_float(0.0)),
    param("last_compile_time", default_float(0.0)), param("last_compiled", default_float(-1.0)));

constexpr frame::Property fm_props[] = {
    frame::field("call_count", FieldKind::U64, offsetof(FunctionMetrics, call_count)),
    frame::field("compile_count", FieldKind::U32, offsetof(FunctionMetrics, compile_count)),
    frame::field("avg_speedup", FieldKind::Double, offsetof(FunctionMetrics, avg_speedup)),
    frame::field("total_execution_time_ms", FieldKind::Double, offsetof(FunctionMetrics, total_execution_time_ms)),
    frame::field("last_compiled", FieldKind::Double, offsetof(FunctionMetrics, last_compiled),
                 "Timestamp of last compilation (matches TelemetryStore interface)."),
    frame::field("last_compile_time", FieldKind::Double, offsetof(FunctionMetrics, last_compiled),
                 "Alias for last_compiled for backward compatibility."),
};

constexpr frame::TypeDef fm_type = {
    .type = &FunctionMetricsType,
    .name = "FunctionMetrics",
    .doc = R"(Metrics for a function's execution and compilation.

Attributes:
    call_count: Number of calls of the function
    compile_count: Number of compilations of the function
    avg_speedup: Average speed-up that compilation brought
    total_execution_time_ms: Total execution time in milliseconds
    last_compiled: Timestamp of the last compilation (time.time() seconds)
    last_compile_time: Alias for last_compiled)",
    .basicsize = sizeof(FunctionMetrics),
    .init = &fm_init_def,
    .props = fm_props,
    .alloc_init = fm_alloc,
};

// ---------------------------------------------------------------------------
// Factories

PyObject* create_function_metrics(AnnotatedInt call_count, AnnotatedInt compile_count, double avg_speedup,
                                  double total_execution_time_ms, double last_compile_time) {
  Ref speedup(PyFloat_FromDouble(avg_speedup));
  Ref total(PyFloat_FromDouble(total_execution_time_ms));
  Ref last(PyFloat_FromDouble(last_compile_time));
  if (!speedup || !total || !last) return nullptr;
  PyObject* args[] = {call_count.get(), compile_count.get(), speedup.get(), total.get(), last.get()};
  return frame::call_with_keywords(reinterpret_cast<PyObject*>(&FunctionMetricsType), g_metrics_kwnames, args);
}
constexpr frame::FuncDef create_function_metrics_def = frame::fn<&create_function_metrics>(
    "create_function_metrics",
    R"(Create a FunctionMetrics record.

Keyword-friendly factory; the class's range checks apply and the
record's timestamp is last_compile_time.)",
    returns("FunctionMetrics"), int_param("call_count", default_int(0)), int_param("compile_count", default_int(0)),
    param("avg_speedup", default_float(1.0), "float"), param("total_execution_time_ms", default_float(0.0), "float"),
    param("last_compile_time", default_float(0.0), "float"));

PyObject* create_policy_config(AnnotatedInt initial_threshold, AnnotatedInt min_threshold, AnnotatedInt max_threshold,
                               double learning_rate, double target_speedup) {
  Ref rate(PyFloat_FromDouble(learning_rate));
  Ref target(PyFloat_FromDouble(target_speedup));
  if (!rate || !target) return nullptr;
  PyObject* args[] = {initial_threshold.get(), min_threshold.get(), max_threshold.get(), rate.get(), target.get()};
  return frame::call_with_keywords(reinterpret_cast<PyObject*>(&PolicyConfigType), g_config_kwnames, args);
}
constexpr frame::FuncDef create_policy_config_def = frame::fn<&create_policy_config>(
    "create_policy_config",
    R"(Create a PolicyConfig.

Keyword-friendly factory; raises the ValueError of PolicyConfig when the
settings are inconsistent.)",
    returns("PolicyConfig"), int_param("initial_threshold", default_int(100)),
    int_param("min_threshold", default_int(10)), int_param("max_threshold", default_int(10000)),
    param("learning_rate", default_float(0.1), "float"), param("target_speedup", default_float(2.0), "float"));

// ---------------------------------------------------------------------------
// Adaptation arithmetic

// The threshold after one compilation outcome.  Both the damped rate and the
// step are single-rounding fused multiply-adds.
int32_t adapt_threshold(int32_t current, uint32_t compile_count, double avg_speedup, double learning_rate,
                        double target_speedup, int32_t min_threshold, int32_t max_threshold) {
  const double target = target_speedup > 0.0 ? target_speedup : 1.0;
  const double ratio = avg_speedup / target;
  const double damping = std::fmin(0.1 * static_cast<double>(compile_count), 1.0);
  const double rate = std::fma(-damping, learning_rate, learning_rate);
  const double cur = static_cast<double>(current);
  const double candidate = ratio > 1.0 ? std::fma(-rate, cur, cur) : std::fma(rate, cur, cur);
  if (!(candidate >= static_cast<double>(min_threshold))) return min_threshold;  // NaN included
  if (candidate > static_cast<double>(max_threshold)) return max_threshold;
  return static_cast<int32_t>(candidate);  // within [min, max]: fits
}

// Whether a function with these counters is due for compilation.
bool compile_due(uint64_t call_count, int32_t threshold, uint32_t compile_count, double current_time,
                 double last_compiled, double recompile_interval) {
  if (call_count < static_cast<uint64_t>(static_cast<int64_t>(threshold))) return false;
  if (compile_count == 0) return true;
  return current_time - last_compiled >= recompile_interval;
}

// ---------------------------------------------------------------------------
// AdaptivePolicy

struct AdaptivePolicy;
struct AdaptivePolicyVtab {
  // -1 with an exception set on failure (check PyErr_Occurred).
  int32_t (*_get_threshold_fast)(AdaptivePolicy*, PyObject*);
};

struct AdaptivePolicy {
  PyObject_HEAD
  const AdaptivePolicyVtab* vtab;
  PyObject* config;
  PyObject* thresholds;
  PyObject* lock;
  double recompile_interval;
};

// The configuration and threshold table are None only after the garbage
// collector cleared a cycle through the policy; refuse to read them then.
bool check_state(AdaptivePolicy* self) {
  if (!PyObject_TypeCheck(self->config, &PolicyConfigType)) {
    PyErr_Format(PyExc_AttributeError, "'%.200s' object has no attribute 'initial_threshold'",
                 Py_TYPE(self->config)->tp_name);
    return false;
  }
  if (!PyDict_CheckExact(self->thresholds)) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not subscriptable", Py_TYPE(self->thresholds)->tp_name);
    return false;
  }
  return true;
}

int32_t ap_get_threshold_fast(AdaptivePolicy* self, PyObject* func_id) {
  PyObject* v = PyDict_GetItemWithError(self->thresholds, func_id);
  if (!v) {
    if (PyErr_Occurred()) return -1;
    return as_config(self->config)->vtab->get_initial_threshold_fast(as_config(self->config));
  }
  int32_t out;
  if (!frame::to_i32(v, out, frame::kMsgInt32t)) return -1;
  return out;
}
const AdaptivePolicyVtab kPolicyVtab = {ap_get_threshold_fast};

bool threshold_of(AdaptivePolicy* self, PyObject* func_id, int32_t& out) {
  out = self->vtab->_get_threshold_fast(self, func_id);
  return !(out == -1 && PyErr_Occurred());
}

void ap_alloc(PyObject* o) { reinterpret_cast<AdaptivePolicy*>(o)->vtab = &kPolicyVtab; }

// A PolicyConfig built from the attributes of a foreign settings object.
PyObject* config_from_object(PyObject* src) {
  PyObject* const names[] = {"initial_threshold"_s, "min_threshold"_s, "max_threshold"_s, "learning_rate"_s,
                             "target_speedup"_s};
  PyObject* const defaults[] = {100_n, 10_n, 10000_n, 0.1_n, 2.0_n};
  Ref values[5];
  for (int i = 0; i < 5; i++) {
    values[i] = Ref(PyObject_GetAttr(src, names[i]));
    if (!values[i]) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
      PyErr_Clear();
      values[i] = Ref::borrow(defaults[i]);
    }
  }
  PyObject* args[] = {values[0].get(), values[1].get(), values[2].get(), values[3].get(), values[4].get()};
  return frame::call_with_keywords(reinterpret_cast<PyObject*>(&PolicyConfigType), g_config_kwnames, args);
}

int ap_cinit(AdaptivePolicy* self, PyObject* config) {
  PyObject* cfg;
  if (config == Py_None) {
    cfg = PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PolicyConfigType), nullptr, 0, nullptr);
  } else if (PyObject_TypeCheck(config, &PolicyConfigType)) {
    cfg = Ref::borrow(config).release();
  } else {
    cfg = config_from_object(config);
  }
  if (!cfg) return -1;
  Py_SETREF(self->config, cfg);
  PyObject* thresholds = PyDict_New();
  if (!thresholds) return -1;
  Py_SETREF(self->thresholds, thresholds);
  PyObject* lock = frame::new_lock();
  if (!lock) return -1;
  Py_SETREF(self->lock, lock);
  self->recompile_interval = 600.0;
  return 0;
}
constexpr frame::FuncDef ap_init_def = frame::ctor<&ap_cinit>(param("config", default_none()));

PyObject* ap_get_threshold(AdaptivePolicy* self, StrOrNone func_id, frame::Call call) {
  if (!check_state(self)) return nullptr;
  return frame::locked(call, self->lock, [&]() -> PyObject* {
    PyObject* stored = PyDict_GetItemWithError(self->thresholds, func_id);
    if (stored) return Ref::borrow(stored).release();
    if (PyErr_Occurred()) return nullptr;
    // The exact settings type's property reads the native field; a subclass
    // may replace the property, so it gets the attribute read (which may run
    // code: the settings are held meanwhile).
    if (Py_TYPE(self->config) == &PolicyConfigType)
      return PyLong_FromLong(read_field<&PolicyConfig::initial_threshold>(as_config(self->config)));
    Ref config = Ref::borrow(self->config);
    return PyObject_GetAttr(config, "initial_threshold"_s);
  });
}
constexpr frame::FuncDef ap_get_threshold_def =
    frame::method<&ap_get_threshold>("get_threshold",
                                     R"(Get current threshold for function.

Args:
    func_id: Function identifier

Returns:
    The adapted threshold, or the configured initial threshold

Performance: <100ns (dict lookup with lock))",
                                     returns("int", Coerce::Int), param("func_id"));

// Metric values read from a telemetry record.
struct Reading {
  uint64_t call_count = 0;
  uint32_t compile_count = 0;
  double avg_speedup = 0.0;
  double last_compiled = 0.0;
};

bool read_metrics(PyObject* metrics, Reading& r) {
  if (Py_TYPE(metrics) == &FunctionMetricsType) {
    // The exact record type: its properties are plain field reads.
    auto* m = reinterpret_cast<FunctionMetrics*>(metrics);
    r.call_count = m->vtab->get_call_count_fast(m);
    r.compile_count = m->vtab->get_compile_count_fast(m);
    r.avg_speedup = m->vtab->get_avg_speedup_fast(m);
    r.last_compiled = m->vtab->get_last_compiled_fast(m);
    return true;
  }
  Ref calls(PyObject_GetAttr(metrics, "call_count"_s));
  if (!calls || !frame::to_u64(calls, r.call_count)) return false;
  Ref compiles(PyObject_GetAttr(metrics, "compile_count"_s));
  if (!compiles || !frame::to_u32(compiles, r.compile_count)) return false;
  if (!attr_double(metrics, "avg_speedup"_s, r.avg_speedup)) return false;
  const double never = 0.0;
  return attr_double(metrics, "last_compiled"_s, r.last_compiled, &never);
}

PyObject* wall_clock() {
  Ref time(frame::get_global("time"_s));
  if (!time) return nullptr;
  return frame::call_method(time.get(), "time"_s);
}

PyObject* ap_should_compile(AdaptivePolicy* self, StrOrNone func_id, PyObject* telemetry_store, frame::Call call) {
  double current_time;
  {
    Ref now(wall_clock());
    if (!now || !frame::to_double(now, current_time)) return nullptr;
  }
  if (!check_state(self)) return nullptr;
  return frame::locked(call, self->lock, [&]() -> PyObject* {
    int32_t threshold;
    Reading r;
    if (!threshold_of(self, func_id, threshold)) return nullptr;
    Ref metrics(frame::call_method(telemetry_store, "get_metrics"_s, func_id.get()));
    if (!metrics || !read_metrics(metrics, r)) return nullptr;
    return frame::to_result(
        compile_due(r.call_count, threshold, r.compile_count, current_time, r.last_compiled, self->recompile_interval));
  });
}
constexpr frame::FuncDef ap_should_compile_def =
    frame::method<&ap_should_compile>("should_compile",
                                      R"(Decide if function should be compiled.

Args:
    func_id: Function identifier
    telemetry_store: Store whose get_metrics(func_id) describes the function

Returns:
    True when the call count reached the threshold and the function was
    never compiled or was last compiled at least 600 seconds ago

Performance: <1us (threshold check + metrics lookup))",
                                      returns("bool"), param("func_id"), param("telemetry_store"));

// "Updated threshold for {func_id}: {current} -> {updated} (speedup: {speedup:.2f}x)",
// for a func_id that is an exact str (its own str()) or None.
PyObject* update_message(PyObject* func_id, int32_t current, int32_t updated, double speedup) {
  char speed[frame::kFixedRoom], from[16], to[16];
  const size_t n = frame::fixed_digits(speedup, 2, speed);
  Ref wide;  // the interpreter's conversion, for what fixed_digits leaves to it
  if (!n && !(wide = Ref(frame::format_float(speedup, 'f', 2)))) return nullptr;
  const size_t n_from = static_cast<size_t>(std::to_chars(from, from + sizeof from, current).ptr - from);
  const size_t n_to = static_cast<size_t>(std::to_chars(to, to + sizeof to, updated).ptr - to);
  return frame::join_text({"Updated threshold for ",
                           func_id == Py_None ? frame::TextPiece("None") : func_id,
                           ": ",
                           {from, n_from},
                           " -> ",
                           {to, n_to},
                           " (speedup: ",
                           n ? frame::TextPiece(speed, n) : wide.get(),
                           "x)"});
}

PyObject* ap_update(AdaptivePolicy* self, StrOrNone func_id, PyObject* telemetry_store, frame::Call call) {
  if (!check_state(self)) return nullptr;
  Ref metrics;
  Reading r;
  int32_t current = 0, updated = 0;
  bool changed = false;
  const int rc = frame::with_lock(call, self->lock, [&] {
    metrics = Ref(frame::call_method(telemetry_store, "get_metrics"_s, func_id.get()));
    if (!metrics) return false;
    if (Py_TYPE(metrics.get()) == &FunctionMetricsType) {
      auto* m = reinterpret_cast<FunctionMetrics*>(metrics.get());
      if (m->vtab->get_compile_count_fast(m) == 0) return true;
    } else {
      Ref compiles(PyObject_GetAttr(metrics, "compile_count"_s));
      if (!compiles) return false;
      int never = PyObject_RichCompareBool(compiles, 0_n, Py_EQ);
      if (never < 0) return false;
      if (never) return true;
    }
    if (!threshold_of(self, func_id, current)) return false;
    if (Py_TYPE(metrics.get()) == &FunctionMetricsType) {
      auto* m = reinterpret_cast<FunctionMetrics*>(metrics.get());
      r.compile_count = m->vtab->get_compile_count_fast(m);
      r.avg_speedup = m->vtab->get_avg_speedup_fast(m);
    } else {
      Ref compiles(PyObject_GetAttr(metrics, "compile_count"_s));
      if (!compiles || !frame::to_u32(compiles, r.compile_count)) return false;
      if (!attr_double(metrics, "avg_speedup"_s, r.avg_speedup)) return false;
    }
    PolicyConfig* cfg = as_config(self->config);
    updated = adapt_threshold(current, r.compile_count, r.avg_speedup, cfg->vtab->get_learning_rate_fast(cfg),
                              cfg->vtab->get_target_speedup_fast(cfg), cfg->vtab->get_min_threshold_fast(cfg),
                              cfg->vtab->get_max_threshold_fast(cfg));
    Ref value(PyLong_FromLong(updated));
    if (!value || PyDict_SetItem(self->thresholds, func_id, value) < 0) return false;
    changed = true;
    return true;
  });
  if (rc < 0) return nullptr;
  if (!changed) Py_RETURN_NONE;

  Ref message(update_message(func_id, current, updated, r.avg_speedup));
  if (!message) return nullptr;
  Ref logger(frame::get_global("logger"_s));
  if (!logger) return nullptr;
  Ref logged(frame::call_method(logger.get(), "debug"_s, message.get()));
  if (!logged) return nullptr;
  Py_RETURN_NONE;
}
constexpr frame::FuncDef ap_update_def =
    frame::method<&ap_update>("update",
                              R"(Update policy based on compilation outcome.

Lowers the function's threshold when its average speed-up beat the target,
raises it otherwise; the step shrinks with every compilation.

Args:
    func_id: Function identifier
    telemetry_store: Store whose get_metrics(func_id) describes the function

Performance: <1us (adaptive update))",
                              returns(), param("func_id"), param("telemetry_store"));

PyObject* stats_dict(PyObject* tracked, PyObject* avg, PyObject* lo, PyObject* hi) {
  return frame::dict_from(
      {{"tracked_functions"_s, tracked}, {"avg_threshold"_s, avg}, {"min_threshold"_s, lo}, {"max_threshold"_s, hi}});
}

PyObject* statistics_locked(AdaptivePolicy* self) {
  const Py_ssize_t n = PyDict_GET_SIZE(self->thresholds);
  if (n == 0) {
    // The reads may run code (a settings subclass's properties).
    Ref config = Ref::borrow(self->config);
    Ref initial(PyObject_GetAttr(config, "initial_threshold"_s));
    if (!initial) return nullptr;
    Ref lo(PyObject_GetAttr(config, "min_threshold"_s));
    if (!lo) return nullptr;
    Ref hi(PyObject_GetAttr(config, "max_threshold"_s));
    if (!hi) return nullptr;
    return stats_dict(0_n, initial, lo, hi);
  }
  // Every stored value is an int made by update(), within 32 bits.
  long long sum = 0;
  long lo = 0, hi = 0;
  Py_ssize_t pos = 0, i = 0;
  PyObject *key, *value;
  while (PyDict_Next(self->thresholds, &pos, &key, &value)) {
    long v = PyLong_AsLong(value);
    if (v == -1 && PyErr_Occurred()) return nullptr;
    sum += v;
    if (i == 0 || v < lo) lo = v;
    if (i == 0 || v > hi) hi = v;
    i++;
  }
  Ref count(PyLong_FromSsize_t(n));
  Ref total(PyLong_FromLongLong(sum));
  if (!count || !total) return nullptr;
  Ref avg(PyNumber_TrueDivide(total, count));
  Ref lo_obj(PyLong_FromLong(lo));
  Ref hi_obj(PyLong_FromLong(hi));
  if (!avg || !lo_obj || !hi_obj) return nullptr;
  return stats_dict(count, avg, lo_obj, hi_obj);
}

PyObject* ap_get_statistics(AdaptivePolicy* self, frame::Call call) {
  if (!check_state(self)) return nullptr;
  return frame::locked(call, self->lock, [&] { return statistics_locked(self); });
}
constexpr frame::FuncDef ap_get_statistics_def = frame::method<&ap_get_statistics>("get_statistics",
                                                                                   R"(Get policy statistics.

Returns:
    Dict with tracked_functions, avg_threshold, min_threshold, max_threshold)",
                                                                                   returns("Dict"));

PyObject* ap_get_config(PyObject* o, void*) {
  return Ref::borrow(reinterpret_cast<AdaptivePolicy*>(o)->config).release();
}

constexpr frame::Entry ap_body[] = {ap_get_threshold_def, ap_should_compile_def, ap_update_def, ap_get_statistics_def};

constexpr frame::Property ap_props[] = {
    frame::computed("config", ap_get_config, nullptr, "Get policy configuration."),
};

const Py_ssize_t ap_fields[] = {offsetof(AdaptivePolicy, config), offsetof(AdaptivePolicy, thresholds),
                                offsetof(AdaptivePolicy, lock)};

constexpr frame::TypeDef ap_type = {
    .type = &AdaptivePolicyType,
    .name = "AdaptivePolicy",
    .doc = R"(Adaptive compilation threshold policy.

Keeps a call-count threshold per function and moves it from the speed-ups
that earlier compilations achieved.

Example:
    policy = AdaptivePolicy()
    store.record_call(func_id, execution_time_ms)
    if policy.should_compile(func_id, store):
        speedup, compile_time_ms = compile_and_measure(func)
        store.record_compilation(func_id, speedup, compile_time_ms)
        policy.update(func_id, store))",
    .basicsize = sizeof(AdaptivePolicy),
    .init = &ap_init_def,
    .body = ap_body,
    .props = ap_props,
    .object_fields = ap_fields,
    .alloc_init = ap_alloc,
};

// ---------------------------------------------------------------------------
// The shared policy

PyObject* get_orvistle(frame::Call call) {
  Ref lock(frame::get_global("_policy_lock"_s));
  if (!lock) return nullptr;
  return frame::locked(call, lock, [&]() -> PyObject* {
    if (!g_global_policy) {
      g_global_policy = PyObject_Vectorcall(reinterpret_cast<PyObject*>(&AdaptivePolicyType), nullptr, 0, nullptr);
      if (!g_global_policy) return nullptr;
    }
    return Ref::borrow(g_global_policy).release();
  });
}
constexpr frame::FuncDef get_orvistle_def = frame::fn<&get_orvistle>("get_orvistle",
                                                                     R"(Get global adaptive policy instance.

Creates it with the default configuration on first use; every later call
returns the same instance until reset_orvistle().)",
                                                                     returns("AdaptivePolicy"));

PyObject* reset_orvistle(frame::Call call) {
  Ref lock(frame::get_global("_policy_lock"_s));
  if (!lock) return nullptr;
  Ref old;  // the policy, released after the lock
  const int rc = frame::with_lock(call, lock, [&] {
    old.swap(g_global_policy);
    return true;
  });
  if (rc < 0) return nullptr;
  Py_RETURN_NONE;
}
constexpr frame::FuncDef reset_orvistle_def = frame::fn<&reset_orvistle>("reset_orvistle",
                                                                         R"(Reset the global adaptive policy instance.

Holders of the old instance keep using it; the next get_orvistle() creates
a fresh one.)",
                                                                         returns());

// ---------------------------------------------------------------------------
// Module

int module_body(PyObject*) {
  if (frame::import_module("time") < 0 || frame::import_module("logging") < 0 ||
      frame::import_module("threading") < 0 || frame::import_from("typing", {"Dict", "Optional"}) < 0 ||
      frame::make_logger() < 0)
    return -1;
  Ref lock(frame::new_lock());
  if (!lock || frame::set_global("_policy_lock", lock) < 0) return -1;
  if (frame::add_functions() < 0) return -1;
  return frame::log_info("Talvora Adaptive Policy Cython module loaded - IP protected");
}

const frame::FuncDef* const kFunctions[] = {
    &get_orvistle_def,
    &reset_orvistle_def,
    &create_function_metrics_def,
    &create_policy_config_def,
};
const frame::TypeDef* const kTypes[] = {&pc_type, &fm_type, &ap_type};

const frame::ModuleDef kModule = {
    .dotted = "talvora.jit.orvistle",
    .doc = R"(Adaptive JIT threshold policy.

Dynamically adjusts compilation thresholds based on observed performance.
Reduces compilation attempts while maximizing benefit.)",
    .types = kTypes,
    .functions = kFunctions,
    .body = module_body,
};

}  // namespace

TALVORA_MODULE(orvistle, kModule)
