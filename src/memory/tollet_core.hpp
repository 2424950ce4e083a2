// Native core of the best-fit free-block tree: a red-black tree of records
// keyed by block size, with a singly linked chain of further same-size records
// hanging off each tree node.
//
// The core knows nothing of Python.  A record's block is an opaque pointer; the
// caller allocates records, releases their blocks and frees unlinked records.
//
// Concurrency.  One writer at a time (the caller's write lock) changes the tree.
// Any number of readers may walk it at the same time without a lock
// (`walk_exact`, `walk_best_fit`): tree links and sizes are atomics, the writer
// publishes with release stores and readers load with acquire, and the
// sequence counter (`write_begin` / `write_end` / `read_begin` /
// `read_validate`) tells a reader afterwards whether a write overlapped its
// walk.  Removed tree nodes are not freed at once but retired to a `Reclaimer`
// and freed when no walk that could still reach them is in flight.
//
// Readers never follow `next`, `parent`, `color` or `block`; those are writer
// state, read by others only under the validation of the sequence counter.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <new>
#include <thread>

// ThreadSanitizer does not model std::atomic_thread_fence, so the build it
// checks must not depend on one.  There the sequence counter's fences give way
// to orderings it does model (see `write_begin` and `read_validate`); every
// other build keeps the fences.
#if defined(__SANITIZE_THREAD__)
#define TOLLET_FENCE_FREE 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TOLLET_FENCE_FREE 1
#endif
#endif

namespace tollet {

#ifdef TOLLET_FENCE_FREE
constexpr bool kFenceFree = true;
#else
constexpr bool kFenceFree = false;
#endif
// Loads of a size during a lock-free walk: relaxed where the acquire fence of
// `read_validate` orders them, acquire loads where that fence is left out.
constexpr std::memory_order kWalkSizeOrder = kFenceFree ? std::memory_order_acquire : std::memory_order_relaxed;

constexpr int32_t kRed = 0;
constexpr int32_t kBlack = 1;

struct RBNode {
  std::atomic<RBNode*> parent;
  std::atomic<RBNode*> left;
  std::atomic<RBNode*> right;
  int32_t color;
  std::atomic<uint64_t> size;  // set before the record is published, never changed
  void* block;
  RBNode* next;  // same-size chain; the retire list once the record is retired
  uint64_t alloc_ns;
};

// Builds a fresh red record with null links in raw storage.
inline RBNode* init_node(void* mem, uint64_t size, void* block, uint64_t alloc_ns) {
  RBNode* n = new (mem) RBNode;
  n->parent.store(nullptr, std::memory_order_relaxed);
  n->left.store(nullptr, std::memory_order_relaxed);
  n->right.store(nullptr, std::memory_order_relaxed);
  n->color = kRed;
  n->size.store(size, std::memory_order_relaxed);
  n->block = block;
  n->next = nullptr;
  n->alloc_ns = alloc_ns;
  return n;
}

// ---------------------------------------------------------------------------
// Per-thread stripes of counters that readers write.
//
// A reader writes only its thread's stripe, so readers on different cores do
// not pull one cache line back and forth; a writer or a total reads every
// stripe.  Stripes are 128 bytes apart: they never share a 64-byte line,
// whatever the alignment of the storage the object lives in (an object's
// memory comes from the interpreter's allocator, aligned to 16).

inline constexpr unsigned kStripes = 8;

// The calling thread's stripe: threads take stripes round robin at their
// first call.
inline unsigned thread_stripe() {
  static std::atomic<unsigned> next{0};
  thread_local const unsigned stripe = next.fetch_add(1, std::memory_order_relaxed) % kStripes;
  return stripe;
}

// N counters in each of the stripes.
template <unsigned N>
class Striped {
 public:
  static_assert(N * sizeof(std::atomic<int64_t>) <= 128);
  std::atomic<int64_t>& at(unsigned stripe, unsigned i) { return lines_[stripe].v[i]; }
  const std::atomic<int64_t>& at(unsigned stripe, unsigned i) const { return lines_[stripe].v[i]; }

