// Implementation of the shared module frame.  Each extension module links its
// own copy (symbols are hidden), so the state below is per module.
#include "frame/module_frame.hpp"

#include <frameobject.h>

#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace frame {

namespace {

const ModuleDef* g_def = nullptr;
PyModuleDef g_moddef;
PyModuleDef_Slot g_slots[3];
PyObject* g_module = nullptr;  // set once the execute slot has started
PyObject* g_globals = nullptr;
PyObject* g_builtins = nullptr;  // dict of the builtins module
int64_t g_interp_id = -1;
bool g_constants_ready = false;

Str* g_str_head = nullptr;
Num* g_num_head = nullptr;

// Strings of the frame itself.
Str s_name("__name__");
Str s_enter("__enter__");
Str s_exit("__exit__");
Str s_prepare("__prepare__");
Str s_module("__module__");
Str s_qualname("__qualname__");
Str s_doc("__doc__");
Str s_getLogger("getLogger");
Str s_logger("logger");
Str s_logging("logging");
Str s_info("info");
Str s_return("return");
Str s_reduce("__reduce__");
Str s_reduce_ex("__reduce_ex__");
Str s_getstate("__getstate__");
Str s_setstate("__setstate__");
Str s_loader("loader");
Str s_origin("origin");
Str s_parent("parent");
Str s_ssl("submodule_search_locations");
Str s_spec_name("name");
Str s_threading("threading");
Str s_Lock("Lock");
Str s_fmt_1f(".1f");
Str s_percent("%");

}  // namespace

Str::Str(const char* text) : text_(text), next_(g_str_head) { g_str_head = this; }
Num::Num(double v) : is_float_(true), d_(v), i_(0), next_(g_num_head) { g_num_head = this; }
Num::Num(long long v) : is_float_(false), d_(0), i_(v), next_(g_num_head) { g_num_head = this; }

int init_constants() {
  if (g_constants_ready) return 0;
  for (Str* s = g_str_head; s; s = s->next_) {
    if (s->obj_) continue;
    s->obj_ = PyUnicode_InternFromString(s->text_);
    if (!s->obj_) return -1;
  }
  for (Num* n = g_num_head; n; n = n->next_) {
    if (n->obj_) continue;
    n->obj_ = n->is_float_ ? PyFloat_FromDouble(n->d_) : PyLong_FromLongLong(n->i_);
    if (!n->obj_) return -1;
  }
  g_constants_ready = true;
  return 0;
}

// ---------------------------------------------------------------------------
// Conversions.

PyObject* as_pylong(PyObject* o) {
  if (PyLong_Check(o)) {
    Py_INCREF(o);
    return o;
  }
  PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
  if (!nb || !nb->nb_int) {
    PyErr_SetString(PyExc_TypeError, "an integer is required");
    return nullptr;
  }
  PyObject* r = nb->nb_int(o);
  if (!r || PyLong_CheckExact(r)) return r;
  if (PyLong_Check(r)) {
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability to return an instance of a strict "
                         "subclass of int is deprecated, and may be removed in a future version of Python.",
                         Py_TYPE(r)->tp_name) < 0) {
      Py_DECREF(r);
      return nullptr;
    }
    return r;
  }
  PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(r)->tp_name);
  Py_DECREF(r);
  return nullptr;
}

