// Native core of the atomic primitives: the operations of the 64-bit counter
// and the peak update, on a plain int64_t field reached through
// std::atomic_ref.  No Python here; the module releases the interpreter lock
// around each call.
//
// Every operation is sequentially consistent.  Arithmetic wraps in two's
// complement: atomic fetch_add on a signed type is defined to wrap, and the
// new values computed from the fetched ones go through unsigned arithmetic.
#pragma once

#include <atomic>
#include <cstdint>

namespace mesqua {

using Atom = std::atomic_ref<int64_t>;

// Two's-complement wrap-around without signed overflow.
inline int64_t wrap_add(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
inline int64_t wrap_neg(int64_t a) { return static_cast<int64_t>(0 - static_cast<uint64_t>(a)); }

inline int64_t load(Atom a) { return a.load(std::memory_order_seq_cst); }
inline void store(Atom a, int64_t v) { a.store(v, std::memory_order_seq_cst); }
// Returns the value before the addition.
inline int64_t fetch_and_add(Atom a, int64_t d) { return a.fetch_add(d, std::memory_order_seq_cst); }
// Return the value after the change.
inline int64_t increment(Atom a, int64_t d) { return wrap_add(fetch_and_add(a, d), d); }
inline int64_t decrement(Atom a, int64_t d) {
  const int64_t neg = wrap_neg(d);
  return wrap_add(fetch_and_add(a, neg), neg);
}
// One strong attempt, no retry.
inline bool compare_and_swap(Atom a, int64_t expected, int64_t desired) {
  return a.compare_exchange_strong(expected, desired, std::memory_order_seq_cst);
}

// Raises `peak` to `candidate` if that is larger (signed).  The loop ends
// because a failed exchange means the peak grew, and it only grows.
inline void raise_peak(Atom peak, int64_t candidate) {
  int64_t cur = peak.load(std::memory_order_seq_cst);
  while (cur < candidate) {
    if (peak.compare_exchange_strong(cur, candidate, std::memory_order_seq_cst)) return;
  }
}

}  // namespace mesqua
