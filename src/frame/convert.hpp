// Conversions of Python objects to native values, with the frame's exact
// messages, and the argument kinds a body parameter can declare.
//
// The C++ type of each body parameter selects its conversion:
//   int64_t / int32_t / uint32_t / uint64_t / uint16_t / uint8_t  native ints
//   I32x             signed 32-bit reporting "value too large to convert to int32_t"
//   double, bool     float conversion, truth value
//   PyObject*        any object (borrowed)
//   AnnInt           parameter annotated `int`: an int object (owned)
//   AnnI64           annotated `int`, then converted to int64_t
//   Exact<T,...>     exactly the builtin type T (optionally None / the note)
//
// Conv<T>::get is inlined into every trampoline; its fast paths (exact
// one-digit ints, exact floats, the two bools) make no call, and everything
// else goes to the out-of-line primitives, which carry the messages.
#pragma once

#include <cstdint>

#include "frame/compat.hpp"
#include "frame/ref.hpp"

namespace frame {

struct I32x {
  int32_t v;
  operator int32_t() const { return v; }
};

// Annotated `int` parameter: exact int unchanged, other numbers through int().
struct AnnInt {
  Ref ref;
  PyObject* get() const { return ref.o; }
  operator PyObject*() const { return ref.o; }
};
// Annotated `int`, then converted to a native signed 64-bit integer.
struct AnnI64 {
  int64_t v;
  operator int64_t() const { return v; }
};

template <PyTypeObject* T, bool NoneOk = false, bool Note = false>
struct Exact {
  PyObject* o;
  operator PyObject*() const { return o; }
  bool is_none() const { return o == Py_None; }
};

// Converts any object to a Python int through the integer protocol:
// new reference, or nullptr with the frame's messages.
PyObject* as_pylong(PyObject* o);

bool to_i64(PyObject* o, int64_t& out);
bool to_u64(PyObject* o, uint64_t& out);
bool to_i32(PyObject* o, int32_t& out, const char* too_large);
bool to_u32(PyObject* o, uint32_t& out);
bool to_u16(PyObject* o, uint16_t& out);
bool to_u8(PyObject* o, uint8_t& out);
bool to_double(PyObject* o, double& out);
// Annotated int: new reference or nullptr.
PyObject* ann_int(PyObject* o, const char* argname);
bool exact_check(PyObject* o, PyTypeObject* t, bool none_ok, bool note, const char* argname);
// Result coercion for the return annotation "int"; steals `r`.
PyObject* coerce_int_result(PyObject* r);

constexpr const char* kMsgInt32 = "value too large to convert to int";
constexpr const char* kMsgInt32t = "value too large to convert to int32_t";

template <class T>
struct Conv;

template <>
struct Conv<int64_t> {
  static bool get(PyObject* o, const char*, int64_t& out) {
    long v;
    if (compat::compact_long(o, v)) {
      out = v;
      return true;
    }
    return to_i64(o, out);
  }
};
template <>
struct Conv<uint64_t> {
  static bool get(PyObject* o, const char*, uint64_t& out) {
    long v;
    if (compat::compact_long(o, v) && v >= 0) {
      out = static_cast<uint64_t>(v);
      return true;
    }
    return to_u64(o, out);
  }
};
template <>
struct Conv<int32_t> {
  static bool get(PyObject* o, const char*, int32_t& out) {
    long v;
    if (compat::compact_long(o, v)) {
      out = static_cast<int32_t>(v);
      return true;
    }
    return to_i32(o, out, kMsgInt32);
  }
};
template <>
struct Conv<I32x> {
  static bool get(PyObject* o, const char*, I32x& out) {
    long v;
    if (compat::compact_long(o, v)) {
      out.v = static_cast<int32_t>(v);
      return true;
    }
    return to_i32(o, out.v, kMsgInt32t);
  }
};
template <>
struct Conv<uint32_t> {
  static bool get(PyObject* o, const char*, uint32_t& out) {
    long v;
    if (compat::compact_long(o, v) && v >= 0) {
      out = static_cast<uint32_t>(v);
      return true;
    }
    return to_u32(o, out);
  }
};
template <>
struct Conv<uint16_t> {
  static bool get(PyObject* o, const char*, uint16_t& out) { return to_u16(o, out); }
};
template <>
struct Conv<uint8_t> {
  static bool get(PyObject* o, const char*, uint8_t& out) { return to_u8(o, out); }
};
template <>
struct Conv<double> {
  static bool get(PyObject* o, const char*, double& out) { return to_double(o, out); }
};
template <>
struct Conv<bool> {
  static bool get(PyObject* o, const char*, bool& out) {
    if (o == Py_True) {
      out = true;
      return true;
    }
    if (o == Py_False || o == Py_None) {
      out = false;
      return true;
    }
    int r = PyObject_IsTrue(o);
    if (r < 0) return false;
    out = r != 0;
    return true;
  }
};
template <>
struct Conv<PyObject*> {
  static bool get(PyObject* o, const char*, PyObject*& out) {
    out = o;
    return true;
  }
};
template <>
struct Conv<AnnInt> {
  static bool get(PyObject* o, const char* name, AnnInt& out) {
    out.ref.o = ann_int(o, name);
    return out.ref.o != nullptr;
  }
};
template <>
struct Conv<AnnI64> {
  static bool get(PyObject* o, const char* name, AnnI64& out) {
    if (PyLong_CheckExact(o)) return to_i64(o, out.v);
    PyObject* v = ann_int(o, name);
    if (!v) return false;
    bool ok = to_i64(v, out.v);
    Py_DECREF(v);
    return ok;
  }
};
template <PyTypeObject* T, bool NoneOk, bool Note>
struct Conv<Exact<T, NoneOk, Note>> {
  static bool get(PyObject* o, const char* name, Exact<T, NoneOk, Note>& out) {
    out.o = o;
    if (Py_TYPE(o) == T || (NoneOk && o == Py_None)) return true;
    return exact_check(o, T, NoneOk, Note, name);
  }
};

}  // namespace frame
