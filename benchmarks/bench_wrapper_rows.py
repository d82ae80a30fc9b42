"""Per-row helpers of corvanti.wrapper on a validation-sized input.

Run: PYTHONPATH=. .venv/bin/python benchmarks/bench_wrapper_rows.py [rows]
Prints the time per call of each helper next to a plain-Python rendering of
the same work (iterrows, per-element calls), for comparison only.
"""

import hashlib
import json
import sys
import time

import numpy as np
import pandas as pd

from corvanti import wrapper


def best(fn, repeat=3):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def main(rows=5000):
    rng = np.random.default_rng(0)
    X = pd.DataFrame(rng.normal(size=(rows, 8)), columns=[f"f{i}" for i in range(8)])
    Xmixed = X.assign(city=["a", "b"] * (rows // 2))
    cols = list(X.columns)
    y = rng.random(rows)
    rows_d = wrapper._trd(X, cols)

    cases = [
        ("_trd numeric frame", lambda: wrapper._trd(X, cols),
         lambda: [{c: (r[c] if c in r.index else None) for c in cols} for _, r in X.iterrows()]),
        ("_trd mixed frame", lambda: wrapper._trd(Xmixed, cols + ["city"]), None),
        ("_gs per value", lambda: [wrapper._gs(v) for v in y], None),
        ("_rh per row", lambda: [wrapper._rh(r) for r in rows_d],
         lambda: [hashlib.sha256(json.dumps(r, sort_keys=True, default=str).encode()).hexdigest() for r in rows_d]),
        ("_fo", lambda: wrapper._fo(y, rows), None),
    ]
    print(f"{rows} rows")
    for name, fn, ref in cases:
        t = best(fn)
        line = f"{name:22s} {t * 1e3:9.2f} ms"
        if ref is not None:
            line += f"   (plain Python: {best(ref) * 1e3:9.2f} ms)"
        print(line)

    # The upload's own work (payload building, hashing), without the network.
    saved = wrapper._post_json, wrapper._patch_json
    wrapper._post_json = lambda url, key, payload: {"pipeline_id": 1}
    wrapper._patch_json = lambda url, key, payload: None
    try:
        t = best(lambda: wrapper._sync_prov(X, y, None, [], "m", "1", "k", "http://127.0.0.1:9"), repeat=2)
    finally:
        wrapper._post_json, wrapper._patch_json = saved
    print(f"{'_sync_prov (no I/O)':22s} {t * 1e3:9.2f} ms")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 5000)
