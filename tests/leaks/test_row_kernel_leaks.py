"""The row-mode kernels, the partial-graph analysis and to_dot leave no references or memory behind."""
import gc
import sys
import tracemalloc

import numpy as np
import pandas as pd
import pytest

from corvanti.utilities import tessel32_dag as dag
from corvanti.utilities.tessel32 import OpCode


def _cycle(t, src, prov, order, starts, meta, name):
    p, n = dag._rows_elementwise(t, name, int(OpCode.MAP), prov, prov, src)
    dag._rows_annotate(t, n, meta)
    dag._rows_elementwise(t, name, int(OpCode.ADD), prov, prov, src, p, n)
    gp, gn = dag._rows_aggregate(t, name, int(OpCode.AGG), prov, n, order, starts, meta)
    d = t.get_dag(int(gn[0]))
    d.missing_ids
    d.to_dot()
    dag.dag_audit(dag.DAGTrackedSeries(prov.astype(float), _prov=prov, _tracker=t, _node_ids=n), 1)


def test_kernels_keep_refcounts_and_memory_flat_with_eviction_running():
    t = dag.DAGTracker()
    t._max_nodes = 2000
    s = t.create_source_node("t", "c", 3)
    src = np.full(8, s, dtype=np.int64)
    prov = np.arange(1, 9, dtype=np.uint32)
    order = np.arange(8, dtype=np.int64)
    starts = np.array([0, 3, 8], dtype=np.int64)
    meta = {"function": "f"}
    name = "op"
    for _ in range(300):  # warm up: the registry reaches its bound and evicts
        _cycle(t, src, prov, order, starts, meta, name)
    gc.collect()
    before = (sys.getrefcount(meta), sys.getrefcount(name), sys.getrefcount(prov))
    tracemalloc.start()
    snap1 = tracemalloc.take_snapshot()
    for _ in range(2000):
        _cycle(t, src, prov, order, starts, meta, name)
    gc.collect()
    snap2 = tracemalloc.take_snapshot()
    tracemalloc.stop()
    after = (sys.getrefcount(meta), sys.getrefcount(name), sys.getrefcount(prov))
    grown = sum(x.size_diff for x in snap2.compare_to(snap1, "filename"))
    assert after[0] == before[0] and after[2] == before[2]  # metadata is copied, never kept
    assert abs(after[1] - before[1]) < 2500  # nodes in the bounded registry hold the name
    assert grown < 512 * 1024, grown


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda t, a: dag._rows_aggregate(t, "s", 10, a.astype(np.int64), a, a, a, {}), "prov must be a 1-D"),
        (lambda t, a: dag._rows_aggregate(t, "s", 10, a.astype(np.uint32), a, a, np.array([0, 9]), {}),
         "do not fit together"),
        (lambda t, a: dag._rows_aggregate(t, "s", 10, a.astype(np.uint32), a, np.array([0, 0, 7]),
                                          np.array([0, 3]), {}), "do not fit together"),
        (lambda t, a: dag._rows_annotate(t, a.astype(np.int32), {}), "node_ids must be a 1-D"),
        (lambda t, a: dag._rows_annotate(t, a, None), "Argument 'metadata' has incorrect type"),
    ],
)
def test_kernels_refuse_arrays_that_do_not_fit(call, message):
    t = dag.DAGTracker()
    with pytest.raises((TypeError, ValueError), match=message):
        call(t, np.arange(3, dtype=np.int64))


def test_a_frame_in_row_mode_is_freed_with_its_tracker():
    import weakref

    t = dag.DAGTracker(lineage="rows")
    f = dag.wrap_dataframe_dag(pd.DataFrame({"a": np.arange(50.0)}), t, "t")
    (f.sort_values("a")["a"] * 2.0).sum()
    ref = weakref.ref(t)
    del t, f
    gc.collect()
    assert ref() is None
