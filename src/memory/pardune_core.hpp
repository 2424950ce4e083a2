// Allocator fast-path arithmetic: the packed slab header with its CRC-16 and
// 64-slot object bitmap, size-class rounding, alignment and bitmap helpers,
// and the allocation counters.  No Python here.
//
// All size arithmetic is done in 64 bits on 32-bit inputs, so sums near the
// limits of the 32-bit type never overflow: results are exact.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace pardune {

// ---------------------------------------------------------------------------
// CRC-16/MODBUS (reflected polynomial 0x8005, init 0xFFFF, no final XOR).

constexpr uint16_t kCrcPoly = 0xA001;
constexpr uint16_t kCrcInit = 0xFFFF;

inline void init_crc16_table(uint16_t (&table)[256]) {
  for (unsigned i = 0; i < 256; i++) {
    uint16_t c = static_cast<uint16_t>(i);
    for (int k = 0; k < 8; k++)
      c = (c & 1u) ? static_cast<uint16_t>((c >> 1) ^ kCrcPoly) : static_cast<uint16_t>(c >> 1);
    table[i] = c;
  }
}

inline uint16_t crc16(const uint16_t (&table)[256], const uint8_t* data, size_t n) {
  uint16_t crc = kCrcInit;
  for (size_t i = 0; i < n; i++) crc = static_cast<uint16_t>((crc >> 8) ^ table[(crc ^ data[i]) & 0xFFu]);
  return crc;
}

// ---------------------------------------------------------------------------
// Slab header: 16 packed bytes, the same order and widths as the byte form
// (little-endian "<BBLHQ").

#pragma pack(push, 1)
struct SlabHeader {
  uint8_t size_class_index;
  uint8_t flags;
  uint32_t generation;
  uint16_t checksum;
  uint64_t bitmap;
};
#pragma pack(pop)
static_assert(sizeof(SlabHeader) == 16, "slab header must be 16 packed bytes");

constexpr uint8_t kFlagInUse = 0x10;
constexpr uint8_t kFlagCorrupt = 0x80;
constexpr int kSlots = 64;
constexpr size_t kHeaderBytes = 16;
constexpr size_t kCoveredBytes = 6;  // size_class_index, flags, generation

// Bitmap with every addressable slot free: the low `objects_per_slab` bits,
// all 64 from 64 on, none for zero or negative counts.
constexpr uint64_t all_free_pattern(int32_t objects_per_slab) {
  if (objects_per_slab <= 0) return 0;
  if (objects_per_slab >= kSlots) return ~uint64_t{0};
  return (uint64_t{1} << objects_per_slab) - 1;
}

// Slot indexes outside [0, 64) address no bit; negative ones are treated like
// those of 64 and above.
constexpr bool addressable(int32_t index) { return index >= 0 && index < kSlots; }
constexpr uint64_t slot_bit(int32_t index) { return uint64_t{1} << index; }

constexpr bool bit_is_set(uint64_t bitmap, int32_t index) {
  return addressable(index) && (bitmap & slot_bit(index)) != 0;
}
constexpr uint64_t bit_set(uint64_t bitmap, int32_t index) {
  return addressable(index) ? bitmap | slot_bit(index) : bitmap;
}
constexpr uint64_t bit_clear(uint64_t bitmap, int32_t index) {
  return addressable(index) ? bitmap & ~slot_bit(index) : bitmap;
}
// Least significant set bit, or -1 for an empty map.
constexpr int32_t first_set(uint64_t bitmap) { return bitmap ? static_cast<int32_t>(std::countr_zero(bitmap)) : -1; }

inline SlabHeader new_header(int32_t size_class_index, int32_t objects_per_slab) {
  SlabHeader h{};
  h.size_class_index = static_cast<uint8_t>(static_cast<uint32_t>(size_class_index) & 0xFFu);
  h.flags = 0;
  h.generation = 0;
  h.checksum = 0;
  h.bitmap = all_free_pattern(objects_per_slab);
  return h;
}

inline bool slot_is_free(const SlabHeader& h, int32_t index) { return bit_is_set(h.bitmap, index); }

inline void slot_allocate(SlabHeader& h, int32_t index) {
  h.bitmap = bit_clear(h.bitmap, index);
  h.flags = static_cast<uint8_t>(h.flags | kFlagInUse);
  h.generation = static_cast<uint32_t>(h.generation + 1u);
}