bool to_i64(PyObject* o, int64_t& out) {
  if (PyLong_Check(o)) {
    long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred()) return false;
    out = v;
    return true;
  }
  PyObject* l = as_pylong(o);
  if (!l) return false;
  long v = PyLong_AsLong(l);
  Py_DECREF(l);
  if (v == -1 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

// Reads an int object as a signed value clamped into [lo, hi]; `over` set
// when the value lies outside.  `neg` set when the value is negative.
static bool read_bounded(PyObject* o, long long lo, unsigned long long hi, long long& out, bool& over, bool& neg) {
  PyObject* l = as_pylong(o);
  if (!l) return false;
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(l, &overflow);
  Py_DECREF(l);
  if (v == -1 && PyErr_Occurred()) return false;
  neg = overflow < 0 || (overflow == 0 && v < 0);
  over = overflow != 0 || v < lo || (v >= 0 && static_cast<unsigned long long>(v) > hi);
  out = v;
  return true;
}

bool to_i32(PyObject* o, int32_t& out, const char* too_large) {
  long long v;
  bool over, neg;
  if (!read_bounded(o, INT32_MIN, INT32_MAX, v, over, neg)) return false;
  if (over) {
    PyErr_SetString(PyExc_OverflowError, too_large);
    return false;
  }
  out = static_cast<int32_t>(v);
  return true;
}

template <class U>
static bool to_unsigned_small(PyObject* o, U& out, const char* neg_msg, const char* big_msg) {
  long long v;
  bool over, neg;
  if (!read_bounded(o, 0, static_cast<unsigned long long>(static_cast<U>(~U(0))), v, over, neg)) return false;
  if (neg) {
    PyErr_SetString(PyExc_OverflowError, neg_msg);
    return false;
  }
  if (over) {
    PyErr_SetString(PyExc_OverflowError, big_msg);
    return false;
  }
  out = static_cast<U>(v);
  return true;
}

bool to_u32(PyObject* o, uint32_t& out) {
  return to_unsigned_small(o, out, "can't convert negative value to uint32_t", "value too large to convert to uint32_t");
}
bool to_u16(PyObject* o, uint16_t& out) {
  return to_unsigned_small(o, out, "can't convert negative value to uint16_t", "value too large to convert to uint16_t");
}
bool to_u8(PyObject* o, uint8_t& out) {
  return to_unsigned_small(o, out, "can't convert negative value to uint8_t", "value too large to convert to uint8_t");
}

bool to_u64(PyObject* o, uint64_t& out) {
  PyObject* l = as_pylong(o);
  if (!l) return false;
  int sign = _PyLong_Sign(l);
  if (sign < 0) {
    Py_DECREF(l);
    PyErr_SetString(PyExc_OverflowError, "can't convert negative value to uint64_t");
    return false;
  }
  unsigned long v = PyLong_AsUnsignedLong(l);
  Py_DECREF(l);
  if (v == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool to_double(PyObject* o, double& out) {
  if (PyFloat_CheckExact(o)) {
    out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

PyObject* ann_int(PyObject* o, const char* argname) {
  if (PyLong_CheckExact(o)) {
    Py_INCREF(o);
    return o;
  }
  if (PyNumber_Check(o)) return PyNumber_Long(o);
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argname, "int",
               Py_TYPE(o)->tp_name);
  return nullptr;
}

bool exact_check(PyObject* o, PyTypeObject* t, bool none_ok, bool note, const char* argname) {
  if (Py_TYPE(o) == t || (none_ok && o == Py_None)) return true;
  const char* sep = "";
  const char* text = "";
  if (note && PyObject_TypeCheck(o, t)) {
    sep = ". ";
    text =
        "Note that Cython is deliberately stricter than PEP-484 and rejects subclasses of builtin types. If you need "
        "to pass subclasses then set the 'annotation_typing' directive to False.";
  }
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%s", argname,
               t->tp_name, Py_TYPE(o)->tp_name, sep, text);
  return false;
}

PyObject* coerce_int_result(PyObject* r) {
  if (r == Py_None || PyLong_CheckExact(r)) return r;
  if (PyNumber_Check(r)) {
    PyObject* v = PyNumber_Long(r);
    Py_DECREF(r);
    return v;
  }
  PyErr_Format(PyExc_TypeError, "Expected %.200s, got %.200s", "int", Py_TYPE(r)->tp_name);
  Py_DECREF(r);
  return nullptr;
}

// ---------------------------------------------------------------------------
// Binding.

static void raise_count(const char* fname, bool exact, const char* which, Py_ssize_t expected, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", fname,
               exact ? "exactly" : which, expected, expected == 1 ? "" : "s", given);
}

bool bind_args(const FuncDef& d, const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out) {
  const int n = d.nparams;
  const Sig& s = d.sig;
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
  for (int i = 0; i < n; i++) slots[i] = i < nargs ? args[i] : nullptr;
  for (Py_ssize_t k = 0; k < nkw; k++) {
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

bool check_self(const FuncDef& d, PyObject* const* args, Py_ssize_t nargs) {
  if (!d.self_type) return nargs >= 1 || (PyErr_Format(PyExc_TypeError, "%s() needs an argument", d.name), false);
  if (nargs < 1) {
    PyErr_Format(PyExc_TypeError, "descriptor '%s' of '%.100s' object needs an argument", d.name,
                 d.self_type->tp_name);
    return false;
  }
  if (!PyObject_TypeCheck(args[0], d.self_type)) {
    PyErr_Format(PyExc_TypeError, "descriptor '%s' requires a '%.100s' object but received a '%.100s'", d.name,
                 d.self_type->tp_name, Py_TYPE(args[0])->tp_name);
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Traceback entries.

static void traceback_with(PyCodeObject*& cache, const char* fullname) {
  PyObject *et, *ev, *etb;
  PyErr_Fetch(&et, &ev, &etb);
  if (!cache) cache = PyCode_NewEmpty(g_def && g_def->source ? g_def->source : "<native>", fullname, 0);
  PyFrameObject* f = nullptr;
  if (cache && g_globals) f = PyFrame_New(PyThreadState_Get(), cache, g_globals, nullptr);
  if (!cache || !f) {
    // Keep the original exception; the entry is lost.
    PyErr_Clear();
    PyErr_Restore(et, ev, etb);
    return;
  }
  PyErr_Restore(et, ev, etb);
  PyTraceBack_Here(f);
  Py_DECREF(f);
}

void add_traceback(const FuncDef& d) {
  if (!d.sig.fullname) {
    add_traceback_name(d.name);
    return;
  }
  traceback_with(d.sig.tb_code, PyUnicode_AsUTF8(d.sig.fullname));
}

void add_traceback_name(const char* fullname) {
  PyCodeObject* code = nullptr;
  traceback_with(code, fullname);
  Py_XDECREF(code);
}

// ---------------------------------------------------------------------------
// Records.

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
    case Default::String:
      return PyUnicode_InternFromString(d.s);
    case Default::Tuple: {
      PyObject* t = PyTuple_New(d.nitems);
      if (!t) return nullptr;
      for (int i = 0; i < d.nitems; i++) {
        PyObject* v = make_default(d.items[i]);
        if (!v) {
          Py_DECREF(t);
          return nullptr;
        }
        PyTuple_SET_ITEM(t, i, v);
      }
      return t;
    }
  }
  return nullptr;
}

// Prepares the runtime data of a record: interned names, defaults, names.
static int prepare(const FuncDef& d, const char* qualname) {
  Sig& s = d.sig;
  if (s.qualname) return 0;
  s.nrequired = 0;
  for (int i = 0; i < d.nparams; i++) {
    s.names[i] = PyUnicode_InternFromString(d.params[i].name);
    if (!s.names[i]) return -1;
    if (d.params[i].def.tag == Default::Required) {
      s.nrequired = i + 1;
    } else {
      s.defaults[i] = make_default(d.params[i].def);
      if (!s.defaults[i]) return -1;
    }
  }
  s.qualname = PyUnicode_FromString(qualname ? qualname : d.name);
  if (!s.qualname) return -1;
  s.fullname = PyUnicode_FromFormat("%s.%U", g_def->dotted, s.qualname);
  if (!s.fullname) return -1;
  return 0;
}

// ---------------------------------------------------------------------------
// The function type.

static PyTypeObject FunctionType;

static PyObject* fn_repr(Function* f) { return PyUnicode_FromFormat("<function %U at %p>", f->qualname, f); }

static int fn_traverse(Function* f, visitproc visit, void* arg) {
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->defaults);
  Py_VISIT(f->kwdefaults);
  Py_VISIT(f->annotations);
  Py_VISIT(f->globals);
  Py_VISIT(f->code);
  return 0;
}

static int fn_clear(Function* f) {
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->kwdefaults);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->code);
  return 0;
}

static void fn_dealloc(Function* f) {
  PyObject_GC_UnTrack(f);
  fn_clear(f);
  PyObject_GC_Del(f);
}

static PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) {
    Py_INCREF(self);
    return self;
  }
  return PyMethod_New(self, obj);
}

