// Workload indicator tables, a one-pass multi-substring matcher and the
// scoring arithmetic of the workload analyzer.  No Python dependency.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

namespace kelmarch {

// ---------------------------------------------------------------------------
// Indicator tables.  Entries are lower-case; sizes matter to the scores.

inline constexpr std::string_view cpu_indicators[] = {"for",  "while",       "range",   "numpy",     "scipy",
                                                      "math", "calculation", "compute", "algorithm", "sum",
                                                      "prod", "dot",         "matmul",  "fft",       "linalg"};
inline constexpr std::string_view memory_indicators[] = {"array",    "list",   "dict",  "pandas", "dataframe",
                                                         "allocate", "buffer", "cache", "append", "extend"};
inline constexpr std::string_view parallel_indicators[] = {
    "multiprocessing", "threading",           "concurrent",        "async", "parallel", "pool", "worker", "chunk",
    "batch",           "processpoolexecutor", "threadpoolexecutor"};
inline constexpr std::string_view gpu_operation_indicators[] = {
    "matmul", "dot",      "tensordot", "@",      "fft",   "ifft", "rfft", "convolve", "correlate", "sum",
    "mean",   "std",      "var",       "sin",    "cos",   "exp",  "log",  "sqrt",     "power",     "**",
    "add",    "subtract", "multiply",  "divide", "/",     "*",    "+",    "-",        "linalg",    "linear_algebra",
    "array",  "asarray",  "zeros",     "ones",   "empty", "full"};
inline constexpr std::string_view large_data_indicators[] = {"reshape", "resize",   "huge",    "large", "gigabyte",
                                                             "gb",      "million",  "billion", "1e6",   "1e9",
                                                             "1024",    "megabyte", "mb"};
inline constexpr std::string_view embarrassing_indicators[] = {"workload", "benchmark", "intensive", "chunk_workload",
                                                               "map",      "apply",     "vectorize", "broadcast"};
inline constexpr std::string_view sequential_indicators[] = {"global",       "nonlocal",   "lock",    "mutex",
                                                             "synchronized", "sequential", "ordered", "dependencies"};
inline constexpr std::string_view numpy_indicators[] = {
    "numpy",  "np.",    "ndarray", "array",     "matrix",      "vectorize", "broadcast", "ufunc", "dot",
    "matmul", "linalg", "fft",     "sum",       "mean",        "std",       "var",       "min",   "max",
    "argmax", "argmin", "reshape", "transpose", "concatenate", "stack",     "split"};
inline constexpr std::string_view pandas_indicators[] = {
    "pandas", "pd.",    "dataframe", "series", "groupby", "apply", "agg",     "transform", "merge",
    "join",   "concat", "pivot",     "melt",   "query",   "eval",  "rolling", "resample",  "sort_values"};
inline constexpr std::string_view sklearn_indicators[] = {
    "sklearn",    "fit",          "predict",          "transform",
    "score",      "cross_val",    "gridsearchcv",     "randomizedsearchcv",
    "pipeline",   "featureunion", "train_test_split", "classification",
    "regression", "clustering",   "preprocessing",    "model_selection",
    "metrics",    "ensemble"};

enum Table : int {
  kCpu,
  kMemory,
  kParallel,
  kGpuOp,
  kLargeData,
  kEmbarrassing,
  kSequential,
  kNumpy,
  kPandas,
  kSklearn,
  kTableCount
};

inline constexpr std::array<std::span<const std::string_view>, kTableCount> kTables = {
    std::span<const std::string_view>(cpu_indicators),
    std::span<const std::string_view>(memory_indicators),
    std::span<const std::string_view>(parallel_indicators),
    std::span<const std::string_view>(gpu_operation_indicators),
    std::span<const std::string_view>(large_data_indicators),
    std::span<const std::string_view>(embarrassing_indicators),
    std::span<const std::string_view>(sequential_indicators),
    std::span<const std::string_view>(numpy_indicators),
    std::span<const std::string_view>(pandas_indicators),
    std::span<const std::string_view>(sklearn_indicators),
};

// ---------------------------------------------------------------------------
// Matcher: an Aho-Corasick automaton over the distinct entries of all tables.
// One pass over a text records which entries occur anywhere in it.  ASCII
// upper-case letters are folded to lower case during the scan; any code unit
// outside ASCII matches no entry character (entries are pure ASCII).

struct Found {
  static constexpr int kWords = 3;
  uint64_t w[kWords] = {};
  bool test(int id) const { return (w[id >> 6] >> (id & 63)) & 1u; }
  void set(int id) { w[id >> 6] |= uint64_t{1} << (id & 63); }
  bool any() const { return (w[0] | w[1] | w[2]) != 0; }
  Found& operator|=(const Found& o) {
    w[0] |= o.w[0];
    w[1] |= o.w[1];
    w[2] |= o.w[2];
    return *this;
  }
  friend Found operator|(Found a, const Found& b) { return a |= b; }
  bool operator==(const Found&) const = default;
};

class Matcher {
 public:
  static constexpr int kMaxPatterns = 64 * Found::kWords;
  static constexpr int kMaxStates = 1024;

