"""The tracker's persistence life cycle against a recording persistence package:
enable/disable, flush, statistics, the next pipeline, the node hand-over,
`with` blocks and finalisation."""
import gc
import logging
import sys
import warnings

import pytest

from corvanti.utilities.tessel32_dag import DAGTracker, NodeType
from support import persist_standin

LOGGER = "corvanti.utilities.tessel32_dag"


@pytest.fixture
def pst(monkeypatch):
    return persist_standin.install(monkeypatch)


def active(pst, **kw):
    kw.setdefault("api_key", "key-1")
    t = DAGTracker(**kw)
    pst.calls.clear()
    return t


# ---------------------------------------------------------------- enable


def test_enable_calls_in_order_with_the_exact_keywords(pst):
    pre = DAGTracker()
    pa = pre.register("loans", "income", False)
    pb = pre.register("loans", "sex", True)
    pre._api_key, pre._tenant_id, pre._service_url, pre._pipeline_name = "k", "acme", "http://x", "run"
    pre.enable_persistence()
    w = pst.writers[0]
    assert pst.calls == [
        ("HostedStorage", "__init__", (), {"api_url": "http://x", "api_key": "k", "tenant_id": "acme"}),
        ("storage", "connect", (), {}),
        ("storage", "create_pipeline", (), {"pipeline_name": "run", "config": None, "git_commit": None,
                                             "tenant_id": "acme"}),
        ("AsyncWriter", "__init__", (pst.storages[0], w.config), {}),
        ("writer", "start", (), {}),
        ("writer", "register_source", (pa, "loans", "income", False), {}),
        ("writer", "register_source", (pb, "loans", "sex", True), {}),
    ]
    assert w.config.kw == {"batch_size": 100, "flush_interval": 1.0, "queue_size": 10000}
    assert type(w.config.kw["flush_interval"]) is float
    assert pre._storage is pst.storages[0] and pre._writer is w and pre._pipeline_id == 1


def test_constructor_enables_only_for_a_non_empty_key(pst):
    DAGTracker()
    DAGTracker(api_key="")
    assert pst.calls == []
    t = DAGTracker(api_key="k")
    assert pst.methods()[:3] == [("HostedStorage", "__init__"), ("storage", "connect"), ("storage", "create_pipeline")]
    # defaults: tenant "default" for the storage, None for the pipeline, "unnamed_pipeline"
    assert pst.calls[0][3] == {"api_url": "", "api_key": "k", "tenant_id": "default"}
    assert pst.calls[2][3] == {"pipeline_name": "unnamed_pipeline", "config": None, "git_commit": None,
                               "tenant_id": None}
    assert t._pipeline_id == 1


def test_storage_construction_errors_propagate(pst):
    pst.fail[("HostedStorage", "__init__")] = OSError("no disk")
    with pytest.raises(OSError, match="no disk"):
        DAGTracker(api_key="k")


def test_missing_package_raises_import_error(monkeypatch):
    import types

    monkeypatch.setitem(sys.modules, "corvanti.utilities.persistence", types.ModuleType("corvanti.utilities.persistence"))
    with pytest.raises(ImportError, match="HostedStorage"):
        DAGTracker(api_key="k")


@pytest.mark.parametrize("where, writer_made, writer_started", [
    (("storage", "connect"), False, False),
    (("storage", "create_pipeline"), False, False),
    (("AsyncWriter", "__init__"), False, False),
    (("writer", "start"), True, False),
    (("writer", "register_source"), True, True),
])
def test_failed_setup_warns_once_and_is_really_memory_only(pst, where, writer_made, writer_started):
    pst.fail[where] = RuntimeError("refused")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        pre = DAGTracker()
        pre.register("a", "b", False)
        pre._api_key = "k"
        pre.enable_persistence()
    assert [(w.category, str(w.message)) for w in caught] == [
        (UserWarning, "Persistence initialization failed: refused\nContinuing in memory-only mode.")]
    # A writer constructed before the failure is stopped and dropped; the
    # storage stays for disable_persistence to close.
    assert pre._writer is None and pre._storage is pst.storages[0]
    assert (("writer", "stop") in pst.methods()) == writer_made
    pst.calls.clear()
    pre.create_source_node("a", "b", 5)
    assert pre.flush() is True and pst.calls == []
    pre.disable_persistence()
    assert pre._storage is None and pst.methods()[-1] == ("storage", "disconnect")


# ---------------------------------------------------------------- disable


