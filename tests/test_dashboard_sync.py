"""The dashboard sync after a flush, against a real HTTP service on 127.0.0.1
(and a recording persistence package for the storage side)."""
import json
import logging
import socket
import threading
import urllib.request

import pytest

from corvanti.utilities.tessel32_dag import DAGTracker, NodeType
from support import persist_standin
from support.service import free_port

LOGGER = "corvanti.utilities.tessel32_dag"
PATH = "/v1/dashboard/sync"


@pytest.fixture
def pst(monkeypatch):
    return persist_standin.install(monkeypatch)


def run(url, key="key-1", name="credit", build=None):
    t = DAGTracker(api_key=key, service_url=url, pipeline_name=name)
    if build:
        build(t)
    assert t.flush() is True
    assert t._dashboard_synced is True
    return t


def protected_graph(t):
    g = t.register("apps", "gender", True)
    a = t.register("apps", "age", True)
    i = t.register("apps", "income", False)
    s1 = t.create_source_node("apps", "gender", t.encode({g}, entity=0, chain=0, taint=True, depth=0))
    s2 = t.create_source_node("apps", "income", t.encode({i}, entity=0, chain=0, taint=False, depth=0))
    s3 = t.create_source_node("apps", "age", t.encode({a}, entity=0, chain=0, taint=True, depth=0))
    t.log_binary("mul", s1, s2, 5)
    t.log_unary("neg", s3, 6)
    # the same column again, a protected node without a table
    t._nodes[99] = t.get_node(s1)
    t._create_node(NodeType.UNARY, "x", [], 0, is_protected=True)


def payload(name="credit", nodes=0, edges=0, pid=1, labels=(), protected=False):
    pn = name or "unnamed_pipeline"
    return {
        "pipeline": {"pipeline_name": pn, "status": "completed", "node_count": nodes, "edge_count": edges,
                     "provenance_pipeline_id": pid},
        "model": {"model_id": pn, "name": name or "Unnamed Pipeline", "version": "1.0", "status": "production",
                  "domain": "credit"},
        "fairness": {"model_id": pn, "has_disparate_impact": protected, "protected_attributes": list(labels),
                     "details": {"node_count": nodes, "edge_count": edges, "protected_sources": list(labels)}},
    }


@pytest.mark.parametrize("suffix", ["", "/", "///"])
def test_posts_the_summary_once_with_exact_bytes(pst, service, suffix):
    t = run(service.url + suffix, build=protected_graph)
    (req,) = service.requests_for("POST")
    assert req.path == PATH and req.query == ""
    assert req.header("Authorization") == "Bearer key-1" and req.header("Content-Type") == "application/json"
    want = payload(nodes=t._nodes_written, edges=t._edges_written, labels=["apps.gender", "apps.age"], protected=True)
    assert req.body == json.dumps(want).encode("utf-8")
    assert t._nodes_written == 6 and t._edges_written == 3
    t.flush()
    assert len(service.requests_for("POST")) == 1  # once per pipeline


def test_a_base_path_is_kept(pst, service):
    run(service.url + "/api//")
    assert [r.path for r in service.requests] == ["/api" + PATH]


def test_unnamed_pipeline_and_no_bulk_write(pst, service):
    t = DAGTracker(api_key="k", service_url=service.url)
    t._pipeline_id = 0  # no storage pipeline: no bulk write, counts stay 0
    t.flush()
    (req,) = service.requests
    assert req.json == payload(name=None, pid=0)
    assert "\\u00e9" in json.dumps({"x": "\u00e9"})  # the encoder's defaults escape non-ASCII


def test_non_ascii_names_are_escaped(pst, service):
    run(service.url, name="kr\u00e9dit \u2014 \U0001f600")
    body = service.requests[0].body
    assert body.isascii() and b"kr\\u00e9dit \\u2014 \\ud83d\\ude00" in body


@pytest.mark.parametrize("url, key", [("", "k"), ("http://127.0.0.1:1", None)])
def test_no_url_or_no_key_sends_nothing(pst, caplog, url, key):
    t = DAGTracker(api_key="k", service_url=url)
    t._api_key = key
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        assert t.flush() is True
    assert caplog.records == [] and t._dashboard_synced is True


