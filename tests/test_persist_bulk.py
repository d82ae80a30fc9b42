"""The deduplicated bulk write and per-row results against a recording
persistence package."""
import hashlib

import numpy as np
import pandas as pd
import pytest

from corvanti.utilities.tessel32_dag import DAGTracker, DAGTrackedSeries, NodeType
from support import persist_standin


@pytest.fixture
def pst(monkeypatch):
    return persist_standin.install(monkeypatch)


def graph(t):
    """Two sources, duplicated fingerprints, an evicted input and repeated edges."""
    pid = t.register("loans", "income", False)
    a = t.create_source_node("loans", "income", 100)
    b = t.create_source_node("loans", "sex", 200)
    c1 = t.log_binary("add", a, b, 300)
    c2 = t.log_binary("sub", a, b, 300)     # same fingerprint: dropped, its edges repeat c1's
    d = t.log_unary("neg", c1, 400, {"why": "test"})
    e = t.log_aggregate("sum", [d, 999999, c2], 500)  # 999999 never existed
    return pid, (a, b, c1, c2, d, e)


def test_flush_bulk_write_dedups_and_resolves(pst):
    t = DAGTracker(api_key="k", pipeline_name="p")
    graph(t)
    st = pst.storages[0]
    pst.calls.clear()
    t._persist_dag_to_storage()
    (m1, (nodes,), _), (m2, (pid,), _), (m3, (rows,), _) = pst.of("storage")
    assert (m1, m2, m3) == ("store_nodes", "get_fingerprint_node_map", "store_edges_resolved") and pid == 1
    assert [n.fingerprint for n in nodes] == [100, 200, 300, 400, 500]
    assert [n.operation for n in nodes] == ["loans.income", "loans.sex", "add", "neg", "sum"]
    n0 = nodes[0].kw
    info = t.decode_full(100)
    assert list(n0) == ["fingerprint", "node_type", "operation", "table_name", "column_name", "pair_id",
                        "is_protected", "entity_hash", "chain_hash", "metadata", "pipeline_id"]
    assert n0 == {"fingerprint": 100, "node_type": "SOURCE", "operation": "loans.income", "table_name": "loans",
                  "column_name": "income", "pair_id": t.get_id("loans", "income"), "is_protected": False,
                  "entity_hash": info.entity, "chain_hash": info.chain, "metadata": {}, "pipeline_id": 1}
    assert type(n0["is_protected"]) is bool and nodes[3].metadata == {"why": "test"}
    ids = st.fp_ids
    assert rows == [(ids[100], ids[300], 0), (ids[200], ids[300], 1), (ids[300], ids[400], 0),
                    (ids[400], ids[500], 0), (ids[300], ids[500], 2)]
    assert t._nodes_written == 5 and t._edges_written == 5


def test_fingerprints_missing_from_the_map_drop_their_edges(pst):
    t = DAGTracker(api_key="k")
    graph(t)
    pst.results[("storage", "get_fingerprint_node_map")] = {100: 1, 300: 3, 500: 5}
    pst.calls.clear()
    t._persist_dag_to_storage()
    rows = pst.of("storage")[2][1][0]
    assert rows == [(1, 3, 0), (3, 5, 2)]


def test_empty_registry_asks_only_for_the_map(pst):
    t = DAGTracker(api_key="k")
    pst.calls.clear()
    t._persist_dag_to_storage()
    assert pst.methods("storage") == ["get_fingerprint_node_map"]
    assert not hasattr(t, "_nodes_written") and t.get_persistence_stats()["nodes_written"] == 0


def test_a_mapping_that_is_not_a_dict_is_asked_per_edge(pst):
    class Map:
        def __init__(self):
            self.asked = []

        def get(self, fp):
            self.asked.append(fp)
            return fp // 100

    t = DAGTracker(api_key="k")
    graph(t)
    m = Map()
    pst.results[("storage", "get_fingerprint_node_map")] = m
    t._persist_dag_to_storage()
    assert m.asked == [100, 300, 200, 300, 300, 400, 400, 500, 300, 500]
    assert all(type(x) is int for x in m.asked)


def test_storage_errors_propagate_with_partial_effects(pst):
    t = DAGTracker(api_key="k")
    graph(t)
    pst.fail[("storage", "store_edges_resolved")] = RuntimeError("edges table gone")
    with pytest.raises(RuntimeError, match="edges table gone"):
        t.flush()
    assert t._nodes_written == 5 and t._nodes_persisted is False


