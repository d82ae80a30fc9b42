"""HostedStorage over HTTP against a real storage service on 127.0.0.1."""
import socket
import time

import pytest

from corvanti.utilities.persistence import (AsyncWriter, HostedStorage, StorageError, StoredEdge, StoredNode,
                                            StoredRowValue, WriterConfig)
from support.storage_service import StorageService


@pytest.fixture
def svc(tmp_path):
    s = StorageService(tmp_path / "service.db", api_key="k")
    yield s
    s.close()


def node(fp, pid):
    return StoredNode(fingerprint=fp, node_type="BINARY", operation="add", table_name=None, column_name=None,
                      pair_id=None, is_protected=False, entity_hash=1, chain_hash=2, metadata={"a": 1},
                      pipeline_id=pid)


@pytest.mark.parametrize("suffix", ["", "/", "///"])
def test_whole_protocol_round_trip(svc, suffix):
    h = HostedStorage(api_url=svc.url + suffix, api_key="k", tenant_id="default")
    h.connect()
    pid = h.create_pipeline(pipeline_name="credit", config={"x": 1}, git_commit="abc", tenant_id=None)
    assert isinstance(pid, int)
    h.register_source(1, "applicants", "gender", is_protected=True)
    assert h.store_nodes([node(fp, pid) for fp in (1, 2, 3)] + [node(1, pid)]) == 3
    fmap = h.get_fingerprint_node_map(pid)
    assert set(fmap) == {1, 2, 3}
    assert h.store_edges_resolved([(fmap[1], fmap[3], 0), (fmap[2], fmap[3], 1)]) == 2
    assert h.store_edges([StoredEdge(parent_fingerprint=1, child_fingerprint=2, input_position=0)], pid) == 1
    h.store_row_values([StoredRowValue(pipeline_id=pid, row_index=0, fingerprint=1, node_operation="op",
                                       value=float("nan"), text_value=None)])
    h.store_results(pid, [("a1", "score", 3, 0.25, "h" * 64)])
    h.complete_pipeline(pid, status="failed")
    h.complete_pipeline(pid, status="completed")
    h.disconnect()
    st = svc.store
    assert st.counts(pid) == {"nodes": 3, "edges": 3, "row_values": 1, "results": 1, "sources": 1, "pipelines": 1}
    assert st.get_pipeline(pid)["status"] == "failed"
    assert st.query("SELECT value FROM row_values") == [(None,)]
    paths = [p for _, p, _ in svc.requests]
    assert all("//v1" not in p for p in paths)
    batch_ids = [b for _, _, b in svc.requests if b]
    assert len(batch_ids) == len(set(batch_ids)) == 5


def test_lost_answer_is_retried_with_the_same_batch_id_and_stored_once(svc):
    h = HostedStorage(api_url=svc.url, api_key="k", tenant_id="default")
    pid = h.create_pipeline("x")
    svc.lose_answers(1)
    h.store_row_values([StoredRowValue(pipeline_id=pid, row_index=i, fingerprint=i, node_operation="op")
                        for i in range(10)])
    posts = [b for m, p, b in svc.requests if p == "/v1/store/row-values"]
    assert len(posts) == 2 and posts[0] == posts[1]
    assert svc.store.counts(pid)["row_values"] == 10


def test_server_errors_are_retried_then_reported(svc):
    h = HostedStorage(api_url=svc.url, api_key="k", tenant_id="default")
    pid = h.create_pipeline("x")
    svc.fail_next(2, status=503)
    h.store_nodes([node(1, pid)])  # third attempt succeeds
    svc.fail_next(5, status=500)
    with pytest.raises(StorageError, match=r"HTTP 500 from .*/v1/store/nodes: .*injected failure"):
        h.store_nodes([node(2, pid)])
    # the writer's retry of the very same records reuses the failed batch id
    h.store_nodes([node(2, pid)])
    ids = [b for m, p, b in svc.requests if p == "/v1/store/nodes"]
    assert len(set(ids[-4:])) == 1
    assert svc.store.counts(pid)["nodes"] == 2


def test_unknown_key_is_a_clear_401_without_retries(svc):
    h = HostedStorage(api_url=svc.url, api_key="wrong", tenant_id="default")
    with pytest.raises(StorageError, match=r"HTTP 401 from .*/v1/pipelines: .*unknown API key"):
        h.create_pipeline("x")
    assert len(svc.requests) == 1


def test_connection_refused_and_timeout(svc):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    h = HostedStorage(api_url=f"http://127.0.0.1:{port}", api_key="k", tenant_id="default")
    with pytest.raises(StorageError, match="cannot reach http://127.0.0.1"):
        h.create_pipeline("x")
    slow = HostedStorage(api_url=svc.url, api_key="k", tenant_id="default")
    slow.backend.timeout, slow.backend.attempts = 0.2, 2
    svc.delay = 1.0
    t0 = time.monotonic()
    with pytest.raises(StorageError, match="cannot reach"):
        slow.create_pipeline("x")
    assert time.monotonic() - t0 < 3


def test_missing_api_key_fails_at_connect(svc):
    with pytest.raises(ValueError, match="API key"):
        HostedStorage(api_url=svc.url, api_key="", tenant_id="default").connect()


def test_writer_through_http_with_transient_failures_loses_nothing(svc):
    h = HostedStorage(api_url=svc.url, api_key="k", tenant_id="default")
    h.connect()
    pid = h.create_pipeline("stream")
    w = AsyncWriter(h, WriterConfig(batch_size=100, flush_interval=0.05, queue_size=1000))
    assert not w.is_native
    w.start()
    svc.fail_next(4, status=502)
    svc.lose_answers(2)
    for i in range(300):
        w.write_node(node(i, pid))
        if i:
            w.write_edges([StoredEdge(parent_fingerprint=i - 1, child_fingerprint=i, input_position=0)])
    w.write_row_values([StoredRowValue(pipeline_id=pid, row_index=i, fingerprint=i, node_operation="op",
                                       value=1.0) for i in range(300)])
    assert w.flush(timeout=60) is True
    w.stop()
    c = svc.store.counts(pid)
    assert (c["nodes"], c["edges"], c["row_values"]) == (300, 299, 300)
