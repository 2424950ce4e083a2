// Conversions of Python objects to native values, with the frame's exact
// messages, and the argument kinds a body parameter can declare.
//
// The C++ type of each body parameter selects its conversion:
//   int64_t / uint64_t / uint32_t / uint16_t / uint8_t  native ints
//   int32_t           a C `int`: "value too large to convert to int"
//   Int32T            a declared int32_t: "value too large to convert to int32_t"
//   double, bool      float conversion, truth value
//   PyObject*         any object (borrowed)
//   AnnotatedInt      parameter annotated `int`: an int object (owned)
//   ExactOrNone<T>    exactly the builtin type T, or None (and the other
//                     exact-type kinds below)
//
// Converter<T>::get is inlined into every trampoline; its fast paths (exact
// one-digit ints, exact floats, the two bools) make no call, and everything
// else goes to the out-of-line primitives, which carry the messages.  The
// parameter's name comes as a callable, read only where a message needs it.
#pragma once

#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>

#include "frame/compat.hpp"
#include "frame/declare.hpp"
#include "frame/ref.hpp"

namespace frame {

template <class T>
struct Converter;

namespace detail {
// An argument of exactly the builtin type T (borrowed), optionally None.
// With `Note`, a strict subclass of T is refused with the note on the
// strictness of builtin-type annotations.
template <PyTypeObject* T, bool NoneOk, bool Note>
class ExactArg {
 public:
  PyObject* get() const { return o_; }
  // A new reference to the argument, for handing it on.
  PyObject* release() const {
    Py_INCREF(o_);
    return o_;
  }
  operator PyObject*() const { return o_; }
  bool is_none() const { return o_ == Py_None; }

