"""TrackedSeries / TrackedDataFrame keep provenance on the right rows."""

import gc
import sys
import tracemalloc

import numpy as np
import pandas as pd
import pytest

from corvanti.utilities.tessel32 import ProvenanceTracker, TrackedDataFrame, TrackedSeries


@pytest.fixture
def s():
    return TrackedSeries([1.0, 2.0, 3.0, 4.0], index=["a", "b", "c", "d"], _prov=[10, 20, 30, 40],
                         _tracker=ProvenanceTracker(), name="v")


@pytest.fixture
def df():
    return TrackedDataFrame({"x": [1, 2, 3], "y": [4.0, 5.0, 6.0]}, index=[7, 8, 9],
                            _col_prov={"x": [1, 2, 3], "y": [4, 5, 6]}, _tracker=ProvenanceTracker())


def test_class_contract():
    assert issubclass(TrackedSeries, pd.Series) and issubclass(TrackedDataFrame, pd.DataFrame)
    assert TrackedSeries._metadata == ["_prov", "_tracker"]
    assert TrackedDataFrame._metadata == ["_col_prov", "_tracker"]
    assert TrackedSeries([1])._constructor is TrackedSeries
    assert TrackedDataFrame()._constructor is TrackedDataFrame
    assert TrackedDataFrame()._constructor_sliced is TrackedSeries
    assert TrackedSeries([1])._constructor_expanddim is TrackedDataFrame


@pytest.mark.parametrize("op,want", [
    (lambda s: s + 1, [10, 20, 30, 40]),
    (lambda s: s.fillna(0), [10, 20, 30, 40]),
    (lambda s: s.astype("int64"), [10, 20, 30, 40]),
    (lambda s: s.sort_values(ascending=False), [40, 30, 20, 10]),
    (lambda s: s[s > 2], [30, 40]),
    (lambda s: s.iloc[1:3], [20, 30]),
    (lambda s: s.head(2), [10, 20]),
    (lambda s: s.loc[["d", "a"]], [40, 10]),
    (lambda s: s.reindex(["b", "zz"]), [20, 0]),
    (lambda s: s.reset_index(drop=True), [10, 20, 30, 40]),
    (lambda s: s.rename(lambda x: x * 2), [10, 20, 30, 40]),
    (lambda s: s.shift(1), [0, 0, 0, 0]),
    (lambda s: s.diff(), [0, 0, 0, 0]),
    (lambda s: s.rank(), [0, 0, 0, 0]),
    (lambda s: pd.concat([s, s]), [0] * 8),
    (lambda s: s.dropna(), [10, 20, 30, 40]),
])
def test_series_operations_carry_provenance(s, op, want):
    r = op(s)
    assert type(r) is TrackedSeries
    assert r._prov.dtype == np.uint32 and r._prov.tolist() == want
    assert r._prov is not s._prov and not np.shares_memory(r._prov, s._prov)
    assert s._prov.tolist() == [10, 20, 30, 40]


@pytest.mark.parametrize("op", [
    lambda s: s.groupby([1, 1, 2, 2]).sum(),          # keys 1, 2 are also row labels
    lambda s: s.quantile([0.0, 1.0]),
])
def test_aggregations_do_not_borrow_row_provenance(op):
    s = TrackedSeries([1.0, 1.0, 2.0, 3.0], _prov=[10, 20, 30, 40])
    r = op(s)
    assert type(r) is TrackedSeries and not r._prov.any()


def test_series_tracker_and_copying(s):
    assert (s * 2)._tracker is s._tracker
    again = TrackedSeries(s)
    assert again._prov.tolist() == [10, 20, 30, 40] and again._tracker is s._tracker
    again._prov[0] = 99
    assert s._prov[0] == 10
    given = np.array([5, 6, 7, 8], dtype=np.uint32)
    t = TrackedSeries([1, 2, 3, 4], _prov=given)
    given[0] = 0
    assert t._prov[0] == 5
    assert TrackedSeries([1, 2])._prov.tolist() == [0, 0] and TrackedSeries([])._prov.tolist() == []


