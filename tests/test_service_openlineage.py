"""The service's OpenLineage endpoint: a tracked pipeline's events posted by
corvanti.openlineage.emit, stored once, linked to the pipeline, kept per
tenant and shown on the dashboard."""

import copy
import re

import pytest

pytest.importorskip("fastapi")

import corvanti.openlineage as ol  # noqa: E402
from support.corvanti_service import LiveService  # noqa: E402
from support.openlineage_check import check_event, credit_pipeline, lineage_of  # noqa: E402

NS = "corvanti://credit"
PATH = "/api/v1/lineage"


def _events(pipeline_id=None, job_name=None):
    t, apps, merged, score = credit_pipeline()
    if pipeline_id is not None:
        t._pipeline_id = pipeline_id
    return t.openlineage_events(NS, job_name=job_name, outputs={"features": apps, "scores": {"score": score}})


def _page(client, path):
    ans = client.get(path, headers={"Cookie": f"corvanti_key={client.key}", "Accept": "text/html"})
    assert ans.status == 200, (ans.status, ans.text[:500])
    return ans.text


def test_pipeline_events_are_stored_once_linked_and_kept_per_tenant(live):
    a, b = live.client("team-a"), live.client("team-b")
    first = a.pipeline("credit-demo")
    newer = a.pipeline("credit-demo")          # the same name: the run facet's id must win over the name
    events = _events(pipeline_id=first)
    assert events[1]["run"]["facets"][ol.TAINT_FACET_NAME]["pipelineId"] == first
    for event in events:
        check_event(event)

    assert ol.emit(events, live.url, api_key=a.key) == [201, 201]
    assert ol.emit(events, live.url + "/", api_key=a.key) == [200, 200]      # retried: stored once
    again = a.post(PATH, events[1])
    assert again.status == 200 and again.json["duplicate"] is True and again.json["pipeline_id"] == first

    got = a.ok("GET", f"/v1/pipelines/{first}/openlineage")
    assert got["total"] == 2 and [e["event_type"] for e in got["events"]] == ["START", "COMPLETE"]
    assert {e["run_id"] for e in got["events"]} == {events[0]["run"]["runId"]}
    assert all(e["pipeline_id"] == first and e["job_name"] == "credit-demo" for e in got["events"])
    stored = got["events"][1]["event"]
    assert stored["outputs"] == events[1]["outputs"] and stored["run"] == events[1]["run"]
    assert lineage_of(stored, "features", "dti") == {("applicants", "debt"): ["TRANSFORMATION"],
                                                     ("applicants", "income"): ["TRANSFORMATION"]}
    assert a.ok("GET", f"/v1/pipelines/{newer}/openlineage") == {"total": 0, "events": []}
    assert a.ok("GET", "/v1/openlineage/unlinked")["total"] == 0

    # Another tenant sees nothing of team-a's, and its copy of the run is its own (unlinked: the id is not its).
    assert b.get(f"/v1/pipelines/{first}/openlineage").status == 403
    assert b.ok("GET", "/v1/openlineage/unlinked") == {"total": 0, "events": []}
    assert ol.emit(events, live.url, api_key=b.key) == [201, 201]
    mine = b.ok("GET", "/v1/openlineage/unlinked")
    assert mine["total"] == 2 and all(e["pipeline_id"] is None for e in mine["events"])
    assert a.ok("GET", f"/v1/pipelines/{first}/openlineage")["total"] == 2
    assert a.ok("GET", "/v1/openlineage/unlinked")["total"] == 0


