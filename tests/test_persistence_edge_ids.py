"""Streamed edges (by fingerprint) through the native writer end on the
stored node of each fingerprint: the first one stored for the pipeline,
whoever stored it, and never a node of another pipeline."""
import pytest

from corvanti.utilities.persistence import AsyncWriter, SQLiteStorage, StoredEdge, StoredNode, WriterConfig


def node(fp, pid, op="neg"):
    return StoredNode(fingerprint=fp, node_type="UNARY", operation=op, table_name=None, column_name=None,
                      pair_id=None, is_protected=False, pipeline_id=pid)


def edge(parent, child, pos=0):
    return StoredEdge(parent_fingerprint=parent, child_fingerprint=child, input_position=pos)


@pytest.fixture
def store(tmp_path):
    s = SQLiteStorage(tmp_path / "e.db")
    s.connect()
    yield s
    s.disconnect()


def writer(store, batch=1000):
    w = AsyncWriter(store, WriterConfig(batch_size=batch, flush_interval=0.05, queue_size=10000))
    w.start()
    assert w.is_native
    return w


def ids(store, pid):
    return dict(store.query("SELECT fingerprint, id FROM nodes WHERE pipeline_id = ?", [pid]))


def edges(store, pid):
    return sorted(store.query("SELECT parent_node_id, child_node_id, input_position FROM edges "
                              "WHERE pipeline_id = ?", [pid]))


def test_edges_end_on_the_node_another_connection_stored_first(store, tmp_path):
    pid = store.create_pipeline("p")
    other = SQLiteStorage(tmp_path / "e.db")
    other.connect()
    other.store_nodes([node(1, pid, op="first"), node(7, pid, op="first")])
    w = writer(store)
    w.write_node(node(5, pid))                  # learnt by the writer, written before 1 and 7 arrive
    assert w.flush(10)
    w.write_node(node(1, pid, op="second"))     # loses to the stored one
    w.write_node(node(2, pid))
    w.write_edges([edge(1, 2), edge(5, 2, 1)])
    w.write_node(node(3, pid))
    w.write_edges([edge(99, 3), edge(7, 3, 1)])  # 99 was never stored: that edge is left out
    assert w.flush(10)
    other.store_nodes([node(8, pid, op="first")])  # stored elsewhere after the writer's batches
    w.write_node(node(8, pid, op="second"))
    w.write_node(node(9, pid))
    w.write_edges([edge(8, 9), edge(2, 9, 1)])
    assert w.flush(10)
    w.stop()
    other.disconnect()
    fp = ids(store, pid)
    assert store.query("SELECT fingerprint, operation FROM nodes WHERE pipeline_id = ? AND fingerprint IN (1, 8)",
                       [pid]) == [(1, "first"), (8, "first")]
    assert edges(store, pid) == sorted([(fp[1], fp[2], 0), (fp[5], fp[2], 1), (fp[7], fp[3], 1),
                                        (fp[8], fp[9], 0), (fp[2], fp[9], 1)])


def test_same_fingerprints_in_two_pipelines_stay_apart(store):
    p1, p2 = store.create_pipeline("a"), store.create_pipeline("b")
    w = writer(store, batch=50)
    n = 400
    for i in range(n):  # the two pipelines alternate within and across batches
        for pid in (p1, p2) if i % 3 else (p2, p1):
            w.write_node(node(i, pid))
            if i:
                w.write_edges([edge(i - 1, i), edge(i // 2, i, 1)])
    assert w.flush(10)
    w.write_edges([edge(0, 1, 2)])  # the pipeline of the last node written
    assert w.flush(10)
    w.stop()
    assert store.query("SELECT count(*) FROM edges e JOIN nodes p ON p.id = e.parent_node_id "
                       "JOIN nodes c ON c.id = e.child_node_id "
                       "WHERE p.pipeline_id != e.pipeline_id OR c.pipeline_id != e.pipeline_id") == [(0,)]
    last = p2 if (n - 1) % 3 else p1
    for pid in (p1, p2):
        fp = ids(store, pid)
        want = [(fp[i - 1], fp[i], 0) for i in range(1, n)] + [(fp[i // 2], fp[i], 1) for i in range(1, n)]
        if pid == last:
            want.append((fp[0], fp[1], 2))
        assert edges(store, pid) == sorted(want)


def test_streamed_edges_are_stored_once(store):
    pid = store.create_pipeline("p")
    w = writer(store, batch=10)
    for rep in range(3):  # the same nodes and edges again: nothing new
        for i in range(100):
            w.write_node(node(i, pid, op=f"r{rep}"))
            if i:
                w.write_edges([edge(i - 1, i)])
        assert w.flush(10)
    w.stop()
    fp = ids(store, pid)
    assert edges(store, pid) == [(fp[i - 1], fp[i], 0) for i in range(1, 100)]
    assert store.query("SELECT DISTINCT operation FROM nodes WHERE pipeline_id = ?", [pid]) == [("r0",)]
