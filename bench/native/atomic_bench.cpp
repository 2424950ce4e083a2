// Nanoseconds per operation of the counters' native core alone: increment,
// load and compare_and_swap on one counter, uncontended, best of rounds.
// Prints one JSON object.  Built and run by bench/run.py.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>

#include "memory/mesqua_core.hpp"

namespace {

alignas(64) int64_t g_value = 0;

// Keeps a result alive without a memory access.
inline void keep(int64_t v) { asm volatile("" : : "r"(v)); }

template <class Op>
double best_ns(Op op) {
  constexpr int kRounds = 15;
  constexpr int64_t kOps = 2'000'000;
  double best = 1e30;
  for (int r = 0; r < kRounds; r++) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int64_t i = 0; i < kOps; i++) op(i);
    const auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count() / kOps);
  }
  return best;
}

}  // namespace

int main() {
  mesqua::Atom atom(g_value);
  const double empty = best_ns([](int64_t i) { keep(i); });
  const double increment = best_ns([&](int64_t) { keep(mesqua::increment(atom, 1)); });
  const double load = best_ns([&](int64_t) { keep(mesqua::load(atom)); });
  const double cas = best_ns([&](int64_t i) { keep(mesqua::compare_and_swap(atom, i, i)); });
  std::printf("{\"increment\": %.2f, \"load\": %.2f, \"compare_and_swap\": %.2f, \"empty\": %.2f}\n",
              std::max(increment - empty, 0.0), std::max(load - empty, 0.0), std::max(cas - empty, 0.0), empty);
  return 0;
}
