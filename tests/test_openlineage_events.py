"""OpenLineage run events: DAGTracker.openlineage_events, ComputationDAG.to_openlineage."""
import sys
import uuid

import numpy as np
import pandas as pd
import pytest

import corvanti.openlineage as ol
from corvanti.utilities import tessel32_dag as M
from corvanti.utilities.tessel32 import OpCode, ProvenanceTracker
from support.openlineage_check import check_event, credit_pipeline, lineage_of

NS = "corvanti://credit"
D, T, A = "DIRECT", "TRANSFORMATION", "AGGREGATION"


@pytest.fixture(scope="module")
def pipeline():
    return credit_pipeline()


@pytest.fixture(scope="module")
def events(pipeline):
    t, apps, merged, score = pipeline
    return t.openlineage_events(NS, outputs={"features": apps, "merged": merged, "scores": {"score": score}})


def test_pipeline_run_is_start_then_complete_and_every_event_is_valid_and_parses(events):
    start, end = events
    assert [start["eventType"], end["eventType"]] == ["START", "COMPLETE"]
    assert start["run"]["runId"] == end["run"]["runId"]
    assert uuid.UUID(start["run"]["runId"]).version == 7
    assert start["job"] == end["job"] == {"namespace": NS, "name": "credit-demo"}
    for e in events:
        check_event(e)
    # START announces the datasets; lineage and findings come with the end of the run.
    assert "facets" not in start["run"]
    assert all("columnLineage" not in d["facets"] for d in start["outputs"])
    assert [d["name"] for d in end["inputs"]] == ["applicants", "bureau"]
    assert [d["name"] for d in end["outputs"]] == ["features", "merged", "scores"]


def test_input_schemas_carry_recorded_dtypes(events):
    inputs = {d["name"]: d["facets"]["schema"]["fields"] for d in events[1]["inputs"]}
    assert [f["name"] for f in inputs["applicants"]] == ["income", "debt", "savings", "age", "gender", "region"]
    types = {f["name"]: f["type"] for f in inputs["applicants"]}
    assert types["income"] == "float64" and types["age"] == "int64"
    assert inputs["bureau"] == [{"name": "region", "type": "str" if "str" in types["region"] else types["region"]},
                                {"name": "regional_default_rate", "type": "float64"}]


def test_derived_columns_lineage_by_name(events):
    end = events[1]
    assert lineage_of(end, "features", "dti") == {("applicants", "debt"): [T], ("applicants", "income"): [T]}
    assert lineage_of(end, "features", "savings_ratio") == {("applicants", "savings"): [T],
                                                            ("applicants", "income"): [T]}
    assert lineage_of(end, "features", "age_factor") == {("applicants", "age"): [T]}
    assert lineage_of(end, "features", "income") == {("applicants", "income"): ["IDENTITY"]}
    # A merge carries values unchanged: identity through the join.
    assert lineage_of(end, "merged", "regional_default_rate") == {("bureau", "regional_default_rate"): ["IDENTITY"]}
    assert lineage_of(end, "merged", "dti") == {("applicants", "debt"): [T], ("applicants", "income"): [T]}
    score = lineage_of(end, "scores", "score")
    assert set(score) == {("applicants", c) for c in ("savings", "income", "debt", "age")} | {
        ("bureau", "regional_default_rate")}
    assert all(v == [T] for v in score.values())
    fields = end["outputs"][0]["facets"]["columnLineage"]["fields"]["dti"]["inputFields"]
    assert all(x["type"] == D for f in fields for x in f["transformations"])


def test_taint_findings(pipeline, events):
    t, apps, merged, score = pipeline
    facet = events[1]["run"]["facets"]["corvanti_taintFindings"]
    assert facet["_schemaURL"] == ol.TAINT_FACET_SCHEMA_URL
    assert facet["hasProtected"] is True
    assert {(c["name"], c["field"]) for c in facet["protectedSourceColumns"]} == {("applicants", "age"),
                                                                                 ("applicants", "gender")}
    assert facet["columnTaintRisks"] == {"age": 1.0, "gender": 1.0}
    found = {(c["dataset"], c["field"]): c for c in facet["outputColumns"]}
    assert found[("scores", "score")]["tainted"] is True
    assert found[("scores", "score")]["protectedInputs"] == [{"namespace": NS, "name": "applicants", "field": "age"}]
    assert found[("features", "dti")] == {"dataset": "features", "field": "dti", "tainted": False, "risk": 0.0,
                                          "protectedInputs": []}
    # The risk is the highest risk of the column's values.
    expected = max(ProvenanceTracker.risk_score(int(p)) for p in score._prov)
    assert found[("scores", "score")]["risk"] == pytest.approx(expected) and 0 < expected < 1
    # Node and edge counts are those of the union of the outputs' graphs.
    nodes, edges = {}, set()
    for frame in (apps, merged):
        for ids in frame._col_nodes.values():
            for nid in set(int(i) for i in ids):
                dag = t.get_dag(nid)
                nodes.update(dag.nodes)
                edges |= {(e.source_id, e.target_id, e.input_index) for e in dag.edges}
    for nid in set(int(i) for i in score._node_ids):
        dag = t.get_dag(nid)
        nodes.update(dag.nodes)
        edges |= {(e.source_id, e.target_id, e.input_index) for e in dag.edges}
    assert (facet["nodeCount"], facet["edgeCount"], facet["missingNodeCount"]) == (len(nodes), len(edges), 0)


