// Native tests of the atomic counter core: wrap-around at the 64-bit bounds,
// single-attempt compare-and-swap, and counters, peaks and a published
// payload hammered from several threads (run under ThreadSanitizer too).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "check.hpp"
#include "memory/mesqua_core.hpp"

namespace {

using mesqua::Atom;

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

constexpr int kRounds = 200000 / native_test::kSlowdown;
constexpr int kThreads = 4;

struct Cell {
  alignas(8) int64_t v = 0;
  Atom a() { return Atom(v); }
};

template <class F>
void in_threads(int n, F f) {
  std::vector<std::thread> ts;
  for (int i = 0; i < n; i++) ts.emplace_back(f, i);
  for (auto& t : ts) t.join();
}

void test_single_thread() {
  Cell c;
  CHECK(mesqua::increment(c.a(), 1) == 1);
  CHECK(mesqua::decrement(c.a(), 5) == -4);
  CHECK(mesqua::fetch_and_add(c.a(), 14) == -4 && mesqua::load(c.a()) == 10);
  CHECK(!mesqua::compare_and_swap(c.a(), 1, 2) && mesqua::load(c.a()) == 10);
  CHECK(mesqua::compare_and_swap(c.a(), 10, 2) && mesqua::load(c.a()) == 2);
  // Wrap-around in both directions, for the stored and the returned value.
  mesqua::store(c.a(), kMax);
  CHECK(mesqua::increment(c.a(), 1) == kMin && mesqua::load(c.a()) == kMin);
  CHECK(mesqua::decrement(c.a(), 1) == kMax && mesqua::load(c.a()) == kMax);
  // Negating the smallest value gives itself: decrement by it adds it.
  mesqua::store(c.a(), 0);
  CHECK(mesqua::decrement(c.a(), kMin) == kMin);
  CHECK(mesqua::decrement(c.a(), -3) == kMin + 3);
  CHECK(mesqua::increment(c.a(), kMax) == 2);
  CHECK(mesqua::wrap_add(kMin, -1) == kMax && mesqua::wrap_neg(kMin) == kMin && mesqua::wrap_neg(-7) == 7);
}

void test_peak() {
  Cell peak;
  mesqua::raise_peak(peak.a(), -5);  // signed: below the current 0
  CHECK(mesqua::load(peak.a()) == 0);
  mesqua::raise_peak(peak.a(), 7);
  mesqua::raise_peak(peak.a(), 3);
  CHECK(mesqua::load(peak.a()) == 7);
  mesqua::store(peak.a(), kMin);
  mesqua::raise_peak(peak.a(), -1);
  CHECK(mesqua::load(peak.a()) == -1);
}

// Every thread adds and subtracts its own delta; what remains is exact.
void test_hammered_counter() {
  Cell c;
  in_threads(kThreads, [&](int t) {
    const int64_t d = t + 1;
    for (int i = 0; i < kRounds; i++) {
      mesqua::increment(c.a(), d);
      if (i % 2) mesqua::decrement(c.a(), d);
    }
  });
  int64_t want = 0;
  for (int t = 0; t < kThreads; t++) want += (t + 1) * int64_t(kRounds / 2);
  CHECK(mesqua::load(c.a()) == want);
}

// fetch_and_add hands out each old value exactly once.
void test_fetch_and_add_tickets() {
  Cell c;
  std::vector<std::vector<int64_t>> got(kThreads);
  in_threads(kThreads, [&](int t) {
    got[t].reserve(kRounds);
    for (int i = 0; i < kRounds; i++) got[t].push_back(mesqua::fetch_and_add(c.a(), 1));
  });
  std::vector<int64_t> all;
  for (auto& g : got) all.insert(all.end(), g.begin(), g.end());
  std::sort(all.begin(), all.end());
  bool dense = true;
  for (size_t i = 0; i < all.size(); i++) dense = dense && all[i] == int64_t(i);
  CHECK(dense);
  CHECK(mesqua::load(c.a()) == int64_t(kThreads) * kRounds);
}

// Increments built from load and one compare-and-swap: only successful swaps
// count, so the final value is the number of successes.
void test_compare_and_swap_loop() {
  Cell c;
  Cell successes;
  in_threads(kThreads, [&](int) {
    for (int i = 0; i < kRounds / 4; i++) {
      const int64_t v = mesqua::load(c.a());
      if (mesqua::compare_and_swap(c.a(), v, v + 1)) mesqua::increment(successes.a(), 1);
    }
  });
  CHECK(mesqua::load(c.a()) == mesqua::load(successes.a()));
  CHECK(mesqua::load(c.a()) > 0);
}

// The statistics pattern: count in, raise the peak to the count seen, count
// out.  The peak ends at the largest candidate any thread offered.
void test_concurrent_peaks() {
  Cell current, peak;
  std::vector<int64_t> best(kThreads, kMin);
  in_threads(kThreads, [&](int t) {
    std::mt19937_64 rng(t + 1);
    for (int i = 0; i < kRounds / 4; i++) {
      const int64_t now = mesqua::increment(current.a(), 1);
      const int64_t candidate = (i % 3 == 0) ? static_cast<int64_t>(rng() % 1000000) - 500000 : now;
      mesqua::raise_peak(peak.a(), candidate);
      best[t] = std::max(best[t], candidate);
      mesqua::decrement(current.a(), 1);
    }
  });
  CHECK(mesqua::load(current.a()) == 0);
  CHECK(mesqua::load(peak.a()) == *std::max_element(best.begin(), best.end()));
}

// A plain payload written before a sequentially consistent store is seen
// complete by a thread that loads the stored value: the ordering the module
// relies on when one thread's counter update publishes state to another.
void test_publication() {
  Cell ready;
  std::vector<int64_t> payload(64);
  int64_t seen_sum = -1;
  std::thread reader([&] {
    while (mesqua::load(ready.a()) != 1) std::this_thread::yield();
    int64_t s = 0;
    for (int64_t v : payload) s += v;
    seen_sum = s;
    mesqua::store(ready.a(), 2);
  });
  for (size_t i = 0; i < payload.size(); i++) payload[i] = int64_t(i);
  mesqua::store(ready.a(), 1);
  reader.join();
  CHECK(seen_sum == 64 * 63 / 2);
  CHECK(mesqua::load(ready.a()) == 2);
}

}  // namespace

int main() {
  test_single_thread();
  test_peak();
  test_hammered_counter();
  test_fetch_and_add_tickets();
  test_compare_and_swap_loop();
  test_concurrent_peaks();
  test_publication();
  return native_test::finish("mesqua core");
}