static PyObject* get_slot(PyObject* v) {
  PyObject* r = v ? v : Py_None;
  Py_INCREF(r);
  return r;
}

#define FN_STR_ATTR(attr, label)                                                    \
  static PyObject* fn_get_##attr(Function* f, void*) { return get_slot(f->attr); } \
  static int fn_set_##attr(Function* f, PyObject* v, void*) {                       \
    if (!v || !PyUnicode_Check(v)) {                                                \
      PyErr_SetString(PyExc_TypeError, label " must be set to a string object");    \
      return -1;                                                                    \
    }                                                                               \
    Py_INCREF(v);                                                                   \
    Py_XSETREF(f->attr, v);                                                         \
    return 0;                                                                       \
  }
FN_STR_ATTR(name, "__name__")
FN_STR_ATTR(qualname, "__qualname__")
#undef FN_STR_ATTR

#define FN_ANY_ATTR(attr)                                                           \
  static PyObject* fn_get_##attr(Function* f, void*) { return get_slot(f->attr); } \
  static int fn_set_##attr(Function* f, PyObject* v, void*) {                       \
    Py_XINCREF(v);                                                                  \
    Py_XSETREF(f->attr, v);                                                         \
    return 0;                                                                       \
  }
FN_ANY_ATTR(doc)
FN_ANY_ATTR(module)
#undef FN_ANY_ATTR

