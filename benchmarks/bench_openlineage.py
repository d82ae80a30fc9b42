"""Cost of the OpenLineage export of a tracked pipeline.

A frame of n rows, two wrapped columns and three derived columns (add, mul,
clip: one node per element and step) is exported with
DAGTracker.openlineage_events. Prints, per size, the median ns per node of
the export, the bytes per node it leaves behind (the inputs lists the walk
creates on the nodes it reads), and the time to serialise the events.

    python benchmarks/bench_openlineage.py [--sizes 10000 100000] [--repeat 3]
"""
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import gc
import json
import statistics
import time
import tracemalloc

import numpy as np
import pandas as pd

from corvanti.utilities import tessel32_dag as dag


def pipeline(n):
    t = dag.DAGTracker()
    df = pd.DataFrame({"a": np.arange(n, dtype=float), "b": np.arange(n, dtype=float) + 1})
    w = dag.wrap_dataframe_dag(df, t, "bench", protected=["b"], include_entity=False)
    w["s"] = w["a"] + w["b"]
    w["m"] = w["s"] * 2.0
    w["c"] = w["m"].clip(0.0, 10.0)
    return t, w


def run(n):
    t, w = pipeline(n)
    nodes = len(t._nodes)
    gc.collect()
    tracemalloc.start()
    t0 = time.perf_counter_ns()
    events = t.openlineage_events("bench", outputs={"out": w})
    elapsed = time.perf_counter_ns() - t0
    del events
    gc.collect()
    retained = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    # Timed again without tracemalloc (its hooks slow allocation down).
    t2, w2 = pipeline(n)
    t0 = time.perf_counter_ns()
    events = t2.openlineage_events("bench", outputs={"out": w2})
    plain = time.perf_counter_ns() - t0
    t0 = time.perf_counter_ns()
    json.dumps(events)
    dumps = time.perf_counter_ns() - t0
    return plain / nodes, retained / nodes, dumps / 1e6, nodes, elapsed


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000])
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    print(f"{'rows':>8} {'nodes':>8} {'ns/node':>9} {'B/node kept':>12} {'json ms':>8}")
    for n in args.sizes:
        runs = [run(n) for _ in range(args.repeat)]
        ns = statistics.median(r[0] for r in runs)
        kept = statistics.median(r[1] for r in runs)
        ms = statistics.median(r[2] for r in runs)
        print(f"{n:>8} {runs[0][3]:>8} {ns:>9.0f} {kept:>12.1f} {ms:>8.2f}")


if __name__ == "__main__":
    main()
