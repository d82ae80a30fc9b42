"""DAGTrackedSeries: construction, tracked operators and transforms, the
untracked paths, and the Python-method road taken when a tracker overrides
its provenance, logging or recording methods."""
import sys

import numpy as np
import pandas as pd
import pytest

from corvanti.utilities.tessel32_dag import DAGTrackedSeries, DAGTracker, NodeType, OpCode
from support.dag_frames import fake_persistence

U32 = np.uint32
I64 = np.int64


def tracked(values, t, prov=None, nodes=None, **kw):
    return DAGTrackedSeries(values, _prov=prov, _tracker=t, _node_ids=nodes, **kw)


@pytest.fixture
def t():
    return DAGTracker()


@pytest.fixture
def pair(t):
    a = tracked([1.0, 2.0, 3.0, 4.0], t, np.array([11, 12, 13, 14], U32), np.array([100, 101, 102, 103], I64))
    b = tracked([10.0, 20.0, 30.0, 40.0], t, np.array([21, 22, 23, 24], U32), np.array([200, 201, 202, 203], I64),
                index=["w", "x", "y", "z"])
    return a, b


def nodes_of(t):
    return [t.get_node(i) for i in sorted(t._nodes)]


# ---------------------------------------------------------------- construction


def test_class_shape():
    assert DAGTrackedSeries.__bases__ == (pd.Series,)
    assert DAGTrackedSeries.__doc__ == "Pandas Series with DAG-tracked provenance."
    assert DAGTrackedSeries._metadata == ["_prov", "_tracker", "_node_ids"]
    assert DAGTrackedSeries._binop_dag.__doc__ == "Binary operation with DAG logging."
    assert DAGTrackedSeries._unop_dag.__doc__ == "Unary operation with DAG logging."
    assert DAGTrackedSeries._apply_tracked_unary.__doc__.startswith(
        "Apply a tracked unary operation, updating provenance for each element.")
    assert "Shared by fillna, replace, and similar element-wise transforms." in \
        DAGTrackedSeries._apply_tracked_unary.__doc__
    s = DAGTrackedSeries([1, 2])
    assert s._constructor is DAGTrackedSeries


def test_init_pops_keywords_and_stores_arrays_unchanged(t):
    prov = [7, 8]  # a plain list stays a list
    nodes = np.array([3, 4], dtype=np.int32)
    s = DAGTrackedSeries([1, 2], index=["a", "b"], name="n", _prov=prov, _tracker=t, _node_ids=nodes)
    assert s._prov is prov and s._node_ids is nodes and s._tracker is t
    assert list(s.index) == ["a", "b"] and s.name == "n"
    d = DAGTrackedSeries([1, 2, 3])
    assert d._tracker is None
    assert d._prov.dtype == U32 and d._node_ids.dtype == I64
    assert d._prov.tolist() == [0, 0, 0] and d._node_ids.tolist() == [0, 0, 0]
    e = DAGTrackedSeries(_prov=None)
    assert len(e) == 0 and e._prov.dtype == U32


# ---------------------------------------------------------------- tracked operators