@pytest.mark.parametrize("case", ["job name", "no such pipeline", "foreign id", "unknown id"])
def test_events_without_a_known_pipeline_id_link_by_job_name_or_not_at_all(live, case):
    a, b = live.client("team-a"), live.client("team-b")
    older = a.pipeline("nightly")
    newest = a.pipeline("nightly")
    foreign = b.pipeline("nightly")
    pipeline_id, job = {"job name": (None, "nightly"), "no such pipeline": (None, "weekly"),
                        "foreign id": (foreign, "weekly"), "unknown id": (10**12, "nightly")}[case]
    events = _events(pipeline_id=pipeline_id, job_name=job)
    answers = [a.post(PATH, e) for e in events]
    assert [x.status for x in answers] == [201, 201]
    expected = None if job == "weekly" else newest
    assert [x.json["pipeline_id"] for x in answers] == [expected, expected]
    assert a.ok("GET", f"/v1/pipelines/{older}/openlineage")["total"] == 0
    assert a.ok("GET", "/v1/openlineage/unlinked")["total"] == (2 if expected is None else 0)
    assert b.ok("GET", f"/v1/pipelines/{foreign}/openlineage")["total"] == 0


def test_the_same_instant_written_differently_is_one_event(sqlite_live):
    c = sqlite_live.client()
    event = _events()[0]
    event["eventTime"] = "2026-12-09T03:00:00.5Z"
    assert c.post(PATH, event).status == 201
    event["eventTime"] = "2026-12-09T04:00:00.500+01:00"
    event["run"]["runId"] = event["run"]["runId"].upper()
    assert c.post(PATH, event).json["duplicate"] is True
    event["eventType"] = "COMPLETE"
    assert c.post(PATH, event).status == 201
    assert c.ok("GET", "/v1/openlineage/unlinked")["total"] == 2


def _bad(mutate):
    event = copy.deepcopy(_BASE)
    mutate(event)
    return event


_BASE = {
    "eventType": "START", "eventTime": "2026-12-09T01:00:00Z", "producer": "https://example.test/p",
    "schemaURL": "https://openlineage.io/spec/2-0-2/OpenLineage.json#/$defs/RunEvent",
    "run": {"runId": "0192f1b4-7d1e-7c3a-9a7e-4b8c2d5e6f70"}, "job": {"namespace": "ns", "name": "job"},
    "inputs": [{"namespace": "ns", "name": "in", "facets": {}}], "outputs": [],
}


@pytest.mark.parametrize("mutate, where", [
    (lambda e: e.pop("eventType"), "eventType"),
    (lambda e: e.update(eventType="DONE"), "eventType"),
    (lambda e: e.pop("eventTime"), "eventTime"),
    (lambda e: e.update(eventTime="yesterday"), "eventTime"),
    (lambda e: e.update(eventTime="2026-12-09T01:00:00"), "eventTime"),      # no UTC offset
    (lambda e: e.update(eventTime="0001-01-01T00:00:00+01:00"), "eventTime"),  # before year 1 in UTC
    (lambda e: e["run"].update(runId="run-1"), "run.runId"),
    (lambda e: e.pop("run"), "run"),
    (lambda e: e["job"].pop("name"), "job.name"),
    (lambda e: e["job"].update(namespace=""), "job.namespace"),
    (lambda e: e["job"].update(name="a\x00b"), "job.name"),
    (lambda e: e.pop("producer"), "producer"),
    (lambda e: e.pop("schemaURL"), "schemaURL"),
    (lambda e: e.update(inputs={"namespace": "ns", "name": "in"}), "inputs"),
    (lambda e: e["inputs"][0].pop("name"), "inputs.0.name"),
    (lambda e: e["inputs"][0].update(facets=[1]), "inputs.0.facets"),
    (lambda e: e.update(outputs=[{"name": "out"}]), "outputs.0.namespace"),
])
def test_malformed_events_are_refused_with_the_field_named(sqlite_live, mutate, where):
    c = sqlite_live.client()
    ans = c.post(PATH, _bad(mutate))
    assert ans.status == 422, ans.text
    assert ans.json["error"].startswith(f"invalid request: {where}"), ans.json
    assert c.ok("GET", "/v1/openlineage/unlinked")["total"] == 0


