"""wrap_dataframe_dag, combine_provenances, get_dag_for_series and dag_audit."""
import datetime

import numpy as np
import pandas as pd
import pytest

from corvanti.utilities import tessel32_dag as M
from corvanti.utilities.tessel32 import MODE_01_ENTITY_BITS, OpCode
from support.dag_frames import FakeWriter, StoredRowValue, WriterTracker, fake_persistence, series_class


@pytest.fixture
def S(monkeypatch):
    return series_class(monkeypatch)


def _df():
    return pd.DataFrame({"income": [50.0, 60.0, 70.0], "age": [30, 40, 50], "gender": ["f", "m", "f"]},
                        index=["r1", "r2", "r3"])


def _expected_prov(t, table, col, label, taint, include_entity=True):
    pid = t.get_id(table, str(col))
    e = t.entity_from_row(label) % (1 << MODE_01_ENTITY_BITS) if include_entity else 0
    return t.encode({pid}, entity=e, chain=0, taint=taint, depth=0)


def test_wrap_registers_columns_encodes_cells_and_creates_one_source_node_per_column(S):
    t = M.DAGTracker()
    df = _df()
    w = M.wrap_dataframe_dag(df, t, "apps", protected=["gender"])
    assert type(w) is M.DAGTrackedDataFrame and w._tracker is t and w.equals(df)
    assert list(w._col_prov) == list(df.columns) == list(w._col_nodes)
    for col in df.columns:
        prov, nodes = w._col_prov[col], w._col_nodes[col]
        assert prov.dtype == np.uint32 and nodes.dtype == np.int64
        taint = col == "gender"
        assert [int(p) for p in prov] == [_expected_prov(t, "apps", col, lab, taint) for lab in df.index]
        node = t.get_node(int(nodes[0]))
        assert list(nodes) == [node.node_id] * 3
        assert (node.node_type, node.table, node.column, node.operation) == (M.NodeType.SOURCE, "apps", col,
                                                                           f"apps.{col}")
        assert node.pair_id == t.get_id("apps", col) and node.provenance == int(prov[0])
        assert node.is_protected is taint
    assert len(t._nodes) == 3


@pytest.mark.parametrize(
    "protected, marked",
    [
        (True, {"income", "age", "gender", "1"}),
        (False, set()),
        (["gender"], {"gender"}),
        (("gender", 1), {"gender", "1"}),
        ({"age"}, {"age"}),
        (frozenset({"age"}), {"age"}),
        ("gender", {"income", "age", "gender", "1"}),  # a plain string is one flag for every column
        ("", set()),
    ],
)
def test_protected_forms(S, protected, marked):
    t = M.DAGTracker()
    df = _df()
    df[1] = [1, 2, 3]  # a non-string label matches its text form
    w = M.wrap_dataframe_dag(df, t, "apps", protected=protected)
    for col in df.columns:
        assert t.is_protected("apps", str(col)) is (str(col) in marked)
        assert t.is_tainted(int(w._col_prov[col][0])) is (str(col) in marked)


def test_taint_comes_from_the_registry_after_registration(S):
    t = M.DAGTracker()
    t.register("apps", "age", True)  # protection is never lowered
    w = M.wrap_dataframe_dag(_df(), t, "apps", protected=False)
    assert t.is_tainted(int(w._col_prov["age"][1]))
    assert not t.is_tainted(int(w._col_prov["income"][1]))


def test_empty_table_and_include_entity_false(S):
    t = M.DAGTracker()
    w = M.wrap_dataframe_dag(_df().iloc[:0], t, "apps")
    assert len(t._nodes) == 0 and t.get_id("apps", "gender") == 3
    assert all(len(a) == 0 and a.dtype == np.uint32 for a in w._col_prov.values())
    assert all(len(a) == 0 and a.dtype == np.int64 for a in w._col_nodes.values())
    w = M.wrap_dataframe_dag(_df(), t, "apps", include_entity=0)
    for col in w.columns:
        assert len(set(w._col_prov[col].tolist())) == 1
        assert t.decode_full(int(w._col_prov[col][0])).entity == 0


