// Native classes: allocation, construction, deallocation, GC hooks,
// properties over native fields, installation of the class body and the
// pickling refusal.
#include "frame/internal.hpp"

#include <array>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <utility>

namespace frame::detail {

namespace {

PyObject** obj_slot(PyObject* o, Py_ssize_t off) {
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + off);
}

PyObject* alloc_instance(PyTypeObject* type, const TypeDef* td) {
  PyObject* o = type->tp_alloc(type, 0);
  if (!o) [[unlikely]]
    return nullptr;
  if (const Py_ssize_t n = static_cast<Py_ssize_t>(td->object_fields.size())) {
    const Py_ssize_t* offs = td->object_fields.data();
    for (Py_ssize_t i = 0; i < n; i++) {
      Py_INCREF(Py_None);
      *obj_slot(o, offs[i]) = Py_None;
    }
  }
  if (td->alloc_init) td->alloc_init(o);
  return o;
}

// The runtime of a declared type: its record and its prepared constructor.
struct TypeRuntime {
  const TypeDef* td = nullptr;
  Runtime init;
};

int run_ctor(TypeRuntime& rt, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const FuncDef* init = rt.td->init;
  if (!init) return 0;
  return init->ctor(rt.init, self, args, nargs, kwnames);
}

// The hooks below take the type's runtime as their first argument.  Each
// declared type gets its own instantiation of `Hooks<I>` (see kHooks), which
// passes its runtime, so no hook searches for it; a Python subclass inherits
// the hooks, and with them the runtime, of its native base.

PyObject* type_new(TypeRuntime& rt, PyTypeObject* type, PyObject* args, PyObject* kwds) {
  const TypeDef* td = rt.td;
  PyObject* o = alloc_instance(type, td);
  if (!o) return nullptr;
  if (!td->init || td->init->nparams == 0) {
    if (run_ctor(rt, o, nullptr, 0, nullptr) < 0) Py_CLEAR(o);
    return o;
  }
  // The tuple and dict of the ordinary call, as a vector plus keyword names.
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  const Py_ssize_t nkw = kwds ? PyDict_GET_SIZE(kwds) : 0;
  auto** vec = static_cast<PyObject**>(PyMem_Malloc(sizeof(PyObject*) * static_cast<size_t>(nargs + nkw + 1)));
  Ref kwnames(nkw ? PyTuple_New(nkw) : nullptr);
  if (!vec || (nkw && !kwnames)) {
    PyMem_Free(vec);
    Py_DECREF(o);
    return vec ? nullptr : PyErr_NoMemory();
  }
  for (Py_ssize_t i = 0; i < nargs; i++) vec[i] = PyTuple_GET_ITEM(args, i);
  Py_ssize_t pos = 0, i = 0;
  PyObject *k, *v;
  while (nkw && PyDict_Next(kwds, &pos, &k, &v)) {
    Py_INCREF(k);
    PyTuple_SET_ITEM(kwnames.get(), i, k);
    vec[nargs + i] = v;
    i++;
  }
  const int rc = run_ctor(rt, o, vec, nargs, kwnames.get());
  PyMem_Free(vec);
  if (rc < 0) Py_CLEAR(o);
  return o;
}

// Why the fallback: a Python subclass may define __new__ or __init__, which
// the direct path of type_vectorcall would skip.  Only the declared type
// itself takes the direct path; a subclass gets the ordinary type call, whose
// tp_new (type_new) still runs the native constructor.
[[gnu::noinline]] PyObject* subclass_call(PyObject* callable, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
  Ref tuple(PyTuple_New(nargs));
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; i++) {
    Py_INCREF(args[i]);
    PyTuple_SET_ITEM(tuple.get(), i, args[i]);
  }
  Ref kw;
  if (kwnames && PyTuple_GET_SIZE(kwnames)) {
    kw = Ref(PyDict_New());
    if (!kw) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); i++)
      if (PyDict_SetItem(kw, PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return nullptr;
  }
  return PyType_Type.tp_call(callable, tuple, kw.get());
}

[[gnu::noinline]] PyObject* ctor_failed(PyObject* o) {
  Py_DECREF(o);
  return nullptr;
}

