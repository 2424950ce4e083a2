// talvora.memory.mesqua: the object-reference classes, a versioned object
// cell (AtomicPointer) and a stack (LockFreeStack), each behind its own lock.
#include <atomic>

#include "memory/mesqua.hpp"

namespace {

using namespace frame::declarations;
using frame::Ref;

PyTypeObject AtomicPointerType;
PyTypeObject LockFreeStackType;

// ---------------------------------------------------------------------------
// AtomicPointer

struct AtomicPointer {
  PyObject_HEAD
  PyObject* ptr;  // owned, nullptr for None
  uint64_t version;
  PyObject* lock;
};

PyObject* or_null(PyObject* o) { return o == Py_None ? nullptr : o; }

int ap_cinit(AtomicPointer* self, PyObject* initial_value) {
  self->ptr = Ref::borrow(or_null(initial_value)).release();
  self->version = 0;
  PyObject* lock = frame::new_lock();
  if (!lock) return -1;
  Py_SETREF(self->lock, lock);
  return 0;
}
constexpr frame::FuncDef ap_init_def = frame::ctor<&ap_cinit>(param("initial_value", default_none()));

PyObject* ap_load(AtomicPointer* self, frame::Call call) {
  return frame::locked(call, self->lock, [&] { return Ref::borrow(self->ptr ? self->ptr : Py_None); });
}
constexpr frame::FuncDef ap_load_def = frame::method<&ap_load>(
    "load", "Atomically load pointer value.\n\nReturns:\n    Current pointer value (Python object or None)",
    returns("Optional[object]"));

PyObject* ap_store(AtomicPointer* self, PyObject* value, frame::Call call) {
  Ref old = Ref::borrow(or_null(value));  // the old value, released after the lock is left
  const int rc = frame::with_lock(call, self->lock, [&] {
    old.swap(self->ptr);
    self->version++;
    return true;
  });
  if (rc < 0) return nullptr;
  Py_RETURN_NONE;
}
constexpr frame::FuncDef ap_store_def = frame::method<&ap_store>(
    "store", "Atomically store new pointer value.\n\nArgs:\n    value: New pointer value (Python object or None)",
    returns(), param("value"));

PyObject* ap_compare_and_swap(AtomicPointer* self, PyObject* expected, PyObject* new_value, frame::Call call) {
  PyObject* exp = or_null(expected);
  Ref old;  // the old value, released after the lock is left
  bool swapped = false;
  const int rc = frame::with_lock(call, self->lock, [&] {
    if (self->ptr == exp) {
      old = Ref::borrow(or_null(new_value));
      old.swap(self->ptr);
      self->version++;
      swapped = true;
    }
    return true;
  });
  if (rc < 0) return nullptr;
  return frame::to_result(swapped);
}
constexpr frame::FuncDef ap_cas_def =
    frame::method<&ap_compare_and_swap>("compare_and_swap",
                                        R"(Atomically compare and swap pointer.

Args:
    expected: Expected current value
    new_value: New value to set if current == expected

Returns:
    True if swap occurred, False otherwise)",
                                        returns("bool"), param("expected"), param("new_value"));

PyObject* ap_get_version(AtomicPointer* self, frame::Call call) {
  uint64_t v = 0;
  const int rc = frame::with_lock(call, self->lock, [&] {
    v = self->version;
    return true;
  });
  if (rc < 0) return nullptr;
  return PyLong_FromUnsignedLongLong(v);
}
constexpr frame::FuncDef ap_version_def = frame::method<&ap_get_version>(
    "get_version", "Get current version for ABA detection.", returns("int", Coerce::Int));

// The stored object takes part in cycle detection, so cycles through a cell
// are collected.
int ap_traverse(PyObject* o, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<AtomicPointer*>(o)->ptr);
  return 0;
}
int ap_clear(PyObject* o) {
  Py_CLEAR(reinterpret_cast<AtomicPointer*>(o)->ptr);
  return 0;
}
void ap_dealloc(PyObject* o) { Py_CLEAR(reinterpret_cast<AtomicPointer*>(o)->ptr); }

constexpr frame::Entry ap_body[] = {ap_load_def, ap_store_def, ap_cas_def, ap_version_def};
const Py_ssize_t ap_fields[] = {offsetof(AtomicPointer, lock)};

}  // namespace

const frame::TypeDef mesqua::ap_type = {
    .type = &AtomicPointerType,
    .name = "AtomicPointer",
    .doc = R"(Thread-safe versioned object reference with identity compare-and-swap.

The version grows on every change, for ABA detection.
Performance targets: load/store 50-100ns, compare_and_swap 100-150ns.)",
    .basicsize = sizeof(AtomicPointer),
    .init = &ap_init_def,
    .body = ap_body,
    .object_fields = ap_fields,
    .traverse = ap_traverse,
    .clear = ap_clear,
    .dealloc = ap_dealloc,
};

