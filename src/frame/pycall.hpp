// Calls into Python from module bodies: method and function calls without
// argument tuples, context managers, sections without the interpreter lock,
// locks, dicts and number formatting.
#pragma once

#include <initializer_list>
#include <new>
#include <type_traits>
#include <utility>

#include "frame/compat.hpp"
#include "frame/ref.hpp"

namespace frame {

// Arguments are PyObject* or declared constants ("name"_s, 1_n).
template <class... A>
inline PyObject* call_method(PyObject* self, PyObject* name, const A&... a) {
  PyObject* v[] = {nullptr, self, a...};
  return PyObject_VectorcallMethod(name, v + 1, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}
template <class... A>
inline PyObject* call(PyObject* callable, const A&... a) {
  PyObject* v[] = {nullptr, a...};
  return PyObject_Vectorcall(callable, v + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// Calls `callable` with `args` bound to the names of `kwnames` (no
// positional arguments).
inline PyObject* call_with_keywords(PyObject* callable, PyObject* kwnames, PyObject* const* args) {
  return PyObject_Vectorcall(callable, args, 0, kwnames);
}

// `a, b, ... = seq` for n targets, new references in `out`: exact tuples and
// lists are read in place, anything else is iterated up to n + 1 items.  The
// messages are the interpreter's: "too many values to unpack (expected n)"
// and, for too few, "need more than k value(s) to unpack".
bool unpack_iterable(PyObject* seq, Ref* out, Py_ssize_t n);
// The same after reading the whole sequence into a tuple; too few values
// raise "not enough values to unpack (expected n, got k)".
bool unpack_sequence(PyObject* seq, Ref* out, Py_ssize_t n);

// TypeError "object of type '%.200s' has no len()"; returns nullptr.
PyObject* raise_no_len(PyObject* o);

// A locked section: `with mgr:` whose destructor always leaves what it
// entered, through `__exit__`, on every path.
//
// An exact `_thread.lock` or `_thread.RLock` is entered and left through
// its `acquire` and `release` descriptors called by vectorcall: no bound
// method and no argument tuple, so leaving cannot fail for lack of memory.
// Any other object gets the full protocol: `__enter__` and `__exit__` looked
// up on its type before entering, `__exit__` called with (None, None, None)
// or with the pending error, whose result may suppress that error.
class Locked {
 public:
  Locked() = default;
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
  ~Locked();

  // Enters; false with an exception set (nothing is held then).
  bool enter(PyObject* mgr);
  // Leaves after success: false with an exception set if leaving raised.
  bool leave();
  // Leaves with the pending error: true when `__exit__` suppressed it (no
  // error pending then), false with an error pending.
  bool leave_error();

 private:
  PyObject* mgr_ = nullptr;      // the entered object, owned while entered
  PyObject* exit_ = nullptr;     // its __exit__, owned; null for the interpreter's locks
  PyObject* release_ = nullptr;  // the lock type's release descriptor (borrowed)
};

// Runs `body` inside `with mgr:`.  `body` returns true on success and false
// with an exception set; a `std::bad_alloc` it throws becomes MemoryError.
// Returns 1 when the body completed, 0 when it failed and the manager's
// `__exit__` suppressed the error (execution continues after the block, as
// in Python), and -1 with an exception set.
template <class F>
inline int with_lock(PyObject* mgr, F&& body) {
  Locked section;
  if (!section.enter(mgr)) return -1;
  bool ok;
  try {
    ok = body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    ok = false;
  }
  if (ok) return section.leave() ? 1 : -1;
  return section.leave_error() ? 0 : -1;
}

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

// `part / whole` in Python arithmetic when `whole > 0`, else 0.0.
PyObject* ratio_or_zero(PyObject* part, PyObject* whole);

// `part / whole * 100.0` in Python arithmetic when `whole > 0`, else 0.0.
PyObject* percent_or_zero(PyObject* part, PyObject* whole);

// Python's f"{value:.1f}%" for any object.
PyObject* format_percent(PyObject* value);

// Formats a double like Python's format(x, ".1f") (code 'f', precision 1).
PyObject* format_float(double x, char code, int precision);

}  // namespace frame
