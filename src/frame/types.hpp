// Native classes: the class-body entries (methods, aliases, static methods),
// properties over native fields, and the type record a module declares.
//
// The frame readies each declared static type in the execute slot: it sets
// the allocation, construction, deallocation and GC hooks, installs the
// function objects in the class dict in body order, and binds the pickling
// refusal (types.cpp).
#pragma once

#include <atomic>

#include <cstdint>
#include <span>

#include "frame/declare.hpp"

namespace frame {

// One entry of a class body, installed in order.  A function record stands
// for itself (a method under its own name); `def_as` binds it under another
// name, `static_def` wraps it in staticmethod, and an alias binds `name` to
// the object currently bound under `target`.
struct Entry {
  constexpr Entry(const FuncDef& d) : def(&d) {}  // NOLINT: implicit, so a body lists records
  const FuncDef* def = nullptr;
  const char* bind_as = nullptr;
  const char* alias = nullptr;
  const char* target = nullptr;
  bool is_static = false;  // bind the function object wrapped in staticmethod

 private:
  constexpr Entry() = default;
  friend constexpr Entry alias(const char* name, const char* target);
};
constexpr Entry def_as(const FuncDef& d, const char* name) {
  Entry e(d);
  e.bind_as = name;
  return e;
}
constexpr Entry alias(const char* name, const char* target) {
  Entry e;
  e.alias = name;
  e.target = target;
  return e;
}
// A static method: a module-level record (`fn`) bound in the class as staticmethod.
constexpr Entry static_def(const FuncDef& d) {
  Entry e(d);
  e.is_static = true;
  return e;
}

// Number fields that properties expose are read and written as relaxed
// atomics (the property accessors do the same): another thread may assign
// the property meanwhile.  Plain moves on the machine.
template <class T>
T load_relaxed(T& field) {
  return std::atomic_ref<T>(field).load(std::memory_order_relaxed);
}
template <class T, class V>
void store_relaxed(T& field, V value) {
  std::atomic_ref<T>(field).store(static_cast<T>(value), std::memory_order_relaxed);
}

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
  void (*dealloc)(PyObject*) = nullptr;     // runs before object fields are released
  void (*alloc_init)(PyObject*) = nullptr;  // after allocation, before the constructor
  // Special methods; a failure gets a traceback entry named
  // "<module>.<Class>.__len__" (and so on) like any method.
  lenfunc len = nullptr;    // __len__, for both len() and the mapping protocol
  inquiry truth = nullptr;  // __bool__
  reprfunc repr = nullptr;  // __repr__
};

}  // namespace frame
