// talvora.gpu.drelling: GPU memory planning arithmetic (allocation sizing,
// safe limits, the allocation strategy, chunk shapes, out-of-memory
// recognition, suitability, pressure and headroom).
#include <cstring>
#include <string_view>

#include "frame/frame.hpp"
#include "gpu/drelling_core.hpp"

namespace {

using namespace frame::declarations;
using frame::Ref;

constexpr const char* kChunkableOps[] = {
    "zeros",          "ones",        "empty",         "full",
    "random.randn",   "random.rand", "random.random", "random.standard_normal",
    "random.uniform", "arange",      "linspace",
};
constexpr const char* kNonChunkableOps[] = {
    "matmul", "dot", "fft", "ifft", "fft2", "ifft2", "svd", "eig", "eigvals", "solve", "inv", "sort", "argsort",
};

// Decisions without arithmetic: (strategy, chunk size 0, one pass, message).
frame::Const g_decision_no_gpu([] { return frame::tuple_of({2_n, 0_n, 1_n, "No GPU memory available"_s}); });
frame::Const g_decision_fits([] { return frame::tuple_of({0_n, 0_n, 1_n, "Allocation fits in GPU memory"_s}); });
frame::Const g_decision_not_chunkable([] {
  return frame::tuple_of({2_n, 0_n, 1_n, "Operation not chunkable, falling back to CPU"_s});
});
frame::Const g_chunkable_ops([] { return frame::name_set(kChunkableOps); });
frame::Const g_non_chunkable_ops([] { return frame::name_set(kNonChunkableOps); });
frame::Const g_str_lower([] { return PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower"_s); });

// ---------------------------------------------------------------------------
// Sizing and strategy

std::optional<uint64_t> estimate_allocation_bytes(TupleOrNoneNoted shape, int32_t element_size,
                                                  double overhead_factor) {
  if (shape.is_none()) {
    frame::raise_no_len(shape);
    return std::nullopt;
  }
  uint64_t count = 1;
  const Py_ssize_t n = PyTuple_GET_SIZE(shape.get());
  for (Py_ssize_t i = 0; i < n; i++) {
    int32_t dim;
    if (!frame::to_i32(PyTuple_GET_ITEM(shape.get(), i), dim, frame::kMsgInt32)) return std::nullopt;
    switch (drelling::count_dim(count, dim)) {
      case drelling::DimStep::Zero:
        return 0;
      case drelling::DimStep::Saturate:
        return drelling::kSaturated;
      case drelling::DimStep::Continue:
        break;
    }
  }
  return drelling::allocation_bytes(count, element_size, overhead_factor);
}
constexpr frame::FuncDef estimate_def = frame::fn<&estimate_allocation_bytes>(
    "estimate_allocation_bytes",
    "Estimate the bytes an array of `shape` with `element_size`-byte elements needs, times `overhead_factor`.",
    returns(), param("shape"), param("element_size"), param("overhead_factor", default_float(1.0)));

uint64_t calculate_safe_limit(uint64_t available_bytes, double headroom_ratio) {
  return drelling::safe_limit(available_bytes, headroom_ratio);
}
constexpr frame::FuncDef safe_limit_def = frame::fn<&calculate_safe_limit>(
    "calculate_safe_limit", "Usable bytes of `available_bytes` after keeping back `headroom_ratio` of it.", returns(),
    param("available_bytes"), param("headroom_ratio"));

PyObject* decide_allocation_strategy(uint64_t requested_bytes, uint64_t available_bytes, double headroom_ratio,
                                     bool is_chunkable) {
  const uint64_t safe = drelling::safe_limit(available_bytes, headroom_ratio);
  if (safe == 0) return g_decision_no_gpu.new_ref();
  if (requested_bytes <= safe) return g_decision_fits.new_ref();
  if (!is_chunkable) return g_decision_not_chunkable.new_ref();
  const uint64_t count = drelling::chunk_count(requested_bytes, safe);
  Ref code(PyLong_FromLong(1));
  Ref size(PyLong_FromUnsignedLongLong(safe));
  Ref cnt(PyLong_FromUnsignedLongLong(count));
  Ref msg(PyUnicode_FromFormat("Chunking into %llu GPU passes", static_cast<unsigned long long>(count)));
  if (!code || !size || !cnt || !msg) return nullptr;
  return PyTuple_Pack(4, code.get(), size.get(), cnt.get(), msg.get());
}
constexpr frame::FuncDef decide_def = frame::fn<&decide_allocation_strategy>(
    "decide_allocation_strategy",
    R"(Decide between GPU direct (0), GPU chunked (1) and CPU fallback (2).

Returns (strategy_code, chunk_size, chunk_count, message).)",
    returns(), param("requested_bytes"), param("available_bytes"), param("headroom_ratio"), param("is_chunkable"));

PyObject* compute_chunk_shapes(TupleOrNoneNoted shape, int32_t element_size, uint64_t max_chunk_bytes) {
  if (element_size < 1) {
    PyErr_SetString(PyExc_ValueError, "element_size must be positive");
    return nullptr;
  }
  if (max_chunk_bytes == 0) {
    PyErr_SetString(PyExc_ValueError, "max_chunk_bytes must be positive");
    return nullptr;
  }
  if (shape.is_none()) return frame::raise_no_len(shape);
  PyObject* const sh = shape.get();
  const Py_ssize_t ndim = PyTuple_GET_SIZE(sh);
  if (ndim == 0) {
    PyObject* list = PyList_New(1);
    if (!list) return nullptr;
    PyList_SET_ITEM(list, 0, shape.release());
    return list;
  }
  drelling::RowSize row;
  row.mul(static_cast<uint64_t>(element_size));
  for (Py_ssize_t i = 1; i < ndim; i++) {
    uint64_t dim;
    if (!frame::to_u64(PyTuple_GET_ITEM(sh, i), dim)) return nullptr;
    row.mul(dim);
  }
  const uint64_t per_chunk = drelling::rows_per_chunk(row, max_chunk_bytes);
  int32_t first;
  if (!frame::to_i32(PyTuple_GET_ITEM(sh, 0), first, frame::kMsgInt32)) return nullptr;
  if (first < 1) return PyList_New(0);

  const uint64_t total = static_cast<uint64_t>(first);
  const uint64_t full = per_chunk >= total ? 0 : total / per_chunk;
  const uint64_t tail_rows = per_chunk >= total ? total : total % per_chunk;
  const uint64_t nchunks = full + (tail_rows ? 1 : 0);
  Ref list(PyList_New(static_cast<Py_ssize_t>(nchunks)));
  if (!list) return nullptr;
  Ref full_rows;
  if (full) {
    full_rows = Ref(PyLong_FromUnsignedLongLong(per_chunk));
    if (!full_rows) return nullptr;
  }
  for (uint64_t c = 0; c < nchunks; c++) {
    PyObject* chunk = PyTuple_New(ndim);
    if (!chunk) return nullptr;
    PyObject* rows = c < full ? Ref::borrow(full_rows.get()).release() : PyLong_FromUnsignedLongLong(tail_rows);
    if (!rows) {
      Py_DECREF(chunk);
      return nullptr;
    }
    PyTuple_SET_ITEM(chunk, 0, rows);
    for (Py_ssize_t i = 1; i < ndim; i++) PyTuple_SET_ITEM(chunk, i, Ref::borrow(PyTuple_GET_ITEM(sh, i)).release());
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(c), chunk);
  }
  return list.release();
}
constexpr frame::FuncDef chunk_shapes_def = frame::fn<&compute_chunk_shapes>(
    "compute_chunk_shapes", "Split `shape` along its first axis into chunks of at most `max_chunk_bytes`.", returns(),
    param("shape"), param("element_size"), param("max_chunk_bytes"));

int32_t calculate_optimal_chunks(uint64_t total_bytes, uint64_t available_bytes, double headroom_ratio,
                                 int32_t min_chunks, int32_t max_chunks) {
  const uint64_t safe = drelling::safe_limit(available_bytes, headroom_ratio);
  if (safe == 0) return max_chunks;
  return drelling::optimal_chunks(total_bytes, safe, min_chunks, max_chunks);
}
constexpr frame::FuncDef optimal_chunks_def = frame::fn<&calculate_optimal_chunks>(
    "calculate_optimal_chunks", "Number of chunks for `total_bytes` under the safe limit, within the given bounds.",
    returns(), param("total_bytes"), param("available_bytes"), param("headroom_ratio"),
    param("min_chunks", default_int(1)), param("max_chunks", default_int(1000)));

// ---------------------------------------------------------------------------
// Classification and scoring

// The code units of `s.lower()` for an exact str: ASCII text is its own
// lower case with A-Z folded, done here (into `buf` at the first search when
// short, else during each search); other text is lower-cased by str.lower
// itself, kept in `owner`.
struct Lowered {
  static constexpr Py_ssize_t kBuf = 128;
  Ref owner;
  const void* data = nullptr;
  Py_ssize_t len = 0;
  int kind = PyUnicode_1BYTE_KIND;
  bool to_buf = false;  // short ASCII text not yet folded into buf
  bool fold = false;    // long ASCII text: A-Z folded while searching
  char buf[kBuf];

