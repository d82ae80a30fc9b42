"""Row mode (DAGTracker(lineage="rows")): the operations it covers, their
nodes and metadata, the DEBUG lines of what it does not cover, and that the
default mode never meets any of it."""
import logging

import numpy as np
import pandas as pd
import pytest

from corvanti.utilities.tessel32 import OpCode
from corvanti.utilities.tessel32_dag import (
    DAGTrackedDataFrame,
    DAGTrackedSeries,
    DAGTracker,
    NodeType,
    dag_audit,
    get_dag_for_series,
    wrap_dataframe_dag,
)

LOGGER = "corvanti.utilities.tessel32_dag"


@pytest.fixture
def env():
    t = DAGTracker(lineage="rows")
    df = pd.DataFrame({"a": [5.0, np.nan, 4.0, 2.0, 3.0], "k": [1, 2, 1, 2, 1]}, index=list("vwxyz"))
    f = wrap_dataframe_dag(df, t, "t", protected=["k"])
    o = wrap_dataframe_dag(pd.DataFrame({"k": [1, 2, 7], "w": [10.0, 20.0, 30.0]}), t, "o")
    return t, f, o


def rows(s):
    return [dag_audit(s, i).get("dag", {}).get("source_rows") for i in range(len(s))]


def node(t, s, i):
    return t.get_node(int(s._node_ids[i]))


def test_default_mode_keeps_the_native_classes_and_positional_reads():
    t = DAGTracker()
    f = wrap_dataframe_dag(pd.DataFrame({"a": [1.0, 2.0, 3.0]}), t, "t")
    assert type(f) is DAGTrackedDataFrame and type(f["a"]) is DAGTrackedSeries
    kept = f[f["a"] > 1.5]
    first = dag_audit(f["a"], 0)["provenance"]
    assert [dag_audit(kept["a"], i)["provenance"] for i in range(2)] == [first, first]
    assert "source_rows" not in dag_audit(f["a"], 0)["dag"]
    assert t.dag_stats()["total_nodes"] == 1  # no row nodes


def test_row_mode_wraps_one_row_node_per_cell(env):
    t, f, _ = env
    assert type(f).__name__ == "RowTrackedDataFrame" and isinstance(f, DAGTrackedDataFrame)
    s = f["a"]
    assert type(s).__name__ == "RowTrackedSeries" and isinstance(s, DAGTrackedSeries)
    assert rows(s) == [[("t", i)] for i in range(5)]
    n = node(t, s, 3)
    assert n.operation == "row" and t.get_node(n.inputs[0]).node_type == NodeType.SOURCE


@pytest.mark.parametrize(
    "op, expected",
    [
        (lambda f: f[f["a"] > 2.5], [0, 2, 4]),
        (lambda f: f.loc[["z", "v"]], [4, 0]),
        (lambda f: f.iloc[[3, 3, 1]], [3, 3, 1]),
        (lambda f: f.take([4, 0]), [4, 0]),
        (lambda f: f.head(2), [0, 1]),
        (lambda f: f.tail(2), [3, 4]),
        (lambda f: f.sort_values("a"), [3, 4, 2, 0, 1]),
        (lambda f: f.sort_index(ascending=False), [4, 3, 2, 1, 0]),
        (lambda f: f.drop(index=["w", "x"]), [0, 3, 4]),
        (lambda f: f.dropna(), [0, 2, 3, 4]),
        (lambda f: f.drop_duplicates(subset=["k"], keep="last"), [3, 4]),
        (lambda f: f.reset_index(drop=True).iloc[::-1], [4, 3, 2, 1, 0]),
        (lambda f: f.reindex(["y", "q", "v"]), [3, None, 0]),
        (lambda f: f.sample(frac=1.0, random_state=3), None),
        (lambda f: pd.concat([f.tail(1), f.head(1)]), [4, 0]),
    ],
)
def test_frame_row_operations_carry_each_rows_arrays(env, op, expected):
    t, f, _ = env
    out = op(f)
    if expected is None:  # sample: the rows pandas drew, in its order
        expected = [list("vwxyz").index(label) for label in out.index]
    want = [[("t", r)] if r is not None else None for r in expected]
    assert rows(out["a"]) == want and rows(out["k"]) == want
    pd.testing.assert_frame_equal(pd.DataFrame(out), op(pd.DataFrame(f)), check_frame_type=False)


@pytest.mark.parametrize(
    "op, expected",
    [
        (lambda s: s[s > 2.5], [0, 2, 4]),
        (lambda s: s.sort_values(ascending=False), [0, 2, 4, 3, 1]),
        (lambda s: s.dropna(), [0, 2, 3, 4]),
        (lambda s: s.drop_duplicates(), [0, 1, 2, 3, 4]),
        (lambda s: s.loc["x":], [2, 3, 4]),
        (lambda s: s.iloc[[-1]], [4]),
        (lambda s: s.reset_index(drop=True).head(2), [0, 1]),
    ],
)
def test_series_row_operations_carry_each_rows_arrays(env, op, expected):
    _, f, _ = env
    assert rows(op(f["a"])) == [[("t", r)] for r in expected]


