"""corvanti.source(), upload() and validate() end to end against a real HTTP test service."""

import contextlib
import io
import logging
import pathlib
import re
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from sklearn.linear_model import LogisticRegression

import corvanti
from corvanti import wrapper
from support.service import free_port

needs_sync = pytest.mark.skipif(not hasattr(wrapper, "_sync_prov"), reason="_sync_prov not built yet")
KEY = "test-key"


@pytest.fixture(autouse=True)
def empty_registry():
    corvanti.clear_sources()
    yield
    corvanti.clear_sources()


@pytest.fixture
def credit():
    """A source table, a derived test frame and a model trained on it."""
    apps = pd.DataFrame({
        "income": [52.0, 61.0, 23.0, 87.0, 45.0, 31.0, 70.0, 28.0],
        "debt": [12.0, 3.0, 15.0, 9.0, 20.0, 4.0, 1.0, 14.0],
        "sex": ["f", "m", "f", "m", "f", "m", "f", "m"],
        "approved": [1, 1, 0, 1, 0, 1, 1, 0],
    })
    corvanti.source(apps, "applications")
    data = apps.assign(ratio=apps["debt"] / apps["income"]).drop(columns=["debt"])
    data.loc[5, "ratio"] = float("nan")
    clf = LogisticRegression().fit(data[["income", "ratio"]].fillna(0).iloc[:5], data["approved"].iloc[:5])

    return data, FillingModel(clf), clf


class FillingModel:
    """A model that fills missing ratios itself, like a pipeline would."""

    def __init__(self, clf):
        self.clf = clf

    def predict_proba(self, X):
        return self.clf.predict_proba(X.fillna(0))


def test_import_is_light():
    code = "import sys, corvanti; print(corvanti.__version__, 'pandas' in sys.modules, 'corvanti.wrapper' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         cwd=str(pathlib.Path(corvanti.__file__).parent.parent)).stdout.split()
    assert out == [corvanti.__version__, "False", "False"]


# ---- source() -------------------------------------------------------------------


def test_source_registers_and_returns_frame():
    df = pd.DataFrame({"a": [1], "b": [2.0]})
    assert corvanti.source(df, "t") is df
    assert wrapper._registry.get_source_mapping() == {"a": "t.a", "b": "t.b"}
    assert wrapper._registry.get_source_metadata() == {"t": {"a": "int64", "b": "float64"}}
    corvanti.clear_sources()
    assert wrapper._registry.get_source_mapping() == {}


@pytest.mark.parametrize(
    "df,name,exc,text",
    [
        (np.zeros((2, 2)), "t", TypeError, "source() expects a pandas DataFrame, got ndarray"),
        ({"a": [1]}, "t", TypeError, "source() expects a pandas DataFrame, got dict"),
        (pd.DataFrame({"a": [1]}), 1, TypeError, "table_name must be a str, got int"),
        (pd.DataFrame({"a": [1]}), "", ValueError, "table_name must not be empty"),
        (pd.DataFrame([[1, 2, 3]], columns=["a", "b", "a"]), "t", ValueError,
         "source() needs unique column labels; duplicated: a"),
    ],
)
def test_source_rejects_bad_input(df, name, exc, text):
    with pytest.raises(exc) as ei:
        corvanti.source(df, name)
    assert str(ei.value) == text
    assert wrapper._registry.get_source_mapping() == {}


# ---- upload() -------------------------------------------------------------------