def _chain(t, kind):
    """One output column whose only source is people.x, reached by `kind`."""
    src = t.create_source_node("people", "x", 7)
    if kind == "identity":
        return [src]
    if kind == "merge":
        return [t.log_unary("merge", src, 7)]
    if kind == "log_merge":
        return [t.log_merge([src], [src], 7)]
    if kind == "transformation":
        return [t.log_binary("mul", t.log_unary("fillna", src, 7), src, 7)]
    if kind == "aggregation":
        return [t.log_unary("merge", t.log_aggregate("sum", [t.log_unary("neg", src, 7)], 7), 7)]
    if kind == "identity+transformation":  # rows differ: row 0 copied, row 1 computed
        return [src, t.log_unary("clip", src, 7)]
    if kind == "transformation+aggregation":
        return [t.log_unary("abs", src, 7), t.log_aggregate("mean", [src], 7)]
    raise AssertionError(kind)


@pytest.mark.parametrize("kind, subtypes", [
    ("identity", ["IDENTITY"]),
    ("merge", ["IDENTITY"]),
    ("log_merge", ["IDENTITY"]),
    ("transformation", [T]),
    ("aggregation", [A]),
    ("identity+transformation", ["IDENTITY", T]),
    ("transformation+aggregation", [T, A]),
])
def test_transformation_classification(kind, subtypes):
    t = M.DAGTracker()
    ids = _chain(t, kind)
    s = M.DAGTrackedSeries([1.0] * len(ids), _tracker=t, _prov=np.full(len(ids), 7, np.uint32),
                           _node_ids=np.array(ids, np.int64))
    events = t.openlineage_events("ns", outputs={"out": {"y": s}})
    assert lineage_of(events[1], "out", "y") == {("people", "x"): subtypes}
    check_event(events[1])


def test_fail_event_when_the_pipeline_failed(pipeline):
    t, apps, _, _ = pipeline
    t._pipeline_status = "failed"
    try:
        start, end = t.openlineage_events(NS, outputs={"features": apps})
    finally:
        del t._pipeline_status
    assert (start["eventType"], end["eventType"]) == ("START", "FAIL")
    check_event(end)
    assert "columnLineage" in end["outputs"][0]["facets"]
    # An explicit outcome wins over the tracker's; a completed status completes.
    t._pipeline_status = "completed"
    try:
        assert t.openlineage_events(NS)[1]["eventType"] == "COMPLETE"
        assert ol.run_events(t, NS, failed=True)[1]["eventType"] == "FAIL"
    finally:
        del t._pipeline_status


@pytest.mark.parametrize("pipeline_id, carried", [(7, 7), (2**63 - 1, 2**63 - 1), (None, None), (0, None),
                                                   (-3, None), (True, None), ("7", None), (2**63, None)])
def test_the_persisted_pipeline_id_is_carried_in_the_taint_facet(pipeline_id, carried):
    t, apps, _, _ = credit_pipeline()
    t._pipeline_id = pipeline_id
    start, end = t.openlineage_events(NS, outputs={"features": apps})
    facet = end["run"]["facets"][ol.TAINT_FACET_NAME]
    assert facet.get("pipelineId") == carried and ("pipelineId" in facet) == (carried is not None)
    assert "facets" not in start["run"]
    check_event(end)


def test_run_id_is_kept_per_pipeline_and_an_explicit_one_is_normalised(pipeline):
    t = pipeline[0]
    first = t.openlineage_events(NS)[0]["run"]["runId"]
    assert t.openlineage_events(NS)[0]["run"]["runId"] == first
    given = "{12345678-1234-5678-1234-567812345678}"
    assert t.openlineage_events(NS, run_id=given)[1]["run"]["runId"] == "12345678-1234-5678-1234-567812345678"
    other = M.DAGTracker()
    assert other.openlineage_events(NS)[0]["run"]["runId"] != first