def test_second_wrap_reuses_source_nodes(S):
    t = M.DAGTracker()
    a = M.wrap_dataframe_dag(_df(), t, "apps")
    b = M.wrap_dataframe_dag(_df().iloc[::-1], t, "apps")
    assert len(t._nodes) == 3
    for col in a.columns:
        assert a._col_nodes[col][0] == b._col_nodes[col][0]
        assert list(b._col_prov[col]) == list(a._col_prov[col][::-1])


@pytest.mark.parametrize(
    "index",
    [
        pd.RangeIndex(5),
        pd.RangeIndex(-7, 50, 13),
        pd.Index([2**40, -1, 0, 7, -(2**63)], dtype="int64"),
        pd.Index([1, 2, 3, 4, 5], dtype="int32"),
        pd.Index([2**64 - 1, 1, 2, 3, 4], dtype="uint64"),
        pd.Index([0.5, 1.0, -2.0, np.nan, np.inf]),
        pd.Index(["a", "b", "é", "", "x"]),
        pd.Index(["a", 1, 2.5, None, (1, "z")], dtype=object),
        pd.MultiIndex.from_tuples([(1, "a"), (1, "b"), (2, "a"), (3, "c"), (4, "d")]),
        pd.date_range("2024-01-01", periods=5, freq="D"),
        pd.date_range("2024-01-01", periods=5, freq="h", tz="Europe/Berlin"),
        pd.Index([datetime.date(2024, 1, i) for i in range(1, 6)]),
        pd.Index([1, 2, None, 4, 5], dtype="Int64"),
        pd.CategoricalIndex(["x", "y", "x", "z", "y"]),
        pd.Index([True, False, True, True, False], dtype=object),
    ],
    ids=lambda i: type(i).__name__ + str(i.dtype),
)
def test_native_entities_match_entity_from_row(S, index):
    t = M.DAGTracker()
    df = pd.DataFrame({"v": range(5)}, index=index)
    w = M.wrap_dataframe_dag(df, t, "t")
    got = [t.decode_full(int(p)).entity for p in w._col_prov["v"]]
    assert got == [t.entity_from_row(df.index[i]) for i in range(5)]


def test_numpy_float_labels_hash_like_equal_floats():
    t = M.DAGTracker()
    for v in (0.5, -2.25, float("nan"), float("inf")):
        assert t.entity_from_row(np.float64(v)) == t.entity_from_row(v)


class Counting(M.DAGTracker):
    """Overrides every method the wrap calls; results equal the base ones."""

    def __init__(self):
        super().__init__()
        self.calls = {}
        self.rows = []

    def _count(self, name):
        self.calls[name] = self.calls.get(name, 0) + 1

    def register(self, table, column, protected=False):
        self._count("register")
        return super().register(table, column, protected)

    def is_protected(self, table, column):
        self._count("is_protected")
        return super().is_protected(table, column)

    def encode(self, ids, entity=0, chain=0, taint=False, depth=0):
        self._count("encode")
        assert type(ids) is set and len(ids) == 1 and chain == 0 and depth == 0
        return super().encode(ids, entity=entity, chain=chain, taint=taint, depth=depth)

    def entity_from_row(self, label):
        self._count("entity_from_row")
        return super().entity_from_row(label) + 256  # reduced modulo 2**MODE_01_ENTITY_BITS by the caller

    def create_source_node(self, table, column, provenance):
        self._count("create_source_node")
        return super().create_source_node(table, column, provenance)

    def record_row_value(self, row_index, fingerprint, operation, value=None, column_name=None):
        self._count("record_row_value")
        self.rows.append((row_index, fingerprint, operation, value, column_name))