  static uint32_t fold_ascii(uint32_t c) { return c - 'A' < 26u ? c + 32 : c; }
  // Eight ASCII bytes at once: a byte's top bit is set after adding 0x3f
  // when it is at least 'A', after adding 0x25 when it is above 'Z'; no
  // addition carries into the next byte since every byte is below 0x80.
  static uint64_t fold_ascii8(uint64_t w) {
    constexpr uint64_t kOnes = 0x0101010101010101u, kTop = 0x8080808080808080u;
    const uint64_t upper = (w + kOnes * (0x80 - 'A')) & ~(w + kOnes * (0x7f - 'Z')) & kTop;
    return w | (upper >> 2);
  }

  bool init(PyObject* s) {
    if (PyUnicode_CheckExact(s) && frame::compat::unicode_ready(s) < 0) return false;
    if (PyUnicode_CheckExact(s) && PyUnicode_IS_ASCII(s)) {
      set(s);
      to_buf = len <= kBuf;
      fold = !to_buf;
      return true;
    }
    owner = Ref(frame::call(g_str_lower, s));
    if (!owner || frame::compat::unicode_ready(owner.get()) < 0) return false;
    set(owner.get());
    return true;
  }
  void set(PyObject* s) {
    data = PyUnicode_DATA(s);
    len = PyUnicode_GET_LENGTH(s);
    kind = PyUnicode_KIND(s);
  }
  // Folds word by word; the last word may overlap the one before it, since
  // folding twice changes nothing.
  void fold_to_buf() {
    const auto* src = static_cast<const char*>(data);
    if (len >= 8) {
      for (Py_ssize_t i = 0;; i += 8) {
        if (i > len - 8) i = len - 8;
        uint64_t w;
        std::memcpy(&w, src + i, 8);
        w = fold_ascii8(w);
        std::memcpy(buf + i, &w, 8);
        if (i == len - 8) break;
      }
    } else {
      for (Py_ssize_t i = 0; i < len; i++) buf[i] = static_cast<char>(fold_ascii(static_cast<unsigned char>(src[i])));
    }
    data = buf;
    to_buf = false;
  }

