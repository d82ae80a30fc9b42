"""corvanti.wrapper._sync_prov, the validate() provenance upload, against a real local service."""

import gc
import hashlib
import logging
import math
import sys
import tracemalloc

import numpy as np
import pandas as pd
import pytest

from corvanti import wrapper
from support.service import free_port

KEY = "k-123"
ARG_MSG = "Argument '{}' has incorrect type (expected {}, got {})"
PIPELINE_FAILED = "[corvanti] validate() provenance: pipeline creation failed: %s"


def h32(*parts):
    text = "|".join(str(p) for p in parts)
    return int(hashlib.md5(text.encode()).hexdigest()[:8], 16)


def sync(service, X, y=None, P=None, pcols=None, name="credit", version="1.2", url=None, model_id=None):
    args = [X, y, P, [] if pcols is None else pcols, name, version, KEY, service.url if url is None else url]
    if model_id is not None:
        args.append(model_id)
    return wrapper._sync_prov(*args)


def calls(service):
    return [(r.method, r.path) for r in service.requests]


@pytest.fixture
def records(caplog):
    caplog.set_level(logging.DEBUG, logger="corvanti.wrapper")
    return lambda: [r for r in caplog.records if r.name == "corvanti.wrapper"]


# ---- the whole upload ---------------------------------------------------------------

def test_full_upload_sequence_and_payloads(service, records):
    X = pd.DataFrame({"age": [30, 40], "income": [1.5, 2.5]})
    P = pd.DataFrame({"sex": ["m", "f"], "age": [30, 40]})
    y = np.array([[0.8, 0.2], [0.5, np.nan]])  # class probabilities: the last column counts
    assert sync(service, X, y, P, ["income"], url=service.url + "//", model_id="m-1") is None
    assert records() == []

    assert calls(service) == [("POST", "/v1/pipelines")] + [("POST", "/v1/sources")] * 3 + [
        ("POST", "/v1/nodes"), ("POST", "/v1/edges"), ("POST", "/v1/results"), ("POST", "/v1/values"),
        ("PATCH", "/v1/pipelines/1")]
    for r in service.requests:
        assert r.header("Authorization") == "Bearer " + KEY
        assert r.header("Content-Type") == "application/json"
        assert r.json_error is None

    pipeline, *sources = [r.json for r in service.requests[:4]]
    assert pipeline == {"pipeline_name": "credit_v1.2",
                        "config": {"model_name": "credit", "model_version": "1.2", "model_id": "m-1"}}
    assert list(pipeline) == ["pipeline_name", "config"] and list(pipeline["config"]) == ["model_name", "model_version", "model_id"]

    fp = {c: h32("source", "credit", c) for c in ("age", "income", "sex")}
    val_fp = h32("validation", "credit", "1.2")
    assert sources == [{"pair_id": fp[c], "table_name": "credit", "column_name": c, "is_protected": True}
                       for c in ("age", "income", "sex")]

    nodes = service.requests_for("POST", "/v1/nodes")[0].json
    assert nodes[:3] == [
        {"fingerprint": fp[c], "node_type": "source", "operation": "source_protected", "table_name": "credit",
         "column_name": c, "pair_id": fp[c], "is_protected": True, "pipeline_id": 1}
        for c in ("age", "income", "sex")]
    assert list(nodes[3]) == ["fingerprint", "node_type", "operation", "table_name", "column_name",
                              "is_protected", "pipeline_id", "metadata"]
    assert nodes[3] == {"fingerprint": val_fp, "node_type": "computation", "operation": "model_validate",
                        "table_name": "credit", "column_name": "output", "is_protected": False, "pipeline_id": 1,
                        "metadata": {"model_version": "1.2", "model_id": "m-1"}}

    assert service.requests_for("POST", "/v1/edges")[0].json == [
        {"parent_fingerprint": fp[c], "child_fingerprint": val_fp} for c in ("age", "income", "sex")]

    # The rows of a mixed int/float frame hold numpy floats, which the
    # orjson backend writes through str().
    row_hashes = [hashlib.sha256(b'{"age":"30.0","income":"1.5"}').hexdigest(),
                  hashlib.sha256(b'{"age":"40.0","income":"2.5"}').hexdigest()]
    assert service.requests_for("POST", "/v1/results")[0].json == {"pipeline_id": 1, "results": [
        {"row_key": "credit_1_model_validate_0", "output_name": "model_validate", "fingerprint": val_fp,
         "output_value": 0.2, "input_hash": row_hashes[0]},
        {"row_key": "credit_1_model_validate_1", "output_name": "model_validate", "fingerprint": val_fp,
         "output_value": None, "input_hash": row_hashes[1]},
    ]}

    def val(i, c, op, v, t=None, f=None):
        return {"pipeline_id": 1, "row_index": i, "fingerprint": fp[c] if f is None else f, "node_operation": op,
                "column_name": c, "value": v, "text_value": t}

    assert service.requests_for("POST", "/v1/values")[0].json == [
        val(0, "age", "source_feature", 30.0), val(0, "income", "source_feature", 1.5),
        val(0, "sex", "source_protected", None, "m"), val(0, "age", "source_protected", 30.0),
        val(0, "output", "model_validate", 0.2, f=val_fp),
        val(1, "age", "source_feature", 40.0), val(1, "income", "source_feature", 2.5),
        val(1, "sex", "source_protected", None, "f"), val(1, "age", "source_protected", 40.0),
        val(1, "output", "model_validate", None, f=val_fp),
    ]
    assert service.requests[-1].json == {"status": "validation_complete"}


