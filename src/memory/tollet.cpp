// talvora.memory.tollet: the best-fit index of free memory blocks.
//
// FastRedBlackTree keeps blocks keyed by size in the native tree of
// tollet_core.hpp.  Writers (insert, delete, remove_ge, clear) take the write
// lock and hold the interpreter lock while they change the tree; the two
// searches take no lock and walk the tree with the interpreter lock released,
// validated afterwards by the sequence counter.
//
// Why a search never touches freed memory:
//  - Tree nodes are freed only through the core's Reclaimer; a search is
//    registered there for the whole walk (see the argument in the core).
//  - Chain members are never reached by a lock-free walk, so they are freed
//    at once.
//  - A search touches the found record's block, or its chain, only after
//    taking the interpreter lock back and seeing the sequence counter
//    unchanged: no write bracket began since the walk started, and none can
//    begin while this thread holds the interpreter lock, since every tree
//    change is made with it held.
//  - Block references a writer gives up are released after the write lock is
//    let go, so that a block's finaliser never runs inside a write.
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "frame/frame.hpp"
#include "memory/tollet_core.hpp"

namespace {

using namespace frame::declarations;
using frame::Ref;
using tollet::RBNode;

constexpr int MAX_RETRIES = 100;

PyTypeObject FastRedBlackTreeType;
frame::Const g_none_pair([] { return frame::tuple_of({Py_None, Py_None}); });  // remove_ge's miss

// The object fields are read through new references (frame::load_field), so
// that a field replaced during a call (clear() swaps the counters and the
// stats dict) stays alive.
struct FastRedBlackTree {
  PyObject_HEAD
  // Every call from another thread changes the reference count in the header;
  // the fields each search reads start a cache line further on.
  char header_gap[64];
  tollet::Tree core;  // root, node_count, seq_counter and retired records
  // Free-threaded builds: held while a write commits its statistics (or puts
  // them back), while get_stats copies them and while reset_circuit_breaker
  // resets two, so that a copy never holds half a write; the dict's own
  // critical section is suspended by a nested lookup.
  frame::compat::Mutex stats_mutex;
  PyObject* write_lock;
  uint32_t sample_rate;
  PyObject* op_counter;
  PyObject* sampled_counter;
  bool use_atomic;
  PyObject* stats_lock;
  PyObject* stats;
};

PyObject* obj(FastRedBlackTree* t) { return reinterpret_cast<PyObject*>(t); }

void free_record(RBNode* n) { PyMem_Free(n); }

PyObject* new_counter() {
  Ref cls(frame::get_global("AtomicCounter"_s));
  if (!cls) return nullptr;
  return frame::call(cls.get(), 0_n);
}

PyObject* new_stats() {
  Ref d(PyDict_New());
  if (!d) return nullptr;
  for (PyObject* key :
       {"total_blocks"_s.get(), "total_insertions"_s.get(), "total_deletions"_s.get(), "total_searches"_s.get(),
        "bucket_hits"_s.get(), "tree_hits"_s.get(), "operation_count"_s.get()})
    if (PyDict_SetItem(d, key, 0_n) < 0) return nullptr;
  return d.release();
}

// Statistics changes of one write, computed before the tree changes so that
// a failed allocation leaves tree and statistics as they were.  Every key is
// already in the dict, so storing the values (commit, or undo to put the old
// ones back) replaces entries and allocates nothing.
class StatUpdate {
 public:
  explicit StatUpdate(FastRedBlackTree* self)
      : stats_(frame::load_field(obj(self), self->stats)), mutex_(self->stats_mutex) {}
  bool add(PyObject* key, bool subtract = false) {
    PyObject* v = PyObject_GetItem(stats_, key);
    if (!v) return false;
    Ref& old = old_[n_];
    old = Ref(v);
    new_[n_] = Ref(subtract ? PyNumber_Subtract(v, 1_n) : PyNumber_Add(v, 1_n));
    if (!new_[n_]) return false;
    keys_[n_++] = key;
    return true;
  }
  void commit() {
    std::lock_guard guard(mutex_);
    for (int i = 0; i < n_; i++) PyObject_SetItem(stats_, keys_[i], new_[i]);
  }
  // Puts the old values back where the committed ones are still in place (a
  // concurrent reset_circuit_breaker may have replaced one meanwhile); the
  // pending exception is kept.
  void undo() {
    PyObject *et, *ev, *etb;
    PyErr_Fetch(&et, &ev, &etb);
    {
      std::lock_guard guard(mutex_);
      for (int i = 0; i < n_; i++) {
        Ref now(PyObject_GetItem(stats_, keys_[i]));
        if (now.get() == new_[i].get()) PyObject_SetItem(stats_, keys_[i], old_[i]);
        PyErr_Clear();  // a key taken out meanwhile: nothing to put back
      }
    }
    PyErr_Restore(et, ev, etb);
  }

