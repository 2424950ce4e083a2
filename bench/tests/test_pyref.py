"""The pure-Python versions must compute what the native modules compute,
or the speed-ups compare different work."""

import random

import cases
import pytest
from pyref import drelling, kelmarch, mesqua, orvistle, pardune, tollet, vossendra


def _native(short):
    m = cases.native(short)
    if m is None:
        pytest.skip("native %s not importable" % short)
    return m


class TestDocumentedValues:
    def test_pardune_functions(self):
        assert pardune.fast_align_size(13, 8) == 16 and pardune.fast_align_size(16, 8) == 16
        for bad in (0, 12):
            with pytest.raises(ValueError, match="Alignment must be a power of 2"):
                pardune.fast_align_size(13, bad)
        assert [
            pardune.fast_get_bucket_size(13),
            pardune.fast_get_bucket_size(13, 10),
            pardune.fast_get_bucket_size(-20),
        ] == [16, 20, -8]
        assert pardune.fast_bitmap_operations(0b1010, 0, "find_first") == 1
        assert pardune.fast_bitmap_operations(5, 64, "set") == 5
        assert pardune.fast_bitmap_operations(5, 2, "is_set") is True
        assert pardune.fast_bitmap_operations(0, 0, "find_first") == -1
        with pytest.raises(ValueError, match="Unknown operation: toggle"):
            pardune.fast_bitmap_operations(5, 2, "toggle")
        assert pardune.fast_can_fit_aligned(0, 32, 32, 8) is False
        assert pardune.fast_can_fit_aligned(0, 32, 31, 8) is True

    def test_slab_header(self):
        h = pardune.FastSlabHeaderOps(3, 8)
        assert h.pack_header() == bytes.fromhex("0300000000000028ff00000000000000")
        h.py_allocate_object_at(0)
        assert (h.py_find_free_object(), h.py_is_object_free(0), h.flags & 0x10) == (1, False, 0x10)
        h.py_deallocate_object_at(0)
        assert (h.bitmap, h.flags, h.generation) == (0xFF, 0, 2)
        full = pardune.FastSlabHeaderOps(0, 64)
        for i in range(64):
            full.py_allocate_object_at(i)
        assert full.py_find_free_object() == -1
        data = bytearray(h.pack_header())
        data[2] ^= 1
        h.unpack_header(bytes(data))
        assert h.flags & 0x80

    def test_crc_check_value(self):
        crc = 0xFFFF
        for b in b"123456789":
            crc = (crc >> 8) ^ pardune._CRC_TABLE[(crc ^ b) & 0xFF]
        assert crc == 0x4B37

    def test_bucket_allocator_and_stats(self):
        a = pardune.FastBucketAllocator()
        assert len(a.buckets) == 512
        assert (a.add_to_bucket(0, 24), a.add_to_bucket(0, 20), a.add_to_bucket(0, 5000)) == (True, False, False)
        a.add_to_bucket(100, 24)
        a.add_to_bucket(200, 24)
        assert [a.remove_from_bucket(17) for _ in range(4)] == [200, 100, 0, None]
        a.add_to_bucket(4, 32)
        assert a.find_best_fit_bucket(24, 16) is None and a.buckets[32] == [4]
        s = pardune.FastStatsCollector()
        for _ in range(3):
            s.py_record_allocation(64, 8, True)
        s.py_record_allocation(100, 4, False)
        st = s.get_stats()
        assert (st["total_allocations"], st["alignment_padding_bytes"], st["bucketed_allocation_ratio"]) == (
            4,
            28,
            "75.0%",
        )
        s.reset_stats()
        assert s.get_stats()["bucketed_allocation_ratio"] == "0.0%"

    def test_drelling(self):
        assert [drelling.calculate_safe_limit(1000, r) for r in (0.2, 1.5, -0.5, float("nan"))] == [800, 10, 1000, 10]
        assert drelling.estimate_allocation_bytes((1000, 1000), 8) == 8000000
        assert drelling.estimate_allocation_bytes((1000, 1000), 8, 1.5) == 12000000
        assert drelling.estimate_allocation_bytes((), 4) == 4
        assert drelling.estimate_allocation_bytes((3, 0), 4) == 0
        assert drelling.estimate_allocation_bytes((1 << 31, 1 << 31, 1 << 31), 8, 2.0) == (1 << 63) - 1
        assert drelling.decide_allocation_strategy(3000, 2000, 0.5, True) == (1, 1000, 3, "Chunking into 3 GPU passes")
        assert drelling.decide_allocation_strategy(1000, 2000, 0.5, True) == (0, 0, 1, "Allocation fits in GPU memory")
        assert drelling.decide_allocation_strategy(0, 0, 0.5, True)[3] == "No GPU memory available"
        assert drelling.compute_chunk_shapes((10, 4), 8, 100) == [(3, 4)] * 3 + [(1, 4)]
        assert drelling.compute_chunk_shapes((5,), 4, 8) == [(2,), (2,), (1,)]
        assert drelling.compute_chunk_shapes((), 4, 8) == [()]
        assert drelling.compute_chunk_shapes((7, 0), 4, 8) == [(7, 0)]
        assert [
            drelling.calculate_optimal_chunks(3000, 2000, 0.5),
            drelling.calculate_optimal_chunks(0, 2000, 0.5),
            drelling.calculate_optimal_chunks(5, 0, 0.5),
        ] == [3, 1, 1000]
        assert drelling.is_oom_error("CUDA error: Out Of Memory", "")
        assert drelling.is_oom_error("", "torch.cuda.OutOfMemoryError")
        assert not drelling.is_oom_error("cuda launch failed", "RuntimeError")
        assert drelling.score_gpu_suitability(800, "zeros", 2000, 0.5) == pytest.approx(0.9)
        assert drelling.score_gpu_suitability(400, "matmul", 2000, 0.5) == pytest.approx(0.35)
        assert drelling.score_gpu_suitability(2000, "other", 2000, 0.5) == pytest.approx(0.25)
        assert [drelling.recommend_headroom(p) for p in (0.9, 0.8, 0.7, 0.6, 0.3)] == pytest.approx(
            [0.8, 0.65, 0.6, 0.5, 0.4]
        )
        assert drelling.recommend_headroom(0.2, 0.35) == pytest.approx(0.3)

    def test_kelmarch(self):
        assert kelmarch.quick_framework_score("import numpy as np\nx = np.array([1])", "numpy") == 0.30000000000000004
        assert kelmarch.quick_framework_score("fitting", "sklearn") == 0.0
        assert kelmarch.score_framework_patterns("fitting")[2] > 0
        assert kelmarch.score_indicators("", "") == (0,) * 7
        assert kelmarch.score_indicators("x = a @ b", "matmul_kernel")[3] == 2
        assert kelmarch.normalize_scores(15, 10, 11, 36, 13) == (1.0,) * 5
        assert kelmarch.normalize_scores(30, -5, 0, 1, 1) == (1.0, 0.0, 0.0, 0.027777777777777776, 0.07692307692307693)
        args = [0.0] * 8 + [0, 0] + [0.5] * 6 + [False]
        assert kelmarch.determine_workload_pattern(*args) == 0
        args[8] = 3
        assert kelmarch.determine_workload_pattern(*args) == 4
        g = [0.7, 0.0, 0.0, 0.8, 0.9, 0.0, 0.0, 0.0, 0, 0] + [0.5] * 6 + [True]
        assert kelmarch.determine_workload_pattern(*g) == 6
        assert kelmarch.calculate_gpu_suitability(1.0, 1.0, 1.0, True, "8.6") == 1.0
        assert kelmarch.calculate_gpu_suitability(0.5, 0.5, 0.5, True, None) == pytest.approx(0.65)
        assert kelmarch.calculate_gpu_suitability(0.5, 0.5, 0.5, True, "5.2") == pytest.approx(0.52)
        assert kelmarch.calculate_gpu_suitability(0.5, 0.5, 0.5, True, "abc") == pytest.approx(0.65)
        assert [
            kelmarch.estimate_gpu_speedup(*a)
            for a in ((0.9, 1.0, True), (0.7, 0.0, True), (0.5, 0.5, True), (0.8, 0.0, True), (0.0, 1.0, True))
        ] == [22.5, 8.0, 5.0, 8.0, 1.0]
        assert kelmarch.calculate_parallelization_potential(0.2, 0.0, 5.0, 0.0) == 0.0
        assert kelmarch.update_adaptive_threshold(0.5, 0.9, 0.05, 0.1, 0.9) == pytest.approx(0.55)
        assert kelmarch.update_adaptive_threshold(0.9, 0.9, 0.05, 0.1, 0.9) == 0.9

    def test_vossendra(self):
        hist = [(float(t), 80.0) for t in range(5)]
        assert vossendra.detect_performance_degradation(hist, 100.0, 0.15, 0.0) is True
        assert vossendra.detect_performance_degradation(hist, 100.0, 0.25, 0.0) is False
        assert vossendra.detect_performance_degradation(hist, 100.0, 0.15, 1.0) is False
        assert vossendra.calculate_performance_trend([(0, 10), (1, 11), (2, 12)], 0) == pytest.approx(1 / 11)
        assert vossendra.calculate_performance_trend([(5, 10), (5, 11), (5, 12)], 0) == 0.0
        old = {"parallelization_potential": 0.1, "cpu_intensity": 0.3, "memory_intensity": 0.2}
        new = dict(old, cpu_intensity=0.9)
        changed, _p, cpu, _m = vossendra.detect_workload_characteristics_change([old] * 3 + [new] * 3)
        assert changed and cpu == pytest.approx(0.6)
        assert vossendra.detect_workload_characteristics_change([old] * 5) == (False, 0.0, 0.0, 0.0)
        assert vossendra.detect_dominant_pattern(["a", "b", "b", "a"]) == "a"
        assert vossendra.detect_dominant_pattern(["x", "a", "b", "b"], 3) == "b"
        assert vossendra.detect_dominant_pattern([]) == "mixed"
        assert vossendra.is_adaptation_beneficial("a", "b", 0.56, 0.9, 0.5, 2) is True
        assert vossendra.is_adaptation_beneficial("a", "b", 0.55, 0.9, 0.5, 2) is False
        assert vossendra.is_adaptation_beneficial("a", "a", 0.9, 0.9, 0.5, 0) is False
        assert (
            vossendra.should_skip_adaptation(100.0, 130.0, 30.0),
            vossendra.should_skip_adaptation(100.0, 129.9, 30.0),
        ) == (False, True)
        assert (vossendra.detect_memory_pressure(81, 100), vossendra.detect_memory_pressure(80, 100)) == (True, False)
        assert (vossendra.detect_fragmentation_threshold(0.3), vossendra.detect_fragmentation_threshold(0.31)) == (
            False,
            True,
        )
        assert vossendra.calculate_adaptation_urgency(0.5, 0.0, 0.0, False) == pytest.approx(0.2)
        assert vossendra.calculate_adaptation_urgency(1.0, 1.0, 1.0, True) == 1.0
        assert vossendra.score_pool_recommendation(2, -1, 0, 0) == pytest.approx(0.35)
        alloc = [(float(t), 100.0) for t in range(10)]
        assert vossendra.predict_resource_requirements(alloc, 9.0) == (10, 1000, 0.08)
        assert vossendra.predict_resource_requirements(alloc[:9], 9.0) == (0, 0, 0.0)

    def test_orvistle_policy(self):
        with pytest.raises(ValueError, match="min_threshold must be positive"):
            orvistle.PolicyConfig(min_threshold=0, learning_rate=5.0)
        with pytest.raises(ValueError, match=r"learning_rate must be in \(0, 1\]"):
            orvistle.PolicyConfig(learning_rate=0.0)
        p = orvistle.AdaptivePolicy()
        out = {}
        for fid, speed in (("a", 3.0), ("b", 1.5)):
            p.update(fid, cases._Store(orvistle.FunctionMetrics(150, 1, speed)))
            out[fid] = p.get_threshold(fid)
        assert out == {"a": 91, "b": 109}
        assert p.get_statistics() == {
            "tracked_functions": 2,
            "avg_threshold": 100.0,
            "min_threshold": 91,
            "max_threshold": 109,
        }
        import time

        recent = orvistle.FunctionMetrics(100, 1, 3.0, last_compiled=time.time() - 599)
        assert p.should_compile("c", cases._Store(orvistle.FunctionMetrics(99))) is False
        assert p.should_compile("c", cases._Store(orvistle.FunctionMetrics(100))) is True
        assert p.should_compile("c", cases._Store(recent)) is False
        assert orvistle.get_orvistle() is orvistle.get_orvistle()

    def test_mesqua(self):
        c = mesqua.AtomicCounter(10)
        assert (c.fetch_and_add(4), c.load(), c.decrement(16), c.compare_and_swap(-2, 5), c.load()) == (
            10,
            14,
            -2,
            True,
            5,
        )
        s = mesqua.LockFreeStatistics()
        s.record_allocation(64, False, 8, 500)
        s.record_allocation(32)
        snap = s.get_snapshot()
        assert (
            snap["bucketed_allocation_ratio"],
            snap["average_allocation_time_ns"],
            snap["peak_bytes_allocated"],
        ) == ("50.0%", 250.0, 96)
        st = mesqua.LockFreeStack()
        for i in (1, 2, 3):
            st.push(i)
        assert [st.pop() for _ in range(4)] == [3, 2, 1, None]


