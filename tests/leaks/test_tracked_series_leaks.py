"""Tracked Series operations leave no references or memory behind, on the
native road and on the Python-method road alike."""
import gc
import sys
import tracemalloc

import numpy as np

from corvanti.utilities.tessel32_dag import DAGTrackedSeries, DAGTracker, OpCode


class Overriding(DAGTracker):
    def combine(self, pa, pb, op):
        return DAGTracker.combine(self, pa, pb, op)

    def update_chain(self, p, op):
        return DAGTracker.update_chain(self, p, op)


def _cycle(a, b, plain, short):
    a + b
    a > b
    -a
    a.clip(0.1, 0.9)
    a.fillna()
    a.replace({0.5: 1.0})
    a + 3
    a + plain
    a + short
    a._apply_tracked_unary(a.values, a.index, "map", OpCode.MAP)
    try:
        a + DAGTrackedSeries([1.0, 2.0], _tracker=a._tracker)  # pandas rejects the length
    except ValueError:
        pass


def _run(tracker):
    tracker._max_nodes = 300  # eviction keeps the registry bounded
    n = 50
    prov = np.arange(n, dtype=np.uint32)
    nodes = np.arange(n, dtype=np.int64)
    a = DAGTrackedSeries(np.linspace(0, 1, n), _prov=prov, _tracker=tracker, _node_ids=nodes)
    b = DAGTrackedSeries(np.linspace(1, 2, n), _prov=prov.copy(), _tracker=tracker, _node_ids=nodes.copy())
    short = DAGTrackedSeries(np.ones(n), _prov=[1, 2, 3], _tracker=tracker, _node_ids=np.array([4, -1], dtype=np.int32))
    plain = np.ones(n)
    for _ in range(100):  # warm-up: caches, registry at its bound
        _cycle(a, b, plain, short)
    gc.collect()
    watched = (a, b, prov, nodes, tracker, plain, short._prov, OpCode.MAP)
    before = [sys.getrefcount(o) for o in watched]
    tracemalloc.start()
    for _ in range(300):  # pandas' own reference bookkeeping settles
        _cycle(a, b, plain, short)
    gc.collect()
    snap1 = tracemalloc.take_snapshot()
    for _ in range(600):
        _cycle(a, b, plain, short)
    gc.collect()
    snap2 = tracemalloc.take_snapshot()
    tracemalloc.stop()
    after = [sys.getrefcount(o) for o in watched]
    grown = sum(s.size_diff for s in snap2.compare_to(snap1, "filename"))
    return before, after, grown


def test_native_road_is_flat():
    before, after, grown = _run(DAGTracker())
    assert before == after
    assert grown < 64 * 1024, grown


def test_python_road_is_flat():
    before, after, grown = _run(Overriding())
    assert before == after
    assert grown < 64 * 1024, grown