 private:
  struct Line {
    std::atomic<int64_t> v[N] = {};
    char pad[128 - N * sizeof(std::atomic<int64_t>)] = {};
  };
  Line lines_[kStripes];
};

// ---------------------------------------------------------------------------
// Deferred release of removed tree nodes.
//
// Readers announce themselves in one of two counters, chosen by the parity of
// `phase`; each counter is split into the stripes above, a reader counting in
// its thread's stripe, and "the counter is zero" below means every stripe of
// it reads zero (each stripe alone: a reader increments and decrements the
// same stripe, so no stripe is ever negative).  The writer keeps two lists:
// `cur_`, records retired during the current phase, and `prev_`, records
// retired during the previous phase.  `reclaim()` frees `prev_` when the
// previous phase's counter is zero and then starts a new phase, moving `cur_`
// to `prev_`.
//
// Why this is safe.  All counter and phase operations are sequentially
// consistent.  A reader that entered with phase value p (and re-read the same
// value after incrementing its counter) is counted in counter p&1 until it
// leaves.  Take a record n retired in phase q; it is freed only during phase
// q+1, after the writer read counter q&1 as zero.
//  - p >= q+1: the reader's phase load read a value stored after the writer
//    unlinked n (n was unlinked before the store of q+1), so its acquire load
//    orders the unlink before the reader's walk; the walk starts at the root
//    and can no longer reach n, as no link to a retired record is ever stored
//    again.
//  - p == q: the reader's re-read of the phase returned q, so it precedes the
//    store of q+1 in the total order, and its increment precedes that again;
//    the writer's later load of counter q&1 sees the increment, or the
//    reader's decrement, which orders the whole walk before the free.
//  - p < q: the phase can only move from p+1 to p+2 once counter p&1 reads
//    zero, which (as in the previous case) needs this reader to have left;
//    so n cannot have been retired while the reader was in flight.
// Why memory stays bounded.  New readers always join the current phase's
// counter, so the previous phase's counter drains as soon as the walks that
// began before the last phase change end (each walk is bounded, see
// `walk_limit`).  A record is therefore freed at the second `reclaim()` after
// the walks that could see it have ended, whatever the reading load.
class Reclaimer {
 public:
  // Reader side.  Returns the slot to pass to `leave`.
  unsigned enter(unsigned stripe = thread_stripe()) {
    for (;;) {
      const uint64_t p = phase_.load(std::memory_order_seq_cst);
      const unsigned parity = static_cast<unsigned>(p & 1);
      active_.at(stripe, parity).fetch_add(1, std::memory_order_seq_cst);
      if (phase_.load(std::memory_order_seq_cst) == p) return stripe << 1 | parity;
      active_.at(stripe, parity).fetch_sub(1, std::memory_order_seq_cst);
    }
  }
  void leave(unsigned slot) { active_.at(slot >> 1, slot & 1).fetch_sub(1, std::memory_order_seq_cst); }

  // Writer side (one writer at a time).
  void retire(RBNode* n) {
    n->next = cur_;
    cur_ = n;
    ++retired_;
  }
  template <class Free>
  void reclaim(Free&& free_record) {
    const uint64_t p = phase_.load(std::memory_order_relaxed);
    const unsigned previous = static_cast<unsigned>((p + 1) & 1);
    for (unsigned stripe = 0; stripe < kStripes; stripe++)
      if (active_.at(stripe, previous).load(std::memory_order_seq_cst) != 0) return;
    drop(prev_, free_record);
    prev_ = nullptr;
    if (cur_) {
      prev_ = cur_;
      cur_ = nullptr;
      phase_.store(p + 1, std::memory_order_seq_cst);
    }
  }
  // Frees everything; only when no reader can exist any more.
  template <class Free>
  void drain(Free&& free_record) {
    drop(prev_, free_record);
    drop(cur_, free_record);
    prev_ = cur_ = nullptr;
  }
  // Records retired and not yet freed.
  size_t pending() const { return retired_; }