def test_upload_dataframe_mode_end_to_end(service, credit):
    data, model, clf = credit
    train, test = data.iloc[:5], data.iloc[5:]
    service.respond("POST", "/v1/uploads", status=201, json={"upload_id": "u-7", "n_rows": 3})
    answer = corvanti.upload(model, test_df=test, train_df=train, label_column="approved",
                             protected_columns=["sex", "race"], model_name="credit", model_version="2",
                             api_key=KEY, service_url=service.url + "//")
    assert answer == {"upload_id": "u-7", "n_rows": 3}
    (req,) = service.requests
    assert (req.method, req.path) == ("POST", "/v1/uploads")
    assert req.header("Authorization") == "Bearer " + KEY
    body = req.json
    assert body["model_name"] == "credit" and body["model_version"] == "2"
    assert re.fullmatch(r"[0-9a-f]{64}", body["model_hash"]) and body["model_id"] == body["model_hash"]
    assert body["model_type"] == "FillingModel" and body["n_rows"] == 3 and body["label_column"] == "approved"
    assert body["feature_columns"] == ["income", "ratio"] and body["protected_columns"] == ["sex"]
    d = body["data"]
    assert d["X_test"] == {"dataframe": {"index": [0, 1, 2], "columns": ["income", "ratio"],
                                         "data": [[31.0, None], [70.0, 1 / 70], [28.0, 0.5]]}}
    assert d["y_test"] == {"ndarray": [1, 1, 0]}
    expected = clf.predict_proba(test[["income", "ratio"]].fillna(0))[:, 1]
    np.testing.assert_allclose(d["predictions"]["ndarray"], expected)
    assert d["protected"] == {"dataframe": {"index": [0, 1, 2], "columns": ["sex"], "data": [["m"], ["f"], ["m"]]}}
    assert d["X_train"]["dataframe"]["columns"] == ["income", "ratio"] and len(d["X_train"]["dataframe"]["data"]) == 5
    assert d["y_train"] == {"ndarray": [1, 1, 0, 1, 0]}
    lin = body["lineage"]
    assert lin["columns"] == {"income": "applications.income", "ratio": "derived",
                              "sex": "applications.sex", "approved": "applications.approved"}
    assert lin["tables"] == {"applications": {"income": "float64", "debt": "float64", "sex": "str"
                                              if pd.__version__ >= "3" else "object", "approved": "int64"}}
    snap = lin["snapshots"]["applications"]["dataframe"]
    assert list(lin["snapshots"]) == ["applications"]
    assert snap["columns"] == ["income", "sex", "approved"]
    assert snap["data"] == [[31.0, "m", 1], [70.0, "f", 1], [28.0, "m", 0]]


def test_upload_array_mode_with_given_predictions(service):
    X = np.array([[1.0, 2.0], [3.0, 4.0]])
    answer = corvanti.upload(X_test=X, y_test=[0, 1], predictions=np.array([[0.9, 0.1], [0.2, 0.8]]),
                             model_name="scores", api_key=KEY, service_url=service.url)
    assert answer == {"ok": True}
    body = service.requests[0].json
    assert body["model_type"] is None and body["model_hash"] is None and body["model_id"] == ""
    assert body["feature_columns"] == ["feature_0", "feature_1"]
    assert body["data"]["X_test"] == {"ndarray": [[1.0, 2.0], [3.0, 4.0]]}
    assert body["data"]["predictions"] == {"ndarray": [[0.9, 0.1], [0.2, 0.8]]}
    assert body["lineage"] == {"columns": {}, "tables": {}, "snapshots": {}}


def test_upload_http_error_raises(service):
    service.respond("POST", "/v1/uploads", status=401, text="bad key")
    with pytest.raises(RuntimeError) as ei:
        corvanti.upload(X_test=[[1.0]], predictions=[0.5], model_name="m", api_key=KEY, service_url=service.url)
    assert str(ei.value) == f"HTTP 401 from {service.url}/v1/uploads: bad key"


BAD_CALLS = [
    ({"api_key": None}, ValueError, "api_key is required"),
    ({"api_key": ""}, ValueError, "api_key is required"),
    ({"api_key": 123}, TypeError, "api_key must be a str, got int"),
    ({"service_url": None}, ValueError, "service_url is required"),
    ({"service_url": "ftp://host"}, ValueError, "service_url must start with http:// or https://"),
    ({"protected_columns": "sex"}, TypeError, "protected_columns must be a list of column names"),
    ({"X_test": "abc"}, TypeError, "X_test must be a pandas DataFrame"),
    ({"X_test": None}, ValueError, "No data provided."),
    ({"predictions": [0.1]}, ValueError, "predictions has 1 rows but the model input has 2"),
    ({"y_test": [1, 0, 1]}, ValueError, "y_test has 3 rows but the model input has 2"),
    ({"predictions": None}, ValueError, "Pass model= (to predict locally) or predictions="),
    ({"model_version": 2}, TypeError, "model_version must be a str, got int"),
    ({"test_df": pd.DataFrame({"a": [1]})}, ValueError, "label_column is required when passing test_df."),
]


@pytest.mark.parametrize("fn", ["upload", "validate"])
@pytest.mark.parametrize("change,exc,text", BAD_CALLS)
def test_bad_arguments_send_nothing(service, fn, change, exc, text):
    kw = dict(X_test=np.ones((2, 2)), predictions=[0.1, 0.2], model_name="m", api_key=KEY, service_url=service.url)
    kw.update(change)
    with pytest.raises(exc) as ei:
        getattr(corvanti, fn)(**kw)
    assert str(ei.value).startswith(text)
    assert service.requests == []


