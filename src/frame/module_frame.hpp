// The shared extension-module frame.
//
// A module declares its functions, methods and classes as tables (names,
// parameters with defaults and annotations, docstrings) and writes typed C++
// bodies.  The frame generates the vectorcall trampolines that bind and
// convert arguments, coerce results and add traceback entries; it owns module
// creation and initialisation, the function type, type-object conventions,
// pickling refusal, properties and logging.
//
// The C++ type of each body parameter selects its conversion:
//   int64_t / int32_t / uint32_t / uint64_t / uint16_t / uint8_t  native ints
//   I32x             signed 32-bit reporting "value too large to convert to int32_t"
//   double, bool     float conversion, truth value
//   PyObject*        any object (borrowed)
//   AnnInt           parameter annotated `int`: an int object (owned)
//   AnnI64           annotated `int`, then converted to int64_t
//   Exact<T,...>     exactly the builtin type T (optionally None / the note)
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>

namespace frame {

constexpr int kMaxParams = 20;

// ---------------------------------------------------------------------------
// Interned strings and constants created once at initialisation.

// A module-level interned string; all instances in one module are created at
// step (d) of initialisation.
class Str {
 public:
  explicit Str(const char* text);
  operator PyObject*() const { return obj_; }
  PyObject* get() const { return obj_; }
  const char* text() const { return text_; }

 private:
  friend int init_constants();
  const char* text_;
  PyObject* obj_ = nullptr;
  Str* next_;
};

// A module-level numeric constant (float or int), created at initialisation.
class Num {
 public:
  explicit Num(double v);
  explicit Num(long long v);
  operator PyObject*() const { return obj_; }
  PyObject* get() const { return obj_; }

