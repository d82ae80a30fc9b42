"""corvanti.wrapper: JSON pair, non-finite scrubbers, _serialize and the hashes."""

import hashlib
import json
import logging
import math
import pickle
import textwrap

import numpy as np
import pandas as pd
import pytest
import scipy.sparse as sp

from corvanti import wrapper
from support.proc import run_python

NAN, INF = float("nan"), float("inf")


def test_module_globals():
    assert wrapper.hashlib is hashlib and wrapper.json is json and wrapper.pickle is pickle
    assert wrapper.logger is logging.getLogger("corvanti.wrapper")
    assert wrapper._MAX_ERROR_TEXT == 200
    import orjson

    assert wrapper._orjson is orjson


# ---- scrubbers -------------------------------------------------------------------

@pytest.mark.parametrize("v", [NAN, INF, -INF, np.float64("nan"), np.float64("-inf")])
def test_sanitize_value_non_finite_becomes_none(v):
    assert wrapper._sanitize_value(v) is None


@pytest.mark.parametrize("v", [1.5, 3, "nan", None, np.float32("nan"), [NAN], True, 10**30])
def test_sanitize_value_passes_others_through(v):
    assert wrapper._sanitize_value(v) is v


def test_sanitize_list_and_rows_levels():
    inner = [NAN]
    out = wrapper._sanitize_list([1.0, NAN, inner])
    assert out[:2] == [1.0, None] and out[2] is inner
    assert wrapper._sanitize_list((x for x in [INF, 2])) == [None, 2]
    rows = [[1.0, NAN], (INF, [NAN])]
    out = wrapper._sanitize_rows(rows)
    assert out[0] == [1.0, None] and out[1][0] is None and math.isnan(out[1][1][0])
    assert out[0] is not rows[0]
    with pytest.raises(TypeError):
        wrapper._sanitize_list(5)
    with pytest.raises(TypeError):
        wrapper._sanitize_rows([[1], 2])


# ---- _serialize ------------------------------------------------------------------

def test_serialize_dataframe_split_layout_with_none_for_nan():
    df = pd.DataFrame({"a": [1.0, NAN], "b": ["x", "y"]}, index=[10, 20])
    assert wrapper._serialize(df) == {
        "dataframe": {"index": [10, 20], "columns": ["a", "b"], "data": [[1.0, "x"], [None, "y"]]}
    }


def test_serialize_series_ndarray_sparse():
    assert wrapper._serialize(pd.Series([1.0, INF, 3.0])) == {"series": [1.0, None, 3.0]}
    assert wrapper._serialize(np.array([1.0, NAN])) == {"ndarray": [1.0, None]}
    # For a 2-D array only the outer level is scrubbed: the rows are lists.
    out = wrapper._serialize(np.array([[1.0, NAN]]))
    assert list(out) == ["ndarray"] and math.isnan(out["ndarray"][0][1])
    m = sp.csr_matrix(np.array([[0.0, NAN], [1.0, 2.0]]))
    assert wrapper._serialize(m) == {"ndarray": [[0.0, None], [1.0, 2.0]]}


def test_serialize_sequences_unwrap_numpy_scalars():
    out = wrapper._serialize([np.int64(3), np.float32(0.5), np.float64("nan"), "s", None, 7])
    assert out == {"list": [3, 0.5, None, "s", None, 7]}
    assert [type(v) for v in out["list"]] == [int, float, type(None), str, type(None), int]
    assert wrapper._serialize((x for x in [NAN, 1])) == {"list": [None, 1]}
    assert wrapper._serialize({"k": 1}) == {"list": ["k"]}


class Unlistable:
    def __iter__(self):
        raise ValueError("no rows %s here")


@pytest.mark.parametrize("arr, tail", [(5, "int: 'int' object is not iterable"),
                                       (Unlistable(), "Unlistable: no rows %s here")])
def test_serialize_failure_logs_warning_and_returns_none(caplog, arr, tail):
    with caplog.at_level(logging.WARNING, logger="corvanti.wrapper"):
        assert wrapper._serialize(arr) is None
    (rec,) = caplog.records
    assert rec.levelno == logging.WARNING and rec.name == "corvanti.wrapper"
    assert rec.getMessage() == "[corvanti] Could not serialize " + tail
    assert rec.args == ()


def test_signatures_and_arity():
    with pytest.raises(TypeError, match=r"^_serialize\(\) missing 1 required positional argument: 'arr'$"):
        wrapper._serialize()
    with pytest.raises(TypeError, match=r"^_fast_dumps\(\) takes from 1 to 3 positional arguments but 4 were given$"):
        wrapper._fast_dumps(1, None, False, 4)
    with pytest.raises(TypeError, match=r"unexpected keyword argument 'x'"):
        wrapper._content_hash("a", x=1)
    assert wrapper._sanitize_value(v=NAN) is None
    assert wrapper._content_hash.__doc__.startswith("Content-addressable 32-bit hash for DAG node identification.")
    import inspect

    assert str(inspect.signature(wrapper._fast_dumps)) == "(obj, default=None, sort_keys=False)"


