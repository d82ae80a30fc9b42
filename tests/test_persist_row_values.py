"""Row values of tracked operations: the native buffering gives exactly the
records and hand-overs that one record_row_value call per position gives."""
import numpy as np
import pytest

from corvanti.utilities.tessel32 import OpCode
from corvanti.utilities.tessel32_dag import DAGTrackedSeries, DAGTracker
from support import persist_standin


class PerPosition(DAGTracker):
    """Overrides record_row_value (and calls the original): one call per position."""

    def record_row_value(self, row_index, fingerprint, operation, value=None, column_name=None):
        return super().record_row_value(row_index, fingerprint, operation, value, column_name)


def records(pst, cls, values, threshold=5000, op="unary"):
    t = cls(api_key="k", tenant_id="acme")
    t._value_flush_threshold = threshold
    pst.calls.clear()
    n = len(values)
    s = DAGTrackedSeries(np.arange(n, dtype=float), _tracker=t, _prov=np.arange(1, n + 1, dtype=np.uint32),
                         _node_ids=np.zeros(n, np.int64))
    if op == "unary":
        s._apply_tracked_unary(values, s.index, "map", OpCode.MAP)
    else:
        s + s
    batches = [[r.kw for r in a[0]] for m, a, _ in pst.of("writer") if m == "write_row_values"]
    return batches, [r.kw for r in t._value_buffer]


VALUES = {
    "float64": np.array([1.5, np.nan, -0.0, 1e300, np.inf]),
    "int64": np.array([0, -5, 2**62], np.int64),
    "bool": np.array([True, False, True]),
    "float32": np.array([0.1, np.nan], np.float32),
    "object": np.array([None, "abc", "3.5", 7, np.nan, b"x", object], dtype=object),
    "uint8": np.array([1, 255], np.uint8),
}


@pytest.mark.parametrize("kind", VALUES)
def test_same_records_as_one_call_per_position(monkeypatch, kind):
    pst = persist_standin.install(monkeypatch)
    native = records(pst, DAGTracker, VALUES[kind])
    python = records(pst, PerPosition, VALUES[kind])
    assert repr(native) == repr(python)  # repr: NaN values compare equal
    assert native[1] and all(r["tenant_id"] == "acme" and r["pipeline_id"] == 1 for r in native[1])


def test_hand_over_boundaries_match(monkeypatch):
    pst = persist_standin.install(monkeypatch)
    values = np.arange(23, dtype=float)
    values[[3, 10]] = np.nan
    native = records(pst, DAGTracker, values, threshold=5)
    assert native == records(pst, PerPosition, values, threshold=5)
    assert [len(b) for b in native[0]] == [5, 5, 5, 5] and len(native[1]) == 1


def test_binary_results(monkeypatch):
    pst = persist_standin.install(monkeypatch)
    n = 10_000
    native = records(pst, DAGTracker, np.zeros(n), op="binary")
    assert native == records(pst, PerPosition, np.zeros(n), op="binary")
    assert [len(b) for b in native[0]] == [5000, 5000]


def test_a_failing_hand_over_keeps_the_buffer_and_retries(monkeypatch):
    pst = persist_standin.install(monkeypatch)
    pst.fail[("writer", "write_row_values")] = RuntimeError("full")
    attempts, buffered = records(pst, DAGTracker, np.arange(8, dtype=float), threshold=3)
    # offered again at every append from the third on, and kept meanwhile
    assert [len(b) for b in attempts] == [3, 4, 5, 6, 7, 8] and len(buffered) == 8


def test_without_the_package_nothing_is_buffered_and_nothing_raises(monkeypatch):
    pst = persist_standin.install(monkeypatch)
    t = DAGTracker(api_key="k")
    monkeypatch.delattr(pst.storage_mod, "StoredRowValue")
    s = DAGTrackedSeries([1.0, 2.0], _tracker=t, _prov=np.array([1, 2], np.uint32), _node_ids=np.zeros(2, np.int64))
    r = s + s
    assert list(r) == [2.0, 4.0] and t._value_buffer == []