namespace {

// ---------------------------------------------------------------------------
// LockFreeStack

struct StackNode {
  PyObject* item;
  StackNode* next;
};

struct LockFreeStack {
  PyObject_HEAD
  StackNode* head;
  alignas(8) int64_t size;
  PyObject* lock;
  std::atomic_ref<int64_t> count() { return std::atomic_ref<int64_t>(size); }
};

int st_cinit(LockFreeStack* self) {
  self->head = nullptr;
  self->count().store(0);
  PyObject* lock = frame::new_lock();
  if (!lock) return -1;
  Py_SETREF(self->lock, lock);
  return 0;
}
constexpr frame::FuncDef st_init_def = frame::ctor<&st_cinit>();

PyObject* st_push(LockFreeStack* self, PyObject* item, frame::Call call) {
  auto* node = static_cast<StackNode*>(PyMem_RawMalloc(sizeof(StackNode)));
  if (!node) {
    PyErr_SetString(PyExc_MemoryError, "Failed to allocate stack node");
    return nullptr;
  }
  bool linked = false;
  const int rc = frame::with_lock(call, self->lock, [&] {
    node->item = Ref::borrow(item).release();
    node->next = self->head;
    self->head = node;
    self->count().fetch_add(1);
    linked = true;
    return true;
  });
  if (!linked) PyMem_RawFree(node);
  if (rc < 0) return nullptr;
  Py_RETURN_NONE;
}
constexpr frame::FuncDef st_push_def = frame::method<&st_push>(
    "push", "Push item onto stack.\n\nArgs:\n    item: Python object to push", returns(), param("item"));

PyObject* st_pop(LockFreeStack* self, frame::Call call) {
  StackNode* node = nullptr;
  const int rc = frame::with_lock(call, self->lock, [&] {
    node = self->head;
    if (node) {
      self->head = node->next;
      self->count().fetch_sub(1);
    }
    return true;
  });
  if (!node) {
    if (rc < 0) return nullptr;
    Py_RETURN_NONE;
  }
  PyObject* item = node->item;
  PyMem_RawFree(node);
  if (rc < 0) {
    Py_DECREF(item);
    return nullptr;
  }
  return item;
}
constexpr frame::FuncDef st_pop_def = frame::method<&st_pop>(
    "pop", "Pop item from stack.\n\nReturns:\n    Popped item or None if empty", returns("Optional[object]"));

PyObject* st_is_empty(LockFreeStack* self, frame::Call call) {
  bool empty = false;
  const int rc = frame::with_lock(call, self->lock, [&] {
    empty = self->head == nullptr;
    return true;
  });
  if (rc < 0) return nullptr;
  return frame::to_result(empty);
}
constexpr frame::FuncDef st_is_empty_def =
    frame::method<&st_is_empty>("is_empty", "Check if stack is empty.", returns("bool"));

int64_t st_size(LockFreeStack* self) { return self->count().load(); }
constexpr frame::FuncDef st_size_def =
    frame::method<&st_size>("size", "Get approximate stack size.", returns("int", Coerce::Int));

// Frees every node and releases its item.
void st_drop_nodes(LockFreeStack* self) {
  StackNode* node = self->head;
  self->head = nullptr;
  self->count().store(0);
  while (node) {
    StackNode* next = node->next;
    Py_DECREF(node->item);
    PyMem_RawFree(node);
    node = next;
  }
}
int st_traverse(PyObject* o, visitproc visit, void* arg) {
  for (StackNode* n = reinterpret_cast<LockFreeStack*>(o)->head; n; n = n->next) Py_VISIT(n->item);
  return 0;
}
int st_clear(PyObject* o) {
  st_drop_nodes(reinterpret_cast<LockFreeStack*>(o));
  return 0;
}
void st_dealloc(PyObject* o) { st_drop_nodes(reinterpret_cast<LockFreeStack*>(o)); }

constexpr frame::Entry st_body[] = {st_push_def, st_pop_def, st_is_empty_def, st_size_def};
const Py_ssize_t st_fields[] = {offsetof(LockFreeStack, lock)};

}  // namespace

const frame::TypeDef mesqua::st_type = {
    .type = &LockFreeStackType,
    .name = "LockFreeStack",
    .doc = R"(Thread-safe LIFO stack of Python objects with an atomic size.

Not truly lock-free (uses Python lock for head updates).
Performance targets: push 100-200ns, pop 150-250ns, size < 20ns.)",
    .basicsize = sizeof(LockFreeStack),
    .init = &st_init_def,
    .body = st_body,
    .object_fields = st_fields,
    .traverse = st_traverse,
    .clear = st_clear,
    .dealloc = st_dealloc,
};
