// The generated trampolines: binding, conversion, the call of the typed body,
// result conversion and coercion, and traceback entries on failure.
//
// `Trampoline<Body, Method>` is instantiated once per declared body.  Only the
// success path is inlined; every failure goes to out-of-line code in
// binding.cpp and traceback.cpp, so a trampoline stays small.
#pragma once

#include <cstddef>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "frame/convert.hpp"
#include "frame/declare.hpp"
#include "frame/ref.hpp"
#include "frame/runtime.hpp"

namespace frame {

namespace detail {

// Binds vectorcall arguments to the record's parameters (borrowed refs in
// `out`); with `out` null it only raises the binding error.
bool bind_args(const Runtime& rt, const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out);
// Adds a traceback entry named by the function's fully qualified name.
void add_traceback(Runtime& rt);
// Self checks for native methods; false with TypeError set.
bool check_self(const Runtime& rt, PyObject* const* args, Py_ssize_t nargs);

// C integer results (not bool, which converts to True/False).
template <class T>
struct is_c_integer : std::bool_constant<std::is_integral_v<T> && !std::is_same_v<T, bool>> {};
template <class T>
struct is_c_integer<std::optional<T>> : is_c_integer<T> {};

// The self check of a native method, inline for the common case of an
// instance of exactly the installing class.
inline bool self_ok(const Runtime& rt, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs >= 1 && rt.self_type && Py_TYPE(args[0]) == rt.self_type) return true;
  return check_self(rt, args, nargs);
}

template <class T>
struct BodyArgs;
template <class R, class... A>
struct BodyArgs<R (*)(A...)> {
  using Tuple = std::tuple<std::decay_t<A>...>;
};

template <int Skip, class Tuple, std::size_t... I>
inline bool convert_all(PyObject* const* slots, const FuncDef& d, Tuple& t, std::index_sequence<I...>) {
  return (Converter<std::tuple_element_t<I + Skip, Tuple>>::get(
              slots[I], [&d] { return d.params[I].name; }, std::get<I + Skip>(t)) &&
          ...);
}

template <auto Body, bool Method>
struct Trampoline {
  using Tr = FnTraits<decltype(Body)>;
  using Args = typename BodyArgs<decltype(Body)>::Tuple;
  static constexpr int Skip = Method ? 1 : 0;
  static constexpr bool kCall = Tr::kCall;
  static constexpr int N = Tr::N - Skip - (kCall ? 1 : 0);

  // A C integer result becomes an exact int, which the "int" coercion
  // returns unchanged; only other results are checked.
  static constexpr bool kMayCoerce = !is_c_integer<typename Tr::Result>::value;

  static PyObject* coerce(const Runtime& rt, PyObject* r) {
    if constexpr (kMayCoerce) {
      if (r && rt.coerce == Coerce::Int) r = coerce_int_result(r);
    }
    return r;
  }

  // Runs the body: its result, coerced, with the traceback entry on failure.
  // A body that takes its Call gets one whose state lives here; its locked
  // sections may have added the entry already, which is then not repeated.
  static PyObject* complete(Runtime& rt, Args& t) {
    if constexpr (kCall) {
      CallState cs{&rt};
      std::get<Tr::N - 1>(t) = Call(&cs);
      PyObject* r = coerce(rt, invoke(t));
      if (!r) [[unlikely]]
        Call(&cs).add_traceback();
      return r;
    } else {
      PyObject* r = coerce(rt, invoke(t));
      if (!r) [[unlikely]]
        add_traceback(rt);
      return r;
    }
  }

  // The same for a constructor body (0 on success, -1 with an exception set).
  static int construct(Runtime& rt, Args& t) {
    if constexpr (kCall) {
      CallState cs{&rt};
      std::get<Tr::N - 1>(t) = Call(&cs);
      const int rc = std::apply(Body, std::move(t));
      if (rc < 0) [[unlikely]]
        Call(&cs).add_traceback();
      return rc;
    } else {
      const int rc = std::apply(Body, std::move(t));
      if (rc < 0) [[unlikely]]
        add_traceback(rt);
      return rc;
    }
  }

  static PyObject* invoke(Args& t) {
    using R = typename Tr::Result;
    if constexpr (std::is_void_v<R>) {
      std::apply(Body, std::move(t));
      Py_RETURN_NONE;
    } else {
      return to_result(std::apply(Body, std::move(t)));
    }
  }

