"""wrap_dataframe_dag throughput: ns per cell for 10^4, 10^5 and 10^6 rows x 5
columns on a memory-only tracker (median of a few runs)."""
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import statistics  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

from corvanti.utilities.tessel32_dag import DAGTracker, wrap_dataframe_dag  # noqa: E402


def frame(rows: int) -> pd.DataFrame:
    rng = np.random.default_rng(0)
    return pd.DataFrame(
        {
            "income": rng.normal(50_000, 10_000, rows),
            "debt": rng.normal(10_000, 3_000, rows),
            "age": rng.integers(18, 90, rows),
            "score": rng.random(rows),
            "gender": rng.choice(["f", "m"], rows),
        }
    )


class RecordingTracker(DAGTracker):
    """Receives every source value (a Python call per cell)."""

    def record_row_value(self, row_index, fingerprint, operation, value=None, column_name=None):
        pass


class PythonTracker(RecordingTracker):
    """Overrides the per-cell encoding too: every cell goes through Python."""

    def encode(self, ids, entity=0, chain=0, taint=False, depth=0):
        return super().encode(ids, entity=entity, chain=chain, taint=taint, depth=depth)

    def entity_from_row(self, label):
        return super().entity_from_row(label)


def bench(rows: int, repeat: int, tracker_cls=DAGTracker) -> float:
    df = frame(rows)
    times = []
    for _ in range(repeat):
        t = tracker_cls()
        start = time.perf_counter()
        wrap_dataframe_dag(df, t, "applicants", protected=["gender"])
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1e9 / (rows * df.shape[1])


def main() -> None:
    sizes = [int(a) for a in sys.argv[1:]] or [10_000, 100_000, 1_000_000]
    for rows in sizes:
        repeat = 7 if rows <= 100_000 else 3
        print(f"wrap_dataframe_dag {rows:>9} x 5: {bench(rows, repeat):8.1f} ns/cell (median of {repeat})")
    rows = 10_000
    for cls in (RecordingTracker, PythonTracker):
        print(f"wrap_dataframe_dag {rows:>9} x 5, {cls.__name__}: {bench(rows, 3, cls):8.1f} ns/cell (median of 3)")


if __name__ == "__main__":
    main()
