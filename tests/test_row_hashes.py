"""Input hashes of persist_results equal sha256(df.iloc[i].to_json()) for every
row, whichever road computes them; the digest equals hashlib's."""
import datetime
import hashlib

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from corvanti.utilities import tessel32_dag as M
from corvanti.utilities.tessel32_dag import DAGTracker, DAGTrackedSeries


class Store:
    def store_results(self, pipeline_id, results):
        self.rows = results


def hashes(df, n=None):
    n = len(df) if n is None else n
    s = Store()
    out = DAGTrackedSeries(np.zeros(n), _tracker=DAGTracker(), _prov=np.zeros(n, np.uint32))
    DAGTracker.persist_results(s, 1, range(n), {"o": out}, df)
    return [r[4] for r in s.rows]


def expected(df, n=None):
    n = len(df) if n is None else n
    return [hashlib.sha256(df.iloc[i].to_json().encode("utf-8")).hexdigest() if i < len(df) else None
            for i in range(n)]


@pytest.mark.parametrize("n", [0, 1, 3, 55, 56, 63, 64, 65, 119, 120, 128, 1000, 100_000])
def test_digest_matches_hashlib_at_block_boundaries(n):
    data = bytes((i * 7 + 3) % 256 for i in range(n))
    assert M._sha256_hex(data) == hashlib.sha256(data).hexdigest()
    assert M._sha256_hex(bytearray(data)) == hashlib.sha256(data).hexdigest()


TEXT = st.text(alphabet=st.characters(codec="utf-8", exclude_categories=["Cs"]), max_size=12)
FLOATS = st.floats(allow_nan=True, allow_infinity=True) | st.sampled_from(
    [0.1, -0.0, 1e16, 1e15 - 0.5, 9007199254740993.0, 1e-15, 1.5e-16, 123456789.123456789, -2.5e-300, 5e-324])


def column(kind, n):
    if kind == "int64":
        return st.lists(st.integers(-2**63, 2**63 - 1), min_size=n, max_size=n).map(lambda v: np.array(v, np.int64))
    if kind == "int32":
        return st.lists(st.integers(-2**31, 2**31 - 1), min_size=n, max_size=n).map(lambda v: np.array(v, np.int32))
    if kind == "float64":
        return st.lists(FLOATS, min_size=n, max_size=n).map(lambda v: np.array(v, np.float64))
    if kind == "float32":
        return st.lists(st.floats(width=32), min_size=n, max_size=n).map(lambda v: np.array(v, np.float32))
    if kind == "bool":
        return st.lists(st.booleans(), min_size=n, max_size=n).map(lambda v: np.array(v, bool))
    if kind == "str":
        return st.lists(TEXT, min_size=n, max_size=n).map(lambda v: pd.array(v, dtype="str"))
    if kind == "object":
        cell = TEXT | st.none() | st.just(float("nan"))
        return st.lists(cell, min_size=n, max_size=n).map(lambda v: np.array(v + [None], dtype=object)[:n])
    raise AssertionError(kind)


@st.composite
def frames(draw):
    n = draw(st.integers(1, 6))
    kinds = draw(st.lists(st.sampled_from(["int64", "int32", "float64", "float32", "bool", "str", "object"]),
                          min_size=1, max_size=4))
    names = draw(st.lists(TEXT, min_size=len(kinds), max_size=len(kinds), unique=True))
    return pd.DataFrame({name: draw(column(k, n)) for name, k in zip(names, kinds)})


def _hashes_like_pandas(df):
    """Our row hashes equal pandas' own; a row pandas refuses, we refuse alike."""
    try:
        want = expected(df)
    except (ValueError, OverflowError) as e:  # pandas refuses the row (an inf float32 in an object row)
        with pytest.raises(type(e)):
            hashes(df)
        return
    assert hashes(df) == want


