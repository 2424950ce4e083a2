// State and entry points shared by the frame's own source files; not
// included by modules.  One copy per module (see frame.hpp).
#pragma once

#include "frame/frame.hpp"

namespace frame::detail {

extern const ModuleDef* g_def;  // the module being built
extern PyObject* g_globals;     // its namespace, once the execute slot runs
extern PyObject* g_builtins;    // dict of the builtins module

// The module's short name: the last part of its dotted name.
const char* short_name();
// File name shown in traceback entries and code objects.
const char* source_name();

// Prepares the runtime data of a record: interned names, defaults, names.
int prepare(const FuncDef& d, const char* qualname);
// Readies the module's function type (idempotent).
int ready_function_type();
// Creates a function object for a record (module-level or plain-class method).
PyObject* make_function(const FuncDef& d, const char* qualname);
// Finds the interpreter's lock types for the locked-section fast path.
int init_lock_types();
// Readies one declared type and binds it in the module namespace.
int ready_type(TypeDef* td);

}  // namespace frame::detail