def _rb_check(node, lo=-1, hi=1 << 64):
    """Asserts the search order and the red rule of a subtree.  Black heights
    are not checked: removals recolour without keeping them equal."""
    if node is None:
        return
    assert lo < node.size < hi
    if node.color == tollet.RED:
        assert not tollet._red(node.left) and not tollet._red(node.right)
    _rb_check(node.left, lo, node.size)
    _rb_check(node.right, node.size, hi)


class TestPureTree:
    def test_documented_shapes(self):
        t = tollet.FastRedBlackTree()
        for s in range(1, 8):
            t.insert(s, s)
        assert (t.root.size, t.height()) == (2, 4)
        for s in range(8, 16):
            t.insert(s, s)
        assert t.height() == 6
        t2 = tollet.FastRedBlackTree()
        a, b, c = object(), object(), object()
        for x in (a, b, c):
            t2.insert(64, x)
        assert t2.find_all_exact(64) == [a, c, b] and t2.get_size_distribution() == {64: 3}
        assert t2.remove_ge(1) == (64, a) and t2.find_all_exact(64) == [c, b]
        assert t2.delete(64, b) and t2.delete(64, b) is False and len(t2) == 1

    def test_random_churn_matches_a_sorted_model(self):
        rng = random.Random(5)
        t = tollet.FastRedBlackTree()
        model = []  # (size, seq) of stored blocks
        for seq in range(4000):
            if model and rng.random() < 0.45:
                q = rng.randrange(0, 600)
                fits = [k for k in model if k[0] >= q]
                got = t.remove_ge(q)
                if not fits:
                    assert got == (None, None)
                    continue
                best = min(k[0] for k in fits)
                assert got[0] == best
                model.remove((best, got[1]))
            else:
                s = rng.randrange(0, 500)
                t.insert(s, seq)
                model.append((s, seq))
            assert len(t) == len(model)
        _rb_check(t.root)
        dist = {}
        for s, _ in model:
            dist[s] = dist.get(s, 0) + 1
        assert t.get_size_distribution() == dist