@pytest.mark.parametrize("prov,exc,text", [
    ([1], ValueError, "_prov has 1 entries but the data has 2 rows"),
    ([-1, 2], OverflowError, "_prov values must lie in 0..4294967295"),
    ([2**32, 1], OverflowError, "_prov values must lie in 0..4294967295"),
    (["a", "b"], TypeError, "_prov must hold provenance values (integers), got dtype <U1"),
    ([1.5, 2.0], TypeError, "got dtype float64"),
    ([[1, 2]], ValueError, "_prov must be one-dimensional, got 2 dimensions"),
])
def test_bad_provenance_arrays(prov, exc, text):
    with pytest.raises(exc) as info:
        TrackedSeries([1, 2], _prov=prov)
    assert text in str(info.value)


def test_frame_columns_and_rows(df):
    col = df["x"]
    assert type(col) is TrackedSeries and col._prov.tolist() == [1, 2, 3] and col._tracker is df._tracker
    col._prov[0] = 0
    assert df._col_prov["x"][0] == 1
    row = df.iloc[1]
    assert type(row) is TrackedSeries and row._prov.tolist() == [0, 0]
    assert df.y._prov.tolist() == [4, 5, 6]


@pytest.mark.parametrize("op,want", [
    (lambda d: d[d.x > 1], {"x": [2, 3], "y": [5, 6]}),
    (lambda d: d[["y"]], {"y": [4, 5, 6]}),
    (lambda d: d.sort_values("x", ascending=False), {"x": [3, 2, 1], "y": [6, 5, 4]}),
    (lambda d: d.head(1), {"x": [1], "y": [4]}),
    (lambda d: d.fillna(0), {"x": [1, 2, 3], "y": [4, 5, 6]}),
    (lambda d: d.shift(1), {}),
    (lambda d: d.T, {}),
    (lambda d: d.merge(d, on="x"), {}),
])
def test_frame_operations_carry_provenance(df, op, want):
    r = op(df)
    assert type(r) is TrackedDataFrame
    assert {k: v.tolist() for k, v in r._col_prov.items()} == want
    assert all(v.dtype == np.uint32 for v in r._col_prov.values())


def test_frame_setitem(df):
    df["z"] = df["x"] * 10
    assert df._col_prov["z"].tolist() == [1, 2, 3]
    df["x"] = 0
    assert "x" not in df._col_prov and df["x"]._prov.tolist() == [0, 0, 0]
    # aligned by label, like pandas aligns the values
    df["w"] = TrackedSeries([1, 2, 3], index=[9, 8, 7], _prov=[90, 80, 70])
    assert df["w"].tolist() == [3, 2, 1] and df._col_prov["w"].tolist() == [70, 80, 90]
    df[df.y > 4] = 0                     # a row assignment: provenance is no longer known
    assert df._col_prov == {}


def test_frame_construction(df):
    copy = TrackedDataFrame(df)
    assert copy._col_prov.keys() == {"x", "y"} and copy._tracker is df._tracker
    s = TrackedSeries([1, 2], index=["a", "b"], _prov=[3, 4], name="n")
    f = TrackedDataFrame({"n": s})
    assert f._col_prov["n"].tolist() == [3, 4]
    assert s.to_frame()._col_prov["n"].tolist() == [3, 4]
    with pytest.raises(TypeError, match="_col_prov must be a dict of column label to array, not list"):
        TrackedDataFrame({"x": [1]}, _col_prov=[1])
    with pytest.raises(ValueError, match="_col_prov has 2 entries but the data has 1 rows"):
        TrackedDataFrame({"x": [1]}, _col_prov={"x": [1, 2]})


def test_no_leaks(s, df):
    def work():
        for _ in range(300):
            (s + 1).sort_values()
            s[s > 2]
            df["x"]
            df[df.x > 1]
            TrackedSeries([1, 2], _prov=[1, 2])

    work()
    gc.collect()
    before = (sys.getrefcount(s), sys.getrefcount(df), sys.getrefcount(s._prov))
    tracemalloc.start()
    snap1 = tracemalloc.take_snapshot()
    work()
    gc.collect()
    snap2 = tracemalloc.take_snapshot()
    tracemalloc.stop()
    grown = sum(x.size_diff for x in snap2.compare_to(snap1, "filename") if x.size_diff > 0)
    assert grown < 256 * 1024
    assert (sys.getrefcount(s), sys.getrefcount(df), sys.getrefcount(s._prov)) == before