def warnings_of(caplog):
    return [r.getMessage() for r in caplog.records if r.name == LOGGER and r.levelno == logging.WARNING]


def test_401_logs_one_warning_and_flush_succeeds(pst, service, caplog):
    service.respond("POST", PATH, status=401, json={"error": "bad key"})
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        run(service.url)
    assert warnings_of(caplog) == ["Dashboard sync failed (non-fatal): HTTP Error 401: Unauthorized"]


def test_server_error_and_connection_refused(pst, service, caplog):
    service.respond("POST", PATH, status=503, text="later")
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        run(service.url)
        run(f"http://127.0.0.1:{free_port()}")
    w = warnings_of(caplog)
    assert len(w) == 2 and w[0].endswith("HTTP Error 503: Service Unavailable")
    assert w[1].startswith("Dashboard sync failed (non-fatal): <urlopen error") and "refused" in w[1]


def test_connection_dropped_without_an_answer(pst, caplog):
    srv = socket.socket()
    srv.bind(("127.0.0.1", 0))
    srv.listen(1)

    def drop():
        conn, _ = srv.accept()
        conn.recv(65536)
        conn.close()

    th = threading.Thread(target=drop, daemon=True)
    th.start()
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        run(f"http://127.0.0.1:{srv.getsockname()[1]}")
    th.join(5)
    srv.close()
    (w,) = warnings_of(caplog)
    assert w.startswith("Dashboard sync failed (non-fatal): ") and "closed" in w


def test_time_out_after_the_ten_seconds(pst, service, caplog, monkeypatch):
    # The request is sent with timeout=10; the test shortens the wait the
    # real client does with it, against a server that answers too late.
    seen = []
    real = urllib.request.urlopen

    def urlopen(req, timeout):
        seen.append(timeout)
        return real(req, timeout=0.2)

    monkeypatch.setattr(urllib.request, "urlopen", urlopen)
    service.respond("POST", PATH, delay=1.0)
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        run(service.url)
    assert seen == [10]
    assert warnings_of(caplog) == ["Dashboard sync failed (non-fatal): timed out"]


@pytest.mark.parametrize("url", ["ftp://127.0.0.1/x", "file:///etc/passwd", "localhost:8080", "127.0.0.1", "data:,x"])
def test_other_schemes_are_never_opened(pst, caplog, monkeypatch, url):
    def urlopen(*a, **k):
        raise AssertionError("opened")

    monkeypatch.setattr(urllib.request, "urlopen", urlopen)
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        run(url)
    (w,) = warnings_of(caplog)
    assert w.startswith("Dashboard sync failed (non-fatal): service URL")
    assert "http, https or sqlite" in w and ("sqlite:", "store_dashboard_sync") not in pst.methods()


@pytest.mark.parametrize("url, path", [("sqlite:///tmp/lineage.db", "/tmp/lineage.db"),
                                       ("sqlite:relative.db", "relative.db"),
                                       ("SQLite:///abs/x.db/", "/abs/x.db")])
def test_sqlite_url_records_the_summary_in_that_database(pst, url, path):
    t = run(url, build=protected_graph)
    assert pst.sqlite_paths == [path]
    calls = [(m, a) for w, m, a, k in pst.calls if w == "sqlite"]
    want = payload(nodes=t._nodes_written, edges=t._edges_written, labels=["apps.gender", "apps.age"],
                   protected=True)
    assert calls == [("connect", ()), ("store_dashboard_sync", (want,)), ("disconnect", ())]
    assert list(calls[1][1][0]) == ["pipeline", "model", "fairness"]


def test_sqlite_failure_is_a_warning_and_still_disconnects(pst, caplog):
    pst.fail[("sqlite", "store_dashboard_sync")] = OSError("disk full")
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        run("sqlite:///tmp/x.db")
    assert warnings_of(caplog) == ["Dashboard sync failed (non-fatal): disk full"]
    assert [m for w, m, a, k in pst.calls if w == "sqlite"][-1] == "disconnect"


def test_unserialisable_payload_reaches_the_caller(pst, service):
    t = DAGTracker(api_key="k", service_url=service.url)
    t._pipeline_id = object()
    t._nodes_persisted = True
    with pytest.raises(TypeError, match="not JSON serializable"):
        t.flush()
    assert t._dashboard_synced is False and service.requests == []