inline void slot_deallocate(SlabHeader& h, int32_t index, int32_t objects_per_slab) {
  h.bitmap = bit_set(h.bitmap, index);
  h.generation = static_cast<uint32_t>(h.generation + 1u);
  if (h.bitmap == all_free_pattern(objects_per_slab)) h.flags = static_cast<uint8_t>(h.flags & ~kFlagInUse);
}

inline int32_t slot_find_free(const SlabHeader& h) { return first_set(h.bitmap); }

// The six checksummed bytes, in byte-form order.
inline void covered_bytes(const SlabHeader& h, uint8_t (&out)[kCoveredBytes]) {
  out[0] = h.size_class_index;
  out[1] = h.flags;
  for (int i = 0; i < 4; i++) out[2 + i] = static_cast<uint8_t>((h.generation >> (8 * i)) & 0xFFu);
}

inline uint16_t header_checksum(const uint16_t (&table)[256], const SlabHeader& h) {
  uint8_t b[kCoveredBytes];
  covered_bytes(h, b);
  return crc16(table, b, kCoveredBytes);
}

// ---------------------------------------------------------------------------
// Size classes and alignment.

// ((size + step - 1) / step) * step with division truncating toward zero.
// `step` must not be 0.  The magnitude never exceeds 2^32.
constexpr int64_t round_up_trunc(int32_t size, int32_t step) {
  const int64_t a = int64_t{size} + int64_t{step} - 1;
  return (a / step) * step;
}

// The allocator's rounding: sizes up to the largest class are rounded, others
// (and every size under a zero step, or a result outside the 32-bit range)
// have no bucket (-1).
constexpr int32_t bucket_for_size(int32_t size, int32_t step, int32_t small_max, int32_t medium_max) {
  if (step == 0) return -1;
  if (size <= small_max || size <= medium_max) {
    const int64_t r = round_up_trunc(size, step);
    if (r < INT32_MIN || r > INT32_MAX) return -1;
    return static_cast<int32_t>(r);
  }
  return -1;
}

// (value + alignment - 1) AND (-alignment): rounds up to a multiple of a
// power-of-two alignment; any alignment gives a defined result.
constexpr int64_t align_up(int64_t value, int32_t alignment) {
  return (value + int64_t{alignment} - 1) & -int64_t{alignment};
}

constexpr bool is_power_of_two(int32_t alignment) { return alignment > 0 && (alignment & (alignment - 1)) == 0; }

// Block of `block_size` at `offset` holds `size` bytes at `alignment`; the
// block end may be reached.
constexpr bool fits_inclusive(int32_t offset, int64_t block_size, int32_t size, int32_t alignment) {
  return align_up(offset, alignment) + size <= int64_t{offset} + block_size;
}

// As above, but the allocation must end before the block end.
constexpr bool fits_exclusive(int32_t offset, int32_t block_size, int32_t size, int32_t alignment) {
  return align_up(offset, alignment) + size < int64_t{offset} + block_size;
}

// Bucket keys: range(start, stop, step) semantics on 64-bit values.
// Calls f(key) for each; stops early when f returns false.  step != 0.
template <class F>
bool for_range(int64_t start, int64_t stop, int64_t step, F&& f) {
  if (step > 0) {
    for (int64_t k = start; k < stop; k += step)
      if (!f(k)) return false;
  } else {
    for (int64_t k = start; k > stop; k += step)
      if (!f(k)) return false;
  }
  return true;
}

// Both runs of bucket keys for an allocator's configuration.
template <class F>
bool for_bucket_keys(int32_t step, int32_t small_max, int32_t medium_max, F&& f) {
  return for_range(step, int64_t{small_max} + 1, step, f) &&
         for_range(int64_t{small_max} + step, int64_t{medium_max} + 1, step, f);
}

// ---------------------------------------------------------------------------
// Allocation counters (wrap modulo 2^64).

struct AllocCounters {
  uint64_t total_allocations = 0;
  uint64_t total_deallocations = 0;
  uint64_t bucketed_allocations = 0;
  uint64_t fallback_allocations = 0;
  uint64_t alignment_padding_bytes = 0;

  void record_allocation(int32_t padding, bool is_bucketed) {
    total_allocations++;
    alignment_padding_bytes += static_cast<uint64_t>(static_cast<int64_t>(padding));
    if (is_bucketed)
      bucketed_allocations++;
    else
      fallback_allocations++;
  }
  void record_deallocation() { total_deallocations++; }
  void reset() { *this = AllocCounters{}; }
};

}  // namespace pardune
