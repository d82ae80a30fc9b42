"""DAGTrackedDataFrame: column provenance through reads, assignment, pandas'
own operations and merge."""
import numpy as np
import pandas as pd
import pytest

from corvanti.utilities import tessel32_dag as M
from corvanti.utilities.tessel32 import OpCode
from support.dag_frames import series_class


@pytest.fixture
def S(monkeypatch):
    return series_class(monkeypatch)


def _frame(t=None):
    df = pd.DataFrame({"k": [1, 2, 3, 4], "x": [1.0, 2.0, np.nan, 4.0], "g": ["f", "m", "f", "m"]},
                      index=[10, 11, 12, 13])
    prov = {c: np.arange(1, 5, dtype=np.uint32) * (i + 1) * 1000 for i, c in enumerate(df.columns)}
    nodes = {c: np.arange(4, dtype=np.int64) + 10 * i for i, c in enumerate(df.columns)}
    return M.DAGTrackedDataFrame(df, _tracker=t, _col_prov=prov, _col_nodes=nodes), prov, nodes


def test_class_layout(S):
    cls = M.DAGTrackedDataFrame
    assert cls.__bases__ == (pd.DataFrame,)
    assert cls.__doc__ == "Pandas DataFrame with DAG-tracked provenance."
    assert cls._metadata == ["_tracker", "_col_prov", "_col_nodes"] and type(cls._metadata) is list
    f = cls({"a": [1]})
    assert f._constructor is cls and f._constructor_sliced is S
    assert cls._merge_col_provenance.__doc__ == (
        "Propagate column provenance from one side of a merge into *out_prov*/*out_nodes*.")


def test_constructor_keywords_and_defaults(S):
    prov, nodes, t = {"a": np.zeros(2, np.uint32)}, {}, M.DAGTracker()
    f = M.DAGTrackedDataFrame({"a": [1, 2]}, index=["x", "y"], _tracker=t, _col_prov=prov, _col_nodes=nodes)
    assert f._tracker is t and f._col_prov is prov and f._col_nodes is nodes
    assert list(f.index) == ["x", "y"]
    g, h = M.DAGTrackedDataFrame([[1]]), M.DAGTrackedDataFrame([[1]])
    assert g._tracker is None and g._col_prov == {} and g._col_nodes == {}
    assert g._col_prov is not h._col_prov


def test_column_read_gives_copies_of_the_column_arrays(S):
    t = M.DAGTracker()
    f, prov, nodes = _frame(t)
    s = f["x"]
    assert type(s) is S and s.name is None and list(s.index) == [10, 11, 12, 13]
    assert s._tracker is t
    np.testing.assert_array_equal(s._prov, prov["x"])
    np.testing.assert_array_equal(s._node_ids, nodes["x"])
    assert not np.shares_memory(s._prov, prov["x"]) and not np.shares_memory(s._node_ids, nodes["x"])
    s._prov[0] = 7
    assert f._col_prov["x"][0] == 2000
    a = f.g  # attribute access goes through __getitem__
    assert type(a) is S and list(a._prov) == list(prov["g"])


def test_column_without_entry_reads_as_zeros(S):
    f = M.DAGTrackedDataFrame({"a": [1, 2, 3]})
    s = f["a"]
    assert s._prov.dtype == np.uint32 and s._node_ids.dtype == np.int64
    assert list(s._prov) == [0, 0, 0] and list(s._node_ids) == [0, 0, 0]


