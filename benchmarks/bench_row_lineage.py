"""Cost of the exact row-lineage mode next to the default positional mode.

For a filter (boolean mask), a sort (sort_values), a merge (many-to-one on a
key) and a groupby (sum per key), prints the median wall time of the pandas
call on a plain frame, on a positional tracked frame and on a row-mode tracked
frame, and the row mode's ns per row. Every run gets a fresh tracker whose
bound is raised above the run's node count, so eviction does not enter.

    python benchmarks/bench_row_lineage.py [--sizes 100000 1000000] [--repeat 3]
"""
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import gc
import statistics
import time

import numpy as np
import pandas as pd

from corvanti.utilities.tessel32_dag import DAGTracker, wrap_dataframe_dag

OPS = {
    "filter": lambda f, o: f[f["a"] > 0.5],
    "sort": lambda f, o: f.sort_values("a"),
    "merge": lambda f, o: f.merge(o, on="k", how="left"),
    "groupby": lambda f, o: f.groupby("k").sum(),
}


def tables(n, seed=0):
    rng = np.random.default_rng(seed)
    df = pd.DataFrame({"a": rng.random(n), "b": rng.random(n), "k": rng.integers(0, 1000, n)})
    other = pd.DataFrame({"k": np.arange(1000), "w": rng.random(1000)})
    return df, other


def timed(mode, op, n, df, other):
    if mode == "plain":
        f, o = df, other
    else:
        t = DAGTracker(lineage=mode)
        t._max_nodes = 20 * n + 10_000
        f = wrap_dataframe_dag(df, t, "t")
        o = wrap_dataframe_dag(other, t, "o")
    gc.collect()
    start = time.perf_counter()
    OPS[op](f, o)
    return time.perf_counter() - start


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", type=int, nargs="+", default=[100_000, 1_000_000])
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    print(f"{'op':8} {'rows':>9} {'plain ms':>9} {'positional ms':>14} {'rows ms':>9} {'rows ns/row':>12} "
          f"{'rows/plain':>10}")
    for n in args.sizes:
        df, other = tables(n)
        for op in OPS:
            res = {m: statistics.median(timed(m, op, n, df, other) for _ in range(args.repeat))
                   for m in ("plain", "positional", "rows")}
            print(f"{op:8} {n:>9} {res['plain'] * 1e3:>9.1f} {res['positional'] * 1e3:>14.1f} "
                  f"{res['rows'] * 1e3:>9.1f} {res['rows'] / n * 1e9:>12.0f} {res['rows'] / res['plain']:>10.1f}")


if __name__ == "__main__":
    main()
