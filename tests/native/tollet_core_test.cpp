// Native tests of the free-block tree core: red-black invariants after long
// random operation sequences, chain order, heights, and concurrent lock-free
// walks against a writer that retires and reclaims records.
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "check.hpp"
#include "memory/tollet_core.hpp"

using tollet::RBNode;
using tollet::Tree;

static std::atomic<int64_t> live_records{0};

static void free_record(RBNode* n) {
  std::memset(static_cast<void*>(n), 0xdd, sizeof(RBNode));  // poison: a later walk would misbehave
  std::free(n);
  live_records.fetch_sub(1);
}

static void* tag(uintptr_t id) { return reinterpret_cast<void*>(id); }
static uintptr_t id_of(void* b) { return reinterpret_cast<uintptr_t>(b); }

// A tree with its same-size chains modelled as head-first deques.
struct Harness {
  Tree t;
  std::map<uint64_t, std::deque<uintptr_t>> model;
  uintptr_t next_id = 1;
  bool after_takers = false;  // writes wait for readers taking blocks (no lock)

  void begin() { after_takers ? t.write_begin_after_takers() : t.write_begin(); }

  ~Harness() {
    auto chain = [](RBNode* m) { free_record(m); };
    auto node = [](RBNode* n) { free_record(n); };
    Tree::recursive_free(t.root.load(), chain, node);
    t.reclaimer.drain(free_record);
  }

  void insert(uint64_t size) {
    void* mem = std::malloc(sizeof(RBNode));
    live_records.fetch_add(1);
    uintptr_t id = next_id++;
    begin();
    t.insert(tollet::init_node(mem, size, tag(id), 0));
    auto& d = model[size];
    if (d.empty())
      d.push_back(id);
    else
      d.insert(d.begin() + 1, id);  // behind the head
    t.write_end();
  }

  // Inserts a record and takes it back at once, as a write that fails after
  // linking does; the model is left as it was.
  void insert_undone(uint64_t size) {
    void* mem = std::malloc(sizeof(RBNode));
    live_records.fetch_add(1);
    t.write_begin();
    RBNode* z = tollet::init_node(mem, size, tag(next_id++), 0);
    t.insert(z);
    const bool was_node = t.find_node(size) == z;
    const bool node = t.undo_insert(z);
    CHECK(node == was_node);
    if (node)
      t.reclaimer.retire(z);
    else
      free_record(z);
    t.reclaimer.reclaim(free_record);
    t.write_end();
  }

  // Takes the head block of the node (promotion or removal).
  uintptr_t take_head(RBNode* node) {
    uintptr_t id;
    if (node->next) {
      void* old;
      free_record(Tree::promote_head(node, old));
      id = id_of(old);
    } else {
      id = id_of(node->block);
      t.unlink_node(node);
      t.reclaimer.retire(node);
    }
    t.count_removed();
    return id;
  }

  bool remove_ge(uint64_t size, uint64_t* got = nullptr) {
    begin();
    RBNode* n = t.find_best_fit_node(size);
    bool ok = n != nullptr;
    if (ok) {
      uint64_t s = Tree::size_of(n);
      if (got) *got = s;
      uintptr_t id = take_head(n);
      auto it = model.lower_bound(size);
      CHECK(it != model.end() && it->first == s && it->second.front() == id);
      it->second.pop_front();
      if (it->second.empty()) model.erase(it);
    } else {
      CHECK(model.lower_bound(size) == model.end());
    }
    t.reclaimer.reclaim(free_record);
    t.write_end();
    return ok;
  }

  // Removes the block with this id from size's chain (like delete()).
  bool remove_id(uint64_t size, uintptr_t id) {
    t.write_begin();
    bool ok = false;
    if (RBNode* n = t.find_node(size)) {
      if (id_of(n->block) == id) {
        take_head(n);
        ok = true;
      } else {
        for (RBNode *pred = n, *m = n->next; m; pred = m, m = m->next) {
          if (id_of(m->block) == id) {
            Tree::unlink_chain(pred, m);
            free_record(m);
            t.count_removed();
            ok = true;
            break;
          }
        }
      }
    }
    t.reclaimer.reclaim(free_record);
    t.write_end();
    if (ok) {
      auto& d = model[size];
      for (auto it = d.begin(); it != d.end(); ++it)
        if (*it == id) {
          d.erase(it);
          break;
        }
      if (d.empty()) model.erase(size);
    }
    return ok;
  }
};