 private:
  Ref stats_;
  frame::compat::Mutex& mutex_;
  PyObject* keys_[3] = {};
  Ref old_[3];
  Ref new_[3];
  int n_ = 0;
};

// Releases block references after a write, in order.
void release_all(std::vector<PyObject*>& blocks) {
  for (PyObject* b : blocks) Py_DECREF(b);
  blocks.clear();
}

// Room for `n` block references, so that collecting them cannot throw.
bool reserve(std::vector<PyObject*>& blocks, size_t n) {
  try {
    blocks.reserve(n);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  } catch (const std::length_error&) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Write bracket: lock, odd sequence counter, body, even counter, unlock.
// Retired records are reclaimed at the end of every write.

template <class Body>
PyObject* write_bracket(FastRedBlackTree* self, frame::Call call, Body&& body) {
  Ref lock = frame::load_field(obj(self), self->write_lock);
  return frame::locked(call, lock, [&] {
    // Free-threaded builds: no search is between its validation and the end
    // of taking its references when the write begins (the interpreter lock
    // does this elsewhere).
    if constexpr (frame::compat::free_threaded())
      self->core.write_begin_after_takers();
    else
      self->core.write_begin();
    // The counter must be even again whatever the body does.
    PyObject* r = nullptr;
    try {
      r = body();
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    }
    self->core.reclaimer.reclaim(free_record);
    self->core.write_end();
    return r;
  });
}

// self._sanitize_size(size) converted to unsigned 64-bit.  Returns 1, 0 when
// validation raised ValueError and `value_error_ok` (error cleared), or -1.
int sanitized(FastRedBlackTree* self, PyObject* size, uint64_t& out, bool value_error_ok) {
  // On the exact type the static method cannot be replaced, and it returns a
  // non-negative exact int unchanged; anything else goes through the call.
  if (Py_TYPE(self) == &FastRedBlackTreeType && PyLong_CheckExact(size) && frame::compat::long_sign(size) >= 0)
    return frame::to_u64(size, out) ? 1 : -1;
  Ref v(frame::call_method(obj(self), "_sanitize_size"_s, size));
  if (!v) {
    if (value_error_ok && PyErr_ExceptionMatches(PyExc_ValueError)) {
      PyErr_Clear();
      return 0;
    }
    return -1;
  }
  return frame::to_u64(v, out) ? 1 : -1;
}

// Takes the head block of tree node `node` out: promotes the first chain
// member, or removes the node (retired; searches may still be walking it).
// Returns the reference the tree held to the block.
PyObject* take_head(FastRedBlackTree* self, RBNode* node) {
  PyObject* old;
  if (node->next) {
    void* b;
    free_record(tollet::Tree::promote_head(node, b));
    old = static_cast<PyObject*>(b);
  } else {
    old = static_cast<PyObject*>(node->block);
    self->core.unlink_node(node);
    node->block = nullptr;
    self->core.reclaimer.retire(node);
  }
  self->core.count_removed();
  return old;
}

// ---------------------------------------------------------------------------
// Construction and destruction

void t_alloc(PyObject* o) { new (&reinterpret_cast<FastRedBlackTree*>(o)->core) tollet::Tree(); }

int t_cinit(FastRedBlackTree* self, uint32_t sample_rate) {
  PyObject* lock = frame::new_lock();
  if (!lock) return -1;
  Py_SETREF(self->write_lock, lock);
  self->sample_rate = sample_rate;
  Ref available(frame::get_global("ATOMIC_AVAILABLE"_s));
  if (!available) return -1;
  int on = PyObject_IsTrue(available);
  if (on < 0) return -1;
  if (on) {
    Ref cls(frame::get_global("AtomicCounter"_s));
    if (!cls) return -1;
    on = PyObject_IsTrue(cls);
    if (on < 0) return -1;
  }
  if (on) {
    PyObject* c = new_counter();
    if (!c) return -1;
    Py_SETREF(self->op_counter, c);
    c = new_counter();
    if (!c) return -1;
    Py_SETREF(self->sampled_counter, c);
    self->use_atomic = true;
  }
  lock = frame::new_lock();
  if (!lock) return -1;
  Py_SETREF(self->stats_lock, lock);
  PyObject* stats = new_stats();
  if (!stats) return -1;
  Py_SETREF(self->stats, stats);
  return 0;
}
constexpr frame::FuncDef t_init_def = frame::ctor<&t_cinit>(param("sample_rate", default_int(100)));

// No search can be in flight: each holds a reference to the tree.
void t_dealloc(PyObject* o) {
  auto* self = reinterpret_cast<FastRedBlackTree*>(o);
  auto chain = [](RBNode* m) {
    Py_XDECREF(static_cast<PyObject*>(m->block));
    free_record(m);
  };
  auto node = [](RBNode* n) {
    Py_XDECREF(static_cast<PyObject*>(n->block));
    free_record(n);
  };
  RBNode* root = self->core.root.load(std::memory_order_relaxed);
  self->core.root.store(nullptr, std::memory_order_relaxed);
  self->core.node_count.store(0, std::memory_order_relaxed);
  tollet::Tree::recursive_free(root, chain, node);
  self->core.reclaimer.drain(free_record);
  if (PyErr_Occurred()) PyErr_WriteUnraisable(o);
}

// ---------------------------------------------------------------------------
// Methods

PyObject* t_sanitize_size(AnnotatedInt size) {
  if (frame::compat::long_sign(size.get()) < 0) {
    PyErr_Format(PyExc_ValueError, "Invalid size: %S", size.get());
    return nullptr;
  }
  return size.release();
}
constexpr frame::FuncDef t_sanitize_def = frame::fn<&t_sanitize_size>(
    "_sanitize_size", "Validate a block size: a non-negative int.", returns("int", Coerce::Int), int_param("size"));

PyObject* t_insert(FastRedBlackTree* self, AnnotatedInt size, PyObject* block, frame::Call call) {
  uint64_t sz;
  if (sanitized(self, size, sz, false) < 0) return nullptr;
  bool sampled = false;
  if (self->use_atomic) {
    Ref counter = frame::load_field(obj(self), self->op_counter);
    Ref count(frame::call_method(counter.get(), "increment"_s));
    if (!count) return nullptr;
    if (self->sample_rate != 0) {
      int64_t n;
      if (!frame::to_i64(count, n)) return nullptr;
      sampled = n % static_cast<int64_t>(self->sample_rate) == 0;
    }
  }
  // Everything that can fail before the record is linked comes first; a
  // failure of the sampling counter afterwards rolls the insertion back, so
  // an insert that raises has stored nothing.
  return write_bracket(self, call, [&]() -> PyObject* {
    void* mem = PyMem_Malloc(sizeof(RBNode));
    if (!mem) {
      PyErr_SetString(PyExc_MemoryError, "Failed to allocate RB node");
      return nullptr;
    }
    uint64_t now;
    {
      Ref time(frame::get_global("time"_s));
      Ref ns(time ? frame::call_method(time.get(), "perf_counter_ns"_s) : nullptr);
      if (!ns || !frame::to_u64(ns, now)) {
        PyMem_Free(mem);
        return nullptr;
      }
    }
    StatUpdate stats(self);
    if (!stats.add("total_blocks"_s) || !stats.add("total_insertions"_s) || !stats.add("operation_count"_s)) {
      PyMem_Free(mem);
      return nullptr;
    }
    RBNode* z = tollet::init_node(mem, sz, Ref::borrow(block).release(), now);
    self->core.insert(z);
    stats.commit();
    if (sampled && self->use_atomic) {
      Ref counter = frame::load_field(obj(self), self->sampled_counter);
      Ref r(frame::call_method(counter.get(), "increment"_s));
      if (!r) {
        if (self->core.undo_insert(z))
          self->core.reclaimer.retire(z);
        else
          free_record(z);
        stats.undo();
        Py_DECREF(block);  // the caller's reference keeps it alive
        return nullptr;
      }
    }
    Py_RETURN_TRUE;
  });
}
constexpr frame::FuncDef t_insert_def =
    frame::method<&t_insert>("insert",
                             R"(Insert a free block of the given size.

Same-size blocks share one tree node (intrusive chain); returns True.)",
                             returns("bool"), int_param("size"), param("block", {}, "MemoryBlock"));

// The optimistic read: `walk` runs without the interpreter lock; once the
// sequence counter validates the walk, `take` takes the references to the
// blocks found (it runs no Python code), and `make` builds the result from
// them (nullptr on error).  Returns nullptr with `gave_up` after MAX_RETRIES
// failed attempts.
template <class Walk, class Take, class Make>
PyObject* optimistic_read(FastRedBlackTree* self, Walk&& walk, Take&& take, Make&& make, bool& gave_up) {
  tollet::Tree& core = self->core;
  const unsigned stripe = tollet::thread_stripe();
  gave_up = false;
  for (int attempt = 0; attempt < MAX_RETRIES; attempt++) {
    const uint64_t start = core.read_begin();
    if (start & 1) {
      Ref time(frame::get_global("time"_s));
      Ref r(time ? frame::call_method(time.get(), "sleep"_s, 0.0001_n) : nullptr);
      if (!r) return nullptr;
      continue;
    }
    const unsigned slot = core.reclaimer.enter(stripe);
    RBNode* found = nullptr;
    const bool walked = frame::nogil([&] { return walk(found); });
    bool valid = false, taken = false;
    if (walked && core.read_validate(start)) {
      if constexpr (frame::compat::free_threaded()) {
        valid = core.take_begin(start, stripe);
        if (valid) {
          taken = take(found);
          core.take_end(stripe);
        }
      } else {
        valid = true;
        taken = take(found);
      }
    }
    core.reclaimer.leave(slot);
    if (!valid) continue;
    if (!taken) return nullptr;
    PyObject* result = make();
    if (result) core.count_search(stripe);
    return result;
  }
  gave_up = true;
  return nullptr;
}

PyObject* t_find_best_fit(FastRedBlackTree* self, AnnotatedInt size, AnnotatedInt alignment) {
  (void)alignment;
  uint64_t sz;
  int v = sanitized(self, size, sz, true);
  if (v < 0) return nullptr;
  if (v == 0) Py_RETURN_NONE;
  tollet::Tree& core = self->core;
  bool gave_up;
  Ref block;
  PyObject* r = optimistic_read(
      self, [&](RBNode*& out) { return core.walk_best_fit(sz, core.walk_limit(), out); },
      [&](RBNode* found) {
        block = Ref::borrow(found ? static_cast<PyObject*>(found->block) : Py_None);
        return true;
      },
      [&] { return block.release(); }, gave_up);
  if (!r && gave_up) Py_RETURN_NONE;
  return r;
}
constexpr frame::FuncDef t_find_best_fit_def = frame::method<&t_find_best_fit>(
    "find_best_fit",
    R"(Find the block of the smallest size >= size, without taking a lock.

Returns None when no stored block is large enough.)",
    returns("Optional[MemoryBlock]"), int_param("size"), int_param("alignment", default_int(1)));

