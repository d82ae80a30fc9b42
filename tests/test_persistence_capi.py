"""The native interface capsule, called through ctypes exactly as another
extension module calls it (same struct layouts as src/persistence/capi.h)."""
import ctypes
import json

import pytest

from corvanti.utilities.persistence import (AsyncWriter, SQLiteStorage, StorageError, StoredEdge, StoredNode, WriterConfig,
                                          _native)

CAPSULE = b"corvanti.utilities.persistence._native._C_API"


class NodeRecord(ctypes.Structure):
    _fields_ = [("fingerprint", ctypes.c_uint32), ("entity_hash", ctypes.c_uint32), ("chain_hash", ctypes.c_uint32),
                ("pair_id", ctypes.c_int64), ("pipeline_id", ctypes.c_int64), ("node_type", ctypes.c_uint8),
                ("has_pair_id", ctypes.c_bool), ("is_protected", ctypes.c_bool),
                ("operation", ctypes.c_char_p), ("operation_len", ctypes.c_ssize_t),
                ("table_name", ctypes.c_char_p), ("table_name_len", ctypes.c_ssize_t),
                ("column_name", ctypes.c_char_p), ("column_name_len", ctypes.c_ssize_t),
                ("metadata", ctypes.c_void_p)]


class EdgeRecord(ctypes.Structure):
    _fields_ = [("parent_fingerprint", ctypes.c_uint32), ("child_fingerprint", ctypes.c_uint32),
                ("input_position", ctypes.c_int32)]


WRITE_NODE = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.POINTER(NodeRecord),
                               ctypes.POINTER(EdgeRecord), ctypes.c_ssize_t)
IS_NATIVE = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)


class ResultBlock(ctypes.Structure):
    _fields_ = [("n_rows", ctypes.c_size_t), ("row_keys", ctypes.POINTER(ctypes.c_char_p)),
                ("row_key_lens", ctypes.POINTER(ctypes.c_size_t)), ("n_outputs", ctypes.c_size_t),
                ("output_names", ctypes.POINTER(ctypes.c_char_p)), ("output_name_lens", ctypes.POINTER(ctypes.c_size_t)),
                ("fingerprints", ctypes.POINTER(ctypes.c_int64)), ("values", ctypes.POINTER(ctypes.c_double)),
                ("has_value", ctypes.POINTER(ctypes.c_uint8)), ("input_hashes", ctypes.c_char_p),
                ("n_hashed", ctypes.c_size_t)]


STORES_RESULTS_NATIVELY = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)
WRITE_NODES = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.POINTER(NodeRecord), ctypes.c_ssize_t,
                                ctypes.POINTER(EdgeRecord), ctypes.POINTER(ctypes.c_ssize_t))
STORE_RESULTS = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.py_object, ctypes.POINTER(ResultBlock))


class CAPI(ctypes.Structure):
    _fields_ = [("version", ctypes.c_int), ("size", ctypes.c_size_t), ("writer_type", ctypes.c_void_p),
                ("stored_node_type", ctypes.c_void_p), ("stored_edge_type", ctypes.c_void_p),
                ("stored_row_value_type", ctypes.c_void_p), ("write_node", WRITE_NODE), ("is_native", IS_NATIVE),
                ("stores_results_natively", STORES_RESULTS_NATIVELY), ("store_results", STORE_RESULTS),
                ("write_nodes", WRITE_NODES)]


@pytest.fixture(scope="module")
def api():
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    table = ctypes.cast(get(_native._C_API, CAPSULE), ctypes.POINTER(CAPI)).contents
    assert table.version == 3 and table.size == ctypes.sizeof(CAPI)
    assert table.writer_type == id(AsyncWriter) and table.stored_node_type == id(StoredNode)
    assert table.stored_edge_type == id(StoredEdge)
    return table


def push(api, w, fp, pid, op, inputs=(), node_type=4, table=None, column=None, pair_id=None, meta=None):
    b = op.encode()
    t = table.encode() if table else None
    c = column.encode() if column else None
    rec = NodeRecord(fp, 7, 9, pair_id or 0, pid, node_type, pair_id is not None, False, b, len(b), t,
                     len(t) if t else 0, c, len(c) if c else 0, id(meta) if meta is not None else None)
    edges = (EdgeRecord * max(1, len(inputs)))(*[EdgeRecord(p, fp, i) for i, p in enumerate(inputs)])
    return api.write_node(w, ctypes.byref(rec), edges, len(inputs))


