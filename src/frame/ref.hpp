// Ref: an owned reference that releases itself.  The one smart pointer of
// the frame; everything else holds borrowed references or releases by hand
// on paths short enough to read at a glance.
//
// `Ref r(PyDict_New())` and `Ref::steal(x)` take over a new reference (or
// nullptr after an error); `Ref::borrow(x)` takes a new one of a borrowed
// reference.  `get()` reads the pointer, `release()` hands the reference on.
#pragma once

#include <utility>

#include "frame/compat.hpp"

namespace frame {

class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* new_ref) noexcept : o_(new_ref) {}
  static Ref steal(PyObject* new_ref) noexcept { return Ref(new_ref); }
  static Ref borrow(PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    return Ref(borrowed);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& r) noexcept : o_(r.release()) {}
  Ref& operator=(Ref&& r) noexcept {
    reset(r.release());
    return *this;
  }
  ~Ref() { Py_XDECREF(o_); }

  PyObject* get() const noexcept { return o_; }
  // The reference, handed to the caller; the Ref is empty afterwards.
  PyObject* release() noexcept { return std::exchange(o_, nullptr); }
  // Takes over `new_ref` and releases the reference held before.
  void reset(PyObject* new_ref = nullptr) noexcept {
    PyObject* old = std::exchange(o_, new_ref);
    Py_XDECREF(old);
  }
  // Exchanges the reference with an object field that owns its reference.
  void swap(PyObject*& field) noexcept { std::swap(o_, field); }

  explicit operator bool() const noexcept { return o_ != nullptr; }
  operator PyObject*() const noexcept { return o_; }

 private:
  PyObject* o_ = nullptr;
};

// Object fields that another thread may replace.  A field is read as a new
// reference under its owner's critical section, where a writer cannot
// release the value first; writers exchange it under the same section and
// release the old value after it (its finaliser may run code).
inline Ref load_field(PyObject* owner, PyObject* const& field) {
  compat::CriticalSection cs(owner);
  return Ref::borrow(field);
}
inline void swap_field(PyObject* owner, PyObject*& field, Ref& value) {
  compat::CriticalSection cs(owner);
  value.swap(field);
}

// A field's object for a native step that runs no Python code: borrowed
// where the interpreter lock keeps writers out (no cost), owned through
// load_field on free-threaded builds, where a writer may run meanwhile.
class Pinned {
 public:
  Pinned(PyObject* owner, PyObject* const& field) {
    if constexpr (compat::free_threaded())
      ref_ = load_field(owner, field);
    else
      ptr_ = field;
  }
  PyObject* get() const noexcept { return compat::free_threaded() ? ref_.get() : ptr_; }

 private:
  Ref ref_;
  PyObject* ptr_ = nullptr;
};

}  // namespace frame
