// Sections of a body: locked sections (`with lock:`), which leave what they
// entered on every path, and sections run without the interpreter lock.
#pragma once

#include <new>
#include <type_traits>

#include "frame/compat.hpp"
#include "frame/convert.hpp"
#include "frame/ref.hpp"
#include "frame/runtime.hpp"

namespace frame {

// A locked section: `with mgr:` whose destructor always leaves what it
// entered, through `__exit__`, on every path.
//
// An exact `_thread.lock` or `_thread.RLock` is entered and left through
// its `acquire` and `release` descriptors called by vectorcall: no bound
// method and no argument tuple, so leaving cannot fail for lack of memory.
// A `_thread.lock` that is free is taken, and one that nobody waits for is
// given back, without a call at all, as its methods would.
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
  compat::LockLayout direct_{};  // known for a lock that may be given back without a call

  // Gives back an interpreter lock: a new reference to None, or nullptr.
  PyObject* release_lock(PyObject* lock);
};

// Runs `body` inside `with mgr:`.  `body` returns true on success and false
// with an exception set; a `std::bad_alloc` it throws becomes MemoryError.
// When the body fails, `call` adds the function's traceback entry before the
// section is left, so that `__exit__` sees it and it stays on the error even
// when leaving raises another one (the entry is added once per error).
// Returns 1 when the body completed, 0 when it failed and the manager's
// `__exit__` suppressed the error (execution continues after the block, as
// in Python), and -1 with an exception set.
template <class F>
inline int with_lock(Call call, PyObject* mgr, F&& body) {
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
  call.add_traceback();
  return section.leave_error() ? 0 : -1;
}

// Runs `body` inside `with mgr:` and returns its object.  `body` returns a
// new reference or nullptr with an exception set (PyObject*, Ref or a
// std::optional of a result type); the result is that object, None when the
// body failed and the manager's `__exit__` suppressed the error, or nullptr
// with an exception set.
template <class F>
inline PyObject* locked(Call call, PyObject* mgr, F&& body) {
  Ref r;
  const int rc = with_lock(call, mgr, [&] {
    r.reset(to_result(body()));
    return static_cast<bool>(r);
  });
  if (rc < 0) return nullptr;
  if (!r) Py_RETURN_NONE;  // the error was suppressed
  return r.release();
}

// threading.Lock(), looked up through the module global `threading`.
PyObject* new_lock();

// The layout `_thread.lock` objects were found to have at initialisation
// (Unknown when they are entered through their methods only).
compat::LockLayout thread_lock_layout();

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

}  // namespace frame
