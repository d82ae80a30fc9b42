"""Tracked Series operations: nanoseconds per element (medians).

    PYTHONPATH=. .venv/bin/python benchmarks/bench_tracked_series.py [sizes...]

Memory-only tracker (no writer), a fresh tracker for every timed run so that
every run starts from the same registry state (eviction included once the
registry passes its bound). Besides the operations themselves it prints the
split of `s1 + s2`: the same operation on series without node ids (numpy,
pandas and the per-element provenance loop, no node) and node creation alone
through the bulk entry point.
"""
import os

os.environ["OPENBLAS_NUM_THREADS"] = "1"

import gc  # noqa: E402
import statistics  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

from corvanti.utilities.tessel32_dag import DAGTrackedSeries, DAGTracker, _log_binary_many  # noqa: E402


def series(values, tracker, prov, nodes):
    return DAGTrackedSeries(values, _prov=prov, _tracker=tracker, _node_ids=nodes)


def timed(n, make, run, repeat):
    """Median over `repeat` runs after one untimed warm-up run (the first run
    of a process also pays for fresh heap pages)."""
    times = []
    for i in range(repeat + 1):
        args = make()
        gc.collect()
        gc.disable()
        t0 = time.perf_counter()
        run(*args)
        if i:
            times.append(time.perf_counter() - t0)
        gc.enable()
        del args
    return statistics.median(times) / n * 1e9


def main(sizes):
    rng = np.random.default_rng(7)
    print(f"{'n':>9} {'op':<22} ns/element")
    for n in sizes:
        repeat = 5 if n <= 10**5 else 3
        values = rng.random(n)
        values[::17] = np.nan
        other = rng.random(n)
        prov = rng.integers(1, 2**26, n).astype(np.uint32)
        ids = np.arange(n, dtype=np.int64)
        no_ids = np.full(n, -1, dtype=np.int64)

        def pair(node_ids=ids):
            t = DAGTracker()
            return (series(values, t, prov, node_ids), series(other, t, prov, node_ids))

        def one():
            return (series(values, DAGTracker(), prov, ids),)

        def bulk():
            return (DAGTracker(),)

        cases = [
            ("s1 + s2", pair, lambda a, b: a + b),
            ("s1 > s2", pair, lambda a, b: a > b),
            ("-s", one, lambda s: -s),
            ("s.clip(0.2, 0.8)", one, lambda s: s.clip(0.2, 0.8)),
            ("s.fillna()", one, lambda s: s.fillna()),
            ("s.replace(0.5, 1.0)", one, lambda s: s.replace(0.5, 1.0)),
            ("s1 + s2 without nodes", lambda: pair(no_ids), lambda a, b: a + b),
            ("node creation alone", bulk, lambda t: _log_binary_many(t, "add", prov, ids, ids)),
            ("numpy add alone", lambda: (values, other), lambda a, b: np.add(a, b)),
        ]
        for name, make, run in cases:
            print(f"{n:>9} {name:<22} {timed(n, make, run, repeat):9.1f}", flush=True)


if __name__ == "__main__":
    main([int(float(a)) for a in sys.argv[1:]] or [10**4, 10**5, 10**6])
