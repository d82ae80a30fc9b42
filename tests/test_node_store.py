"""The node store: nodes kept as rows until Python asks for them, then one
DAGNode per node for the rest of its life, whatever road created it."""
import gc
import threading

import numpy as np
import pandas as pd
import pytest

from corvanti.utilities.tessel32_dag import (
    DAGNode,
    DAGTracker,
    NodeType,
    _log_binary_many,
    dag_audit,
    get_dag_for_series,
    wrap_dataframe_dag,
)


def _two_sources(max_nodes):
    """A tracker bounded at `max_nodes` and the ids of two source nodes."""
    t = DAGTracker()
    t._max_nodes = max_nodes
    return t, t.create_source_node("t", "a", 1), t.create_source_node("t", "b", 2)


def _pair(t, n=6):
    w = wrap_dataframe_dag(pd.DataFrame({"a": np.arange(n, dtype=float), "b": np.ones(n)}), t, "t")
    return w["a"], w["b"]


def test_every_reader_sees_one_object_per_node():
    t = DAGTracker()
    a, b = _pair(t)
    s = a + b
    nid = int(s._node_ids[2])
    first = t.get_node(nid)
    assert first is t._nodes[nid] is t._nodes.get(nid)
    assert first is dict(t._nodes.items())[nid]
    assert first is get_dag_for_series(s, 2).nodes[nid]
    assert first in t.get_nodes_for_provenance(first.provenance)
    assert [n for n in t._nodes.values() if n.node_id == nid][0] is first
    assert isinstance(first, DAGNode) and first.node_type is NodeType.BINARY and first.operation == "add"
    assert first.inputs == [int(a._node_ids[2]), int(b._node_ids[2])]
    assert first.provenance == int(s._prov[2])


def test_a_change_through_the_object_is_what_later_readers_see():
    t = DAGTracker()
    a, b = _pair(t)
    s = a * b
    nid = int(s._node_ids[1])
    node = t.get_node(nid)
    node.operation = "renamed"
    node.is_protected = True
    node.metadata["note"] = "kept"
    assert t.dag_stats()["operation_counts"]["renamed"] == 1
    assert t.get_dag(nid).nodes[nid].metadata == {"note": "kept"}
    d = t.get_dag(nid).to_dict()
    assert d["nodes"][str(nid)]["operation"] == "renamed" and d["nodes"][str(nid)]["is_protected"] is True
    # the untouched neighbour is still an ordinary row
    assert t.get_node(int(s._node_ids[0])).operation == "mul"


def test_rows_answer_like_objects_in_stats_iteration_and_deletion():
    t = DAGTracker()
    src = t.create_source_node("t", "a", 1)
    ids = [t.log_unary("neg", src, 16 + i) for i in range(5)]
    stats = t.dag_stats()
    assert stats["total_nodes"] == 6 and stats["operation_counts"] == {"neg": 5}
    assert list(t._nodes) == [src] + ids
    assert ids[2] in t._nodes and 99 not in t._nodes
    del t._nodes[ids[2]]
    assert ids[2] not in t._nodes and len(t._nodes) == 5
    with pytest.raises(KeyError):
        del t._nodes[ids[2]]
    replacement = DAGNode(node_id=ids[3], node_type=NodeType.CUSTOM, operation="mine", inputs=[], provenance=7)
    t._nodes[ids[3]] = replacement
    assert t.get_node(ids[3]) is replacement
    assert t.dag_stats()["operation_counts"] == {"neg": 3, "mine": 1}


def test_taint_protection_is_kept_on_rows():
    t = DAGTracker()
    pid = t.register("p", "race", True)
    tainted = t.encode({pid}, entity=0, chain=0, taint=True, depth=0)
    src = t.create_source_node("p", "race", tainted)
    out = t.log_unary("f", src, t.update_chain(tainted, 3))
    clean = t.log_unary("g", src, 16)
    assert t.get_node(out).is_protected is True
    assert t.get_node(clean).is_protected is False
    assert t.dag_stats()["protected_sources"] == 2  # the source and the tainted row


