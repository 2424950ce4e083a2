// The frame's compatibility layer: the one place that tests the interpreter
// version or touches private or deprecated CPython API.
//
// The modules build for 3.9 to 3.13, and for 3.13's free-threaded build.  Everything that differs between those
// versions, and every `_Py...` or deprecated call, sits behind a small named
// function here, so module code and the rest of the frame read the same on
// every version.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

namespace frame::compat {

// Sign of an int object (-1, 0, 1); the object must be an int.
inline int long_sign(PyObject* o) {
#if PY_VERSION_HEX >= 0x030E0000
  int sign = 0;
  (void)PyLong_GetSign(o, &sign);  // fails only for a non-int
  return sign;
#else
  return _PyLong_Sign(o);
#endif
}

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

// New ints from C integers, cheaper than the interpreter's constructors for
// the common values: cached small ints come through PyLong_FromUnsignedLong,
// the cheapest way to them (the same objects); before 3.12, a one-digit value
// outside that cache is built directly, where PyLong_FromLong would count
// its digits in a loop.  Every other value takes the interpreter's path.
inline PyObject* one_digit_long(unsigned long magnitude, bool negative) {
#if PY_VERSION_HEX < 0x030C0000
  PyLongObject* l = _PyLong_New(1);
  if (!l) return nullptr;
  l->ob_digit[0] = static_cast<digit>(magnitude);
  if (negative) Py_SET_SIZE(l, -1);
  return reinterpret_cast<PyObject*>(l);
#else
  return negative ? PyLong_FromLong(-static_cast<long>(magnitude)) : PyLong_FromUnsignedLong(magnitude);
#endif
}

inline PyObject* long_from_ulong(unsigned long v) {
  constexpr unsigned long kBase = 1UL << PyLong_SHIFT;
  if (v > 256 && v < kBase) return one_digit_long(v, false);
  return PyLong_FromUnsignedLong(v);
}

inline PyObject* long_from_long(long v) {
  constexpr long kBase = 1L << PyLong_SHIFT;
  if (v >= 0) return long_from_ulong(static_cast<unsigned long>(v));
  if (v < -5 && v > -kBase) return one_digit_long(static_cast<unsigned long>(-v), true);
  return PyLong_FromLong(v);
}

// Makes a str ready for PyUnicode_DATA/KIND (a no-op from 3.12 on).
inline int unicode_ready(PyObject* s) {
#if PY_VERSION_HEX >= 0x030C0000
  (void)s;
  return 0;
#else
  return PyUnicode_READY(s);
#endif
}

// Looks a name up along the type's MRO without calling descriptors, as the
// interpreter does for special methods; new reference or nullptr, no error
// set.  Free-threaded builds take the reference inside the lookup, where
// another thread's assignment to the type cannot free the object first.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
#ifdef Py_GIL_DISABLED
  return _PyType_LookupRef(type, name);
#else
  PyObject* v = _PyType_Lookup(type, name);
  Py_XINCREF(v);
  return v;
#endif
}

// `dict[key]` as a new reference in `*out`: 1 found, 0 missing (nullptr, no
// error), -1 error.
inline int dict_get_ref(PyObject* dict, PyObject* key, PyObject** out) {
#if PY_VERSION_HEX >= 0x030D0000
  return PyDict_GetItemRef(dict, key, out);
#else
  PyObject* v = PyDict_GetItemWithError(dict, key);
  Py_XINCREF(v);
  *out = v;
  return v ? 1 : (PyErr_Occurred() ? -1 : 0);
#endif
}

// Whether this build runs without the interpreter lock.
constexpr bool free_threaded() {
#ifdef Py_GIL_DISABLED
  return true;
#else
  return false;
#endif
}

// A per-object critical section for the scope of the guard: on free-threaded
// builds the object's own mutex (suspended, like the interpreter lock, while
// the thread blocks); nothing where the interpreter lock serialises.
class CriticalSection {
 public:
#ifdef Py_GIL_DISABLED
  explicit CriticalSection(PyObject* o) { PyCriticalSection_Begin(&cs_, o); }
  ~CriticalSection() { PyCriticalSection_End(&cs_); }
#else
  explicit CriticalSection(PyObject*) {}
#endif
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

 private:
#ifdef Py_GIL_DISABLED
  PyCriticalSection cs_;
#endif
};

// Whether nobody can set attributes on the type (so its methods cannot be
// replaced): builtin static types, and from 3.10 on immutable heap types
// such as 3.12's `_thread.lock`.
inline bool type_is_immutable(PyTypeObject* t) {
#if PY_VERSION_HEX >= 0x030A0000
  return PyType_HasFeature(t, Py_TPFLAGS_IMMUTABLETYPE);
#else
  return !PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE);