@settings(max_examples=500, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(frames())
def test_random_frames_hash_like_pandas(df):
    _hashes_like_pandas(df)


@pytest.mark.parametrize("df", [
    pd.DataFrame({"a": [1, 2], "b": [0.5, np.nan]}),                        # ints upcast to float in a row
    pd.DataFrame({"a": [1, 2], "b": [True, False]}),                        # object row
    pd.DataFrame({"a": np.array([1, 2], np.uint64), "b": [-1, 2**40]}),     # float64 row
    pd.DataFrame({"a": np.array([1.5, 2], np.float32), "b": [3, 4]}),
    pd.DataFrame({"t": pd.to_datetime(["2024-01-01", "2025-06-30"]), "v": [1, 2]}),
    pd.DataFrame({"c": pd.Categorical(["x", "y"]), "v": [1, 2]}),
    pd.DataFrame({"d": [datetime.date(2024, 1, 1), None], "v": ["a", "b"]}),
    pd.DataFrame({"n": pd.array([1, None], dtype="Int64")}),
    pd.DataFrame({0: [1, 2], 1: ["a", "b"]}),                               # non-string labels
    pd.DataFrame({"o": [{"k": 1}, [1, 2]]}),                                # nested objects
    pd.DataFrame({"a": ["line\nbreak", "tab\tand \\ slash \u2028"], "b": ["\x00\x1f", "\ud7ff\U0001f600"]}),
], ids=lambda df: "-".join(str(d) for d in df.dtypes))
def test_mixed_and_unusual_dtypes(df):
    assert hashes(df) == expected(df)


def test_more_keys_than_rows_and_fewer():
    df = pd.DataFrame({"a": [1, 2, 3]})
    assert hashes(df, 5) == expected(df, 5) and hashes(df, 5)[3:] == [None, None]
    assert hashes(df, 2) == expected(df, 2)


def test_errors_of_the_per_row_call_reach_the_caller():
    df = pd.DataFrame([[1, 2]], columns=["a", "a"])
    with pytest.raises(ValueError, match="unique"):
        hashes(df)


def test_a_frame_of_many_rows():
    rng = np.random.default_rng(5)
    n = 20_000
    df = pd.DataFrame({"id": np.arange(n), "x": rng.normal(size=n) * 1e6, "flag": rng.random(n) > 0.5,
                       "name": [f"n\u00e9{i}\"" for i in range(n)]})
    got = hashes(df)
    idx = rng.choice(n, 200, replace=False)
    assert [got[i] for i in idx] == [expected(df.iloc[[i]])[0] for i in idx]


def test_digest_of_every_length_up_to_four_blocks():
    data = bytes((i * 31 + 7) % 256 for i in range(260))
    assert all(M._sha256_hex(data[:k]) == hashlib.sha256(data[:k]).hexdigest() for k in range(len(data)))


# Plain labels: the frame is printed a column at a time and each row's text is
# put together from the column texts; cells that need escaping must come out
# exactly as pandas prints them in a row.
PLAIN = st.text(alphabet=st.characters(min_codepoint=0x20, max_codepoint=0x7e, exclude_characters='"\\/'),
                min_size=1, max_size=6)
TRICKY = st.text(alphabet=st.sampled_from(list(',[]{}":\\/ \n\t\x00a\u00e9\u2028\U0001f600')), max_size=8)


@st.composite
def plain_frames(draw):
    n = draw(st.integers(1, 8))
    kinds = draw(st.lists(st.sampled_from(["int64", "int32", "float64", "float32", "bool", "str", "object", "tricky"]),
                          min_size=1, max_size=4))
    names = draw(st.lists(PLAIN, min_size=len(kinds), max_size=len(kinds), unique=True))
    cols = {}
    for name, k in zip(names, kinds):
        if k == "tricky":
            cells = draw(st.lists(TRICKY | st.none(), min_size=n, max_size=n))
            cols[name] = np.array(cells + [None], dtype=object)[:n]
        else:
            cols[name] = draw(column(k, n))
    return pd.DataFrame(cols)


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(plain_frames())
def test_frames_with_plain_labels_hash_like_pandas(df):
    _hashes_like_pandas(df)


@pytest.mark.parametrize("labels", [["a/b", "c"], ['q"', "r"], ["caf\u00e9", "x"], ["tab\t", "y"]])
def test_labels_the_encoder_escapes(labels):
    df = pd.DataFrame({labels[0]: [1, 2], labels[1]: ["x,y", "[z]"]})
    assert hashes(df) == expected(df)
