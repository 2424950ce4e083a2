// Calls into Python from module bodies: method and function calls without
// argument tuples, context managers, sections without the interpreter lock,
// locks, dicts and number formatting.
#pragma once

#include <initializer_list>
#include <type_traits>
#include <utility>

#include "frame/compat.hpp"

namespace frame {

template <class... A>
inline PyObject* call_method(PyObject* self, PyObject* name, A... a) {
  PyObject* v[] = {nullptr, self, a...};
  return PyObject_VectorcallMethod(name, v + 1, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}
template <class... A>
inline PyObject* call(PyObject* callable, A... a) {
  PyObject* v[] = {nullptr, a...};
  return PyObject_Vectorcall(callable, v + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// `with lock:` through the context-manager protocol.
class With {
 public:
  // Enters; false with an exception set (nothing to exit then).
  bool enter(PyObject* mgr);
  // Exits after success: false if __exit__ raised.
  bool exit_ok();
  // Exits with the pending exception; returns true when __exit__ suppressed it.
  bool exit_error();
  ~With();

 private:
  PyObject* exit_ = nullptr;  // the __exit__ descriptor
  PyObject* self_ = nullptr;  // the context manager
};

// Runs `f` without the interpreter lock.
template <class F>
inline auto nogil(F&& f) {
  PyThreadState* ts = PyEval_SaveThread();
  if constexpr (std::is_void_v<decltype(f())>) {
    f();
    PyEval_RestoreThread(ts);
  } else {
    auto r = f();
    PyEval_RestoreThread(ts);
    return r;
  }
}

// threading.Lock(), looked up through the module global `threading`.
PyObject* new_lock();

// A new dict with the pairs in order; nullptr on error.
PyObject* dict_from(std::initializer_list<std::pair<PyObject*, PyObject*>> items);

// Python's f"{value:.1f}%" for any object.
PyObject* format_percent(PyObject* value);

// Formats a double like Python's format(x, ".1f") (code 'f', precision 1).
PyObject* format_float(double x, char code, int precision);

}  // namespace frame