PyObject* t_find_all_exact(FastRedBlackTree* self, AnnotatedInt size) {
  uint64_t sz;
  int v = sanitized(self, size, sz, true);
  if (v < 0) return nullptr;
  if (v == 0) return PyList_New(0);
  tollet::Tree& core = self->core;
  std::vector<PyObject*> blocks;
  bool gave_up;
  PyObject* r = optimistic_read(
      self, [&](RBNode*& out) { return core.walk_exact(sz, core.walk_limit(), out); },
      [&](RBNode* found) {
        size_t count = 0;
        for (RBNode* m = found; m; m = m->next) count++;
        if (!reserve(blocks, count)) return false;
        for (RBNode* m = found; m; m = m->next)
          blocks.push_back(Ref::borrow(static_cast<PyObject*>(m->block)).release());
        return true;
      },
      [&]() -> PyObject* {
        // After the references are taken: building the list may run arbitrary code.
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(blocks.size()));
        if (!list) {
          release_all(blocks);
          return nullptr;
        }
        for (size_t i = 0; i < blocks.size(); i++) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), blocks[i]);
        blocks.clear();
        return list;
      },
      gave_up);
  if (!r && gave_up) return PyList_New(0);
  return r;
}
constexpr frame::FuncDef t_find_all_exact_def = frame::method<&t_find_all_exact>(
    "find_all_exact", "All blocks of exactly this size, oldest head first, without taking a lock.",
    returns("List[MemoryBlock]"), int_param("size"));