[[gnu::always_inline]] inline PyObject* type_vectorcall(TypeRuntime& rt, PyObject* callable, PyObject* const* args,
                                                        size_t nargsf, PyObject* kwnames) {
  const TypeDef* td = rt.td;
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(callable);
  if (td->type != type) [[unlikely]]
    return subclass_call(callable, args, PyVectorcall_NARGS(nargsf), kwnames);
  PyObject* o = alloc_instance(type, td);
  if (!o) [[unlikely]]
    return nullptr;
  const FuncDef* init = td->init;
  if (init && init->ctor(rt.init, o, args, PyVectorcall_NARGS(nargsf), kwnames) < 0) [[unlikely]]
    return ctor_failed(o);
  return o;
}

// Deallocation of a type whose instances hold only native numbers: nothing to
// release, so nothing can run Python code or disturb a pending exception.  A
// Python subclass's own dealloc has already untracked a GC instance.
void plain_dealloc(PyObject* o) { Py_TYPE(o)->tp_free(o); }

// The same for a GC type without references to release.
void gc_plain_dealloc(PyObject* o) {
  PyObject_GC_UnTrack(o);
  Py_TYPE(o)->tp_free(o);
}

void type_dealloc(const TypeDef* td, PyObject* o) {
  if (PyType_IS_GC(Py_TYPE(o))) PyObject_GC_UnTrack(o);
  // Releasing references can run Python code: keep a pending exception
  // intact meanwhile.
  PyObject *et = nullptr, *ev = nullptr, *etb = nullptr;
  const bool pending = PyErr_Occurred() != nullptr;
  if (pending) PyErr_Fetch(&et, &ev, &etb);
  if (td->dealloc) td->dealloc(o);
  for (Py_ssize_t off : td->object_fields) Py_CLEAR(*obj_slot(o, off));
  if (pending) PyErr_Restore(et, ev, etb);
  Py_TYPE(o)->tp_free(o);
}

int type_traverse(const TypeDef* td, PyObject* o, visitproc visit, void* arg) {
  for (Py_ssize_t off : td->object_fields) Py_VISIT(*obj_slot(o, off));
  if (td->traverse) return td->traverse(o, visit, arg);
  return 0;
}

int type_clear(const TypeDef* td, PyObject* o) {
  for (Py_ssize_t off : td->object_fields) {
    PyObject* old = *obj_slot(o, off);
    Py_INCREF(Py_None);
    *obj_slot(o, off) = Py_None;
    Py_XDECREF(old);
  }
  if (td->clear) return td->clear(o);
  return 0;
}

// Special-method wrappers: a failure gets a traceback entry named
// "<module>.<Class>.<method>", as any Python-visible method does.
void slot_traceback(const TypeDef* td, const char* method) {
  char name[256];
  snprintf(name, sizeof name, "%s.%s.%s", g_def->dotted, td->name, method);
  add_traceback_name(name);
}

Py_ssize_t type_len(const TypeDef* td, PyObject* o) {
  const Py_ssize_t n = td->len(o);
  if (n < 0) slot_traceback(td, "__len__");
  return n;
}

int type_bool(const TypeDef* td, PyObject* o) {
  const int v = td->truth(o);
  if (v < 0) slot_traceback(td, "__bool__");
  return v;
}

PyObject* type_repr(const TypeDef* td, PyObject* o) {
  PyObject* r = td->repr(o);
  if (!r) slot_traceback(td, "__repr__");
  return r;
}

constexpr int kMaxTypes = 8;
TypeRuntime g_types[kMaxTypes];  // for the process: types live as long as it
int g_ntypes = 0;

template <int I>
struct Hooks {
  static PyObject* tp_new(PyTypeObject* t, PyObject* a, PyObject* k) { return type_new(g_types[I], t, a, k); }
  static PyObject* vectorcall(PyObject* c, PyObject* const* a, size_t n, PyObject* k) {
    return type_vectorcall(g_types[I], c, a, n, k);
  }
  static void dealloc(PyObject* o) { type_dealloc(g_types[I].td, o); }
  static int traverse(PyObject* o, visitproc v, void* a) { return type_traverse(g_types[I].td, o, v, a); }
  static int clear(PyObject* o) { return type_clear(g_types[I].td, o); }
  static Py_ssize_t len(PyObject* o) { return type_len(g_types[I].td, o); }
  static int truth(PyObject* o) { return type_bool(g_types[I].td, o); }
  static PyObject* repr(PyObject* o) { return type_repr(g_types[I].td, o); }
};

struct HookSet {
  newfunc tp_new;
  vectorcallfunc vectorcall;
  destructor dealloc;
  traverseproc traverse;
  inquiry clear;
  lenfunc len;
  inquiry truth;
  reprfunc repr;
};

