"""The tracker's node registry, provenance index, eviction and operation log."""
import threading

import pytest

from corvanti.utilities.tessel32 import OpCode, ProvenanceTracker
from corvanti.utilities.tessel32_dag import DAGNode, DAGTracker, NodeType


def tainted_prov(t):
    pid = t.register("people", "race", True)
    return t.encode({pid}, entity=0, chain=0, taint=True, depth=0)


def test_constructor_state_and_argument_checks():
    t = DAGTracker()
    assert isinstance(t, ProvenanceTracker)
    assert t._next_node_id == 0 and t._max_nodes == 500000 and len(t._nodes) == 0
    assert t._value_flush_threshold == 5000 and t._writer is None and t._pipeline_id is None
    assert t._service_url == "" and t._dashboard_synced is False and t._source_nodes == {}
    assert t.dag_stats() == {"total_nodes": 0, "source_nodes": 0, "protected_sources": 0,
                             "operation_nodes": 0, "operation_counts": {}, "unique_provenances": 0}
    with pytest.raises(TypeError, match=r"Argument 'service_url' has incorrect type \(expected str, got NoneType\)"):
        DAGTracker(service_url=None)
    with pytest.raises(TypeError, match="Argument 'api_key' has incorrect type"):
        DAGTracker(api_key=5)


def test_api_key_needs_the_persistence_package():
    import importlib.util

    if importlib.util.find_spec("corvanti.utilities.persistence") is not None:
        pytest.skip("persistence package present")
    with pytest.raises(ImportError):
        DAGTracker(api_key="k")


def test_ids_are_sequential_and_a_failed_creation_consumes_one():
    t = DAGTracker()
    assert t._create_node(NodeType.UNARY, "a", [], 1) == 0
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        t._create_node(NodeType.UNARY, "b", [], 1, bogus=True)
    assert t._create_node(NodeType.UNARY, "c", [], 1) == 2
    assert t.get_node(1) is None
    with pytest.raises(TypeError, match="multiple values for argument 'operation'"):
        t._create_node(NodeType.UNARY, "b", [], 1, operation="x")
    with pytest.raises(TypeError, match="multiple values for keyword argument 'node_id'"):
        t._create_node(NodeType.UNARY, "b", [], 1, node_id=9)
    with pytest.raises(TypeError, match=r"Argument 'inputs' has incorrect type \(expected list, got tuple\)"):
        t._create_node(NodeType.UNARY, "b", (), 1)
    assert t._next_node_id == 4  # a repeated node_id keyword fails after taking its id


def test_provenance_index_keeps_creation_order_and_shrinks_with_eviction():
    t = DAGTracker()
    a = t.log_unary("x", 0, 77)
    b = t.log_unary("y", 0, 77)
    assert [n.node_id for n in t.get_nodes_for_provenance(77)] == [a, b]
    assert t.get_nodes_for_provenance(78) == []
    assert t._prov_to_nodes[77] == [a, b]
    t._max_nodes = 1
    t.log_unary("z", 0, 5)  # 3 nodes > 1: evicts 3 // 10 = 0 ... nothing
    assert len(t._nodes) == 3
    t._max_nodes = 2
    for _ in range(8):
        t.log_unary("w", 0, 6)
    # every pass removed the oldest, so 77 went first
    assert 77 not in t._prov_to_nodes
    assert all(t.get_node(i) is not None for ids in t._prov_to_nodes.values() for i in ids)
    assert t.dag_stats()["unique_provenances"] == len(t._prov_to_nodes)


def test_eviction_keeps_source_nodes_even_when_the_newest_node_goes():
    t = DAGTracker()
    for i in range(10):
        t.create_source_node("t", f"c{i}", 1)
    t._max_nodes = 10
    u = t.log_unary("neg", 0, 2)
    assert t.get_node(u) is None
    assert len(t._nodes) == 10 and all(n.is_source for n in t._nodes.values())
    assert t._next_node_id == 11


def test_eviction_removes_a_tenth_oldest_first():
    t = DAGTracker()
    s = t.create_source_node("t", "c", 1)
    t._max_nodes = 10
    ids = [t.log_unary("op", s, 100 + i) for i in range(10)]
    # 11 nodes -> one eviction of 11 // 10 = 1: the oldest non-source node
    assert t.get_node(ids[0]) is None and t.get_node(s) is not None
    assert list(t._nodes) == [s] + ids[1:]
    assert t.log_unary("op", s, 1) == 11  # ids continue after eviction


def test_taint_forces_protection_but_zero_provenance_never_asks():
    t = DAGTracker()
    p = tainted_prov(t)
    assert t.get_node(t.log_unary("x", 0, p)).is_protected is True
    assert t.get_node(t.log_unary("x", 0, 0)).is_protected is False

    class Counting(DAGTracker):
        calls = 0

        def is_tainted(self, prov):
            Counting.calls += 1
            return True

    c = Counting()
    c._create_node(NodeType.UNARY, "x", [], 0)
    c._create_node(NodeType.UNARY, "x", [], 5, is_protected=True)
    assert Counting.calls == 0
    assert c.get_node(c.log_unary("x", 0, 5)).is_protected is True and Counting.calls == 1


def test_source_nodes_once_per_column():
    t = DAGTracker()
    a = t.create_source_node("loans", "income", 5)
    assert t.create_source_node("loans", "income", 99) == a
    n = t.get_node(a)
    assert (n.operation, n.table, n.column, n.is_leaf) == ("loans.income", "loans", "income", True)
    assert n.pair_id == t.get_id("loans", "income")
    assert len(t._nodes) == 1 and t._source_nodes == {("loans", "income"): a}
    with pytest.raises(ValueError, match="^table and column must be non-empty strings$"):
        t.create_source_node("", "x", 1)
    assert len(t._nodes) == 1
    t.register("people", "race", True)
    assert t.get_node(t.create_source_node("people", "race", 0)).is_protected