def test_250_columns_pages_and_request_count(service):
    cols = [f"c{i}" for i in range(249)]
    X = pd.DataFrame(np.arange(3 * 249, dtype=float).reshape(3, 249), columns=cols)
    P = pd.DataFrame({"c0": [1, 2, 3], "sex": ["f", "m", "f"]})
    sync(service, X, [0.1, 0.2, 0.3], P)

    k, n, per_row = 250, 3, 249 + 2 + 1
    expected = 1 + k + math.ceil((k + 1) / 100) + math.ceil(k / 100) + 1 + math.ceil(n * per_row / 500) + 1
    assert len(service.requests) == expected == 261
    node_pages = [r.json for r in service.requests_for("POST", "/v1/nodes")]
    assert [len(p) for p in node_pages] == [100, 100, 51]
    assert node_pages[-1][-1]["operation"] == "model_validate"
    assert [n["column_name"] for p in node_pages for n in p][:-1] == cols + ["sex"]
    assert [len(r.json) for r in service.requests_for("POST", "/v1/edges")] == [100, 100, 50]
    value_pages = [r.json for r in service.requests_for("POST", "/v1/values")]
    assert [len(p) for p in value_pages] == [500, 256]
    flat = [v for p in value_pages for v in p]
    assert [v["row_index"] for v in flat] == [i for i in range(3) for _ in range(per_row)]
    assert flat[per_row - 3: per_row] == [
        {"pipeline_id": 1, "row_index": 0, "fingerprint": h32("source", "credit", "c0"),
         "node_operation": "source_protected", "column_name": "c0", "value": 1.0, "text_value": None},
        {"pipeline_id": 1, "row_index": 0, "fingerprint": h32("source", "credit", "sex"),
         "node_operation": "source_protected", "column_name": "sex", "value": None, "text_value": "f"},
        {"pipeline_id": 1, "row_index": 0, "fingerprint": h32("validation", "credit", "1.2"),
         "node_operation": "model_validate", "column_name": "output", "value": 0.1, "text_value": None},
    ]


# ---- failure policy of each step --------------------------------------------------------

STEPS = [
    # (method, path, level, message, requests after the failing one still sent)
    ("POST", "/v1/sources", None, None, True),
    ("POST", "/v1/nodes", logging.WARNING, "[corvanti] validate() provenance: node batch failed: %s", True),
    ("POST", "/v1/edges", logging.WARNING, "[corvanti] validate() provenance: edge batch failed: %s", True),
    ("POST", "/v1/results", logging.ERROR, "[corvanti] validate() provenance: results upload failed: %s", True),
    ("POST", "/v1/values", logging.ERROR, "[corvanti] validate() provenance: values batch failed: %s", True),
    ("PATCH", "/v1/pipelines/", None, None, True),
]


