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
    return PyLong_FromLongLong(static_cast<long long>(r));
  } else if constexpr (std::is_integral_v<T> && std::is_unsigned_v<T>) {
    return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(r));
  } else if constexpr (std::is_same_v<T, std::optional<typename T::value_type>>) {
    if (!r) return nullptr;
    return to_result(*r);
  } else {
    static_assert(sizeof(T) == 0, "unsupported body result type");
  }
}

// Adds a traceback entry with an explicit fully qualified name.
void add_traceback_name(const char* fullname);

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

  static PyObject* finish(Function* f, PyObject* r) {
    if constexpr (kMayCoerce) {
      if (r && f->def->coerce == Coerce::Int) r = coerce_int_result(r);
    }
    if (!r) add_traceback(*f->def);
    return r;
  }

  template <class Tup>
  static PyObject* invoke(Tup& t) {
    using R = typename Tr::Result;
    if constexpr (std::is_void_v<R>) {
      std::apply(Body, std::move(t));
      Py_RETURN_NONE;
    } else {
      return to_result(std::apply(Body, std::move(t)));
    }
  }

  static PyObject* call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Function* f = reinterpret_cast<Function*>(self);
    const FuncDef& d = *f->def;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if constexpr (Method) {
      if (!self_ok(d, args, nargs)) {
        add_traceback(d);
        return nullptr;
      }
    }
    PyObject* const* a = args + Skip;
    Py_ssize_t na = nargs - Skip;
    Args t{};
    if constexpr (Method) std::get<0>(t) = reinterpret_cast<std::tuple_element_t<0, Args>>(args[0]);
    if constexpr (N == 0) {
      if (na != 0 || (kwnames && PyTuple_GET_SIZE(kwnames))) {
        bind_args(d, d.name, a, na, kwnames, nullptr);
        add_traceback(d);
        return nullptr;
      }
      return finish(f, invoke(t));
    } else {
      PyObject* slots[N];
      // Why a second, positional-only binder: nearly every call passes its
      // arguments by position, and filling the slots from the vector and the
      // natively stored defaults skips the keyword walk of bind_args.  A
      // missing required argument falls through to bind_args for its message.
      if (!kwnames && na <= N) {
        Py_ssize_t i = 0;
        for (; i < na; i++) slots[i] = a[i];
        for (; i < N; i++) {
          slots[i] = d.sig.defaults[i];
          if (!slots[i]) {
            bind_args(d, d.name, a, na, kwnames, slots);
            add_traceback(d);
            return nullptr;
          }
        }
      } else if (!bind_args(d, d.name, a, na, kwnames, slots)) {
        add_traceback(d);
        return nullptr;
      }
      if (!convert_all<Skip>(slots, d, t, std::make_index_sequence<N>{})) {
        add_traceback(d);
        return nullptr;
      }
      return finish(f, invoke(t));
    }
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
      PyObject* slots[N];
      // The same positional fast path as `call`; binding messages name
      // "__cinit__" rather than the record's name.
      bool bound = false;
      if (!kwnames && na <= N) {
        bound = true;
        for (Py_ssize_t i = 0; i < N; i++) {
          slots[i] = i < na ? a[i] : d.sig.defaults[i];
          if (!slots[i]) {
            bound = false;
            break;
          }
        }
      }
      if ((!bound && !bind_args(d, "__cinit__", a, na, kwnames, slots)) ||
          !convert_all<Skip>(slots, d, t, std::make_index_sequence<N>{})) {
        add_traceback(d);
        return -1;
      }
      rc = std::apply(Body, std::move(t));
    }
    if (rc < 0) add_traceback(d);
    return rc;
  }
};

}  // namespace detail
}  // namespace frame