  Matcher() { build(); }

  // Scans `n` code units of `s` (char, uint8_t, uint16_t or uint32_t) and
  // adds every entry that occurs to `found`.
  template <class CharT>
  void scan(const CharT* s, std::size_t n, Found& found) const {
    // States reached are marked; their outputs are merged once at the end.
    uint8_t reached[kMaxStates] = {};
    if (n < kSplitMin) {
      run(s, 0, n, reached);
    } else {
      // The scan is bound by the latency of its table look-ups, so long texts
      // are cut into kStreams windows walked in lock-step.  Each window
      // starts max_len_ - 1 units before its chunk, so every occurrence lies
      // wholly inside the window of the chunk where it ends.
      const std::size_t chunk = n / kStreams, overlap = max_len_ - 1;
      std::size_t pos[kStreams], end[kStreams];
      uint32_t st[kStreams] = {};
      for (int k = 0; k < kStreams; k++) {
        pos[k] = k == 0 ? 0 : k * chunk - overlap;
        end[k] = k == kStreams - 1 ? n : (k + 1) * chunk;
      }
      const std::size_t common = chunk;  // the shortest window
      for (std::size_t i = 0; i < common; i++) {
        for (int k = 0; k < kStreams; k++) {
          st[k] = step(st[k], s[pos[k] + i]);
          reached[st[k]] = 1;
        }
      }
      for (int k = 0; k < kStreams; k++) run(s, pos[k] + common, end[k], reached, st[k]);
    }
    for (uint16_t q : out_states_)
      if (reached[q]) found |= out_[q];
  }
  void scan(std::string_view s, Found& found) const { scan(s.data(), s.size(), found); }

  // Number of entries of table `t` present in `found`.
  int count(Table t, const Found& found) const {
    int c = 0;
    for (uint8_t id : table_ids_[t]) c += found.test(id);
    return c;
  }

  int pattern_count() const { return static_cast<int>(patterns_.size()); }
  int state_count() const { return nstates_; }

 private:
  static constexpr int kStreams = 4;
  static constexpr std::size_t kSplitMin = 1024;

  template <class CharT>
  uint32_t step(uint32_t st, CharT ch) const {
    const auto c = static_cast<std::make_unsigned_t<CharT>>(ch);
    const uint32_t cls = c < 128 ? cmap_[c] : 0;
    return delta_[st * static_cast<uint32_t>(nclasses_) + cls];
  }

  template <class CharT>
  void run(const CharT* s, std::size_t from, std::size_t to, uint8_t* reached, uint32_t st = 0) const {
    for (std::size_t i = from; i < to; i++) {
      st = step(st, s[i]);
      reached[st] = 1;
    }
  }