def test_disable_order_and_pipeline_zero(pst):
    t = active(pst)
    t._pipeline_id = 0
    t.disable_persistence()
    assert pst.methods() == [("writer", "stop"), ("storage", "complete_pipeline"), ("storage", "disconnect")]
    assert pst.calls[1][2:] == ((0,), {"status": "completed"})
    assert t._writer is None and t._storage is None and t._pipeline_id is None
    t.disable_persistence()  # idempotent, calls nothing
    assert len(pst.calls) == 3


def test_disable_errors_propagate_and_leave_later_steps(pst):
    t = active(pst)
    pst.fail[("storage", "complete_pipeline")] = RuntimeError("gone")
    with pytest.raises(RuntimeError, match="gone"):
        t.disable_persistence()
    assert t._writer is None and t._storage is not None and t._pipeline_id == 1


def test_memory_only_disable_only_resets_the_pipeline_id(pst):
    t = DAGTracker()
    t._pipeline_id = 7
    t.disable_persistence()
    assert t._pipeline_id is None and pst.calls == []
    assert t.flush() is True and t.get_persistence_stats() is None and pst.calls == []


# ---------------------------------------------------------------- flush


def test_flush_drains_waits_bulk_writes_and_syncs_once(pst, monkeypatch):
    t = active(pst)
    synced = []
    monkeypatch.setattr(DAGTracker, "_sync_to_dashboard", lambda self: synced.append(self._nodes_persisted))
    t.record_row_value(0, 5, "add", 1.5)
    assert t.flush(timeout=0.5) is True
    ms = pst.methods()
    assert ms[:2] == [("writer", "write_row_values"), ("writer", "flush")]
    assert pst.calls[1][2:] == ((), {"timeout": 0.5})
    assert ("storage", "get_fingerprint_node_map") in ms
    assert synced == [True] and t._nodes_persisted and t._dashboard_synced and t._value_buffer == []
    pst.calls.clear()
    t.record_row_value(1, 5, "add", 2)
    assert t.flush(3) is True
    assert pst.methods() == [("writer", "write_row_values"), ("writer", "flush")] and synced == [True]
    assert pst.calls[1][3] == {"timeout": 3.0} and type(pst.calls[1][3]["timeout"]) is float


def test_flush_reports_the_writer_time_out(pst):
    t = active(pst)
    pst.results[("writer", "flush")] = False
    assert t.flush(timeout=0.01) is False
    assert t._nodes_persisted and t._dashboard_synced  # the rest of the flush still ran
    pst.results[("writer", "flush")] = None  # a writer that answers nothing
    assert t.flush() is True


def test_flush_timeout_argument_is_converted(pst):
    t = active(pst)
    with pytest.raises(TypeError):
        t.flush(object())
    with pytest.raises(ValueError):
        t.flush("soon")
    with pytest.raises(TypeError):
        t.flush(1.0, 2)


def test_flush_errors_leave_the_flag_for_a_retry(pst, monkeypatch):
    t = active(pst)
    pst.fail[("storage", "get_fingerprint_node_map")] = RuntimeError("db down")
    with pytest.raises(RuntimeError, match="db down"):
        t.flush()
    assert t._nodes_persisted is False and t._dashboard_synced is False
    del pst.fail[("storage", "get_fingerprint_node_map")]
    assert t.flush() is True and t._nodes_persisted is True


def test_flush_write_row_values_error_keeps_the_buffer(pst):
    t = active(pst)
    t.record_row_value(0, 1, "op", 1)
    pst.fail[("writer", "write_row_values")] = RuntimeError("full")
    with pytest.raises(RuntimeError):
        t.flush()
    assert len(t._value_buffer) == 1
    assert t._value_buffer_lock.acquire(blocking=False)  # released on the error


def test_no_bulk_write_without_a_pipeline(pst):
    t = active(pst)
    t._pipeline_id = 0
    t.flush()
    assert ("storage", "get_fingerprint_node_map") not in pst.methods() and t._nodes_persisted is False


# ---------------------------------------------------------------- statistics


@pytest.mark.parametrize("stats, expected", [
    ({"queued": 3}, {"queued": 3, "nodes_written": 0, "edges_written": 0}),
    ({}, {}),
    (None, None),
])
def test_stats(pst, stats, expected):
    t = active(pst)
    pst.results[("writer", "get_stats")] = stats
    got = t.get_persistence_stats()
    assert got == expected and (stats is None or got is stats)
    if stats:
        assert list(got)[-2:] == ["nodes_written", "edges_written"]


def test_stats_report_the_bulk_counters_and_check_the_type(pst):
    t = active(pst)
    t._nodes_written, t._edges_written = 4, 9
    assert t.get_persistence_stats() == {"queued": 0, "written": 0, "nodes_written": 4, "edges_written": 9}
    pst.results[("writer", "get_stats")] = [1]
    with pytest.raises(TypeError, match="Expected dict, got list"):
        t.get_persistence_stats()