BINARY = [
    (lambda a, b: a + b, np.add, "add", OpCode.ADD),
    (lambda a, b: a - b, np.subtract, "sub", OpCode.SUB),
    (lambda a, b: a * b, np.multiply, "mul", OpCode.MUL),
    (lambda a, b: a / b, np.true_divide, "div", OpCode.DIV),
    (lambda a, b: a // b, np.floor_divide, "floordiv", OpCode.DIV),
    (lambda a, b: a ** b, np.power, "pow", OpCode.MUL),
    (lambda a, b: a.__radd__(b), lambda x, y: np.add(y, x), "add", OpCode.ADD),
    (lambda a, b: a.__rsub__(b), lambda x, y: np.subtract(y, x), "sub", OpCode.SUB),
    (lambda a, b: a.__rmul__(b), lambda x, y: np.multiply(y, x), "mul", OpCode.MUL),
    (lambda a, b: a.__rtruediv__(b), lambda x, y: np.true_divide(y, x), "div", OpCode.DIV),
    (lambda a, b: a > b, np.greater, "gt", OpCode.CMP),
    (lambda a, b: a < b, np.less, "lt", OpCode.CMP),
    (lambda a, b: a >= b, np.greater_equal, "ge", OpCode.CMP),
    (lambda a, b: a <= b, np.less_equal, "le", OpCode.CMP),
]


@pytest.mark.parametrize("apply, ref, name, code", BINARY, ids=[f"{b[2]}{i}" for i, b in enumerate(BINARY)])
def test_binary_operator_tracks_each_position(t, pair, apply, ref, name, code):
    a, b = pair
    r = apply(a, b)
    assert type(r) is DAGTrackedSeries and r._tracker is t
    np.testing.assert_array_equal(r.values, ref(a.values, b.values))  # by position, labels ignored
    assert list(r.index) == [0, 1, 2, 3]
    assert r._prov.dtype == U32 and r._node_ids.dtype == I64
    expected = [t.combine(int(x), int(y), int(code)) for x, y in zip(a._prov, b._prov)]
    assert r._prov.tolist() == expected
    made = nodes_of(t)
    assert [n.node_id for n in made] == r._node_ids.tolist()
    for i, n in enumerate(made):
        assert n.node_type is NodeType.BINARY and n.operation == name
        assert n.inputs == [100 + i, 200 + i] and n.provenance == expected[i]
    for arr in (r._prov, r._node_ids):
        for src in (a._prov, a._node_ids, b._prov, b._node_ids):
            assert not np.shares_memory(arr, src)


def test_comparisons_give_booleans(t, pair):
    a, b = pair
    r = b > a
    assert r.dtype == bool and r.tolist() == [True] * 4


def test_negation_and_missing_node_ids(t):
    s = tracked([1.0, -2.0, 3.0], t, np.array([5, 6, 7], U32), np.array([4, -1, 9], I64))
    r = -s
    assert r.tolist() == [-1.0, 2.0, -3.0]
    assert r._prov.tolist() == [t.update_chain(p, int(OpCode.NEG)) for p in (5, 6, 7)]
    made = nodes_of(t)
    assert [(n.operation, n.inputs, n.node_type) for n in made] == [
        ("neg", [4], NodeType.UNARY), ("neg", [9], NodeType.UNARY)]
    assert r._node_ids.tolist() == [made[0].node_id, 0, made[1].node_id]


def test_short_arrays_read_as_no_provenance_and_no_node(t):
    a = tracked([1, 2, 3, 4], t, np.array([3], U32), np.array([1, 2, 3, 4], I64))
    b = tracked([1, 2, 3, 4], t, np.array([4, 5, 6, 7], U32), np.array([5, 6], I64))
    r = a + b
    assert r._prov.tolist() == [t.combine(3, 4, 1), t.combine(0, 5, 1), t.combine(0, 6, 1), t.combine(0, 7, 1)]
    made = nodes_of(t)
    assert [n.inputs for n in made] == [[1, 5], [2, 6]]
    assert r._node_ids.tolist() == [made[0].node_id, made[1].node_id, 0, 0]


def test_default_node_ids_refer_to_node_zero(t):
    r = DAGTrackedSeries([1, 2], _tracker=t) * DAGTrackedSeries([3, 4])
    assert [n.inputs for n in nodes_of(t)] == [[0, 0], [0, 0]]
    assert r._prov.tolist() == [0, 0]  # no provenance stays none


def test_only_the_left_tracker_is_used(t, pair):
    other = DAGTracker()
    a, b = pair
    b._tracker = other
    a + b
    assert len(t._nodes) == 4 and len(other._nodes) == 0


def test_filtered_series_reads_full_length_source_arrays(t):
    s = tracked([1.0, 5.0, 2.0, 6.0], t, np.array([1, 2, 3, 4], U32), np.array([10, 11, 12, 13], I64))
    f = s[s > 3]
    # the filter itself is a tracked comparison (4 nodes); the mask keeps positions 1 and 3
    assert f._prov is s._prov and len(f) == 2
    before = len(t._nodes)
    r = f + f
    # position i of the filtered series reads entry i of the source's arrays
    assert r._prov.tolist() == [t.combine(1, 1, 1), t.combine(2, 2, 1)]
    assert [n.inputs for n in nodes_of(t)[before:]] == [[10, 10], [11, 11]]


def test_strided_and_list_arrays_match_contiguous(t):
    base = np.arange(20, dtype=U32)
    ids = np.arange(100, 120, dtype=I64)
    a = tracked([1.0] * 10, t, base[::2], ids[::2])
    b = tracked([2.0] * 10, t, base[1::2].tolist(), ids[1::2].astype(np.int32))
    r = a + b
    assert r._prov.tolist() == [t.combine(int(x), int(y), 1) for x, y in zip(base[::2], base[1::2])]
    assert [n.inputs for n in nodes_of(t)] == [[int(x), int(y)] for x, y in zip(ids[::2], ids[1::2])]


def test_unrepresentable_provenance_raises_after_earlier_positions(t):
    a = tracked([1, 2, 3], t, np.array([1, 2, -1], I64), np.array([0, 1, 2], I64))
    b = tracked([1, 2, 3], t, np.array([1, 2, 3], U32), np.array([0, 1, 2], I64))
    with pytest.raises(OverflowError):
        a + b
    assert len(t._nodes) == 2  # nothing is rolled back


def test_unreadable_list_entry_raises_at_its_position(t):
    a = tracked([1, 2, 3], t, [1, "x", 3], [0, 1, 2])
    with pytest.raises(ValueError):
        a + a
    assert [n.inputs for n in nodes_of(t)] == [[0, 0]]
    r = tracked([1, 2], t, [1, "2"], (5, 6)) + tracked([1, 2], t)  # int("2") is fine
    assert r._prov.tolist() == [t.combine(1, 0, 1), t.combine(2, 0, 1)]
    assert [n.inputs for n in nodes_of(t)][1:] == [[5, 0], [6, 0]]


def test_empty_operands_never_call_the_tracker():
    class Loud(DAGTracker):
        def combine(self, *a):
            raise AssertionError("called")

        def update_chain(self, *a):
            raise AssertionError("called")

    t = Loud()
    e = DAGTrackedSeries([], dtype=float, _tracker=t)
    for r in (e + e, -e, e.fillna(), e.clip(0, 1), e.replace(1, 2)):
        assert len(r) == 0 and r._prov.dtype == U32 and r._node_ids.dtype == I64
    assert len(t._nodes) == 0


# ---------------------------------------------------------------- untracked paths


@pytest.mark.parametrize("other", [5, [1, 2, 3], np.array([1, 2, 3]), pd.Series([1, 2, 3], index=[7, 8, 9]), "tracked"])
def test_untracked_operands_inherit_copies(t, other):
    s = tracked([1, 2, 3], t, np.array([4, 5, 6], U32), np.array([7, 8, 9], I64))
    if isinstance(other, str):
        s._tracker = None
        other = tracked([1, 2, 3], t, np.array([1, 1, 1], U32))
    for r in (s + other, s.__rsub__(other)):
        assert r._prov.tolist() == [4, 5, 6] and r._node_ids.tolist() == [7, 8, 9]
        assert not np.shares_memory(r._prov, s._prov) and not np.shares_memory(r._node_ids, s._node_ids)
        assert r._tracker is s._tracker
    ov = getattr(other, "values", other)
    assert (s + other).tolist() == np.add(s.values, ov).tolist()
    assert (s.__rsub__(other)).tolist() == np.subtract(ov, s.values).tolist()
    assert len(t._nodes) == 0


def test_reflected_scalar_goes_first(t):
    s = tracked([1, 2], t)
    assert (5 - s).tolist() == [4, 3] and (8 / s).tolist() == [8.0, 4.0]
    assert len(t._nodes) == 0


@pytest.mark.parametrize("op", ["neg", "clip", "fillna", "replace"])
def test_transforms_without_tracker_copy_arrays(op):
    s = DAGTrackedSeries([1.0, np.nan], _prov=np.array([3, 4], U32), _node_ids=np.array([1, 2], I64))
    r = {"neg": lambda: -s, "clip": lambda: s.clip(0, 1), "fillna": lambda: s.fillna(),
         "replace": lambda: s.replace(1.0, 9.0)}[op]()
    assert r._prov.tolist() == [3, 4] and r._node_ids.tolist() == [1, 2]
    assert r._prov is not s._prov and r._node_ids is not s._node_ids


# ---------------------------------------------------------------- transforms


def test_fillna_defaults_to_zero_and_logs_every_element(t):
    s = tracked([1.0, np.nan, 3.0], t, np.array([1, 2, 3], U32), np.array([5, 6, 7], I64), index=[9, 8, 7])
    r = s.fillna()
    assert r.tolist() == [1.0, 0.0, 3.0] and list(r.index) == [9, 8, 7]
    assert r._prov.tolist() == [t.update_chain(p, int(OpCode.FILL)) for p in (1, 2, 3)]
    assert [(n.operation, n.inputs) for n in nodes_of(t)] == [("fillna", [5]), ("fillna", [6]), ("fillna", [7])]
    assert s.fillna(value=2.5).tolist() == [1.0, 2.5, 3.0]
    with pytest.raises(TypeError):
        s.fillna(1, 2)


def test_inplace_transforms_keep_provenance(t):
    s = tracked([1.0, np.nan], t, np.array([1, 2], U32), np.array([5, 6], I64))
    prov = s._prov
    # pandas' own answer for in-place work: None (2.x) or the object itself (3.x)
    for r in (s.fillna(4.0, inplace=True), s.replace(4.0, 5.0, inplace=True)):
        assert r is None or r is s
    assert s.tolist() == [1.0, 5.0] and s._prov is prov and len(t._nodes) == 0


def test_replace_uses_result_index(t):
    s = tracked([1, 2, 1], t, np.array([1, 2, 3], U32), np.array([0, 1, 2], I64))
    r = s.replace({1: 10})
    assert r.tolist() == [10, 2, 10]
    assert [n.operation for n in nodes_of(t)] == ["replace"] * 3
    assert r._prov.tolist() == [t.update_chain(p, int(OpCode.MAP)) for p in (1, 2, 3)]


def test_clip_bounds_and_numpy_errors(t):
    s = tracked([-1.0, 0.5, 2.0], t, np.array([1, 2, 3], U32), np.array([0, 1, 2], I64))
    assert s.clip(lower=0).tolist() == [0.0, 0.5, 2.0]
    assert s.clip(0, 1).tolist() == [0.0, 0.5, 1.0]
    assert s.clip(upper=np.array([0, 0, 5])).tolist() == [-1.0, 0.0, 2.0]
    assert [n.operation for n in nodes_of(t)] == ["clip"] * 9
    with pytest.raises(TypeError):
        s.clip(0, 1, axis=0)
    try:
        expected = np.clip(s.values, None, None)
    except Exception as e:  # numpy's own verdict is passed on
        with pytest.raises(type(e)):
            s.clip()
    else:
        np.testing.assert_array_equal(s.clip().values, expected)


# ---------------------------------------------------------------- argument checks


@pytest.mark.parametrize("call, message", [
    (lambda s: s._binop_dag(s, np.add, b"add", 1), "Argument 'op_name' has incorrect type (expected str, got bytes)"),
    (lambda s: s._binop_dag(s, np.add, "add", "1"), "Argument 'op_code' has incorrect type (expected int, got str)"),
    (lambda s: s._unop_dag(np.negative, "neg", None), "Argument 'op_code' has incorrect type (expected int, got NoneType)"),
    (lambda s: s._apply_tracked_unary(s.values, s.index, 3, OpCode.FILL),
     "Argument 'op_name' has incorrect type (expected str, got int)"),
])
def test_argument_type_errors(t, call, message):
    s = tracked([1, 2], t)
    with pytest.raises(TypeError) as e:
        call(s)
    assert str(e.value) == message
    assert len(t._nodes) == 0


def test_op_code_numbers_are_converted(t):
    s = tracked([1, 2], t, np.array([3, 4], U32))
    r = s._binop_dag(s, np.add, "plus", 1.9)  # int(1.9) == 1 == ADD
    assert r._prov.tolist() == [t.combine(3, 3, 1), t.combine(4, 4, 1)]
    r = s._unop_dag(np.negative, "neg", OpCode.NEG)
    assert r._prov.tolist() == [t.update_chain(3, 5), t.update_chain(4, 5)]


# ---------------------------------------------------------------- failures


@pytest.mark.parametrize("make", [
    lambda: pd.Series(["a", "b"], dtype=object),
    lambda: pd.Series(pd.to_datetime(["2020-01-01", "2020-01-02"])),
    lambda: pd.Series(["x", "y"], dtype="category"),
    lambda: pd.Series([1, None], dtype="Int64"),
    lambda: pd.Series(["a", "b"]),
])
def test_odd_dtypes_compute_or_raise_numpy_errors(t, make):
    base = make()
    s = tracked(base, t, np.array([1, 2], U32), np.array([0, 1], I64))
    for op in (lambda: s + s, lambda: s * s, lambda: -s, lambda: s > s, lambda: s.fillna(), lambda: s.clip(0, 1)):
        try:
            r = op()
        except (TypeError, ValueError, NotImplementedError) as e:  # numpy's / pandas' own errors
            assert "DAG" not in str(e)
        else:
            assert len(r) == 2 and len(r._prov) == 2


def test_length_mismatch_raises_before_logging(t):
    a = tracked([1.0], t, np.array([1], U32))
    b = tracked([1.0, 2.0, 3.0], t, np.array([1, 2, 3], U32))
    with pytest.raises(ValueError):
        a + b
    assert len(t._nodes) == 0


# ---------------------------------------------------------------- row values


class FakeWriter:
    def __init__(self):
        self.batches = []

    def write_row_values(self, rows):
        self.batches.append(rows)


class HandOver(DAGTracker):
    """Collects the node hand-over instead of a background writer."""

    def _persist_node(self, node):
        self.handed = getattr(self, "handed", []) + [node.node_id]


@pytest.fixture
def storage(monkeypatch):
    fake_persistence(monkeypatch)
    return sys.modules["corvanti.utilities.persistence.storage"]


def test_row_values_skip_nan_and_none_but_keep_nodes(storage):
    t = HandOver()
    t._writer = w = FakeWriter()
    t._value_flush_threshold = 3
    a = tracked([1.0, np.nan, 3.0, 4.0], t, np.array([1, 2, 3, 4], U32), np.array([0, 1, 2, 3], I64))
    r = a + a
    assert len(t._nodes) == 4 and t.handed == r._node_ids.tolist()
    rows = [x for b in w.batches for x in b] + list(t._value_buffer)
    assert [(x.row_index, x.fingerprint, x.node_operation, x.value) for x in rows] == [
        (0, int(r._prov[0]), "add", 2.0), (2, int(r._prov[2]), "add", 6.0), (3, int(r._prov[3]), "add", 8.0)]
    assert len(w.batches) == 1 and len(w.batches[0]) == 3 and len(t._value_buffer) == 0

    obj = DAGTrackedSeries([1, 2, 3, 4], _tracker=t)
    obj._apply_tracked_unary(np.array([None, np.nan, "abc", True], dtype=object), obj.index, "map", OpCode.MAP)
    texts = [(x.row_index, x.value, x.text_value) for x in t._value_buffer]
    assert texts == [(2, None, "abc"), (3, 1.0, None)]


def test_comparison_row_values_are_booleans(storage):
    t = HandOver()
    t._writer = FakeWriter()
    seen = []
    t.record_row_value = lambda i, fp, op, val: seen.append((i, op, type(val)))
    a = tracked([1, 5], t, np.array([1, 2], U32))
    a > tracked([3, 3], t)
    assert seen == [(0, "gt", np.bool_), (1, "gt", np.bool_)]


def test_without_writer_nothing_is_buffered(t):
    a = tracked([1.0, 2.0], t, np.array([1, 2], U32))
    a + a
    -a
    assert t._value_buffer == []


class CountingValues:
    """A result sequence that counts how often its elements are read."""

    def __init__(self, items):
        self.items, self.reads = list(items), 0

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        self.reads += 1
        return self.items[i]


def test_values_are_read_only_when_they_can_be_kept(t, storage):
    s = tracked([1, 2, 3], t, np.array([1, 2, 3], U32), np.array([0, 1, 2], I64))
    vals = CountingValues([7, 8, 9])
    s._apply_tracked_unary(vals, s.index, "map", OpCode.MAP)
    assert vals.reads == 0 and len(t._nodes) == 3  # no writer: nowhere to keep them
    t._writer = FakeWriter()
    t._persist_node = lambda node: None
    s._apply_tracked_unary(vals, s.index, "map", OpCode.MAP)
    assert vals.reads == 3 and [x.value for x in t._value_buffer] == [7.0, 8.0, 9.0]


def test_threads_sharing_a_tracker_get_distinct_nodes(t):
    import threading

    n = 20_000
    a = tracked(np.ones(n), t, np.arange(n, dtype=U32), np.arange(n, dtype=I64))
    b = tracked(np.ones(n), t, np.arange(n, dtype=U32), np.arange(n, 2 * n, dtype=I64))
    out = []
    threads = [threading.Thread(target=lambda: out.append(a + b)) for _ in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    ids = np.concatenate([r._node_ids for r in out])
    assert len(set(ids.tolist())) == 4 * n == len(t._nodes)
    for r in out:
        got = [t.get_node(int(i)).inputs for i in r._node_ids[::997]]
        assert got == [[int(k), int(k) + n] for k in range(0, n, 997)]


# ---------------------------------------------------------------- overriding trackers


class Counting(DAGTracker):
    """Every per-element method appends (name, position-ish args) to self.calls."""

    def __init__(self, override):
        super().__init__()
        self.calls = []
        self.override = override

    def combine(self, pa, pb, op):
        self.calls.append(("combine", pa, pb, op))
        return DAGTracker.combine(self, pa, pb, op)

    def update_chain(self, p, op):
        self.calls.append(("update_chain", p, op))
        return DAGTracker.update_chain(self, p, op)

    def log_binary(self, op_name, left, right, prov, metadata=None):
        self.calls.append(("log_binary", left, right))
        return DAGTracker.log_binary(self, op_name, left, right, prov, metadata)

    def log_unary(self, op_name, node, prov, metadata=None):
        self.calls.append(("log_unary", node, type(prov)))
        return DAGTracker.log_unary(self, op_name, node, prov, metadata)

    def record_row_value(self, row_index, fingerprint, operation, value=None, column_name=None):
        self.calls.append(("record", row_index, fingerprint))

    def _create_node(self, node_type, operation, inputs, provenance, **kw):
        self.calls.append(("create", list(inputs)))
        return DAGTracker._create_node(self, node_type, operation, inputs, provenance, **kw)


def only(*names):
    """A Counting subclass that overrides just the named methods."""
    return type("Only", (DAGTracker,), {n: getattr(Counting, n) for n in names} | {"calls": None})


@pytest.mark.parametrize("name", ["combine", "log_binary", "record_row_value", "_create_node"])
def test_any_override_switches_binary_ops_to_python_calls(name):
    cls = only(name)
    t = cls()
    t.calls = []
    a = tracked([1.0, 2.0, 3.0], t, np.array([1, 2, 3], U32), np.array([5, -1, 7], I64))
    r = a + a
    ref_t = DAGTracker()
    ref = tracked([1.0, 2.0, 3.0], ref_t, np.array([1, 2, 3], U32), np.array([5, -1, 7], I64))
    ref = ref + ref
    assert r._prov.tolist() == ref._prov.tolist()
    assert [n.inputs for n in nodes_of(t)] == [[5, 5], [7, 7]]
    kinds = [c[0] for c in t.calls]
    expected = {"combine": ["combine"] * 3, "log_binary": ["log_binary"] * 2,
                "record_row_value": ["record"] * 3, "_create_node": ["create"] * 2}[name]
    assert kinds == expected


def test_python_road_keeps_per_position_order():
    t = Counting(True)
    a = tracked([1.0, np.nan, 3.0], t, np.array([1, 2, 3], U32), np.array([5, -1, 7], I64))
    r = a + a
    p = r._prov.tolist()
    assert t.calls == [
        ("combine", 1, 1, 1), ("log_binary", 5, 5), ("create", [5, 5]), ("record", 0, p[0]),
        ("combine", 2, 2, 1),  # no node (id -1), NaN value not recorded
        ("combine", 3, 3, 1), ("log_binary", 7, 7), ("create", [7, 7]), ("record", 2, p[2]),
    ]
    t.calls.clear()
    r = a.fillna()
    p = r._prov.tolist()
    assert t.calls == [
        ("update_chain", 1, OpCode.FILL), ("log_unary", 5, np.uint32), ("create", [5]), ("record", 0, p[0]),
        ("update_chain", 2, OpCode.FILL), ("record", 1, p[1]),
        ("update_chain", 3, OpCode.FILL), ("log_unary", 7, np.uint32), ("create", [7]), ("record", 2, p[2]),
    ]
    assert type(t.calls[0][2]) is OpCode  # the member itself reaches update_chain
    t.calls.clear()
    -a
    assert t.calls[0] == ("update_chain", 1, 5) and type(t.calls[0][2]) is int


@pytest.mark.parametrize("op", ["add", "neg"])
def test_native_and_python_roads_agree_across_chunks(op):
    n = 70_000  # more than one chunk of the native loop
    rng = np.random.default_rng(3)
    prov = rng.integers(0, 2**32, n, dtype=np.uint64).astype(U32)
    ids = rng.integers(-3, 1000, n).astype(I64)  # about 0.3% without a node
    results = []
    for cls in (DAGTracker, only("combine", "update_chain")):
        t = cls()
        t.calls = []
        a = tracked(np.ones(n), t, prov, ids)
        b = tracked(np.ones(n), t, prov[: n - 5], ids[::-1].copy())  # shorter provenance on the right
        r = a + b if op == "add" else -a
        results.append((r._prov.tolist(), r._node_ids.tolist(), [(x.operation, x.inputs) for x in nodes_of(t)]))
    assert results[0] == results[1]


def test_record_errors_are_discarded_but_interrupts_propagate():
    class Failing(DAGTracker):
        def record_row_value(self, i, fp, op, value=None, column_name=None):
            if i == 0:
                raise RuntimeError("lost")
            if i == 2:
                raise KeyboardInterrupt

    t = Failing()
    a = tracked([1.0, 2.0, 3.0], t, np.array([1, 2, 3], U32))
    with pytest.raises(KeyboardInterrupt):
        a + a
    assert len(t._nodes) == 3


def test_provenance_errors_propagate_and_earlier_nodes_stay():
    class Bad(DAGTracker):
        def combine(self, pa, pb, op):
            if pa == 3:
                raise ValueError("bad")
            return super().combine(pa, pb, op)

    t = Bad()
    a = tracked([1, 2, 3, 4], t, np.array([1, 2, 3, 4], U32))
    with pytest.raises(ValueError, match="bad"):
        a + a
    assert len(t._nodes) == 2


def test_instance_attribute_override_is_honoured(t):
    seen = []
    t.combine = lambda pa, pb, op: seen.append(pa) or 42
    a = tracked([1, 2], t, np.array([1, 2], U32))
    assert (a + a)._prov.tolist() == [42, 42] and seen == [1, 2]


def test_overridden_binop_dag_receives_operator_arguments(t):
    class Sub(DAGTrackedSeries):
        def _binop_dag(self, other, np_op, op_name, op_code):
            Sub.seen = (np_op(np.array([1]), np.array([2])).tolist(), op_name, op_code)
            return super()._binop_dag(other, np_op, op_name, op_code)

        def _unop_dag(self, np_op, op_name, op_code):
            Sub.seen = (np_op(np.array([1])).tolist(), op_name, op_code)
            return super()._unop_dag(np_op, op_name, op_code)

    s = Sub([1, 2], _tracker=t)
    s.__rsub__(s)
    assert Sub.seen == ([1], "sub", OpCode.SUB) and type(Sub.seen[2]) is OpCode
    s.__pow__(s)
    assert Sub.seen == ([1], "pow", OpCode.MUL)
    s.clip(upper=0)
    assert Sub.seen == ([0], "clip", OpCode.CLIP)
    -s
    assert Sub.seen == ([-1], "neg", OpCode.NEG)


# ---------------------------------------------------------------- pandas keeps working


def test_pandas_operations_keep_type_and_metadata(t):
    s = tracked([3.0, 1.0, 2.0], t, np.array([1, 2, 3], U32), np.array([4, 5, 6], I64), index=list("abc"),
                name="n")
    assert "Name: n, dtype: float64" in repr(s)
    assert s.loc["b"] == 1.0 and s.iloc[2] == 2.0
    for derived in (s.iloc[1:], s.loc[["a", "c"]], s[s.values > 1.5], s.copy(), s.sort_values()):
        assert type(derived) is DAGTrackedSeries
        assert derived._tracker is t and derived._prov.tolist() == [1, 2, 3]
        assert derived.name == "n"  # the name travels as for a plain Series
    assert s.describe()["count"] == 3
    g = s.groupby([1, 1, 2]).sum()
    assert g.tolist() == [4.0, 2.0]
    assert s.to_numpy().tolist() == [3.0, 1.0, 2.0]
    assert (s == 1.0).tolist() == [False, True, False]  # not overridden: pandas' own
    assert len(t._nodes) == 0
