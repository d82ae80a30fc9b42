"""The OpenLineage delegations keep no references to their arguments and no memory."""
import gc
import sys
import tracemalloc

import numpy as np

from corvanti.utilities.tessel32_dag import DAGTracker, DAGTrackedSeries


def test_repeated_exports_and_failed_calls_leave_nothing_behind():
    t = DAGTracker()
    src = t.create_source_node("t", "a", 3)
    node = t.log_unary("neg", src, 3)
    series = DAGTrackedSeries([1.0], _tracker=t, _prov=np.array([3], np.uint32), _node_ids=np.array([node], np.int64))
    ns, job, run = "name" + "space", "job" + "name", "12345678-1234-5678-1234-567812345678"
    outputs = {"o": {"v": series}}
    dag = t.get_dag(node)

    def cycle():
        t.openlineage_events(ns, job, run, outputs)
        dag.to_openlineage(ns, job, run, "d", "f")
        for bad in ((ns, job, run, []), (ns, job, "not-a-uuid", outputs)):
            try:
                t.openlineage_events(*bad)
            except (TypeError, ValueError):
                pass

    for _ in range(50):
        cycle()
    gc.collect()
    objs = (ns, job, run, outputs, t, dag, series)
    before = [sys.getrefcount(o) for o in objs]
    tracemalloc.start()
    snap1 = tracemalloc.take_snapshot()
    for _ in range(500):
        cycle()
    gc.collect()
    snap2 = tracemalloc.take_snapshot()
    tracemalloc.stop()
    assert [sys.getrefcount(o) for o in objs] == before
    grown = sum(s.size_diff for s in snap2.compare_to(snap1, "filename"))
    assert grown < 128 * 1024, grown