@pytest.mark.parametrize("method, path, level, message, _", STEPS)
def test_failed_step_is_logged_and_upload_goes_on(service, records, method, path, level, message, _):
    X = pd.DataFrame({"a": [1.0, 2.0], "b": [3.0, 4.0]})
    service.respond(method, path, status=500, text="boom " * 100)
    sync(service, X, [0.5, 0.6])
    # Every request was still made.
    assert calls(service) == [("POST", "/v1/pipelines"), ("POST", "/v1/sources"), ("POST", "/v1/sources"),
                              ("POST", "/v1/nodes"), ("POST", "/v1/edges"), ("POST", "/v1/results"),
                              ("POST", "/v1/values"), ("PATCH", "/v1/pipelines/1")]
    failing = [r for r in service.requests if r.method == method and r.path.startswith(path)]
    recs = records()
    if level is None:
        assert recs == []
        return
    assert len(recs) == len(failing) == 1
    (rec,) = recs
    assert rec.levelno == level and rec.msg == message
    assert isinstance(rec.args[0], RuntimeError)
    url = service.url + failing[0].path
    assert rec.getMessage() == message % f"HTTP 500 from {url}: {('boom ' * 100)[:200]}"


def test_failed_value_pages_are_each_logged(service, records):
    X = pd.DataFrame(np.ones((300, 2)), columns=["a", "b"])  # 900 values: 2 pages
    service.respond("POST", "/v1/values", status=503, text="busy")
    sync(service, X, np.zeros(300))
    assert [r.getMessage() for r in records()] == [
        f"[corvanti] validate() provenance: values batch failed: HTTP 503 from {service.url}/v1/values: busy"] * 2
    assert calls(service)[-1] == ("PATCH", "/v1/pipelines/1")


@pytest.mark.parametrize("response, status", [
    ({"id": 3}, 200), (None, 200), ([1], 200), ({"pipeline_id": "abc"}, 200), ({"pipeline_id": None}, 200),
    ({"error": "no"}, 500),
])
def test_failed_pipeline_creation_ends_the_upload(service, records, response, status):
    service.respond("POST", "/v1/pipelines", status=status, json=response)
    assert sync(service, pd.DataFrame({"a": [1.0]}), [1.0]) is None
    assert calls(service) == [("POST", "/v1/pipelines")]
    (rec,) = records()
    assert rec.levelno == logging.ERROR and rec.msg == PIPELINE_FAILED
    assert isinstance(rec.args[0], Exception)


@pytest.mark.parametrize("pid, shown", [("42", "42"), (7.9, "7"), (True, "1")])
def test_pipeline_id_is_converted_with_int(service, pid, shown):
    service.respond("POST", "/v1/pipelines", json={"pipeline_id": pid})
    sync(service, pd.DataFrame({"a": [1.0]}), [1.0])
    assert service.requests[-1].path == f"/v1/pipelines/{shown}"
    assert service.requests_for("POST", "/v1/results")[0].json["results"][0]["row_key"] == f"credit_{shown}_model_validate_0"
    assert service.requests_for("POST", "/v1/nodes")[0].json[0]["pipeline_id"] == int(shown)


def test_unreachable_service_and_refused_scheme_are_logged(records, tmp_path):
    X = pd.DataFrame({"a": [1.0]})
    wrapper._sync_prov(X, None, None, [], "m", "1", KEY, f"http://127.0.0.1:{free_port()}")
    secret = tmp_path / "secret.json"
    secret.write_text('{"pipeline_id": 1}')
    wrapper._sync_prov(X, None, None, [], "m", "1", KEY, f"file://{tmp_path}")
    first, second = records()
    assert first.msg == second.msg == PIPELINE_FAILED
    assert type(first.args[0]).__name__ == "URLError"
    assert isinstance(second.args[0], ValueError) and "'file'" in str(second.args[0])