// `a == b` as the interpreter evaluates it (no identity shortcut).
int equals(PyObject* a, PyObject* b) {
  Ref r(PyObject_RichCompare(a, b, Py_EQ));
  if (!r) return -1;
  return PyObject_IsTrue(r);
}

PyObject* t_delete(FastRedBlackTree* self, AnnotatedInt size, PyObject* block, frame::Call call) {
  uint64_t sz;
  int v = sanitized(self, size, sz, true);
  if (v < 0) return nullptr;
  if (v == 0) Py_RETURN_FALSE;
  PyObject* released = nullptr;  // the tree's reference, dropped after the lock
  PyObject* r = write_bracket(self, call, [&]() -> PyObject* {
    RBNode* node = self->core.find_node(sz);
    if (!node) Py_RETURN_FALSE;
    int eq;
    {
      Ref head = Ref::borrow(static_cast<PyObject*>(node->block));
      eq = equals(head, block);
    }
    if (eq < 0) return nullptr;
    RBNode* pred = nullptr;
    RBNode* m = nullptr;
    if (!eq) {
      pred = node;
      for (m = node->next; m; pred = m, m = m->next) {
        Ref member = Ref::borrow(static_cast<PyObject*>(m->block));
        eq = equals(member, block);
        if (eq < 0) return nullptr;
        if (eq) break;
      }
      if (!m) Py_RETURN_FALSE;
    }
    // Nothing can fail once the block is taken out.
    StatUpdate stats(self);
    if (!stats.add("total_blocks"_s, true) || !stats.add("total_deletions"_s)) return nullptr;
    if (!m) {
      released = take_head(self, node);
    } else {
      tollet::Tree::unlink_chain(pred, m);
      released = static_cast<PyObject*>(m->block);
      free_record(m);
      self->core.count_removed();
    }
    stats.commit();
    Py_RETURN_TRUE;
  });
  Py_XDECREF(released);
  return r;
}
constexpr frame::FuncDef t_delete_def = frame::method<&t_delete>(
    "delete", "Remove one stored block equal to block from the given size; True if one was removed.", returns("bool"),
    int_param("size"), param("block", {}, "MemoryBlock"));

