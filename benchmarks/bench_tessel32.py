"""Rough per-call costs of the TESSEL-32 operations (run by hand, not a test).

    PYTHONPATH=. .venv/bin/python benchmarks/bench_tessel32.py
"""

import timeit

import corvanti.utilities.tessel32 as t32

t = t32.ProvenanceTracker()
a = t.encode({t.register("app", "gender", True)}, entity=5, taint=True)
b = t.encode({t.get_id("app", "income")}, entity=5)
wide = t.encode(range(1, 15))
add = t32.OpCode.ADD

cases = {
    "combine (single + single)": lambda: t.combine(a, b, 1),
    "combine (OpCode member)": lambda: t.combine(a, b, add),
    "combine (set + single)": lambda: t.combine(wide, b, 1),
    "update_chain": lambda: t.update_chain(a, 1),
    "ProvenanceTracker.is_tainted": lambda: t32.ProvenanceTracker.is_tainted(a),
    "risk_score": lambda: t.risk_score(a),
    "decode_full": lambda: t.decode_full(wide),
    "entity_from_row": lambda: t.entity_from_row(("row", 17)),
}
n = 200_000
for name, fn in cases.items():
    secs = min(timeit.repeat(fn, number=n, repeat=3))
    print(f"{name:32s} {secs / n * 1e9:8.1f} ns/call")