# ---- data shapes ----------------------------------------------------------------------------

def test_zero_rows_sends_graph_but_no_results_values_or_patch(service):
    sync(service, pd.DataFrame({"a": pd.Series([], dtype=float)}), [], pd.DataFrame({"sex": []}))
    assert calls(service) == [("POST", "/v1/pipelines"), ("POST", "/v1/sources"), ("POST", "/v1/sources"),
                              ("POST", "/v1/nodes"), ("POST", "/v1/edges")]


def test_without_protected_data_only_protected_columns_mark_inputs(service):
    X = np.array([[1.0, "x"], [2.0, "y"]], dtype=object)
    sync(service, X, np.array(["approved", float("nan")], dtype=object), None, ["feature_1", "race"])
    nodes = service.requests_for("POST", "/v1/nodes")[0].json
    assert [(n["column_name"], n["operation"], n["is_protected"]) for n in nodes] == [
        ("feature_0", "source_feature", False), ("feature_1", "source_protected", True),
        ("output", "model_validate", False)]
    values = service.requests_for("POST", "/v1/values")[0].json
    assert {v["node_operation"] for v in values} == {"source_feature", "model_validate"}
    assert [(v["value"], v["text_value"]) for v in values] == [
        (1.0, None), (None, "x"), (None, "approved"), (2.0, None), (None, "y"), (None, None)]
    results = service.requests_for("POST", "/v1/results")[0].json["results"]
    assert [r["output_value"] for r in results] == [None, None]


def test_short_row_data_gives_nulls(service):
    # Three rows of inputs, two outputs and one protected row.
    sync(service, [[1.0], [2.0], [3.0]], [0.5, 0.25], [["f"]])
    results = service.requests_for("POST", "/v1/results")[0].json["results"]
    assert [r["output_value"] for r in results] == [0.5, 0.25, None]
    values = service.requests_for("POST", "/v1/values")[0].json
    prot = [v for v in values if v["node_operation"] == "source_protected"]
    assert [(v["row_index"], v["text_value"]) for v in prot] == [(0, "f"), (1, None), (2, None)]


def test_payload_errors_propagate_after_what_was_sent(service):
    with pytest.raises(OverflowError):
        sync(service, pd.DataFrame({"a": [1.0, 2.0]}), [10**400, 1])
    assert calls(service)[-1] == ("POST", "/v1/edges")


# ---- arguments and module globals -------------------------------------------------------

@pytest.mark.parametrize("index, value, name, expected", [
    (3, ("a",), "protected_columns", "list"), (4, None, "model_name", "str"), (5, 1.2, "model_version", "str"),
    (6, b"k", "api_key", "str"), (7, None, "service_url", "str"), (8, 5, "model_id", "str"),
])
def test_argument_types_checked_before_sending(service, index, value, name, expected):
    args = [[[1.0]], [1.0], None, [], "m", "1", KEY, service.url, ""]
    args[index] = value
    with pytest.raises(TypeError) as ei:
        wrapper._sync_prov(*args)
    assert str(ei.value) == ARG_MSG.format(name, expected, type(value).__name__)
    assert service.requests == []


def test_rebound_module_helpers_take_effect(service, monkeypatch, caplog):
    sent = []
    real_post = wrapper._post_json

    def post(url, key, payload):
        sent.append(url)
        return real_post(url, key, payload)

    monkeypatch.setattr(wrapper, "_post_json", post)
    monkeypatch.setattr(wrapper, "_gs", lambda v: (42.0, "t"))
    monkeypatch.setattr(wrapper, "_content_hash", lambda *parts: "|".join(parts))
    other = logging.getLogger("corvanti.test.other")
    monkeypatch.setattr(wrapper, "logger", other)
    service.respond("POST", "/v1/nodes", status=500, text="x")
    with caplog.at_level(logging.WARNING, logger="corvanti.test.other"):
        sync(service, pd.DataFrame({"a": [1.0]}), [0.5])
    assert len(sent) == 6 and all(u.startswith(service.url) for u in sent)
    assert [r.name for r in caplog.records] == ["corvanti.test.other"]
    values = service.requests_for("POST", "/v1/values")[0].json
    assert {(v["value"], v["text_value"]) for v in values} == {(42.0, "t")}
    assert values[0]["fingerprint"] == "source|credit|a"


