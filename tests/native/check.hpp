// The check macro and the summary line shared by the native tests of the C++
// cores.  A failed check is reported with its location and counted; the test
// runs on, and `finish` turns the count into the exit status.
#pragma once

#include <cstdio>

#if defined(__SANITIZE_THREAD__)
#define NATIVE_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define NATIVE_TEST_TSAN 1
#endif
#endif

namespace native_test {

inline int failures = 0;

// ThreadSanitizer slows every access down several times over; concurrent
// tests scale their rounds by this.
#ifdef NATIVE_TEST_TSAN
constexpr int kSlowdown = 10;
#else
constexpr int kSlowdown = 1;
#endif

// Prints the summary line and returns the process exit status.
inline int finish(const char* suite) {
  if (failures) {
    std::fprintf(stderr, "%s: %d check(s) failed\n", suite, failures);
    return 1;
  }
  std::printf("%s: all checks passed\n", suite);
  return 0;
}

}  // namespace native_test

#define CHECK(cond)                                                                 \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
      native_test::failures++;                                                      \
    }                                                                               \
  } while (0)