def test_persist_to_storage_public_write(pst):
    t = DAGTracker()
    pid, _ = graph(t)
    t.register("loans", "sex", True)
    st = pst.storage("mine")
    assert t.persist_to_storage(st) == 1
    calls = pst.of("mine")
    assert calls[0] == ("create_pipeline", ("unnamed",), {})
    assert calls[1] == ("register_source", (pid, "loans", "income"), {"is_protected": False})
    assert calls[2] == ("register_source", (t.get_id("loans", "sex"), "loans", "sex"), {"is_protected": True})
    nodes = calls[3][1][0]
    assert [list(n.kw) for n in nodes][:1] == [["fingerprint", "node_type", "operation", "table_name",
                                                 "column_name", "pair_id", "is_protected", "pipeline_id"]]
    assert [n.fingerprint for n in nodes] == [100, 200, 300, 400, 500]
    assert [m for m, _, _ in calls[4:]] == ["get_fingerprint_node_map", "store_edges_resolved", "complete_pipeline"]
    assert calls[-1] == ("complete_pipeline", (1, "completed"), {})
    assert len(calls[5][1][0]) == 5 and not hasattr(t, "_nodes_written") and t._pipeline_id is None


def test_persist_to_storage_given_pipeline_and_empty_tracker(pst):
    t = DAGTracker(pipeline_name="named")
    st = pst.storage("s")
    assert t.persist_to_storage(st, pipeline_id=7.0) == 7
    assert pst.of("s") == [("store_nodes", ([],), {}), ("get_fingerprint_node_map", (7,), {}),
                           ("store_edges_resolved", ([],), {}), ("complete_pipeline", (7, "completed"), {})]
    with pytest.raises(TypeError, match=r"Argument 'pipeline_id' has incorrect type \(expected int, got str\)"):
        t.persist_to_storage(st, "7")
    pst.results[("s", "create_pipeline")] = "abc"
    with pytest.raises(TypeError, match="Expected int, got str"):
        t.persist_to_storage(st)
    pst.results[("s", "create_pipeline")] = np.int64(12)
    assert type(t.persist_to_storage(st)) is int


def test_bulk_write_of_a_large_registry_stays_deduplicated(pst):
    from corvanti.utilities.tessel32_dag import _log_binary_many

    t = DAGTracker()
    a = t.create_source_node("t", "a", 1)
    b = t.create_source_node("t", "b", 2)
    n = 50_000
    prov = (np.arange(n) % 97 + 10).astype(np.uint32)
    _log_binary_many(t, "add", prov, np.full(n, a, np.int64), np.full(n, b, np.int64))
    st = pst.storage("s")
    t.persist_to_storage(st, 1)
    calls = dict((m, a) for m, a, _ in pst.of("s"))
    assert len(calls["store_nodes"][0]) == 99 and len(calls["store_edges_resolved"][0]) == 2 * 97


# ---------------------------------------------------------------- results


def tracked(values, t, prov):
    return DAGTrackedSeries(values, _tracker=t, _prov=np.asarray(prov, np.uint32))


def row_hash(df, i):
    return hashlib.sha256(df.iloc[i].to_json().encode("utf-8")).hexdigest()


def test_results_rows_grouped_by_output(pst):
    t = DAGTracker()
    src = pd.DataFrame({"a": [1, 2], "b": ["x", "y"]})
    outputs = {"score": tracked([0.5, 0.25], t, [11, 12]), "dti": tracked([1, 2], t, [21, 22])}
    st = pst.storage("s")
    assert DAGTracker.persist_results(st, 3, ["k1", 2, "k3"], outputs, src) is None
    (m, (pid, rows), _), = pst.of("s")
    h0, h1 = row_hash(src, 0), row_hash(src, 1)
    assert (m, pid) == ("store_results", 3)
    assert rows == [("k1", "score", 11, 0.5, h0), ("2", "score", 12, 0.25, h1), ("k3", "score", 0, None, None),
                    ("k1", "dti", 21, 1.0, h0), ("2", "dti", 22, 2.0, h1), ("k3", "dti", 0, None, None)]
    assert all(type(r[2]) is int and (r[3] is None or type(r[3]) is float) for r in rows)


def test_results_without_source_frame_and_edge_arguments(pst):
    st = pst.storage("s")
    t = DAGTracker()
    DAGTracker.persist_results(st, np.int32(4), iter(["a"]), {"o": tracked([np.nan], t, [1])})
    rows = pst.of("s")[0][1][1]
    assert rows[0][:3] == ("a", "o", 1) and np.isnan(rows[0][3]) and rows[0][4] is None
    DAGTracker.persist_results(st, 4, [], {})
    assert pst.of("s")[1] == ("store_results", (4, []), {})
    for bad, msg in [((st, None, [], {}), r"'pipeline_id' has incorrect type \(expected int, got NoneType\)"),
                     ((st, "4", [], {}), r"'pipeline_id' has incorrect type \(expected int, got str\)"),
                     ((st, 4, [], []), r"'outputs' has incorrect type \(expected dict, got list\)")]:
        with pytest.raises(TypeError, match=bad and msg):
            DAGTracker.persist_results(*bad)
    with pytest.raises(AttributeError):
        DAGTracker.persist_results(st, 4, ["a"], {"o": pd.Series([1.0])})
    with pytest.raises(ValueError):
        DAGTracker.persist_results(st, 4, ["a"], {"o": tracked(["x"], t, [1])})