 private:
  template <class Free>
  void drop(RBNode* n, Free& free_record) {
    while (n) {
      RBNode* next = n->next;
      free_record(n);
      --retired_;
      n = next;
    }
  }

  std::atomic<uint64_t> phase_{0};
  Striped<2> active_;  // readers in flight, by stripe and phase parity
  RBNode* cur_ = nullptr;
  RBNode* prev_ = nullptr;
  size_t retired_ = 0;
};

// ---------------------------------------------------------------------------
// The tree.

class Tree {
 public:
  // A side of a node: false is left, true is right, so !s is the mirror side.
  using Side = bool;
  static constexpr Side kLeftSide = false;
  static constexpr Side kRightSide = true;

  std::atomic<RBNode*> root{nullptr};
  std::atomic<uint64_t> node_count{0};
  std::atomic<uint64_t> seq_counter{0};
  Reclaimer reclaimer;

  // Public like every data member, so that the tree keeps a standard layout
  // (the object holding it is laid out with offsetof).
  Striped<1> search_counts;  // searches completed, by stripe
  Striped<1> takers;         // readers taking references, by stripe

  // --- searches completed, counted by readers in their stripes ---------------
  void count_search(unsigned stripe = thread_stripe()) {
    search_counts.at(stripe, 0).fetch_add(1, std::memory_order_relaxed);
  }
  uint64_t searches() const {
    uint64_t total = 0;
    for (unsigned stripe = 0; stripe < kStripes; stripe++)
      total += static_cast<uint64_t>(search_counts.at(stripe, 0).load(std::memory_order_relaxed));
    return total;
  }
  void reset_searches() {
    for (unsigned stripe = 0; stripe < kStripes; stripe++)
      search_counts.at(stripe, 0).store(0, std::memory_order_relaxed);
  }

