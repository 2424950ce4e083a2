// The module declaration, the init entry, and the helpers a module's
// module-level code uses: globals, imports, functions, plain classes and
// the logger.
#pragma once

#include <initializer_list>
#include <span>

#include "frame/declare.hpp"
#include "frame/types.hpp"

namespace frame {

struct ModuleDef {
  const char* dotted = nullptr;  // "talvora.memory.mesqua"; the short name is its last part
  const char* doc = nullptr;
  // File name shown in traceback entries; when unset, the package's own
  // layout gives it ("talvora.memory.mesqua": "src/memory/mesqua.cpp").
  const char* source = nullptr;
  std::span<const TypeDef* const> types{};
  std::span<const FuncDef* const> functions{};  // module-level functions, bound by add_functions()
  int (*body)(PyObject* module) = nullptr;      // module-level code, in source order
};

// The init entry: returns the module definition for multi-phase init.
PyObject* module_init(const ModuleDef& def);

// Module globals (the namespace of the module being or having been built).
PyObject* globals();

// Looks up a module global, then a builtin; NameError when neither exists.
PyObject* get_global(PyObject* name);               // new reference
int set_global(const char* name, PyObject* value);  // does not steal
int set_global(PyObject* name, PyObject* value);

// Module-level code helpers.
int import_module(const char* name);  // binds `import name`
int import_from(const char* module, std::initializer_list<const char*> names, int level = 0);
int add_function(const FuncDef& d);  // creates and binds a module-level function
int add_functions();                 // binds the declaration's `functions`, in order, where the module code reaches it
// Creates a plain Python class through the metaclass protocol; binds it.
PyObject* make_class(const char* name, const char* doc, std::initializer_list<const FuncDef*> methods,
                     PyObject* bases = nullptr);  // borrowed result (bound in globals)
int make_logger();                                // logger = logging.getLogger(__name__)
int log_info(const char* message);

}  // namespace frame

#define TALVORA_MODULE(short_name, def) \
  PyMODINIT_FUNC PyInit_##short_name(void) { return frame::module_init(def); }