static PyObject* fn_get_defaults(Function* f, void*) { return get_slot(f->defaults); }
static int fn_set_defaults(Function* f, PyObject* v, void*) {
  if (v == Py_None) v = nullptr;
  if (v && !PyTuple_Check(v)) {
    PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
    return -1;
  }
  Py_XINCREF(v);
  Py_XSETREF(f->defaults, v);
  return 0;
}
static PyObject* fn_get_kwdefaults(Function* f, void*) { return get_slot(f->kwdefaults); }
static int fn_set_kwdefaults(Function* f, PyObject* v, void*) {
  if (v == Py_None) v = nullptr;
  if (v && !PyDict_Check(v)) {
    PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
    return -1;
  }
  Py_XINCREF(v);
  Py_XSETREF(f->kwdefaults, v);
  return 0;
}
static PyObject* fn_get_annotations(Function* f, void*) {
  if (!f->annotations) {
    f->annotations = PyDict_New();
    if (!f->annotations) return nullptr;
  }
  Py_INCREF(f->annotations);
  return f->annotations;
}
static int fn_set_annotations(Function* f, PyObject* v, void*) {
  if (v == Py_None) v = nullptr;
  if (v && !PyDict_Check(v)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_XINCREF(v);
  Py_XSETREF(f->annotations, v);
  return 0;
}
static PyObject* fn_get_globals(Function* f, void*) { return get_slot(f->globals); }

// A code object carrying the argument names and counts, for inspect.signature
// and help(); never executed.  Native methods list `self` first.
static PyObject* build_code(const FuncDef& d) {
  const int extra = d.native_method ? 1 : 0;
  const int n = d.nparams + extra;
  PyObject* names = PyTuple_New(n);
  if (!names) return nullptr;
  if (extra) PyTuple_SET_ITEM(names, 0, PyUnicode_InternFromString("self"));
  for (int i = 0; i < d.nparams; i++) {
    Py_INCREF(d.sig.names[i]);
    PyTuple_SET_ITEM(names, i + extra, d.sig.names[i]);
  }
  PyCodeObject* empty = PyCode_NewEmpty(g_def && g_def->source ? g_def->source : "<native>", d.name, 0);
  PyObject* replace = empty ? PyObject_GetAttrString(reinterpret_cast<PyObject*>(empty), "replace") : nullptr;
  Py_XDECREF(empty);
  PyObject* kw = replace ? Py_BuildValue("{s:i,s:i,s:i,s:i,s:O,s:i}", "co_argcount", n, "co_posonlyargcount", 0,
                                         "co_kwonlyargcount", 0, "co_nlocals", n, "co_varnames", names, "co_flags",
                                         CO_OPTIMIZED | CO_NEWLOCALS)
                         : nullptr;
  PyObject* args = kw ? PyTuple_New(0) : nullptr;
  PyObject* code = args ? PyObject_Call(replace, args, kw) : nullptr;
  Py_XDECREF(args);
  Py_XDECREF(kw);
  Py_XDECREF(replace);
  Py_DECREF(names);
  return code;
}

static PyObject* fn_get_code(Function* f, void*) {
  if (!f->code) {
    f->code = build_code(*f->def);
    if (!f->code) return nullptr;
  }
  Py_INCREF(f->code);
  return f->code;
}

static PyGetSetDef fn_getset[] = {
    {"__name__", (getter)fn_get_name, (setter)fn_set_name, nullptr, nullptr},
    {"__qualname__", (getter)fn_get_qualname, (setter)fn_set_qualname, nullptr, nullptr},
    {"__doc__", (getter)fn_get_doc, (setter)fn_set_doc, nullptr, nullptr},
    {"__module__", (getter)fn_get_module, (setter)fn_set_module, nullptr, nullptr},
    {"__defaults__", (getter)fn_get_defaults, (setter)fn_set_defaults, nullptr, nullptr},
    {"__kwdefaults__", (getter)fn_get_kwdefaults, (setter)fn_set_kwdefaults, nullptr, nullptr},
    {"__annotations__", (getter)fn_get_annotations, (setter)fn_set_annotations, nullptr, nullptr},
    {"__globals__", (getter)fn_get_globals, nullptr, nullptr, nullptr},
    {"__code__", (getter)fn_get_code, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyObject* fn_reduce(Function* f, PyObject*) {
  Py_INCREF(f->qualname);
  return f->qualname;
}

static PyMethodDef fn_methods[] = {
    {"__reduce__", (PyCFunction)fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static int ready_function_type() {
  if (FunctionType.tp_flags & Py_TPFLAGS_READY) return 0;
  FunctionType.tp_name = "talvora.native_function";
  FunctionType.tp_basicsize = sizeof(Function);
  FunctionType.tp_dealloc = (destructor)fn_dealloc;
  FunctionType.tp_vectorcall_offset = offsetof(Function, vectorcall);
  FunctionType.tp_repr = (reprfunc)fn_repr;
  FunctionType.tp_call = PyVectorcall_Call;
  FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                          Py_TPFLAGS_METHOD_DESCRIPTOR;
  FunctionType.tp_traverse = (traverseproc)fn_traverse;
  FunctionType.tp_clear = (inquiry)fn_clear;
  FunctionType.tp_methods = fn_methods;
  FunctionType.tp_getset = fn_getset;
  FunctionType.tp_descr_get = fn_descr_get;
  FunctionType.tp_doc = "Function of a talvora extension module.";
  return PyType_Ready(&FunctionType);
}

PyObject* make_function(const FuncDef& d, const char* qualname) {
  if (ready_function_type() < 0) return nullptr;
  if (prepare(d, qualname) < 0) return nullptr;
  Function* f = PyObject_GC_New(Function, &FunctionType);
  if (!f) return nullptr;
  f->vectorcall = d.call;
  f->def = &d;
  f->name = PyUnicode_FromString(d.name);
  f->qualname = d.sig.qualname;
  Py_INCREF(f->qualname);
  f->module = PyUnicode_FromString(g_def->dotted);
  if (d.doc) {
    f->doc = PyUnicode_FromString(d.doc);
  } else {
    f->doc = Py_None;
    Py_INCREF(Py_None);
  }
  f->defaults = nullptr;
  f->kwdefaults = nullptr;
  f->annotations = PyDict_New();
  f->globals = g_globals;
  Py_XINCREF(f->globals);
  f->code = nullptr;
  PyObject_GC_Track(f);
  if (!f->name || !f->module || !f->doc || !f->annotations) {
    Py_DECREF(f);
    return nullptr;
  }
  int first_default = -1;
  for (int i = 0; i < d.nparams; i++) {
    if (d.sig.defaults[i] && first_default < 0) first_default = i;
    if (d.params[i].annotation) {
      PyObject* a = PyUnicode_FromString(d.params[i].annotation);
      if (!a || PyDict_SetItem(f->annotations, d.sig.names[i], a) < 0) {
        Py_XDECREF(a);
        Py_DECREF(f);
        return nullptr;
      }
      Py_DECREF(a);
    }
  }
  if (d.ret_annotation) {
    PyObject* a = PyUnicode_FromString(d.ret_annotation);
    if (!a || PyDict_SetItem(f->annotations, s_return, a) < 0) {
      Py_XDECREF(a);
      Py_DECREF(f);
      return nullptr;
    }
    Py_DECREF(a);
  }
  if (first_default >= 0) {
    f->defaults = PyTuple_New(d.nparams - first_default);
    if (!f->defaults) {
      Py_DECREF(f);
      return nullptr;
    }
    for (int i = first_default; i < d.nparams; i++) {
      Py_INCREF(d.sig.defaults[i]);
      PyTuple_SET_ITEM(f->defaults, i - first_default, d.sig.defaults[i]);
    }
  }
  return reinterpret_cast<PyObject*>(f);
}

// ---------------------------------------------------------------------------
// Native classes.

namespace {

std::vector<const TypeDef*> g_types;

const TypeDef* find_typedef(PyTypeObject* t) {
  for (; t; t = t->tp_base)
    for (const TypeDef* d : g_types)
      if (d->type == t) return d;
  return nullptr;
}

PyObject** obj_slot(PyObject* o, Py_ssize_t off) {
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + off);
}

int run_ctor(const TypeDef* td, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!td->init) return 0;
  return td->init->ctor(td->init, self, args, nargs, kwnames);
}

PyObject* alloc_instance(PyTypeObject* type, const TypeDef* td) {
  PyObject* o = type->tp_alloc(type, 0);
  if (!o) return nullptr;
  for (Py_ssize_t off : td->object_fields) {
    Py_INCREF(Py_None);
    *obj_slot(o, off) = Py_None;
  }
  if (td->alloc_init) td->alloc_init(o);
  return o;
}

PyObject* type_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  const TypeDef* td = find_typedef(type);
  PyObject* o = alloc_instance(type, td);
  if (!o) return nullptr;
  if (td->init && td->init->nparams > 0) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwds ? PyDict_GET_SIZE(kwds) : 0;
    std::vector<PyObject*> vec(static_cast<size_t>(nargs + nkw) + 1);
    for (Py_ssize_t i = 0; i < nargs; i++) vec[i] = PyTuple_GET_ITEM(args, i);
    PyObject* kwnames = nullptr;
    if (nkw) {
      kwnames = PyTuple_New(nkw);
      if (!kwnames) {
        Py_DECREF(o);
        return nullptr;
      }
      Py_ssize_t pos = 0, i = 0;
      PyObject *k, *v;
      while (PyDict_Next(kwds, &pos, &k, &v)) {
        Py_INCREF(k);
        PyTuple_SET_ITEM(kwnames, i, k);
        vec[nargs + i] = v;
        i++;
      }
    }
    int rc = run_ctor(td, o, vec.data(), nargs, kwnames);
    Py_XDECREF(kwnames);
    if (rc < 0) {
      Py_DECREF(o);
      return nullptr;
    }
  } else if (run_ctor(td, o, nullptr, 0, nullptr) < 0) {
    Py_DECREF(o);
    return nullptr;
  }
  return o;
}

PyObject* type_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(callable);
  const TypeDef* td = find_typedef(type);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (!td || td->type != type) {
    // A subclass: the ordinary type call (its own __new__ and __init__).
    PyObject* tuple = PyTuple_New(nargs);
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; i++) {
      Py_INCREF(args[i]);
      PyTuple_SET_ITEM(tuple, i, args[i]);
    }
    PyObject* kw = nullptr;
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
      kw = PyDict_New();
      for (Py_ssize_t i = 0; kw && i < PyTuple_GET_SIZE(kwnames); i++)
        if (PyDict_SetItem(kw, PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) Py_CLEAR(kw);
      if (!kw) {
        Py_DECREF(tuple);
        return nullptr;
      }
    }
    PyObject* r = PyType_Type.tp_call(callable, tuple, kw);
    Py_DECREF(tuple);
    Py_XDECREF(kw);
    return r;
  }
  PyObject* o = alloc_instance(type, td);
  if (!o) return nullptr;
  if (run_ctor(td, o, args, nargs, kwnames) < 0) {
    Py_DECREF(o);
    return nullptr;
  }
  return o;
}