  void build() {
    // Character classes: 0 for characters in no entry, then one per character.
    cmap_.fill(0);
    nclasses_ = 1;
    for (auto tbl : kTables)
      for (std::string_view e : tbl)
        for (char ch : e) {
          auto c = static_cast<unsigned char>(ch);
          if (!cmap_[c]) cmap_[c] = static_cast<uint8_t>(nclasses_++);
        }
    for (int c = 'A'; c <= 'Z'; c++) cmap_[c] = cmap_[c - 'A' + 'a'];

    // Distinct entries and their ids per table.
    for (int t = 0; t < kTableCount; t++) {
      for (std::string_view e : kTables[t]) {
        int id = -1;
        for (std::size_t k = 0; k < patterns_.size(); k++)
          if (patterns_[k] == e) id = static_cast<int>(k);
        if (id < 0) {
          id = static_cast<int>(patterns_.size());
          patterns_.push_back(e);
        }
        table_ids_[t].push_back(static_cast<uint8_t>(id));
      }
    }
    if (patterns_.size() > static_cast<std::size_t>(kMaxPatterns)) std::abort();
    for (std::string_view e : patterns_) max_len_ = e.size() > max_len_ ? e.size() : max_len_;

    // Trie.
    std::vector<int32_t> go;  // -1: no edge
    std::vector<Found> out;
    auto new_state = [&] {
      go.insert(go.end(), nclasses_, -1);
      out.emplace_back();
      return static_cast<int32_t>(out.size() - 1);
    };
    new_state();
    for (std::size_t id = 0; id < patterns_.size(); id++) {
      int32_t st = 0;
      for (char ch : patterns_[id]) {
        int cls = cmap_[static_cast<unsigned char>(ch)];
        if (go[st * nclasses_ + cls] < 0) {
          int32_t ns = new_state();
          go[st * nclasses_ + cls] = ns;
        }
        st = go[st * nclasses_ + cls];
      }
      out[st].set(static_cast<int>(id));
    }

    // Failure links in breadth-first order, completing the transitions.
    const std::size_t nstates = out.size();
    std::vector<int32_t> fail(nstates, 0);
    std::vector<int32_t> queue;
    queue.reserve(nstates);
    for (int c = 0; c < nclasses_; c++) {
      int32_t& g = go[c];
      if (g < 0) {
        g = 0;
      } else {
        fail[g] = 0;
        queue.push_back(g);
      }
    }
    for (std::size_t qi = 0; qi < queue.size(); qi++) {
      int32_t st = queue[qi];
      out[st] |= out[fail[st]];
      for (int c = 0; c < nclasses_; c++) {
        int32_t& g = go[st * nclasses_ + c];
        int32_t via = go[fail[st] * nclasses_ + c];
        if (g < 0) {
          g = via;
        } else {
          fail[g] = via;
          queue.push_back(g);
        }
      }
    }
    // Class 0 (a character in no entry) always returns to the root.
    if (nstates > static_cast<std::size_t>(kMaxStates)) std::abort();
    delta_.resize(go.size());
    for (std::size_t i = 0; i < go.size(); i++) delta_[i] = static_cast<uint16_t>(go[i]);
    out_ = std::move(out);
    nstates_ = static_cast<int>(nstates);
    for (std::size_t s = 0; s < nstates; s++)
      if (out_[s].any()) out_states_.push_back(static_cast<uint16_t>(s));
  }

