// Declarations of functions, methods and constructors: the records a module
// writes as tables, and the factories that pair a record with its body.
//
// A record is a constexpr description (name, docstring, parameters with
// defaults and annotations, return annotation).  The factories `fn`,
// `method` and `ctor` check at compile time that the parameter list matches
// the body and store the generated trampoline (dispatch.hpp).  What
// initialisation makes of a record (interned names, default objects) lives
// in the function object made from it (runtime.hpp), never in the record.
#pragma once

#include <cstdint>
#include <type_traits>

#include "frame/compat.hpp"

namespace frame {

constexpr int kMaxParams = 20;

// The names a module's declaration tables use unqualified, through
// `using namespace frame::declarations;`.
inline namespace declarations {

// The default value of a parameter, made into a Python object once, at
// initialisation (the value `__defaults__` shows and calls use).
struct Default {
  enum Tag : uint8_t { Required, None, Int, Float, True, False } tag = Required;
  long long i = 0;
  double d = 0.0;
};

constexpr Default required() { return {}; }
constexpr Default default_none() { return {Default::None}; }
constexpr Default default_int(long long v) { return {Default::Int, v}; }
constexpr Default default_float(double v) { return {Default::Float, 0, v}; }
constexpr Default default_bool(bool v) { return {v ? Default::True : Default::False}; }

struct Param {
  const char* name = nullptr;
  Default def{};
  const char* annotation = nullptr;  // annotation text, or nullptr
};

// param("x"), param("x", default_int(1)), param("x", required(), "bool")
constexpr Param param(const char* name, Default d = {}, const char* annotation = nullptr) {
  return Param{name, d, annotation};
}
// A parameter annotated "int" (the annotation text is implied).
constexpr Param int_param(const char* name, Default d = {}) { return Param{name, d, "int"}; }

// Result coercion, chosen explicitly and never implied by the annotation.
enum class Coerce : uint8_t {
  None,  // the body's result is returned as it is
  Int,   // results of the annotation "int": None and exact ints unchanged, other numbers through int()
};

// The return annotation (documentation only) and the coercion of results.
struct Returns {
  const char* annotation = nullptr;
  Coerce coerce = Coerce::None;
};
// returns() for no annotation, returns("bool"), returns("int", Coerce::Int).
constexpr Returns returns(const char* annotation = nullptr, Coerce coerce = Coerce::None) {
  return Returns{annotation, coerce};
}

}  // namespace declarations

struct FuncDef;
class Call;

namespace detail {

struct Runtime;

using CtorTrampoline = int (*)(Runtime& rt, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

template <class T>
struct FnTraits;
template <class... A>
struct LastIsCall : std::false_type {};
template <class A>
struct LastIsCall<A> : std::is_same<A, Call> {};
template <class A, class B, class... Rest>
struct LastIsCall<A, B, Rest...> : LastIsCall<B, Rest...> {};

template <class R, class... A>
struct FnTraits<R (*)(A...)> {
  using Result = R;
  static constexpr int N = sizeof...(A);
  // A last parameter of type Call receives the running call; it is no
  // parameter of the Python function.
  static constexpr bool kCall = LastIsCall<A...>::value;
};

template <auto Body, bool Method>
struct Trampoline;

}  // namespace detail

struct FuncDef {
  const char* name = nullptr;  // plain name used in binding messages
  const char* doc = nullptr;
  Param params[kMaxParams] = {};
  int nparams = 0;
  const char* ret_annotation = nullptr;
  Coerce coerce = Coerce::None;
  bool native_method = false;  // self is passed first and type-checked
  vectorcallfunc call = nullptr;
  detail::CtorTrampoline ctor = nullptr;
};

namespace detail {
// A record for `Body`; with `Method` the body's first parameter is `self`.
template <auto Body, bool Method, class... P>
constexpr FuncDef record(const char* name, const char* doc, Returns r, P... ps) {
  static_assert(FnTraits<decltype(Body)>::N == sizeof...(P) + (Method ? 1 : 0) + FnTraits<decltype(Body)>::kCall,
                "parameter list does not match the body");
  static_assert(sizeof...(P) <= kMaxParams);
  FuncDef d{};
  d.name = name;
  d.doc = doc;
  d.ret_annotation = r.annotation;
  d.coerce = r.coerce;
  d.native_method = Method;
  d.call = &Trampoline<Body, Method>::call;
  const Param list[] = {ps..., Param{}};
  d.nparams = static_cast<int>(sizeof...(P));
  for (int i = 0; i < d.nparams; i++) d.params[i] = list[i];
  return d;
}
}  // namespace detail

// A module-level function (or a method of a plain Python class, whose `self`
// is an ordinary parameter).
template <auto Body, class... P>
constexpr FuncDef fn(const char* name, const char* doc, Returns r, P... ps) {
  return detail::record<Body, false>(name, doc, r, ps...);
}

// A method of a native class: the body's first parameter is the instance.
template <auto Body, class... P>
constexpr FuncDef method(const char* name, const char* doc, Returns r, P... ps) {
  return detail::record<Body, true>(name, doc, r, ps...);
}

// The constructor of a native class (binding messages name "__cinit__").  A
// body without parameters ignores every argument given to the class.
template <auto Body, class... P>
constexpr FuncDef ctor(P... ps) {
  FuncDef d = detail::record<Body, true>("__cinit__", nullptr, returns(), ps...);
  d.call = nullptr;
  d.ctor = &detail::Trampoline<Body, true>::ctor;
  return d;
}

}  // namespace frame
