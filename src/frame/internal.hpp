// State and entry points shared by the frame's own source files.  One copy
// per module (see frame.hpp).  Only the frame's sources are compiled with
// TALVORA_FRAME_INTERNAL; a module that includes this header does not build.
#pragma once

#ifndef TALVORA_FRAME_INTERNAL
#error "frame/internal.hpp belongs to the frame's own sources; modules include frame/frame.hpp"
#endif

#include <cstdio>

#include "frame/frame.hpp"

namespace frame::detail {

extern const ModuleDef* g_def;  // the module being built
extern PyObject* g_globals;     // its namespace, once the execute slot runs
extern PyObject* g_builtins;    // dict of the builtins module

// The module's short name: the last part of its dotted name.
const char* short_name();
// File name shown in traceback entries and code objects.
const char* source_name();

// Prepares the runtime data of a record: interned parameter names, default
// objects, qualified names (`qualname`, or the record's name when nullptr).
int prepare(const FuncDef& d, const char* qualname);
// Readies the module's function type (idempotent).
int ready_function_type();
// Creates a function object for a record (module-level function or method).
PyObject* make_function(const FuncDef& d, const char* qualname);
// "Class.member", made without allocating.
struct QualName {
  char text[256];
};
inline QualName qualified(const char* cls, const char* member) {
  QualName q;
  snprintf(q.text, sizeof q.text, "%s.%s", cls, member);
  return q;
}
// Adds a traceback entry with an explicit fully qualified name.
void add_traceback_name(const char* fullname);
// Finds the interpreter's lock types for the locked-section fast path.
int init_lock_types();
// Readies one declared type and binds it in the module namespace.
int ready_type(TypeDef* td);

}  // namespace frame::detail