def test_logging_operations_inputs_metadata_and_types():
    t = DAGTracker()
    m = t.get_node(t.log_merge([1, 2], [3], 9))
    assert (m.inputs, m.operation, m.metadata, m.node_type) == ([1, 2, 3], "merge_inner", {"merge_type": "inner"},
                                                                NodeType.MERGE)
    m2 = t.get_node(t.log_merge([1], [2], 9, "left", {"on": "id"}))
    assert list(m2.metadata.items()) == [("merge_type", "left"), ("on", "id")]
    empty = {}
    u = t.get_node(t.log_unary("neg", 1, 2, empty))
    assert u.metadata == {} and u.metadata is not empty and u.node_type == NodeType.UNARY
    meta = {"k": 1}
    assert t.get_node(t.log_unary("neg", 1, 2, meta)).metadata is meta
    ids = [1, 2]
    agg = t.get_node(t.log_aggregate("sum", ids, 3))
    assert agg.inputs is ids and agg.node_type == NodeType.AGGREGATE
    b = t.get_node(t.log_binary("add", 4, 5, 6))
    assert b.inputs == [4, 5] and b.node_type == NodeType.BINARY
    assert t.log_binary("add", 4.0, True, 6.9) == 6  # int() conversion of numbers
    assert t.get_node(6).provenance == 6 and t.get_node(6).inputs == [4, 1]
    with pytest.raises(TypeError, match="Argument 'metadata' has incorrect type"):
        t.log_unary("neg", 1, 2, [])
    with pytest.raises(TypeError, match="Argument 'left_nodes' has incorrect type"):
        t.log_merge((1,), [2], 3)


def test_record_row_value_does_not_buffer_without_a_writer():
    t = DAGTracker()
    for i in range(10):
        t.record_row_value(i, 5, "op", i)
    assert t._value_buffer == []
    with pytest.raises(TypeError, match="Argument 'operation' has incorrect type"):
        t.record_row_value(0, 5, 7)


def test_overridden_create_node_receives_every_node():
    seen = []

    class Audit(DAGTracker):
        def _create_node(self, node_type, operation, inputs, provenance, **kw):
            seen.append((node_type, operation, list(inputs), sorted(kw)))
            return super()._create_node(node_type, operation, inputs, provenance, **kw)

    t = Audit()
    t.create_source_node("a", "b", 1)
    t.log_binary("add", 0, 0, 2)
    assert seen[0][:3] == (NodeType.SOURCE, "a.b", [])
    assert seen[1] == (NodeType.BINARY, "add", [0, 0], ["metadata"])


def test_context_manager_and_finaliser():
    calls = []

    class T(DAGTracker):
        def flush(self, timeout=30.0):
            calls.append("flush")
            return True

        def disable_persistence(self):
            calls.append("disable")

    with T() as t:
        assert isinstance(t, T)
    assert calls == ["flush", "disable"]
    calls.clear()
    with pytest.raises(RuntimeError, match="boom"):
        with T() as kept:
            raise RuntimeError("boom")
    assert calls == ["flush", "disable"]
    calls.clear()
    t = DAGTracker()
    assert t.flush() is True and t.get_persistence_stats() is None
    del t  # __del__ runs disable_persistence without error


def test_registry_mapping_behaviour():
    t = DAGTracker()
    t.log_unary("a", 0, 1)
    t.log_unary("b", 0, 2)
    reg = t._nodes
    assert 0 in reg and 5 not in reg and reg.get(5) is None
    assert list(reg.keys()) == [0, 1] and [n.operation for n in reg.values()] == ["a", "b"]
    assert reg == {0: t.get_node(0), 1: t.get_node(1)}
    import numpy as np

    assert reg[np.int64(1)] is t.get_node(1)
    with pytest.raises(KeyError):
        reg[7]


def test_readers_while_another_thread_creates_nodes():
    t = DAGTracker()
    t._max_nodes = 5000
    stop = threading.Event()
    errors = []

    def writer():
        try:
            s = t.create_source_node("t", "c", 1)
            prev = s
            for i in range(40000):
                prev = t.log_binary("add", prev, s, i % 97)
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)
        finally:
            stop.set()

    def reader():
        try:
            while not stop.is_set():
                st = t.dag_stats()
                assert st["total_nodes"] >= st["source_nodes"]
                last = t._next_node_id - 1
                n = t.get_node(last)
                if n is not None:
                    assert n.node_id == last
                for n in t.get_nodes_for_provenance(5):
                    assert n.provenance == 5
                t.get_dag(last)
        except Exception as e:  # pragma: no cover
            errors.append(e)

    threads = [threading.Thread(target=writer)] + [threading.Thread(target=reader) for _ in range(2)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert errors == []
    assert all(t.get_node(i) is not None for ids in t._prov_to_nodes.values() for i in ids)


def test_eviction_of_a_shared_provenance_keeps_the_index_exact():
    t = DAGTracker()
    t._max_nodes = 1000
    ids = [t.log_unary("op", 0, 99 if i % 3 else 98) for i in range(5000)]
    live = list(t._nodes)
    assert live == ids[-len(live):]
    assert t._prov_to_nodes[99] == [i for i in live if t.get_node(i).provenance == 99]
    assert t._prov_to_nodes[98] == [i for i in live if t.get_node(i).provenance == 98]
    assert sorted(t._prov_to_nodes.keys()) == [98, 99]
