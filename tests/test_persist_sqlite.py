"""The tracker's persistence against the real persistence package and real
SQLite files: what reaches the database, the native hand-over and the Python
road side by side, failed runs, and the dashboard table of sqlite: URLs."""
import gc
import sqlite3
import sys
import threading

import numpy as np
import pandas as pd
import pytest

from corvanti.utilities.tessel32_dag import DAGTracker, wrap_dataframe_dag

persistence = pytest.importorskip("corvanti.utilities.persistence")


def db_url(tmp_path, name="lineage.db"):
    return f"sqlite:///{tmp_path / name}"


def rows(path, sql):
    con = sqlite3.connect(path)
    try:
        return con.execute(sql).fetchall()
    finally:
        con.close()


def pipeline(t, n=300):
    rng = np.random.default_rng(3)
    df = pd.DataFrame({"income": rng.integers(1, 10**5, n).astype(float), "debt": rng.random(n) * 1e4,
                       "sex": np.where(rng.random(n) > 0.5, "f", "m")})
    w = wrap_dataframe_dag(df, t, "apps", protected=["sex"])
    ratio = w["debt"] / w["income"]
    return (ratio + w["income"]).fillna(0.0)


def stored_graph(path, pid):
    nodes = rows(path, f"SELECT fingerprint, node_type, operation, table_name, column_name, pair_id, is_protected, "
                       f"entity_hash, chain_hash, metadata FROM nodes WHERE pipeline_id = {pid} ORDER BY fingerprint")
    edges = rows(path, f"SELECT p.fingerprint, c.fingerprint, e.input_position FROM edges e "
                       f"JOIN nodes p ON p.id = e.parent_node_id JOIN nodes c ON c.id = e.child_node_id "
                       f"WHERE e.pipeline_id = {pid} ORDER BY 1, 2, 3")
    return nodes, edges


def expected_graph(t):
    first = {}
    for n in t._nodes.values():
        first.setdefault(n.provenance, n)
    edges = set()
    for n in t._nodes.values():
        for i, x in enumerate(n.inputs):
            p = t._nodes.get(x)
            if p is not None:
                edges.add((p.provenance, n.provenance, i))
    return len(first), sorted(edges)


def test_everything_handed_over_is_in_the_database(tmp_path):
    # 3000 rows make ~50000 records: the writer's queue (10000) fills up and
    # the tracker waits for room; nothing may be dropped.
    path = tmp_path / "lineage.db"
    n = 3000
    t = DAGTracker(api_key="local", service_url=db_url(tmp_path), pipeline_name="credit")
    pid = t._pipeline_id
    pipeline(t, n)
    assert t.flush() is True
    nodes, edges = stored_graph(path, pid)
    want_nodes, want_edges = expected_graph(t)
    assert len(nodes) == want_nodes == t._nodes_written and edges == want_edges
    # 3 source cells per row, then one value per row for each of the three operations
    (count,), = rows(path, f"SELECT count(*) FROM row_values WHERE pipeline_id = {pid}")
    assert count == 6 * n
    assert t.get_persistence_stats()["failed"] == 0
    (syncs,), = rows(path, "SELECT count(*) FROM dashboard_syncs")
    assert syncs == 1
    t.disable_persistence()
    assert rows(path, f"SELECT status FROM pipelines WHERE id = {pid}") == [("completed",)]


class PythonRoad(DAGTracker):
    """Overrides _persist_node (and calls the original): every node takes the Python calls."""

    def _persist_node(self, node):
        self.handed = getattr(self, "handed", 0) + 1
        return super()._persist_node(node)


def test_native_and_python_roads_store_the_same_graph(tmp_path):
    graphs = []
    for cls, name in [(DAGTracker, "a.db"), (PythonRoad, "b.db")]:
        t = cls(api_key="local", service_url=db_url(tmp_path, name))
        pipeline(t)
        assert t.flush() is True
        pid = t._pipeline_id
        t._nodes_persisted = True  # compare what the writer streamed, not the bulk write
        graphs.append(stored_graph(tmp_path / name, pid))
        if cls is PythonRoad:
            assert t.handed == len(t._nodes)
        t.disable_persistence()
    assert graphs[0] == graphs[1] and len(graphs[0][0]) > 0


def test_an_instance_decode_full_takes_the_python_road(tmp_path):
    t = DAGTracker(api_key="local", service_url=db_url(tmp_path))
    real = t.decode_full

    class Info:
        def __init__(self, p):
            i = real(p)
            self.entity, self.chain = i.entity + 1000, i.chain

    t.decode_full = Info
    t.create_source_node("apps", "x", 5 << 6)
    t.flush()
    (entity,), = rows(tmp_path / "lineage.db", "SELECT entity_hash FROM nodes")
    assert entity == real(5 << 6).entity + 1000


