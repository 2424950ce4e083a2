// The out-of-line conversion primitives and their messages (convert.hpp).
#include "frame/convert.hpp"

namespace frame {

PyObject* as_pylong(PyObject* o) {
  if (PyLong_Check(o)) {
    Py_INCREF(o);
    return o;
  }
  PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
  if (!nb || !nb->nb_int) {
    PyErr_SetString(PyExc_TypeError, "an integer is required");
    return nullptr;
  }
  PyObject* r = nb->nb_int(o);
  if (!r || PyLong_CheckExact(r)) return r;
  if (PyLong_Check(r)) {
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability to return an instance of a strict "
                         "subclass of int is deprecated, and may be removed in a future version of Python.",
                         Py_TYPE(r)->tp_name) < 0) {
      Py_DECREF(r);
      return nullptr;
    }
    return r;
  }
  PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(r)->tp_name);
  Py_DECREF(r);
  return nullptr;
}

bool to_i64(PyObject* o, int64_t& out) {
  if (PyLong_Check(o)) {
    long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred()) return false;
    out = v;
    return true;
  }
  PyObject* l = as_pylong(o);
  if (!l) return false;
  long v = PyLong_AsLong(l);
  Py_DECREF(l);
  if (v == -1 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

// Reads an int object as a signed value clamped into [lo, hi]; `over` set
// when the value lies outside.  `neg` set when the value is negative.
static bool read_bounded(PyObject* o, long long lo, unsigned long long hi, long long& out, bool& over, bool& neg) {
  PyObject* l = as_pylong(o);
  if (!l) return false;
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(l, &overflow);
  Py_DECREF(l);
  if (v == -1 && PyErr_Occurred()) return false;
  neg = overflow < 0 || (overflow == 0 && v < 0);
  over = overflow != 0 || v < lo || (v >= 0 && static_cast<unsigned long long>(v) > hi);
  out = v;
  return true;
}

bool to_i32(PyObject* o, int32_t& out, const char* too_large) {
  long long v;
  bool over, neg;
  if (!read_bounded(o, INT32_MIN, INT32_MAX, v, over, neg)) return false;
  if (over) {
    PyErr_SetString(PyExc_OverflowError, too_large);
    return false;
  }
  out = static_cast<int32_t>(v);
  return true;
}

template <class U>
static bool to_unsigned_small(PyObject* o, U& out, const char* neg_msg, const char* big_msg) {
  long long v;
  bool over, neg;
  if (!read_bounded(o, 0, static_cast<unsigned long long>(static_cast<U>(~U(0))), v, over, neg)) return false;
  if (neg) {
    PyErr_SetString(PyExc_OverflowError, neg_msg);
    return false;
  }
  if (over) {
    PyErr_SetString(PyExc_OverflowError, big_msg);
    return false;
  }
  out = static_cast<U>(v);
  return true;
}

bool to_u32(PyObject* o, uint32_t& out) {
  return to_unsigned_small(o, out, "can't convert negative value to uint32_t",
                           "value too large to convert to uint32_t");
}
bool to_u16(PyObject* o, uint16_t& out) {
  return to_unsigned_small(o, out, "can't convert negative value to uint16_t",
                           "value too large to convert to uint16_t");
}
bool to_u8(PyObject* o, uint8_t& out) {
  return to_unsigned_small(o, out, "can't convert negative value to uint8_t", "value too large to convert to uint8_t");
}

bool to_u64(PyObject* o, uint64_t& out) {
  PyObject* l = as_pylong(o);
  if (!l) return false;
  int sign = compat::long_sign(l);
  if (sign < 0) {
    Py_DECREF(l);
    PyErr_SetString(PyExc_OverflowError, "can't convert negative value to uint64_t");
    return false;
  }
  unsigned long v = PyLong_AsUnsignedLong(l);
  Py_DECREF(l);
  if (v == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool to_double(PyObject* o, double& out) {
  if (PyFloat_CheckExact(o)) {
    out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

PyObject* ann_int(PyObject* o, const char* argname) {
  if (PyLong_CheckExact(o)) {
    Py_INCREF(o);
    return o;
  }
  if (PyNumber_Check(o)) return PyNumber_Long(o);
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argname, "int",
               Py_TYPE(o)->tp_name);
  return nullptr;
}

bool exact_check(PyObject* o, PyTypeObject* t, bool none_ok, bool note, const char* argname) {
  if (Py_TYPE(o) == t || (none_ok && o == Py_None)) return true;
  const char* sep = "";
  const char* text = "";
  if (note && PyObject_TypeCheck(o, t)) {
    sep = ". ";
    text =
        "Note that Cython is deliberately stricter than PEP-484 and rejects subclasses of builtin types. If you need "
        "to pass subclasses then set the 'annotation_typing' directive to False.";
  }
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%s", argname,
               t->tp_name, Py_TYPE(o)->tp_name, sep, text);
  return false;
}

PyObject* new_long(long v) { return compat::long_from_long(v); }
PyObject* new_ulong(unsigned long v) { return compat::long_from_ulong(v); }

PyObject* coerce_int_result(PyObject* r) {
  if (r == Py_None || PyLong_CheckExact(r)) return r;
  if (PyNumber_Check(r)) {
    PyObject* v = PyNumber_Long(r);
    Py_DECREF(r);
    return v;
  }
  PyErr_Format(PyExc_TypeError, "Expected %.200s, got %.200s", "int", Py_TYPE(r)->tp_name);
  Py_DECREF(r);
  return nullptr;
}
}  // namespace frame