PyObject* t_remove_ge(FastRedBlackTree* self, AnnotatedInt size, frame::Call call) {
  uint64_t sz;
  int v = sanitized(self, size, sz, true);
  if (v < 0) return nullptr;
  if (v == 0) {
    return g_none_pair.new_ref();
  }
  return write_bracket(self, call, [&]() -> PyObject* {
    tollet::Tree& core = self->core;
    RBNode* node = frame::nogil([&] { return core.find_best_fit_node(sz); });
    if (!node) {
      return g_none_pair.new_ref();
    }
    // The result and the statistics are made before the block is taken out,
    // so that nothing can fail afterwards and no block is lost.
    Ref key(PyLong_FromUnsignedLongLong(tollet::Tree::size_of(node)));
    if (!key) return nullptr;
    PyObject* pair = PyTuple_New(2);
    if (!pair) return nullptr;
    StatUpdate stats(self);
    if (!stats.add("total_blocks"_s, true) || !stats.add("total_deletions"_s)) {
      Py_DECREF(pair);
      return nullptr;
    }
    PyObject* block = take_head(self, node);  // the tree's reference passes to the result
    stats.commit();                           // replaces existing entries: cannot fail
    PyTuple_SET_ITEM(pair, 0, key.release());
    PyTuple_SET_ITEM(pair, 1, block);
    return pair;
  });
}
constexpr frame::FuncDef t_remove_ge_def =
    frame::method<&t_remove_ge>("remove_ge",
                                R"(Remove and return the best-fitting block as (size, block), or (None, None).

The returned size is the stored size, which may exceed the request.)",
                                returns("Tuple[Optional[int], Optional[MemoryBlock]]"), int_param("size"));

