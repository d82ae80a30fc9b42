"""Creating, evicting and reconstructing nodes leaves no references or memory behind."""
import gc
import sys
import tracemalloc

from corvanti.utilities.tessel32_dag import DAGTracker, NodeType


def _cycle(t, meta, ids):
    s = t.create_source_node("t", "c", 3)
    a = t.log_unary("neg", s, 5, meta)
    b = t.log_binary("add", a, s, 6)
    m = t.log_merge([a], [b], 7, "left", meta)
    g = t.log_aggregate("sum", ids, 8)
    d = t.get_dag(m)
    d.to_dict()
    d.to_graphviz()
    d.column_taint_risks()
    t.get_nodes_for_provenance(5)
    t.dag_stats()
    return g


def test_refcounts_and_memory_stay_flat_with_eviction_running():
    t = DAGTracker()
    t._max_nodes = 1000
    meta = {"k": "v"}
    ids = [1, 2]
    op = "neg"
    for _ in range(2000):  # warm up: registry reaches its bound
        _cycle(t, meta, ids)
    gc.collect()
    before = (sys.getrefcount(meta), sys.getrefcount(ids), sys.getrefcount(op), sys.getrefcount(NodeType.UNARY))
    tracemalloc.start()
    snap1 = tracemalloc.take_snapshot()
    for _ in range(20000):
        _cycle(t, meta, ids)
    gc.collect()
    snap2 = tracemalloc.take_snapshot()
    tracemalloc.stop()
    after = (sys.getrefcount(meta), sys.getrefcount(ids), sys.getrefcount(op), sys.getrefcount(NodeType.UNARY))
    grown = sum(s.size_diff for s in snap2.compare_to(snap1, "filename"))
    assert len(t._nodes) <= 1000
    # the registry holds a bounded number of nodes that reference meta/ids
    assert abs(after[0] - before[0]) < 600 and abs(after[1] - before[1]) < 300
    assert abs(after[3] - before[3]) < 1200
    assert grown < 256 * 1024, grown


def test_dropping_a_tracker_frees_its_nodes_even_with_cycles():
    import weakref

    class Sentinel:
        pass

    t = DAGTracker()
    n = t.get_node(t.log_unary("x", 0, 1))
    n.metadata["tracker"] = t  # cycle: tracker -> registry -> node -> metadata -> tracker
    n.metadata["sentinel"] = sentinel = Sentinel()
    ref = weakref.ref(sentinel)
    del n, t, sentinel
    gc.collect()
    assert ref() is None


def _rss():
    import os

    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_a_million_rows_created_and_evicted_keep_rss_and_refcounts_flat():
    import numpy as np

    from corvanti.utilities.tessel32_dag import _log_binary_many

    t = DAGTracker()
    t._max_nodes = 50_000
    a = t.create_source_node("t", "a", 1)
    b = t.create_source_node("t", "b", 2)
    op = "add"
    rng = np.random.default_rng(1)
    left, right = np.full(20_000, a, np.int64), np.full(20_000, b, np.int64)

    def batch():
        prov = rng.integers(16, 2**31, 20_000).astype(np.uint32)
        ids = _log_binary_many(t, op, prov, left, right)
        # some rows get their objects, which eviction must release too
        for i in ids[::97]:
            t.get_node(int(i)).metadata["seen"] = True

    for _ in range(10):  # warm up: the registry reaches its bound
        batch()
    gc.collect()
    refs = (sys.getrefcount(op), sys.getrefcount(NodeType.BINARY))
    rss = _rss()
    for _ in range(50):  # 10**6 more nodes
        batch()
    gc.collect()
    assert (sys.getrefcount(op), sys.getrefcount(NodeType.BINARY)) == refs
    assert len(t._nodes) <= 50_000
    assert _rss() - rss < 8 * 1024 * 1024, (_rss() - rss)
