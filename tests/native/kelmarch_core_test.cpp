// Native tests of the workload-scoring core: the multi-substring matcher
// against a naive search, the tables, and the scoring arithmetic.
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "plugins/analyzer/kelmarch_core.hpp"

namespace {

using kelmarch::Found;
using kelmarch::kTables;
using kelmarch::Table;

// Reference: ASCII lower-case, then one substring search per entry.
template <class CharT>
int naive_count(const std::vector<CharT>& text, Table t) {
  std::u32string low;
  for (CharT c : text) {
    char32_t u = static_cast<std::make_unsigned_t<CharT>>(c);
    if (u >= 'A' && u <= 'Z') u += 'a' - 'A';
    low.push_back(u);
  }
  int n = 0;
  for (std::string_view e : kTables[t]) {
    std::u32string ue(e.begin(), e.end());
    n += low.find(ue) != std::u32string::npos;
  }
  return n;
}

template <class CharT>
std::vector<CharT> widen(std::string_view s) {
  std::vector<CharT> v;
  for (char c : s) v.push_back(static_cast<CharT>(static_cast<unsigned char>(c)));
  return v;
}

int count_in(std::string_view s, Table t) {
  Found f;
  kelmarch::matcher().scan(s, f);
  return kelmarch::matcher().count(t, f);
}

void test_tables() {
  const std::size_t sizes[] = {15, 10, 11, 36, 13, 8, 8, 25, 18, 18};
  for (int t = 0; t < kelmarch::kTableCount; t++) {
    CHECK(kTables[t].size() == sizes[t]);
    for (std::string_view e : kTables[t]) {
      CHECK(!e.empty());
      for (char c : e) CHECK(!(c >= 'A' && c <= 'Z'));
    }
    // Every entry of a table present at once counts the whole table.
    std::string all;
    for (std::string_view e : kTables[t]) (all += e) += ' ';
    CHECK(count_in(all, static_cast<Table>(t)) == static_cast<int>(sizes[t]));
  }
  CHECK(kelmarch::matcher().pattern_count() <= kelmarch::Matcher::kMaxPatterns);
}

void test_matching_rules() {
  // Substring containment, counted once however often it occurs.
  CHECK(count_in("format", kelmarch::kCpu) == 1);
  std::string loops;
  for (int i = 0; i < 100; i++) loops += "for ";
  CHECK(count_in(loops, kelmarch::kCpu) == 1);
  CHECK(count_in("", kelmarch::kCpu) == 0);
  // Upper case folds; overlapping entries all count.
  CHECK(count_in("FOR WHILE", kelmarch::kCpu) == 2);
  CHECK(count_in("tensordot", kelmarch::kGpuOp) == 2);  // "tensordot", "dot"
  CHECK(count_in("x ** y", kelmarch::kGpuOp) == 2);     // "**", "*"
  CHECK(count_in("ifft", kelmarch::kGpuOp) == 2);       // "ifft", "fft"
  CHECK(count_in("a - b", kelmarch::kGpuOp) == 1);
  CHECK(count_in("np.", kelmarch::kNumpy) == 1);
  CHECK(count_in("np", kelmarch::kNumpy) == 0);
  CHECK(count_in("fitting", kelmarch::kSklearn) == 1);
  // A match may end at the last character or start at the first.
  CHECK(count_in("xmb", kelmarch::kLargeData) == 1);
  CHECK(count_in("gbx", kelmarch::kLargeData) == 1);
  // Failure links: "matmatmul" contains "matmul" after a partial match.
  CHECK(count_in("matmatmul", kelmarch::kCpu) == 1);
  CHECK(count_in("whilwhile", kelmarch::kCpu) == 1);
}

// Wide code units outside ASCII never match, even when their low byte would.
void test_wide_units() {
  const kelmarch::Matcher& m = kelmarch::matcher();
  std::vector<char16_t> t16 = {u'f', u'o', u'r'};
  Found f;
  m.scan(t16.data(), t16.size(), f);
  CHECK(m.count(kelmarch::kCpu, f) == 1);
  std::vector<uint16_t> w16 = {0x166, 'o', 'r'};  // low byte 'f'
  Found g;
  m.scan(w16.data(), w16.size(), g);
  CHECK(m.count(kelmarch::kCpu, g) == 0);
  std::vector<uint32_t> w32 = {'f', 0x1006f, 'r'};
  Found h;
  m.scan(w32.data(), w32.size(), h);
  CHECK(m.count(kelmarch::kCpu, h) == 0);
  std::vector<uint8_t> latin = {'l', 'o', 'c', 0xEB};  // Latin-1 byte after "loc"
  Found l;
  m.scan(latin.data(), latin.size(), l);
  CHECK(m.count(kelmarch::kSequential, l) == 0);
}

template <class CharT>
void fuzz_width(std::mt19937& rng, CharT wide) {
  // Text built from fragments of entries, letters of both cases, operator
  // characters and a non-ASCII unit, so that partial matches are frequent.
  std::vector<std::string> pieces;
  for (auto tbl : kTables)
    for (std::string_view e : tbl) {
      pieces.emplace_back(e);
      if (e.size() > 2) {
        pieces.emplace_back(e.substr(0, e.size() / 2));
        pieces.emplace_back(e.substr(e.size() / 2));
      }
    }
  const std::string singles = "aeiouAEIOUmtNPdx._@*/+- 19";
  std::uniform_int_distribution<int> kind(0, 9);
  for (int round = 0; round < 3000; round++) {
    std::vector<CharT> text;
    const int len = std::uniform_int_distribution<int>(0, round % 10 == 0 ? 400 : 40)(rng);
    for (int i = 0; i < len; i++) {
      int k = kind(rng);
      if (k < 5) {
        const std::string& p = pieces[std::uniform_int_distribution<std::size_t>(0, pieces.size() - 1)(rng)];
        for (char c : p) {
          bool up = rng() % 4 == 0;
          text.push_back(static_cast<CharT>(up && c >= 'a' && c <= 'z' ? c - 32 : c));
        }
      } else if (k < 9) {
        text.push_back(static_cast<CharT>(singles[rng() % singles.size()]));
      } else {
        text.push_back(wide);
      }
    }
    Found f;
    kelmarch::matcher().scan(text.data(), text.size(), f);
    for (int t = 0; t < kelmarch::kTableCount; t++) {
      int got = kelmarch::matcher().count(static_cast<Table>(t), f);
      int want = naive_count(text, static_cast<Table>(t));
      if (got != want) {
        std::fprintf(stderr, "table %d: got %d want %d\n", t, got, want);
        native_test::failures++;
        return;
      }
    }
  }
}

// Long texts are scanned in several windows: occurrences at and across the
// window boundaries must all be found.
void test_long_texts() {
  const kelmarch::Matcher& m = kelmarch::matcher();
  for (std::size_t n : {1024u, 1025u, 1027u, 2050u, 4099u}) {
    const std::size_t chunk = n / 4;
    for (auto tbl : kTables) {
      for (std::string_view e : tbl) {
        for (std::size_t b = chunk; b < n; b += chunk) {
          for (std::size_t at = b - e.size() - 1; at <= b + 1 && at + e.size() <= n; at++) {
            std::string text(n, '#');
            text.replace(at, e.size(), e);
            Found f;
            m.scan(text, f);
            // '#' belongs to no entry, so the text counts what `e` alone does.
            std::vector<char> v(e.begin(), e.end());
            for (int t = 0; t < kelmarch::kTableCount; t++)
              if (m.count(static_cast<Table>(t), f) != naive_count(v, static_cast<Table>(t))) {
                std::fprintf(stderr, "long text n=%zu entry '%.*s' at %zu\n", n, static_cast<int>(e.size()), e.data(),
                             at);
                native_test::failures++;
                return;
              }
          }
        }
      }
    }
  }
}

void test_fuzz() {
  std::mt19937 rng(12345);
  fuzz_width<char>(rng, static_cast<char>(0xE9));
  fuzz_width<uint16_t>(rng, static_cast<uint16_t>(0x0161));
  fuzz_width<uint32_t>(rng, static_cast<uint32_t>(0x1F600));
}

void test_scan_accumulates() {
  // `found` is or-ed into, so two scans combine (code and function name).
  const kelmarch::Matcher& m = kelmarch::matcher();
  Found f;
  m.scan(std::string_view("a @ b"), f);
  m.scan(std::string_view("matmul_kernel"), f);
  CHECK(m.count(kelmarch::kGpuOp, f) == 2);
  // An entry split across two scans does not match.
  Found g;
  m.scan(std::string_view("mat"), g);
  m.scan(std::string_view("mul"), g);
  CHECK(m.count(kelmarch::kGpuOp, g) == 0);
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

void test_arithmetic() {
  using namespace kelmarch;
  CHECK(normalize(15, 0) == 1.0 && normalize(30, 0) == 1.0 && normalize(-5, 1) == 0.0);
  CHECK(normalize(1, 3) == 0.027777777777777776 && normalize(1, 4) == 0.07692307692307693);
  CHECK(normalize(1, 2) == 0.09090909090909091 && normalize(1, 0) == 0.06666666666666667);
  // The same bits as clamp01 of the product, zero signs included.
  for (int which = 0; which < 5; which++) {
    for (int32_t count : {INT32_MIN, -40, -1, 0, 1, 7, 10, 11, 13, 14, 15, 35, 36, 37, 1000, INT32_MAX}) {
      const double want = clamp01(static_cast<double>(count) * kNormFactor[which]);
      const double got = normalize(count, which);
      CHECK(got == want && std::signbit(got) == std::signbit(want));
    }
  }
  CHECK(quick_score(3) == 0.30000000000000004 && quick_score(10) == 1.0 && quick_score(0) == 0.0);
  CHECK(25 * kNumpyFactor == 1.0 && 18 * kFrameworkFactor == 1.0);

  CHECK(capability_multiplier(8) == 1.2 && capability_multiplier(7) == 1.1);
  CHECK(capability_multiplier(6) == 1.0 && capability_multiplier(5) == 0.8 && capability_multiplier(-1) == 0.8);
  CHECK(gpu_suitability(0.5, 0.5, 0.5, 1.0) == 0.65);
  CHECK(gpu_suitability(1.0, 1.0, 1.0, 1.2) == 1.0);
  CHECK(gpu_suitability(kNaN, 0.0, 0.0, 1.0) == 1.0);
  CHECK(gpu_suitability(0.0, 0.0, kNaN, 1.0) == 0.3);
  CHECK(gpu_suitability(-1.0, 0.0, 0.0, 1.0) == 0.0);

  CHECK(gpu_speedup(0.9, 1.0, true) == 22.5 && gpu_speedup(0.8, 0.0, true) == 8.0);
  CHECK(gpu_speedup(0.3, 0.0, true) == 2.0 && gpu_speedup(0.0, 1.0, true) == 1.0);
  CHECK(gpu_speedup(0.9, 1.0, false) == 1.0 && gpu_speedup(kNaN, 0.0, true) == 2.0);
  CHECK(gpu_speedup(-0.5, 0.0, true) == 2.0 && gpu_speedup(0.9, -4.0, true) == -15.0);

  CHECK(parallelization_potential(0.5, 0.0, 0.0, 0.0) == 0.5);
  CHECK(parallelization_potential(0.5, 10.0, 0.0, 0.0) == 1.0);
  CHECK(parallelization_potential(0.2, 0.0, 5.0, 0.0) == 0.0);
  CHECK(parallelization_potential(0.0, kNaN, 0.0, 0.0) == 0.7);
  CHECK(parallelization_potential(0.8, 0.0, kNaN, 0.0) == 0.30000000000000004);
  CHECK(parallelization_potential(kNaN, 0.0, 0.0, 0.0) == 1.0);
  CHECK(parallelization_potential(0.0, 0.0, 0.0, kNaN) == 1.0);

  CHECK(adaptive_threshold(0.5, 0.9, 0.05, 0.1, 0.9) == 0.55);
  CHECK(adaptive_threshold(0.5, 0.3, 0.05, 0.1, 0.9) == 0.45);
  CHECK(adaptive_threshold(0.5, 0.6, 0.05, 0.1, 0.9) == 0.5);
  CHECK(adaptive_threshold(0.5, 0.4, 0.05, 0.1, 0.9) == 0.5);
  CHECK(adaptive_threshold(0.5, 0.8, 0.05, 0.1, 0.9) == 0.5);
  CHECK(adaptive_threshold(0.9, 0.9, 0.05, 0.1, 0.9) == 0.9);
  CHECK(adaptive_threshold(0.5, kNaN, 0.05, 0.1, 0.9) == 0.45);
  CHECK(adaptive_threshold(kNaN, 0.9, 0.05, 0.1, 0.9) == 0.1);
  CHECK(adaptive_threshold(0.5, 0.9, 0.05, 0.1, kNaN) == 0.55);
  CHECK(adaptive_threshold(0.0, 0.6, 0.0, 0.5, 0.2) == 0.5);  // below min first
  CHECK(adaptive_threshold(0.7, 0.6, 0.0, 0.5, 0.2) == 0.2);
}

// The fused products differ from the two-rounding forms for some inputs.
void test_fused() {
  using namespace kelmarch;
  int differs = 0;
  for (int i = 1; i < 200; i++) {
    double op = i / 199.0, data = (200 - i) / 211.0;
    double fused = std::fma(data, 0.4, op * 0.6);
    double plain = data * 0.4;
    plain += op * 0.6;
    CHECK(gpu_suitability(op, data, 0.0, 1.0) == clamp01(fused));
    differs += fused != plain;
    double base = 4.0;
    double d = data * 0.5;
    CHECK(gpu_speedup(0.5, data, true) == std::fma(d, base, base));
  }
  CHECK(differs > 0);
}

void test_workload_rules() {
  using kelmarch::PatternInputs;
  auto base = [] {
    PatternInputs a{};
    a.cpu_threshold = a.memory_threshold = a.gpu_threshold = 0.5;
    a.numpy_threshold = a.pandas_threshold = a.sklearn_threshold = 0.5;
    return a;
  };
  PatternInputs a = base();
  CHECK(kelmarch::workload_pattern(a) == 0);
  // Build up from the last rule to the first; each one shadows the later.
  a.sequential_count = 3;
  CHECK(kelmarch::workload_pattern(a) == 4);
  a.memory_intensity = 0.6;
  CHECK(kelmarch::workload_pattern(a) == 2);
  a.cpu_intensity = 0.6;
  CHECK(kelmarch::workload_pattern(a) == 1);
  a.embarrassing_count = 1;
  CHECK(kelmarch::workload_pattern(a) == 3);
  a.gpu_suitability = 0.8;
  CHECK(kelmarch::workload_pattern(a) == 3);  // no GPU
  a.gpu_available = true;
  CHECK(kelmarch::workload_pattern(a) == 7);
  a.gpu_operation_score = 0.9;
  CHECK(kelmarch::workload_pattern(a) == 7);  // cpu 0.6 is not above 0.6
  a.cpu_intensity = 0.7;
  CHECK(kelmarch::workload_pattern(a) == 6);
  a.numpy_score = 0.9;
  CHECK(kelmarch::workload_pattern(a) == 8);
  a.pandas_score = 0.9;
  CHECK(kelmarch::workload_pattern(a) == 10);
  a.sklearn_score = 0.9;
  CHECK(kelmarch::workload_pattern(a) == 12);
  // NaN comparisons never hold.
  PatternInputs n = base();
  n.sklearn_score = kNaN;
  n.parallelization_potential = kNaN;
  n.cpu_threshold = kNaN;
  n.cpu_intensity = 0.9;
  CHECK(kelmarch::workload_pattern(n) == 0);
  n = base();
  n.gpu_available = true;
  n.gpu_suitability = 0.8;
  CHECK(kelmarch::workload_pattern(n) == 5);
}

}  // namespace

int main() {
  test_tables();
  test_matching_rules();
  test_wide_units();
  test_fuzz();
  test_long_texts();
  test_scan_accumulates();
  test_arithmetic();
  test_fused();
  test_workload_rules();
  return native_test::finish("kelmarch core");
}
