// GPU memory planning arithmetic without Python: safe limits, allocation
// sizing, chunk counts and the pressure and headroom scores.
//
// Every double-to-integer conversion here is range-checked first; integer
// arithmetic that may overflow is done unsigned or with overflow checks.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace drelling {

constexpr double kRatioMax = 0.99;
constexpr double kRatioMin = 0.0;
constexpr uint64_t kSaturated = 9223372036854775807ULL;  // 2^63 - 1
constexpr double kTwo64 = 18446744073709551616.0;        // 2^64
constexpr double kTwo31 = 2147483648.0;                  // 2^31

// Truncates a double toward zero into [0, 2^64 - 1]; NaN and negative
// values give 0, values of 2^64 or more give 2^64 - 1.
inline uint64_t trunc_to_u64(double x) {
  if (!(x > 0.0)) return 0;
  if (x >= kTwo64) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(x);
}

// Rounds a non-negative double toward +infinity into an unsigned 64-bit
// count, saturating at 2^64 - 1.
inline uint64_t ceil_to_u64(double x) { return trunc_to_u64(std::ceil(x)); }

// Rounds a non-negative double toward +infinity into a signed 32-bit count,
// saturating at 2^31 - 1.
inline int32_t ceil_to_i32(double x) {
  double c = std::ceil(x);
  if (!(c > 0.0)) return 0;
  if (c >= kTwo31) return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(c);
}

// Headroom ratio clamped to [0, 0.99]; NaN counts as 0.99.
inline double clamp_ratio(double ratio) {
  if (ratio < kRatioMin) return kRatioMin;
  if (ratio > kRatioMax || std::isnan(ratio)) return kRatioMax;
  return ratio;
}

// available - r * available in one rounding, truncated toward zero.  A
// result of 2^64 or more (only reachable near 2^64 with r near 0)
// saturates at 2^64 - 1.
inline uint64_t safe_limit(uint64_t available, double ratio) {
  const double r = clamp_ratio(ratio);
  const double a = static_cast<double>(available);
  return trunc_to_u64(std::fma(-r, a, a));
}

// One step of the element count of a shape.
enum class DimStep { Continue, Zero, Saturate };

inline DimStep count_dim(uint64_t& count, int32_t dim) {
  if (dim < 1) return DimStep::Zero;
  if (count > kSaturated / static_cast<uint64_t>(dim)) return DimStep::Saturate;
  count *= static_cast<uint64_t>(dim);
  return DimStep::Continue;
}

// Bytes for `count` elements (count <= 2^63 - 1) of `element_size` bytes,
// with the overhead factor applied when it exceeds 1.0.  A negative element
// size gives the two's-complement product read as unsigned.
inline uint64_t allocation_bytes(uint64_t count, int32_t element_size, double overhead_factor) {
  if (element_size >= 1 && count > kSaturated / static_cast<uint64_t>(element_size)) return kSaturated;
  const uint64_t bytes = count * static_cast<uint64_t>(static_cast<int64_t>(element_size));
  if (overhead_factor > 1.0) {
    const double scaled = overhead_factor * static_cast<double>(bytes);
    if (std::isnan(scaled)) return bytes;  // an infinite factor on zero bytes
    return trunc_to_u64(scaled);
  }
  return bytes;
}

// Chunks of ceil(requested / safe) computed in doubles; safe must be > 0.
inline uint64_t chunk_count(uint64_t requested, uint64_t safe) {
  return ceil_to_u64(static_cast<double>(requested) / static_cast<double>(safe));
}

// The chunk count of calculate_optimal_chunks, after the zero-limit check.
inline int32_t optimal_chunks(uint64_t total, uint64_t safe, int32_t min_chunks, int32_t max_chunks) {
  const int32_t n = ceil_to_i32(static_cast<double>(total) / static_cast<double>(safe));
  if (n < min_chunks) return min_chunks;
  return n < max_chunks ? n : max_chunks;
}

// Row size of a chunked shape: the product of the factors with exact
// overflow detection.  A zero factor wins over an overflow.
struct RowSize {
  uint64_t bytes = 1;
  bool zero = false;
  bool overflow = false;

  void mul(uint64_t factor) {
    if (factor == 0) {
      zero = true;
      return;
    }
    uint64_t r;
    if (__builtin_mul_overflow(bytes, factor, &r)) {
      overflow = true;
    } else {
      bytes = r;
    }
  }
};

// Rows per chunk under `max_chunk_bytes` (> 0).  A zero row size puts every
// row into one chunk; a row beyond the limit or beyond 2^64 - 1 bytes is a
// chunk of its own.
inline uint64_t rows_per_chunk(const RowSize& row, uint64_t max_chunk_bytes) {
  if (row.zero) return std::numeric_limits<uint64_t>::max();
  if (row.overflow || row.bytes > max_chunk_bytes) return 1;
  return max_chunk_bytes / row.bytes;
}

// Memory part of the GPU suitability score.
inline double memory_score(uint64_t data_size, uint64_t safe) {
  if (safe == 0) return 0.0;
  const double d = static_cast<double>(data_size);
  const double s = static_cast<double>(safe);
  if (data_size > safe) return s / d;
  const double e = d / (s * 0.8);
  return e < 1.0 ? e : 1.0;
}

inline double memory_pressure(uint64_t used, uint64_t total) {
  if (total == 0) return 1.0;
  const double p = static_cast<double>(used) / static_cast<double>(total);
  return p > 1.0 ? 1.0 : p;
}

// Headroom for the pressure `p` and base `b`, clamped to [0.3, 0.8].
inline double recommend_headroom(double p, double b) {
  double h;
  if (p > 0.8) {
    h = 0.8;
  } else if (p > 0.6) {
    h = b + std::fma(0.5, p, -0.25);
  } else if (p > 0.3) {
    h = b;
  } else {
    const double lowered = b - 0.1;
    h = 0.3 > lowered ? 0.3 : lowered;
  }
  if (0.8 < h) h = 0.8;
  if (0.3 > h) h = 0.3;
  return h;
}

}  // namespace drelling