void type_dealloc(PyObject* o) {
  const TypeDef* td = find_typedef(Py_TYPE(o));
  if (PyType_IS_GC(Py_TYPE(o))) PyObject_GC_UnTrack(o);
  // Keep a pending exception intact while references are released.
  PyObject *et = nullptr, *ev = nullptr, *etb = nullptr;
  const bool pending = PyErr_Occurred() != nullptr;
  if (pending) PyErr_Fetch(&et, &ev, &etb);
  if (td->dealloc) td->dealloc(o);
  for (Py_ssize_t off : td->object_fields) Py_CLEAR(*obj_slot(o, off));
  if (pending) PyErr_Restore(et, ev, etb);
  Py_TYPE(o)->tp_free(o);
}

int type_traverse(PyObject* o, visitproc visit, void* arg) {
  const TypeDef* td = find_typedef(Py_TYPE(o));
  for (Py_ssize_t off : td->object_fields) Py_VISIT(*obj_slot(o, off));
  if (td->traverse) return td->traverse(o, visit, arg);
  return 0;
}

int type_clear(PyObject* o) {
  const TypeDef* td = find_typedef(Py_TYPE(o));
  for (Py_ssize_t off : td->object_fields) {
    PyObject* old = *obj_slot(o, off);
    Py_INCREF(Py_None);
    *obj_slot(o, off) = Py_None;
    Py_XDECREF(old);
  }
  if (td->clear) return td->clear(o);
  return 0;
}

template <class T>
T& field_at(PyObject* o, const Property* p) {
  return *reinterpret_cast<T*>(reinterpret_cast<char*>(o) + p->offset);
}

PyObject* prop_get(PyObject* o, void* closure) {
  const Property* p = static_cast<const Property*>(closure);
  switch (p->kind) {
    case FieldKind::Object: {
      PyObject* v = field_at<PyObject*>(o, p);
      if (!v) v = Py_None;
      Py_INCREF(v);
      return v;
    }
    case FieldKind::I64:
      return PyLong_FromLongLong(field_at<int64_t>(o, p));
    case FieldKind::I32:
      return PyLong_FromLong(field_at<int32_t>(o, p));
    case FieldKind::U32:
      return PyLong_FromUnsignedLong(field_at<uint32_t>(o, p));
    case FieldKind::U64:
      return PyLong_FromUnsignedLongLong(field_at<uint64_t>(o, p));
    case FieldKind::U16:
      return PyLong_FromLong(field_at<uint16_t>(o, p));
    case FieldKind::U8:
      return PyLong_FromLong(field_at<uint8_t>(o, p));
    case FieldKind::Double:
      return PyFloat_FromDouble(field_at<double>(o, p));
    case FieldKind::Bool:
      return PyBool_FromLong(field_at<bool>(o, p));
  }
  Py_RETURN_NONE;
}

