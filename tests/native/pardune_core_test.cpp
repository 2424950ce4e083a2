// Native tests of the allocator fast-path core: CRC-16, slab header slot
// operations, rounding, alignment and bitmap helpers, counters.
#include "memory/pardune_core.hpp"
#include "check.hpp"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

uint16_t table[256];

// Bit-at-a-time CRC-16/MODBUS, independent of the table.
uint16_t crc_bitwise(const uint8_t* d, size_t n) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < n; i++) {
    crc ^= d[i];
    for (int k = 0; k < 8; k++) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return crc;
}

void test_crc() {
  pardune::init_crc16_table(table);
  CHECK(table[0] == 0x0000);
  CHECK(table[1] == 0xC0C1);
  CHECK(table[128] == 0xA001);
  CHECK(table[255] == 0x4040);
  const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  CHECK(pardune::crc16(table, digits, 9) == 0x4B37);
  CHECK(pardune::crc16(table, digits, 0) == 0xFFFF);
  // Table-driven and bitwise agree on assorted inputs.
  uint8_t buf[64];
  uint32_t x = 12345;
  for (int round = 0; round < 200; round++) {
    size_t n = static_cast<size_t>(round % 64);
    for (size_t i = 0; i < n; i++) {
      x = x * 1103515245u + 12345u;
      buf[i] = static_cast<uint8_t>(x >> 16);
    }
    CHECK(pardune::crc16(table, buf, n) == crc_bitwise(buf, n));
  }
}

void test_header_layout() {
  pardune::SlabHeader h{};
  CHECK(offsetof(pardune::SlabHeader, size_class_index) == 0);
  CHECK(offsetof(pardune::SlabHeader, flags) == 1);
  CHECK(offsetof(pardune::SlabHeader, generation) == 2);
  CHECK(offsetof(pardune::SlabHeader, checksum) == 6);
  CHECK(offsetof(pardune::SlabHeader, bitmap) == 8);
  (void)h;
}

void test_worked_example_checksum() {
  pardune::SlabHeader h = pardune::new_header(3, 8);
  CHECK(h.bitmap == 0xFF);
  CHECK(pardune::header_checksum(table, h) == 0x2800);
  // Generation bytes are covered least significant first.
  h.generation = 0x04030201;
  uint8_t b[6];
  pardune::covered_bytes(h, b);
  const uint8_t want[] = {3, 0, 1, 2, 3, 4};
  CHECK(std::memcmp(b, want, 6) == 0);
  CHECK(pardune::header_checksum(table, h) == crc_bitwise(want, 6));
  // Checksum and bitmap are not covered.
  uint16_t before = pardune::header_checksum(table, h);
  h.bitmap = 0x1234;
  h.checksum = 0xBEEF;
  CHECK(pardune::header_checksum(table, h) == before);
}

void test_all_free_pattern() {
  CHECK(pardune::all_free_pattern(0) == 0);
  CHECK(pardune::all_free_pattern(-1) == 0);
  CHECK(pardune::all_free_pattern(INT32_MIN) == 0);
  CHECK(pardune::all_free_pattern(1) == 1);
  CHECK(pardune::all_free_pattern(8) == 0xFF);
  CHECK(pardune::all_free_pattern(63) == 0x7FFFFFFFFFFFFFFFull);
  CHECK(pardune::all_free_pattern(64) == ~0ull);
  CHECK(pardune::all_free_pattern(INT32_MAX) == ~0ull);
  CHECK(pardune::new_header(300, 8).size_class_index == 44);
  CHECK(pardune::new_header(-1, 8).size_class_index == 255);
}