def test_derived_frames_share_the_source_arrays_and_filtered_reads_repeat_the_first_row(S):
    t = M.DAGTracker()
    f, prov, nodes = _frame(t)
    for sub in (f[f["k"] > 2], f.head(2), f.sort_values("k", ascending=False), f.iloc[[3, 1]]):
        assert type(sub) is M.DAGTrackedDataFrame and sub._tracker is t
        assert sub._col_prov is f._col_prov and sub._col_nodes is f._col_nodes
    sub = f[f["k"] > 2]
    for col in f.columns:
        s = sub[col]
        # the stored arrays no longer match the column's length: the first
        # row's provenance and node stand for every kept row
        assert list(s._prov) == [prov[col][0]] * len(sub)
        assert list(s._node_ids) == [nodes[col][0]] * len(sub)
    # a reordered frame of the same length reads the arrays by position
    rev = f.sort_values("k", ascending=False)
    assert list(rev["k"]._prov) == list(prov["k"])


def test_same_rows_share_dicts_and_unmatched_rows_broadcast_first_entry(S):
    f, prov, nodes = _frame()
    relabelled = (f.reset_index(drop=True), f.rename(index={10: 13, 13: 10}), f.set_axis([13, 12, 11, 10]),
                  f.rename_axis("id"), f.set_index("k", drop=False))
    for same in (f.copy(), f[["k", "x"]], f.fillna(0), f.astype({"k": float})) + relabelled:
        assert same._col_prov is f._col_prov and same._col_nodes is f._col_nodes
    # rows that cannot be matched to source rows by a unique label: the shared
    # arrays are used and a length mismatch repeats the first entry
    dup = M.DAGTrackedDataFrame(f.to_numpy(), index=[1, 1, 2, 3], columns=f.columns, _col_prov=prov,
                                _col_nodes=nodes)
    sub = dup[dup["k"] > 2]
    assert sub._col_prov is dup._col_prov
    s = sub["k"]
    assert list(s._prov) == [prov["k"][0]] * 2 and list(s._node_ids) == [nodes["k"][0]] * 2
    assert s._prov.flags.writeable and s._node_ids.flags.writeable
    dup._col_prov["k"] = np.array([], dtype=np.uint32)
    dup._col_nodes["k"] = np.array([], dtype=np.int64)
    assert list(sub["k"]._prov) == [0, 0] and list(sub["k"]._node_ids) == [0, 0]
    g = f.groupby("g")[["k"]].sum()  # rows labelled by keys, not source rows
    assert g._col_prov is f._col_prov


def test_list_of_labels_and_pandas_operations_keep_working(S):
    f, prov, _ = _frame()
    sub = f[["k", "x"]]
    assert type(sub) is M.DAGTrackedDataFrame and list(sub.columns) == ["k", "x"]
    assert "f" in repr(f) and "<table" in f._repr_html_()
    assert type(f.loc[11]) is S and f.loc[11, "g"] == "m" and f.iloc[2]["k"] == 3
    assert type(f.iloc[1:3]) is M.DAGTrackedDataFrame and len(f.iloc[1:3]) == 2
    d = f.describe()
    assert d.loc["count", "x"] == 3 and d.loc["max", "k"] == 4
    gsum = f.groupby("g")["k"].sum()
    assert gsum.to_dict() == {"f": 4, "m": 6}
    assert f.groupby("g").agg({"x": "mean"}).loc["m", "x"] == 3.0
    assert f.to_numpy().shape == (4, 3)
    c = f.copy()
    assert type(c) is M.DAGTrackedDataFrame and c._col_prov is f._col_prov
    assert float(f.sum(numeric_only=True)["x"]) == 7.0
    assert f.shape == (4, 3) and list(f.dropna()["k"]) == [1, 2, 4]


def test_setitem_stores_tracked_arrays_and_ignores_others(S):
    f, prov, _ = _frame()
    p = np.array([5, 6, 7, 8], dtype=np.uint32)
    n = np.array([1, 2, 3, 4], dtype=np.int64)
    s = S([9, 9, 9, 9], index=f.index, _prov=p, _node_ids=n)
    f["new"] = s
    assert f._col_prov["new"] is p and f._col_nodes["new"] is n
    r = f["new"]
    assert list(r) == [9] * 4 and list(r._prov) == [5, 6, 7, 8] and r._prov is not p
    for other in (3, [1, 2, 3, 4], np.arange(4), pd.Series([1, 2, 3, 4], index=f.index)):
        f["new"] = other
        assert f._col_prov["new"] is p and f._col_nodes["new"] is n
    f["plain"] = 1
    assert "plain" not in f._col_prov