def test_unpredictable_model_and_unreachable_upload():
    with pytest.raises(RuntimeError, match="Cannot generate predictions from object"):
        corvanti.upload(object(), X_test=[[1.0]], api_key=KEY, service_url="http://127.0.0.1:1")
    import urllib.error

    with pytest.raises(urllib.error.URLError):
        corvanti.upload(X_test=[[1.0]], predictions=[0.5], model_name="m", api_key=KEY,
                        service_url=f"http://127.0.0.1:{free_port()}")


# ---- validate() -----------------------------------------------------------------


@needs_sync
def test_validate_dataframe_mode_end_to_end(service, credit):
    data, model, clf = credit
    test = data.iloc[5:]
    summary = corvanti.validate(model, test_df=test, label_column="approved", protected_columns=["sex"],
                                model_name="credit", model_version="2", model_id="credit-2",
                                api_key=KEY, service_url=service.url + "/")
    expected = clf.predict_proba(test[["income", "ratio"]].fillna(0))[:, 1]
    np.testing.assert_allclose(summary["predictions"], expected)
    assert {k: v for k, v in summary.items() if k != "predictions"} == {
        "model_name": "credit", "model_version": "2", "model_id": "credit-2", "n_rows": 3,
        "feature_columns": ["income", "ratio"], "protected_columns": ["sex"],
    }
    seq = [(r.method, r.path) for r in service.requests]
    assert seq == [("POST", "/v1/pipelines")] + [("POST", "/v1/sources")] * 3 + [
        ("POST", "/v1/nodes"), ("POST", "/v1/edges"), ("POST", "/v1/results"), ("POST", "/v1/values"),
        ("PATCH", "/v1/pipelines/1"),
    ]
    assert all(r.header("Authorization") == "Bearer " + KEY for r in service.requests)
    assert service.requests[0].json == {
        "pipeline_name": "credit_v2",
        "config": {"model_name": "credit", "model_version": "2", "model_id": "credit-2"},
    }
    nodes = service.requests_for("POST", "/v1/nodes")[0].json
    assert [(n["column_name"], n["operation"]) for n in nodes] == [
        ("income", "source_feature"), ("ratio", "source_feature"), ("sex", "source_protected"),
        ("output", "model_validate"),
    ]
    results = service.requests_for("POST", "/v1/results")[0].json["results"]
    np.testing.assert_allclose([r["output_value"] for r in results], expected)
    values = service.requests_for("POST", "/v1/values")[0].json
    assert len(values) == 3 * 4
    assert [v["text_value"] for v in values if v["column_name"] == "sex"] == ["m", "f", "m"]
    assert [v["value"] for v in values if v["column_name"] == "ratio"][0] is None  # NaN sent as null
    assert service.requests[-1].json == {"status": "validation_complete"}


@needs_sync
def test_validate_defaults_and_array_mode(service):
    X = pd.DataFrame({"age": [30, 40], "sex": ["f", "m"]})
    summary = corvanti.validate(lambda frame: frame["age"] / 100, X_test=X, protected_columns=["sex"],
                                api_key=KEY, service_url=service.url)
    np.testing.assert_allclose(summary["predictions"], [0.3, 0.4])
    assert summary["model_name"] == "function" and re.fullmatch(r"[0-9a-f]{64}|", summary["model_id"])
    assert summary["feature_columns"] == ["age"] and summary["protected_columns"] == ["sex"]
    assert service.requests[0].json["pipeline_name"] == "function_v1"


@needs_sync
def test_validate_is_tolerant_of_an_unreachable_service(caplog):
    url = f"http://127.0.0.1:{free_port()}"
    with caplog.at_level(logging.ERROR, logger="corvanti.wrapper"):
        summary = corvanti.validate(X_test=[[1.0], [2.0]], predictions=[0.1, 0.2], model_name="m",
                                    api_key=KEY, service_url=url)
    assert summary["n_rows"] == 2
    assert any("pipeline creation failed" in r.getMessage() for r in caplog.records)


@needs_sync
def test_documentation_example_runs():
    text = (pathlib.Path(__file__).resolve().parent.parent / "README.md").read_text()
    blocks = re.findall(r"```python\n(.*?)```", text, re.S)
    example = blocks[-2] + blocks[-1]  # the stand-in service, then the example
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        scope = {}
        exec(compile(example, "README.md", "exec"), scope)
        scope["server"].shutdown()
        scope["server"].server_close()
    printed = out.getvalue()
    assert "POST /v1/uploads" in printed and "PATCH /v1/pipelines/1" in printed
    assert "{'upload_id': 'u-1', 'n_rows': 2}" in printed
    assert wrapper._registry.get_source_mapping() == {}
