// The runtime side of a declared function: what preparation makes of a
// record (interned parameter names, default objects, the fully qualified
// name), the class that owns a native method and the traceback code object,
// and the function object that carries them.  Records stay constant; a
// function object holds its own runtime, and a native class holds the one of
// its constructor (types.cpp).
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

}  // namespace frame::detail
