// Calls into Python from module bodies: functions and methods called by
// vectorcall, without bound methods or argument tuples.
#pragma once

#include "frame/compat.hpp"

namespace frame {

// Arguments are PyObject* or declared constants ("name"_s, 1_n).
template <class... A>
inline PyObject* call_method(PyObject* self, PyObject* name, const A&... a) {
  PyObject* v[] = {nullptr, self, a...};
  return PyObject_VectorcallMethod(name, v + 1, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}
template <class... A>
inline PyObject* call(PyObject* callable, const A&... a) {
  PyObject* v[] = {nullptr, a...};
  return PyObject_Vectorcall(callable, v + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// Calls `callable` with `args` bound to the names of `kwnames` (no
// positional arguments).
inline PyObject* call_with_keywords(PyObject* callable, PyObject* kwnames, PyObject* const* args) {
  return PyObject_Vectorcall(callable, args, 0, kwnames);
}

}  // namespace frame