# ---- hashes --------------------------------------------------------------------------

def md5_32(text):
    return int.from_bytes(hashlib.md5(text.encode()).digest()[:4], "big")


@pytest.mark.parametrize("parts, text", [
    (("source", "credit", "income"), "source|credit|income"),
    (("a", 1), "a|1"),
    (("a|b",), "a|b"),
    ((), ""),
    (("é", None, 2.5), "é|None|2.5"),
])
def test_content_hash_is_md5_prefix_of_joined_text(parts, text):
    h = wrapper._content_hash(*parts)
    assert type(h) is int and 0 <= h < 2**32
    assert h == md5_32(text) == int(hashlib.md5(text.encode()).hexdigest()[:8], 16)


def test_content_hash_collisions_and_errors():
    assert wrapper._content_hash("a", 1) == wrapper._content_hash("a", "1")
    assert wrapper._content_hash("a|b") == wrapper._content_hash("a", "b")

    class Bad:
        def __str__(self):
            raise RuntimeError("no str")

    with pytest.raises(RuntimeError, match="no str"):
        wrapper._content_hash("a", Bad())


def test_compute_model_hash():
    from sklearn.linear_model import LinearRegression

    model = LinearRegression().fit([[0.0], [1.0]], [0.0, 2.0])
    digest = wrapper._compute_model_hash(model)
    assert digest == hashlib.sha256(pickle.dumps(model)).hexdigest()
    assert len(digest) == 64 and digest == digest.lower()
    assert wrapper._compute_model_hash({"w": [1, 2]}) == hashlib.sha256(pickle.dumps({"w": [1, 2]})).hexdigest()
    assert wrapper._compute_model_hash(lambda x: x) is None


# ---- the JSON pair ---------------------------------------------------------------

def test_fast_dumps_orjson_backend():
    assert wrapper._fast_dumps({"b": 1, "a": [1.5, "é"]}) == '{"b":1,"a":[1.5,"é"]}'
    assert wrapper._fast_dumps({"b": 1, "a": 2}, sort_keys=True) == '{"a":2,"b":1}'
    assert wrapper._fast_dumps({"x": np.int64(4)}, default=lambda v: f"<{v}>") == '{"x":"<4>"}'
    assert wrapper._fast_dumps(NAN) == "null"
    with pytest.raises(TypeError):
        wrapper._fast_dumps({"x": object()})
    assert wrapper._fast_loads('{"a": [1, null]}') == {"a": [1, None]}
    assert wrapper._fast_loads(b"[1]") == [1]
    with pytest.raises(ValueError):
        wrapper._fast_loads("")


STDLIB_SCRIPT = textwrap.dedent("""
    import sys, json, hashlib
    sys.modules["orjson"] = None
    import numpy as np
    from corvanti import wrapper
    out = {
        "orjson": repr(wrapper._orjson),
        "plain": wrapper._fast_dumps({"b": 1, "a": [1.5, "é"]}),
        "sorted": wrapper._fast_dumps({"b": 1, "a": 2}, sort_keys=True),
        "default": wrapper._fast_dumps({"x": np.int64(4)}, default=lambda v: f"<{v}>"),
        "nan": wrapper._fast_dumps(float("nan")),
        "loads": wrapper._fast_loads('{"a": [1, null]}'),
        "rh": wrapper._rh({"b": np.int64(2), "a": "é"}),
        "rh_expected": hashlib.sha256(json.dumps({"a": "é", "b": "2"}, sort_keys=True).encode()).hexdigest(),
    }
    print(json.dumps(out))
""")


def test_fast_dumps_stdlib_backend_in_subprocess():
    proc = run_python(STDLIB_SCRIPT)
    out = json.loads(proc.stdout)
    assert out["orjson"] == "None"
    assert out["plain"] == '{"b": 1, "a": [1.5, "\\u00e9"]}'
    assert out["sorted"] == '{"a": 2, "b": 1}'
    assert out["default"] == '{"x": "<4>"}'
    assert out["nan"] == "NaN"
    assert out["loads"] == {"a": [1, None]}
    assert out["rh"] == out["rh_expected"]


def test_backend_import_error_other_than_importerror_aborts_import(tmp_path):
    (tmp_path / "orjson.py").write_text("raise RuntimeError('broken orjson')\n")
    code = "import sys; sys.path.insert(0, sys.argv[1]); import corvanti.wrapper"
    proc = run_python(code, str(tmp_path), check=False)
    assert proc.returncode != 0 and "broken orjson" in proc.stderr