# ---------------------------------------------------------------- next pipeline


def test_new_pipeline_after_a_synced_flush(pst):
    t = active(pst, pipeline_name="nightly", tenant_id="acme")
    first = t.create_source_node("loans", "income", 9)
    t.flush()
    pst.calls.clear()
    second = t.create_source_node("loans", "income", 9)
    assert second != first
    assert pst.calls[:2] == [
        ("storage", "complete_pipeline", (1,), {"status": "completed"}),
        ("storage", "create_pipeline", (), {"pipeline_name": "nightly", "config": None, "git_commit": None,
                                             "tenant_id": "acme"}),
    ]
    assert t._pipeline_id == 2 and not t._dashboard_synced and not t._nodes_persisted
    assert t._nodes_written == 0 and t._edges_written == 0 and t._source_nodes == {("loans", "income"): second}
    assert pst.calls[2][1] == "write_node" and pst.calls[2][2][0].pipeline_id == 2


def test_start_new_pipeline_needs_storage_and_a_truthy_id(pst):
    t = active(pst)
    t._pipeline_id = 0
    t._start_new_pipeline()
    assert pst.calls == []
    t._storage = None
    t._pipeline_id = 5
    t._start_new_pipeline()
    assert pst.calls == [] and t._pipeline_id == 5


# ---------------------------------------------------------------- node hand-over


def test_persist_node_record_and_edges(pst):
    t = active(pst, pipeline_name="p")
    pid = t.register("loans", "sex", True)
    src = t.create_source_node("loans", "sex", t.encode({pid}, entity=7, chain=3, taint=True, depth=0))
    other = t.create_source_node("loans", "age", 77)
    node = t.log_binary("mul", src, other, 4242, {"k": 1})
    (_, (rec,), _), (_, (edges,), _) = pst.of("writer")[-2:]
    info = t.decode_full(t.get_node(src).provenance)
    first = pst.of("writer")[0][1][0]
    assert list(first.kw) == ["fingerprint", "node_type", "operation", "table_name", "column_name", "pair_id",
                              "is_protected", "entity_hash", "chain_hash", "metadata", "pipeline_id"]
    assert first.kw == {"fingerprint": t.get_node(src).provenance, "node_type": "SOURCE", "operation": "loans.sex",
                        "table_name": "loans", "column_name": "sex", "pair_id": pid, "is_protected": True,
                        "entity_hash": info.entity, "chain_hash": info.chain, "metadata": {}, "pipeline_id": 1}
    assert rec.kw["operation"] == "mul" and rec.kw["metadata"] == {"k": 1} and rec.kw["node_type"] == "BINARY"
    assert [e.kw for e in edges] == [
        {"parent_fingerprint": t.get_node(src).provenance, "child_fingerprint": 4242, "input_position": 0},
        {"parent_fingerprint": 77, "child_fingerprint": 4242, "input_position": 1}]
    assert node == 2


def test_evicted_inputs_leave_gaps_and_sources_have_no_edges(pst):
    t = active(pst)
    a = t.log_unary("x", 999, 1)        # input never existed
    b = t.log_aggregate("sum", [a, 12345, a], 2)
    calls = pst.of("writer")
    assert [m for m, _, _ in calls] == ["write_node", "write_node", "write_edges"]
    assert [(e.input_position, e.parent_fingerprint) for e in calls[2][1][0]] == [(0, 1), (2, 1)]
    assert b == 1


def test_failed_node_write_logs_and_skips_edges(pst, caplog):
    t = active(pst)
    a = t.create_source_node("t", "c", 3)
    pst.fail[("writer", "write_node")] = RuntimeError("queue closed")
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        b = t.log_unary("neg", a, 4)
    assert [r.getMessage() for r in caplog.records] == [f"Failed to persist DAG node {b}: queue closed"]
    assert pst.methods("writer")[-1] == "write_node" and t.get_node(b) is not None
    del pst.fail[("writer", "write_node")]
    pst.fail[("writer", "write_edges")] = RuntimeError("edges closed")
    caplog.clear()
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        c = t.log_unary("neg", a, 5)
    assert [r.getMessage() for r in caplog.records] == [f"Failed to persist DAG edges for node {c}: edges closed"]


