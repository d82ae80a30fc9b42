"""Writer start/stop cycles and record pushes keep references, threads and
memory flat."""
import gc
import sys
import tracemalloc

from corvanti.utilities.persistence import (AsyncWriter, SQLiteStorage, StoredEdge, StoredNode, StoredRowValue,
                                            WriterConfig)


def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def _threads():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith("Threads:"))


class PyStore:
    def __init__(self, inner):
        self.inner = inner

    def store_nodes(self, nodes):
        return self.inner.store_nodes(nodes)

    def store_edges(self, edges, pipeline_id):
        return self.inner.store_edges(edges, pipeline_id)

    def store_row_values(self, values):
        return self.inner.store_row_values(values)


def _cycle(store, target, pid, meta, text):
    w = AsyncWriter(target, WriterConfig(batch_size=16, flush_interval=0.01, queue_size=64))
    w.start()
    for i in range(40):
        w.write_node(StoredNode(fingerprint=i, node_type="UNARY", operation=text, table_name=text, column_name=None,
                                pair_id=None, is_protected=False, metadata=meta, pipeline_id=pid))
        w.write_edges([StoredEdge(parent_fingerprint=i, child_fingerprint=i + 1, input_position=0)])
    w.write_row_values([StoredRowValue(pipeline_id=pid, row_index=i, fingerprint=i, node_operation=text,
                                       text_value=text) for i in range(40)])
    assert w.flush(10)
    w.get_stats()
    w.stop()


def test_writer_cycles_keep_refcounts_threads_and_memory_flat(tmp_path):
    store = SQLiteStorage(tmp_path / "leak.db")
    store.connect()
    pid = store.create_pipeline("leak")
    pid_obj = 10**20 + pid - 10**20  # a distinct int object, so its refcount is ours alone
    meta, text = {"k": "v"}, "op-" + "x" * 20
    for target in (store, PyStore(store)):
        for _ in range(20):
            _cycle(store, target, pid_obj, meta, text)
        gc.collect()
        before = (sys.getrefcount(meta), sys.getrefcount(text), sys.getrefcount(pid_obj), sys.getrefcount(target),
                  _threads())
        rss = _rss()
        tracemalloc.start()
        snap1 = tracemalloc.take_snapshot()
        for _ in range(200):
            _cycle(store, target, pid_obj, meta, text)
        gc.collect()
        snap2 = tracemalloc.take_snapshot()
        tracemalloc.stop()
        # native memory too (queued rows, thread stacks): 200 cycles of 120 records each
        assert _rss() - rss < 4 * 1024 * 1024
        after = (sys.getrefcount(meta), sys.getrefcount(text), sys.getrefcount(pid_obj), sys.getrefcount(target),
                 _threads())
        assert after == before
        grown = sum(s.size_diff for s in snap2.compare_to(snap1, "filename"))
        assert grown < 128 * 1024, grown
    store.disconnect()


def test_records_and_bulk_calls_keep_memory_flat(tmp_path):
    store = SQLiteStorage(tmp_path / "bulk.db")
    store.connect()
    pid = store.create_pipeline("bulk")

    def once():
        nodes = [StoredNode(fingerprint=i, node_type="UNARY", operation="neg", table_name=None, column_name=None,
                            pair_id=None, is_protected=False, pipeline_id=pid) for i in range(500)]
        store.store_nodes(nodes)
        fmap = store.get_fingerprint_node_map(pid)
        store.store_edges_resolved([(fmap[i], fmap[i + 1], 0) for i in range(499)])
        store.store_results(pid, [(str(i), "out", i, 1.0, None) for i in range(500)])
        repr(nodes[0]), nodes[0] == nodes[1], nodes[0]._asdict()

    for _ in range(5):
        once()
    gc.collect()
    tracemalloc.start()
    snap1 = tracemalloc.take_snapshot()
    for _ in range(50):
        once()
    gc.collect()
    snap2 = tracemalloc.take_snapshot()
    tracemalloc.stop()
    grown = sum(s.size_diff for s in snap2.compare_to(snap1, "filename"))
    assert grown < 64 * 1024, grown
    store.disconnect()