int prop_set(PyObject* o, PyObject* v, void* closure) {
  const Property* p = static_cast<const Property*>(closure);
  if (p->kind == FieldKind::Object) {
    if (!v) v = Py_None;
    Py_INCREF(v);
    Py_XSETREF(field_at<PyObject*>(o, p), v);
    return 0;
  }
  if (!v) {
    PyErr_SetString(PyExc_NotImplementedError, "__del__");
    return -1;
  }
  switch (p->kind) {
    case FieldKind::I64: {
      int64_t x;
      if (!to_i64(v, x)) return -1;
      field_at<int64_t>(o, p) = x;
      return 0;
    }
    case FieldKind::I32: {
      int32_t x;
      if (!to_i32(v, x, p->int_msg ? p->int_msg : kMsgInt32)) return -1;
      field_at<int32_t>(o, p) = x;
      return 0;
    }
    case FieldKind::U32: {
      uint32_t x;
      if (!to_u32(v, x)) return -1;
      field_at<uint32_t>(o, p) = x;
      return 0;
    }
    case FieldKind::U64: {
      uint64_t x;
      if (!to_u64(v, x)) return -1;
      field_at<uint64_t>(o, p) = x;
      return 0;
    }
    case FieldKind::U16: {
      uint16_t x;
      if (!to_u16(v, x)) return -1;
      field_at<uint16_t>(o, p) = x;
      return 0;
    }
    case FieldKind::U8: {
      uint8_t x;
      if (!to_u8(v, x)) return -1;
      field_at<uint8_t>(o, p) = x;
      return 0;
    }
    case FieldKind::Double: {
      double x;
      if (!to_double(v, x)) return -1;
      field_at<double>(o, p) = x;
      return 0;
    }
    case FieldKind::Bool: {
      int r = PyObject_IsTrue(v);
      if (r < 0) return -1;
      field_at<bool>(o, p) = r != 0;
      return 0;
    }
    case FieldKind::Object:
      break;
  }
  return 0;
}

PyObject* reduce_body(PyObject*) {
  PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
  return nullptr;
}
PyObject* setstate_body(PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
  return nullptr;
}
constexpr FuncDef kReduceTemplate = method<&reduce_body>("__reduce_cython__", nullptr, noret());
constexpr FuncDef kSetstateTemplate = method<&setstate_body>("__setstate_cython__", nullptr, noret(), p("__pyx_state"));

int install_function(PyObject* dict, const FuncDef& d, PyTypeObject* type, const char* cls, const char* bind_as,
                     bool as_static = false) {
  if (d.native_method) d.self_type = type;
  PyObject* qual = PyUnicode_FromFormat("%s.%s", cls, d.name);
  if (!qual) return -1;
  PyObject* f = make_function(d, PyUnicode_AsUTF8(qual));
  Py_DECREF(qual);
  if (!f) return -1;
  if (as_static) {
    PyObject* sm = PyStaticMethod_New(f);
    Py_DECREF(f);
    if (!sm) return -1;
    f = sm;
  }
  int rc = PyDict_SetItemString(dict, bind_as ? bind_as : d.name, f);
  Py_DECREF(f);
  return rc;
}

// "Name(a=1, b)\n--\n\n" + doc: the interpreter's text-signature convention,
// read by inspect.signature for the class.
// A class without constructor parameters accepts and ignores any arguments.
const char* text_signature_doc(const TypeDef* td) {
  std::string sig = std::string(td->name) + "(";
  const int n = td->init ? td->init->nparams : 0;
  if (n == 0) sig += "*args, **kwargs";
  for (int i = 0; i < n; i++) {
    const FuncDef& d = *td->init;
    if (i) sig += ", ";
    sig += d.params[i].name;
    if (d.sig.defaults[i]) {
      PyObject* r = PyObject_Repr(d.sig.defaults[i]);
      if (!r) return nullptr;
      sig += "=";
      sig += PyUnicode_AsUTF8(r);
      Py_DECREF(r);
    }
  }
  sig += ")\n--\n\n";
  if (td->doc) sig += td->doc;
  char* out = static_cast<char*>(PyMem_RawMalloc(sig.size() + 1));
  if (!out) {
    PyErr_NoMemory();
    return nullptr;
  }
  memcpy(out, sig.c_str(), sig.size() + 1);
  return out;
}

int ready_type(TypeDef* td) {
  PyTypeObject* t = td->type;
  g_types.push_back(td);
  if (!(t->tp_flags & Py_TPFLAGS_READY)) {
    const bool gc = td->gc || !td->object_fields.empty() || td->traverse;
    char* full = static_cast<char*>(PyMem_RawMalloc(strlen(g_def->dotted) + strlen(td->name) + 2));
    if (!full) {
      PyErr_NoMemory();
      return -1;
    }
    strcpy(full, g_def->dotted);
    strcat(full, ".");
    strcat(full, td->name);
    t->tp_name = full;
    t->tp_basicsize = td->basicsize;
    t->tp_doc = td->doc;
    if (td->init && prepare(*td->init, (std::string(td->name) + ".__cinit__").c_str()) < 0) return -1;
    t->tp_doc = text_signature_doc(td);
    if (!t->tp_doc) return -1;
    t->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | (gc ? Py_TPFLAGS_HAVE_GC : 0);
    t->tp_new = type_new;
    t->tp_vectorcall = type_vectorcall;
    t->tp_dealloc = type_dealloc;
    if (gc) {
      t->tp_traverse = type_traverse;
      t->tp_clear = type_clear;
    }
    if (!td->props.empty()) {
      auto* gs = static_cast<PyGetSetDef*>(PyMem_RawCalloc(td->props.size() + 1, sizeof(PyGetSetDef)));
      if (!gs) {
        PyErr_NoMemory();
        return -1;
      }
      for (size_t i = 0; i < td->props.size(); i++) {
        const Property& pr = td->props[i];
        gs[i].name = pr.name;
        gs[i].doc = pr.doc;
        if (pr.get) {
          gs[i].get = pr.get;
          gs[i].set = pr.set;
          gs[i].closure = const_cast<Property*>(&pr);
        } else {
          gs[i].get = prop_get;
          gs[i].set = prop_set;
          gs[i].closure = const_cast<Property*>(&pr);
        }
      }
      t->tp_getset = gs;
    }
    if (td->slots) td->slots(t);
    if (PyType_Ready(t) < 0) return -1;
  }
  if (td->init && prepare(*td->init, (std::string(td->name) + ".__cinit__").c_str()) < 0) return -1;
  if (td->init) td->init->self_type = t;
  PyObject* dict = t->tp_dict;
  for (const Entry& e : td->body) {
    if (e.def) {
      if (install_function(dict, *e.def, t, td->name, e.bind_as, e.is_static) < 0) return -1;
    } else {
      PyObject* target = PyDict_GetItemString(dict, e.target);
      if (!target) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", e.target);
        return -1;
      }
      if (PyDict_SetItemString(dict, e.alias, target) < 0) return -1;
    }
  }
  // Pickling refusal unless the class defines its own protocol.
  if (!PyDict_GetItem(dict, s_getstate) && !PyDict_GetItem(dict, s_reduce_ex) && !PyDict_GetItem(dict, s_reduce)) {
    auto* rd = new FuncDef(kReduceTemplate);
    auto* sd = new FuncDef(kSetstateTemplate);
    if (install_function(dict, *rd, t, td->name, "__reduce__") < 0 ||
        install_function(dict, *sd, t, td->name, "__setstate__") < 0) {
      PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", td->name);
      return -1;
    }
  }
  PyType_Modified(t);
  return PyDict_SetItemString(g_globals, td->name, reinterpret_cast<PyObject*>(t));
}