template <int... I>
constexpr std::array<HookSet, sizeof...(I)> make_hooks(std::integer_sequence<int, I...>) {
  return {HookSet{Hooks<I>::tp_new, Hooks<I>::vectorcall, Hooks<I>::dealloc, Hooks<I>::traverse, Hooks<I>::clear,
                  Hooks<I>::len, Hooks<I>::truth, Hooks<I>::repr}...};
}
constexpr auto kHooks = make_hooks(std::make_integer_sequence<int, kMaxTypes>{});

template <class T>
T& field_at(PyObject* o, const Property* p) {
  return *reinterpret_cast<T*>(reinterpret_cast<char*>(o) + p->offset);
}

// Number fields are read and written as relaxed atomics: a property write
// may race the object's own methods on free-threaded builds (plain moves
// where the interpreter lock serialises).
template <class T>
PyObject* read_number(PyObject* o, void* closure) {
  return to_result(load_relaxed(field_at<T>(o, static_cast<const Property*>(closure))));
}

PyObject* read_object(PyObject* o, void* closure) {
  Ref v = load_field(o, field_at<PyObject*>(o, static_cast<const Property*>(closure)));
  return v ? v.release() : Ref::borrow(Py_None).release();
}

// The getters of the field kinds, in FieldKind order: each is installed
// itself, so a read makes no dispatch on the kind.
constexpr getter kReadField[] = {
    read_object,           read_number<int64_t>, read_number<int32_t>, read_number<uint32_t>, read_number<uint64_t>,
    read_number<uint16_t>, read_number<uint8_t>, read_number<double>,  read_number<bool>,
};
static_assert(std::size(kReadField) == static_cast<size_t>(FieldKind::Bool) + 1);

// Converts `v` and stores it in the field; the field is unchanged on error.
template <class T, class Convert>
int store(PyObject* o, const Property* p, PyObject* v, Convert convert) {
  T x;
  if (!convert(v, x)) return -1;
  store_relaxed(field_at<T>(o, p), x);
  return 0;
}