def test_overriding_tracker_is_called_per_cell_with_the_same_results(S):
    df = _df()
    df.loc["r2", "income"] = np.nan
    c, b = Counting(), M.DAGTracker()
    wc = M.wrap_dataframe_dag(df, c, "apps", protected={"gender"})
    wb = M.wrap_dataframe_dag(df, b, "apps", protected={"gender"})
    for col in df.columns:
        assert list(wc._col_prov[col]) == list(wb._col_prov[col])
    # is_protected: once per column here and once more inside create_source_node
    assert c.calls == {"register": 3, "is_protected": 6, "encode": 9, "entity_from_row": 9,
                       "create_source_node": 3, "record_row_value": 8}  # the NaN cell is not recorded
    assert c.rows[0] == (0, int(wc._col_prov["income"][0]), "apps.income", 50.0, "income")
    assert [r[0] for r in c.rows if r[4] == "income"] == [0, 2]
    c2 = Counting()
    M.wrap_dataframe_dag(df, c2, "apps", include_entity=False)
    assert "entity_from_row" not in c2.calls and c2.calls["encode"] == 9


def test_only_record_row_value_overridden_keeps_native_encoding(S):
    class Rec(M.DAGTracker):
        def __init__(self):
            super().__init__()
            self.rows = []

        def record_row_value(self, *a, **k):
            self.rows.append((a, k))
            raise ValueError("ignored")  # recording failures are discarded per cell

    t = Rec()
    w = M.wrap_dataframe_dag(_df(), t, "apps")
    assert len(t.rows) == 9 and t.rows[-1] == ((2, int(w._col_prov["gender"][2]), "apps.gender", "f"),
                                               {"column_name": "gender"})


class Capture(M.DAGTracker):
    def __init__(self):
        super().__init__()
        self.values = {}

    def record_row_value(self, row_index, fingerprint, operation, value=None, column_name=None):
        self.values[(row_index, column_name)] = value


def _same(a, b):
    if a is pd.NA or b is pd.NA:
        return a is b
    if isinstance(a, (pd.Timestamp, np.datetime64)) or isinstance(b, (pd.Timestamp, np.datetime64)):
        return type(a) is type(b) and a == b
    return bool(a == b) and str(a) == str(b) if not isinstance(a, float) else a == b


FRAMES = {
    "mixed": lambda: pd.DataFrame({"i": [1, 2, 3], "f": [0.5, np.nan, 2.5], "s": ["a", None, "c"],
                                   "b": [True, False, True]}),
    "numeric": lambda: pd.DataFrame({"i": [1, 2, 3], "f": [0.1, 0.2, np.nan], "u": np.array([1, 2, 3], "uint8")}),
    "bool": lambda: pd.DataFrame({"a": [True, False, True], "b": [False, False, True]}),
    "bool_int": lambda: pd.DataFrame({"a": [True, False, True], "b": [1, 2, 3]}),
    "datetime": lambda: pd.DataFrame({"d": pd.date_range("2024-01-01", periods=3),
                                      "e": pd.to_datetime(["2020-05-01", None, "2021-01-01"])}),
    "datetime_mixed": lambda: pd.DataFrame({"d": pd.date_range("2024-01-01", periods=3, tz="UTC"), "v": [1, 2, 3]}),
    "categorical": lambda: pd.DataFrame({"c": pd.Categorical(["x", "y", "x"]), "v": [1.5, 2.5, 3.5]}),
    "categorical_only": lambda: pd.DataFrame({"c": pd.Categorical(["x", "y", "x"])}),
    "nullable": lambda: pd.DataFrame({"n": pd.array([1, None, 3], dtype="Int64"), "f": [0.5, 1.5, 2.5]}),
    "nullable_only": lambda: pd.DataFrame({"n": pd.array([1, None, 3], dtype="Int64"),
                                           "m": pd.array([4, 5, None], dtype="Int64")}),
    "float32": lambda: pd.DataFrame({"a": np.array([0.1, 0.2, 0.3], dtype="float32")}),
}