 private:
  friend int init_constants();
  bool is_float_;
  double d_;
  long long i_;
  PyObject* obj_ = nullptr;
  Num* next_;
};

// ---------------------------------------------------------------------------
// Parameter declarations.

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
constexpr Param p(const char* name, Default d = {}, const char* ann = nullptr) {
  return Param{name, d, ann};
}
// A parameter annotated "int" (the annotation text is implied).
constexpr Param pint(const char* name, Default d = {}) { return Param{name, d, "int"}; }

// ---------------------------------------------------------------------------
// Argument conversion types.

struct I32x {
  int32_t v;
  operator int32_t() const { return v; }
};

// Owned reference that releases itself.
struct Ref {
  PyObject* o = nullptr;
  Ref() = default;
  explicit Ref(PyObject* x) : o(x) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& r) noexcept : o(r.o) { r.o = nullptr; }
  Ref& operator=(Ref&& r) noexcept {
    if (this != &r) {
      Py_XDECREF(o);
      o = r.o;
      r.o = nullptr;
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(o); }
  PyObject* get() const { return o; }
  PyObject* release() {
    PyObject* r = o;
    o = nullptr;
    return r;
  }
  explicit operator bool() const { return o != nullptr; }
  operator PyObject*() const { return o; }
};

// Annotated `int` parameter: exact int unchanged, other numbers through int().
struct AnnInt {
  Ref ref;
  PyObject* get() const { return ref.o; }
  operator PyObject*() const { return ref.o; }
};
// Annotated `int`, then converted to a native signed 64-bit integer.
struct AnnI64 {
  int64_t v;
  operator int64_t() const { return v; }
};

template <PyTypeObject* T, bool NoneOk = false, bool Note = false>
struct Exact {
  PyObject* o;
  operator PyObject*() const { return o; }
  bool is_none() const { return o == Py_None; }
};

// ---------------------------------------------------------------------------
// Conversion primitives (exact messages of the frame).

// Converts any object to a Python int through the integer protocol:
// new reference, or nullptr with the frame's messages.
PyObject* as_pylong(PyObject* o);

bool to_i64(PyObject* o, int64_t& out);
bool to_u64(PyObject* o, uint64_t& out);
bool to_i32(PyObject* o, int32_t& out, const char* too_large);
bool to_u32(PyObject* o, uint32_t& out);
bool to_u16(PyObject* o, uint16_t& out);
bool to_u8(PyObject* o, uint8_t& out);
bool to_double(PyObject* o, double& out);
// Annotated int: new reference or nullptr.
PyObject* ann_int(PyObject* o, const char* argname);
bool exact_check(PyObject* o, PyTypeObject* t, bool none_ok, bool note, const char* argname);
// Result coercion for the return annotation "int"; steals `r`.
PyObject* coerce_int_result(PyObject* r);

// Reads an exact int of at most one digit without a call; false otherwise.
inline bool compact_long(PyObject* o, long& v) {
  if (!PyLong_CheckExact(o)) return false;
  PyLongObject* l = reinterpret_cast<PyLongObject*>(o);
#if PY_VERSION_HEX >= 0x030C0000
  if (!_PyLong_IsCompact(l)) return false;
  v = static_cast<long>(_PyLong_CompactValue(l));
  return true;
#else
  const Py_ssize_t size = Py_SIZE(o);
  if (size == 0) {
    v = 0;
  } else if (size == 1) {
    v = static_cast<long>(l->ob_digit[0]);
  } else if (size == -1) {
    v = -static_cast<long>(l->ob_digit[0]);
  } else {
    return false;
  }
  return true;
#endif
}

constexpr const char* kMsgInt32 = "value too large to convert to int";
constexpr const char* kMsgInt32t = "value too large to convert to int32_t";

template <class T>
struct Conv;

template <>
struct Conv<int64_t> {
  static bool get(PyObject* o, const char*, int64_t& out) {
    long v;
    if (compact_long(o, v)) {
      out = v;
      return true;
    }
    return to_i64(o, out);
  }
};
template <>
struct Conv<uint64_t> {
  static bool get(PyObject* o, const char*, uint64_t& out) {
    long v;
    if (compact_long(o, v) && v >= 0) {
      out = static_cast<uint64_t>(v);
      return true;
    }
    return to_u64(o, out);
  }
};
template <>
struct Conv<int32_t> {
  static bool get(PyObject* o, const char*, int32_t& out) {
    long v;
    if (compact_long(o, v)) {
      out = static_cast<int32_t>(v);
      return true;
    }
    return to_i32(o, out, kMsgInt32);
  }
};
template <>
struct Conv<I32x> {
  static bool get(PyObject* o, const char*, I32x& out) {
    long v;
    if (compact_long(o, v)) {
      out.v = static_cast<int32_t>(v);
      return true;
    }
    return to_i32(o, out.v, kMsgInt32t);
  }
};
template <>
struct Conv<uint32_t> {
  static bool get(PyObject* o, const char*, uint32_t& out) {
    long v;
    if (compact_long(o, v) && v >= 0) {
      out = static_cast<uint32_t>(v);
      return true;
    }
    return to_u32(o, out);
  }
};
template <>
struct Conv<uint16_t> {
  static bool get(PyObject* o, const char*, uint16_t& out) { return to_u16(o, out); }
};
template <>
struct Conv<uint8_t> {
  static bool get(PyObject* o, const char*, uint8_t& out) { return to_u8(o, out); }
};
template <>
struct Conv<double> {
  static bool get(PyObject* o, const char*, double& out) { return to_double(o, out); }
};
template <>
struct Conv<bool> {
  static bool get(PyObject* o, const char*, bool& out) {
    if (o == Py_True) {
      out = true;
      return true;
    }
    if (o == Py_False || o == Py_None) {
      out = false;
      return true;
    }
    int r = PyObject_IsTrue(o);
    if (r < 0) return false;
    out = r != 0;
    return true;
  }
};
template <>
struct Conv<PyObject*> {
  static bool get(PyObject* o, const char*, PyObject*& out) {
    out = o;
    return true;
  }
};
template <>
struct Conv<AnnInt> {
  static bool get(PyObject* o, const char* name, AnnInt& out) {
    out.ref.o = ann_int(o, name);
    return out.ref.o != nullptr;
  }
};
template <>
struct Conv<AnnI64> {
  static bool get(PyObject* o, const char* name, AnnI64& out) {
    if (PyLong_CheckExact(o)) return to_i64(o, out.v);
    PyObject* v = ann_int(o, name);
    if (!v) return false;
    bool ok = to_i64(v, out.v);
    Py_DECREF(v);
    return ok;
  }
};
template <PyTypeObject* T, bool NoneOk, bool Note>
struct Conv<Exact<T, NoneOk, Note>> {
  static bool get(PyObject* o, const char* name, Exact<T, NoneOk, Note>& out) {
    out.o = o;
    if (Py_TYPE(o) == T || (NoneOk && o == Py_None)) return true;
    return exact_check(o, T, NoneOk, Note, name);
  }
};

// ---------------------------------------------------------------------------
// Function records and the function type.

struct FuncDef;
struct Function;
struct TypeDef;

using Trampoline = vectorcallfunc;
using CtorTrampoline = int (*)(const FuncDef* d, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);

// Runtime data of a record, made at initialisation.
struct Sig {
  PyObject* names[kMaxParams] = {};     // interned parameter names
  PyObject* defaults[kMaxParams] = {};  // native copies of the defaults (nullptr: required)
  int nrequired = 0;
  PyObject* qualname = nullptr;
  PyObject* fullname = nullptr;  // dotted module name + "." + qualname, for tracebacks
  PyCodeObject* tb_code = nullptr;
};

struct FuncDef {
  const char* name = nullptr;  // plain name used in binding messages
  const char* qualname = nullptr;  // nullptr: derived from the class name and `name`
  const char* doc = nullptr;
  Param params[kMaxParams] = {};
  int nparams = 0;
  const char* ret_annotation = nullptr;
  bool coerce_int = false;  // results coerced for the return annotation "int"
  bool native_method = false;  // self is passed first and type-checked
  Trampoline call = nullptr;
  CtorTrampoline ctor = nullptr;
  mutable PyTypeObject* self_type = nullptr;  // set when installed in a native class
  mutable Sig sig{};
};

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

// Binds vectorcall arguments to the record's parameters (borrowed refs in out).
bool bind_args(const FuncDef& d, const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out);
// Adds a traceback entry named by the record's fully qualified name.
void add_traceback(const FuncDef& d);
void add_traceback_name(const char* fullname);
// Self checks for native methods; false with TypeError set.
bool check_self(const FuncDef& d, PyObject* const* args, Py_ssize_t nargs);

template <class T>
struct FnTraits;
template <class R, class... A>
struct FnTraits<R (*)(A...)> {
  using Ret = R;
  using Args = std::tuple<std::decay_t<A>...>;
  static constexpr int N = sizeof...(A);
};

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

template <int Skip, class Tuple, std::size_t... I>
inline bool convert_all(PyObject* const* slots, const FuncDef& d, Tuple& t, std::index_sequence<I...>) {
  return (Conv<std::tuple_element_t<I + Skip, Tuple>>::get(slots[I], d.params[I].name, std::get<I + Skip>(t)) &&
          ...);
}

template <auto Body, bool Method>
struct Gen {
  using Tr = FnTraits<decltype(Body)>;
  using Args = typename Tr::Args;
  static constexpr int Skip = Method ? 1 : 0;
  static constexpr int N = Tr::N - Skip;