def test_inplace_sort_takes_over_values_and_arrays(env):
    _, f, _ = env
    g = f.copy()
    assert g.sort_values("a", inplace=True) is None
    assert rows(g["a"]) == [[("t", r)] for r in [3, 4, 2, 0, 1]]
    assert g["a"].tolist()[:2] == [2.0, 3.0]


@pytest.mark.parametrize("call", ["method", "function"])
def test_merge_gives_each_cell_a_merge_node_over_both_rows(env, call):
    t, f, o = env
    m = f.merge(o, on="k", how="outer") if call == "method" else pd.merge(f, o, on="k", how="outer")
    plain = pd.merge(pd.DataFrame(f), pd.DataFrame(o), on="k", how="outer")
    pd.testing.assert_frame_equal(pd.DataFrame(m), plain, check_frame_type=False)
    assert len(m) == 6
    last = len(m) - 1  # k == 7: only the right side has the row
    both = node(t, m["a"], 0)
    assert both.operation == "merge" and both.node_type == NodeType.BINARY and len(both.inputs) == 2
    assert rows(m["w"])[0] == [("o", 0), ("t", 0)]
    assert rows(m["a"])[last] == [("o", 2)] and rows(m["k"])[last] == [("o", 2)]
    assert node(t, m["k"], last).node_type == NodeType.UNARY
    # provenance combined with MERGE
    assert dag_audit(m["w"], 0)["columns"] == ["t.k", "o.w"]
    assert dag_audit(m["w"], 0)["has_protected"]


def test_join_on_the_index_and_concat_side_by_side(env):
    _, f, _ = env
    right = wrap_dataframe_dag(pd.DataFrame({"b": [1.0, 2.0]}, index=["x", "v"]), f._tracker, "r")
    j = f.join(right, how="left")
    assert rows(j["b"]) == [[("r", 1), ("t", 0)], [("t", 1)], [("r", 0), ("t", 2)], [("t", 3)], [("t", 4)]]
    side = pd.concat([f["a"].iloc[::-1], right["b"]], axis=1)
    assert list(side.index) == ["z", "y", "x", "w", "v"]
    assert rows(side["b"]) == [None, None, [("r", 0)], None, [("r", 1)]]
    assert rows(side["a"]) == [[("t", r)] for r in [4, 3, 2, 1, 0]]


@pytest.mark.parametrize("how", ["sum", "mean", "min", "max", "count", "agg"])
def test_groupby_logs_one_aggregate_node_per_value(env, how):
    t, f, _ = env
    gb = f.groupby("k")
    g = gb.agg("sum") if how == "agg" else getattr(gb, how)()
    n = node(t, g["a"], 0)
    assert n.node_type == NodeType.AGGREGATE and n.metadata == {"function": "sum" if how == "agg" else how,
                                                                  "column": "a"}
    assert rows(g["a"]) == [[("t", 0), ("t", 2), ("t", 4)], [("t", 1), ("t", 3)]]
    assert dag_audit(g["a"], 0)["dag"]["operation_counts"]["row"] == 3


def test_series_reduction_logs_one_aggregate_node(env):
    t, f, _ = env
    s = f["a"]
    assert s.sum() == 14.0
    n = t.get_node(s.last_aggregate_node)
    assert n.node_type == NodeType.AGGREGATE and n.operation == "sum" and len(n.inputs) == 5


@pytest.mark.parametrize(
    "op, name, meta",
    [
        (lambda s: s * 0.01, "mul", {"operand": "0.01"}),
        (lambda s: 2 - s, "sub", {"operand": "2"}),
        (lambda s: np.log(s), "log", {"function": "log"}),
        (lambda s: np.add(s, 1.5), "add", {"function": "add", "operand": "1.5"}),
        (lambda s: abs(s), "abs", {"function": "abs"}),
        (lambda s: s.round(1), "round", {"function": "round", "decimals": 1}),
        (lambda s: s.astype("float32"), "astype", {"function": "astype", "dtype": "float32"}),
        (lambda s: s.apply(np.sqrt), "apply", {"function": "sqrt"}),
        (lambda s: s.map(str), "map", {"function": "str"}),
        (lambda s: s.where(s > 3, 0.0), "where", {"function": "where", "operand": "0.0"}),
    ],
)
def test_per_element_operations_log_one_node_per_element(env, op, name, meta):
    t, f, _ = env
    s = f["a"]
    out = op(s)
    pd.testing.assert_series_equal(pd.Series(out), op(pd.Series(s)), check_series_type=False,
                                   check_names=False)
    ids = set(out._node_ids.tolist())
    assert len(ids) == 5
    n = node(t, out, 2)
    assert n.operation == name and n.metadata == meta and n.inputs == [int(s._node_ids[2])]
    assert rows(out) == rows(s)


