"""Node creation cost and memory of the lineage engine.

Prints, for each size, the median ns per node over several runs and the bytes
per live node (registry and provenance index included), for:
  * bulk   -- the native per-element path that tracked operations use
  * binary -- DAGTracker.log_binary called from Python, once per node
Eviction runs at the default bound (500000) for runs beyond it.

    python benchmarks/bench_dag_nodes.py [--sizes 100000 1000000] [--repeat 3]
"""
import os

# BLAS worker threads spin beside the loop being timed on a 2-core machine.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import gc
import sys
import statistics
import time

import numpy as np

from corvanti.utilities import tessel32_dag as dag


def run_bulk(n):
    t = dag.DAGTracker()
    s = t.create_source_node("bench", "x", 1)
    left = np.full(n, s, dtype=np.int64)
    right = np.arange(n, dtype=np.int64)
    prov = (np.arange(n, dtype=np.uint64) * 2654435761 % (1 << 31)).astype(np.uint32)
    t0 = time.perf_counter_ns()
    dag._log_binary_many(t, "add", prov, left, right)
    return (time.perf_counter_ns() - t0) / n, t


def run_shared(n):
    """Bulk creation where every node has the same provenance (eviction on)."""
    t = dag.DAGTracker()
    s = t.create_source_node("bench", "x", 1)
    left = np.full(n, s, dtype=np.int64)
    right = np.arange(n, dtype=np.int64)
    prov = np.full(n, 12345, dtype=np.uint32)
    t0 = time.perf_counter_ns()
    dag._log_binary_many(t, "add", prov, left, right)
    return (time.perf_counter_ns() - t0) / n, t


def run_binary(n):
    """log_binary called from a Python loop; arguments prepared beforehand."""
    t = dag.DAGTracker()
    s = t.create_source_node("bench", "x", 1)
    provs = [(i * 2654435761) % (1 << 31) for i in range(n)]
    log = t.log_binary
    t0 = time.perf_counter_ns()
    for i, p in enumerate(provs):
        log("add", s, i, p)
    return (time.perf_counter_ns() - t0) / n, t


def loop_baseline(n):
    """The same Python loop calling a C function that does nothing useful."""
    provs = [(i * 2654435761) % (1 << 31) for i in range(n)]
    noop = max
    t0 = time.perf_counter_ns()
    for i, p in enumerate(provs):
        noop(i, p)
    return (time.perf_counter_ns() - t0) / n


def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def bytes_per_node(n):
    """(resident growth per live node, accounted bytes per live node, live nodes).

    The resident figure includes allocator slack and memory freed by eviction
    but not returned to the system; the accounted one is the node objects
    (allocator size class) plus the registry's containers."""
    gc.collect()
    base = _rss()
    _, t = run_bulk(n)
    gc.collect()
    live = len(t._nodes)
    node_size = sys.getsizeof(t.get_node(t._next_node_id - 1))
    node_size = (node_size + 15) // 16 * 16  # the allocator's size class
    accounted = (node_size * live + t._nodes._container_bytes()) / live
    return (_rss() - base) / live, accounted, live


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", type=int, nargs="*", default=[10_000, 100_000, 1_000_000])
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    print(f"Python loop overhead (calling max(i, p)): {loop_baseline(100_000):.1f} ns per iteration")
    print(f"{'size':>9} {'bulk ns/node':>13} {'shared-prov ns':>15} {'log_binary ns/node':>19} "
          f"{'RSS B/node':>11} {'accounted B/node':>17} {'live nodes':>11}")
    for n in args.sizes:
        bulk = statistics.median(run_bulk(n)[0] for _ in range(args.repeat))
        shared = statistics.median(run_shared(n)[0] for _ in range(args.repeat))
        binary = statistics.median(run_binary(n)[0] for _ in range(args.repeat))
        rss, acc, live = bytes_per_node(n)
        print(f"{n:>9} {bulk:>13.1f} {shared:>15.1f} {binary:>19.1f} {rss:>11.1f} {acc:>17.1f} {live:>11}")


if __name__ == "__main__":
    main()
