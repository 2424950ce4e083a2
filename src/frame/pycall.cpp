// Calls into Python: context managers, locks, dicts and formatting.
#include "frame/state.hpp"

namespace frame {

using namespace detail;

namespace {
Str s_enter("__enter__");
Str s_exit("__exit__");
Str s_threading("threading");
Str s_Lock("Lock");
Str s_fmt_1f(".1f");
Str s_percent("%");
}  // namespace

// Looks up a special method on the type; returns a borrowed descriptor.
static PyObject* lookup_special(PyObject* o, PyObject* name) { return compat::type_lookup(Py_TYPE(o), name); }

// Calls a looked-up special method with `self` and extra args.
static PyObject* call_special(PyObject* descr, PyObject* self, PyObject* const* extra, Py_ssize_t n) {
  PyObject* v[5] = {nullptr, self, nullptr, nullptr, nullptr};
  for (Py_ssize_t i = 0; i < n; i++) v[2 + i] = extra[i];
  if (PyType_HasFeature(Py_TYPE(descr), Py_TPFLAGS_METHOD_DESCRIPTOR))
    return PyObject_Vectorcall(descr, v + 1, static_cast<size_t>(n + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  descrgetfunc get = Py_TYPE(descr)->tp_descr_get;
  PyObject* bound = get ? get(descr, self, reinterpret_cast<PyObject*>(Py_TYPE(self))) : (Py_INCREF(descr), descr);
  if (!bound) return nullptr;
  PyObject* r = PyObject_Vectorcall(bound, v + 2, static_cast<size_t>(n), nullptr);
  Py_DECREF(bound);
  return r;
}

bool With::enter(PyObject* mgr) {
  PyObject* enter = lookup_special(mgr, s_enter);
  if (!enter) {
    PyErr_SetObject(PyExc_AttributeError, s_enter);
    return false;
  }
  Py_INCREF(enter);
  PyObject* exit = lookup_special(mgr, s_exit);
  if (!exit) {
    Py_DECREF(enter);
    PyErr_SetObject(PyExc_AttributeError, s_exit);
    return false;
  }
  Py_INCREF(exit);
  Py_INCREF(mgr);
  PyObject* r = call_special(enter, mgr, nullptr, 0);
  Py_DECREF(enter);
  if (!r) {
    Py_DECREF(exit);
    Py_DECREF(mgr);
    return false;
  }
  Py_DECREF(r);
  exit_ = exit;
  self_ = mgr;
  return true;
}

bool With::exit_ok() {
  PyObject* a[3] = {Py_None, Py_None, Py_None};
  PyObject* r = call_special(exit_, self_, a, 3);
  Py_CLEAR(exit_);
  Py_CLEAR(self_);
  if (!r) return false;
  Py_DECREF(r);
  return true;
}

bool With::exit_error() {
  PyObject *et, *ev, *etb;
  PyErr_Fetch(&et, &ev, &etb);
  PyErr_NormalizeException(&et, &ev, &etb);
  if (etb && ev) PyException_SetTraceback(ev, etb);
  PyObject* a[3] = {et ? et : Py_None, ev ? ev : Py_None, etb ? etb : Py_None};
  PyObject* r = call_special(exit_, self_, a, 3);
  Py_CLEAR(exit_);
  Py_CLEAR(self_);
  if (!r) {
    // The error of __exit__ replaces the original, which becomes its context.
    if (ev) {
      PyObject *nt, *nv, *ntb;
      PyErr_Fetch(&nt, &nv, &ntb);
      PyErr_NormalizeException(&nt, &nv, &ntb);
      if (nv) PyException_SetContext(nv, ev);  // steals ev
      else Py_DECREF(ev);
      PyErr_Restore(nt, nv, ntb);
    }
    Py_XDECREF(et);
    Py_XDECREF(etb);
    return false;
  }
  int suppress = PyObject_IsTrue(r);
  Py_DECREF(r);
  if (suppress > 0) {
    Py_XDECREF(et);
    Py_XDECREF(ev);
    Py_XDECREF(etb);
    return true;
  }
  if (suppress < 0) {
    Py_XDECREF(et);
    Py_XDECREF(ev);
    Py_XDECREF(etb);
    return false;
  }
  PyErr_Restore(et, ev, etb);
  return false;
}

With::~With() {
  Py_XDECREF(exit_);
  Py_XDECREF(self_);
}

PyObject* new_lock() {
  PyObject* threading = get_global(s_threading);
  if (!threading) return nullptr;
  PyObject* lock_type = PyObject_GetAttr(threading, s_Lock);
  Py_DECREF(threading);
  if (!lock_type) return nullptr;
  PyObject* lock = PyObject_Vectorcall(lock_type, nullptr, 0, nullptr);
  Py_DECREF(lock_type);
  return lock;
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

PyObject* format_percent(PyObject* value) {
  PyObject* text = PyObject_Format(value, s_fmt_1f);
  if (!text) return nullptr;
  PyObject* r = PyUnicode_Concat(text, s_percent);
  Py_DECREF(text);
  return r;
}

PyObject* format_float(double x, char code, int precision) {
  char* s = PyOS_double_to_string(x, code, precision, 0, nullptr);
  if (!s) return PyErr_NoMemory();
  PyObject* r = PyUnicode_FromString(s);
  PyMem_Free(s);
  return r;
}

}  // namespace frame
