// Number arithmetic and formatting in module bodies, with Python's own
// semantics: guarded ratios and percentages, and float formatting.
#pragma once

#include <cstddef>
#include <cstring>
#include <initializer_list>

#include "frame/compat.hpp"

namespace frame {

// `part / whole` in Python arithmetic when `whole > 0`, else 0.0.
PyObject* ratio_or_zero(PyObject* part, PyObject* whole);

// `part / whole * 100.0` in Python arithmetic when `whole > 0`, else 0.0.
PyObject* percent_or_zero(PyObject* part, PyObject* whole);

// Python's f"{value:.1f}%" for any object.
PyObject* format_percent(PyObject* value);

// Formats a double like Python's format(x, ".{precision}{code}").
PyObject* format_float(double x, char code, int precision);

// Writes format(x, f".{digits}f") to `out` (room for kFixedRoom characters)
// and returns its length, for 1 <= digits <= 6 and |x| * 10**digits < 2**52:
// the exact x * 10**digits rounded half to even, as the interpreter's
// correctly rounded conversion gives it.  0 for anything else (larger values,
// infinities, NaNs), which format_float handles.
inline constexpr size_t kFixedRoom = 32;
size_t fixed_digits(double x, int digits, char* out);

// A piece of a message: ASCII text, or an exact str.
struct TextPiece {
  TextPiece(const char* text) : ascii(text), length(strlen(text)) {}
  TextPiece(const char* text, size_t n) : ascii(text), length(n) {}
  TextPiece(PyObject* exact_str) : str(exact_str) {}
  const char* ascii = nullptr;
  size_t length = 0;
  PyObject* str = nullptr;
};

// The pieces joined into one new str, made with one allocation.
PyObject* join_text(std::initializer_list<TextPiece> pieces);

}  // namespace frame