  // The first index at or after `from` where the lower-case ASCII `marker`
  // occurs in the text, or -1.
  Py_ssize_t index(std::string_view marker, Py_ssize_t from = 0) {
    switch (kind) {
      case PyUnicode_1BYTE_KIND: {
        if (to_buf) fold_to_buf();
        if (fold) return scan(static_cast<const Py_UCS1*>(data), marker, from, true);
        const size_t at = std::string_view(static_cast<const char*>(data), static_cast<size_t>(len))
                              .find(marker, static_cast<size_t>(from));
        return at == std::string_view::npos ? -1 : static_cast<Py_ssize_t>(at);
      }
      case PyUnicode_2BYTE_KIND:
        return scan(static_cast<const Py_UCS2*>(data), marker, from, false);
      default:
        return scan(static_cast<const Py_UCS4*>(data), marker, from, false);
    }
  }
  bool contains(std::string_view marker) { return index(marker) >= 0; }
  // Whether `marker` occurs at index `at` (the text already searched once).
  bool at(std::string_view marker, Py_ssize_t at) const {
    switch (kind) {
      case PyUnicode_1BYTE_KIND:
        return match(static_cast<const Py_UCS1*>(data), marker, at, fold);
      case PyUnicode_2BYTE_KIND:
        return match(static_cast<const Py_UCS2*>(data), marker, at, false);
      default:
        return match(static_cast<const Py_UCS4*>(data), marker, at, false);
    }
  }