def test_ids_behind_the_store_and_many_distinct_operations_still_work():
    t = DAGTracker()
    src = t.create_source_node("t", "a", 1)
    first = t.log_unary("f", src, 20)
    t._next_node_id = 0  # ids behind the newest row: stored as objects
    again = t.log_unary("g", src, 21)
    assert again == 0 and t.get_node(0).operation == "g"
    assert t.get_node(first).operation == "f"
    # far more distinct operation names than a row can index
    t2 = DAGTracker()
    t2._max_nodes = 10**6
    s2 = t2.create_source_node("t", "a", 1)
    ids = [t2.log_unary(f"op{i}", s2, 16 + (i % 50)) for i in range(70_000)]
    assert t2.get_node(ids[-1]).operation == "op69999"
    assert t2.get_node(ids[5]).operation == "op5"
    assert len(t2.get_nodes_for_provenance(16)) == 1400


def test_eviction_removes_rows_and_their_index_entries():
    t, a, b = _two_sources(1000)
    n = 5000
    prov = (np.arange(n) % 700 + 16).astype(np.uint32)
    _log_binary_many(t, "add", prov, np.full(n, a, np.int64), np.full(n, b, np.int64))
    assert len(t._nodes) <= 1000
    live = [k for k in t._nodes if k not in (a, b)]
    oldest = min(live)
    assert all(t.get_node(i) is None for i in range(2, oldest))
    # the index answers only with live nodes, and every live row is indexed
    for p in (16, 300, 715):
        for node in t.get_nodes_for_provenance(p):
            assert node.node_id in t._nodes and node.provenance == p
    counted = sum(len(ids) for ids in t._prov_to_nodes.values())
    assert counted == len(t._nodes)


def test_index_after_eviction_answers_only_for_live_nodes_and_reused_ids():
    t, a, b = _two_sources(10_000)
    n = 9_990
    prov = np.arange(16, 16 + n, dtype=np.uint32)    # one key per node
    ids = _log_binary_many(t, "add", prov, np.full(n, a, np.int64), np.full(n, b, np.int64))
    assert len(t._prov_to_nodes) == n + 2            # the index has caught up with every row
    more = _log_binary_many(t, "add", np.full(20, 5, np.uint32), np.full(20, a, np.int64), np.full(20, b, np.int64))
    assert t.get_node(int(ids[0])) is None and t.get_node(int(more[-1])) is not None
    gone = [int(p) for i, p in zip(ids, prov) if t.get_node(int(i)) is None]
    assert len(gone) >= 999
    # evicted nodes answer nowhere (lookup, membership), even while their
    # entries wait to be dropped
    for p in gone[:50] + gone[-50:]:
        assert t.get_nodes_for_provenance(p) == []
        assert p not in t._prov_to_nodes
    # an evicted node's id given out again: the old provenance does not find the new node
    t._next_node_id = int(ids[0])
    reused = t.log_binary("add", a, b, 7)
    assert reused == int(ids[0])
    assert t.get_nodes_for_provenance(int(prov[0])) == []
    assert int(prov[0]) not in t._prov_to_nodes
    assert [nd.node_id for nd in t.get_nodes_for_provenance(7)] == [reused]
    # length and keys count live nodes only
    assert len(t._prov_to_nodes) == len(list(t._prov_to_nodes)) == n + 2 - len(gone) + 2
    assert sorted(t._prov_to_nodes[5]) == sorted(int(i) for i in more)