// Returns the black height, or -1 on a violation (reported).
static int check_subtree(const RBNode* n, const RBNode* parent, const uint64_t* lo, const uint64_t* hi, size_t& nodes,
                         size_t& blocks, const std::map<uint64_t, std::deque<uintptr_t>>& model) {
  if (!n) return 1;
  nodes++;
  const uint64_t s = Tree::size_of(n);
  CHECK(Tree::P(n) == parent);
  CHECK(!lo || s > *lo);
  CHECK(!hi || s < *hi);
  CHECK(n->color == tollet::kRed || n->color == tollet::kBlack);
  if (n->color == tollet::kRed) {
    CHECK(!Tree::is_red(Tree::L(n)));
    CHECK(!Tree::is_red(Tree::R(n)));
  }
  auto it = model.find(s);
  CHECK(it != model.end());
  if (it != model.end()) {
    size_t i = 0;
    const RBNode* m = n;
    for (; m && i < it->second.size(); m = m->next, i++) CHECK(id_of(m->block) == it->second[i]);
    CHECK(!m && i == it->second.size());
    blocks += it->second.size();
    for (const RBNode* c = n->next; c; c = c->next)
      CHECK(!Tree::L(c) && !Tree::R(c) && !Tree::P(c) && c->color == tollet::kRed);
  }
  int l = check_subtree(Tree::L(n), n, lo, &s, nodes, blocks, model);
  int r = check_subtree(Tree::R(n), n, &s, hi, nodes, blocks, model);
  if (l < 0 || r < 0) return -1;
  if (l != r) {
    std::fprintf(stderr, "black heights differ under size %llu: %d vs %d\n", (unsigned long long)s, l, r);
    native_test::failures++;
    return -1;
  }
  return l + (n->color == tollet::kBlack ? 1 : 0);
}

static bool check_tree(Harness& h) {
  const int before = native_test::failures;
  const RBNode* root = h.t.root.load();
  CHECK(!root || root->color == tollet::kBlack);
  size_t nodes = 0, blocks = 0;
  check_subtree(root, nullptr, nullptr, nullptr, nodes, blocks, h.model);
  CHECK(nodes == h.model.size());
  CHECK(blocks == h.t.node_count.load());
  const double bound = 2.0 * std::log2(double(nodes) + 1.0);
  CHECK(Tree::compute_height(root) <= bound + 1e-9);
  return native_test::failures == before;
}

static void test_described_shapes() {
  {
    Harness h;
    for (uint64_t s = 1; s <= 7; s++) h.insert(s);
    CHECK(Tree::size_of(h.t.root.load()) == 2);
    CHECK(Tree::compute_height(h.t.root.load()) == 4);
    check_tree(h);
  }
  {
    Harness h;
    for (uint64_t s = 1; s <= 15; s++) h.insert(s);
    CHECK(Tree::compute_height(h.t.root.load()) == 6);
    check_tree(h);
  }
  {
    // Chain order: head A, then C, B; promotion leaves C with B behind it.
    Harness h;
    h.insert(64);
    h.insert(64);
    h.insert(64);
    RBNode* n = h.t.root.load();
    CHECK(id_of(n->block) == 1 && id_of(n->next->block) == 3 && id_of(n->next->next->block) == 2);
    CHECK(h.t.node_count.load() == 3);
    CHECK(h.remove_ge(1));
    CHECK(h.t.root.load() == n && id_of(n->block) == 3 && id_of(n->next->block) == 2 && !n->next->next);
    check_tree(h);
  }
  {
    // Unsigned order and best fit edges.
    Harness h;
    CHECK(!h.t.find_best_fit_node(0));
    h.insert(1);
    h.insert(uint64_t(1) << 63);
    h.insert(UINT64_MAX);
    CHECK(Tree::size_of(h.t.find_best_fit_node(2)) == (uint64_t(1) << 63));
    CHECK(Tree::size_of(h.t.find_best_fit_node(0)) == 1);
    CHECK(Tree::size_of(h.t.find_best_fit_node(UINT64_MAX)) == UINT64_MAX);
    CHECK(h.remove_ge(UINT64_MAX) && !h.t.find_best_fit_node(UINT64_MAX));
    check_tree(h);
  }
  {
    Harness h;
    h.insert(5);
    uint64_t got = 0;
    CHECK(h.remove_ge(0, &got) && got == 5);
    CHECK(!h.t.root.load() && Tree::compute_height(nullptr) == 0 && h.t.node_count.load() == 0);
  }
}