#endif
}

// A mutex for short native sections that free-threaded builds need
// (PyMutex, which detaches the thread while it waits, so that a collection
// can stop the world); nothing where the interpreter lock serialises.  For
// std::lock_guard.
class Mutex {
 public:
#ifdef Py_GIL_DISABLED
  void lock() { PyMutex_Lock(&m_); }
  void unlock() { PyMutex_Unlock(&m_); }

 private:
  PyMutex m_{};
#else
  void lock() {}
  void unlock() {}
#endif
};

// The interpreter's `_thread.lock` objects, taken and given back without a
// call when nothing waits on them.  Their layout is private to the
// interpreter and has two forms: a `PyThread_type_lock` with a flag (up to
// 3.13's first releases), and a `PyMutex` (later 3.13 releases on).  The frame
// uses these functions only with the form whose size matches the type's and
// whose live instance behaved as it says (checked once at initialisation).
// A failed try leaves the lock as it was, for the lock's own methods.
enum class LockLayout { Unknown, Flagged, Mutex };

struct FlaggedLock {
  PyObject_HEAD
  PyThread_type_lock lock;
  PyObject* weakrefs;
  char locked;
};

#if PY_VERSION_HEX >= 0x030D0000
struct MutexLock {
  PyObject_HEAD
  PyMutex mutex;
};
inline std::atomic_ref<uint8_t> lock_bits(PyObject* o) {
  return std::atomic_ref<uint8_t>(reinterpret_cast<MutexLock*>(o)->mutex._bits);
}
#endif

// The form of a lock type of this size, if any.
inline LockLayout lock_layout_of_size(Py_ssize_t size) {
#if PY_VERSION_HEX >= 0x030D0000
  if (size == static_cast<Py_ssize_t>(sizeof(MutexLock))) return LockLayout::Mutex;
#endif
  if (size == static_cast<Py_ssize_t>(sizeof(FlaggedLock))) return LockLayout::Flagged;
  return LockLayout::Unknown;
}

// Takes the lock when it is free and nobody waits for it.
inline bool lock_try_acquire(LockLayout layout, PyObject* o) {
#if PY_VERSION_HEX >= 0x030D0000
  if (layout == LockLayout::Mutex) {
    uint8_t free_bits = 0;
    return lock_bits(o).compare_exchange_strong(free_bits, 1);
  }
#endif
  if (layout != LockLayout::Flagged) return false;
  FlaggedLock* l = reinterpret_cast<FlaggedLock*>(o);
  if (PyThread_acquire_lock_timed(l->lock, 0, 0) != PY_LOCK_ACQUIRED) return false;
  l->locked = 1;
  return true;
}

// Gives the lock back when it is held and nobody waits for it.
inline bool lock_try_release(LockLayout layout, PyObject* o) {
#if PY_VERSION_HEX >= 0x030D0000
  if (layout == LockLayout::Mutex) {
    uint8_t held_bits = 1;
    return lock_bits(o).compare_exchange_strong(held_bits, 0);
  }
#endif
  if (layout != LockLayout::Flagged) return false;
  FlaggedLock* l = reinterpret_cast<FlaggedLock*>(o);
  if (!l->locked) return false;
  l->locked = 0;
  PyThread_release_lock(l->lock);
  return true;
}

inline bool lock_is_held(LockLayout layout, PyObject* o) {
#if PY_VERSION_HEX >= 0x030D0000
  if (layout == LockLayout::Mutex) return (lock_bits(o).load() & 1) != 0;
#endif
  return layout == LockLayout::Flagged && reinterpret_cast<FlaggedLock*>(o)->locked != 0;
}

// Fills `slots` with the module's declarations that the interpreter knows
// and returns how many: per-interpreter-GIL support (3.12+; the interpreter
// then calls the create slot in any sub-interpreter, which refuses with the
// module's message), and running without the interpreter lock (3.13+, where
// free-threaded builds exist).
inline int declaration_slots(PyModuleDef_Slot* slots) {
  int n = 0;
#if PY_VERSION_HEX >= 0x030C0000
  slots[n++] = {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED};
#endif
#if PY_VERSION_HEX >= 0x030D0000
  slots[n++] = {Py_mod_gil, Py_MOD_GIL_NOT_USED};
#endif
  (void)slots;
  return n;
}

}  // namespace frame::compat
