"""corvanti.openlineage.emit against a real HTTP server on 127.0.0.1."""
import json
import time

import pytest

import corvanti.openlineage as ol
from support.openlineage_check import check_event, credit_pipeline, lineage_of
from support.service import free_port

PATH = "/api/v1/lineage"


def _events():
    t, apps, merged, score = credit_pipeline()
    return t.openlineage_events("corvanti://credit", outputs={"features": apps, "scores": {"score": score}})


def test_pipeline_events_reach_the_endpoint_with_their_column_lineage(service):
    events = _events()
    assert ol.emit(events, service.url, api_key="k-1") == [200, 200]
    got = service.requests_for("POST", PATH)
    assert [r.path for r in got] == [PATH, PATH] and len(service.requests) == 2
    assert [r.json["eventType"] for r in got] == ["START", "COMPLETE"]
    for r in got:
        assert r.header("Content-Type") == "application/json"
        assert r.header("Authorization") == "Bearer k-1"
        check_event(r.json)
    assert [r.json for r in got] == json.loads(json.dumps(events))
    received = got[1].json
    assert lineage_of(received, "features", "dti") == {("applicants", "debt"): ["TRANSFORMATION"],
                                                       ("applicants", "income"): ["TRANSFORMATION"]}
    assert lineage_of(received, "features", "savings_ratio") == {("applicants", "savings"): ["TRANSFORMATION"],
                                                                 ("applicants", "income"): ["TRANSFORMATION"]}


@pytest.mark.parametrize("suffix", ["", "/", PATH, PATH + "/"])
def test_lineage_path_is_added_once_and_a_single_event_is_accepted(service, suffix):
    event = _events()[0]
    assert ol.emit(event, service.url + suffix) == [200]
    (req,) = service.requests
    assert req.path == PATH and req.header("Authorization") is None and req.json == event


@pytest.mark.parametrize("url, scheme", [
    ("file:///etc/passwd", "file"),
    ("ftp://127.0.0.1/x", "ftp"),
    ("FILE:///etc/hosts", "file"),
    ("127.0.0.1:5000", ""),
    ("javascript:alert(1)", "javascript"),
])
def test_other_schemes_are_refused_before_any_io(service, url, scheme):
    with pytest.raises(ValueError) as info:
        ol.emit([{"eventType": "START", "bad": float("nan")}], url)
    assert str(info.value) == f"URL scheme '{scheme}' is not allowed: only http and https URLs are opened"
    assert service.requests == []


def test_https_and_upper_case_http_are_allowed():
    assert ol.lineage_url("HTTPS://lineage.example/") == "HTTPS://lineage.example/api/v1/lineage"
    assert ol.lineage_url("http://h:1/base") == "http://h:1/base/api/v1/lineage"


@pytest.mark.parametrize("status", [400, 404, 500, 503])
def test_non_2xx_answers_raise_with_status_and_the_start_of_the_body(service, status):
    body = "x" * 199 + "#" + "y" * 300
    service.respond("POST", PATH, status=status, text=body)
    with pytest.raises(RuntimeError) as info:
        ol.emit(_events(), service.url)
    msg = str(info.value)
    assert f"answered {status} to event 1 of 2 (START)" in msg
    assert msg.endswith(": " + body[:200]) and "y" not in msg.split(": ", 1)[1]
    assert len(service.requests) == 1  # nothing after the failed event


def test_a_failure_names_the_event_and_earlier_events_stay_delivered(service):
    service.respond("POST", PATH, status=502, json={"error": "upstream"})
    service.respond("POST", PATH, status=201, json={}, times=1)
    with pytest.raises(RuntimeError, match=r"answered 502 to event 2 of 2 \(COMPLETE\): \{\"error\": \"upstream\"\}"):
        ol.emit(_events(), service.url)
    assert [r.json["eventType"] for r in service.requests] == ["START", "COMPLETE"]


def test_redirects_are_not_followed(service):
    service.respond("POST", PATH, status=302, text="moved", headers={"Location": service.url + "/elsewhere"})
    with pytest.raises(RuntimeError, match="answered 302"):
        ol.emit(_events()[:1], service.url)
    assert [r.path for r in service.requests] == [PATH]


def test_time_out(service):
    service.respond("POST", PATH, json={}, delay=3.0)
    began = time.monotonic()
    with pytest.raises(TimeoutError, match=r"did not answer event 1 of 1 \(START\) within 0.3 s"):
        ol.emit(_events()[:1], service.url, timeout=0.3)
    assert time.monotonic() - began < 2.5


def test_unreachable_endpoint():
    with pytest.raises(ConnectionError, match="cannot reach OpenLineage endpoint"):
        ol.emit(_events()[:1], f"http://127.0.0.1:{free_port()}", timeout=5)


@pytest.mark.parametrize("kwargs, exc, match", [
    ({"timeout": 0}, ValueError, "timeout must be a positive number of seconds, got 0"),
    ({"timeout": float("nan")}, ValueError, "timeout must be a positive number"),
    ({"timeout": "5"}, TypeError, "timeout must be a number of seconds, got str"),
    ({"api_key": 5}, TypeError, "api_key must be a str, got int"),
    ({"events": [{"eventType": "START", "x": float("nan")}]}, ValueError, "Out of range float values"),
    ({"events": [object()]}, TypeError, "event 1 must be a dict, got object"),
    ({"url": None}, TypeError, "url must be a str, got NoneType"),
])
def test_bad_arguments_fail_before_any_request(service, kwargs, exc, match):
    args = {"events": [{"eventType": "START"}], "url": service.url, **kwargs}
    with pytest.raises(exc, match=match):
        ol.emit(**args)
    assert service.requests == []