def test_foreign_records_take_the_python_road(tmp_path, monkeypatch):
    made = []

    class MyNode(persistence.StoredNode):
        def __init__(self, **kw):
            made.append(kw["fingerprint"])
            super().__init__(**kw)

    try:
        monkeypatch.setattr(persistence, "StoredNode", MyNode)
    except TypeError:
        pytest.skip("StoredNode cannot be subclassed")
    t = DAGTracker(api_key="local", service_url=db_url(tmp_path))
    t.create_source_node("apps", "x", 7)
    assert made == [7] and t.flush() is True


def test_native_hand_over_makes_no_python_object_per_node(tmp_path):
    from corvanti.utilities.tessel32_dag import _log_unary_many

    def blocks_per_node(t, n=20_000):
        src = t.create_source_node("t", "c", 1)
        prov = np.arange(1, n + 1, dtype=np.uint32)
        ids = np.full(n, src, np.int64)
        gc.collect()
        before = sys.getallocatedblocks()
        _log_unary_many(t, "neg", prov, ids)
        gc.collect()
        return (sys.getallocatedblocks() - before) / n

    memory_only = blocks_per_node(DAGTracker())
    t = DAGTracker(api_key="local", service_url=db_url(tmp_path))
    native = blocks_per_node(t)
    p = PythonRoad(api_key="local", service_url=db_url(tmp_path, "p.db"))
    p.get_persistence_stats()
    python = blocks_per_node(p)
    assert t.flush() and p.flush()
    assert native - memory_only < 0.05 < python - memory_only


def test_exception_in_a_with_block_leaves_the_pipeline_failed(tmp_path):
    with pytest.raises(ZeroDivisionError):
        with DAGTracker(api_key="local", service_url=db_url(tmp_path)) as t:
            pid = t._pipeline_id
            pipeline(t, 20)
            1 / 0
    assert rows(tmp_path / "lineage.db", f"SELECT status FROM pipelines WHERE id = {pid}") == [("failed",)]
    (n,), = rows(tmp_path / "lineage.db", f"SELECT count(*) FROM nodes WHERE pipeline_id = {pid}")
    assert n > 0  # the flush in __exit__ still wrote the run