// ---------------------------------------------------------------------------
// Module creation and execution.

int copy_spec_attr(PyObject* modspec, PyObject* moddict, PyObject* from, const char* to, bool skip_none) {
  PyObject* v = PyObject_GetAttr(modspec, from);
  if (!v) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      return 0;
    }
    return -1;
  }
  int rc = 0;
  if (!(skip_none && v == Py_None)) rc = PyDict_SetItemString(moddict, to, v);
  Py_DECREF(v);
  return rc;
}

PyObject* module_create(PyObject* modspec, PyModuleDef*) {
  int64_t id = PyInterpreterState_GetID(PyThreadState_Get()->interp);
  if (g_interp_id == -1) {
    g_interp_id = id;
  } else if (g_interp_id != id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return nullptr;
  }
  if (g_module) {
    Py_INCREF(g_module);
    return g_module;
  }
  if (init_constants() < 0) return nullptr;
  PyObject* name = PyObject_GetAttr(modspec, s_spec_name);
  if (!name) return nullptr;
  PyObject* m = PyModule_NewObject(name);
  Py_DECREF(name);
  if (!m) return nullptr;
  PyObject* md = PyModule_GetDict(m);
  if (copy_spec_attr(modspec, md, s_loader, "__loader__", false) < 0 ||
      copy_spec_attr(modspec, md, s_origin, "__file__", false) < 0 ||
      copy_spec_attr(modspec, md, s_parent, "__package__", false) < 0 ||
      copy_spec_attr(modspec, md, s_ssl, "__path__", true) < 0) {
    Py_DECREF(m);
    return nullptr;
  }
  return m;
}

int exec_steps(PyObject* m) {
  // (b) builtins
  PyObject* b = PyImport_AddModule("builtins");
  if (!b) return -1;
  g_builtins = PyModule_GetDict(b);
  if (PyObject_SetAttrString(m, "__builtins__", b) < 0) return -1;
  // (c) build against running version
  {
    const char* rt = Py_GetVersion();
    int rmaj = 0, rmin = 0;
    if (sscanf(rt, "%d.%d", &rmaj, &rmin) == 2 && (rmaj != PY_MAJOR_VERSION || rmin != PY_MINOR_VERSION)) {
      if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                           "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                           PY_MAJOR_VERSION, PY_MINOR_VERSION, g_def->dotted, "does not match", rmaj, rmin) < 0)
        return -1;
    }
  }
  // (d) strings and constants
  if (init_constants() < 0) return -1;
  // (e) sys.modules
  {
    PyObject* mods = PyImport_GetModuleDict();
    PyObject* existing = PyDict_GetItemString(mods, g_def->dotted);
    if (!existing && PyDict_SetItemString(mods, g_def->dotted, m) < 0) return -1;
  }
  // (f) types
  if (ready_function_type() < 0) return -1;
  for (TypeDef* td : g_def->types)
    if (ready_type(td) < 0) return -1;
  // (g) module-level code
  if (g_def->body && g_def->body(m) < 0) return -1;
  // (h) __test__
  PyObject* t = PyDict_New();
  if (!t) return -1;
  int rc = PyDict_SetItemString(g_globals, "__test__", t);
  Py_DECREF(t);
  return rc;
}

int module_exec(PyObject* m) {
  if (g_module) {
    if (g_module == m) return 0;
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.", g_def->short_name);
    return -1;
  }
  g_module = m;
  Py_INCREF(m);
  g_globals = PyModule_GetDict(m);
  if (exec_steps(m) == 0) return 0;
  std::string label = std::string("init ") + g_def->dotted;
  if (PyErr_Occurred())
    add_traceback_name(label.c_str());
  else
    PyErr_SetString(PyExc_ImportError, label.c_str());
  Py_CLEAR(g_module);
  g_globals = nullptr;
  return -1;
}

}  // namespace

PyObject* module_init(const ModuleDef& def) {
  g_def = &def;
  g_slots[0] = {Py_mod_create, reinterpret_cast<void*>(module_create)};
  g_slots[1] = {Py_mod_exec, reinterpret_cast<void*>(module_exec)};
  g_slots[2] = {0, nullptr};
  g_moddef = PyModuleDef{PyModuleDef_HEAD_INIT};
  g_moddef.m_name = def.short_name;
  g_moddef.m_doc = def.doc;
  g_moddef.m_size = 0;
  g_moddef.m_methods = nullptr;
  g_moddef.m_slots = g_slots;
  return PyModuleDef_Init(&g_moddef);
}

