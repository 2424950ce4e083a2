// Module-lifetime constants: interned strings, numbers, keyword-name tuples
// and objects built once, created together at initialisation.
//
// Strings and numbers are written where they are used: "name"_s and 100_n
// (or 0.5_n) name one object per distinct literal, however often they are
// written.  Each constant links itself into a list when the shared
// library loads; the create slot walks the lists and makes the Python
// objects (the execute slot's step (d) repeats it, idempotently), so a module
// never builds raw globals by hand.
#pragma once

#include <algorithm>
#include <cstddef>
#include <initializer_list>

#include "frame/compat.hpp"

namespace frame {

int init_constants();

// What every constant is: a Python object made at initialisation and reached
// through its declaration's address (so a declaration is never copied).
class Constant {
 public:
  Constant(const Constant&) = delete;
  Constant& operator=(const Constant&) = delete;
  operator PyObject*() const { return obj_; }
  PyObject* get() const { return obj_; }
  // A new reference to the object.
  PyObject* new_ref() const {
    Py_INCREF(obj_);
    return obj_;
  }

 protected:
  Constant() = default;
  friend int init_constants();
  PyObject* obj_ = nullptr;
};

// A module-level interned string.
class Str : public Constant {
 public:
  explicit Str(const char* text);
  const char* text() const { return text_; }

 private:
  friend int init_constants();
  const char* text_;
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

// A module-level number, made from the text of a numeric literal as Python
// reads it: a float when the text has a '.' or an exponent, an int otherwise.
class Num : public Constant {
 public:
  explicit Num(const char* literal);

 private:
  friend int init_constants();
  const char* literal_;
  Num* next_;
};

template <char... C>
inline constexpr char kLiteral[] = {C..., '\0'};

// One number per distinct literal text.
template <char... C>
inline Num literal_number{kLiteral<C...>};

inline namespace declarations {
// 100_n is the int 100, 0.5_n the float 0.5, wherever they are written.
template <char... C>
constexpr const Num& operator""_n() {
  return literal_number<C...>;
}
}  // namespace declarations

// A module-lifetime object built at initialisation by `make` (a tuple, a set,
// a looked-up attribute), after every Str and Num exists.
class Const : public Constant {
 public:
  using Maker = PyObject* (*)();
  explicit Const(Maker make);

 private:
  friend int init_constants();
  Maker make_;
  Const* next_;
};

// A tuple of interned names, for keyword-name tuples of vectorcall calls.
class Names : public Constant {
 public:
  template <std::size_t N>
  explicit Names(const char* const (&names)[N]) : Names(names, static_cast<Py_ssize_t>(N)) {}
  Py_ssize_t size() const { return n_; }

 private:
  Names(const char* const* names, Py_ssize_t n);
  friend int init_constants();
  const char* const* names_;
  Py_ssize_t n_;
  Names* next_;
};

// Builders for Const.
PyObject* tuple_of(std::initializer_list<PyObject*> items);   // new tuple, items borrowed
PyObject* name_set(const char* const* names, std::size_t n);  // set of interned names
template <std::size_t N>
PyObject* name_set(const char* const (&names)[N]) {
  return name_set(names, N);
}

}  // namespace frame