static void test_random_invariants() {
  std::mt19937_64 rng(12345);
  for (int round = 0; round < 6; round++) {
    Harness h;
    const uint64_t span = round % 2 ? 64 : 5000;  // many duplicates or mostly distinct
    for (int op = 0; op < 6000; op++) {
      const int kind = static_cast<int>(rng() % 10);
      if (kind < 5 || h.model.empty()) {
        h.insert(rng() % span);
      } else if (kind < 8) {
        h.remove_ge(rng() % span);
      } else {
        // delete a random stored block (head or chain member)
        auto it = h.model.begin();
        std::advance(it, static_cast<long>(rng() % h.model.size()));
        const auto& d = it->second;
        CHECK(h.remove_id(it->first, d[rng() % d.size()]));
      }
      if (!check_tree(h)) {
        std::fprintf(stderr, "invariant broken in round %d at op %d\n", round, op);
        return;
      }
    }
    while (!h.model.empty()) h.remove_ge(0);
    CHECK(!h.t.root.load() && h.t.node_count.load() == 0);
  }
}

static void report_heights() {
  // Ascending sizes in batches of 50, deleting the 25 largest after each batch.
  Harness h;
  uint64_t next = 0;
  for (int batch = 0; batch < 200; batch++) {
    for (int i = 0; i < 50; i++) h.insert(next++);
    for (int i = 0; i < 25; i++) {
      uint64_t largest = h.model.rbegin()->first;
      h.remove_id(largest, h.model.rbegin()->second.front());
    }
  }
  check_tree(h);
  const uint64_t n = h.t.node_count.load();
  const int hb = Tree::compute_height(h.t.root.load());
  std::printf("batch pattern: %llu blocks, height %d, bound %.1f\n", (unsigned long long)n, hb,
              2 * std::log2(double(n) + 1));
  CHECK(n == 5000 && hb <= 2 * std::log2(double(n) + 1));

  Harness r;
  std::mt19937_64 rng(7);
  for (int i = 0; i < 100000; i++) r.insert(rng());
  for (int i = 0; i < 100000; i++) {
    r.remove_ge(rng());
    r.insert(rng());
  }
  check_tree(r);
  const uint64_t rn = r.t.node_count.load();
  const int rh = Tree::compute_height(r.t.root.load());
  std::printf("random pattern: %llu blocks, height %d, bound %.1f\n", (unsigned long long)rn, rh,
              2 * std::log2(double(r.model.size()) + 1));
  CHECK(rh <= 2 * std::log2(double(r.model.size()) + 1));
}

