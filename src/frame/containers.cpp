// Containers (containers.hpp): unpacking, dicts from pairs and from shapes,
// the len() error.
#include "frame/containers.hpp"

namespace frame {

namespace {

void raise_too_many(Py_ssize_t n) { PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n); }

}  // namespace

bool unpack_iterable(PyObject* seq, Ref* out, Py_ssize_t n) {
  if (PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) {
    // A list may change in another thread: its items are taken in one step.
    compat::CriticalSection cs(seq);
    const Py_ssize_t size = Py_SIZE(seq);
    if (size != n) {
      if (size > n)
        raise_too_many(n);
      else
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", size, size == 1 ? "" : "s");
      return false;
    }
    PyObject** items = PyTuple_CheckExact(seq) ? &PyTuple_GET_ITEM(seq, 0) : &PyList_GET_ITEM(seq, 0);
    for (Py_ssize_t i = 0; i < n; i++) {
      Py_INCREF(items[i]);
      out[i] = Ref(items[i]);
    }
    return true;
  }
  Ref it(PyObject_GetIter(seq));
  if (!it) return false;
  for (Py_ssize_t i = 0; i < n; i++) {
    out[i] = Ref(PyIter_Next(it));
    if (!out[i]) {
      if (!PyErr_Occurred())
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", i, i == 1 ? "" : "s");
      return false;
    }
  }
  Ref extra(PyIter_Next(it));
  if (extra) {
    raise_too_many(n);
    return false;
  }
  return !PyErr_Occurred();
}

bool unpack_sequence(PyObject* seq, Ref* out, Py_ssize_t n) {
  Ref t(PySequence_Tuple(seq));
  if (!t) return false;
  const Py_ssize_t got = PyTuple_GET_SIZE(t.get());
  if (got > n) {
    raise_too_many(n);
    return false;
  }
  if (got < n) {
    PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, got);
    return false;
  }
  for (Py_ssize_t i = 0; i < n; i++) {
    PyObject* item = PyTuple_GET_ITEM(t.get(), i);
    Py_INCREF(item);
    out[i] = Ref(item);
  }
  return true;
}

PyObject* dict_from(std::initializer_list<std::pair<PyObject*, PyObject*>> items) {
  PyObject* d = PyDict_New();
  if (!d) return nullptr;
  for (const auto& [k, v] : items) {
    if (PyDict_SetItem(d, k, v) < 0) {
      Py_DECREF(d);
      return nullptr;
    }
  }
  return d;
}

// A shape is a pair: the template (None for the filled keys) and the tuple
// of the filled keys in order.
PyObject* dict_shape(std::initializer_list<std::pair<PyObject*, PyObject*>> pairs) {
  Ref filled(PyList_New(0));
  Ref dict(PyDict_New());
  if (!filled || !dict) return nullptr;
  for (const auto& [k, v] : pairs) {
    if (PyDict_SetItem(dict, k, v ? v : Py_None) < 0 || (!v && PyList_Append(filled, k) < 0)) return nullptr;
  }
  Ref keys(PyList_AsTuple(filled));
  return keys ? PyTuple_Pack(2, dict.get(), keys.get()) : nullptr;
}

PyObject* dict_like(PyObject* shape, std::initializer_list<PyObject*> values) {
  PyObject* keys = PyTuple_GET_ITEM(shape, 1);
  if (PyTuple_GET_SIZE(keys) != static_cast<Py_ssize_t>(values.size())) {
    PyErr_SetString(PyExc_SystemError, "dict_like: as many values as filled keys");
    return nullptr;
  }
  PyObject* d = PyDict_Copy(PyTuple_GET_ITEM(shape, 0));
  if (!d) return nullptr;
  Py_ssize_t i = 0;
  for (PyObject* v : values) {
    if (PyDict_SetItem(d, PyTuple_GET_ITEM(keys, i++), v) < 0) {
      Py_DECREF(d);
      return nullptr;
    }
  }
  return d;
}

PyObject* raise_no_len(PyObject* o) {
  PyErr_Format(PyExc_TypeError, "object of type '%.200s' has no len()", Py_TYPE(o)->tp_name);
  return nullptr;
}

}  // namespace frame