  // Converts parameter I from the argument vector or, when not given, from
  // its default: natively for defaults of the parameter's own kind, otherwise
  // from the default object.  All unbound parameters must have defaults.
  template <bool AllGiven, std::size_t I>
  static bool convert_one(PyObject* const* a, Py_ssize_t na, const Runtime& rt, Args& t) {
    using T = std::tuple_element_t<I + Skip, Args>;
    T& out = std::get<I + Skip>(t);
    auto name = [&rt] { return rt.def->params[I].name; };
    if (AllGiven || static_cast<Py_ssize_t>(I) < na) return Converter<T>::get(a[I], name, out);
    if (native_default(rt.def->params[I].def, out)) return true;
    return Converter<T>::get(rt.defaults[I], name, out);
  }
  template <std::size_t... I>
  static bool convert_positional(PyObject* const* a, Py_ssize_t na, const Runtime& rt, Args& t,
                                 std::index_sequence<I...>) {
    // Every argument given (the common case) needs no test per parameter.
    if (na == N) return (convert_one<true, I>(a, na, rt, t) && ...);
    return (convert_one<false, I>(a, na, rt, t) && ...);
  }

  // Binds through bind_args (keywords, binding errors) and converts.  Always
  // inlined: `call` uses it on its keyword path, and an out-of-line copy costs
  // the positional path instructions.
  [[gnu::always_inline]] static inline bool bind_general(const Runtime& rt, const char* fname, PyObject* const* a,
                                                         Py_ssize_t na, PyObject* kwnames, Args& t) {
    if constexpr (N == 0) {
      if (na == 0 && (!kwnames || !PyTuple_GET_SIZE(kwnames))) return true;
      bind_args(rt, fname, a, na, kwnames, nullptr);
      return false;
    } else {
      PyObject* slots[N];
      return bind_args(rt, fname, a, na, kwnames, slots) &&
             convert_all<Skip>(slots, *rt.def, t, std::make_index_sequence<N>{});
    }
  }

  // A failed call of the function object `self`: its traceback entry.  Out of
  // line and reached through `self`, so the fast path keeps one base pointer.
  [[gnu::noinline]] static PyObject* failed(PyObject* self) {
    add_traceback(reinterpret_cast<Function*>(self)->rt);
    return nullptr;
  }

  // Calls whose self is not exactly the installing class, and bodies
  // without parameters given arguments.
  [[gnu::noinline]] static PyObject* call_general(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                  PyObject* kwnames) {
    Runtime& rt = reinterpret_cast<Function*>(self)->rt;
    if constexpr (Method) {
      if (!self_ok(rt, args, nargs)) {
        add_traceback(rt);
        return nullptr;
      }
    }
    Args t{};
    if constexpr (Method) std::get<0>(t) = reinterpret_cast<std::tuple_element_t<0, Args>>(args[0]);
    if (!bind_general(rt, rt.def->name, args + Skip, nargs - Skip, kwnames, t)) {
      add_traceback(rt);
      return nullptr;
    }
    return complete(rt, t);
  }

  static PyObject* call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Function* fn = reinterpret_cast<Function*>(self);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // Why the fast path: nearly every call passes its arguments by position
    // on an instance of exactly the installing class; it converts straight
    // from the vector and the defaults and skips the keyword walk.
    const Py_ssize_t na = nargs - Skip;
    if constexpr (Method) {
      if (nargs < 1 || Py_TYPE(args[0]) != fn->rt.self_type) [[unlikely]]
        return call_general(self, args, nargs, kwnames);
    }
    Args t{};
    if constexpr (Method) std::get<0>(t) = reinterpret_cast<std::tuple_element_t<0, Args>>(args[0]);
    if constexpr (N == 0) {
      if (nargs != Skip || kwnames) [[unlikely]]
        return call_general(self, args, nargs, kwnames);
    } else if (!kwnames && na <= N && na >= fn->rt.nrequired) [[likely]] {
      if (!convert_positional(args + Skip, na, fn->rt, t, std::make_index_sequence<N>{})) [[unlikely]]
        return failed(self);
    } else if (!bind_general(fn->rt, fn->rt.def->name, args + Skip, na, kwnames, t)) [[unlikely]] {
      return failed(self);
    }
    if constexpr (kCall) {
      return complete(fn->rt, t);
    } else {
      PyObject* r = coerce(fn->rt, invoke(t));
      if (!r) [[unlikely]]
        return failed(self);
      return r;
    }
  }

  // Constructor bodies return 0 on success, -1 with an exception set.
  static int ctor(Runtime& rt, PyObject* self, PyObject* const* a, Py_ssize_t na, PyObject* kwnames) {
    static_assert(Method, "constructors take self");
    Args t{};
    std::get<0>(t) = reinterpret_cast<std::tuple_element_t<0, Args>>(self);
    if constexpr (N == 0) {
      (void)a;
      (void)na;
      (void)kwnames;
    } else {
      // The same positional fast path as `call`; binding messages name
      // "__cinit__" rather than the record's name.
      const bool ok = (!kwnames && na <= N && na >= rt.nrequired)
                          ? convert_positional(a, na, rt, t, std::make_index_sequence<N>{})
                          : bind_general(rt, "__cinit__", a, na, kwnames, t);
      if (!ok) [[unlikely]] {
        add_traceback(rt);
        return -1;
      }
    }
    return construct(rt, t);
  }
};

}  // namespace detail
}  // namespace frame