// Readers walk without locks while one writer inserts, removes, retires and
// reclaims.  Freed records are poisoned, so a walk through one would go wrong
// (and AddressSanitizer reports it).  With a lock: a mutex stands in for the
// interpreter lock as the module uses it: the writer holds it while it
// changes the tree, and a reader takes it after its walk, validates, and only
// then reads the found record's block, a plain field (ThreadSanitizer checks
// that order).  Without (free-threaded builds): the reader announces itself
// with take_begin instead, and the writer waits for it as a write begins;
// the model, which the writer changes inside the write, stands for the
// blocks a reader takes.
static void test_concurrent_walks(bool with_lock) {
  Harness h;
  h.after_takers = !with_lock;
  std::mutex gil;
  for (uint64_t s = 0; s < 2000; s += 2) h.insert(s);
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> validated{0}, failed{0};
  auto reader = [&](unsigned seed) {
    std::mt19937_64 rng(seed);
    while (!stop.load(std::memory_order_relaxed)) {
      const uint64_t key = rng() % 2100;
      const uint64_t start = h.t.read_begin();
      if (start & 1) continue;
      const unsigned slot = h.t.reclaimer.enter();
      RBNode* found = nullptr;
      const bool best_fit = rng() & 1;
      bool walked =
          best_fit ? h.t.walk_best_fit(key, h.t.walk_limit(), found) : h.t.walk_exact(key, h.t.walk_limit(), found);
      // The tree is as the walk saw it: the found record is the node of its
      // size and its block is the head of that size's chain.
      auto check = [&] {
        auto it = best_fit ? h.model.lower_bound(key) : h.model.find(key);
        const bool right = found ? it != h.model.end() && it->first == Tree::size_of(found) &&
                                       it->second.front() == id_of(found->block)
                                 : it == h.model.end();
        if (!right) failed.fetch_add(1);
        validated.fetch_add(1);
      };
      if (walked && with_lock) {
        std::lock_guard<std::mutex> held(gil);
        if (h.t.read_validate(start)) check();
      } else if (walked && h.t.read_validate(start)) {
        const unsigned stripe = tollet::thread_stripe();
        if (h.t.take_begin(start, stripe)) {
          check();
          h.t.take_end(stripe);
        }
      }
      h.t.reclaimer.leave(slot);
    }
  };
  std::vector<std::thread> readers;
  for (unsigned i = 0; i < 3; i++) readers.emplace_back(reader, 100 + i);
  std::mt19937_64 rng(99);
  size_t max_pending = 0;
  for (int op = 0; op < 200000 / native_test::kSlowdown; op++) {
    std::unique_lock<std::mutex> held(gil, std::defer_lock);
    if (with_lock) held.lock();
    if (rng() % 2)
      h.insert(rng() % 2000);
    else
      h.remove_ge(rng() % 2000);
    if (h.t.reclaimer.pending() > max_pending) max_pending = h.t.reclaimer.pending();
  }
  stop.store(true);
  for (auto& t : readers) t.join();
  CHECK(failed.load() == 0);
  CHECK(validated.load() > 0);
  CHECK(check_tree(h));
  // With no reader left, two writes free everything retired.
  h.insert(1);
  h.remove_ge(1);
  h.insert(1);
  h.remove_ge(1);
  h.insert(1);
  CHECK(h.t.reclaimer.pending() == 0);
  std::printf("concurrent walks (%s): %llu validated reads, at most %zu records awaiting release\n",
              with_lock ? "lock" : "no lock", (unsigned long long)validated.load(), max_pending);
  CHECK(max_pending < 100000);
}

// Undoing an insert restores the tree: chain order, links and colours pass
// the invariants and later operations agree with the model.
static void test_undo_insert() {
  std::mt19937_64 rng(777);
  for (int round = 0; round < 4; round++) {
    Harness h;
    const uint64_t span = round % 2 ? 16 : 3000;
    for (int op = 0; op < 3000; op++) {
      const int kind = static_cast<int>(rng() % 10);
      if (kind < 5 || h.model.empty()) {
        h.insert(rng() % span);
      } else if (kind < 8) {
        h.insert_undone(rng() % span);
      } else {
        h.remove_ge(rng() % span);
      }
      if (!check_tree(h)) {
        std::fprintf(stderr, "undo broke the tree in round %d at op %d\n", round, op);
        return;
      }
    }
    while (!h.model.empty()) h.remove_ge(0);
    CHECK(!h.t.root.load() && h.t.node_count.load() == 0);
  }
  {
    // The head keeps its chain when a same-size insert is undone.
    Harness h;
    h.insert(64);
    h.insert(64);
    h.insert_undone(64);
    RBNode* n = h.t.root.load();
    CHECK(id_of(n->block) == 1 && id_of(n->next->block) == 2 && !n->next->next);
    h.insert_undone(32);
    CHECK(h.t.root.load() == n && !Tree::L(n) && !Tree::R(n) && h.t.node_count.load() == 2);
    check_tree(h);
  }
}

int main() {
  test_described_shapes();
  test_random_invariants();
  test_undo_insert();
  report_heights();
  test_concurrent_walks(true);
  test_concurrent_walks(false);
  {
    // every record allocated by the tests has been freed
    CHECK(live_records.load() == 0);
  }
  return native_test::finish("tollet core");
}