def test_extra_keys_are_kept_and_bad_json_auth_and_size_are_refused(tmp_path):
    service = LiveService(f"sqlite:///{tmp_path}/small.db", max_body_bytes=4096)
    try:
        c = service.client()
        event = _bad(lambda e: e.update(custom={"any": [1, "x"]}, inputs=[{"namespace": "ns", "name": "in",
                                                                          "inputFacets": {"x": {"y": 1}}}]))
        assert c.post(PATH, event).status == 201
        (stored,) = c.ok("GET", "/v1/openlineage/unlinked")["events"]
        assert stored["event"]["custom"] == {"any": [1, "x"]}
        assert stored["event"]["inputs"][0]["inputFacets"] == {"x": {"y": 1}}

        bad = c.post(PATH, raw=b'{"eventType": "START",')
        assert bad.status == 400 and bad.json["error"].startswith("malformed JSON body")
        big = c.post(PATH, _bad(lambda e: e["job"].update(description="x" * 5000)))
        assert big.status == 413 and "4096" in big.json["error"]
        for key in (None, "cvk_unknown"):
            ans = c.post(PATH, _BASE, key=key)
            assert ans.status == 401 and {k.lower(): v for k, v in ans.headers.items()}.get("www-authenticate") == "Bearer" and ans.json["error"]
        assert len(c.ok("GET", "/v1/openlineage/unlinked")["events"]) == 1
    finally:
        service.stop()


def test_pipeline_page_lists_the_events_with_their_column_lineage(live):
    a, b = live.client("team-a"), live.client("team-b")
    pid = a.pipeline("credit-demo")
    ol.emit(_events(pipeline_id=pid), live.url, api_key=a.key)
    html = _page(a, f"/dashboard/pipelines/{pid}")
    section = html.split('id="openlineage-events"', 1)[1].split("</table>", 1)[0]
    assert section.count("<tr>") == 3 and "START" in section and "COMPLETE" in section
    items = {m.group(1): m.group(2) for m in re.finditer(r"<li><code>([^<]*)</code> ← (.*?)</li>", section)}
    assert sorted(re.findall(r"<code>([^<]*)</code>", items["features.dti"])) == ["applicants.debt",
                                                                                 "applicants.income"]
    assert "TRANSFORMATION" in items["features.dti"] and "IDENTITY" in items["features.income"]
    assert {"applicants.age", "applicants.savings", "bureau.regional_default_rate"} <= set(
        re.findall(r"<code>([^<]*)</code>", items["scores.score"]))
    assert ">applicants</span>" in section and ">bureau</span>" in section
    other = _page(b, "/dashboard/openlineage")
    assert 'id="unlinked-events-empty"' in other and "credit-demo" not in other


def test_markup_in_names_is_escaped_on_both_pages(sqlite_live):
    c = sqlite_live.client()
    evil = '<script>alert("x")</script>'
    pid = c.pipeline(evil)
    for job, run in ((evil, "0192f1b4-7d1e-7c3a-9a7e-4b8c2d5e6f71"), ("other", "0192f1b4-7d1e-7c3a-9a7e-4b8c2d5e6f72")):
        event = _bad(lambda e: (e["job"].update(name=job, namespace=evil), e["run"].update(runId=run)))
        event["outputs"] = [{"namespace": evil, "name": evil, "facets": {"columnLineage": {"fields": {
            evil: {"inputFields": [{"namespace": "ns", "name": "<b>t</b>", "field": "<i>c</i>",
                                    "transformations": [{"type": "DIRECT", "subtype": "<u>X</u>"}]}]},
            "bad": "not an object"}}}}]
        assert c.post(PATH, event).status == 201
    for path in (f"/dashboard/pipelines/{pid}", "/dashboard/openlineage"):
        html = _page(c, path)
        assert "<script>" not in html and "<b>t</b>" not in html and "<u>X</u>" not in html
        assert "&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;" in html and "&lt;b&gt;t&lt;/b&gt;.&lt;i&gt;c&lt;/i&gt;" in html
