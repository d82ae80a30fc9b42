"""corvanti.wrapper's row and column helpers: _cn, _rc, _trd, _fo, _gs, _rh."""

import datetime as dt
import decimal
import hashlib
import math

import numpy as np
import pandas as pd
import pytest

from corvanti import wrapper

ARG_MSG = "Argument '{}' has incorrect type (expected {}, got {})"


class Tracked(pd.DataFrame):
    """A DataFrame subclass (like the lineage package's tracked frames)."""

    @property
    def _constructor(self):
        return Tracked


# ---- _cn / _rc -----------------------------------------------------------------------

@pytest.mark.parametrize("X, prefix, names", [
    (pd.DataFrame({"a": [1], "b": [2]}), "feature", ["a", "b"]),
    (pd.DataFrame([[1, 2]]), "feature", ["0", "1"]),
    (pd.DataFrame([[1]], columns=[dt.date(2024, 1, 2)]), "x", ["2024-01-02"]),
    (np.zeros((5, 3)), "feature", ["feature_0", "feature_1", "feature_2"]),
    (np.zeros((2, 2, 2)), "feature", ["feature_0"]),
    (np.zeros(4), "feature", ["feature_0"]),
    (np.float64(3), "feature", ["feature_0"]),
    ([[1, 2], [3, 4]], "protected", ["protected_0", "protected_1"]),
    (pd.Series([1, 2]), "feature", ["feature_0"]),
    (None, "feature", ["feature_0"]),
    ([[1, 2], [3]], "p", ["p"]),  # numpy cannot make an array of it
])
def test_cn(X, prefix, names):
    assert wrapper._cn(X, prefix) == names


def test_cn_default_prefix_and_type_check():
    assert wrapper._cn(np.zeros((1, 2))) == ["feature_0", "feature_1"]
    with pytest.raises(TypeError) as ei:
        wrapper._cn([1], None)
    assert str(ei.value) == ARG_MSG.format("fallback_prefix", "str", "NoneType")


@pytest.mark.parametrize("X, n", [
    (pd.DataFrame({"a": range(7)}), 7), (np.zeros((4, 2)), 4), ([1, 2, 3], 3), (5, 0), (None, 0),
    (np.array(3), 0), ((x for x in range(3)), 0), ("abc", 3),
])
def test_rc(X, n):
    assert wrapper._rc(X) == n


# ---- _trd --------------------------------------------------------------------------

def iterrows_reference(X, cols):
    return [{c: (row[c] if c in row.index else None) for c in cols} for _, row in X.iterrows()]


FRAMES = {
    "int_float": pd.DataFrame({"a": [1, 2], "b": [1.5, np.nan]}),
    "ints": pd.DataFrame({"a": [1, 2], "b": [3, 4]}),
    "small_ints": pd.DataFrame({"a": np.array([1, 2], np.uint8), "b": np.array([-1, 2], np.int8)}),
    "float16": pd.DataFrame({"a": np.array([1.5, 2], np.float16)}),
    "bools": pd.DataFrame({"a": [True, False]}),
    "mixed_object": pd.DataFrame({"a": [1, 2], "b": ["x", None]}),
    "nullable": pd.DataFrame({"a": pd.array([1, None], dtype="Int64"), "b": [0.5, 1.0]}),
    "dates": pd.DataFrame({"a": pd.to_datetime(["2024-01-01", "2024-02-01"])}),
    "categorical": pd.DataFrame({"a": pd.Categorical(["u", "v"])}),
    "duplicate_labels": pd.DataFrame([[1, 2, 3]], columns=["a", "a", "b"]),
    "int_labels": pd.DataFrame([[1.0, 2.0]]),
    "subclass": Tracked({"a": [1.0, 2.0], "b": [3, 4]}),
    "no_rows": pd.DataFrame({"a": pd.Series([], dtype=float)}),
}


@pytest.mark.parametrize("name", list(FRAMES))
def test_trd_dataframe_matches_iterrows_values_and_types(name):
    X = FRAMES[name]
    cols = ["a", "b", "missing", "0"]
    got = wrapper._trd(X, cols)
    want = iterrows_reference(X, cols)
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert list(g) == cols
        for c in cols:
            if isinstance(w[c], pd.Series):
                assert isinstance(g[c], pd.Series) and g[c].equals(w[c])
                continue
            assert type(g[c]) is type(w[c])
            assert g[c] is w[c] or (pd.isna(g[c]) and pd.isna(w[c])) or g[c] == w[c]


def test_trd_dataframe_details():
    X = pd.DataFrame({"age": [30, 40], "income": [1.5, 2.5]})
    assert wrapper._trd(X, ["income", "zzz"]) == [{"income": 1.5, "zzz": None}, {"income": 2.5, "zzz": None}]
    assert type(wrapper._trd(X, ["age"])[0]["age"]) is np.float64  # a mixed row holds floats
    # Integer labels are not the strings that _cn makes of them.
    assert wrapper._trd(pd.DataFrame([[1, 2]]), ["0", "1"]) == [{"0": None, "1": None}]
    with pytest.raises(TypeError):  # unhashable name: pandas' own error
        wrapper._trd(X, [["age"]])
    tupled = pd.DataFrame([[1.0, 2.0]], columns=[("a", "b"), "c"])
    assert wrapper._trd(tupled, [("a", "b"), "c"]) == iterrows_reference(tupled, [("a", "b"), "c"])