@pytest.mark.parametrize("name", sorted(FRAMES))
def test_recorded_values_equal_positional_row_lookup(S, name):
    df = FRAMES[name]()
    t = Capture()
    M.wrap_dataframe_dag(df, t, "tbl")
    expected = {}
    for i in range(len(df)):
        row = df.iloc[i]
        for col in df.columns:
            v = row[col]
            if v is None or (isinstance(v, float) and v != v):
                continue
            expected[(i, str(col))] = v
    assert t.values.keys() == expected.keys()
    for k, v in expected.items():
        got = t.values[k]
        assert (got is v) or _same(got, v) or (got == v), (k, got, v)
        if isinstance(v, (pd.Timestamp,)) or v is pd.NA:
            assert type(got) is type(v), (k, got, v)


def test_duplicate_column_labels_record_single_cells(S):
    df = pd.DataFrame([[1, 2], [3, 4]], columns=["a", "a"])
    t = Capture()
    M.wrap_dataframe_dag(df, t, "tbl")
    assert sorted(t.values.items()) == [((0, "a"), 2), ((1, "a"), 4)]  # last column of the label wins the key


def test_source_values_go_to_the_writer_buffer(S, monkeypatch):
    fake_persistence(monkeypatch)
    t = WriterTracker()
    t._writer = FakeWriter()
    t._tenant_id = "tenant-1"
    df = pd.DataFrame({"x": [1.5, np.nan, 3.0], "s": ["a", "b", None]}, index=[7, 8, 9])
    w = M.wrap_dataframe_dag(df, t, "src")
    buf = t._value_buffer
    assert all(type(r) is StoredRowValue for r in buf)
    got = [(r.row_index, r.fingerprint, r.node_operation, r.value, r.column_name, r.text_value) for r in buf]
    px, ps = w._col_prov["x"], w._col_prov["s"]
    assert got == [
        (0, int(px[0]), "src.x", 1.5, "x", None),
        (2, int(px[2]), "src.x", 3.0, "x", None),
        (0, int(ps[0]), "src.s", None, "s", "a"),
        (1, int(ps[1]), "src.s", None, "s", "b"),
    ]
    assert all(r.tenant_id == "tenant-1" and r.pipeline_id == 0 for r in buf)
    assert len(t._writer.nodes) == 2
    t._value_flush_threshold = 3
    M.wrap_dataframe_dag(df, t, "src")
    flushed = [r for batch in t._writer.row_batches for r in batch]
    assert t._writer.row_batches and len(flushed) + len(t._value_buffer) == 8
    assert [r.row_index for r in flushed + t._value_buffer] == [0, 2, 0, 1] * 2


def test_argument_checks(S):
    t = M.DAGTracker()
    with pytest.raises(TypeError, match=r"^Argument 'table' has incorrect type \(expected str, got int\)$"):
        M.wrap_dataframe_dag(_df(), t, 5)
    with pytest.raises(TypeError, match="missing required argument 'table'|required"):
        M.wrap_dataframe_dag(_df(), t)
    s = S([1.0], _tracker=t, _node_ids=np.array([0]))
    for fn in (M.get_dag_for_series, M.dag_audit):
        with pytest.raises(TypeError, match=r"^Argument 'row_index' has incorrect type \(expected int, got str\)$"):
            fn(s, "0")
    assert M.wrap_dataframe_dag.__doc__ == ("Wrap a DataFrame with DAG-tracked provenance.\n\n"
                                            "Creates source nodes for each column in the DAG.\n"
                                            "Records source values per row for value-level lineage.")
    assert M.dag_audit.__doc__ == "Full audit of a series value including DAG reconstruction."
    assert M.combine_provenances.__doc__ == "Combine provenance from multiple node IDs into a single value."
    assert M.get_dag_for_series.__doc__ == "Get the computation DAG for a specific row in a series."


def test_combine_provenances_zero_handling_and_default_op():
    seen = []

    class T(M.DAGTracker):
        def combine(self, a, b, op):
            seen.append(op)
            return super().combine(a, b, op)

    t = T()
    z = t.create_source_node("t", "zero", 0)
    a = t.create_source_node("t", "a", 0x4000)
    b = t.create_source_node("t", "b", 0x8000)
    assert M.combine_provenances(t, []) == 0
    assert M.combine_provenances(t, [z, 999, a]) == 0x4000 and seen == []  # zero and missing skipped
    assert M.combine_provenances(t, [a, b]) == t.combine(0x4000, 0x8000, OpCode.CUSTOM)
    assert seen[0] is OpCode.CUSTOM
    seen.clear()
    assert M.combine_provenances(t, (a, b), OpCode.ADD) == t.combine(0x4000, 0x8000, OpCode.ADD)
    assert seen[0] is OpCode.ADD


