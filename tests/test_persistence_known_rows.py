"""The native writer does not write again what it knows to be stored (a
node's first record for its fingerprint, an edge), and forgets what it learnt
in a transaction that was rolled back, so a retried batch loses nothing."""
import sqlite3
import time

from corvanti.utilities.persistence import (AsyncWriter, SQLiteStorage, StoredEdge, StoredNode, StoredRowValue,
                                            WriterConfig)


def node(fp, pid, op="neg"):
    return StoredNode(fingerprint=fp, node_type="UNARY", operation=op, table_name=None, column_name=None,
                      pair_id=None, is_protected=False, pipeline_id=pid)


def edge(parent, child, pos=0):
    return StoredEdge(parent_fingerprint=parent, child_fingerprint=child, input_position=pos)


def value(pid, row, fp):
    return StoredRowValue(pipeline_id=pid, row_index=row, fingerprint=fp, node_operation="neg", value=float(row),
                          column_name=None, tenant_id=None, text_value=None)


def stored_graph(store, pid):
    nodes = dict(store.query("SELECT id, fingerprint FROM nodes WHERE pipeline_id = ?", [pid]))
    edges = sorted((nodes[p], nodes[c], pos) for p, c, pos in store.query(
        "SELECT parent_node_id, child_node_id, input_position FROM edges WHERE pipeline_id = ?", [pid]))
    return sorted(nodes.values()), edges


def test_a_rolled_back_batch_is_written_again_in_full(tmp_path):
    path = tmp_path / "k.db"
    store = SQLiteStorage(path)
    store.connect()
    pid = store.create_pipeline("p")
    w = AsyncWriter(store, WriterConfig(batch_size=1000, flush_interval=0.02, queue_size=10000))
    w.start()
    w.write_node(node(1, pid))
    w.write_node(node(2, pid))
    w.write_edges([edge(1, 2)])
    assert w.flush(10)
    # From now on the row values of a batch fail, after its nodes and edges
    # were inserted: the transaction is rolled back and retried.
    side = sqlite3.connect(path, timeout=30)
    side.executescript("CREATE TABLE fail_flag (x); INSERT INTO fail_flag VALUES (1);"
                       "CREATE TRIGGER fail_values BEFORE INSERT ON row_values WHEN EXISTS (SELECT 1 FROM fail_flag) "
                       "BEGIN SELECT RAISE(ABORT, 'injected failure'); END;")
    w.write_node(node(3, pid))
    w.write_edges([edge(1, 3), edge(2, 3, 1)])
    w.write_node(node(2, pid, op="again"))       # known: not written again
    w.write_edges([edge(1, 2), edge(3, 2, 1)])   # (1, 2) known, (3, 2) new
    w.write_row_values([value(pid, 0, 3)])
    deadline = time.monotonic() + 10
    while w.get_stats()["failed"] < 2 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert "injected failure" in w.get_stats()["last_error"]
    side.execute("DELETE FROM fail_flag")
    side.commit()
    assert w.flush(10)
    w.stop()
    side.close()
    assert stored_graph(store, pid) == ([1, 2, 3], [(1, 2, 0), (1, 3, 0), (2, 3, 1), (3, 2, 1)])
    assert store.query("SELECT fingerprint, operation FROM nodes WHERE pipeline_id = ? ORDER BY id", [pid]) == [
        (1, "neg"), (2, "neg"), (3, "neg")]
    assert store.query("SELECT row_index, fingerprint FROM row_values") == [(0, 3)]
    st = w.get_stats()
    assert (st["written"], st["nodes"], st["edges"], st["row_values"], st["dropped"]) == (10, 4, 5, 1, 0)
    store.disconnect()


def test_repeats_within_one_batch_keep_the_first_record(tmp_path):
    store = SQLiteStorage(tmp_path / "k.db")
    store.connect()
    pid = store.create_pipeline("p")
    w = AsyncWriter(store, WriterConfig(batch_size=1000, flush_interval=5.0, queue_size=10000))
    w.start()
    for rep in range(3):  # one batch: every node and edge three times
        for i in range(50):
            w.write_node(node(i, pid, op=f"r{rep}"))
            if i:
                w.write_edges([edge(i - 1, i), edge(i - 1, i), edge(0, i, 1)])
    assert w.flush(10)
    w.stop()
    assert w.get_stats()["batches"] == 1
    assert store.query("SELECT DISTINCT operation FROM nodes") == [("r0",)]
    assert stored_graph(store, pid) == (list(range(50)), sorted(
        [(i - 1, i, 0) for i in range(1, 50)] + [(0, i, 1) for i in range(1, 50)]))
    store.disconnect()
