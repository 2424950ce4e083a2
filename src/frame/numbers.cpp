// Number arithmetic and formatting (numbers.hpp).
#include "frame/numbers.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "frame/constants.hpp"

namespace frame {

namespace {

// Whether `den > 0` (-1 on error); when it is not, `*zero` is a new 0.0.
int above_zero(PyObject* den, PyObject** zero) {
  // An exact int compares by its sign and runs no code.
  const int positive = PyLong_CheckExact(den) ? compat::long_sign(den) > 0 : PyObject_RichCompareBool(den, 0_n, Py_GT);
  if (positive == 0) {
    *zero = 0.0_n;
    Py_INCREF(*zero);
  }
  return positive;
}

// A str of ASCII characters.
PyObject* ascii_str(const char* text, size_t n) {
  PyObject* r = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
  if (r) memcpy(PyUnicode_1BYTE_DATA(r), text, n);
  return r;
}

}  // namespace

PyObject* ratio_or_zero(PyObject* part, PyObject* whole) {
  PyObject* zero = nullptr;
  const int positive = above_zero(whole, &zero);
  if (positive <= 0) return zero;
  long a, b;
  if (compat::compact_long(part, a) && compat::compact_long(whole, b))
    return PyFloat_FromDouble(static_cast<double>(a) / static_cast<double>(b));
  return PyNumber_TrueDivide(part, whole);
}

PyObject* percent_or_zero(PyObject* part, PyObject* whole) {
  PyObject* zero = nullptr;
  const int positive = above_zero(whole, &zero);
  if (positive <= 0) return zero;
  // One-digit ints are exact doubles, so their quotient is the one int
  // division rounds to, and the product the float multiplication's.
  long a, b;
  if (compat::compact_long(part, a) && compat::compact_long(whole, b))
    return PyFloat_FromDouble(static_cast<double>(a) / static_cast<double>(b) * 100.0);
  PyObject* q = PyNumber_TrueDivide(part, whole);
  if (!q) return nullptr;
  PyObject* r = PyNumber_Multiply(q, 100.0_n);
  Py_DECREF(q);
  return r;
}

size_t fixed_digits(double x, int digits, char* out) {
  static constexpr double kScale[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6};
  if (digits < 1 || digits > 6) return 0;
  const double m = kScale[digits];
  // Below 2**52, p's ulp is at most 1/2, so p - n is exact and |e| at most a
  // quarter: only a tie of p (d = 1/2) is decided by e's sign.
  if (!(std::fabs(x) * m < 0x1p52)) return 0;
  const double p = x * m;
  const double e = std::fma(x, m, -p);  // x * m == p + e exactly
  double n = std::nearbyint(p);         // half to even
  const double d = p - n;
  if (d == 0.5 && e > 0)
    n += 1;
  else if (d == -0.5 && e < 0)
    n -= 1;
  uint64_t units = static_cast<uint64_t>(std::fabs(n));
  char text[32];
  char* end = text + sizeof text;
  char* at = end;
  for (int i = 0; i < digits; i++) {
    *--at = static_cast<char>('0' + units % 10);
    units /= 10;
  }
  *--at = '.';
  do {
    *--at = static_cast<char>('0' + units % 10);
    units /= 10;
  } while (units);
  if (std::signbit(x)) *--at = '-';
  const size_t len = static_cast<size_t>(end - at);
  memcpy(out, at, len);
  return len;
}

PyObject* join_text(std::initializer_list<TextPiece> pieces) {
  Py_ssize_t length = 0;
  Py_UCS4 widest = 127;
  for (const TextPiece& p : pieces) {
    if (p.str) {
      if (compat::unicode_ready(p.str) < 0) return nullptr;
      length += PyUnicode_GET_LENGTH(p.str);
      widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(p.str));
    } else {
      length += static_cast<Py_ssize_t>(p.length);
    }
  }
  PyObject* r = PyUnicode_New(length, widest);
  if (!r) return nullptr;
  const int kind = PyUnicode_KIND(r);
  void* data = PyUnicode_DATA(r);
  Py_ssize_t at = 0;
  for (const TextPiece& p : pieces) {
    if (p.str) {
      const Py_ssize_t n = PyUnicode_GET_LENGTH(p.str);
      if (PyUnicode_CopyCharacters(r, at, p.str, 0, n) < 0) {
        Py_DECREF(r);
        return nullptr;
      }
      at += n;
    } else if (kind == PyUnicode_1BYTE_KIND) {
      memcpy(static_cast<Py_UCS1*>(data) + at, p.ascii, p.length);
      at += static_cast<Py_ssize_t>(p.length);
    } else {
      for (size_t i = 0; i < p.length; i++) PyUnicode_WRITE(kind, data, at++, static_cast<Py_UCS1>(p.ascii[i]));
    }
  }
  return r;
}

PyObject* format_percent(PyObject* value) {
  // An exact float's __format__ with ".1f" is the interpreter's 'f' conversion.
  if (PyFloat_CheckExact(value)) {
    char text[kFixedRoom + 1];
    if (size_t n = fixed_digits(PyFloat_AS_DOUBLE(value), 1, text)) {
      text[n] = '%';
      return ascii_str(text, n + 1);
    }
  }
  PyObject* text = PyObject_Format(value, ".1f"_s);
  if (!text) return nullptr;
  PyObject* r = PyUnicode_Concat(text, "%"_s);
  Py_DECREF(text);
  return r;
}

PyObject* format_float(double x, char code, int precision) {
  char text[kFixedRoom];
  if (code == 'f')
    if (size_t n = fixed_digits(x, precision, text)) return ascii_str(text, n);
  char* s = PyOS_double_to_string(x, code, precision, 0, nullptr);
  if (!s) return PyErr_NoMemory();
  PyObject* r = PyUnicode_FromString(s);
  PyMem_Free(s);
  return r;
}

}  // namespace frame