def test_get_dag_for_series_cases(S):
    t = M.DAGTracker()
    w = M.wrap_dataframe_dag(_df(), t, "apps")
    s = w["age"]
    nid = int(s._node_ids[0])
    assert M.get_dag_for_series(s).root_id == nid
    assert M.get_dag_for_series(s, 2.9).root_id == nid  # int() conversion
    assert M.get_dag_for_series(s, 3) is None
    assert M.get_dag_for_series(S([1, 2], _tracker=None)) is None
    assert M.get_dag_for_series(pd.Series([1, 2])) is None  # no tracker attribute at all
    neg = S([1, 2], _tracker=t, _node_ids=np.array([2, -1]))
    assert M.get_dag_for_series(neg, 1) is None and M.get_dag_for_series(neg, -1) is None
    assert M.get_dag_for_series(neg, -2).root_id == 2
    s._node_ids = np.array([0, 1, 2])
    assert M.get_dag_for_series(s, -1).root_id == 2  # counts from the end
    with pytest.raises(IndexError):
        M.get_dag_for_series(s, -4)


def test_dag_audit_layout_and_values(S):
    t = M.DAGTracker()
    w = M.wrap_dataframe_dag(_df(), t, "apps", protected=["gender"])
    g, inc = w["gender"], w["income"]
    p = t.combine(int(g._prov[1]), int(inc._prov[1]), OpCode.MUL)
    nid = t.log_binary("mul", int(g._node_ids[1]), int(inc._node_ids[1]), p)
    s = S([1.0, 2.0], _prov=np.array([0, p], dtype=np.uint32), _tracker=t, _node_ids=np.array([-1, nid]))
    a = M.dag_audit(s, 1)
    d = t.decode_full(p)
    assert list(a) == ["provenance", "mode", "pair_count", "pair_ids", "columns", "tables", "entity", "chain",
                       "taint", "depth", "risk", "has_protected", "dag"]
    assert a["provenance"] == f"0x{p:08X}" and len(a["provenance"]) == 10
    assert a["mode"] == t.get_mode(p) and a["pair_count"] == 2 and a["pair_ids"] == sorted(d.pairs)
    assert a["columns"] == t.explain(p) == ["apps.income", "apps.gender"]
    assert a["tables"] == ["apps"]
    assert (a["entity"], a["chain"], a["taint"], a["depth"]) == (d.entity, d.chain, True, 1)
    assert a["risk"] == t.risk_score(p) == 0.5 and a["has_protected"] is True
    assert list(a["dag"]) == ["depth", "node_count", "operation_counts", "sources", "protected_sources"]
    assert a["dag"]["node_count"] == 3 and a["dag"]["depth"] == 1
    assert a["dag"]["operation_counts"] == t.get_dag(nid).operation_counts
    assert sorted(a["dag"]["sources"]) == [("apps", "gender"), ("apps", "income")]
    assert a["dag"]["protected_sources"] == [("apps", "gender")]
    a0 = M.dag_audit(s, 0)  # no node: no "dag" key; provenance 0 prints as 0x00000000
    assert "dag" not in a0 and a0["provenance"] == "0x00000000" and a0["pair_ids"] == []
    assert M.dag_audit(s, -1)["provenance"] == a["provenance"]
    with pytest.raises(IndexError):
        M.dag_audit(s, 2)


def test_dag_audit_error_dict(S):
    err = {"error": "No tracker or empty series"}
    assert M.dag_audit(S([1.0])) == err
    assert M.dag_audit(S([], dtype=float, _tracker=M.DAGTracker())) == err
    assert M.dag_audit(pd.Series([1.0])) == err