void test_slot_operations() {
  pardune::SlabHeader h = pardune::new_header(3, 8);
  CHECK(pardune::slot_find_free(h) == 0);
  pardune::slot_allocate(h, 0);
  CHECK(!pardune::slot_is_free(h, 0));
  CHECK(pardune::slot_find_free(h) == 1);
  CHECK(h.flags & pardune::kFlagInUse);
  pardune::slot_deallocate(h, 0, 8);
  CHECK(h.bitmap == 0xFF);
  CHECK(!(h.flags & pardune::kFlagInUse));
  CHECK(h.generation == 2);

  // Full 64-slot slab.
  h = pardune::new_header(0, 64);
  for (int i = 0; i < 64; i++) {
    CHECK(pardune::slot_find_free(h) == i);
    pardune::slot_allocate(h, i);
  }
  CHECK(h.bitmap == 0);
  CHECK(pardune::slot_find_free(h) == -1);
  pardune::slot_deallocate(h, 63, 64);
  CHECK(pardune::slot_find_free(h) == 63);
  CHECK(h.flags & pardune::kFlagInUse);

  // Out-of-range indexes, both sides: no bit changes, counters still move.
  for (int32_t bad : {64, 65, 1000, INT32_MAX, -1, -64, INT32_MIN}) {
    h = pardune::new_header(1, 8);
    CHECK(!pardune::slot_is_free(h, bad));
    pardune::slot_allocate(h, bad);
    CHECK(h.bitmap == 0xFF);
    CHECK(h.flags == pardune::kFlagInUse);
    CHECK(h.generation == 1);
    pardune::slot_deallocate(h, bad, 8);
    CHECK(h.bitmap == 0xFF);
    CHECK(h.flags == 0);  // bitmap is all-free again
    CHECK(h.generation == 2);
  }

  // A bit above the all-free pattern keeps the in-use bit set.
  h = pardune::new_header(1, 8);
  pardune::slot_allocate(h, 0);
  pardune::slot_deallocate(h, 9, 8);
  pardune::slot_deallocate(h, 0, 8);
  CHECK(h.bitmap == 0x2FF);
  CHECK(h.flags & pardune::kFlagInUse);

  // Generation wraps modulo 2^32; other flag bits are carried.
  h = pardune::new_header(1, 8);
  h.generation = 0xFFFFFFFFu;
  h.flags = 0x05;
  pardune::slot_allocate(h, 2);
  CHECK(h.generation == 0);
  CHECK(h.flags == 0x15);
  pardune::slot_deallocate(h, 2, 8);
  CHECK(h.flags == 0x05);
}

void test_rounding() {
  CHECK(pardune::round_up_trunc(13, 8) == 16);
  CHECK(pardune::round_up_trunc(16, 8) == 16);
  CHECK(pardune::round_up_trunc(13, 10) == 20);
  CHECK(pardune::round_up_trunc(-20, 8) == -8);  // truncating division
  CHECK(pardune::round_up_trunc(0, 8) == 0);
  CHECK(pardune::round_up_trunc(1, 1) == 1);
  CHECK(pardune::round_up_trunc(INT32_MAX, 8) == 2147483648LL);
  CHECK(pardune::round_up_trunc(INT32_MIN, -1) == -2147483650LL);
  CHECK(pardune::round_up_trunc(INT32_MAX, INT32_MAX) == INT32_MAX);
  CHECK(pardune::round_up_trunc(INT32_MIN, INT32_MIN) == -4294967296LL);
  CHECK(pardune::round_up_trunc(5, -8) == 0);  // (5 - 9) / -8 truncates to 0

  // Allocator rounding with the defaults.
  auto b = [](int32_t s) { return pardune::bucket_for_size(s, 8, 256, 4096); };
  CHECK(b(17) == 24);
  CHECK(b(256) == 256);
  CHECK(b(257) == 264);
  CHECK(b(4096) == 4096);
  CHECK(b(4097) == -1);
  CHECK(b(INT32_MAX) == -1);
  CHECK(b(0) == 0);
  CHECK(b(-20) == -8);
  CHECK(pardune::bucket_for_size(10, 0, 256, 4096) == -1);
  // A result above the 32-bit range has no bucket.
  CHECK(pardune::bucket_for_size(INT32_MAX, 8, INT32_MAX, INT32_MAX) == -1);
  CHECK(pardune::bucket_for_size(INT32_MAX - 7, 8, INT32_MAX, INT32_MAX) == INT32_MAX - 7);
  // medium below small: the small limit still applies.
  CHECK(pardune::bucket_for_size(100, 8, 256, 16) == 104);
}

