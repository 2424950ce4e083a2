// State and entry points shared by the frame's own source files.  One copy
// per module (see frame.hpp).  Only the frame's sources are compiled with
// TALVORA_FRAME_INTERNAL; a module that includes this header does not build.
#pragma once

#ifndef TALVORA_FRAME_INTERNAL
#error "frame/internal.hpp belongs to the frame's own sources; modules include frame/frame.hpp"
#endif

#include <atomic>
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

// Prepares the runtime of a record: interned parameter names, default
// objects, the owning class of a native method and the fully qualified name
// (`qualname`, or the record's name when nullptr).  A runtime starts zeroed;
// after a failure, `release` frees what was made.
int prepare(const FuncDef& d, Runtime& rt, PyTypeObject* owner, const char* qualname);
void release(Runtime& rt);
// Readies the module's function type (idempotent).
int ready_function_type();
// Gives a zero-initialised static type the reference its static storage
// holds (PyVarObject_HEAD_INIT's 1), so that a failing PyType_Ready, which
// drops the descriptors it made, cannot free it.
inline void hold_static_type(PyTypeObject* t) {
  if (Py_REFCNT(t) == 0) Py_SET_REFCNT(t, 1);
}
// Creates a function object for a record: a module-level function, or a
// method installed in `owner`.
PyObject* make_function(const FuncDef& d, const char* qualname, PyTypeObject* owner = nullptr);
// Stores `made` (a new reference, or nullptr after an error) in the empty
// `slot` with one compare-and-swap, so that an object made lazily is
// published once; returns the object now in the slot (borrowed), dropping
// `made` when another thread published first.
inline PyObject* publish(PyObject*& slot, PyObject* made) {
  if (!made) return nullptr;
  PyObject* expected = nullptr;
  if (std::atomic_ref<PyObject*>(slot).compare_exchange_strong(expected, made, std::memory_order_acq_rel)) return made;
  Py_DECREF(made);
  return expected;
}
// The object in a slot filled by `publish`, or nullptr.
inline PyObject* published(PyObject*& slot) { return std::atomic_ref<PyObject*>(slot).load(std::memory_order_acquire); }
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
int ready_type(const TypeDef* td);

}  // namespace frame::detail