@pytest.mark.parametrize("X, cols, rows", [
    (np.arange(6).reshape(2, 3), ["x", "y"], [{"x": 0, "y": 1}, {"x": 3, "y": 4}]),
    (np.arange(6).reshape(2, 3), list("pqrs"), [{"p": 0, "q": 1, "r": 2}, {"p": 3, "q": 4, "r": 5}]),
    (np.array([1.5, 2.5]), ["v", "w"], [{"v": 1.5}, {"v": 2.5}]),
    ([[1, "a"], [2, "b"]], ["n", "s"], [{"n": 1, "s": "a"}, {"n": 2, "s": "b"}]),
    ([[1, 2], [3]], ["a", "b"], [{"a": [1, 2]}, {"a": [3]}]),
    (pd.Series([1, 2]), ["o"], [{"o": 1}, {"o": 2}]),
    (pd.Series([], dtype=float), [], []),
    (None, ["a"], []),
    (7, ["a"], []),
    (np.float64(2.0), ["a"], []),
    (iter([(1, 2), (3,)]), ["a", "b"], [{"a": 1, "b": 2}, {"a": 3}]),
])
def test_trd_other_inputs(X, cols, rows):
    assert wrapper._trd(X, cols) == rows


def test_trd_numpy_keeps_element_objects_and_series_empty_cols():
    d = dt.date(2024, 1, 1)
    (row,) = wrapper._trd(np.array([[d, "s"]], dtype=object), ["a", "b"])
    assert row["a"] is d
    assert type(wrapper._trd(np.array([[1, 2]]), ["a"])[0]["a"]) is int
    three_d = wrapper._trd(np.zeros((2, 2, 2)), ["a"])
    assert len(three_d) == 2 and isinstance(three_d[0]["a"], np.ndarray)
    with pytest.raises(IndexError):
        wrapper._trd(pd.Series([1]), [])
    with pytest.raises(TypeError) as ei:
        wrapper._trd([[1]], ("a",))
    assert str(ei.value) == ARG_MSG.format("cols", "list", "tuple")


# ---- _fo ----------------------------------------------------------------------------------

@pytest.mark.parametrize("outputs, n, want", [
    (np.array([[0.1, 0.9], [0.2, 0.8], [0.3, 0.7], [0.4, 0.6]]), 4, [0.9, 0.8, 0.7, 0.6]),
    (None, 2, [None, None]),
    (None, 0, []),
    (0.7, 3, [0.7, None, None]),
    (np.float64(0.7), 1, [np.float64(0.7)]),  # 0-D: no list from numpy, not iterable
    (np.array(0.5), 2, [np.array(0.5), None]),
    ("ab", 5, ["a", "b"]),
    ([[1, 2], [3]], 2, [[1, 2], [3]]),
    (pd.Series([1, 2]), 2, [1, 2]),
    ([np.int64(1), 2], 2, [1, 2]),
    (np.zeros((2, 0)), 2, [np.zeros(0), np.zeros(0)]),
])
def test_fo(outputs, n, want):
    got = wrapper._fo(outputs, n)
    assert type(got) is list and len(got) == len(want)
    for g, w in zip(got, want):
        if isinstance(w, np.ndarray):
            assert np.array_equal(g, w)
        else:
            assert g == w and type(g) is type(w)


def test_fo_n_conversion():
    assert wrapper._fo(None, 2.9) == [None, None]
    with pytest.raises(TypeError) as ei:
        wrapper._fo(None, "2")
    assert str(ei.value) == ARG_MSG.format("n", "int", "str")


# ---- _gs ----------------------------------------------------------------------------------

@pytest.mark.parametrize("val, want", [
    (1.5, (1.5, None)), (3, (3.0, None)), (True, (1.0, None)), (False, (0.0, None)),
    (float("nan"), (None, None)), (np.float32("nan"), (None, None)), (float("inf"), (math.inf, None)),
    (np.int64(7), (7.0, None)), (np.float32(0.5), (0.5, None)), (np.uint8(255), (255.0, None)),
    (np.bool_(True), (None, "True")), ("approved", (None, "approved")), (None, (None, None)),
    (decimal.Decimal("1.5"), (None, "1.5")), (dt.date(2024, 1, 2), (None, "2024-01-02")),
    (pd.NA, (None, "<NA>")), (pd.Timestamp("2024-01-02"), (None, "2024-01-02 00:00:00")),
])
def test_gs(val, want):
    got = wrapper._gs(val)
    assert got == want
    assert type(got) is tuple and all(v is None or type(v) in (float, str) for v in got)


def test_gs_long_text_and_overflow():
    assert wrapper._gs("x" * 300) == (None, "x" * 255)
    assert wrapper._gs("é" * 256)[1] == "é" * 255  # characters, not bytes
    with pytest.raises(OverflowError):
        wrapper._gs(10**400)


# ---- _rh -----------------------------------------------------------------------------------

def test_rh_digest_of_sorted_json_text():
    row = {"b": 2, "a": "é", "c": None}
    text = wrapper._fast_dumps(row, sort_keys=True, default=str)
    assert text == '{"a":"é","b":2,"c":null}'
    assert wrapper._rh(row) == hashlib.sha256(text.encode()).hexdigest()
    assert wrapper._rh({"a": "é", "c": None, "b": 2}) == wrapper._rh(row)
    assert wrapper._rh({}) == hashlib.sha256(b"{}").hexdigest()
    # numpy scalars go through str()
    assert wrapper._rh({"x": np.float64(1.5)}) == hashlib.sha256(b'{"x":"1.5"}').hexdigest()


def test_rh_failure_gives_empty_string_and_type_check():
    assert wrapper._rh({1: "non-str key"}) == ""  # orjson rejects non-str keys

    class Bad:
        def __str__(self):
            raise RuntimeError("x")

    assert wrapper._rh({"a": Bad()}) == ""
    with pytest.raises(TypeError) as ei:
        wrapper._rh([("a", 1)])
    assert str(ei.value) == ARG_MSG.format("row_dict", "dict", "list")
