// Ref: an owned reference that releases itself.  The one smart pointer of
// the frame; everything else holds borrowed references or releases by hand
// on paths short enough to read at a glance.
#pragma once

#include "frame/compat.hpp"

namespace frame {

struct Ref {
  PyObject* o = nullptr;
  Ref() = default;
  explicit Ref(PyObject* x) : o(x) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& r) noexcept : o(r.o) { r.o = nullptr; }
  Ref& operator=(Ref&& r) noexcept {
    if (this != &r) {
      Py_XDECREF(o);
      o = r.o;
      r.o = nullptr;
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(o); }
  PyObject* get() const { return o; }
  PyObject* release() {
    PyObject* r = o;
    o = nullptr;
    return r;
  }
  explicit operator bool() const { return o != nullptr; }
  operator PyObject*() const { return o; }
};

}  // namespace frame
