// Native checks of the GPU planning arithmetic: conversion boundaries,
// saturation and overflow handling.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "check.hpp"
#include "gpu/drelling_core.hpp"

namespace {

constexpr uint64_t U64_MAX = std::numeric_limits<uint64_t>::max();
constexpr int32_t I32_MAX = std::numeric_limits<int32_t>::max();
const double NaN = std::numeric_limits<double>::quiet_NaN();
const double Inf = std::numeric_limits<double>::infinity();

void test_conversions() {
  using drelling::ceil_to_i32;
  using drelling::ceil_to_u64;
  using drelling::trunc_to_u64;
  CHECK(trunc_to_u64(NaN) == 0);
  CHECK(trunc_to_u64(-1.5) == 0);
  CHECK(trunc_to_u64(-0.0) == 0);
  CHECK(trunc_to_u64(2.9) == 2);
  CHECK(trunc_to_u64(Inf) == U64_MAX);
  CHECK(trunc_to_u64(18446744073709551616.0) == U64_MAX);
  CHECK(trunc_to_u64(std::nextafter(18446744073709551616.0, 0.0)) == U64_MAX - 2047);
  CHECK(ceil_to_u64(0.0) == 0);
  CHECK(ceil_to_u64(1e-300) == 1);
  CHECK(ceil_to_u64(2.0) == 2);
  CHECK(ceil_to_u64(2.0000001) == 3);
  CHECK(ceil_to_i32(2147483646.5) == I32_MAX);
  CHECK(ceil_to_i32(2147483647.0) == I32_MAX);
  CHECK(ceil_to_i32(2147483647.5) == I32_MAX);
  CHECK(ceil_to_i32(1e300) == I32_MAX);
  CHECK(ceil_to_i32(Inf) == I32_MAX);
  CHECK(ceil_to_i32(0.0) == 0);
}

void test_safe_limit() {
  using drelling::safe_limit;
  CHECK(safe_limit(1000, 0.2) == 800);
  CHECK(safe_limit(1000, 1.5) == 10);
  CHECK(safe_limit(1000, NaN) == 10);
  CHECK(safe_limit(1000, -Inf) == 1000);
  CHECK(safe_limit(10, 0.9) == 0);  // one rounding: 10 - 0.9 * 10 is below 1
  CHECK(safe_limit(U64_MAX, 0.0) == U64_MAX);
  CHECK(safe_limit(U64_MAX, 1e-30) == U64_MAX);
  CHECK(safe_limit(0, 0.5) == 0);
}

void test_allocation_bytes() {
  using drelling::allocation_bytes;
  using drelling::count_dim;
  using drelling::DimStep;
  using drelling::kSaturated;
  uint64_t count = 1;
  CHECK(count_dim(count, 0) == DimStep::Zero);
  CHECK(count_dim(count, -7) == DimStep::Zero);
  CHECK(count_dim(count, I32_MAX) == DimStep::Continue && count == uint64_t(I32_MAX));
  CHECK(count_dim(count, I32_MAX) == DimStep::Continue);
  CHECK(count_dim(count, 3) == DimStep::Saturate);
  CHECK(count == uint64_t(I32_MAX) * uint64_t(I32_MAX));

  CHECK(allocation_bytes(kSaturated, 1, 1.0) == kSaturated);
  CHECK(allocation_bytes(kSaturated, 2, 1.0) == kSaturated);
  CHECK(allocation_bytes(kSaturated, 1, 2.0) == U64_MAX);
  CHECK(allocation_bytes(kSaturated, 0, Inf) == 0);
  CHECK(allocation_bytes(5, 0, 3.0) == 0);
  CHECK(allocation_bytes(3, 4, 1.5) == 18);
  CHECK(allocation_bytes(3, 4, NaN) == 12);
  // Negative element sizes wrap without signed overflow.
  CHECK(allocation_bytes(3, -1, 1.0) == U64_MAX - 2);
  CHECK(allocation_bytes(kSaturated, std::numeric_limits<int32_t>::min(), 1.0) ==
        kSaturated * (uint64_t(0) - (uint64_t(1) << 31)));
  CHECK(allocation_bytes(3, -1, 1.5) == U64_MAX);
}

void test_chunks() {
  using drelling::chunk_count;
  using drelling::optimal_chunks;
  using drelling::rows_per_chunk;
  using drelling::RowSize;
  CHECK(chunk_count(3000, 1000) == 3);
  CHECK(chunk_count(3001, 1000) == 4);
  CHECK(chunk_count(U64_MAX, 1) == U64_MAX);
  CHECK(chunk_count((uint64_t(1) << 53) + 1, 2) == uint64_t(1) << 52);
  CHECK(optimal_chunks(0, 10, 1, 1000) == 1);
  CHECK(optimal_chunks(U64_MAX, 1, 1, I32_MAX) == I32_MAX);
  CHECK(optimal_chunks(50, 10, 10, 5) == 10);
  CHECK(optimal_chunks(500, 10, 10, 5) == 5);

  RowSize row;
  row.mul(8);
  row.mul(4);
  CHECK(!row.zero && !row.overflow && row.bytes == 32);
  CHECK(rows_per_chunk(row, 100) == 3);
  CHECK(rows_per_chunk(row, 32) == 1);
  CHECK(rows_per_chunk(row, 31) == 1);

  RowSize wide;
  wide.mul(8);
  wide.mul(uint64_t(1) << 32);
  wide.mul(uint64_t(1) << 29);  // 2^64: wraps to 0 unchecked
  CHECK(wide.overflow && !wide.zero);
  CHECK(rows_per_chunk(wide, U64_MAX) == 1);
  wide.mul(0);
  CHECK(wide.zero);
  CHECK(rows_per_chunk(wide, 1) == U64_MAX);

  RowSize edge;
  edge.mul(U64_MAX);
  edge.mul(1);
  CHECK(!edge.overflow && edge.bytes == U64_MAX);
  CHECK(rows_per_chunk(edge, U64_MAX) == 1);
}

void test_scores() {
  using drelling::memory_pressure;
  using drelling::memory_score;
  using drelling::recommend_headroom;
  CHECK(memory_score(800, 1000) == 1.0);
  CHECK(memory_score(400, 1000) == 0.5);
  CHECK(memory_score(2000, 1000) == 0.5);
  CHECK(memory_score(5, 0) == 0.0);
  CHECK(memory_pressure(5, 0) == 1.0);
  CHECK(memory_pressure(150, 100) == 1.0);
  CHECK(memory_pressure(50, 100) == 0.5);
  CHECK(recommend_headroom(0.9, 0.5) == 0.8);
  CHECK(std::fabs(recommend_headroom(0.8, 0.5) - 0.65) < 1e-15);
  CHECK(recommend_headroom(NaN, 0.5) == 0.4);
  CHECK(recommend_headroom(0.2, 0.35) == 0.3);
  CHECK(recommend_headroom(0.5, 0.9) == 0.8);
  CHECK(recommend_headroom(0.7, -Inf) == 0.3);
}

}  // namespace

int main() {
  test_conversions();
  test_safe_limit();
  test_allocation_bytes();
  test_chunks();
  test_scores();
  return native_test::finish("drelling core");
}