PyObject* t_get_stats(FastRedBlackTree* self, frame::Call call) {
  Ref lock = frame::load_field(obj(self), self->stats_lock);
  return frame::locked(call, lock, [&]() -> PyObject* {
    Ref stats = frame::load_field(obj(self), self->stats);
    Ref copy;
    if (PyDict_Check(stats.get())) {
      std::lock_guard guard(self->stats_mutex);  // no write half committed
      copy = Ref::steal(PyDict_Copy(stats));
    } else {
      copy = Ref::steal(PyObject_CallMethod(stats, "copy", nullptr));  // None once the collector cleared it
    }
    if (!copy) return nullptr;
    // Searches count natively; the key keeps its place in the dict.
    Ref searches(PyLong_FromUnsignedLongLong(self->core.searches()));
    if (!searches || PyObject_SetItem(copy, "total_searches"_s, searches) < 0) return nullptr;
    Ref count(PyLong_FromUnsignedLongLong(self->core.node_count.load(std::memory_order_acquire)));
    if (!count || PyObject_SetItem(copy, "node_count"_s, count) < 0) return nullptr;
    // A reader of the live tree: no record it walks is freed meanwhile.
    const unsigned slot = self->core.reclaimer.enter();
    const int32_t h = tollet::Tree::compute_height(self->core.root.load(std::memory_order_acquire));
    self->core.reclaimer.leave(slot);
    Ref height(PyLong_FromLong(h));
    if (!height || PyObject_SetItem(copy, "height"_s, height) < 0) return nullptr;
    Ref sampled;
    if (self->use_atomic) {
      Ref counter = frame::load_field(obj(self), self->sampled_counter);
      sampled = Ref(frame::call_method(counter.get(), "load"_s));
    } else {
      sampled = Ref(frame::call_method(stats, "get"_s, "sampled_operations"_s, 0_n));
    }
    if (!sampled || PyObject_SetItem(copy, "sampled_operations"_s, sampled) < 0) return nullptr;
    if (PyObject_SetItem(copy, "is_valid"_s, Py_True) < 0) return nullptr;
    return copy.release();
  });
}
constexpr frame::FuncDef t_get_stats_def =
    frame::method<&t_get_stats>("get_stats", "A new dict of operation statistics.", returns("Dict[str, Any]"));

uint64_t t_size(FastRedBlackTree* self) { return self->core.node_count.load(std::memory_order_acquire); }
constexpr frame::FuncDef t_size_def =
    frame::method<&t_size>("size", "Number of stored blocks.", returns("int", Coerce::Int));

