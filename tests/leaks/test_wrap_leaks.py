"""Wrapping, reading columns, merging and auditing leave no references or memory behind."""
import gc
import sys
import tracemalloc

import numpy as np
import pandas as pd

from corvanti.utilities import tessel32_dag as M
from support.dag_frames import series_class


class Rec(M.DAGTracker):
    def record_row_value(self, row_index, fingerprint, operation, value=None, column_name=None):
        if row_index == 1:
            raise ValueError("discarded")


INDEX = ["r1", "r2", "r3"]
MULTI = [(1, "a"), (2.5, "b"), (3, "c")]


def _cycle(protected, table):
    # Frames are built per cycle: pandas keeps (weak) references from a frame
    # to the views derived from it, which would grow on a long-lived frame.
    df = pd.DataFrame({"income": [50.0, np.nan, 70.0], "age": [30, 40, 50], "gender": ["f", "m", "f"]},
                      index=INDEX)
    right = pd.DataFrame({"gender": ["f", "m"], "rate": [0.1, 0.2]})
    labels = pd.DataFrame({"v": [1, 2, 3], "d": pd.date_range("2024-01-01", periods=3)},
                          index=pd.MultiIndex.from_tuples(MULTI))
    t = M.DAGTracker()
    w = M.wrap_dataframe_dag(df, t, table, protected=protected)
    s = w["income"]
    M.dag_audit(s, 1)
    M.dag_audit(s[:0])
    M.get_dag_for_series(s, -1)
    M.combine_provenances(t, [0, 1, 99])
    w["copy"] = s
    w[["income", "gender"]]
    w[w["age"] > 35]["income"]
    m = w.merge(M.wrap_dataframe_dag(right, t, "rates"), on="gender")
    M.dag_audit(m["rate"], 0)
    M.wrap_dataframe_dag(labels, Rec(), table)


def test_refcounts_and_memory_stay_flat(monkeypatch):
    series_class(monkeypatch)
    protected, table = ["gender"], "apps"
    for _ in range(150):
        _cycle(protected, table)
    gc.collect()
    objs = (protected, table, M.NodeType.SOURCE, M.DAGTrackedDataFrame, M.DAGTrackedSeries, M.OpCode.MERGE)
    before = [sys.getrefcount(o) for o in objs]
    tracemalloc.start()
    snap1 = tracemalloc.take_snapshot()
    for _ in range(600):
        _cycle(protected, table)
    gc.collect()
    snap2 = tracemalloc.take_snapshot()
    tracemalloc.stop()
    after = [sys.getrefcount(o) for o in objs]
    assert after == before
    grown = sum(s.size_diff for s in snap2.compare_to(snap1, "filename"))
    assert grown < 128 * 1024, grown
