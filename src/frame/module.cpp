// Module creation and initialisation (the create and execute slots), the
// module namespace, imports, plain classes and the logger.
#include "frame/internal.hpp"

#include <cstdio>
#include <cstring>

namespace frame {

namespace detail {
const ModuleDef* g_def = nullptr;
PyObject* g_globals = nullptr;
PyObject* g_builtins = nullptr;

namespace {
char g_source[256];  // the derived file name, made at init without allocating
}  // namespace

const char* short_name() {
  const char* dot = std::strrchr(g_def->dotted, '.');
  return dot ? dot + 1 : g_def->dotted;
}

const char* source_name() {
  if (!g_def) return "<native>";
  return g_def->source ? g_def->source : g_source;
}
}  // namespace detail

using namespace detail;

namespace {

PyModuleDef g_moddef;
PyModuleDef_Slot g_slots[5];
PyObject* g_module = nullptr;  // set once the execute slot has started
int64_t g_interp_id = -1;

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
  PyObject* name = PyObject_GetAttr(modspec, "name"_s);
  if (!name) return nullptr;
  PyObject* m = PyModule_NewObject(name);
  Py_DECREF(name);
  if (!m) return nullptr;
  PyObject* md = PyModule_GetDict(m);
  if (copy_spec_attr(modspec, md, "loader"_s, "__loader__", false) < 0 ||
      copy_spec_attr(modspec, md, "origin"_s, "__file__", false) < 0 ||
      copy_spec_attr(modspec, md, "parent"_s, "__package__", false) < 0 ||
      copy_spec_attr(modspec, md, "submodule_search_locations"_s, "__path__", true) < 0) {
    Py_DECREF(m);
    return nullptr;
  }
  return m;
}

// (b) Binds __builtins__ and keeps the builtins dict for global lookups.
int bind_builtins(PyObject* m) {
  PyObject* b = PyImport_AddModule("builtins");
  if (!b) return -1;
  g_builtins = PyModule_GetDict(b);
  return PyObject_SetAttrString(m, "__builtins__", b);
}

// (c) Warns when the running interpreter is not the one built for.
int check_runtime_version() {
  int rmaj = 0, rmin = 0;
  if (sscanf(Py_GetVersion(), "%d.%d", &rmaj, &rmin) != 2) return 0;
  if (rmaj == PY_MAJOR_VERSION && rmin == PY_MINOR_VERSION) return 0;
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                          "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                          PY_MAJOR_VERSION, PY_MINOR_VERSION, g_def->dotted, "does not match", rmaj, rmin);
}

// (e) Registers the module in sys.modules unless an entry exists.
int register_in_sys_modules(PyObject* m) {
  PyObject* mods = PyImport_GetModuleDict();
  PyObject* existing = PyDict_GetItemString(mods, g_def->dotted);
  if (existing) return 0;
  return PyDict_SetItemString(mods, g_def->dotted, m);
}

// (f) Readies the function type and the declared types.
int ready_types() {
  if (ready_function_type() < 0) return -1;
  for (const TypeDef* td : g_def->types)
    if (ready_type(td) < 0) return -1;
  return 0;
}

// (h) __test__ = {}
int set_test_dict() {
  PyObject* t = PyDict_New();
  if (!t) return -1;
  int rc = PyDict_SetItemString(g_globals, "__test__", t);
  Py_DECREF(t);
  return rc;
}

// The execute slot's steps (b) to (h), in order; (a) is in module_exec.
int exec_steps(PyObject* m) {
  if (bind_builtins(m) < 0 || check_runtime_version() < 0) return -1;
  if (init_constants() < 0 || init_lock_types() < 0) return -1;  // (d)
  if (register_in_sys_modules(m) < 0 || ready_types() < 0) return -1;
  if (g_def->body && g_def->body(m) < 0) return -1;  // (g) module-level code
  return set_test_dict();
}

int module_exec(PyObject* m) {
  if (g_module) {
    if (g_module == m) return 0;
    PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                 short_name());
    return -1;
  }
  g_module = m;
  Py_INCREF(m);
  g_globals = PyModule_GetDict(m);
  if (exec_steps(m) == 0) return 0;
  char label[256];  // no allocation on this path
  snprintf(label, sizeof label, "init %s", g_def->dotted);
  if (PyErr_Occurred())
    add_traceback_name(label);
  else
    PyErr_SetString(PyExc_ImportError, label);
  Py_CLEAR(g_module);
  g_globals = nullptr;
  return -1;
}