class PyStore:
    def __init__(self, inner):
        self.inner, self.nodes, self.edges = inner, [], []

    def store_nodes(self, nodes):
        self.nodes += nodes
        return self.inner.store_nodes(nodes)

    def store_edges(self, edges, pipeline_id):
        self.edges += [(e, pipeline_id) for e in edges]
        return self.inner.store_edges(edges, pipeline_id)


@pytest.mark.parametrize("road", ["native", "python"])
def test_write_node_stores_nodes_and_edges(api, tmp_path, road):
    store = SQLiteStorage(tmp_path / "capi.db")
    store.connect()
    pid = store.create_pipeline("capi")
    target = store if road == "native" else PyStore(store)
    w = AsyncWriter(target, WriterConfig(batch_size=10, flush_interval=0.05, queue_size=4))
    assert api.is_native(w) == (road == "native") and api.is_native(store) == 0
    w.start()
    meta = {"how": "left", "on": ["id"]}
    assert push(api, w, 1, pid, "source", node_type=1, table="t", column="c", pair_id=3) == 0
    assert push(api, w, 2, pid, "neg", inputs=[1], node_type=3) == 0
    assert push(api, w, 3, pid, "merge", inputs=[1, 2, 99], node_type=6, meta=meta) == 0  # 99: unknown, dropped
    # later Python-level edges belong to the capsule node's pipeline
    w.write_edges([StoredEdge(parent_fingerprint=2, child_fingerprint=1, input_position=5)])
    assert w.flush(10)
    w.stop()
    rows = store.query("SELECT fingerprint, node_type, operation, table_name, column_name, pair_id, entity_hash, "
                       "chain_hash, metadata FROM nodes ORDER BY fingerprint")
    assert [r[:6] for r in rows] == [(1, "SOURCE", "source", "t", "c", 3), (2, "UNARY", "neg", None, None, None),
                                     (3, "MERGE", "merge", None, None, None)]
    assert rows[0][6:8] == (7, 9) and json.loads(rows[2][8]) == meta and rows[0][8] is None
    assert store.counts(pid)["edges"] == 4
    if road == "python":
        assert all(type(n) is StoredNode for n in target.nodes)
        assert target.nodes[2].metadata is meta and target.nodes[0].pipeline_id == pid
        assert all(type(e) is StoredEdge and p == pid for e, p in target.edges)


def _record(fp, pid, op, node_type=3):
    b = op.encode()
    return NodeRecord(fp, 7, 9, 0, pid, node_type, False, False, b, len(b), None, 0, None, 0, None)


def test_write_nodes_is_write_node_for_each_node_in_one_unit(api, tmp_path):
    store = SQLiteStorage(tmp_path / "many.db")
    store.connect()
    pid = store.create_pipeline("many")
    w = AsyncWriter(store, WriterConfig(batch_size=10, flush_interval=0.05, queue_size=4))
    w.start()
    ops = [b"src", b"neg", b"add"]  # kept alive while the records point at them
    nodes = (NodeRecord * 3)(_record(1, pid, "src", 1), _record(2, pid, "neg"), _record(3, pid, "add", 4))
    edges = (EdgeRecord * 3)(EdgeRecord(1, 2, 0), EdgeRecord(1, 3, 0), EdgeRecord(2, 3, 1))
    counts = (ctypes.c_ssize_t * 3)(0, 1, 2)
    assert api.write_nodes(w, nodes, 3, edges, counts) == 0
    # a bad node anywhere in the unit: an error, and none of the unit is enqueued
    bad = (NodeRecord * 2)(_record(4, pid, "x"), _record(5, pid, "y", 0))
    with pytest.raises(ValueError):
        api.write_nodes(w, bad, 2, edges, (ctypes.c_ssize_t * 2)(0, 0))
    assert w.flush(10)
    w.stop()
    rows = store.query("SELECT fingerprint, node_type, operation FROM nodes ORDER BY fingerprint")
    assert rows == [(1, "SOURCE", "src"), (2, "UNARY", "neg"), (3, "BINARY", "add")] and ops
    assert store.counts(pid)["edges"] == 3


