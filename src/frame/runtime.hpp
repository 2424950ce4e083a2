// The runtime side of a declared function: what preparation makes of a
// record (interned parameter names, default objects, the fully qualified
// name), the class that owns a native method and the traceback code object,
// and the function object that carries them.  Records stay constant; a
// function object holds its own runtime, and a native class holds the one of
// its constructor (types.cpp).  A body that takes locks receives its
// running Call.
#pragma once

#include "frame/compat.hpp"
#include "frame/declare.hpp"

namespace frame::detail {

// Everything a call reads sits here, so that a call reads one object: the
// record's coercion is copied in.
struct Runtime {
  const FuncDef* def = nullptr;
  PyTypeObject* self_type = nullptr;  // native methods: the class they were installed in
  int nrequired = 0;
  Coerce coerce = Coerce::None;
  PyObject* names[kMaxParams] = {};     // interned parameter names
  PyObject* defaults[kMaxParams] = {};  // the default objects (nullptr: required)
  PyObject* fullname = nullptr;         // dotted module name + "." + qualified name
  PyObject* tb_code = nullptr;          // code object of traceback entries, published once
};

// The function object: one type for every Python-visible function and
// method of a module (function.cpp).
struct Function {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  Runtime rt;
  // Introspection attributes.
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* defaults;
  PyObject* kwdefaults;
  PyObject* annotations;
  PyObject* globals;
  PyObject* code;
};

// One running call of a function whose body takes its Call: the traceback
// object of the function's entry, once a locked section added it (owned).
struct CallState {
  Runtime* rt;
  PyObject* entry = nullptr;
  explicit CallState(Runtime* r) : rt(r) {}
  CallState(const CallState&) = delete;
  CallState& operator=(const CallState&) = delete;
  ~CallState() { Py_XDECREF(entry); }
};

template <auto Body, bool Method>
struct Trampoline;

}  // namespace frame::detail

namespace frame {

// The running call of a native function, for a body that takes locks: a
// body whose last parameter is a Call receives it from the trampoline and
// hands it to its locked sections, which add the function's traceback entry
// before they leave the lock, as a Python `with` statement does.
class Call {
 public:
  Call() = default;
  // Adds the function's traceback entry to the pending error unless the
  // error carries it already from this call.
  void add_traceback() const;

 private:
  template <auto, bool>
  friend struct detail::Trampoline;
  explicit Call(detail::CallState* s) : s_(s) {}
  detail::CallState* s_ = nullptr;
};

}  // namespace frame