def test_index_memory_stays_bounded_over_many_eviction_cycles():
    t, a, b = _two_sources(20_000)
    sizes = []
    key = 16
    for cycle in range(60):
        prov = np.arange(key, key + 5_000, dtype=np.uint32)   # fresh keys every cycle
        key += 5_000
        _log_binary_many(t, "add", prov, np.full(5_000, a, np.int64), np.full(5_000, b, np.int64))
        t.get_nodes_for_provenance(key - 1)                   # the index catches up each cycle
        sizes.append(t._nodes._container_bytes())
        live = [i for i in t._nodes if i not in (a, b)]
        assert t.get_nodes_for_provenance(key - 1)[0].node_id == max(live)
    assert len(t._nodes) <= 20_000
    assert max(sizes[30:]) <= 1.2 * max(sizes[10:30])
    assert len(t._prov_to_nodes) == len(t._nodes)


def test_readers_in_other_threads_never_see_a_half_written_node():
    t, a, b = _two_sources(20_000)
    stop = threading.Event()
    errors = []

    def writer(seed):
        rng = np.random.default_rng(seed)
        while not stop.is_set():
            m = 3000
            prov = rng.integers(16, 2**31, m).astype(np.uint32)
            ids = _log_binary_many(t, "add", prov, np.full(m, a, np.int64), np.full(m, b, np.int64))
            del ids

    def reader():
        try:
            while not stop.is_set():
                top = t._next_node_id
                for nid in range(max(2, top - 200), top):
                    node = t.get_node(nid)
                    if node is None:
                        continue
                    if node.node_id != nid or node.operation != "add" or node.inputs != [a, b]:
                        errors.append(("fields", nid, node))
                    if node not in t.get_nodes_for_provenance(node.provenance) and nid in t._nodes:
                        errors.append(("index", nid))
                t.dag_stats()
        except Exception as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=writer, args=(s,)) for s in (1, 2)]
    threads += [threading.Thread(target=reader) for _ in range(2)]
    for th in threads:
        th.start()
    timer = threading.Timer(3.0, stop.set)
    timer.start()
    for th in threads:
        th.join(30)
    assert not any(th.is_alive() for th in threads)
    assert not errors, errors[:5]
    assert len(t._nodes) <= 20_000


def _binary_type_refs():
    import sys

    return sys.getrefcount(NodeType.BINARY)


def test_tracked_operations_make_no_node_objects_unless_python_asks(tmp_path, monkeypatch):
    # Each DAGNode holds a reference to its node type: a flat count means no
    # object was made for the million-row-free operation below.
    from support import persist_standin

    for t in (DAGTracker(), DAGTracker(api_key="local", service_url=f"sqlite:///{tmp_path}/n.db")):
        a, b = _pair(t, 2000)
        a - b  # the tracker's kind table takes its one reference to BINARY here
        before = _binary_type_refs()
        s = a + b
        assert _binary_type_refs() == before, "a node object was made"
        assert t.flush() is True
        t.get_node(int(s._node_ids[0]))
        assert _binary_type_refs() == before + 1
        t.disable_persistence()
    del t, a, b, s
    gc.collect()  # the trackers above (and their tables) are gone before counting again
    # a foreign writer gets the Python calls, with the node objects they take
    standin = persist_standin.install(monkeypatch)
    t = DAGTracker(api_key="local")
    a, b = _pair(t, 50)
    a - b
    before = _binary_type_refs()
    s = a + b
    assert _binary_type_refs() == before + 50
    written = [args[0] for m, args, kw in standin.of("writer") if m == "write_node"]
    assert written[-1].fingerprint == int(s._prov[-1]) and written[-1].operation == "add"


def test_node_creation_waits_for_a_thread_holding_the_lock():
    t = DAGTracker()
    src = t.create_source_node("t", "a", 1)
    done = threading.Event()

    def create():
        t.log_unary("f", src, 16)
        t.log_binary("g", src, src, 17)
        done.set()

    with t._dag_lock:
        th = threading.Thread(target=create)
        th.start()
        assert not done.wait(0.3), "a node was created while another thread held _dag_lock"
        assert len(t._nodes) == 1
    th.join(10)
    assert done.is_set() and len(t._nodes) == 3
