// The function type: one type for every Python-visible function and method
// of a module, with vectorcall, method-descriptor binding and the
// introspection attributes (__defaults__, __annotations__, __code__, ...).
#include "frame/internal.hpp"

#include <new>

namespace frame::detail {

static PyTypeObject FunctionType;

// The object fields of a function, for the GC hooks.
constexpr PyObject* Function::* kFields[] = {&Function::name,        &Function::qualname, &Function::module,
                                             &Function::doc,         &Function::defaults, &Function::kwdefaults,
                                             &Function::annotations, &Function::globals,  &Function::code};

static int fn_traverse(Function* f, visitproc visit, void* arg) {
  for (auto field : kFields) Py_VISIT(f->*field);
  return 0;
}

static int fn_clear(Function* f) {
  for (auto field : kFields) Py_CLEAR(f->*field);
  return 0;
}

static void fn_dealloc(Function* f) {
  PyObject_GC_UnTrack(f);
  fn_clear(f);
  release(f->rt);
  PyObject_GC_Del(f);
}

static PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) {
    Py_INCREF(self);
    return self;
  }
  return PyMethod_New(self, obj);
}

// The attribute fields are fields another thread may replace (load_field,
// swap_field); an empty one reads as None.
static PyObject* get_field(Function* f, PyObject* Function::* field) {
  Ref v = load_field(reinterpret_cast<PyObject*>(f), f->*field);
  return v ? v.release() : Ref::borrow(Py_None).release();
}

static void set_field(Function* f, PyObject* Function::* field, PyObject* v) {
  Ref value = Ref::borrow(v);
  swap_field(reinterpret_cast<PyObject*>(f), f->*field, value);
}  // the old value is released here, after the section

static PyObject* fn_repr(Function* f) {
  Ref qualname(get_field(f, &Function::qualname));
  return PyUnicode_FromFormat("<function %U at %p>", qualname.get(), f);
}

#define FN_STR_ATTR(attr, label)                                                               \
  static PyObject* fn_get_##attr(Function* f, void*) { return get_field(f, &Function::attr); } \
  static int fn_set_##attr(Function* f, PyObject* v, void*) {                                  \
    if (!v || !PyUnicode_Check(v)) {                                                           \
      PyErr_SetString(PyExc_TypeError, label " must be set to a string object");               \
      return -1;                                                                               \
    }                                                                                          \
    set_field(f, &Function::attr, v);                                                          \
    return 0;                                                                                  \
  }
FN_STR_ATTR(name, "__name__")
FN_STR_ATTR(qualname, "__qualname__")
#undef FN_STR_ATTR

#define FN_ANY_ATTR(attr)                                                                      \
  static PyObject* fn_get_##attr(Function* f, void*) { return get_field(f, &Function::attr); } \
  static int fn_set_##attr(Function* f, PyObject* v, void*) {                                  \
    set_field(f, &Function::attr, v);                                                          \
    return 0;                                                                                  \
  }
FN_ANY_ATTR(doc)
FN_ANY_ATTR(module)
#undef FN_ANY_ATTR

// Stores `v` in the field, None clearing it; anything else must pass `check`.
static int set_optional(Function* f, PyObject* Function::* field, PyObject* v, int (*check)(PyObject*),
                        const char* message) {
  if (v == Py_None) v = nullptr;
  if (v && !check(v)) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
  }
  set_field(f, field, v);
  return 0;
}
static int is_tuple(PyObject* v) { return PyTuple_Check(v); }
static int is_dict(PyObject* v) { return PyDict_Check(v); }

static PyObject* fn_get_defaults(Function* f, void*) { return get_field(f, &Function::defaults); }
static int fn_set_defaults(Function* f, PyObject* v, void*) {
  return set_optional(f, &Function::defaults, v, is_tuple, "__defaults__ must be set to a tuple object");
}
static PyObject* fn_get_kwdefaults(Function* f, void*) { return get_field(f, &Function::kwdefaults); }
static int fn_set_kwdefaults(Function* f, PyObject* v, void*) {
  return set_optional(f, &Function::kwdefaults, v, is_dict, "__kwdefaults__ must be set to a dict object");
}
// An empty dict once __annotations__ was cleared (set to None).
static PyObject* fn_get_annotations(Function* f, void*) {
  compat::CriticalSection cs(reinterpret_cast<PyObject*>(f));
  if (!f->annotations) f->annotations = PyDict_New();
  return Ref::borrow(f->annotations).release();
}
static int fn_set_annotations(Function* f, PyObject* v, void*) {
  return set_optional(f, &Function::annotations, v, is_dict, "__annotations__ must be set to a dict object");
}
static PyObject* fn_get_globals(Function* f, void*) { return get_field(f, &Function::globals); }