  static PyObject* finish(Function* f, PyObject* r) {
    if (r && f->def->coerce_int) r = coerce_int_result(r);
    if (!r) add_traceback(*f->def);
    return r;
  }

  template <class Tup>
  static PyObject* invoke(Tup& t) {
    using R = typename Tr::Ret;
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
      if (!check_self(d, args, nargs)) {
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
      if (!kwnames && na <= N) {
        // Fast path: positional arguments and natively stored defaults.
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

template <class... P>
constexpr void fill_params(FuncDef& d, P... ps) {
  Param arr[] = {ps..., Param{}};
  d.nparams = static_cast<int>(sizeof...(P));
  for (int i = 0; i < d.nparams; i++) d.params[i] = arr[i];
}

struct Ret {
  const char* annotation = nullptr;
  bool coerce_int = false;
};
constexpr Ret ret(const char* ann) {
  return Ret{ann, ann && ann[0] == 'i' && ann[1] == 'n' && ann[2] == 't' && ann[3] == 0};
}
constexpr Ret noret() { return Ret{}; }

// A module-level function (or a method of a plain Python class, whose `self`
// is an ordinary parameter).
template <auto Body, class... P>
constexpr FuncDef fn(const char* name, const char* doc, Ret r, P... ps) {
  static_assert(FnTraits<decltype(Body)>::N == sizeof...(P), "parameter list does not match the body");
  static_assert(sizeof...(P) <= kMaxParams);
  FuncDef d{};
  d.name = name;
  d.doc = doc;
  d.ret_annotation = r.annotation;
  d.coerce_int = r.coerce_int;
  d.call = &Gen<Body, false>::call;
  fill_params(d, ps...);
  return d;
}

// A method of a native class: the body's first parameter is the instance.
template <auto Body, class... P>
constexpr FuncDef method(const char* name, const char* doc, Ret r, P... ps) {
  static_assert(FnTraits<decltype(Body)>::N == sizeof...(P) + 1, "parameter list does not match the body");
  static_assert(sizeof...(P) <= kMaxParams);
  FuncDef d{};
  d.name = name;
  d.doc = doc;
  d.ret_annotation = r.annotation;
  d.coerce_int = r.coerce_int;
  d.native_method = true;
  d.call = &Gen<Body, true>::call;
  fill_params(d, ps...);
  return d;
}

// The constructor of a native class (binding messages name "__cinit__").  A
// body without parameters ignores every argument given to the class.
template <auto Body, class... P>
constexpr FuncDef ctor(P... ps) {
  static_assert(FnTraits<decltype(Body)>::N == sizeof...(P) + 1, "parameter list does not match the body");
  FuncDef d{};
  d.name = "__cinit__";
  d.native_method = true;
  d.ctor = &Gen<Body, true>::ctor;
  fill_params(d, ps...);
  return d;
}

// Creates a function object for a record (module-level or plain-class method).
PyObject* make_function(const FuncDef& d, const char* qualname);

// ---------------------------------------------------------------------------
// Native classes.

// One entry of a class body, installed in order.  `def` creates a function
// object bound under `bind_as` (or its own name); an alias binds `name` to the
// object currently bound under `target`.
struct Entry {
  const FuncDef* def = nullptr;
  const char* bind_as = nullptr;
  const char* alias = nullptr;
  const char* target = nullptr;
  bool is_static = false;  // bind the function object wrapped in staticmethod
};
constexpr Entry def(const FuncDef& d) { return Entry{&d}; }
constexpr Entry def_as(const FuncDef& d, const char* name) { return Entry{&d, name}; }
constexpr Entry alias(const char* name, const char* target) { return Entry{nullptr, nullptr, name, target}; }
// A static method: a module-level record (`fn`) bound in the class as staticmethod.
constexpr Entry static_def(const FuncDef& d) { return Entry{&d, nullptr, nullptr, nullptr, true}; }

enum class FieldKind : uint8_t { Object, I64, I32, U32, U64, U16, U8, Double, Bool };

struct Property {
  const char* name = nullptr;
  const char* doc = nullptr;
  FieldKind kind = FieldKind::Object;
  Py_ssize_t offset = 0;
  getter get = nullptr;  // custom accessors override the field
  setter set = nullptr;
  const char* int_msg = nullptr;  // out-of-range wording for I32 fields
};
constexpr Property field(const char* name, FieldKind k, Py_ssize_t off, const char* doc = nullptr,
                         const char* int_msg = nullptr) {
  return Property{name, doc, k, off, nullptr, nullptr, int_msg};
}
constexpr Property computed(const char* name, getter g, setter s = nullptr, const char* doc = nullptr) {
  return Property{name, doc, FieldKind::Object, 0, g, s, nullptr};
}

struct TypeDef {
  PyTypeObject* type = nullptr;  // static storage owned by the module
  const char* name = nullptr;    // class name
  const char* doc = nullptr;
  Py_ssize_t basicsize = 0;
  const FuncDef* init = nullptr;  // constructor record, or nullptr for none
  std::span<const Entry> body{};
  std::span<const Property> props{};
  std::span<const Py_ssize_t> object_fields{};  // owned object fields, None at allocation
  // Extra hooks: visit/clear further references, free native records.
  traverseproc traverse = nullptr;
  inquiry clear = nullptr;
  void (*dealloc)(PyObject*) = nullptr;  // runs before object fields are released
  void (*alloc_init)(PyObject*) = nullptr;  // after allocation, before the constructor
  bool gc = false;  // forced GC participation
  // Sets further slots (tp_repr, tp_as_number, ...) before the type is readied.
  void (*slots)(PyTypeObject*) = nullptr;
};

// ---------------------------------------------------------------------------
// Modules.

struct ModuleDef {
  const char* dotted = nullptr;  // "talvora.memory.mesqua"
  const char* short_name = nullptr;
  const char* doc = nullptr;
  const char* source = nullptr;  // file name shown in traceback entries
  std::span<TypeDef* const> types{};
  int (*body)(PyObject* module) = nullptr;  // module-level code, in source order
};

// The init entry: returns the module definition for multi-phase init.
PyObject* module_init(const ModuleDef& def);

// Module globals (the namespace of the module being or having been built).
PyObject* globals();
PyObject* module_object();
const ModuleDef& current_module();

// Looks up a module global, then a builtin; NameError when neither exists.
PyObject* get_global(PyObject* name);  // new reference
int set_global(const char* name, PyObject* value);  // does not steal
int set_global(PyObject* name, PyObject* value);

// Module-level code helpers.
int import_module(const char* name);  // binds `import name`
int import_from(const char* module, std::initializer_list<const char*> names, int level = 0);
int add_function(const FuncDef& d);  // creates and binds a module-level function
// Creates a plain Python class through the metaclass protocol; binds it.
PyObject* make_class(const char* name, const char* doc, std::initializer_list<const FuncDef*> methods,
                     PyObject* bases = nullptr);  // borrowed result (bound in globals)
int make_logger();           // logger = logging.getLogger(__name__)
int log_info(const char* message);
PyObject* logger();          // borrowed

// ---------------------------------------------------------------------------
// Calls into Python.

template <class... A>
inline PyObject* call_method(PyObject* self, PyObject* name, A... a) {
  PyObject* v[] = {nullptr, self, a...};
  return PyObject_VectorcallMethod(name, v + 1, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}
template <class... A>
inline PyObject* call(PyObject* callable, A... a) {
  PyObject* v[] = {nullptr, a...};
  return PyObject_Vectorcall(callable, v + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// `with lock:` through the context-manager protocol.
class With {
 public:
  // Enters; false with an exception set (nothing to exit then).
  bool enter(PyObject* mgr);
  // Exits after success: false if __exit__ raised.
  bool exit_ok();
  // Exits with the pending exception; returns true when __exit__ suppressed it.
  bool exit_error();
  ~With();

 private:
  PyObject* exit_ = nullptr;  // the __exit__ descriptor
  PyObject* self_ = nullptr;  // the context manager
};

// Runs `f` without the interpreter lock.
template <class F>
inline auto nogil(F&& f) {
  PyThreadState* ts = PyEval_SaveThread();
  if constexpr (std::is_void_v<decltype(f())>) {
    f();
    PyEval_RestoreThread(ts);
  } else {
    auto r = f();
    PyEval_RestoreThread(ts);
    return r;
  }
}

// threading.Lock(), looked up through the module global `threading`.
PyObject* new_lock();

// A new dict with the pairs in order; nullptr on error.
PyObject* dict_from(std::initializer_list<std::pair<PyObject*, PyObject*>> items);

// Python's f"{value:.1f}%" for any object.
PyObject* format_percent(PyObject* value);

// Formats a double like Python's format(x, ".1f") (code 'f', precision 1).
PyObject* format_float(double x, char code, int precision);

}  // namespace frame

#define TALVORA_MODULE(short_name, def) \
  PyMODINIT_FUNC PyInit_##short_name(void) { return frame::module_init(def); }