PyObject* t_clear(FastRedBlackTree* self, frame::Call call) {
  std::vector<PyObject*> released;
  PyObject* r = write_bracket(self, call, [&]() -> PyObject* {
    tollet::Tree& core = self->core;
    const uint64_t count = core.node_count.load(std::memory_order_relaxed);
    if (!reserve(released, count)) return nullptr;
    // The records are detached first and freed only once the new statistics
    // and counters exist; a failure before that puts tree and fields back.
    RBNode* root = core.root.load(std::memory_order_relaxed);
    core.root.store(nullptr, std::memory_order_release);
    core.node_count.store(0, std::memory_order_release);
    Ref old_stats, old_op_counter;
    auto roll_back = [&]() -> PyObject* {
      if (old_op_counter) frame::swap_field(obj(self), self->op_counter, old_op_counter);
      if (old_stats) frame::swap_field(obj(self), self->stats, old_stats);
      core.root.store(root, std::memory_order_release);
      core.node_count.store(count, std::memory_order_release);
      return nullptr;
    };
    // Each new object is made in the Ref that then swaps it for the field's.
    old_stats = Ref::steal(new_stats());
    if (!old_stats) return roll_back();
    frame::swap_field(obj(self), self->stats, old_stats);
    if (self->use_atomic) {
      old_op_counter = Ref::steal(new_counter());
      if (!old_op_counter) return roll_back();
      frame::swap_field(obj(self), self->op_counter, old_op_counter);
      Ref sampled = Ref::steal(new_counter());
      if (!sampled) return roll_back();
      frame::swap_field(obj(self), self->sampled_counter, sampled);
    }
    core.reset_searches();
    auto chain = [&](RBNode* m) {
      released.push_back(static_cast<PyObject*>(m->block));
      free_record(m);
    };
    auto node = [&](RBNode* n) {
      released.push_back(static_cast<PyObject*>(n->block));
      n->block = nullptr;
      core.reclaimer.retire(n);  // searches may still be walking it
    };
    tollet::Tree::recursive_free(root, chain, node);
    Py_RETURN_NONE;
  });
  release_all(released);
  return r;
}
constexpr frame::FuncDef t_clear_def =
    frame::method<&t_clear>("clear", "Remove every block and reset the statistics.", returns("None"));

PyObject* t_get_size_distribution(FastRedBlackTree* self, frame::Call call) {
  Ref lock = frame::load_field(obj(self), self->write_lock);
  return frame::locked(call, lock, [&]() -> PyObject* {
    Ref d(PyDict_New());
    if (!d) return nullptr;
    auto add = [&](uint64_t size, uint64_t count) {
      Ref k(PyLong_FromUnsignedLongLong(size));
      Ref v(k ? PyLong_FromUnsignedLongLong(count) : nullptr);
      return v && PyDict_SetItem(d, k, v) == 0;
    };
    if (!tollet::Tree::preorder(self->core.root.load(std::memory_order_acquire), add)) return nullptr;
    return d.release();
  });
}
constexpr frame::FuncDef t_get_size_distribution_def = frame::method<&t_get_size_distribution>(
    "get_size_distribution", "A dict mapping each stored size to its number of blocks.", returns("Dict[int, int]"));

PyObject* t_reset_circuit_breaker(FastRedBlackTree* self, frame::Call call) {
  Ref lock = frame::load_field(obj(self), self->stats_lock);
  Ref stats;  // released after the lock is left
  const int rc = frame::with_lock(call, lock, [&] {
    stats = frame::load_field(obj(self), self->stats);
    std::lock_guard guard(self->stats_mutex);
    return PyObject_SetItem(stats, "circuit_breaker_trips"_s, 0_n) == 0 &&
           PyObject_SetItem(stats, "operation_count"_s, 0_n) == 0;
  });
  if (rc < 0) return nullptr;
  Py_RETURN_NONE;
}
constexpr frame::FuncDef t_reset_circuit_breaker_def = frame::method<&t_reset_circuit_breaker>(
    "reset_circuit_breaker", "Reset the circuit breaker and the operation count.", returns("None"));