void test_alignment() {
  CHECK(pardune::align_up(13, 8) == 16);
  CHECK(pardune::align_up(16, 8) == 16);
  CHECK(pardune::align_up(0, 1) == 0);
  CHECK(pardune::align_up(INT32_MAX, 8) == 2147483648LL);
  CHECK(pardune::align_up(INT32_MAX, 1 << 30) == 2147483648LL);
  CHECK(pardune::align_up(-13, 8) == -8);
  CHECK(pardune::align_up(4, 16) == 16);
  // Degenerate alignments are defined.
  CHECK(pardune::align_up(5, 0) == 0);
  CHECK(pardune::align_up(5, INT32_MIN) == 2147483648LL);
  CHECK(pardune::is_power_of_two(1));
  CHECK(pardune::is_power_of_two(1 << 30));
  CHECK(!pardune::is_power_of_two(0));
  CHECK(!pardune::is_power_of_two(12));
  CHECK(!pardune::is_power_of_two(-8));
  CHECK(!pardune::is_power_of_two(INT32_MIN));

  CHECK(pardune::fits_inclusive(0, 32, 24, 16));
  CHECK(!pardune::fits_inclusive(4, 32, 24, 16));  // 16 + 24 > 36
  CHECK(pardune::fits_inclusive(0, 32, 32, 8));    // ends at the block end
  CHECK(!pardune::fits_exclusive(0, 32, 32, 8));
  CHECK(pardune::fits_exclusive(0, 32, 31, 8));
  // No wrap-around near the limits: a huge request never "fits".
  CHECK(!pardune::fits_exclusive(INT32_MAX - 8, 8, INT32_MAX, 8));
  CHECK(!pardune::fits_exclusive(INT32_MAX, INT32_MAX, INT32_MAX, 8));
  CHECK(pardune::fits_exclusive(INT32_MAX - 100, 100, 50, 1));
  CHECK(!pardune::fits_inclusive(INT32_MAX - 3, 4, 1, 8));
}

void test_bitmap_helpers() {
  CHECK(pardune::first_set(0b1010) == 1);
  CHECK(pardune::first_set(0) == -1);
  CHECK(pardune::first_set(1ull << 63) == 63);
  CHECK(pardune::bit_set(5, 64) == 5);
  CHECK(pardune::bit_set(5, -1) == 5);
  CHECK(pardune::bit_set(0, 63) == (1ull << 63));
  CHECK(pardune::bit_clear(~0ull, 0) == ~1ull);
  CHECK(pardune::bit_clear(5, 100) == 5);
  CHECK(pardune::bit_is_set(5, 2));
  CHECK(!pardune::bit_is_set(5, 1));
  CHECK(!pardune::bit_is_set(~0ull, 64));
  CHECK(!pardune::bit_is_set(~0ull, -1));
}

std::vector<int64_t> keys(int32_t step, int32_t small, int32_t medium) {
  std::vector<int64_t> v;
  pardune::for_bucket_keys(step, small, medium, [&](int64_t k) {
    v.push_back(k);
    return true;
  });
  return v;
}

void test_bucket_keys() {
  auto v = keys(8, 256, 4096);
  CHECK(v.size() == 512);
  CHECK(v.front() == 8);
  CHECK(v[31] == 256);
  CHECK(v[32] == 264);
  CHECK(v.back() == 4096);
  // small_block_max off the step grid: second run is offset.
  v = keys(8, 20, 40);
  const std::vector<int64_t> want = {8, 16, 28, 36};
  CHECK(v == want);
  CHECK(keys(-8, 256, 4096).empty());
  CHECK(keys(8, 0, 0).empty());
  // Near the 32-bit limit the bounds do not overflow.
  v = keys(1 << 30, INT32_MAX, INT32_MAX);
  CHECK(v.size() == 1 && v[0] == (1 << 30));
  // Early stop.
  int n = 0;
  CHECK(!pardune::for_bucket_keys(8, 256, 4096, [&](int64_t) { return ++n < 3; }));
  CHECK(n == 3);
}

void test_counters() {
  pardune::AllocCounters c;
  c.record_allocation(8, true);
  c.record_allocation(8, true);
  c.record_allocation(8, true);
  c.record_allocation(4, false);
  CHECK(c.total_allocations == 4);
  CHECK(c.bucketed_allocations == 3);
  CHECK(c.fallback_allocations == 1);
  CHECK(c.alignment_padding_bytes == 28);
  c.record_allocation(-30, false);
  CHECK(c.alignment_padding_bytes == ~0ull - 1);  // -2 modulo 2^64
  c.record_deallocation();
  CHECK(c.total_deallocations == 1);
  c.total_allocations = ~0ull;
  c.record_allocation(0, true);
  CHECK(c.total_allocations == 0);
  c.reset();
  CHECK(c.total_allocations == 0 && c.total_deallocations == 0 && c.bucketed_allocations == 0 &&
        c.fallback_allocations == 0 && c.alignment_padding_bytes == 0);
}

}  // namespace

int main() {
  test_crc();
  test_header_layout();
  test_worked_example_checksum();
  test_all_free_pattern();
  test_slot_operations();
  test_rounding();
  test_alignment();
  test_bitmap_helpers();
  test_bucket_keys();
  test_counters();
  return native_test::finish("pardune core");
}