# ---- leaks -----------------------------------------------------------------------------------

def traced_growth(work, warmup, rounds):
    """Bytes still allocated after `rounds` calls of work(), after a warm-up.

    Allocations made on the test service's threads are left out: they are the
    server's, not the client's.
    """
    server_side = [tracemalloc.Filter(False, p) for p in (
        "*/threading.py", "*/socketserver.py", "*/http/server.py", "*/support/service.py", "*/email/*")]
    for _ in range(warmup):
        work()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.take_snapshot().filter_traces(server_side)
        for _ in range(rounds):
            work()
        gc.collect()
        after = tracemalloc.take_snapshot().filter_traces(server_side)
    finally:
        tracemalloc.stop()
    return sum(st.size_diff for st in after.compare_to(before, "filename"))


def test_sync_prov_does_not_leak(service):
    X = np.arange(200, dtype=float).reshape(50, 4)
    y = np.linspace(0, 1, 50)
    P = [["f"], ["m"]] * 25
    pcols = ["feature_1"]
    inputs = (X, y, P, pcols)

    def work():
        sync(service, X, y, P, pcols)
        service.clear()

    work()
    refs = [sys.getrefcount(o) for o in inputs]
    # One call builds about 300 value records (about 90 kB per call): keeping
    # any payload alive would show far above the threshold, which leaves room
    # for urllib's and the interpreter's own per-request bookkeeping.
    assert traced_growth(work, warmup=20, rounds=40) < 512 * 1024
    assert [sys.getrefcount(o) for o in inputs] == refs


def test_payload_building_does_not_leak(monkeypatch):
    monkeypatch.setattr(wrapper, "_post_json", lambda url, key, payload: {"pipeline_id": 3})
    monkeypatch.setattr(wrapper, "_patch_json", lambda url, key, payload: None)
    X = np.arange(40, dtype=float).reshape(10, 4)
    y = [0.5, "approved", None, float("nan"), np.int64(3)] * 2
    P = np.array([["f", 1]] * 10, dtype=object)
    inputs = (X, y, P)

    def work():
        wrapper._sync_prov(X, y, P, ["feature_0"], "m", "1", KEY, "http://127.0.0.1:9/")

    work()
    refs = [sys.getrefcount(o) for o in inputs]
    assert traced_growth(work, warmup=50, rounds=1000) < 32 * 1024
    assert [sys.getrefcount(o) for o in inputs] == refs


def test_helpers_do_not_leak():
    row = {"a": 1.5, "b": "x", "c": np.int64(2)}
    arr = np.array([[1.0, np.nan], [2.0, 3.0]])
    frame = pd.DataFrame({"a": [1.0, 2.0], "b": [3.0, 4.0]})
    inputs = (row, arr, frame)

    def work():
        wrapper._serialize(arr)
        wrapper._serialize([np.int64(1), 2.5, float("nan")])
        wrapper._serialize(5)  # failure path (logs)
        wrapper._rh(row)
        wrapper._rh({1: 2})  # failure path
        wrapper._trd(frame, ["a", "b", "z"])
        wrapper._trd(arr, ["a"])
        wrapper._gs(np.float32(0.5))
        wrapper._gs("x" * 300)
        wrapper._fo(arr, 2)
        wrapper._cn(frame)
        wrapper._content_hash("a", 1)
        wrapper._compute_model_hash(row)

    logging.getLogger("corvanti.wrapper").disabled = True
    try:
        work()
        refs = [sys.getrefcount(o) for o in inputs]
        assert traced_growth(work, warmup=1000, rounds=2000) < 32 * 1024
        assert [sys.getrefcount(o) for o in inputs] == refs
    finally:
        logging.getLogger("corvanti.wrapper").disabled = False
