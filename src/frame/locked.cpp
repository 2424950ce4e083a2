// Locked sections (locked.hpp): the interpreter's lock types entered and left
// through their descriptors, the full context-manager protocol for anything
// else, and new threading locks.
#include "frame/internal.hpp"

namespace frame {

using namespace detail;

namespace {

// Looks up a special method on the type; new reference or nullptr.
PyObject* lookup_special(PyObject* o, PyObject* name) { return compat::type_lookup(Py_TYPE(o), name); }

// Calls a looked-up special method with `self` and extra args.
PyObject* call_special(PyObject* descr, PyObject* self, PyObject* const* extra, Py_ssize_t n) {
  PyObject* v[5] = {nullptr, self, nullptr, nullptr, nullptr};
  for (Py_ssize_t i = 0; i < n; i++) v[2 + i] = extra[i];
  if (PyType_HasFeature(Py_TYPE(descr), Py_TPFLAGS_METHOD_DESCRIPTOR))
    return PyObject_Vectorcall(descr, v + 1, static_cast<size_t>(n + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  descrgetfunc get = Py_TYPE(descr)->tp_descr_get;
  PyObject* bound = get ? get(descr, self, reinterpret_cast<PyObject*>(Py_TYPE(self))) : (Py_INCREF(descr), descr);
  if (!bound) return nullptr;
  PyObject* r = PyObject_Vectorcall(bound, v + 2, static_cast<size_t>(n), nullptr);
  Py_DECREF(bound);
  return r;
}

// The interpreter's own lock types and their acquire/release descriptors,
// found at initialisation (init_lock_types).  Both types are builtin and
// immutable: nobody can replace their methods, so calling `acquire` and
// `release` directly is the same as `__enter__` and `__exit__`, without the
// argument tuple that `__exit__(None, None, None)` would allocate.
struct LockKind {
  PyTypeObject* type = nullptr;
  PyObject* acquire = nullptr;  // method descriptors, owned for the module's lifetime
  PyObject* release = nullptr;
  compat::LockLayout direct = compat::LockLayout::Unknown;  // known: taken and given back without a call
};
LockKind g_lock_kinds[2];

const LockKind* lock_kind(PyObject* mgr) {
  for (const LockKind& k : g_lock_kinds)
    if (k.type && Py_TYPE(mgr) == k.type) return &k;
  return nullptr;
}

// Calls a method descriptor with `self` alone: no bound method, no tuple.
PyObject* call_descriptor(PyObject* descr, PyObject* self) { return PyObject_Vectorcall(descr, &self, 1, nullptr); }

// Replaces the pending error, raised by __exit__ or by the release, keeping
// the original as its context (the interpreter's behaviour).
void chain_exit_error(PyObject* et, PyObject* ev, PyObject* etb) {
  // The pending error is taken first: normalising the original one may
  // create its instance, which cannot happen with an error set.
  PyObject *nt, *nv, *ntb;
  PyErr_Fetch(&nt, &nv, &ntb);
  PyErr_NormalizeException(&et, &ev, &etb);
  if (ev && etb) PyException_SetTraceback(ev, etb);
  if (ev) {
    PyErr_NormalizeException(&nt, &nv, &ntb);
    if (nv)
      PyException_SetContext(nv, ev);  // steals ev
    else
      Py_DECREF(ev);
  }
  PyErr_Restore(nt, nv, ntb);
  Py_XDECREF(et);
  Py_XDECREF(etb);
}

// The layout of `_thread.lock` objects, when one of the compatibility layer's
// forms matches their size and a new lock, taken and given back through its
// methods and directly, reads as held and free at each step as that form
// says; Unknown otherwise.  -1 on error.
int lock_layout(PyObject* thread, PyTypeObject* type, PyObject* acquire, PyObject* release,
                compat::LockLayout* layout) {
  using compat::lock_is_held, compat::lock_try_acquire, compat::lock_try_release;
  *layout = compat::LockLayout::Unknown;
  const compat::LockLayout k = compat::lock_layout_of_size(type->tp_basicsize);
  if (k == compat::LockLayout::Unknown) return 0;
  Ref lock(PyObject_CallMethod(thread, "allocate_lock", nullptr));
  if (!lock) return -1;
  // Read-only checks come first: nothing is written through the form before
  // it has shown the lock's state both ways.
  if (Py_TYPE(lock.get()) != type || lock_is_held(k, lock)) return 0;
  Ref r(call_descriptor(acquire, lock));
  if (!r) return -1;
  if (!lock_is_held(k, lock) || lock_try_acquire(k, lock)) return 0;
  r = Ref(call_descriptor(release, lock));
  if (!r) return -1;
  if (lock_is_held(k, lock) || !lock_try_acquire(k, lock)) return 0;
  const bool held = lock_is_held(k, lock);
  if (!lock_try_release(k, lock)) return 0;
  if (held && !lock_is_held(k, lock) && !lock_try_release(k, lock)) *layout = k;
  return 0;
}

}  // namespace

namespace detail {

int init_lock_types() {
  if (g_lock_kinds[0].type) return 0;
  // Read from sys.modules, where the import system keeps `_thread` from
  // start-up on; no import runs, so nothing observable happens here.
  Ref name(PyUnicode_FromString("_thread"));
  if (!name) return -1;
  Ref thread(PyImport_GetModule(name));
  if (!thread) return PyErr_Occurred() ? -1 : 0;
  const char* names[2] = {"LockType", "RLock"};
  for (int i = 0; i < 2; i++) {
    Ref type(PyObject_GetAttrString(thread, names[i]));
    if (!type) return -1;
    // Only immutable types qualify; anything else keeps the protocol.
    if (!PyType_CheckExact(type.get()) || !compat::type_is_immutable(reinterpret_cast<PyTypeObject*>(type.get())))
      continue;
    PyTypeObject* t = reinterpret_cast<PyTypeObject*>(type.get());
    Ref acquire(compat::type_lookup(t, "acquire"_s));
    Ref release(compat::type_lookup(t, "release"_s));
    if (!acquire || !release || !PyObject_TypeCheck(acquire.get(), &PyMethodDescr_Type) ||
        !PyObject_TypeCheck(release.get(), &PyMethodDescr_Type))
      continue;
    // Lock objects are entered directly only where their layout is known.
    compat::LockLayout direct = compat::LockLayout::Unknown;
    if (i == 0 && lock_layout(thread, t, acquire, release, &direct) < 0) return -1;
    g_lock_kinds[i] = LockKind{t, acquire.release(), release.release(), direct};
    type.release();  // kept with the descriptors
  }
  return 0;
}

}  // namespace detail

compat::LockLayout thread_lock_layout() { return g_lock_kinds[0].direct; }

bool Locked::enter(PyObject* mgr) {
  // Held from the start: acquiring may release the interpreter lock and
  // __enter__ may run code, and the caller's reference may be a field that
  // is replaced meanwhile.
  Ref held = Ref::borrow(mgr);
  if (const LockKind* k = lock_kind(mgr)) {
    if (!compat::lock_try_acquire(k->direct, mgr)) {
      PyObject* r = call_descriptor(k->acquire, mgr);
      if (!r) return false;
      Py_DECREF(r);
    }
    mgr_ = held.release();
    release_ = k->release;
    direct_ = k->direct;
    return true;
  }
  // The full protocol: both methods looked up on the type before entering.
  PyObject* enter = lookup_special(mgr, "__enter__"_s);
  if (!enter) {
    PyErr_SetObject(PyExc_AttributeError, "__enter__"_s);
    return false;
  }
  PyObject* exit = lookup_special(mgr, "__exit__"_s);
  if (!exit) {
    Py_DECREF(enter);
    PyErr_SetObject(PyExc_AttributeError, "__exit__"_s);
    return false;
  }
  PyObject* r = call_special(enter, mgr, nullptr, 0);
  Py_DECREF(enter);
  if (!r) {
    Py_DECREF(exit);
    return false;
  }
  Py_DECREF(r);
  mgr_ = held.release();
  exit_ = exit;
  return true;
}

bool Locked::leave() {
  PyObject* mgr = mgr_;
  PyObject* exit = exit_;
  mgr_ = exit_ = nullptr;
  PyObject* r;
  if (exit) {
    PyObject* a[3] = {Py_None, Py_None, Py_None};
    r = call_special(exit, mgr, a, 3);
    Py_DECREF(exit);
  } else {
    r = release_lock(mgr);
  }
  Py_DECREF(mgr);
  if (!r) return false;
  Py_DECREF(r);
  return true;
}

bool Locked::leave_error() {
  PyObject* mgr = mgr_;
  PyObject* exit = exit_;
  mgr_ = exit_ = nullptr;
  PyObject *et, *ev, *etb;
  PyErr_Fetch(&et, &ev, &etb);
  if (!exit) {
    // The lock: released with the error kept as it is; never suppresses.
    PyObject* r = release_lock(mgr);
    Py_DECREF(mgr);
    if (!r) {
      chain_exit_error(et, ev, etb);
      return false;
    }
    Py_DECREF(r);
    PyErr_Restore(et, ev, etb);
    return false;
  }
  PyErr_NormalizeException(&et, &ev, &etb);
  if (etb && ev) PyException_SetTraceback(ev, etb);
  PyObject* a[3] = {et ? et : Py_None, ev ? ev : Py_None, etb ? etb : Py_None};
  PyObject* r = call_special(exit, mgr, a, 3);
  Py_DECREF(exit);
  Py_DECREF(mgr);
  if (!r) {
    chain_exit_error(et, ev, etb);
    return false;
  }
  int suppress = PyObject_IsTrue(r);
  Py_DECREF(r);
  if (suppress != 0) {
    // Suppressed (or the truth test raised, whose error is then pending).
    Py_XDECREF(et);
    Py_XDECREF(ev);
    Py_XDECREF(etb);
    return suppress > 0;
  }
  PyErr_Restore(et, ev, etb);
  return false;
}

PyObject* Locked::release_lock(PyObject* lock) {
  // A lock another thread waits for, or has released meanwhile, is left to
  // its `release`, which wakes the waiter or raises.
  if (compat::lock_try_release(direct_, lock)) Py_RETURN_NONE;
  return call_descriptor(release_, lock);
}

Locked::~Locked() {
  if (!mgr_) return;
  // Only reached when a section is left without leave(): leave it anyway,
  // through __exit__, with the pending error if there is one.
  if (PyErr_Occurred())
    leave_error();
  else
    leave();
}

PyObject* new_lock() {
  PyObject* threading = get_global("threading"_s);
  if (!threading) return nullptr;
  PyObject* lock_type = PyObject_GetAttr(threading, "Lock"_s);
  Py_DECREF(threading);
  if (!lock_type) return nullptr;
  PyObject* lock = PyObject_Vectorcall(lock_type, nullptr, 0, nullptr);
  Py_DECREF(lock_type);
  return lock;
}

}  // namespace frame