int prop_set(PyObject* o, PyObject* v, void* closure) {
  const Property* p = static_cast<const Property*>(closure);
  if (p->kind == FieldKind::Object) {
    Ref value = Ref::borrow(v ? v : Py_None);
    swap_field(o, field_at<PyObject*>(o, p), value);
    return 0;  // the old value is released after the section: its finaliser may run code
  }
  if (!v) {
    PyErr_SetString(PyExc_NotImplementedError, "__del__");
    return -1;
  }
  switch (p->kind) {
    case FieldKind::I64:
      return store<int64_t>(o, p, v, to_i64);
    case FieldKind::I32:
      return store<int32_t>(
          o, p, v, [p](PyObject* x, int32_t& out) { return to_i32(x, out, p->int_msg ? p->int_msg : kMsgInt32); });
    case FieldKind::U32:
      return store<uint32_t>(o, p, v, to_u32);
    case FieldKind::U64:
      return store<uint64_t>(o, p, v, to_u64);
    case FieldKind::U16:
      return store<uint16_t>(o, p, v, to_u16);
    case FieldKind::U8:
      return store<uint8_t>(o, p, v, to_u8);
    case FieldKind::Double:
      return store<double>(o, p, v, to_double);
    case FieldKind::Bool:
      return store<bool>(o, p, v, [](PyObject* x, bool& out) {
        const int r = PyObject_IsTrue(x);
        out = r > 0;
        return r >= 0;
      });
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
constexpr FuncDef kReduce = method<&reduce_body>("__reduce_cython__", nullptr, returns());
constexpr FuncDef kSetstate = method<&setstate_body>("__setstate_cython__", nullptr, returns(), param("__pyx_state"));

int install_function(PyObject* dict, const FuncDef& d, PyTypeObject* type, const char* cls, const char* bind_as,
                     bool as_static = false) {
  PyObject* f = make_function(d, qualified(cls, d.name).text, type);
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
const char* text_signature_doc(const TypeRuntime& rt) try {
  const TypeDef* td = rt.td;
  std::string sig = std::string(td->name) + "(";
  const int n = td->init ? td->init->nparams : 0;
  if (n == 0) sig += "*args, **kwargs";
  for (int i = 0; i < n; i++) {
    if (i) sig += ", ";
    sig += td->init->params[i].name;
    if (rt.init.defaults[i]) {
      Ref r(PyObject_Repr(rt.init.defaults[i]));
      const char* text = r ? PyUnicode_AsUTF8(r) : nullptr;
      if (!text) return nullptr;
      sig += "=";
      sig += text;
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
} catch (const std::bad_alloc&) {
  PyErr_NoMemory();
  return nullptr;
}

// The slot tables of one type, in one allocation that lives as long as the
// type, that is, for the process.  A retry after a failed readying finds them
// in place.
struct SlotTables {
  PySequenceMethods seq;
  PyMappingMethods map;
  PyNumberMethods num;
};

int install_special_methods(const TypeDef* td, const HookSet& hooks) {
  PyTypeObject* t = td->type;
  if (td->repr) t->tp_repr = hooks.repr;
  if ((!td->len && !td->truth) || t->tp_as_sequence || t->tp_as_number) return 0;
  auto* tables = static_cast<SlotTables*>(PyMem_RawCalloc(1, sizeof(SlotTables)));
  if (!tables) {
    PyErr_NoMemory();
    return -1;
  }
  if (td->len) {
    tables->seq.sq_length = hooks.len;
    tables->map.mp_length = hooks.len;
    t->tp_as_sequence = &tables->seq;
    t->tp_as_mapping = &tables->map;
  }
  if (td->truth) {
    tables->num.nb_bool = hooks.truth;
    t->tp_as_number = &tables->num;
  }
  return 0;
}

}  // namespace

int ready_type(const TypeDef* td) {
  PyTypeObject* t = td->type;
  if (!(t->tp_flags & Py_TPFLAGS_READY)) {
    // A type whose readying failed before takes its slot again.
    int slot = 0;
    while (slot < g_ntypes && g_types[slot].td != td) slot++;
    if (slot == kMaxTypes) {
      PyErr_SetString(PyExc_SystemError, "too many native types in one module");
      return -1;
    }
    if (slot == g_ntypes) g_ntypes++;
    const HookSet& hooks = kHooks[slot];
    TypeRuntime& rt = g_types[slot];
    rt.td = td;
    release(rt.init);
    if (td->init && prepare(*td->init, rt.init, t, qualified(td->name, "__cinit__").text) < 0) return -1;
    const bool gc = !td->object_fields.empty() || td->traverse;
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
    t->tp_doc = text_signature_doc(rt);
    if (!t->tp_doc) return -1;
    t->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | (gc ? Py_TPFLAGS_HAVE_GC : 0);
    t->tp_new = hooks.tp_new;
    t->tp_vectorcall = hooks.vectorcall;
    // Deallocation does only what the type needs.
    const bool releases = td->dealloc || !td->object_fields.empty();
    t->tp_dealloc = releases ? hooks.dealloc : gc ? gc_plain_dealloc : plain_dealloc;
    if (gc) {
      t->tp_traverse = hooks.traverse;
      t->tp_clear = hooks.clear;
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
        gs[i].get = pr.get ? pr.get : kReadField[static_cast<int>(pr.kind)];
        gs[i].set = pr.get ? pr.set : prop_set;
        gs[i].closure = const_cast<Property*>(&pr);
      }
      t->tp_getset = gs;
    }
    if (install_special_methods(td, hooks) < 0) return -1;
    hold_static_type(t);
    if (PyType_Ready(t) < 0) return -1;
  }
  PyObject* dict = t->tp_dict;
  for (const Entry& e : td->body) {
    if (e.def) {
      if (install_function(dict, *e.def, t, td->name, e.bind_as, e.is_static) < 0) return -1;
    } else {
      Ref key(PyUnicode_FromString(e.target));
      PyObject* target = key ? PyDict_GetItemWithError(dict, key) : nullptr;
      if (!target) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", e.target);
        return -1;
      }
      if (PyDict_SetItemString(dict, e.alias, target) < 0) return -1;
    }
  }
  // Pickling refusal unless the class defines its own protocol.
  if (!PyDict_GetItem(dict, "__getstate__"_s) && !PyDict_GetItem(dict, "__reduce_ex__"_s) &&
      !PyDict_GetItem(dict, "__reduce__"_s)) {
    if (install_function(dict, kReduce, t, td->name, "__reduce__") < 0 ||
        install_function(dict, kSetstate, t, td->name, "__setstate__") < 0) {
      PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", td->name);
      return -1;
    }
  }
  PyType_Modified(t);
  return PyDict_SetItemString(g_globals, td->name, reinterpret_cast<PyObject*>(t));
}

}  // namespace frame::detail