def test_without_outputs_the_whole_registry_is_reported():
    t, *_ = credit_pipeline(record_dtypes=False)
    start, end = t.openlineage_events("ns", job_name="nightly")
    check_event(end)
    assert end["job"]["name"] == "nightly" and end["outputs"] == []
    facet = end["run"]["facets"]["corvanti_taintFindings"]
    assert facet["nodeCount"] == len(t._nodes)
    assert facet["edgeCount"] == sum(len(n.inputs) for n in t._nodes.values())
    # No recorded dtypes and no outputs to learn them from: names only.
    assert all("type" not in f for d in end["inputs"] for f in d["facets"]["schema"]["fields"])


def test_input_dtypes_learnt_from_identity_outputs_only():
    t, apps, merged, score = credit_pipeline(record_dtypes=False)
    end = t.openlineage_events("ns", outputs={"merged": merged})[1]
    bureau = {f["name"]: f.get("type") for f in end["inputs"][1]["facets"]["schema"]["fields"]}
    assert bureau["regional_default_rate"] == "float64"  # copied through the merge
    applicants = {f["name"]: f.get("type") for f in end["inputs"][0]["facets"]["schema"]["fields"]}
    assert applicants["income"] == "float64"


def test_evicted_ancestors_are_counted_as_missing():
    t = M.DAGTracker()
    t._max_nodes = 20
    node = t.create_source_node("t", "a", 1)
    for _ in range(40):
        node = t.log_unary("neg", node, 1)
    s = M.DAGTrackedSeries([1.0], _tracker=t, _prov=np.array([1], np.uint32), _node_ids=np.array([node], np.int64))
    end = t.openlineage_events("ns", outputs={"o": {"v": s}})[1]
    facet = end["run"]["facets"]["corvanti_taintFindings"]
    assert facet["missingNodeCount"] == 1
    assert "columnLineage" not in end["outputs"][0]["facets"]  # the way back to the source is gone
    check_event(end)


def test_cycles_and_long_chains_terminate():
    t = M.DAGTracker()
    src = t.create_source_node("t", "a", 1)
    nxt = t._next_node_id
    t.log_binary("add", nxt + 1, src, 1)  # input created later ...
    t.log_unary("neg", nxt, 1)  # ... and pointing back: a cycle
    node = src
    for _ in range(30_000):
        node = t.log_unary("neg", node, 1)
    ids = np.array([nxt, nxt + 1, node], np.int64)
    s = M.DAGTrackedSeries([1.0] * 3, _tracker=t, _prov=np.ones(3, np.uint32), _node_ids=ids)
    end = t.openlineage_events("ns", outputs={"o": {"v": s}})[1]
    assert lineage_of(end, "o", "v") == {("t", "a"): [T]}


def test_to_openlineage_for_one_result(pipeline):
    t, _, _, score = pipeline
    dag = M.get_dag_for_series(score, 2)
    start, end = dag.to_openlineage(NS, run_id=str(uuid.uuid4()), dataset="scores", field="score")
    for e in (start, end):
        check_event(e)
    assert end["job"]["name"] == "corvanti_result" and start["run"] == {"runId": end["run"]["runId"]}
    assert [o["name"] for o in end["outputs"]] == ["scores"]
    assert set(lineage_of(end, "scores", "score")) == {("applicants", c) for c in ("savings", "income", "debt", "age")} \
        | {("bureau", "regional_default_rate")}
    facet = end["run"]["facets"]["corvanti_taintFindings"]
    assert (facet["nodeCount"], facet["edgeCount"]) == (len(dag.nodes), len(dag.edges))
    assert facet["columnTaintRisks"] == dag.column_taint_risks()
    assert facet["outputColumns"][0]["risk"] == ProvenanceTracker.risk_score(dag.nodes[dag.root_id].provenance)
    inputs = {d["name"]: sorted(f["name"] for f in d["facets"]["schema"]["fields"]) for d in end["inputs"]}
    assert inputs == {"applicants": ["age", "debt", "income", "savings"], "bureau": ["regional_default_rate"]}


def test_to_openlineage_of_an_unknown_root_is_valid_and_empty():
    dag = M.DAGTracker().get_dag(99)
    end = dag.to_openlineage("ns")[1]
    check_event(end)
    assert end["inputs"] == [] and "columnLineage" not in end["outputs"][0]["facets"]
    facet = end["run"]["facets"]["corvanti_taintFindings"]
    assert (facet["nodeCount"], facet["edgeCount"], facet["missingNodeCount"]) == (0, 0, 1)


