// Declarations of functions, methods and constructors: the records a module
// writes as tables, and the factories that pair a record with its body.
//
// A record is a constexpr description (name, docstring, parameters with
// defaults and annotations, return annotation).  The factories `fn`,
// `method` and `ctor` check at compile time that the parameter list matches
// the body and store the generated trampoline (dispatch.hpp).  The runtime
// part of a record (interned names, default objects) is filled in once, at
// initialisation, when the record is installed.
#pragma once

#include <cstdint>

#include "frame/compat.hpp"

namespace frame {

constexpr int kMaxParams = 20;

struct Default {
  enum Tag : uint8_t { Required, None, Int, Float, True, False, String, Tuple } tag = Required;
  long long i = 0;
  double d = 0.0;
  const char* s = nullptr;
  const Default* items = nullptr;  // for Tuple
  int nitems = 0;
};

constexpr Default required() { return {}; }
constexpr Default none() { return {Default::None}; }
constexpr Default dint(long long v) { return {Default::Int, v}; }
constexpr Default dfloat(double v) { return {Default::Float, 0, v}; }
constexpr Default dbool(bool v) { return {v ? Default::True : Default::False}; }
constexpr Default dstr(const char* s) { return {Default::String, 0, 0.0, s}; }

struct Param {
  const char* name = nullptr;
  Default def{};
  const char* annotation = nullptr;  // annotation text, or nullptr
};

// p("x"), p("x", dint(1)), p("x", dint(1), "int")
constexpr Param p(const char* name, Default d = {}, const char* ann = nullptr) { return Param{name, d, ann}; }
// A parameter annotated "int" (the annotation text is implied).
constexpr Param pint(const char* name, Default d = {}) { return Param{name, d, "int"}; }

struct Ret {
  const char* annotation = nullptr;
  bool coerce_int = false;
};
constexpr Ret ret(const char* ann) {
  return Ret{ann, ann && ann[0] == 'i' && ann[1] == 'n' && ann[2] == 't' && ann[3] == 0};
}
constexpr Ret noret() { return Ret{}; }

struct FuncDef;

namespace detail {

// Runtime data of a record, made at initialisation.
struct Sig {
  PyObject* names[kMaxParams] = {};     // interned parameter names
  PyObject* defaults[kMaxParams] = {};  // native copies of the defaults (nullptr: required)
  int nrequired = 0;
  PyObject* qualname = nullptr;
  PyObject* fullname = nullptr;  // dotted module name + "." + qualname, for tracebacks
  PyCodeObject* tb_code = nullptr;
};

using CtorTrampoline = int (*)(const FuncDef* d, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);

template <class T>
struct FnTraits;
template <class R, class... A>
struct FnTraits<R (*)(A...)> {
  using Ret = R;
  static constexpr int N = sizeof...(A);
};

template <auto Body, bool Method>
struct Gen;

}  // namespace detail

struct FuncDef {
  const char* name = nullptr;      // plain name used in binding messages
  const char* qualname = nullptr;  // nullptr: derived from the class name and `name`
  const char* doc = nullptr;
  Param params[kMaxParams] = {};
  int nparams = 0;
  const char* ret_annotation = nullptr;
  bool coerce_int = false;     // results coerced for the return annotation "int"
  bool native_method = false;  // self is passed first and type-checked
  vectorcallfunc call = nullptr;
  detail::CtorTrampoline ctor = nullptr;
  mutable PyTypeObject* self_type = nullptr;  // set when installed in a native class
  mutable detail::Sig sig{};
};

namespace detail {
template <class... P>
constexpr void fill_params(FuncDef& d, P... ps) {
  Param arr[] = {ps..., Param{}};
  d.nparams = static_cast<int>(sizeof...(P));
  for (int i = 0; i < d.nparams; i++) d.params[i] = arr[i];
}
}  // namespace detail

// A module-level function (or a method of a plain Python class, whose `self`
// is an ordinary parameter).
template <auto Body, class... P>
constexpr FuncDef fn(const char* name, const char* doc, Ret r, P... ps) {
  static_assert(detail::FnTraits<decltype(Body)>::N == sizeof...(P), "parameter list does not match the body");
  static_assert(sizeof...(P) <= kMaxParams);
  FuncDef d{};
  d.name = name;
  d.doc = doc;
  d.ret_annotation = r.annotation;
  d.coerce_int = r.coerce_int;
  d.call = &detail::Gen<Body, false>::call;
  detail::fill_params(d, ps...);
  return d;
}

// A method of a native class: the body's first parameter is the instance.
template <auto Body, class... P>
constexpr FuncDef method(const char* name, const char* doc, Ret r, P... ps) {
  static_assert(detail::FnTraits<decltype(Body)>::N == sizeof...(P) + 1, "parameter list does not match the body");
  static_assert(sizeof...(P) <= kMaxParams);
  FuncDef d{};
  d.name = name;
  d.doc = doc;
  d.ret_annotation = r.annotation;
  d.coerce_int = r.coerce_int;
  d.native_method = true;
  d.call = &detail::Gen<Body, true>::call;
  detail::fill_params(d, ps...);
  return d;
}

// The constructor of a native class (binding messages name "__cinit__").  A
// body without parameters ignores every argument given to the class.
template <auto Body, class... P>
constexpr FuncDef ctor(P... ps) {
  static_assert(detail::FnTraits<decltype(Body)>::N == sizeof...(P) + 1, "parameter list does not match the body");
  FuncDef d{};
  d.name = "__cinit__";
  d.native_method = true;
  d.ctor = &detail::Gen<Body, true>::ctor;
  detail::fill_params(d, ps...);
  return d;
}

}  // namespace frame
