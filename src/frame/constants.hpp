// Module-lifetime constants: interned strings and numbers declared as
// namespace-scope objects and created together at initialisation.
//
// Each declaration links itself into a list when the shared library loads;
// step (d) of the execute slot walks the list and makes the Python objects.
// A module thus names its constants where it uses them and never builds
// raw globals by hand.
#pragma once

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

}  // namespace frame