def test_cumsum_reaches_every_row_up_to_each_element(env):
    _, f, _ = env
    c = f["a"].cumsum()
    assert rows(c) == [[("t", r) for r in range(i + 1)] for i in range(5)]


@pytest.mark.parametrize("op, name", [(lambda f: f.fillna(0.0), "fillna"), (lambda f: f.clip(2, 4), "clip"),
                                      (lambda f: f.replace(2.0, 9.0), "replace")])
def test_frame_level_transforms_log_per_element(env, op, name):
    t, f, _ = env
    out = op(f)
    for col in ("a", "k"):
        assert node(t, out[col], 1).operation == name
        assert rows(out[col]) == rows(f[col])


def test_assign_keeps_the_source_frames_arrays_apart(env):
    _, f, _ = env
    g = f.assign(b=lambda d: d["a"] * 2)
    assert rows(g["b"]) == rows(f["a"]) and "b" not in f._col_prov
    assert node(f._tracker, g["b"], 0).operation == "mul"


def test_uncovered_operations_log_one_debug_line_per_name(env, caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    _, f, _ = env
    s = f["a"]
    for _ in range(3):
        shifted = s.shift(1)
    lines = [r.getMessage() for r in caplog.records if "shift" in r.getMessage()]
    assert lines == ["row lineage: shift is not covered by the tracked objects; provenance kept by position"]
    assert rows(shifted) == rows(s)  # kept by position
    caplog.clear()
    f[["a", "k"]].sort_values("a")["a"] * 2.0  # all covered: not a line
    assert [r.getMessage() for r in caplog.records if r.name == LOGGER] == []


def test_assigning_values_without_lineage_drops_the_columns_lineage(env):
    _, f, _ = env
    g = f.copy()
    g["a"] = [0.0] * 5
    assert "a" not in g._col_prov and rows(g["a"]) == [None] * 5
    g["b"] = f["a"] + f["k"]
    assert rows(g["b"]) == rows(f["a"])


def test_row_mode_audit_of_evicted_rows_reports_them():
    t = DAGTracker(lineage="rows")
    t._max_nodes = 30
    f = wrap_dataframe_dag(pd.DataFrame({"a": np.arange(10.0)}), t, "t")
    s = f["a"]
    for _ in range(3):
        s = s + f["a"]
    audit = dag_audit(s, 0)
    assert audit["missing_ancestors"] >= 1
    assert set(audit["dag"]["source_rows"]) <= {("t", 0)}  # what is still known, nothing invented


def test_extension_dtypes_survive_row_operations_and_merge_indicators():
    t = DAGTracker(lineage="rows")
    df = pd.DataFrame({"c": pd.Categorical(["x", "y", "x"]), "n": pd.array([1, None, 3], dtype="Int64"),
                       "k": [1, 2, 1]})
    f = wrap_dataframe_dag(df, t, "t")
    o = wrap_dataframe_dag(pd.DataFrame({"k": [1, 3], "w": [1.0, 2.0]}), t, "o")
    out = f.sort_values("k")
    out = out[out["k"] > 0]
    assert out["c"].dtype == "category" and out["n"].dtype == "Int64"
    m = f.merge(o, on="k", how="outer", indicator=True)
    plain = pd.merge(df, pd.DataFrame(o), on="k", how="outer", indicator=True)
    pd.testing.assert_frame_equal(pd.DataFrame(m), plain, check_frame_type=False)
    assert rows(m["w"])[0] == [("o", 0), ("t", 0)]


def test_series_transforms_stay_row_tracked(env):
    t, f, _ = env
    for out, name in ((f["a"].fillna(0.0), "fillna"), (f["a"].clip(2, 4), "clip"),
                      (f["a"].replace(2.0, 7.0), "replace")):
        assert type(out).__name__ == "RowTrackedSeries" and node(t, out, 1).operation == name
        order = pd.Series(out).sort_values(kind="stable").index
        assert rows(out.sort_values(kind="stable")) == [[("t", list("vwxyz").index(label))] for label in order]


def test_arithmetic_between_series_on_different_rows_pairs_them_by_label(env):
    _, f, _ = env
    s = f["a"]
    moved = s.sort_values().head(3)  # rows y, z, x
    total = moved + s
    pd.testing.assert_series_equal(pd.Series(total), pd.Series(moved) + pd.Series(s), check_series_type=False)
    assert list(total.index) == list("vwxyz")
    # rows v and w exist on one side only: their nodes come from that side
    assert rows(total) == [[("t", 0)], [("t", 1)], [("t", 2)], [("t", 3)], [("t", 4)]]
    assert node(f._tracker, total, 0).node_type == NodeType.UNARY
    assert node(f._tracker, total, 2).node_type == NodeType.BINARY