  // --- sequence counter (seqlock) --------------------------------------------
  // Without the fence (ThreadSanitizer's build) the odd value still reaches
  // every reader that sees a change of this write: all stores a walk can load
  // (links, root, node count) are release stores made after this one.
  void write_begin() {
    seq_counter.store(seq_counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    if constexpr (!kFenceFree) std::atomic_thread_fence(std::memory_order_release);
  }
  void write_end() { seq_counter.store(seq_counter.load(std::memory_order_relaxed) + 1, std::memory_order_release); }
  uint64_t read_begin() const { return seq_counter.load(std::memory_order_acquire); }
  // The fence keeps the walk's relaxed loads before the re-read of the
  // counter.  Without it, every load of the walk is an acquire load, and an
  // acquire load keeps every later load after it: the same order.
  bool read_validate(uint64_t start) const {
    if constexpr (kFenceFree) return seq_counter.load(std::memory_order_acquire) == start;
    std::atomic_thread_fence(std::memory_order_acquire);
    return seq_counter.load(std::memory_order_relaxed) == start;
  }

  // --- taking references after a walk (free-threaded callers) ---------------
  // Where readers run beside writers with no interpreter lock, a reader that
  // validated its walk must still read the found records' blocks, and take
  // references to them, before any writer unlinks and releases them.  The
  // reader announces itself in its stripe and re-reads the counter; the
  // writer makes the counter odd and waits until no reader is announced.
  // All four steps are sequentially consistent, so of the reader's re-read
  // and the writer's scan at least one sees the other: either the reader
  // sees the write begun and takes nothing, or the writer waits until the
  // reader is done.  Readers only write their own stripe.
  bool take_begin(uint64_t start, unsigned stripe) {
    takers.at(stripe, 0).fetch_add(1, std::memory_order_seq_cst);
    if (seq_counter.load(std::memory_order_seq_cst) == start) return true;
    takers.at(stripe, 0).fetch_sub(1, std::memory_order_release);
    return false;
  }
  void take_end(unsigned stripe) { takers.at(stripe, 0).fetch_sub(1, std::memory_order_release); }
  // write_begin() for such writers.  The read-modify-write also keeps every
  // later store of the write after the odd value.
  void write_begin_after_takers() {
    seq_counter.fetch_add(1, std::memory_order_seq_cst);
    for (unsigned stripe = 0; stripe < kStripes; stripe++)
      for (unsigned spins = 0; takers.at(stripe, 0).load(std::memory_order_seq_cst) != 0; spins++)
        if (spins >= 64) std::this_thread::yield();  // a reader is taking a few references
  }

  // --- searches ------------------------------------------------------------
  // A red-black tree of n nodes is at most 2*log2(n+1) high; a walk longer
  // than this met a tree in the middle of a change and is abandoned.
  uint64_t walk_limit() const {
    const uint64_t n = node_count.load(std::memory_order_acquire);
    return 2 * static_cast<uint64_t>(std::bit_width(n)) + 2;
  }

  // Lock-free walks: false when the walk exceeded `limit` nodes.
  bool walk_exact(uint64_t key, uint64_t limit, RBNode*& out) const {
    RBNode* n = root.load(std::memory_order_acquire);
    for (uint64_t steps = 0; n; steps++) {
      if (steps >= limit) return false;
      const uint64_t s = n->size.load(kWalkSizeOrder);
      if (s == key) {
        out = n;
        return true;
      }
      n = key < s ? n->left.load(std::memory_order_acquire) : n->right.load(std::memory_order_acquire);
    }
    out = nullptr;
    return true;
  }
  bool walk_best_fit(uint64_t key, uint64_t limit, RBNode*& out) const {
    RBNode* n = root.load(std::memory_order_acquire);
    RBNode* cand = nullptr;
    uint64_t cand_size = 0;
    for (uint64_t steps = 0; n; steps++) {
      if (steps >= limit) return false;
      const uint64_t s = n->size.load(kWalkSizeOrder);
      if (s < key) {
        n = n->right.load(std::memory_order_acquire);
      } else {
        if (!cand || s < cand_size) {
          cand = n;
          cand_size = s;
        }
        n = n->left.load(std::memory_order_acquire);
      }
    }
    out = cand;
    return true;
  }

  // Writer-side searches (no concurrent writer, so no bound is needed).
  RBNode* find_node(uint64_t key) const {
    RBNode* r = nullptr;
    walk_exact(key, UINT64_MAX, r);
    return r;
  }
  RBNode* find_best_fit_node(uint64_t key) const {
    RBNode* r = nullptr;
    walk_best_fit(key, UINT64_MAX, r);
    return r;
  }

  static RBNode* minimum(RBNode* n) {
    while (RBNode* l = L(n)) n = l;
    return n;
  }

  // --- insertion -------------------------------------------------------------
  // Links a fresh record: behind the tree node of its size, or as a new tree
  // node with the insert fix-up.  `node_count` grows by one.
  void insert(RBNode* z) {
    const uint64_t key = z->size.load(std::memory_order_relaxed);
    if (RBNode* same = find_node(key)) {
      z->next = same->next;
      same->next = z;
    } else if (!root.load(std::memory_order_relaxed)) {
      z->color = kBlack;
      root.store(z, std::memory_order_release);
    } else {
      RBNode* y = root.load(std::memory_order_relaxed);
      for (;;) {
        if (key < size_of(y)) {
          if (!L(y)) {
            set_parent(z, y);
            set_left(y, z);
            break;
          }
          y = L(y);
        } else {
          if (!R(y)) {
            set_parent(z, y);
            set_right(y, z);
            break;
          }
          y = R(y);
        }
      }
      fixup_insert(z);
    }
    node_count.store(node_count.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  }

  // Takes back the record `z` of the latest insert(), before any other change:
  // it sits right behind the tree node of its size, or is that node.  Returns
  // true when `z` was a tree node (retire it: readers may have reached it),
  // false for a chain member (never reachable by a walk; free it at once).
  bool undo_insert(RBNode* z) {
    RBNode* head = find_node(size_of(z));
    count_removed();
    if (head != z) {
      unlink_chain(head, z);
      return false;
    }
    unlink_node(z);
    return true;
  }

  // --- removal ---------------------------------------------------------------
  // Takes tree node z (whose chain is empty) out of the tree and rebalances.
  // The record itself is left to the caller (retire it: readers may hold it).
  // When a black record is removed the fix-up also runs for a null
  // replacement child, which counts as black; `xp` tracks its parent.
  void unlink_node(RBNode* z) {
    int32_t removed = z->color;
    RBNode* x;
    RBNode* xp;
    RBNode* zl = L(z);
    RBNode* zr = R(z);
    if (!zl) {
      x = zr;
      xp = P(z);
      transplant(z, zr);
    } else if (!zr) {
      x = zl;
      xp = P(z);
      transplant(z, zl);
    } else {
      RBNode* y = minimum(zr);
      removed = y->color;
      x = R(y);
      if (P(y) != z) {
        xp = P(y);
        transplant(y, R(y));
        set_right(y, R(z));
        set_parent(R(y), y);
      } else {
        xp = y;
        if (x) set_parent(x, y);
      }
      transplant(z, y);
      set_left(y, L(z));
      set_parent(L(y), y);
      y->color = z->color;
    }
    if (removed == kBlack) fixup_delete(x, xp);
  }

  // Head promotion: the first chain member's block moves into the tree node.
  // Returns the emptied chain record (never reachable by a walk, so it may be
  // freed at once); `old_block` receives the node's previous block.
  static RBNode* promote_head(RBNode* node, void*& old_block) {
    RBNode* d = node->next;
    node->next = d->next;
    old_block = node->block;
    node->block = d->block;
    d->block = nullptr;
    return d;
  }
  // Takes chain member m (successor of pred) out of the chain.
  static void unlink_chain(RBNode* pred, RBNode* m) { pred->next = m->next; }

  void count_removed() { node_count.store(node_count.load(std::memory_order_relaxed) - 1, std::memory_order_release); }

  // --- rebalancing -------------------------------------------------------------
  // Each step is written once for a side s; its mirror image uses !s.

  // Rotates x down toward side s: its child on the other side takes its place.
  void rotate(RBNode* x, Side s) {
    RBNode* y = child(x, !s);
    RBNode* inner = child(y, s);
    set_child(x, !s, inner);
    if (inner) set_parent(inner, x);
    RBNode* xp = P(x);
    set_parent(y, xp);
    replace_child(xp, x, y);
    set_child(y, s, x);
    set_parent(x, y);
  }

  // Puts v where u hangs under up (at the root when up is null).
  void replace_child(RBNode* up, const RBNode* u, RBNode* v) {
    if (!up) {
      root.store(v, std::memory_order_release);
    } else if (u == L(up)) {
      set_left(up, v);
    } else {
      set_right(up, v);
    }
  }

  void fixup_insert(RBNode* z) {
    while (RBNode* p = P(z)) {
      if (p->color != kRed) break;
      RBNode* g = P(p);
      const Side s = p == L(g) ? kLeftSide : kRightSide;
      RBNode* u = child(g, !s);
      if (is_red(u)) {
        p->color = kBlack;
        u->color = kBlack;
        g->color = kRed;
        z = g;
        continue;
      }
      if (z == child(p, !s)) {
        z = p;
        rotate(z, s);
        p = P(z);
        g = P(p);
      }
      p->color = kBlack;
      g->color = kRed;
      rotate(g, !s);
    }
    root.load(std::memory_order_relaxed)->color = kBlack;
  }

  void transplant(RBNode* u, RBNode* v) {
    RBNode* up = P(u);
    replace_child(up, u, v);
    if (v) set_parent(v, up);
  }

  // x may be null (a removed leaf position); xp is then its parent.
  void fixup_delete(RBNode* x, RBNode* xp) {
    while (x != root.load(std::memory_order_relaxed) && !is_red(x)) {
      RBNode* p = x ? P(x) : xp;
      const Side s = x == L(p) ? kLeftSide : kRightSide;
      RBNode* w = child(p, !s);
      if (!w) {
        x = p;
        continue;
      }
      if (w->color == kRed) {
        w->color = kBlack;
        p->color = kRed;
        rotate(p, s);
        w = child(p, !s);
        if (!w) {
          x = p;
          continue;
        }
      }
      if (is_red(child(w, s)) || is_red(child(w, !s))) {
        if (!is_red(child(w, !s))) {
          child(w, s)->color = kBlack;
          w->color = kRed;
          rotate(w, !s);
          w = child(p, !s);
          if (!w) break;
        }
        w->color = p->color;
        p->color = kBlack;
        if (RBNode* far = child(w, !s)) far->color = kBlack;
        rotate(p, s);
        x = root.load(std::memory_order_relaxed);
        break;
      }
      w->color = kRed;
      x = p;
    }
    if (x) x->color = kBlack;
  }

  // --- measurement and traversal ---------------------------------------------
  // Also a reader's walk beside a writer: links read with acquire, as the
  // searches read them.
  static int32_t compute_height(const RBNode* n) {
    if (!n) return 0;
    const int32_t l = compute_height(n->left.load(std::memory_order_acquire));
    const int32_t r = compute_height(n->right.load(std::memory_order_acquire));
    return 1 + (l > r ? l : r);
  }

  // Pre-order (node, left, right); f(size, count) returns false to stop.
  template <class F>
  static bool preorder(const RBNode* n, F& f) {
    if (!n) return true;
    uint64_t count = 1;
    for (const RBNode* m = n->next; m; m = m->next) count++;
    if (!f(size_of(n), count)) return false;
    return preorder(L(n), f) && preorder(R(n), f);
  }

  // Frees a subtree: left, right, then the node's chain in order, then the
  // node.  release_chain(m) handles a chain member, release_node(n) a node.
  template <class Chain, class Node>
  static void recursive_free(RBNode* n, Chain& release_chain, Node& release_node) {
    if (!n) return;
    recursive_free(L(n), release_chain, release_node);
    recursive_free(R(n), release_chain, release_node);
    RBNode* m = n->next;
    while (m) {
      RBNode* next = m->next;
      release_chain(m);
      m = next;
    }
    n->next = nullptr;
    release_node(n);
  }

  // Writer-side link access.
  static RBNode* L(const RBNode* n) { return n->left.load(std::memory_order_relaxed); }
  static RBNode* R(const RBNode* n) { return n->right.load(std::memory_order_relaxed); }
  static RBNode* P(const RBNode* n) { return n->parent.load(std::memory_order_relaxed); }
  static uint64_t size_of(const RBNode* n) { return n->size.load(std::memory_order_relaxed); }
  static bool is_red(const RBNode* n) { return n && n->color == kRed; }

  static RBNode* child(const RBNode* n, Side s) { return s ? R(n) : L(n); }

 private:
  static void set_left(RBNode* n, RBNode* v) { n->left.store(v, std::memory_order_release); }
  static void set_right(RBNode* n, RBNode* v) { n->right.store(v, std::memory_order_release); }
  static void set_parent(RBNode* n, RBNode* v) { n->parent.store(v, std::memory_order_relaxed); }
  static void set_child(RBNode* n, Side s, RBNode* v) { s ? set_right(n, v) : set_left(n, v); }
};

}  // namespace tollet