def test_a_database_that_cannot_open_leaves_a_memory_only_tracker(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("x")
    with pytest.warns(UserWarning, match="Persistence initialization failed: .*\nContinuing in memory-only mode."):
        t = DAGTracker(api_key="local", service_url=f"sqlite:///{blocker}/sub/db.sqlite")
    assert t._writer is None and t._storage is not None
    pipeline(t, 5)
    assert t.flush() is True and t._value_buffer == []
    t.disable_persistence()
    assert t._storage is None


def test_next_pipeline_after_a_flush(tmp_path):
    path = tmp_path / "lineage.db"
    t = DAGTracker(api_key="local", service_url=db_url(tmp_path), pipeline_name="nightly")
    pipeline(t, 10)
    t.flush()
    first = t._pipeline_id
    pipeline(t, 10)
    second = t._pipeline_id
    t.flush()
    t.disable_persistence()
    assert second != first
    assert rows(path, "SELECT id, name, status FROM pipelines ORDER BY id") == [
        (first, "nightly", "completed"), (second, "nightly", "completed")]
    (n,), = rows(path, f"SELECT count(*) FROM nodes WHERE pipeline_id = {second}")
    assert n > 0


def test_public_bulk_write_and_results_into_sqlite(tmp_path):
    t = DAGTracker(pipeline_name="batch")
    out = pipeline(t, 50)
    st = persistence.SQLiteStorage(str(tmp_path / "bulk.db"))
    st.connect()
    pid = t.persist_to_storage(st)
    src = pd.DataFrame({"a": range(50)})
    DAGTracker.persist_results(st, pid, [f"k{i}" for i in range(50)], {"score": out}, src)
    counts = st.counts(pid)
    st.disconnect()
    assert counts["nodes"] == expected_graph(t)[0] and counts["results"] == 50
    (h,), = rows(tmp_path / "bulk.db", "SELECT input_hash FROM results WHERE row_key = 'k3'")
    import hashlib

    assert h == hashlib.sha256(src.iloc[3].to_json().encode()).hexdigest()


def test_two_trackers_in_two_threads_share_one_database(tmp_path):
    path = tmp_path / "shared.db"
    done = []

    def run():
        t = DAGTracker(api_key="local", service_url=f"sqlite:///{path}")
        pipeline(t, 200)
        done.append((t._pipeline_id, t.flush(), t._nodes_written))
        t.disable_persistence()

    threads = [threading.Thread(target=run) for _ in range(2)]
    for th in threads:
        th.start()
    for th in threads:
        th.join(60)
    assert len(done) == 2 and all(ok for _, ok, _ in done)
    for pid, _, written in done:
        (n,), = rows(path, f"SELECT count(*) FROM nodes WHERE pipeline_id = {pid}")
        assert n == written > 0


def test_a_tracker_left_open_at_exit_is_closed_by_its_finaliser(tmp_path):
    from support.proc import run_python

    path = tmp_path / "exit.db"
    code = (
        "import sys\n"
        "from corvanti.utilities.tessel32_dag import DAGTracker\n"
        "t = DAGTracker(api_key='local', service_url='sqlite:///' + sys.argv[1])\n"
        "s = t.create_source_node('t', 'c', 3)\n"
        "for i in range(2000):\n"
        "    t.log_unary('neg', s, 100 + i)\n"
        "print(t._pipeline_id)\n"
    )
    proc = run_python(code, str(path), check=False)
    assert proc.returncode == 0, proc.stderr
    pid = int(proc.stdout.strip())
    (n,), = rows(path, f"SELECT count(*) FROM nodes WHERE pipeline_id = {pid}")
    assert n == 2001  # the writer was drained, not abandoned
    assert rows(path, f"SELECT status FROM pipelines WHERE id = {pid}") == [("completed",)]


# ---- persist_results: the native road into our own store stores what the
# ---- list of tuples stores ----------------------------------------------------

class TupleStore(persistence.SQLiteStorage):
    """Not exactly SQLiteStorage: persist_results hands it the list of tuples."""


def results_scenario(storage):
    from corvanti.utilities.tessel32_dag import DAGTrackedSeries
    t = DAGTracker()
    pid = storage.create_pipeline("r")
    src = pd.DataFrame({"id": [1, 2, 3, 4], "x": [0.5, np.nan, 1e20, -2.0], "s": ["a", "b,c", '"q"', None]})
    score = DAGTrackedSeries(np.array([0.25, np.nan, 3.0, 4.0, 5.0]), _tracker=t,
                             _prov=np.array([1, 2**32 - 1, 3, 4, 5], np.uint32))
    count = DAGTrackedSeries(np.array([7, -8, 9], np.int64), _tracker=t, _prov=np.array([2**62, -1, 0], np.int64))
    keys = ["k0", 1, "k2", "k0", 4.5]  # "k0" twice: the later row replaces the earlier one
    DAGTracker.persist_results(storage, pid, keys, {"score": score, "count": count}, src)
    # a second call on the same pipeline replaces its rows in place
    DAGTracker.persist_results(storage, pid, ["k2", "new"], {"score": score}, src.iloc[::-1])
    return pid


RESULT_ROWS = "SELECT id, pipeline_id, row_key, output_name, fingerprint, value, input_hash FROM results ORDER BY id"


def test_results_native_road_stores_what_the_python_road_stores(tmp_path):
    stored = {}
    for name, cls in (("native", persistence.SQLiteStorage), ("python", TupleStore)):
        st = cls(tmp_path / f"{name}.db")
        st.connect()
        results_scenario(st)
        st.disconnect()
        stored[name] = rows(tmp_path / f"{name}.db", RESULT_ROWS)
    assert stored["native"] == stored["python"]
    by_key = {(r[2], r[3]): r for r in stored["native"]}
    assert len(stored["native"]) == 9 and by_key[("k0", "score")][4] == 4 and by_key[("4.5", "count")][4:] == (0, None, None)
    assert None is not by_key[("k2", "score")][6] != by_key[("new", "score")][6] is not None  # rows 3 and 2


def test_results_roads_chosen_by_exact_type_and_instance_override(tmp_path):
    calls = []
    st = persistence.SQLiteStorage(tmp_path / "a.db")
    st.connect()
    st.store_results = lambda pid, rows: calls.append((pid, rows))  # shadowed on the instance: called as it is
    pid = st.create_pipeline("r")
    DAGTracker.persist_results(st, pid, ["a"], {"o": _tracked_one()}, None)
    assert calls == [(pid, [("a", "o", 5, 1.0, None)])]
    st.disconnect()
    hosted = persistence.HostedStorage(f"sqlite:///{tmp_path / 'h.db'}", "k", "t")
    hosted.connect()
    pid = hosted.create_pipeline("r")
    DAGTracker.persist_results(hosted, pid, ["a"], {"o": _tracked_one()}, pd.DataFrame({"v": [1]}))
    hosted.disconnect()
    assert rows(tmp_path / "h.db", "SELECT row_key, output_name, fingerprint, value FROM results") == [("a", "o", 5, 1.0)]


def _tracked_one():
    from corvanti.utilities.tessel32_dag import DAGTrackedSeries
    return DAGTrackedSeries(np.array([1.0]), _tracker=DAGTracker(), _prov=np.array([5], np.uint32))


def test_results_into_a_closed_store_fail_like_the_python_road(tmp_path):
    errors = []
    for cls in (persistence.SQLiteStorage, TupleStore):
        st = cls(tmp_path / "c.db")
        with pytest.raises(persistence.StorageError) as e:
            DAGTracker.persist_results(st, 1, ["a"], {"o": _tracked_one()}, pd.DataFrame({"v": [1]}))
        errors.append(str(e.value))
    assert errors[0] == errors[1] and "not open" in errors[0]