  std::array<uint8_t, 128> cmap_{};
  int nclasses_ = 0;
  std::vector<std::string_view> patterns_;
  std::array<std::vector<uint8_t>, kTableCount> table_ids_;
  std::vector<uint16_t> delta_;
  std::vector<Found> out_;
  std::vector<uint16_t> out_states_;  // states with a non-empty output
  int nstates_ = 0;
  std::size_t max_len_ = 1;  // longest entry
};

// The shared matcher, built on first use.
inline const Matcher& matcher() {
  static const Matcher m;
  return m;
}

// ---------------------------------------------------------------------------
// Scoring arithmetic.  min/max are IEEE minNum/maxNum: a NaN operand is
// ignored, so clamping a NaN yields the upper bound.

inline double clamp01(double x) { return std::fmax(std::fmin(x, 1.0), 0.0); }

// Reciprocals of the table sizes, as doubles.
inline constexpr double kNormFactor[5] = {1.0 / 15, 1.0 / 10, 1.0 / 11, 1.0 / 36, 1.0 / 13};

// clamp01 of count * factor.  The product is never NaN and never -0.0, so
// plain comparisons give what fmin and fmax give, without their libm calls.
inline double normalize(int32_t count, int which) {
  const double x = static_cast<double>(count) * kNormFactor[which];
  return x > 1.0 ? 1.0 : (x < 0.0 ? 0.0 : x);
}

inline constexpr double kNumpyFactor = 0.04;
inline constexpr double kFrameworkFactor = 0.05555555555555555;

inline double quick_score(int32_t matches) { return std::fmin(static_cast<double>(matches) * 0.1, 1.0); }

struct PatternInputs {
  double cpu_intensity, memory_intensity, parallelization_potential, gpu_suitability, gpu_operation_score;
  double numpy_score, pandas_score, sklearn_score;
  int32_t sequential_count, embarrassing_count;
  double cpu_threshold, memory_threshold, gpu_threshold, numpy_threshold, pandas_threshold, sklearn_threshold;
  bool gpu_available;
};

// Workload pattern code: the first rule that holds decides.
inline int workload_pattern(const PatternInputs& a) {
  if (a.sklearn_score > a.sklearn_threshold) return 12;
  if (a.pandas_score > a.pandas_threshold) return 10;
  if (a.numpy_score > a.numpy_threshold) return 8;
  if (a.gpu_available && a.gpu_suitability > a.gpu_threshold) {
    if (a.gpu_operation_score > 0.7 && a.cpu_intensity > 0.6) return 6;
    if (a.memory_intensity > 0.5) return 7;
    return 5;
  }
  if (a.embarrassing_count > 0 || a.parallelization_potential > 0.6) return 3;
  if (a.cpu_intensity > a.cpu_threshold) return 1;
  if (a.memory_intensity > a.memory_threshold) return 2;
  if (a.sequential_count > 2) return 4;
  return 0;
}

// Multiplier for a compute-capability major version.
inline double capability_multiplier(int32_t major) {
  if (major > 7) return 1.2;
  if (major == 7) return 1.1;
  if (major == 6) return 1.0;
  return 0.8;
}

inline double gpu_suitability(double gpu_operation_score, double gpu_data_size_score, double cpu_intensity,
                              double multiplier) {
  const double cpu_term = std::fmax(std::fmin(cpu_intensity * 0.3, 0.3), 0.0);
  const double base = std::fma(gpu_data_size_score, 0.4, gpu_operation_score * 0.6);
  return clamp01(multiplier * (base + cpu_term));
}

inline double gpu_speedup(double gpu_operation_score, double gpu_data_size_score, bool gpu_available) {
  if (!gpu_available || gpu_operation_score == 0.0) return 1.0;
  double base;
  if (gpu_operation_score > 0.8)
    base = 15.0;
  else if (gpu_operation_score > 0.6)
    base = 8.0;
  else if (gpu_operation_score > 0.3)
    base = 4.0;
  else
    base = 2.0;
  return std::fma(gpu_data_size_score * 0.5, base, base);
}

inline double parallelization_potential(double base_parallel_score, double embarrassing_bonus,
                                        double sequential_penalty, double loop_chunking_potential) {
  const double bonus = std::fmax(std::fmin(embarrassing_bonus * 0.3, 0.7), 0.0);
  const double penalty = std::fmax(std::fmin(sequential_penalty * 0.2, 0.5), 0.0);
  double x = (bonus + base_parallel_score) - penalty;
  x = std::fma(loop_chunking_potential, 0.4, x);
  return clamp01(x);
}

inline double adaptive_threshold(double current_threshold, double success_rate, double learning_rate,
                                 double min_threshold, double max_threshold) {
  double t;
  if (success_rate > 0.8)
    t = current_threshold + learning_rate;
  else if (!(success_rate >= 0.4))
    t = current_threshold - learning_rate;
  else
    t = current_threshold;
  if (t < min_threshold || std::isnan(t)) return min_threshold;
  return std::fmin(t, max_threshold);
}

}  // namespace kelmarch
