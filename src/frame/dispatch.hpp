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

namespace frame {

// Converts a body's C++ result to a new reference (nullptr passes through).
template <class R>
inline PyObject* to_result(R&& r) {
  using T = std::decay_t<R>;
  if constexpr (std::is_same_v<T, PyObject*>) {
    return r;
  } else if constexpr (std::is_same_v<T, Ref>) {
    return r.release();
  } else if constexpr (std::is_same_v<T, bool>) {
    PyObject* o = r ? Py_True : Py_False;
    Py_INCREF(o);
    return o;
  } else if constexpr (std::is_same_v<T, double>) {
    return PyFloat_FromDouble(r);
  } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
    // Cached small ints come cheapest through PyLong_FromUnsignedLong.
    if (r >= 0 && r <= 256) return PyLong_FromUnsignedLong(static_cast<unsigned long>(r));
    if constexpr (sizeof(T) <= sizeof(long)) return new_long(static_cast<long>(r));
    else return PyLong_FromLongLong(static_cast<long long>(r));
  } else if constexpr (std::is_integral_v<T> && std::is_unsigned_v<T>) {
    if (r <= 256) return PyLong_FromUnsignedLong(static_cast<unsigned long>(r));
    if constexpr (sizeof(T) <= sizeof(unsigned long)) return new_ulong(static_cast<unsigned long>(r));
    else return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(r));
  } else if constexpr (std::is_same_v<T, std::optional<typename T::value_type>>) {
    if (!r) return nullptr;
    return to_result(*r);
  } else {
    static_assert(sizeof(T) == 0, "unsupported body result type");
  }
}

namespace detail {

// The function object: one type for every Python-visible function and
// method of a module (function.cpp).
struct Function {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FuncDef* def;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* defaults;  // introspection only
  PyObject* kwdefaults;
  PyObject* annotations;
  PyObject* globals;
  PyObject* code;
};

// Binds vectorcall arguments to the record's parameters (borrowed refs in
// `out`); with `out` null it only raises the binding error.
bool bind_args(const FuncDef& d, const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out);
// Adds a traceback entry named by the record's fully qualified name.
void add_traceback(const FuncDef& d);
// Self checks for native methods; false with TypeError set.
bool check_self(const FuncDef& d, PyObject* const* args, Py_ssize_t nargs);

// C integer results (not bool, which converts to True/False).
template <class T>
struct is_c_integer : std::bool_constant<std::is_integral_v<T> && !std::is_same_v<T, bool>> {};
template <class T>
struct is_c_integer<std::optional<T>> : is_c_integer<T> {};

// The self check of a native method, inline for the common case of an
// instance of exactly the installing class.
inline bool self_ok(const FuncDef& d, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs >= 1 && d.self_type && Py_TYPE(args[0]) == d.self_type) return true;
  return check_self(d, args, nargs);
}

template <class T>
struct BodyArgs;
template <class R, class... A>
struct BodyArgs<R (*)(A...)> {
  using Tuple = std::tuple<std::decay_t<A>...>;
};

template <int Skip, class Tuple, std::size_t... I>
inline bool convert_all(PyObject* const* slots, const FuncDef& d, Tuple& t, std::index_sequence<I...>) {
  return (Converter<std::tuple_element_t<I + Skip, Tuple>>::get(slots[I], d.params[I].name, std::get<I + Skip>(t)) &&
          ...);
}

template <auto Body, bool Method>
struct Trampoline {
  using Tr = FnTraits<decltype(Body)>;
  using Args = typename BodyArgs<decltype(Body)>::Tuple;
  static constexpr int Skip = Method ? 1 : 0;
  static constexpr int N = Tr::N - Skip;

  // A C integer result becomes an exact int, which the "int" coercion
  // returns unchanged; only other results are checked.
  static constexpr bool kMayCoerce = !is_c_integer<typename Tr::Result>::value;