class TestAgainstNative:
    """Random inputs in the ordinary range give the native results."""

    def test_pardune(self):
        m = _native("pardune")
        rng = random.Random(1)
        for _ in range(300):
            size, al = rng.randrange(-1000, 100000), 1 << rng.randrange(0, 12)
            assert pardune.fast_align_size(size, al) == m.fast_align_size(size, al)
            step = rng.randrange(1, 64)
            assert pardune.fast_get_bucket_size(size, step) == m.fast_get_bucket_size(size, step)
            bm, idx = rng.getrandbits(64), rng.randrange(0, 70)
            for op in ("is_set", "set", "clear", "find_first"):
                assert pardune.fast_bitmap_operations(bm, idx, op) == m.fast_bitmap_operations(bm, idx, op)
            args = (rng.randrange(0, 5000), rng.randrange(0, 500), rng.randrange(0, 500), al)
            assert pardune.fast_can_fit_aligned(*args) == m.fast_can_fit_aligned(*args)
        h, hn = pardune.FastSlabHeaderOps(7, 40), m.FastSlabHeaderOps(7, 40)
        for _ in range(200):
            i = rng.randrange(0, 66)
            if rng.random() < 0.5:
                h.py_allocate_object_at(i)
                hn.py_allocate_object_at(i)
            else:
                h.py_deallocate_object_at(i)
                hn.py_deallocate_object_at(i)
            assert h.py_find_free_object() == hn.py_find_free_object()
            assert h.pack_header() == hn.pack_header()

    def test_drelling(self):
        m = _native("drelling")
        rng = random.Random(2)
        for _ in range(300):
            avail, req, r = rng.randrange(0, 1 << 40), rng.randrange(0, 1 << 41), rng.uniform(-0.2, 1.2)
            assert drelling.calculate_safe_limit(avail, r) == m.calculate_safe_limit(avail, r)
            for ch in (True, False):
                assert drelling.decide_allocation_strategy(req, avail, r, ch) == m.decide_allocation_strategy(
                    req, avail, r, ch
                )
            assert drelling.calculate_optimal_chunks(req, avail, r) == m.calculate_optimal_chunks(req, avail, r)
            shape = tuple(rng.randrange(0, 300) for _ in range(rng.randrange(0, 4)))
            es = rng.randrange(1, 16)
            assert drelling.estimate_allocation_bytes(shape, es, 1.25) == m.estimate_allocation_bytes(shape, es, 1.25)
            limit = rng.randrange(1, 5000)
            assert drelling.compute_chunk_shapes(shape, es, limit) == m.compute_chunk_shapes(shape, es, limit)
            op = rng.choice(["zeros", "matmul", "foo", "random.rand"])
            assert drelling.score_gpu_suitability(req, op, avail, r) == pytest.approx(
                m.score_gpu_suitability(req, op, avail, r)
            )
            p = rng.uniform(0, 1)
            assert drelling.recommend_headroom(p) == pytest.approx(m.recommend_headroom(p))

    def test_kelmarch(self):
        m = _native("kelmarch")
        rng = random.Random(3)
        words = ["for", "numpy", "np.array", "pd.DataFrame", "fit", "lock", "@", "chunk", "1e6", "map", "x", " "]
        for _ in range(200):
            code = " ".join(rng.choice(words) for _ in range(rng.randrange(0, 30)))
            name = rng.choice(words)
            assert kelmarch.score_indicators(code, name) == m.score_indicators(code, name)
            assert kelmarch.score_framework_patterns(code) == m.score_framework_patterns(code)
            for fw in ("numpy", "pandas", "sklearn", "torch"):
                assert kelmarch.quick_framework_score(code, fw) == m.quick_framework_score(code, fw)
            ints = [rng.randrange(-3, 40) for _ in range(5)]
            assert kelmarch.normalize_scores(*ints) == m.normalize_scores(*ints)
            f = [rng.random() for _ in range(8)]
            args = (
                f + [rng.randrange(0, 4), rng.randrange(0, 2)] + [rng.random() for _ in range(6)] + [rng.random() < 0.5]
            )
            assert kelmarch.determine_workload_pattern(*args) == m.determine_workload_pattern(*args)
            cap = rng.choice([None, "", "8.6", "7.0", "6.1", "5.2", "abc"])
            assert kelmarch.calculate_gpu_suitability(f[0], f[1], f[2], True, cap) == pytest.approx(
                m.calculate_gpu_suitability(f[0], f[1], f[2], True, cap)
            )
            assert kelmarch.estimate_gpu_speedup(f[0], f[1], True) == pytest.approx(
                m.estimate_gpu_speedup(f[0], f[1], True)
            )
            assert kelmarch.calculate_parallelization_potential(*f[:4]) == pytest.approx(
                m.calculate_parallelization_potential(*f[:4])
            )
            assert kelmarch.update_adaptive_threshold(*f[:5]) == pytest.approx(m.update_adaptive_threshold(*f[:5]))

    def test_vossendra(self):
        m = _native("vossendra")
        rng = random.Random(4)
        for _ in range(200):
            hist = [(float(i), rng.uniform(50, 150)) for i in range(rng.randrange(0, 30))]
            ws = rng.uniform(0, 20)
            assert vossendra.detect_performance_degradation(hist, 100.0, 0.1, ws) == m.detect_performance_degradation(
                hist, 100.0, 0.1, ws
            )
            assert vossendra.calculate_performance_trend(hist, ws) == pytest.approx(
                m.calculate_performance_trend(hist, ws), abs=1e-12
            )
            assert vossendra.predict_resource_requirements(hist, 7.5) == m.predict_resource_requirements(hist, 7.5)
            pats = [rng.choice("abc") for _ in range(rng.randrange(0, 9))]
            assert vossendra.detect_dominant_pattern(pats, 4) == m.detect_dominant_pattern(pats, 4)
            ph = cases._patterns(rng.randrange(0, 10))
            assert vossendra.detect_workload_characteristics_change(ph, 0.1) == pytest.approx(
                m.detect_workload_characteristics_change(ph, 0.1)
            )
            x = [rng.uniform(-0.5, 1.5) for _ in range(4)]
            assert vossendra.calculate_adaptation_urgency(*x[:3], x[3] > 0.5) == pytest.approx(
                m.calculate_adaptation_urgency(*x[:3], x[3] > 0.5)
            )
            assert vossendra.score_pool_recommendation(*x) == pytest.approx(m.score_pool_recommendation(*x))
            args = ("a", rng.choice("ab"), x[0], x[1], x[2], rng.randrange(0, 3))
            assert vossendra.is_adaptation_beneficial(*args) == m.is_adaptation_beneficial(*args)
            assert vossendra.detect_memory_pressure(x[0], x[1]) == m.detect_memory_pressure(x[0], x[1])
            assert vossendra.detect_fragmentation_threshold(x[0]) == m.detect_fragmentation_threshold(x[0])

    def test_tree_and_sorted_list_index(self):
        m = _native("tollet")
        pytest.importorskip("sortedcontainers")
        import tree_bench

        rng = random.Random(6)
        structures = [m.FastRedBlackTree(), tollet.FastRedBlackTree(), tree_bench.SortedListIndex()]
        for seq in range(3000):
            if rng.random() < 0.4:
                q = rng.randrange(0, 2000)
                got = [s.remove_ge(q) for s in structures]
                assert got[0][0] == got[1][0] == got[2][0], q  # the same best-fitting size
            elif rng.random() < 0.5:
                q = rng.randrange(0, 2000)
                found = [s.find_best_fit(q) for s in structures]
                assert (found[0] is None) == (found[1] is None) == (found[2] is None)
            else:
                size = 8 * rng.randrange(0, 250)
                for s in structures:
                    s.insert(size, seq)
        assert len(structures[0]) == len(structures[1]) == len(structures[2].sl)