// A code object carrying the argument names and counts, for inspect.signature
// and help(); never executed.  Native methods list `self` first.
static PyObject* build_code(const Runtime& rt) {
  const FuncDef& d = *rt.def;
  const int extra = d.native_method ? 1 : 0;
  const int n = d.nparams + extra;
  Ref names(PyTuple_New(n));
  if (!names) return nullptr;
  if (extra) PyTuple_SET_ITEM(names.get(), 0, "self"_s.new_ref());
  for (int i = 0; i < d.nparams; i++) PyTuple_SET_ITEM(names.get(), i + extra, Ref::borrow(rt.names[i]).release());
  Ref empty(reinterpret_cast<PyObject*>(PyCode_NewEmpty(source_name(), d.name, 0)));
  if (!empty) return nullptr;
  Ref replace(PyObject_GetAttr(empty, "replace"_s));
  if (!replace) return nullptr;
  Ref kw(Py_BuildValue("{s:i,s:i,s:i,s:i,s:O,s:i}", "co_argcount", n, "co_posonlyargcount", 0, "co_kwonlyargcount", 0,
                       "co_nlocals", n, "co_varnames", names.get(), "co_flags", CO_OPTIMIZED | CO_NEWLOCALS));
  if (!kw) return nullptr;
  Ref no_args(PyTuple_New(0));
  if (!no_args) return nullptr;
  return PyObject_Call(replace, no_args, kw);
}

// Made at the first read, published once.
static PyObject* fn_get_code(Function* f, void*) {
  PyObject* code = published(f->code);
  if (!code) code = publish(f->code, build_code(f->rt));
  return Ref::borrow(code).release();
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

static PyObject* fn_reduce(Function* f, PyObject*) { return get_field(f, &Function::qualname); }

static PyMethodDef fn_methods[] = {
    {"__reduce__", (PyCFunction)fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int ready_function_type() {
  if (FunctionType.tp_flags & Py_TPFLAGS_READY) return 0;
  FunctionType.tp_name = "talvora.native_function";
  FunctionType.tp_basicsize = sizeof(Function);
  FunctionType.tp_dealloc = (destructor)fn_dealloc;
  FunctionType.tp_vectorcall_offset = offsetof(Function, vectorcall);
  FunctionType.tp_repr = (reprfunc)fn_repr;
  FunctionType.tp_call = PyVectorcall_Call;
  FunctionType.tp_flags =
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
  FunctionType.tp_traverse = (traverseproc)fn_traverse;
  FunctionType.tp_clear = (inquiry)fn_clear;
  FunctionType.tp_methods = fn_methods;
  FunctionType.tp_getset = fn_getset;
  FunctionType.tp_descr_get = fn_descr_get;
  FunctionType.tp_doc = "Function of a talvora extension module.";
  hold_static_type(&FunctionType);
  return PyType_Ready(&FunctionType);
}

// Stores the annotation `text` under `key`.
static bool annotate(PyObject* annotations, PyObject* key, const char* text) {
  Ref a(PyUnicode_FromString(text));
  return a && PyDict_SetItem(annotations, key, a) == 0;
}

PyObject* make_function(const FuncDef& d, const char* qualname, PyTypeObject* owner) {
  if (ready_function_type() < 0) return nullptr;
  Function* f = PyObject_GC_New(Function, &FunctionType);
  if (!f) return nullptr;
  f->vectorcall = d.call;
  new (&f->rt) Runtime{};
  for (auto field : kFields) f->*field = nullptr;
  PyObject_GC_Track(f);
  Ref self(reinterpret_cast<PyObject*>(f));
  if (prepare(d, f->rt, owner, qualname) < 0) return nullptr;
  f->name = PyUnicode_FromString(d.name);
  f->qualname = PyUnicode_FromString(qualname ? qualname : d.name);
  f->module = PyUnicode_FromString(g_def->dotted);
  f->doc = d.doc ? PyUnicode_FromString(d.doc) : Ref::borrow(Py_None).release();
  f->annotations = PyDict_New();
  f->globals = Ref::borrow(g_globals).release();
  if (!f->name || !f->qualname || !f->module || !f->doc || !f->annotations) return nullptr;
  int first_default = -1;
  for (int i = 0; i < d.nparams; i++) {
    if (f->rt.defaults[i] && first_default < 0) first_default = i;
    if (d.params[i].annotation && !annotate(f->annotations, f->rt.names[i], d.params[i].annotation)) return nullptr;
  }
  if (d.ret_annotation && !annotate(f->annotations, "return"_s, d.ret_annotation)) return nullptr;
  if (first_default >= 0) {
    f->defaults = PyTuple_New(d.nparams - first_default);
    if (!f->defaults) return nullptr;
    for (int i = first_default; i < d.nparams; i++)
      PyTuple_SET_ITEM(f->defaults, i - first_default, Ref::borrow(f->rt.defaults[i]).release());
  }
  return self.release();
}

}  // namespace frame::detail
