// The frame's compatibility layer: the one place that tests the interpreter
// version or touches private or deprecated CPython API.
//
// The modules build for 3.9 to 3.13.  Everything that differs between those
// versions, and every `_Py...` or deprecated call, sits behind a small named
// function here, so module code and the rest of the frame read the same on
// every version.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace frame::compat {

// Sign of an int object (-1, 0, 1); the object must be an int.
inline int long_sign(PyObject* o) {
#if PY_VERSION_HEX >= 0x030E0000
  int sign = 0;
  (void)PyLong_GetSign(o, &sign);  // fails only for a non-int
  return sign;
#else
  return _PyLong_Sign(o);
#endif
}

// Reads an exact int of at most one digit without a call; false otherwise.
inline bool compact_long(PyObject* o, long& v) {
  if (!PyLong_CheckExact(o)) return false;
  PyLongObject* l = reinterpret_cast<PyLongObject*>(o);
#if PY_VERSION_HEX >= 0x030C0000
  if (!_PyLong_IsCompact(l)) return false;
  v = static_cast<long>(_PyLong_CompactValue(l));
  return true;
#else
  const Py_ssize_t size = Py_SIZE(o);
  if (size == 0) {
    v = 0;
  } else if (size == 1) {
    v = static_cast<long>(l->ob_digit[0]);
  } else if (size == -1) {
    v = -static_cast<long>(l->ob_digit[0]);
  } else {
    return false;
  }
  return true;
#endif
}

// New ints from C integers, cheaper than the interpreter's constructors for
// the common values: cached small ints come through PyLong_FromUnsignedLong,
// the cheapest way to them (the same objects); before 3.12, a one-digit value
// outside that cache is built directly, where PyLong_FromLong would count
// its digits in a loop.  Every other value takes the interpreter's path.
inline PyObject* one_digit_long(unsigned long magnitude, bool negative) {
#if PY_VERSION_HEX < 0x030C0000
  PyLongObject* l = _PyLong_New(1);
  if (!l) return nullptr;
  l->ob_digit[0] = static_cast<digit>(magnitude);
  if (negative) Py_SET_SIZE(l, -1);
  return reinterpret_cast<PyObject*>(l);
#else
  return negative ? PyLong_FromLong(-static_cast<long>(magnitude)) : PyLong_FromUnsignedLong(magnitude);
#endif
}

inline PyObject* long_from_ulong(unsigned long v) {
  constexpr unsigned long kBase = 1UL << PyLong_SHIFT;
  if (v > 256 && v < kBase) return one_digit_long(v, false);
  return PyLong_FromUnsignedLong(v);
}

inline PyObject* long_from_long(long v) {
  constexpr long kBase = 1L << PyLong_SHIFT;
  if (v >= 0) return long_from_ulong(static_cast<unsigned long>(v));
  if (v < -5 && v > -kBase) return one_digit_long(static_cast<unsigned long>(-v), true);
  return PyLong_FromLong(v);
}

// Makes a str ready for PyUnicode_DATA/KIND (a no-op from 3.12 on).
inline int unicode_ready(PyObject* s) {
#if PY_VERSION_HEX >= 0x030C0000
  (void)s;
  return 0;
#else
  return PyUnicode_READY(s);
#endif
}

// Looks a name up along the type's MRO without calling descriptors, as the
// interpreter does for special methods; borrowed result, no error set.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) { return _PyType_Lookup(type, name); }

// Whether nobody can set attributes on the type (so its methods cannot be
// replaced): builtin static types, and from 3.10 on immutable heap types
// such as 3.12's `_thread.lock`.
inline bool type_is_immutable(PyTypeObject* t) {
#if PY_VERSION_HEX >= 0x030A0000
  return PyType_HasFeature(t, Py_TPFLAGS_IMMUTABLETYPE);
#else
  return !PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE);
#endif
}

// Fills `slot` with the module's sub-interpreter declaration where the
// interpreter has one (3.12+) and returns the number of slots filled.
// Declaring per-interpreter-GIL support makes the interpreter call the create
// slot in any sub-interpreter, which then refuses with the module's message.
inline int interpreter_slot(PyModuleDef_Slot* slot) {
#if PY_VERSION_HEX >= 0x030C0000
  *slot = {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED};
  return 1;
#else
  (void)slot;
  return 0;
#endif
}

}  // namespace frame::compat
