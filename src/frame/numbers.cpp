// Number arithmetic and formatting (numbers.hpp).
#include "frame/numbers.hpp"

#include "frame/constants.hpp"

namespace frame {

namespace {

// Whether `den > 0` (-1 on error); when it is not, `*zero` is a new 0.0.
int above_zero(PyObject* den, PyObject** zero) {
  const int positive = PyObject_RichCompareBool(den, 0_n, Py_GT);
  if (positive == 0) {
    *zero = 0.0_n;
    Py_INCREF(*zero);
  }
  return positive;
}
}  // namespace

PyObject* ratio_or_zero(PyObject* part, PyObject* whole) {
  PyObject* zero = nullptr;
  const int positive = above_zero(whole, &zero);
  if (positive <= 0) return zero;
  return PyNumber_TrueDivide(part, whole);
}

PyObject* percent_or_zero(PyObject* part, PyObject* whole) {
  PyObject* zero = nullptr;
  const int positive = above_zero(whole, &zero);
  if (positive <= 0) return zero;
  PyObject* q = PyNumber_TrueDivide(part, whole);
  if (!q) return nullptr;
  PyObject* r = PyNumber_Multiply(q, 100.0_n);
  Py_DECREF(q);
  return r;
}

PyObject* format_percent(PyObject* value) {
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