@pytest.mark.parametrize("call, exc, message", [
    (lambda t: t.openlineage_events(5), TypeError, "Argument 'namespace' has incorrect type (expected str, got int)"),
    (lambda t: t.openlineage_events("ns", job_name=b"j"), TypeError,
     "Argument 'job_name' has incorrect type (expected str, got bytes)"),
    (lambda t: t.openlineage_events("ns", outputs=[]), TypeError,
     "Argument 'outputs' has incorrect type (expected dict, got list)"),
    (lambda t: t.openlineage_events("ns", None, "not-a-uuid"), ValueError, "run_id must be a UUID, got 'not-a-uuid'"),
    (lambda t: t.openlineage_events(""), ValueError, "namespace must not be empty"),
    (lambda t: t.openlineage_events("ns", outputs={"o": [1]}), TypeError,
     "output 'o' must be a DataFrame or a dict of column name to Series, got list"),
    (lambda t: t.openlineage_events("ns", outputs={"o": {"c": [1]}}), TypeError,
     "output 'o' column 'c' must be a pandas Series, got list"),
    (lambda t: t.openlineage_events("ns", outputs={"o": M.wrap_dataframe_dag(pd.DataFrame({"a": [1]}), M.DAGTracker(),
                                                                            "x")}),
     ValueError, "output 'o' is tracked by another DAGTracker"),
    (lambda t: t.openlineage_events("ns", outputs={"o": pd.DataFrame([[1, 2]], columns=["a", "a"])}), ValueError,
     "output 'o' has the column 'a' twice"),
    (lambda t: t.openlineage_events("ns", 1, 2, 3, 4), TypeError, None),
    (lambda t: t.get_dag(0).to_openlineage("ns", field=1), TypeError,
     "Argument 'field' has incorrect type (expected str, got int)"),
])
def test_argument_errors(call, exc, message):
    t = M.DAGTracker()
    with pytest.raises(exc) as info:
        call(t)
    if message is not None:
        assert str(info.value) == message


def test_untracked_outputs_have_a_schema_but_no_lineage():
    t = M.DAGTracker()
    end = t.openlineage_events("ns", outputs={"plain": pd.DataFrame({"a": [1.5]}), "s": {"b": pd.Series(["x"])}})[1]
    check_event(end)
    assert [d["facets"]["schema"]["fields"] for d in end["outputs"]] == [[{"name": "a", "type": "float64"}],
                                                                        [{"name": "b", "type": str(pd.Series(["x"]).dtype)}]]
    assert end["run"]["facets"]["corvanti_taintFindings"]["outputColumns"] == []


def test_the_exporter_is_imported_at_call_time(monkeypatch):
    t = M.DAGTracker()
    monkeypatch.setitem(sys.modules, "corvanti.openlineage", None)
    with pytest.raises(ImportError):
        t.openlineage_events("ns")
    monkeypatch.undo()
    assert t.openlineage_events("ns")[0]["eventType"] == "START"


def test_events_share_no_objects(events):
    start, end = events
    start["inputs"][0]["facets"]["schema"]["fields"].append({"name": "zzz"})
    assert {"name": "zzz"} not in end["inputs"][0]["facets"]["schema"]["fields"]
    start["inputs"][0]["facets"]["schema"]["fields"].pop()


def test_track_source_wraps_and_records():
    t = M.DAGTracker()
    df = pd.DataFrame({"a": [1, 2], "b": ["x", "y"]})
    w = ol.track_source(df, t, "tbl", protected=["b"])
    assert isinstance(w, M.DAGTrackedDataFrame) and t.is_protected("tbl", "b")
    fields = t.openlineage_events("ns")[0]["inputs"][0]["facets"]["schema"]["fields"]
    assert fields == [{"name": "a", "type": "int64"}, {"name": "b", "type": str(df["b"].dtype)}]
    with pytest.raises(TypeError, match="tracker must be a DAGTracker"):
        ol.record_source_schema(object(), "tbl", df)
    assert OpCode.MERGE  # the op codes the pipeline uses exist


@pytest.mark.parametrize("persisted", [False, True])
def test_a_with_block_left_by_an_exception_exports_a_fail_event(tmp_path, persisted):
    kwargs = {"api_key": "local", "service_url": f"sqlite:///{tmp_path / 'l.db'}"} if persisted else {}
    with pytest.raises(ZeroDivisionError):
        with M.DAGTracker(pipeline_name="credit", **kwargs) as t:
            apps = M.wrap_dataframe_dag(pd.DataFrame({"income": [1.0, 2.0], "debt": [0.5, 0.1]}), t, "apps")
            apps["dti"] = apps["debt"] / apps["income"]
            1 / 0
    start, end = t.openlineage_events(NS, outputs={"features": apps})
    assert (start["eventType"], end["eventType"]) == ("START", "FAIL")
    check_event(end)
    # a clean block completes
    with M.DAGTracker(pipeline_name="credit", **kwargs) as t2:
        M.wrap_dataframe_dag(pd.DataFrame({"income": [1.0]}), t2, "apps")
    assert t2.openlineage_events(NS)[1]["eventType"] == "COMPLETE"
