// Number arithmetic and formatting (numbers.hpp).
#include "frame/numbers.hpp"

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

// f"{x:.1f}%": the exact x * 10 rounded half to even, as the interpreter's
// correctly rounded conversion gives it.  Values from 2**49 on, infinities
// and NaNs take that conversion.
PyObject* format_tenths_percent(double x) {
  if (!(std::fabs(x) < 0x1p49)) {
    char* s = PyOS_double_to_string(x, 'f', 1, 0, nullptr);
    if (!s) return PyErr_NoMemory();
    PyObject* r = PyUnicode_FromFormat("%s%%", s);
    PyMem_Free(s);
    return r;
  }
  // x * 10 is p + e exactly; p - n is exact, and |e| is at most half an ulp
  // of p, so only a tie of p decides by e's sign.
  const double p = x * 10.0;
  const double e = std::fma(x, 10.0, -p);
  double n = std::nearbyint(p);
  const double d = p - n;
  if (d == 0.5 && e > 0)
    n += 1;
  else if (d == -0.5 && e < 0)
    n -= 1;
  uint64_t tenths = static_cast<uint64_t>(std::fabs(n));
  char digits[24];
  char* end = digits + sizeof digits;
  char* at = end;
  *--at = '%';
  *--at = static_cast<char>('0' + tenths % 10);
  *--at = '.';
  tenths /= 10;
  do {
    *--at = static_cast<char>('0' + tenths % 10);
    tenths /= 10;
  } while (tenths);
  if (std::signbit(x)) *--at = '-';
  PyObject* r = PyUnicode_New(end - at, 127);
  if (r) memcpy(PyUnicode_1BYTE_DATA(r), at, static_cast<size_t>(end - at));
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

PyObject* format_percent(PyObject* value) {
  // An exact float's __format__ with ".1f" is the interpreter's 'f' conversion.
  if (PyFloat_CheckExact(value)) return format_tenths_percent(PyFloat_AS_DOUBLE(value));
  PyObject* text = PyObject_Format(value, ".1f"_s);
  if (!text) return nullptr;
  PyObject* r = PyUnicode_Concat(text, "%"_s);
  Py_DECREF(text);
  return r;
}

PyObject* format_float(double x, char code, int precision) {
  char* s = PyOS_double_to_string(x, code, precision, 0, nullptr);
  if (!s) return PyErr_NoMemory();
  PyObject* r = PyUnicode_FromString(s);
  PyMem_Free(s);
  return r;
}

}  // namespace frame