PyObject* globals() { return g_globals; }
PyObject* module_object() { return g_module; }
const ModuleDef& current_module() { return *g_def; }

PyObject* get_global(PyObject* name) {
  PyObject* v = g_globals ? PyDict_GetItemWithError(g_globals, name) : nullptr;
  if (!v && !PyErr_Occurred() && g_builtins) v = PyDict_GetItemWithError(g_builtins, name);
  if (!v) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
  }
  Py_INCREF(v);
  return v;
}

int set_global(const char* name, PyObject* value) { return PyDict_SetItemString(g_globals, name, value); }
int set_global(PyObject* name, PyObject* value) { return PyDict_SetItem(g_globals, name, value); }

int import_module(const char* name) {
  PyObject* m = PyImport_ImportModuleLevel(name, g_globals, nullptr, nullptr, 0);
  if (!m) return -1;
  int rc = set_global(name, m);
  Py_DECREF(m);
  return rc;
}

int import_from(const char* module, std::initializer_list<const char*> names, int level) {
  PyObject* fromlist = PyList_New(0);
  if (!fromlist) return -1;
  for (const char* n : names) {
    PyObject* s = PyUnicode_FromString(n);
    if (!s || PyList_Append(fromlist, s) < 0) {
      Py_XDECREF(s);
      Py_DECREF(fromlist);
      return -1;
    }
    Py_DECREF(s);
  }
  PyObject* m = PyImport_ImportModuleLevel(module, g_globals, nullptr, fromlist, level);
  Py_DECREF(fromlist);
  if (!m) return -1;
  for (const char* n : names) {
    PyObject* v = PyObject_GetAttrString(m, n);
    if (!v) {
      if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyObject* s = PyUnicode_FromString(n);
        if (s) {
          PyErr_Format(PyExc_ImportError, "cannot import name %S", s);
          Py_DECREF(s);
        }
      }
      Py_DECREF(m);
      return -1;
    }
    int rc = set_global(n, v);
    Py_DECREF(v);
    if (rc < 0) {
      Py_DECREF(m);
      return -1;
    }
  }
  Py_DECREF(m);
  return 0;
}

int add_function(const FuncDef& d) {
  PyObject* f = make_function(d, d.qualname);
  if (!f) return -1;
  int rc = set_global(d.name, f);
  Py_DECREF(f);
  return rc;
}

PyObject* make_class(const char* name, const char* doc, std::initializer_list<const FuncDef*> methods,
                     PyObject* bases) {
  PyObject* pybases = bases ? (Py_INCREF(bases), bases) : PyTuple_New(0);
  if (!pybases) return nullptr;
  PyObject* meta = reinterpret_cast<PyObject*>(
      PyTuple_GET_SIZE(pybases) ? Py_TYPE(PyTuple_GET_ITEM(pybases, 0)) : &PyType_Type);
  Py_INCREF(meta);
  PyObject* pyname = PyUnicode_FromString(name);
  PyObject* ns = nullptr;
  PyObject* cls = nullptr;
  if (!pyname) goto done;
  ns = call_method(meta, s_prepare, pyname, pybases);
  if (!ns) goto done;
  {
    PyObject* mod = PyUnicode_FromString(g_def->dotted);
    if (!mod || PyObject_SetItem(ns, s_module, mod) < 0 || PyObject_SetItem(ns, s_qualname, pyname) < 0) {
      Py_XDECREF(mod);
      goto done;
    }
    Py_DECREF(mod);
    if (doc) {
      PyObject* d = PyUnicode_FromString(doc);
      if (!d || PyObject_SetItem(ns, s_doc, d) < 0) {
        Py_XDECREF(d);
        goto done;
      }
      Py_DECREF(d);
    }
    for (const FuncDef* m : methods) {
      std::string q = std::string(name) + "." + m->name;
      PyObject* f = make_function(*m, q.c_str());
      if (!f) goto done;
      PyObject* key = PyUnicode_FromString(m->name);
      int rc = key ? PyObject_SetItem(ns, key, f) : -1;
      Py_XDECREF(key);
      Py_DECREF(f);
      if (rc < 0) goto done;
    }
  }
  cls = call(meta, pyname, pybases, ns);
  if (cls && set_global(name, cls) < 0) Py_CLEAR(cls);
done:
  Py_XDECREF(ns);
  Py_XDECREF(pyname);
  Py_DECREF(meta);
  Py_DECREF(pybases);
  if (!cls) return nullptr;
  Py_DECREF(cls);  // the module global keeps it
  return cls;
}

int make_logger() {
  PyObject* logging = get_global(s_logging);
  if (!logging) return -1;
  PyObject* name = get_global(s_name);
  if (!name) {
    Py_DECREF(logging);
    return -1;
  }
  PyObject* lg = call_method(logging, s_getLogger, name);
  Py_DECREF(logging);
  Py_DECREF(name);
  if (!lg) return -1;
  int rc = set_global(s_logger, lg);
  Py_DECREF(lg);
  return rc;
}

PyObject* logger() { return g_globals ? PyDict_GetItem(g_globals, s_logger) : nullptr; }

int log_info(const char* message) {
  PyObject* lg = get_global(s_logger);
  if (!lg) return -1;
  PyObject* msg = PyUnicode_FromString(message);
  if (!msg) {
    Py_DECREF(lg);
    return -1;
  }
  PyObject* r = call_method(lg, s_info, msg);
  Py_DECREF(msg);
  Py_DECREF(lg);
  if (!r) return -1;
  Py_DECREF(r);
  return 0;
}

// ---------------------------------------------------------------------------
// Context managers.

// Looks up a special method on the type; returns a borrowed descriptor.
static PyObject* lookup_special(PyObject* o, PyObject* name) { return _PyType_Lookup(Py_TYPE(o), name); }

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