 private:
  friend struct Converter<ExactArg>;
  PyObject* o_ = nullptr;
};
}  // namespace detail

// The argument kinds, used unqualified by modules (see declare.hpp).
inline namespace declarations {

// A parameter declared int32_t (rather than a C `int`): same range, its
// overflow message names the type.
struct Int32T {
  int32_t v;
  operator int32_t() const { return v; }
};

// Annotated `int` parameter: exact int unchanged, other numbers through int().
class AnnotatedInt {
 public:
  PyObject* get() const { return ref_.get(); }
  // The int object, handed to the caller.
  PyObject* release() { return ref_.release(); }
  operator PyObject*() const { return ref_.get(); }

 private:
  friend struct Converter<AnnotatedInt>;
  Ref ref_;
};

// The exact-type argument kinds.
template <PyTypeObject* T>
using Exactly = detail::ExactArg<T, false, false>;
template <PyTypeObject* T>
using ExactOrNone = detail::ExactArg<T, true, false>;
template <PyTypeObject* T>
using ExactOrNoneNoted = detail::ExactArg<T, true, true>;
template <PyTypeObject* T>
using ExactlyNoted = detail::ExactArg<T, false, true>;

using StrOrNone = ExactOrNone<&PyUnicode_Type>;
using BytesOrNone = ExactOrNone<&PyBytes_Type>;
using ListOrNone = ExactOrNone<&PyList_Type>;
using StrOrNoneNoted = ExactOrNoneNoted<&PyUnicode_Type>;
using TupleOrNoneNoted = ExactOrNoneNoted<&PyTuple_Type>;

}  // namespace declarations

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
// Checks that `o` is exactly `t` (or None when `none_ok`); otherwise raises
// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
// with the subclass note when `note` and `o` is a strict subclass.
bool exact_check(PyObject* o, PyTypeObject* t, bool none_ok, bool note, const char* argname);
// New ints from C integers (compat::long_from_long and long_from_ulong, out
// of line so that a trampoline stays small).
PyObject* new_long(long v);
PyObject* new_ulong(unsigned long v);
// The interpreter's cached ints 0 to 256, held from initialisation
// (init_constants): a result among them is a table read.
inline PyObject* g_small_ints[257] = {};
inline PyObject* small_int(unsigned long v) {
  PyObject* o = g_small_ints[v];
  Py_INCREF(o);
  return o;
}
// Result coercion for the return annotation "int"; steals `r`.
PyObject* coerce_int_result(PyObject* r);

constexpr const char* kMsgInt32 = "value too large to convert to int";
constexpr const char* kMsgInt32t = "value too large to convert to int32_t";

// The value a declared default converts to, without building or converting
// its object: for integer defaults of integer parameters within range, float
// (and exactly representable integer) defaults of double parameters and any
// default of a bool parameter.  False when the object must be converted.
template <class T>
inline bool native_default(const Default& d, T& out) {
  if constexpr (std::is_same_v<T, bool>) {
    switch (d.tag) {
      case Default::None:
      case Default::False:
        out = false;
        return true;
      case Default::True:
        out = true;
        return true;
      case Default::Int:
        out = d.i != 0;
        return true;
      case Default::Float:
        out = d.d != 0.0;
        return true;
      default:
        return false;
    }
  } else if constexpr (std::is_integral_v<T>) {
    if (d.tag != Default::Int || !std::in_range<T>(d.i)) return false;
    out = static_cast<T>(d.i);
    return true;
  } else if constexpr (std::is_same_v<T, Int32T>) {
    return native_default(d, out.v);
  } else if constexpr (std::is_same_v<T, double>) {
    constexpr long long kExact = 1LL << 53;
    if (d.tag == Default::Float) {
      out = d.d;
      return true;
    }
    if (d.tag != Default::Int || d.i > kExact || d.i < -kExact) return false;
    out = static_cast<double>(d.i);
    return true;
  } else {
    (void)d;
    (void)out;
    return false;
  }
}

// The call-free path of the integer converters: an exact int of one digit
// (|v| < 2**30) fits every width below; unsigned targets also need v >= 0.
template <class T>
inline bool from_compact(PyObject* o, T& out) {
  long v;
  if (!compat::compact_long(o, v) || (std::is_unsigned_v<T> && v < 0)) return false;
  out = static_cast<T>(v);
  return true;
}

// Through `convert`; with `compact_first`, a one-digit exact int is read in
// place before.
template <class T, bool (*convert)(PyObject*, T&), bool compact_first = false>
struct Through {
  template <class Name>
  static bool get(PyObject* o, Name, T& out) {
    if constexpr (compact_first) {
      if (from_compact(o, out)) return true;
    }
    return convert(o, out);
  }
};
template <>
struct Converter<int64_t> : Through<int64_t, to_i64, true> {};
template <>
struct Converter<uint64_t> : Through<uint64_t, to_u64, true> {};
template <>
struct Converter<uint32_t> : Through<uint32_t, to_u32, true> {};
template <>
struct Converter<int32_t> {
  template <class Name>
  static bool get(PyObject* o, Name, int32_t& out) {
    return from_compact(o, out) || to_i32(o, out, kMsgInt32);
  }
};
template <>
struct Converter<Int32T> {
  template <class Name>
  static bool get(PyObject* o, Name, Int32T& out) {
    return from_compact(o, out.v) || to_i32(o, out.v, kMsgInt32t);
  }
};
template <>
struct Converter<uint16_t> : Through<uint16_t, to_u16> {};
template <>
struct Converter<uint8_t> : Through<uint8_t, to_u8> {};
template <>
struct Converter<double> {
  template <class Name>
  static bool get(PyObject* o, Name, double& out) {
    if (PyFloat_CheckExact(o)) {
      out = PyFloat_AS_DOUBLE(o);
      return true;
    }
    return to_double(o, out);
  }
};
template <>
struct Converter<bool> {
  template <class Name>
  static bool get(PyObject* o, Name, bool& out) {
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
struct Converter<PyObject*> {
  template <class Name>
  static bool get(PyObject* o, Name, PyObject*& out) {
    out = o;
    return true;
  }
};
template <>
struct Converter<AnnotatedInt> {
  template <class Name>
  static bool get(PyObject* o, Name name, AnnotatedInt& out) {
    out.ref_.reset(ann_int(o, name()));
    return static_cast<bool>(out.ref_);
  }
};
template <PyTypeObject* T, bool NoneOk, bool Note>
struct Converter<detail::ExactArg<T, NoneOk, Note>> {
  template <class Name>
  static bool get(PyObject* o, Name name, detail::ExactArg<T, NoneOk, Note>& out) {
    out.o_ = o;
    if (Py_TYPE(o) == T || (NoneOk && o == Py_None)) return true;
    return exact_check(o, T, NoneOk, Note, name());
  }
};

// Converts a body's C++ result to a new reference (nullptr passes through).
template <class R>
inline PyObject* to_result(R&& r) {
  using T = std::decay_t<R>;
  if constexpr (std::is_same_v<T, PyObject*>) {
    return r;
  } else if constexpr (std::is_same_v<T, Ref>) {
    return r.release();
  } else if constexpr (std::is_same_v<T, bool>) {
    PyObject* o = r ? Py_True : Py_False;
    Py_INCREF(o);
    return o;
  } else if constexpr (std::is_same_v<T, double>) {
    return PyFloat_FromDouble(r);
  } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
    if (r >= 0 && r <= 256) return small_int(static_cast<unsigned long>(r));
    if constexpr (sizeof(T) <= sizeof(long))
      return new_long(static_cast<long>(r));
    else
      return PyLong_FromLongLong(static_cast<long long>(r));
  } else if constexpr (std::is_integral_v<T> && std::is_unsigned_v<T>) {
    if (r <= 256) return small_int(static_cast<unsigned long>(r));
    if constexpr (sizeof(T) <= sizeof(unsigned long))
      return new_ulong(static_cast<unsigned long>(r));
    else
      return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(r));
  } else if constexpr (std::is_same_v<T, std::optional<typename T::value_type>>) {
    if (!r) return nullptr;
    return to_result(*r);
  } else {
    static_assert(sizeof(T) == 0, "unsupported body result type");
  }
}

}  // namespace frame
