"""The package against the real service: corvanti.upload() and validate() end to end,
and the "verify" rehash of a result's input row under both hashing schemes.
"""

import hashlib
import json
import logging

import pandas as pd
import pytest

pytest.importorskip("fastapi")
sklearn_linear = pytest.importorskip("sklearn.linear_model")

import corvanti  # noqa: E402


@pytest.fixture
def credit():
    frame = pd.DataFrame({
        "income": [52_000, 61_000, 23_000, 87_000, 45_000, 31_000],
        "debt_ratio": [0.23, 0.05, 0.65, 0.10, 0.44, 0.13],
        "sex": ["f", "m", "f", "m", "f", "m"],
        "approved": [1, 1, 0, 1, 0, 1],
    })
    model = sklearn_linear.LogisticRegression().fit(frame[["income", "debt_ratio"]], frame["approved"])
    yield frame, model
    corvanti.clear_sources()


def test_upload_and_validate_reach_the_service(live, credit, caplog):
    frame, model = credit
    c = live.client()
    corvanti.source(frame, "applications")
    answer = corvanti.upload(model, test_df=frame, label_column="approved", protected_columns=["sex"],
                             model_name="credit", model_version="2", api_key=c.key, service_url=live.url + "/")
    assert answer["n_rows"] == 6 and answer["model_id"] and len(answer["upload_id"]) == 32

    with caplog.at_level(logging.WARNING, logger="corvanti.wrapper"):
        summary = corvanti.validate(model, test_df=frame, label_column="approved", protected_columns=["sex"],
                                    model_name="credit", model_version="2", api_key=c.key, service_url=live.url)
    assert not [r for r in caplog.records if r.name == "corvanti.wrapper"], caplog.text
    (pipe,) = [p for p in c.ok("GET", "/v1/pipelines")["pipelines"] if p["name"] == "credit_v2"]
    # Sources income, debt_ratio, sex; one model node; an edge from each source.
    assert (pipe["status"], pipe["node_count"], pipe["edge_count"]) == ("validation_complete", 4, 3)
    results = c.ok("GET", f"/v1/pipelines/{pipe['pipeline_id']}/results")
    assert results["total"] == 6
    first = results["results"][0]
    assert first["row_key"] == f"credit_{pipe['pipeline_id']}_model_validate_0"
    assert first["value"] == pytest.approx(float(summary["predictions"][0]))

    from corvanti import wrapper

    row = wrapper._trd(frame[["income", "debt_ratio"]], ["income", "debt_ratio"])[0]
    assert first["input_hash"] == wrapper._rh(row)
    verdict = c.ok("POST", "/v1/results/verify", {"pipeline_id": pipe["pipeline_id"], "row_key": first["row_key"],
                                                  "row": json.loads(json.dumps(row, default=str))})
    assert (verdict["verdict"], verdict["scheme"], verdict["stored_hash"]) == ("intact", "validate", first["input_hash"])
    tampered = dict(row, income=row["income"] + 1)
    verdict = c.ok("POST", "/v1/results/verify", {"pipeline_id": pipe["pipeline_id"], "row_key": first["row_key"],
                                                  "row": json.loads(json.dumps(tampered, default=str))})
    assert verdict["verdict"] == "tampered" and verdict["computed_hash"] != first["input_hash"]

    models = {m["source"] for m in c.ok("GET", "/v1/models")["models"]}
    assert models == {"upload"}


@pytest.mark.parametrize("frame", [
    pd.DataFrame({"income": [52_000, 61_000], "debt": [12_000.0, 3_000.5], "sex": ["f", "m"]}),
    pd.DataFrame({"income": [52_000, 61_000], "debt": [12_000.0, 3_000.0]}),   # common dtype float64
    pd.DataFrame({"a": [1, 2], "b": [3, 4]}),
    pd.DataFrame({"flag": [True, False], "name": ["é", "日本"], "x": [None, 1.5]}),
], ids=["mixed", "numeric", "ints", "text-bool-null"])
def test_verify_rehashes_rows_like_persisted_results(sqlite_live, frame):
    c = sqlite_live.client()
    pid = c.pipeline("tracked")
    rows = [[f"app-{i}", "risk", 7, 0.5, hashlib.sha256(frame.iloc[i].to_json().encode("utf-8")).hexdigest()]
            for i in range(len(frame))]
    rows.append(["app-none", "risk", 0, None, None])
    c.ok("POST", "/v1/store/results", {"batch_id": "r1", "pipeline_id": pid, "results": rows})
    for i in range(len(frame)):
        row = json.loads(frame.iloc[i].to_json())        # the row's values as a client posts them
        out = c.ok("POST", "/v1/results/verify", {"pipeline_id": pid, "row_key": f"app-{i}", "row": row})
        assert (out["scheme"], out["verdict"]) == ("row_json", "intact"), (row, out)
        changed = dict(row)
        key = next(iter(changed))
        changed[key] = "changed"
        out = c.ok("POST", "/v1/results/verify", {"pipeline_id": pid, "row_key": f"app-{i}", "row": changed})
        assert out["verdict"] == "tampered"
    out = c.ok("POST", "/v1/results/verify", {"pipeline_id": pid, "row_key": "app-none", "row": {}})
    assert out["verdict"] == "no stored hash" and out["stored_hash"] is None
    missing = c.post("/v1/results/verify", {"pipeline_id": pid, "row_key": "nobody", "row": {}})
    assert missing.status == 404
