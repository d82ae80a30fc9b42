"""The persistence paths leave no references or memory behind: node hand-over
(both roads), flush cycles, bulk writes, results and the dashboard sync."""
import gc
import logging
import sys

import numpy as np
import pandas as pd
import pytest

from corvanti.utilities.tessel32_dag import DAGTrackedSeries, DAGTracker
from support import persist_standin


def _grown(fn, rounds, warm):
    """Memory blocks still held after `rounds` more runs, once `warm` runs have
    filled the interpreter's caches (type and attribute caches settle slowly;
    a leak keeps at least one block per run)."""
    for _ in range(warm):
        fn()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(rounds):
        fn()
    gc.collect()
    return sys.getallocatedblocks() - before


def test_stand_in_cycles_keep_refcounts_and_memory_flat(monkeypatch):
    pst = persist_standin.install(monkeypatch)
    logging.getLogger("corvanti.utilities.tessel32_dag").setLevel(logging.CRITICAL)
    meta = {"k": "v"}
    name = "leak-run"
    key = "k-" + "x" * 20
    src = pd.DataFrame({"a": [1, 2, 3], "b": ["x", "y", "z"]})
    bulk, results = pst.storage("bulk"), pst.storage("results")

    def cycle():
        t = DAGTracker(api_key=key, pipeline_name=name, service_url="ftp://127.0.0.1/")
        s = t.create_source_node("t", "c", 3)
        a = t.log_unary("neg", s, 5, meta)
        t.log_binary("add", a, s, 6)
        t.record_row_value(0, 5, "neg", "text")
        t.flush()
        t.persist_to_storage(bulk)
        out = DAGTrackedSeries([1.0, 2.0, 3.0], _tracker=t, _prov=np.array([1, 2, 3], np.uint32))
        DAGTracker.persist_results(results, 1, ["a", "b", "c"], {"o": out}, src)
        t.disable_persistence()
        del t, s, a, out
        for kept in (pst.calls, pst.storages, pst.writers, pst.sqlite_paths, bulk.fp_ids):  # the stand-in's records
            kept.clear()

    before = (sys.getrefcount(meta), sys.getrefcount(name), sys.getrefcount(key))
    grown = _grown(cycle, 1000, 2000)
    assert (sys.getrefcount(meta), sys.getrefcount(name), sys.getrefcount(key)) == before
    assert grown < 200


def test_native_hand_over_keeps_memory_flat(tmp_path):
    pytest.importorskip("corvanti.utilities.persistence")
    from corvanti.utilities.tessel32_dag import _log_unary_many

    t = DAGTracker(api_key="local", service_url=f"sqlite:///{tmp_path}/leak.db")
    t._max_nodes = 5000
    src = t.create_source_node("t", "c", 1)

    def batch():
        n = 2000
        _log_unary_many(t, "neg", np.arange(1, n + 1, dtype=np.uint32), np.full(n, src, np.int64))
        assert t.flush()

    grown = _grown(batch, 30, 30)
    t.disable_persistence()
    assert grown < 30 * 2000 // 20  # far under one block a node


def test_results_into_our_own_store_keep_refcounts_and_memory_flat(tmp_path):
    persistence = pytest.importorskip("corvanti.utilities.persistence")
    st = persistence.SQLiteStorage(tmp_path / "results.db")
    st.connect()
    pid = st.create_pipeline("leak")
    t = DAGTracker()
    key, name = "row-" + "k" * 20, "out-" + "o" * 20
    out = DAGTrackedSeries([1.0, 2.0, 3.0], _tracker=t, _prov=np.array([1, 2, 3], np.uint32))
    src = pd.DataFrame({"a": [1, 2, 3], "b": ["x", "y", "z"]})
    closed = persistence.SQLiteStorage(tmp_path / "closed.db")

    def cycle():
        DAGTracker.persist_results(st, pid, [key, "b", "c"], {name: out}, src)
        with pytest.raises(persistence.StorageError):  # the failing call releases what it took too
            DAGTracker.persist_results(closed, pid, [key], {name: out}, src)

    before = (sys.getrefcount(key), sys.getrefcount(name), sys.getrefcount(out), sys.getrefcount(src))
    grown = _grown(cycle, 300, 300)
    assert (sys.getrefcount(key), sys.getrefcount(name), sys.getrefcount(out), sys.getrefcount(src)) == before
    assert grown < 100
    assert st.counts(pid)["results"] == 3
    st.disconnect()