  template <class CharT>
  bool match(const CharT* s, std::string_view marker, Py_ssize_t i, bool folding) const {
    const Py_ssize_t m = static_cast<Py_ssize_t>(marker.size());
    if (i < 0 || i + m > len) return false;
    for (Py_ssize_t k = 0; k < m; k++)
      if ((folding ? fold_ascii(s[i + k]) : uint32_t{s[i + k]}) != static_cast<unsigned char>(marker[k])) return false;
    return true;
  }
  template <class CharT>
  Py_ssize_t scan(const CharT* s, std::string_view marker, Py_ssize_t from, bool folding) const {
    for (Py_ssize_t i = from; i + static_cast<Py_ssize_t>(marker.size()) <= len; i++)
      if (match(s, marker, i, folding)) return i;
    return -1;
  }
};

std::optional<bool> is_oom_error(StrOrNoneNoted error_message, StrOrNoneNoted error_type) {
  Lowered m, t;
  if (!m.init(error_message.get()) || !t.init(error_type.get())) return std::nullopt;
  // The six rules (their tests have no side effects, so their order is free).
  // Four need "memory" in m: one walk over its occurrences also tells whether
  // one of them ends "out of memory".
  bool memory = false;
  for (Py_ssize_t i = m.index("memory"); i >= 0; i = m.index("memory", i + 1)) {
    memory = true;
    if (m.at("out of ", i - 7)) return true;
  }
  if (t.contains("outofmemoryerror")) return true;
  if (memory && (m.contains("cuda") || m.contains("insufficient") || m.contains("gpu"))) return true;
  return m.contains("allocat") && m.contains("failed");
}
constexpr frame::FuncDef oom_def =
    frame::fn<&is_oom_error>("is_oom_error", "Whether an error message and type name describe an out-of-memory error.",
                             returns(), param("error_message"), param("error_type"));

// Native-level membership test of the chunkable operations; -1 on error.
int c_is_chunkable_operation(PyObject* operation) { return PySet_Contains(g_chunkable_ops, operation); }

std::optional<bool> is_chunkable_operation(StrOrNoneNoted operation) {
  int r = c_is_chunkable_operation(operation.get());
  if (r < 0) return std::nullopt;
  return r != 0;
}
constexpr frame::FuncDef chunkable_def = frame::fn<&is_chunkable_operation>(
    "is_chunkable_operation", "Whether an array-creation operation can be safely chunked.", returns(),
    param("operation"));

std::optional<double> score_gpu_suitability(uint64_t data_size_bytes, StrOrNoneNoted operation_type,
                                            uint64_t available_gpu_memory, double headroom_ratio) {
  const uint64_t safe = drelling::safe_limit(available_gpu_memory, headroom_ratio);
  const double e = drelling::memory_score(data_size_bytes, safe);
  int r = c_is_chunkable_operation(operation_type.get());
  if (r < 0) return std::nullopt;
  if (r) return 0.9 * e;
  r = PySet_Contains(g_non_chunkable_ops, operation_type.get());
  if (r < 0) return std::nullopt;
  return (r ? 0.7 : 0.5) * e;
}
constexpr frame::FuncDef suitability_def = frame::fn<&score_gpu_suitability>(
    "score_gpu_suitability", "Score in [0, 0.9] of how well the data and operation suit the GPU.", returns(),
    param("data_size_bytes"), param("operation_type"), param("available_gpu_memory"), param("headroom_ratio"));

double calculate_memory_pressure(uint64_t used_bytes, uint64_t total_bytes) {
  return drelling::memory_pressure(used_bytes, total_bytes);
}
constexpr frame::FuncDef pressure_def =
    frame::fn<&calculate_memory_pressure>("calculate_memory_pressure", "Fraction of memory in use, capped at 1.0.",
                                          returns(), param("used_bytes"), param("total_bytes"));

double recommend_headroom(double current_pressure, double base_headroom) {
  return drelling::recommend_headroom(current_pressure, base_headroom);
}
constexpr frame::FuncDef headroom_def = frame::fn<&recommend_headroom>(
    "recommend_headroom", "Headroom ratio in [0.3, 0.8] recommended for the current memory pressure.", returns(),
    param("current_pressure"), param("base_headroom", default_float(0.5)));

// ---------------------------------------------------------------------------
// Module

int module_body(PyObject*) {
  if (frame::add_functions() < 0) return -1;
  if (frame::import_module("logging") < 0 || frame::make_logger() < 0) return -1;
  return frame::log_info("Talvora GPU Algorithms Cython module loaded - IP protected");
}

const frame::FuncDef* const kFunctions[] = {
    &estimate_def, &safe_limit_def, &decide_def,      &chunk_shapes_def, &optimal_chunks_def,
    &oom_def,      &chunkable_def,  &suitability_def, &pressure_def,     &headroom_def,
};

const frame::ModuleDef kModule = {
    .dotted = "talvora.gpu.drelling",
    .doc = R"(GPU memory planning arithmetic: allocation sizing, safe limits, the allocation strategy,
chunk shapes, out-of-memory recognition, suitability, memory pressure and headroom.)",
    .types = {},
    .functions = kFunctions,
    .body = module_body,
};

}  // namespace

TALVORA_MODULE(drelling, kModule)