def test_missing_package_at_hand_over_logs_the_error(pst, monkeypatch, caplog):
    t = active(pst)
    monkeypatch.delattr(pst.pkg, "StoredNode")
    with caplog.at_level(logging.ERROR, logger=LOGGER):
        t.create_source_node("t", "c", 3)
    assert [r.getMessage() for r in caplog.records] == [
        "Persistence module unavailable \u2014 provenance data is NOT being saved to storage. "
        "Install corvanti with persistence extras or check your installation."]
    assert pst.of("writer") == [] and len(t._nodes) == 1


def test_decode_failure_propagates_from_node_creation(pst):
    class T(DAGTracker):
        def decode_full(self, p):
            raise ValueError("bad provenance")

    t = T(api_key="k")
    with pytest.raises(ValueError, match="bad provenance"):
        t.create_source_node("t", "c", 3)


def test_hand_over_only_with_a_writer_and_under_the_lock(pst):
    held = []

    class T(DAGTracker):
        def _persist_node(self, node):
            held.append((node.node_id, self._dag_lock.locked()))

    t = T()
    t.create_source_node("t", "c", 1)
    assert held == []
    t._writer = object()
    t.log_unary("neg", 0, 2)
    assert held == [(1, True)]


def test_records_follow_creation_order_across_bulk_operations(pst):
    import numpy as np

    from corvanti.utilities.tessel32_dag import _log_binary_many

    t = active(pst)
    n = 5000
    ids = _log_binary_many(t, "add", np.arange(1, n + 1, dtype=np.uint32), np.zeros(n, np.int64),
                           np.zeros(n, np.int64))
    nodes = [a[0] for m, a, _ in pst.of("writer") if m == "write_node"]
    assert [r.fingerprint for r in nodes] == list(range(1, n + 1)) and ids.tolist() == list(range(n))


# ---------------------------------------------------------------- row values


def test_row_values_hand_over_at_the_threshold(pst):
    t = active(pst, tenant_id="acme")
    for i in range(4999):
        t.record_row_value(i, 7, "add", i)
    assert pst.of("writer") == [] and len(t._value_buffer) == 4999
    t.record_row_value(4999, 7, "add", "abc")
    (m, (batch,), _), = pst.of("writer")
    assert m == "write_row_values" and len(batch) == 5000 and t._value_buffer == []
    assert batch[-1].kw == {"pipeline_id": 1, "row_index": 4999, "fingerprint": 7, "node_operation": "add",
                            "value": None, "column_name": None, "tenant_id": "acme", "text_value": "abc"}


# ---------------------------------------------------------------- with / __del__


def test_with_block_normal_exit_completes(pst):
    with DAGTracker(api_key="k") as t:
        t.create_source_node("t", "c", 1)
        pst.calls.clear()
    ms = pst.methods()
    assert ms[0] == ("writer", "flush") and ms[-3:] == [
        ("writer", "stop"), ("storage", "complete_pipeline"), ("storage", "disconnect")]
    assert pst.calls[-2][2:] == ((1,), {"status": "completed"})


def test_with_block_exception_marks_failed_and_it_stays_failed(pst):
    with pytest.raises(KeyError, match="boom"):
        with DAGTracker(api_key="k") as t:
            pst.calls.clear()
            raise KeyError("boom")
    completes = [(a, k) for m, a, k in pst.of("storage") if m == "complete_pipeline"]
    assert completes == [((1,), {"status": "failed"})]
    assert pst.methods()[-2:] == [("writer", "stop"), ("storage", "disconnect")]
    assert t._storage is None and t._writer is None and t._pipeline_id is None


def test_with_block_exception_and_failing_flush_still_closes_the_run(pst):
    pst.fail[("writer", "flush")] = RuntimeError("flush broke")
    with pytest.raises(RuntimeError, match="flush broke") as ei:
        with DAGTracker(api_key="k") as t:
            raise KeyError("boom")
    completes = [k for m, a, k in pst.of("storage") if m == "complete_pipeline"]
    assert completes == [{"status": "failed"}] and t._writer is None
    assert ei.value.__context__ is not None


def test_failed_marker_does_not_outlive_its_pipeline(pst):
    with pytest.raises(KeyError):
        with DAGTracker(api_key="k") as t:
            raise KeyError("x")
    t.enable_persistence()
    pst.calls.clear()
    t.disable_persistence()
    assert [k for m, a, k in pst.of("storage") if m == "complete_pipeline"] == [{"status": "completed"}]


def test_finaliser_closes_and_swallows_errors(pst):
    t = DAGTracker(api_key="k")
    pst.calls.clear()
    del t
    gc.collect()
    assert pst.methods()[:1] == [("writer", "stop")]
    t = DAGTracker(api_key="k")
    pst.fail[("writer", "stop")] = RuntimeError("cannot stop")
    del t
    gc.collect()  # no error escapes