def test_write_node_errors_set_python_exceptions(api, tmp_path):
    store = SQLiteStorage(tmp_path / "e.db")
    store.connect()
    w = AsyncWriter(store, WriterConfig())
    with pytest.raises(RuntimeError, match="not running"):
        push(api, w, 1, 1, "x")
    w.start()
    with pytest.raises(TypeError, match="expected an AsyncWriter, got SQLiteStorage"):
        push(api, store, 1, 1, "x")
    with pytest.raises(ValueError, match="node_type 9"):
        push(api, w, 1, 1, "x", node_type=9)
    with pytest.raises(TypeError):  # metadata that JSON cannot hold a key of
        push(api, w, 1, 1, "x", meta={(1, 2): "tuple key"})
    assert w.get_stats()["queued"] == 0
    w.stop()


# ---- results as columns ------------------------------------------------------

def block(keys, outputs, fps, values, hashes):
    n, k = len(keys), len(outputs)
    b = ResultBlock()
    b.n_rows, b.n_outputs = n, k
    b.row_keys = (ctypes.c_char_p * n)(*[s.encode() for s in keys])
    b.row_key_lens = (ctypes.c_size_t * n)(*[len(s.encode()) for s in keys])
    b.output_names = (ctypes.c_char_p * k)(*[s.encode() for s in outputs])
    b.output_name_lens = (ctypes.c_size_t * k)(*[len(s.encode()) for s in outputs])
    b.fingerprints = (ctypes.c_int64 * (n * k))(*fps)
    b.values = (ctypes.c_double * (n * k))(*[0.0 if v is None else v for v in values])
    b.has_value = (ctypes.c_uint8 * (n * k))(*[v is not None for v in values])
    b.input_hashes, b.n_hashed = "".join(hashes).encode(), len(hashes)
    return b


def test_results_block_stores_rows_output_by_output(api, tmp_path):
    st = SQLiteStorage(tmp_path / "r.db")
    st.connect()
    pid = st.create_pipeline("r")
    h = ["a" * 64, "b" * 64]
    assert api.stores_results_natively(st) == 1
    b = block(["k\u00e9", "k2", "k3"], ["s", "t"], [1, 2, -3, 4, 5, 6], [0.5, None, 1.0, 2.0, 3.0, None], h)
    assert api.store_results(st, pid, ctypes.byref(b)) == 0
    got = st.query("SELECT id, row_key, output_name, fingerprint, value, input_hash FROM results ORDER BY id")
    assert [r[1:] for r in got] == [("k\u00e9", "s", 1, 0.5, h[0]), ("k2", "s", 2, None, h[1]), ("k3", "s", -3, 1.0, None),
                                   ("k\u00e9", "t", 4, 2.0, h[0]), ("k2", "t", 5, 3.0, h[1]), ("k3", "t", 6, None, None)]
    # a repeated (row key, output) replaces the row in place
    assert api.store_results(st, pid, ctypes.byref(block(["k2"], ["t"], [9], [None], []))) == 0
    assert st.query("SELECT id, fingerprint, value, input_hash FROM results WHERE row_key = 'k2' AND output_name = 't'") \
        == [(got[4][0], 9, None, None)]
    st.disconnect()
    with pytest.raises(StorageError, match="not open"):
        api.store_results(st, pid, ctypes.byref(b))


def test_results_block_only_for_our_own_storage(api, tmp_path):
    class Sub(SQLiteStorage):
        pass

    shadowed = SQLiteStorage(tmp_path / "s.db")
    shadowed.store_results = lambda *a: None
    b = block(["k"], ["s"], [1], [1.0], [])
    for other in (Sub(tmp_path / "x.db"), shadowed, object(), PyStore(None)):
        assert api.stores_results_natively(other) == 0
        assert api.store_results(other, 1, ctypes.byref(b)) == 1  # nothing done: the caller's Python road
    assert not (tmp_path / "x.db").exists() and not (tmp_path / "s.db").exists()
