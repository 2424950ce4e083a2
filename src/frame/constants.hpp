// Module-lifetime constants: interned strings, numbers, keyword-name tuples
// and objects built once, created together at initialisation.
//
// Strings and numbers are written where they are used: "name"_s and num<0>
// (or num<0.0>) name one object per distinct text or value, however often
// they are written.  Each constant links itself into a list when the shared
// library loads; step (d) of the execute slot walks the lists and makes the
// Python objects, so a module never builds raw globals by hand.
#pragma once

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <type_traits>

#include "frame/compat.hpp"

namespace frame {

int init_constants();

// A module-level interned string.
class Str {
 public:
  explicit Str(const char* text);
  operator PyObject*() const { return obj_; }
  PyObject* get() const { return obj_; }
  const char* text() const { return text_; }

 private:
  friend int init_constants();
  const char* text_;
  PyObject* obj_ = nullptr;
  Str* next_;
};

// A string literal as a template argument.
template <std::size_t N>
struct Text {
  char chars[N];
  constexpr Text(const char (&text)[N]) { std::copy_n(text, N, chars); }
};

// One interned string per distinct text, declared where it is first used.
template <Text T>
inline Str interned{T.chars};

inline namespace declarations {
// "name"_s: the interned string "name", the same object wherever it is written.
template <Text T>
const Str& operator""_s() {
  return interned<T>;
}
}  // namespace declarations

// A module-level numeric constant (float or int).
class Num {
 public:
  explicit Num(double v);
  explicit Num(long long v);
  operator PyObject*() const { return obj_; }
  PyObject* get() const { return obj_; }

 private:
  friend int init_constants();
  bool is_float_;
  double d_;
  long long i_;
  PyObject* obj_ = nullptr;
  Num* next_;
};

inline namespace declarations {
// One number constant per distinct value and type: num<0> is the int 0,
// num<0.0> the float 0.0.
template <auto V>
inline Num num{static_cast<std::conditional_t<std::is_floating_point_v<decltype(V)>, double, long long>>(V)};
}  // namespace declarations

// A module-lifetime object built at initialisation by `make` (a tuple, a set,
// a looked-up attribute), after every Str and Num exists.
class Const {
 public:
  using Maker = PyObject* (*)();
  explicit Const(Maker make);
  operator PyObject*() const { return obj_; }
  PyObject* get() const { return obj_; }
  // A new reference to the constant.
  PyObject* new_ref() const {
    Py_INCREF(obj_);
    return obj_;
  }

 private:
  friend int init_constants();
  Maker make_;
  PyObject* obj_ = nullptr;
  Const* next_;
};

// A tuple of interned names, for keyword-name tuples of vectorcall calls.
class Names {
 public:
  template <std::size_t N>
  explicit Names(const char* const (&names)[N]) : Names(names, static_cast<Py_ssize_t>(N)) {}
  operator PyObject*() const { return obj_; }
  PyObject* get() const { return obj_; }
  Py_ssize_t size() const { return n_; }

 private:
  Names(const char* const* names, Py_ssize_t n);
  friend int init_constants();
  const char* const* names_;
  Py_ssize_t n_;
  PyObject* obj_ = nullptr;
  Names* next_;
};

// Builders for Const.
PyObject* tuple_of(std::initializer_list<PyObject*> items);  // new tuple, items borrowed
PyObject* name_set(const char* const* names, std::size_t n);  // set of interned names
template <std::size_t N>
PyObject* name_set(const char* const (&names)[N]) {
  return name_set(names, N);
}

}  // namespace frame