PyObject* t_get_statistics(FastRedBlackTree*) { return PyDict_New(); }
constexpr frame::FuncDef t_get_statistics_def = frame::method<&t_get_statistics>(
    "get_statistics", "Timing statistics (not collected in sampling mode): an empty dict.",
    returns("Dict[int, List[float]]"));

// ---------------------------------------------------------------------------
// Slots

PyObject* call_size(PyObject* self) { return frame::call_method(self, "size"_s); }

Py_ssize_t t_len(PyObject* self) {
  Ref r(call_size(self));
  Py_ssize_t n = r ? PyNumber_AsSsize_t(r, PyExc_OverflowError) : -1;
  if (n >= 0) return n;
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "__len__() should return >= 0");
  return -1;
}

int t_bool(PyObject* self) {
  Ref r(call_size(self));
  Ref gt(r ? PyObject_RichCompare(r, 0_n, Py_GT) : nullptr);
  return gt ? PyObject_IsTrue(gt) : -1;
}

PyObject* t_repr(PyObject* o) {
  auto* self = reinterpret_cast<FastRedBlackTree*>(o);
  return PyUnicode_FromFormat("FastRedBlackTree(blocks=%llu, native=True)",
                              static_cast<unsigned long long>(self->core.node_count.load(std::memory_order_acquire)));
}

// ---------------------------------------------------------------------------
// Class body and type

constexpr frame::Entry t_body[] = {
    frame::static_def(t_sanitize_def),
    t_insert_def,
    t_find_best_fit_def,
    t_find_all_exact_def,
    t_delete_def,
    t_remove_ge_def,
    t_get_stats_def,
    t_size_def,
    t_clear_def,
    t_get_size_distribution_def,
    t_reset_circuit_breaker_def,
    t_get_statistics_def,
};

const Py_ssize_t t_fields[] = {
    offsetof(FastRedBlackTree, write_lock),      offsetof(FastRedBlackTree, op_counter),
    offsetof(FastRedBlackTree, sampled_counter), offsetof(FastRedBlackTree, stats_lock),
    offsetof(FastRedBlackTree, stats),
};

constexpr frame::TypeDef t_type = {
    .type = &FastRedBlackTreeType,
    .name = "FastRedBlackTree",
    .doc = R"(Best-fit index of free memory blocks: a red-black tree keyed by size.

Same-size blocks hang off one tree node in an intrusive chain. Writers take
a single write lock; find_best_fit and find_all_exact take no lock and run
their walk without the GIL, validated by a sequence counter.)",
    .basicsize = sizeof(FastRedBlackTree),
    .init = &t_init_def,
    .body = t_body,
    .object_fields = t_fields,
    .dealloc = t_dealloc,
    .alloc_init = t_alloc,
    .len = t_len,
    .truth = t_bool,
    .repr = t_repr,
};

// ---------------------------------------------------------------------------
// Module

int module_body(PyObject*) {
  if (frame::import_module("threading") < 0 || frame::import_module("time") < 0 || frame::import_module("math") < 0 ||
      frame::import_from("typing", {"List", "Optional", "Tuple", "Dict", "Any"}) < 0)
    return -1;
  if (frame::import_from("fennick", {"MemoryBlock"}, 1) < 0) return -1;
  bool atomic = true;
  if (frame::import_from("mesqua", {"AtomicCounter"}, 1) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return -1;
    PyErr_Clear();
    atomic = false;
    if (frame::set_global("AtomicCounter", Py_None) < 0) return -1;
  }
  return frame::set_global("ATOMIC_AVAILABLE", atomic ? Py_True : Py_False);
}

const frame::TypeDef* const kTypes[] = {&t_type};

const frame::ModuleDef kModule = {
    .dotted = "talvora.memory.tollet",
    .doc = R"(Best-fit free-block index for the talvora memory pools.

FastRedBlackTree finds the smallest free block at least as large as a
request in logarithmic time; searches run without locks.)",
    .types = kTypes,
    .body = module_body,
};

}  // namespace

TALVORA_MODULE(tollet, kModule)