def test_merge_carries_column_provenance_with_one_merge_node_per_column(S):
    t = M.DAGTracker()
    left = pd.DataFrame({"key": ["a", "b", "c"], "v": [1, 2, 3], "w": [1.0, 2.0, 3.0]})
    right = pd.DataFrame({"key": ["a", "b", "a"], "r": [10, 20, 30], "w": [5.0, 6.0, 7.0]})
    L = M.wrap_dataframe_dag(left, t, "L")
    R = M.wrap_dataframe_dag(right, t, "R")
    before = len(t._nodes)
    m = L.merge(R, on="key")
    assert type(m) is M.DAGTrackedDataFrame and m._tracker is t and len(m) == 3
    assert set(m._col_prov) == {"key", "v", "r"}  # w_x / w_y got suffixes: no provenance
    assert len(t._nodes) - before == 3
    for col, src in (("key", L), ("v", L), ("r", R)):
        expected = t.update_chain(int(src._col_prov[col][0]), OpCode.MERGE)
        assert m._col_prov[col].dtype == np.uint32 and list(m._col_prov[col]) == [expected] * 3
        nid = int(m._col_nodes[col][0])
        assert list(m._col_nodes[col]) == [nid] * 3
        node = t.get_node(nid)
        assert node.operation == "merge" and node.inputs == [int(src._col_nodes[col][0])]
        assert node.provenance == expected and node.node_type == M.NodeType.UNARY
    assert m["w_x"]._prov.tolist() == [0, 0, 0]
    # right given by keyword works too
    assert set(L.merge(right=R, on="key")._col_prov) == {"key", "v", "r"}


def test_merge_with_plain_right_and_without_tracker(S):
    t = M.DAGTracker()
    L = M.wrap_dataframe_dag(pd.DataFrame({"key": [1, 2], "v": [3, 4]}), t, "L")
    m = L.merge(pd.DataFrame({"key": [1, 2], "r": [5, 6]}), on="key")
    assert set(m._col_prov) == {"key", "v"}
    L._tracker = None
    before = len(t._nodes)
    m = L.merge(pd.DataFrame({"key": [2, 1, 1], "r": [5, 6, 7]}), on="key", how="right")
    assert len(t._nodes) == before and m._col_nodes == {}
    assert list(m._col_prov["v"]) == [int(L._col_prov["v"][0])] * 3
    # an empty stored array gives provenance 0 and no node
    L._tracker = t
    L._col_prov["v"] = np.array([], dtype=np.uint32)
    L._col_nodes["v"] = np.array([], dtype=np.int64)
    m = L.merge(pd.DataFrame({"key": [1]}), on="key")
    assert list(m._col_prov["v"]) == [0] and "v" not in m._col_nodes


def test_setitem_aligns_provenance_like_pandas_aligns_values(S):
    f, prov, nodes = _frame()
    p = np.array([7, 8], dtype=np.uint32)
    n = np.array([3, 4], dtype=np.int64)
    f["part"] = S([1.0, 2.0], index=[13, 11], _prov=p, _node_ids=n)
    assert f["part"].tolist()[1] == 2.0 and np.isnan(f["part"].tolist()[0])
    assert list(f._col_prov["part"]) == [0, 8, 0, 7] and f._col_prov["part"].dtype == np.uint32
    assert list(f._col_nodes["part"]) == [-1, 4, -1, 3] and f._col_nodes["part"].dtype == np.int64
    f["none"] = S([], dtype=float, _prov=np.array([], np.uint32), _node_ids=np.array([], np.int64))
    assert list(f._col_prov["none"]) == [0] * 4 and list(f._col_nodes["none"]) == [-1] * 4