  static PyObject* finish(const FuncDef& d, PyObject* r) {
    if constexpr (kMayCoerce) {
      if (r && d.coerce == Coerce::Int) r = coerce_int_result(r);
    }
    if (!r) [[unlikely]]
      add_traceback(d);
    return r;
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
  static bool convert_one(PyObject* const* a, Py_ssize_t na, const FuncDef& d, Args& t) {
    using T = std::tuple_element_t<I + Skip, Args>;
    T& out = std::get<I + Skip>(t);
    if (AllGiven || static_cast<Py_ssize_t>(I) < na) return Converter<T>::get(a[I], d.params[I].name, out);
    if (native_default(d.params[I].def, out)) return true;
    return Converter<T>::get(d.sig.defaults[I], d.params[I].name, out);
  }
  template <std::size_t... I>
  static bool convert_positional(PyObject* const* a, Py_ssize_t na, const FuncDef& d, Args& t,
                                 std::index_sequence<I...>) {
    // Every argument given (the common case) needs no test per parameter.
    if (na == N) return (convert_one<true, I>(a, na, d, t) && ...);
    return (convert_one<false, I>(a, na, d, t) && ...);
  }

  // Binds through bind_args (keywords, binding errors) and converts.  Always
  // inlined: `call` uses it on its keyword path, and an out-of-line copy costs
  // the positional path instructions.
  [[gnu::always_inline]] static inline bool bind_general(const FuncDef& d, const char* fname, PyObject* const* a, Py_ssize_t na, PyObject* kwnames,
                           Args& t) {
    if constexpr (N == 0) {
      if (na == 0 && (!kwnames || !PyTuple_GET_SIZE(kwnames))) return true;
      bind_args(d, fname, a, na, kwnames, nullptr);
      return false;
    } else {
      PyObject* slots[N];
      return bind_args(d, fname, a, na, kwnames, slots) &&
             convert_all<Skip>(slots, d, t, std::make_index_sequence<N>{});
    }
  }

  // Calls whose self is not exactly the installing class, and bodies
  // without parameters given arguments.
  [[gnu::noinline]] static PyObject* call_general(const FuncDef& d, PyObject* const* args, Py_ssize_t nargs,
                                                  PyObject* kwnames) {
    if constexpr (Method) {
      if (!self_ok(d, args, nargs)) {
        add_traceback(d);
        return nullptr;
      }
    }
    Args t{};
    if constexpr (Method) std::get<0>(t) = reinterpret_cast<std::tuple_element_t<0, Args>>(args[0]);
    if (!bind_general(d, d.name, args + Skip, nargs - Skip, kwnames, t)) {
      add_traceback(d);
      return nullptr;
    }
    return finish(d, invoke(t));
  }

  static PyObject* call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const FuncDef& d = *reinterpret_cast<Function*>(self)->def;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // Why the fast path: nearly every call passes its arguments by position
    // on an instance of exactly the installing class; it converts straight
    // from the vector and the defaults and skips the keyword walk.
    const Py_ssize_t na = nargs - Skip;
    if constexpr (Method) {
      if (nargs < 1 || Py_TYPE(args[0]) != d.self_type) [[unlikely]]
        return call_general(d, args, nargs, kwnames);
    }
    Args t{};
    if constexpr (Method) std::get<0>(t) = reinterpret_cast<std::tuple_element_t<0, Args>>(args[0]);
    if constexpr (N == 0) {
      if (nargs != Skip || kwnames) [[unlikely]]
        return call_general(d, args, nargs, kwnames);
    } else if (!kwnames && na <= N && na >= d.sig.nrequired) [[likely]] {
      if (!convert_positional(args + Skip, na, d, t, std::make_index_sequence<N>{})) [[unlikely]] {
        add_traceback(d);
        return nullptr;
      }
    } else if (!bind_general(d, d.name, args + Skip, na, kwnames, t)) [[unlikely]] {
      add_traceback(d);
      return nullptr;
    }
    return finish(d, invoke(t));
  }

  // Constructor bodies return 0 on success, -1 with an exception set.
  static int ctor(const FuncDef* dp, PyObject* self, PyObject* const* a, Py_ssize_t na, PyObject* kwnames) {
    static_assert(Method, "constructors take self");
    const FuncDef& d = *dp;
    Args t{};
    std::get<0>(t) = reinterpret_cast<std::tuple_element_t<0, Args>>(self);
    int rc;
    if constexpr (N == 0) {
      (void)a;
      (void)na;
      (void)kwnames;
      rc = std::apply(Body, std::move(t));
    } else {
      // The same positional fast path as `call`; binding messages name
      // "__cinit__" rather than the record's name.
      const bool ok = (!kwnames && na <= N && na >= d.sig.nrequired)
                          ? convert_positional(a, na, d, t, std::make_index_sequence<N>{})
                          : bind_general(d, "__cinit__", a, na, kwnames, t);
      if (!ok) [[unlikely]] {
        add_traceback(d);
        return -1;
      }
      rc = std::apply(Body, std::move(t));
    }
    if (rc < 0) [[unlikely]]
      add_traceback(d);
    return rc;
  }
};

}  // namespace detail
}  // namespace frame