// "talvora.a.b" -> "src/a/b.cpp"
void derive_source_name(const char* dotted) {
  constexpr char kPackage[] = "talvora.";
  if (std::strncmp(dotted, kPackage, sizeof kPackage - 1) == 0) dotted += sizeof kPackage - 1;
  snprintf(g_source, sizeof g_source, "src/%s.cpp", dotted);
  for (char* c = g_source; *c; c++)
    if (*c == '.' && std::strcmp(c, ".cpp") != 0) *c = '/';
}

}  // namespace

PyObject* module_init(const ModuleDef& def) {
  g_def = &def;
  derive_source_name(def.dotted);
  g_slots[0] = {Py_mod_create, reinterpret_cast<void*>(module_create)};
  g_slots[1] = {Py_mod_exec, reinterpret_cast<void*>(module_exec)};
  // On interpreters that know the per-interpreter-GIL slot, the module
  // declares it so that the create slot runs in a sub-interpreter and
  // refuses it with the module's own message.
  const int n = 2 + compat::declaration_slots(&g_slots[2]);
  g_slots[n] = {0, nullptr};
  g_moddef = PyModuleDef{PyModuleDef_HEAD_INIT};
  g_moddef.m_name = short_name();
  g_moddef.m_doc = def.doc;
  g_moddef.m_size = 0;
  g_moddef.m_methods = nullptr;
  g_moddef.m_slots = g_slots;
  return PyModuleDef_Init(&g_moddef);
}

PyObject* globals() { return g_globals; }

PyObject* get_global(PyObject* name) {
  PyObject* v = nullptr;
  int found = g_globals ? compat::dict_get_ref(g_globals, name, &v) : 0;
  if (found == 0 && g_builtins) found = compat::dict_get_ref(g_builtins, name, &v);
  if (found == 0) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
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
  PyObject* f = make_function(d, nullptr);
  if (!f) return -1;
  int rc = set_global(d.name, f);
  Py_DECREF(f);
  return rc;
}

int add_functions() {
  for (const FuncDef* d : g_def->functions)
    if (add_function(*d) < 0) return -1;
  return 0;
}

PyObject* make_class(const char* name, const char* doc, std::initializer_list<const FuncDef*> methods,
                     PyObject* bases) {
  Ref pybases = bases ? Ref::borrow(bases) : Ref(PyTuple_New(0));
  if (!pybases) return nullptr;
  Ref meta = Ref::borrow(reinterpret_cast<PyObject*>(
      PyTuple_GET_SIZE(pybases.get()) ? Py_TYPE(PyTuple_GET_ITEM(pybases.get(), 0)) : &PyType_Type));
  Ref pyname(PyUnicode_FromString(name));
  Ref ns(pyname ? call_method(meta, "__prepare__"_s, pyname.get(), pybases.get()) : nullptr);
  Ref mod(ns ? PyUnicode_FromString(g_def->dotted) : nullptr);
  if (!mod || PyObject_SetItem(ns, "__module__"_s, mod) < 0 || PyObject_SetItem(ns, "__qualname__"_s, pyname) < 0)
    return nullptr;
  if (doc) {
    Ref text(PyUnicode_FromString(doc));
    if (!text || PyObject_SetItem(ns, "__doc__"_s, text) < 0) return nullptr;
  }
  for (const FuncDef* m : methods) {
    Ref f(make_function(*m, qualified(name, m->name).text));
    Ref key(f ? PyUnicode_FromString(m->name) : nullptr);
    if (!key || PyObject_SetItem(ns, key, f) < 0) return nullptr;
  }
  Ref cls(call(meta.get(), pyname.get(), pybases.get(), ns.get()));
  if (!cls || set_global(name, cls) < 0) return nullptr;
  return cls.get();  // the module global keeps it
}

int make_logger() {
  Ref logging(get_global("logging"_s));
  Ref name(logging ? get_global("__name__"_s) : nullptr);
  Ref lg(name ? call_method(logging, "getLogger"_s, name.get()) : nullptr);
  return lg ? set_global("logger"_s, lg) : -1;
}

int log_info(const char* message) {
  Ref lg(get_global("logger"_s));
  Ref msg(lg ? PyUnicode_FromString(message) : nullptr);
  Ref r(msg ? call_method(lg, "info"_s, msg.get()) : nullptr);
  return r ? 0 : -1;
}

}  // namespace frame
