"""Persistence figures, memory-only and persistence-on side by side in one run.

    PYTHONPATH=. .venv/bin/python benchmarks/bench_persistence.py [n]

1. tracked `s1 + s2` on n elements (default 10**6): the computation itself
   (before flush), and the whole run through `flush()` returning True, for a
   memory-only tracker and for `DAGTracker(api_key="local",
   service_url="sqlite:///<tmp>/lineage.db")` (the embedded SQLite store);
   the last column repeats the persistence run with a writer queue that never
   fills (the tracker's own share, without waiting for the writer);
2. the bulk deduplicated write of a 500k-node registry (`persist_to_storage`
   into SQLite);
3. `persist_results` of 10**6 rows with row hashes, into SQLite ("tracker
   side": a foreign storage that keeps nothing, so the rows are built as the
   list of tuples; "into SQLite": the whole call into our own store, whose
   rows go over as columns through the persistence capsule).
"""
import os

os.environ["OPENBLAS_NUM_THREADS"] = "1"

import gc  # noqa: E402
import shutil  # noqa: E402
import sys  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

from corvanti.utilities import persistence  # noqa: E402
from corvanti.utilities.tessel32_dag import DAGTracker, _log_binary_many, wrap_dataframe_dag  # noqa: E402


def tracked_pair(t, n, rng):
    df = pd.DataFrame({"a": rng.random(n), "b": rng.random(n)})
    w = wrap_dataframe_dag(df, t, "bench")
    return w["a"], w["b"]


def add_run(t, n, rng):
    """(computation s, whole run s, flush result, rows written)"""
    s1, s2 = tracked_pair(t, n, rng)
    # what wrap_dataframe_dag buffered is not the operation's: hand it over first
    t.flush(timeout=600)
    gc.collect()
    t0 = time.perf_counter()
    s1 + s2
    t1 = time.perf_counter()
    ok = t.flush(timeout=600)
    t2 = time.perf_counter()
    return t1 - t0, t2 - t0, ok


class NullStorage:
    """Accepts every storage call and keeps nothing: the tracker's own share."""

    def create_pipeline(self, *a, **k):
        return 1

    def get_fingerprint_node_map(self, pipeline_id):
        return self.fp

    def store_nodes(self, nodes):
        self.fp = {n.fingerprint: i for i, n in enumerate(nodes)}

    def register_source(self, *a, **k):
        pass

    store_edges_resolved = store_results = complete_pipeline = register_source


def timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def main(n):
    rng = np.random.default_rng(11)
    tmp = tempfile.mkdtemp(prefix="corvanti-bench-")
    try:
        print(f"tracked s1 + s2, n = {n:,}")
        mem = add_run(DAGTracker(), n, rng)
        t = DAGTracker(api_key="local", service_url=f"sqlite:///{tmp}/lineage.db", pipeline_name="bench")
        per = add_run(t, n, rng)
        stats = t.get_persistence_stats()
        t.disable_persistence()
        # The tracker's own share: the same run with a queue that never fills,
        # so the computation does not wait for the writer's SQLite inserts.
        u = DAGTracker(api_key="local", service_url=f"sqlite:///{tmp}/unbounded.db", pipeline_name="bench")
        u._writer.stop()
        u._writer = persistence.AsyncWriter(u._storage, persistence.WriterConfig(
            batch_size=100, flush_interval=1.0, queue_size=50_000_000))
        u._writer.start()
        unb = add_run(u, n, rng)
        u.disable_persistence()
        print(f"{'':24}{'memory-only':>14}{'persistence':>14}{'ratio':>8}{'no backpressure':>18}")
        for k, label in ((0, "computation (ns/elt)"), (1, "through flush (ns/elt)")):
            print(f"{label:24}{mem[k] / n * 1e9:14.0f}{per[k] / n * 1e9:14.0f}{per[k] / mem[k]:8.1f}"
                  f"{unb[k] / n * 1e9:18.0f}")
        print(f"flush returned {per[2]}; writer: written={stats['written']} batches={stats['batches']} "
              f"failed={stats['failed']}")
        # What the records became: TESSEL-32 values repeat, so most node and
        # edge records name rows that are already stored.
        check = persistence.SQLiteStorage(os.path.join(tmp, "lineage.db"))
        check.connect()
        c = check.counts()
        check.disconnect()
        print(f"stored: {c['nodes']:,} nodes, {c['edges']:,} edges, {c['row_values']:,} row values")

        m = 500_000
        reg = DAGTracker(pipeline_name="bulk")
        a = reg.create_source_node("t", "a", 1)
        b = reg.create_source_node("t", "b", 2)
        prov = (rng.integers(0, 50_000, m) + 16).astype(np.uint32)
        _log_binary_many(reg, "add", prov, np.full(m, a, np.int64), np.full(m, b, np.int64))
        null_bulk = timed(lambda: reg.persist_to_storage(NullStorage()))
        st = persistence.SQLiteStorage(os.path.join(tmp, "bulk.db"))
        st.connect()
        pid = [None]
        sql_bulk = timed(lambda: pid.__setitem__(0, reg.persist_to_storage(st)))
        c = st.counts(pid[0])
        print(f"bulk dedup write of {len(reg._nodes):,} nodes ({c['nodes']:,} unique, {c['edges']:,} edges): "
              f"tracker side {null_bulk:.2f} s, into SQLite {sql_bulk:.2f} s")

        rows = 1_000_000
        src = pd.DataFrame({"id": np.arange(rows), "income": rng.normal(5e4, 1e4, rows),
                            "sex": np.where(rng.random(rows) > 0.5, "f", "m"), "flag": rng.random(rows) > 0.3})
        out = pd.Series(rng.random(rows))
        object.__setattr__(out, "_prov", rng.integers(0, 2**32, rows, dtype=np.uint32))
        keys = [f"app-{i}" for i in range(rows)]
        null_res = timed(lambda: DAGTracker.persist_results(NullStorage(), 1, keys, {"score": out}, src))
        sql_res = timed(lambda: DAGTracker.persist_results(st, pid[0], keys, {"score": out}, src))
        print(f"persist_results of {rows:,} rows with row hashes: tracker side {null_res:.2f} s, "
              f"into SQLite {sql_res:.2f} s ({st.counts(pid[0])['results']:,} rows stored)")
        st.disconnect()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000)
