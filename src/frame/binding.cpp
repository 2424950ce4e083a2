// Argument binding: matching vectorcall arguments to a record's parameters
// with the interpreter's messages, the self check of native methods, and the
// preparation of a function's runtime (interned names, default objects).
#include "frame/internal.hpp"

namespace frame::detail {

static void raise_count(const char* fname, bool exact, const char* which, Py_ssize_t expected, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", fname,
               exact ? "exactly" : which, expected, expected == 1 ? "" : "s", given);
}

bool bind_args(const Runtime& rt, const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out) {
  const int n = rt.def->nparams;
  const Runtime& s = rt;
  const bool exact = s.nrequired == n;
  if (nargs > n) {
    raise_count(fname, exact, "at most", n, nargs);
    return false;
  }
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (n == 0) {
    if (nkw) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, 0);
      if (!PyUnicode_Check(key))
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", fname);
      else
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
      return false;
    }
    return true;
  }
  PyObject* tmp[kMaxParams];
  PyObject** slots = out ? out : tmp;
  // Keywords naming, in order, the parameters right after the positional
  // arguments (the interned names themselves, as compiled calls pass them)
  // follow those arguments in the vector, and need no search.
  Py_ssize_t given = nargs;
  while (given < n && given - nargs < nkw && PyTuple_GET_ITEM(kwnames, given - nargs) == s.names[given]) given++;
  if (given == n && given - nargs == nkw) {
    for (int i = 0; i < n; i++) slots[i] = args[i];
    return true;
  }
  for (int i = 0; i < n; i++) slots[i] = i < given ? args[i] : nullptr;
  for (Py_ssize_t k = given - nargs; k < nkw; k++) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    int found = -1;
    for (int j = 0; j < n; j++) {
      if (s.names[j] == key) {
        found = j;
        break;
      }
    }
    if (found < 0) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", fname);
        return false;
      }
      for (int j = 0; j < n; j++) {
        if (PyUnicode_Compare(s.names[j], key) == 0) {
          found = j;
          break;
        }
      }
    }
    if (found < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
      return false;
    }
    if (found < nargs) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", fname, key);
      return false;
    }
    slots[found] = args[nargs + k];
  }
  for (int i = static_cast<int>(nargs); i < n; i++) {
    if (slots[i]) continue;
    if (!s.defaults[i]) {
      raise_count(fname, exact, "at least", s.nrequired, i);
      return false;
    }
    slots[i] = s.defaults[i];
  }
  return true;
}

bool check_self(const Runtime& rt, PyObject* const* args, Py_ssize_t nargs) {
  const char* name = rt.def->name;
  if (!rt.self_type) return nargs >= 1 || (PyErr_Format(PyExc_TypeError, "%s() needs an argument", name), false);
  if (nargs < 1) {
    PyErr_Format(PyExc_TypeError, "descriptor '%s' of '%.100s' object needs an argument", name, rt.self_type->tp_name);
    return false;
  }
  if (!PyObject_TypeCheck(args[0], rt.self_type)) {
    PyErr_Format(PyExc_TypeError, "descriptor '%s' requires a '%.100s' object but received a '%.100s'", name,
                 rt.self_type->tp_name, Py_TYPE(args[0])->tp_name);
    return false;
  }
  return true;
}

static PyObject* make_default(const Default& d) {
  switch (d.tag) {
    case Default::Required:
      return nullptr;
    case Default::None:
      Py_RETURN_NONE;
    case Default::Int:
      return PyLong_FromLongLong(d.i);
    case Default::Float:
      return PyFloat_FromDouble(d.d);
    case Default::True:
      Py_RETURN_TRUE;
    case Default::False:
      Py_RETURN_FALSE;
  }
  return nullptr;
}

int prepare(const FuncDef& d, Runtime& rt, PyTypeObject* owner, const char* qualname) {
  rt.def = &d;
  rt.self_type = d.native_method ? owner : nullptr;
  rt.coerce = d.coerce;
  rt.nrequired = 0;
  for (int i = 0; i < d.nparams; i++) {
    rt.names[i] = PyUnicode_InternFromString(d.params[i].name);
    if (!rt.names[i]) return -1;
    if (d.params[i].def.tag == Default::Required) {
      rt.nrequired = i + 1;
    } else {
      rt.defaults[i] = make_default(d.params[i].def);
      if (!rt.defaults[i]) return -1;
    }
  }
  rt.fullname = PyUnicode_FromFormat("%s.%s", g_def->dotted, qualname ? qualname : d.name);
  return rt.fullname ? 0 : -1;
}

void release(Runtime& rt) {
  for (PyObject*& o : rt.names) Py_CLEAR(o);
  for (PyObject*& o : rt.defaults) Py_CLEAR(o);
  Py_CLEAR(rt.fullname);
  Py_CLEAR(rt.tb_code);
}

}  // namespace frame::detail
