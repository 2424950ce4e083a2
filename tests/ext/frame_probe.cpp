// frame_probe: a test-only extension module that exercises the module frame
// on its own, one declaration per conversion kind, binding path, coercion and
// type convention.  Built by the Makefile's test targets (CMake option
// TALVORA_FRAME_PROBE), never installed; tests/test_frame.py drives it.
#include <cstddef>

#include "frame/frame.hpp"

namespace {

using namespace frame::declarations;
using frame::FieldKind;

// ---------------------------------------------------------------------------
// Conversion kinds: each function returns its argument as converted.

int64_t echo_i64(int64_t v) { return v; }
int32_t echo_i32(int32_t v) { return v; }
int32_t echo_i32t(Int32T v) { return v; }
uint32_t echo_u32(uint32_t v) { return v; }
uint64_t echo_u64(uint64_t v) { return v; }
uint16_t echo_u16(uint16_t v) { return v; }
uint8_t echo_u8(uint8_t v) { return v; }
double echo_double(double v) { return v; }
bool echo_bool(bool v) { return v; }
PyObject* echo_object(PyObject* v) { return frame::Ref::borrow(v).release(); }
PyObject* echo_ann_int(AnnotatedInt v) { return v.release(); }
PyObject* echo_list(Exactly<&PyList_Type> v) { return v.release(); }
PyObject* echo_list_or_none(ListOrNone v) { return v.release(); }
PyObject* echo_dict_noted(ExactlyNoted<&PyDict_Type> v) { return v.release(); }
PyObject* echo_str_noted_or_none(StrOrNoneNoted v) { return v.release(); }

constexpr frame::FuncDef echo_i64_def = frame::fn<&echo_i64>("echo_i64", "int64", returns(), param("value"));
constexpr frame::FuncDef echo_i32_def = frame::fn<&echo_i32>("echo_i32", "int32", returns(), param("value"));
constexpr frame::FuncDef echo_i32t_def =
    frame::fn<&echo_i32t>("echo_i32t", "int32, int32_t wording", returns(), param("value"));
constexpr frame::FuncDef echo_u32_def = frame::fn<&echo_u32>("echo_u32", "uint32", returns(), param("value"));
constexpr frame::FuncDef echo_u64_def = frame::fn<&echo_u64>("echo_u64", "uint64", returns(), param("value"));
constexpr frame::FuncDef echo_u16_def = frame::fn<&echo_u16>("echo_u16", "uint16", returns(), param("value"));
constexpr frame::FuncDef echo_u8_def = frame::fn<&echo_u8>("echo_u8", "uint8", returns(), param("value"));
constexpr frame::FuncDef echo_double_def = frame::fn<&echo_double>("echo_double", "double", returns(), param("value"));
constexpr frame::FuncDef echo_bool_def =
    frame::fn<&echo_bool>("echo_bool", "truth value", returns(), param("value", {}, "bool"));
constexpr frame::FuncDef echo_object_def =
    frame::fn<&echo_object>("echo_object", "any object", returns(), param("value"));
constexpr frame::FuncDef echo_ann_int_def =
    frame::fn<&echo_ann_int>("echo_ann_int", "annotated int", returns(), int_param("value"));
constexpr frame::FuncDef echo_list_def =
    frame::fn<&echo_list>("echo_list", "exactly a list", returns(), param("items"));
constexpr frame::FuncDef echo_list_or_none_def =
    frame::fn<&echo_list_or_none>("echo_list_or_none", "a list or None", returns(), param("items"));
constexpr frame::FuncDef echo_dict_noted_def =
    frame::fn<&echo_dict_noted>("echo_dict_noted", "exactly a dict, with the note", returns(), param("mapping"));
constexpr frame::FuncDef echo_str_noted_or_none_def = frame::fn<&echo_str_noted_or_none>(
    "echo_str_noted_or_none", "a str or None, with the note", returns(), param("text"));

// ---------------------------------------------------------------------------
// Binding and defaults.

PyObject* bind(PyObject* first, PyObject* second, PyObject* third, PyObject* fourth) {
  return PyTuple_Pack(4, first, second, third, fourth);
}
PyObject* defaults(PyObject* n, PyObject* i, PyObject* f, PyObject* t, PyObject* fa) {
  return PyTuple_Pack(5, n, i, f, t, fa);
}
PyObject* nothing() { Py_RETURN_NONE; }
// Native parameters with defaults: of their own kind, of another kind, out
// of range, and beyond the doubles that hold every integer exactly.
PyObject* native_defaults(int64_t i64, uint8_t u8, double dbl, double from_int, double from_big, bool flag,
                          bool from_zero, bool from_none) {
  return Py_BuildValue("(LidddOOO)", static_cast<long long>(i64), static_cast<int>(u8), dbl, from_int, from_big,
                       flag ? Py_True : Py_False, from_zero ? Py_True : Py_False, from_none ? Py_True : Py_False);
}
int64_t truncated_default(int64_t v) { return v; }
uint8_t overflowing_default(uint8_t v) { return v; }

constexpr frame::FuncDef bind_def =
    frame::fn<&bind>("bind", "Two required, two optional parameters.", returns("tuple"), param("first"),
                     param("second"), param("third", default_int(3)), param("fourth", default_none()));
constexpr frame::FuncDef defaults_def = frame::fn<&defaults>(
    "defaults", "One default of each kind.", returns(), param("n", default_none()), param("i", default_int(-7)),
    param("f", default_float(2.5)), param("t", default_bool(true)), param("fa", default_bool(false)));
constexpr frame::FuncDef nothing_def = frame::fn<&nothing>("nothing", "No parameters.", returns("None"));
constexpr frame::FuncDef native_defaults_def = frame::fn<&native_defaults>(
    "native_defaults", "Native parameters with defaults.", returns(), param("i64", default_int(-7)),
    param("u8", default_int(255)), param("dbl", default_float(2.5)), param("from_int", default_int(-3)),
    param("from_big", default_int((1LL << 53) + 1)), param("flag", default_bool(true), "bool"),
    param("from_zero", default_int(0), "bool"), param("from_none", default_none(), "bool"));
constexpr frame::FuncDef truncated_default_def = frame::fn<&truncated_default>(
    "truncated_default", "A float default of an integer parameter.", returns(), param("v", default_float(2.9)));
constexpr frame::FuncDef overflowing_default_def = frame::fn<&overflowing_default>(
    "overflowing_default", "A default out of the parameter's range.", returns(), param("v", default_int(300)));

// ---------------------------------------------------------------------------
// Result coercion and errors.

PyObject* as_int_result(PyObject* v) { return frame::Ref::borrow(v).release(); }
PyObject* as_float_result(PyObject* v) { return frame::Ref::borrow(v).release(); }
PyObject* call_back(PyObject* fn) { return frame::call(fn); }
// Module-level `from module import name`, run after initialisation.
PyObject* import_name(Exactly<&PyUnicode_Type> module, Exactly<&PyUnicode_Type> name) {
  const char* m = PyUnicode_AsUTF8(module);
  const char* n = m ? PyUnicode_AsUTF8(name) : nullptr;
  if (!n || frame::import_from(m, {n}) < 0) return nullptr;
  Py_RETURN_NONE;
}

// Constants written at the use site: the same text twice, and numbers.
PyObject* constants() { return frame::tuple_of({"frame_probe"_s, 7_n, 7.0_n, 1e3_n, 0x10_n, 0.1_n, "frame_probe"_s}); }
PyObject* ratios(PyObject* part, PyObject* whole) {
  frame::Ref ratio(frame::ratio_or_zero(part, whole));
  frame::Ref percent(ratio ? frame::percent_or_zero(part, whole) : nullptr);
  return percent ? frame::tuple_of({ratio, percent}) : nullptr;
}

// (f"{value:.1f}%", format(x, ".2f"), format(x, ".3e")).
PyObject* formats(PyObject* value, double x) {
  frame::Ref percent(frame::format_percent(value));
  frame::Ref fixed(percent ? frame::format_float(x, 'f', 2) : nullptr);
  frame::Ref exp(fixed ? frame::format_float(x, 'e', 3) : nullptr);
  return exp ? frame::tuple_of({percent, fixed, exp}) : nullptr;
}

// The layout found for `_thread.lock` objects.
PyObject* lock_layout() {
  switch (frame::thread_lock_layout()) {
    case frame::compat::LockLayout::Flagged:
      return PyUnicode_FromString("flagged");
    case frame::compat::LockLayout::Mutex:
      return PyUnicode_FromString("mutex");
    default:
      return PyUnicode_FromString("unknown");
  }
}
constexpr frame::FuncDef lock_layout_def =
    frame::fn<&lock_layout>("lock_layout", "The layout found for _thread.lock objects.", returns("str"));

constexpr frame::FuncDef formats_def = frame::fn<&formats>(
    "formats", "(f'{value:.1f}%', format(x, '.2f'), format(x, '.3e')).", returns(), param("value"), param("x"));
constexpr frame::FuncDef constants_def = frame::fn<&constants>("constants", "Use-site constants.", returns());
constexpr frame::FuncDef ratios_def = frame::fn<&ratios>(
    "ratios", "(ratio_or_zero, percent_or_zero) of part and whole.", returns(), param("part"), param("whole"));
constexpr frame::FuncDef as_int_result_def = frame::fn<&as_int_result>(
    "as_int_result", "Result coerced as annotated int.", returns("int", Coerce::Int), param("value"));
constexpr frame::FuncDef as_float_result_def =
    frame::fn<&as_float_result>("as_float_result", "Annotation only.", returns("float"), param("value"));
constexpr frame::FuncDef call_back_def = frame::fn<&call_back>("call_back", "Calls fn().", returns(), param("fn"));
constexpr frame::FuncDef import_name_def = frame::fn<&import_name>(
    "import_name", "Binds a name imported from a module.", returns(), param("module"), param("name"));

// ---------------------------------------------------------------------------
// Unpacking into three targets: in place for exact tuples and lists, by
// iteration otherwise; and after reading the whole sequence.

PyObject* unpack_three(PyObject* items) {
  frame::Ref out[3];
  if (!frame::unpack_iterable(items, out, 3)) return nullptr;
  return frame::tuple_of({out[0], out[1], out[2]});
}
PyObject* unpack_sequence_three(PyObject* items) {
  frame::Ref out[3];
  if (!frame::unpack_sequence(items, out, 3)) return nullptr;
  return frame::tuple_of({out[0], out[1], out[2]});
}

constexpr frame::FuncDef unpack_three_def =
    frame::fn<&unpack_three>("unpack_three", "`a, b, c = items`, as a tuple.", returns(), param("items"));
constexpr frame::FuncDef unpack_sequence_three_def = frame::fn<&unpack_sequence_three>(
    "unpack_sequence_three", "`a, b, c = tuple(items)`, as a tuple.", returns(), param("items"));

// ---------------------------------------------------------------------------
// Locked sections: fn() inside `with lock:`.

PyObject* locked_call(PyObject* lock, PyObject* fn, frame::Call call) {
  return frame::locked(call, lock, [&] { return frame::call(fn); });
}
// The steps of with_lock: "completed", "suppressed", or the error.
PyObject* with_lock_steps(PyObject* lock, PyObject* fn, frame::Call call) {
  const int rc = frame::with_lock(call, lock, [&] { return frame::Ref(frame::call(fn)).get() != nullptr; });
  if (rc < 0) return nullptr;
  return PyUnicode_FromString(rc ? "completed" : "suppressed");
}

// Two sections in turn, the second run after the first one's outcome.
PyObject* locked_twice(PyObject* lock, PyObject* fn, frame::Call call) {
  if (frame::with_lock(call, lock, [&] { return frame::Ref(frame::call(fn)).get() != nullptr; }) < 0) return nullptr;
  return frame::locked(call, lock, [&] { return frame::call(fn); });
}

constexpr frame::FuncDef locked_call_def =
    frame::fn<&locked_call>("locked_call", "fn() inside `with lock:`; None when __exit__ suppresses its error.",
                            returns(), param("lock"), param("fn"));
constexpr frame::FuncDef locked_twice_def =
    frame::fn<&locked_twice>("locked_twice", "fn() inside `with lock:` twice in turn; the second result.", returns(),
                             param("lock"), param("fn"));
constexpr frame::FuncDef with_lock_steps_def = frame::fn<&with_lock_steps>(
    "with_lock_steps", "fn() inside `with lock:`: 'completed' or 'suppressed'.", returns(), param("lock"), param("fn"));

// ---------------------------------------------------------------------------
// Probe: a native class with one public field of each kind.

PyTypeObject ProbeType;

struct Probe {
  PyObject_HEAD
  PyObject* obj;
  int64_t i64;
  int32_t i32;
  int32_t i32t;
  uint32_t u32;
  uint64_t u64;
  uint16_t u16;
  uint8_t u8;
  double dbl;
  bool flag;
};

int probe_cinit(Probe* self, PyObject* obj, int64_t i64, double dbl) {
  frame::Ref::borrow(obj).swap(self->obj);  // the field takes obj; its old value is released
  self->i64 = i64;
  self->dbl = dbl;
  return 0;
}

// Two's-complement wrap-around without signed overflow.
int64_t wrap_add(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

int64_t probe_add(Probe* self, int64_t delta) { return self->i64 = wrap_add(self->i64, delta); }
PyObject* probe_which_first(Probe*) { return PyUnicode_FromString("first"); }
PyObject* probe_which_second(Probe*) { return PyUnicode_FromString("second"); }
int64_t twice(int64_t v) { return wrap_add(v, v); }
PyObject* probe_locked_call(Probe*, PyObject* lock, PyObject* fn, frame::Call call) {
  return frame::locked(call, lock, [&] { return frame::call(fn); });
}
// `with self.obj:` with the manager read from the field, as module code
// passes its lock fields.
PyObject* probe_locked_on_obj(Probe* self, PyObject* fn, frame::Call call) {
  return frame::locked(call, self->obj, [&] { return frame::call(fn); });
}
PyObject* probe_summary(PyObject* o, void*) {
  Probe* self = reinterpret_cast<Probe*>(o);
  return PyUnicode_FromFormat("%lld/%R", static_cast<long long>(self->i64), self->obj);
}

constexpr frame::FuncDef probe_init_def = frame::ctor<&probe_cinit>(
    param("obj", default_none()), param("i64", default_int(0)), param("dbl", default_float(0.0)));
constexpr frame::FuncDef probe_add_def =
    frame::method<&probe_add>("add", "Adds to i64.", returns("int", Coerce::Int), param("delta", default_int(1)));
constexpr frame::FuncDef probe_which_first_def =
    frame::method<&probe_which_first>("which", "First definition.", returns("str"));
constexpr frame::FuncDef probe_which_second_def =
    frame::method<&probe_which_second>("which", "Second definition.", returns("str"));
constexpr frame::FuncDef probe_locked_call_def = frame::method<&probe_locked_call>(
    "locked_call", "fn() inside `with lock:`.", returns(), param("lock"), param("fn"));
constexpr frame::FuncDef probe_locked_on_obj_def =
    frame::method<&probe_locked_on_obj>("locked_on_obj", "fn() inside `with self.obj:`.", returns(), param("fn"));
constexpr frame::FuncDef twice_def =
    frame::fn<&twice>("twice", "Static method.", returns("int", Coerce::Int), param("value"));

// The class body in source order: `which` is defined twice with an alias
// bound to the first definition in between.
constexpr frame::Entry probe_body[] = {
    probe_add_def,          frame::alias("py_add", "add"), probe_which_first_def, frame::alias("which_first", "which"),
    probe_which_second_def, frame::static_def(twice_def),  probe_locked_call_def, probe_locked_on_obj_def,
};

constexpr frame::Property probe_props[] = {
    frame::field("obj", FieldKind::Object, offsetof(Probe, obj), "Any object."),
    frame::field("i64", FieldKind::I64, offsetof(Probe, i64)),
    frame::field("i32", FieldKind::I32, offsetof(Probe, i32)),
    frame::field("i32t", FieldKind::I32, offsetof(Probe, i32t), nullptr, frame::kMsgInt32t),
    frame::field("u32", FieldKind::U32, offsetof(Probe, u32)),
    frame::field("u64", FieldKind::U64, offsetof(Probe, u64)),
    frame::field("u16", FieldKind::U16, offsetof(Probe, u16)),
    frame::field("u8", FieldKind::U8, offsetof(Probe, u8)),
    frame::field("dbl", FieldKind::Double, offsetof(Probe, dbl)),
    frame::field("flag", FieldKind::Bool, offsetof(Probe, flag)),
    frame::computed("summary", probe_summary, nullptr, "i64 and the repr of obj."),
};

const Py_ssize_t probe_objects[] = {offsetof(Probe, obj)};

constexpr frame::TypeDef probe_type = {
    .type = &ProbeType,
    .name = "Probe",
    .doc = "One public field of each kind.",
    .basicsize = sizeof(Probe),
    .init = &probe_init_def,
    .body = probe_body,
    .props = probe_props,
    .object_fields = probe_objects,
};

// ---------------------------------------------------------------------------
// Bare: native numbers only, and a constructor without parameters.

PyTypeObject BareType;

struct Bare {
  PyObject_HEAD
  int64_t constructed;
};

int bare_cinit(Bare* self) {
  self->constructed += 1;
  return 0;
}

constexpr frame::FuncDef bare_init_def = frame::ctor<&bare_cinit>();

constexpr frame::Property bare_props[] = {
    frame::field("constructed", FieldKind::I64, offsetof(Bare, constructed)),
};

constexpr frame::TypeDef bare_type = {
    .type = &BareType,
    .name = "Bare",
    .doc = "Ignores its arguments.",
    .basicsize = sizeof(Bare),
    .init = &bare_init_def,
    .props = bare_props,
};

// ---------------------------------------------------------------------------
// Sized: the special methods.  __len__ is the size field (a negative one
// raises), __bool__ is false only for size 1, unlike len(), and raises for
// size 3; __repr__ raises for size 2.

PyTypeObject SizedType;

struct Sized {
  PyObject_HEAD
  int64_t size;
};

int sized_cinit(Sized* self, int64_t size) {
  self->size = size;
  return 0;
}

Py_ssize_t sized_len(PyObject* o) {
  const int64_t n = reinterpret_cast<Sized*>(o)->size;
  if (n < 0) PyErr_SetString(PyExc_ValueError, "negative size");
  return n < 0 ? -1 : static_cast<Py_ssize_t>(n);
}
int sized_truth(PyObject* o) {
  const int64_t n = reinterpret_cast<Sized*>(o)->size;
  if (n == 3) PyErr_SetString(PyExc_ValueError, "no truth");
  return n == 3 ? -1 : n != 1;
}
PyObject* sized_repr(PyObject* o) {
  const int64_t n = reinterpret_cast<Sized*>(o)->size;
  if (n == 2) {
    PyErr_SetString(PyExc_ValueError, "no repr");
    return nullptr;
  }
  return PyUnicode_FromFormat("Sized(%lld)", static_cast<long long>(n));
}

constexpr frame::FuncDef sized_init_def = frame::ctor<&sized_cinit>(param("size", default_int(0)));

constexpr frame::Property sized_props[] = {
    frame::field("size", FieldKind::I64, offsetof(Sized, size)),
};

constexpr frame::TypeDef sized_type = {
    .type = &SizedType,
    .name = "Sized",
    .doc = "Special methods.",
    .basicsize = sizeof(Sized),
    .init = &sized_init_def,
    .props = sized_props,
    .len = sized_len,
    .truth = sized_truth,
    .repr = sized_repr,
};

// ---------------------------------------------------------------------------
// Plain: a Python class made through the metaclass protocol.

PyObject* plain_init(PyObject* self, AnnotatedInt value) {
  if (PyObject_SetAttr(self, "value"_s, value) < 0) return nullptr;
  Py_RETURN_NONE;
}
PyObject* plain_get(PyObject* self) { return PyObject_GetAttr(self, "value"_s); }

constexpr frame::FuncDef plain_init_def =
    frame::fn<&plain_init>("__init__", nullptr, returns(), param("self"), int_param("value", default_int(0)));
constexpr frame::FuncDef plain_get_def =
    frame::fn<&plain_get>("get", "Returns value, coerced.", returns("int", Coerce::Int), param("self"));

// Another plain class like Plain, made after initialisation with the bases
// given (None for none) and bound as a module global.
PyObject* make_plain_class(Exactly<&PyUnicode_Type> name, PyObject* bases) {
  if (bases != Py_None && !PyTuple_Check(bases)) {
    PyErr_SetString(PyExc_TypeError, "bases must be a tuple or None");
    return nullptr;
  }
  const char* n = PyUnicode_AsUTF8(name);
  PyObject* cls =
      n ? frame::make_class(n, nullptr, {&plain_init_def, &plain_get_def}, bases == Py_None ? nullptr : bases)
        : nullptr;
  return frame::Ref::borrow(cls).release();
}

constexpr frame::FuncDef make_plain_class_def =
    frame::fn<&make_plain_class>("make_plain_class", "A class like Plain, bound as a global; its bases or None.",
                                 returns(), param("name"), param("bases"));

// ---------------------------------------------------------------------------
// Module

int module_body(PyObject*) {
  if (frame::add_functions() < 0) return -1;
  if (!frame::make_class("Plain", "A plain Python class.", {&plain_init_def, &plain_get_def})) return -1;
  if (frame::import_module("logging") < 0 || frame::make_logger() < 0) return -1;
  return frame::log_info("frame probe loaded");
}

const frame::FuncDef* const kFunctions[] = {
    &echo_i64_def,
    &echo_i32_def,
    &echo_i32t_def,
    &echo_u32_def,
    &echo_u64_def,
    &echo_u16_def,
    &echo_u8_def,
    &echo_double_def,
    &echo_bool_def,
    &echo_object_def,
    &echo_ann_int_def,
    &echo_list_def,
    &echo_list_or_none_def,
    &echo_dict_noted_def,
    &echo_str_noted_or_none_def,
    &bind_def,
    &defaults_def,
    &nothing_def,
    &native_defaults_def,
    &truncated_default_def,
    &overflowing_default_def,
    &as_int_result_def,
    &as_float_result_def,
    &call_back_def,
    &import_name_def,
    &constants_def,
    &ratios_def,
    &formats_def,
    &lock_layout_def,
    &locked_call_def,
    &with_lock_steps_def,
    &locked_twice_def,
    &unpack_three_def,
    &unpack_sequence_three_def,
    &make_plain_class_def,
};
const frame::TypeDef* const kTypes[] = {&probe_type, &bare_type, &sized_type};

const frame::ModuleDef kModule = {
    .dotted = "frame_probe",
    .doc = "Test-only module of the frame.",
    .source = "tests/ext/frame_probe.cpp",
    .types = kTypes,
    .functions = kFunctions,
    .body = module_body,
};

}  // namespace

TALVORA_MODULE(frame_probe, kModule)
