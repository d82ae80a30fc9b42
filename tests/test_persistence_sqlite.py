"""SQLiteStorage and HostedStorage's URL forms, on real SQLite files."""
import os
import sqlite3
import threading

import pytest

from corvanti.utilities.persistence import (HostedStorage, SQLiteStorage, StorageError, StoredEdge, StoredNode,
                                            StoredRowValue, default_database_path)


def node(fp, pid, op="neg", **kw):
    return StoredNode(fingerprint=fp, node_type=kw.pop("node_type", "UNARY"), operation=op,
                      table_name=kw.pop("table_name", None), column_name=kw.pop("column_name", None),
                      pair_id=kw.pop("pair_id", None), is_protected=kw.pop("is_protected", False),
                      pipeline_id=pid, **kw)


@pytest.fixture
def store(tmp_path):
    s = SQLiteStorage(tmp_path / "sub" / "lineage.db")
    s.connect()
    yield s
    s.disconnect()


def test_connect_creates_file_schema_and_wal(store, tmp_path):
    assert (tmp_path / "sub" / "lineage.db").exists()
    con = sqlite3.connect(tmp_path / "sub" / "lineage.db")
    assert con.execute("PRAGMA journal_mode").fetchone()[0] == "wal"
    tables = {r[0] for r in con.execute("SELECT name FROM sqlite_master WHERE type='table'")}
    assert {"pipelines", "sources", "nodes", "edges", "row_values", "results", "dashboard_syncs",
            "ingested_batches"} <= tables
    assert con.execute("SELECT value FROM schema_info WHERE key='version'").fetchone() == ("1",)
    store.connect()  # a second connect (schema again) changes nothing
    store.disconnect()
    store.disconnect()  # idempotent


def test_pipeline_lifecycle_and_failed_stays_failed(store):
    a = store.create_pipeline(pipeline_name="credit", config={"k": 1}, git_commit="abc", tenant_id="t1")
    b = store.create_pipeline("other")
    assert isinstance(a, int) and b == a + 1
    p = store.get_pipeline(a)
    assert (p["name"], p["status"], p["tenant_id"], p["config"], p["git_commit"]) == ("credit", "running", "t1",
                                                                                      '{"k": 1}', "abc")
    assert p["started_at"].endswith("Z") and p["finished_at"] is None
    store.complete_pipeline(a, status="failed")
    store.complete_pipeline(a, status="completed")
    store.complete_pipeline(b, "completed")
    assert store.get_pipeline(a)["status"] == "failed"
    assert store.get_pipeline(b)["status"] == "completed" and store.get_pipeline(b)["finished_at"]
    with pytest.raises(ValueError, match="unknown status 'done'"):
        store.complete_pipeline(b, "done")


def test_nodes_first_wins_per_pipeline_and_fingerprint(store):
    p1, p2 = store.create_pipeline("a"), store.create_pipeline("b")
    meta = {"how": "left", "nan": float("nan")}
    assert store.store_nodes([node(5, p1, "first", metadata=meta), node(5, p1, "second"), node(5, p2, "third"),
                              node(2**32 - 1, p1, entity_hash=255, chain_hash=63)]) == 3
    rows = store.query("SELECT pipeline_id, fingerprint, operation, metadata, entity_hash FROM nodes ORDER BY id")
    assert [r[:3] for r in rows] == [(p1, 5, "first"), (p2, 5, "third"), (p1, 2**32 - 1, "neg")]
    assert rows[0][3].startswith('{"how": "left"') and rows[2][4] == 255
    fmap = store.get_fingerprint_node_map(p1)
    assert set(fmap) == {5, 2**32 - 1} and fmap.get(123) is None
    assert store.get_fingerprint_node_map(p2)[5] != fmap[5]


def test_edges_resolved_by_id_and_by_fingerprint(store):
    pid = store.create_pipeline("e")
    store.store_nodes([node(fp, pid) for fp in (10, 11, 12)])
    ids = store.get_fingerprint_node_map(pid)
    missing = max(ids.values()) + 100
    assert store.store_edges_resolved([(ids[10], ids[12], 0), (ids[11], ids[12], 1), (ids[10], ids[12], 0),
                                       (missing, ids[12], 2), (ids[10], missing, 0)]) == 2
    # by fingerprint: an edge whose node is missing is dropped, duplicates ignored
    edges = [StoredEdge(parent_fingerprint=11, child_fingerprint=12, input_position=1),
             StoredEdge(parent_fingerprint=12, child_fingerprint=10, input_position=0),
             StoredEdge(parent_fingerprint=99, child_fingerprint=10, input_position=0)]
    assert store.store_edges(edges, pid) == 1
    rows = store.query("SELECT pipeline_id, parent_node_id, child_node_id, input_position FROM edges ORDER BY id")
    assert rows == [(pid, ids[10], ids[12], 0), (pid, ids[11], ids[12], 1), (pid, ids[12], ids[10], 0)]


def test_results_replace_and_row_values_append(store):
    pid = store.create_pipeline("r")
    store.store_results(pid, [("a1", "score", 7, 0.5, "h"), ("a2", "score", 8, None, None)])
    store.store_results(pid, [("a1", "score", 9, float("nan"), "h2")])
    assert store.query("SELECT row_key, fingerprint, value, input_hash FROM results ORDER BY row_key") == [
        ("a1", 9, None, "h2"), ("a2", 8, None, None)]
    vals = [StoredRowValue(pipeline_id=pid, row_index=i, fingerprint=i, node_operation="t.c", value=float(i),
                           column_name="c", tenant_id="x", text_value=None) for i in range(3)]
    vals.append(StoredRowValue(pipeline_id=pid, row_index=3, fingerprint=3, node_operation="t.c", value=None,
                               text_value="abc"))
    store.store_row_values(vals)
    store.store_row_values(vals[:1])
    assert store.counts(pid)["row_values"] == 5
    assert store.query("SELECT value, text_value FROM row_values WHERE row_index = 3") == [(None, "abc")]


@pytest.mark.parametrize("bad,match", [
    ([node(1, None)], "StoredNode.pipeline_id is required"),
    ([node("x", 1)], "StoredNode.fingerprint must be an integer"),
    ([object()], "pipeline_id"),
])
def test_bad_records_raise_before_anything_is_written(store, bad, match):
    store.create_pipeline("x")
    with pytest.raises((TypeError, ValueError, AttributeError), match=match):
        store.store_nodes([node(1, 1)] + bad)
    assert store.counts()["nodes"] == 0


def test_sources_upsert_per_tenant_table_column(store):
    pid = store.create_pipeline("s")
    store.register_source(1, "t", "c", is_protected=False)
    store.register_source(2, "t", "c", True)
    store.register_source(3, "t", "d")
    assert store.query("SELECT tenant_id, pipeline_id, pair_id, column_name, is_protected FROM sources "
                       "ORDER BY column_name") == [("default", pid, 2, "c", 1), ("default", pid, 3, "d", 0)]


def test_dashboard_sync_recorded(store):
    payload = {"pipeline": {"pipeline_name": "credit", "provenance_pipeline_id": 1},
               "model": {"model_id": "credit"},
               "fairness": {"model_id": "credit", "has_disparate_impact": True,
                            "protected_attributes": ["a.gender"]}}
    store.store_dashboard_sync(payload)
    assert store.query("SELECT pipeline_name, model_id, has_disparate_impact, protected_attributes "
                       "FROM dashboard_syncs") == [("credit", "credit", 1, '["a.gender"]')]


def test_a_closed_store_raises_storage_error(tmp_path):
    s = SQLiteStorage(tmp_path / "x.db")
    with pytest.raises(StorageError, match="not open"):
        s.create_pipeline("x")


def test_a_file_that_is_not_a_database(tmp_path):
    bad = tmp_path / "bad.db"
    bad.write_bytes(b"this is not sqlite" * 100)
    with pytest.raises(StorageError, match="not a database"):
        SQLiteStorage(bad).connect()


# ---- HostedStorage URLs -------------------------------------------------------

def test_empty_url_uses_the_default_database_under_xdg_data_home(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_DATA_HOME", str(tmp_path / "xdg"))
    assert default_database_path() == tmp_path / "xdg" / "corvanti" / "lineage.db"
    h = HostedStorage(api_url="", api_key="local", tenant_id="default")
    h.connect()
    pid = h.create_pipeline(pipeline_name="credit", config=None, git_commit=None, tenant_id=None)
    h.disconnect()
    assert h.database_path == str(tmp_path / "xdg" / "corvanti" / "lineage.db")
    con = sqlite3.connect(h.database_path)
    assert con.execute("SELECT id, tenant_id, name FROM pipelines").fetchall() == [(pid, "default", "credit")]


def test_default_path_without_xdg_is_under_home(monkeypatch, tmp_path):
    monkeypatch.delenv("XDG_DATA_HOME")
    monkeypatch.setenv("HOME", str(tmp_path))
    assert default_database_path() == tmp_path / ".local" / "share" / "corvanti" / "lineage.db"


@pytest.mark.parametrize("form", ["sqlite:///{abs}", "sqlite:{rel}"])
def test_sqlite_urls(tmp_path, monkeypatch, form):
    monkeypatch.chdir(tmp_path)
    url = form.format(abs=tmp_path / "a.db", rel="rel.db")
    h = HostedStorage(api_url=url, api_key="k", tenant_id="t")
    h.connect()
    h.create_pipeline("x")
    h.disconnect()
    expected = tmp_path / ("a.db" if "abs" in form else "rel.db")
    assert os.path.realpath(h.database_path) == os.path.realpath(expected) and expected.exists()


@pytest.mark.parametrize("url", ["ftp://host/x", "file:///tmp/x.db", "postgres://db/x", "mailto:a@b"])
def test_other_schemes_raise_value_error_before_any_io(url, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    scheme = url.split(":")[0]
    with pytest.raises(ValueError, match=f"unsupported URL scheme '{scheme}'"):
        HostedStorage(api_url=url, api_key="k", tenant_id="t")
    assert list(tmp_path.iterdir()) == []


def test_sqlite_url_without_a_path():
    with pytest.raises(ValueError, match="names no database file"):
        HostedStorage(api_url="sqlite://", api_key="k")


# ---- concurrency: threads and processes on one file ---------------------------

def _write_run(path, name, n):
    s = SQLiteStorage(path)
    s.connect()
    pid = s.create_pipeline(name)
    for start in range(0, n, 250):
        s.store_nodes([node(fp, pid) for fp in range(start, start + 250)])
        s.store_row_values([StoredRowValue(pipeline_id=pid, row_index=i, fingerprint=i, node_operation="op",
                                           value=1.0) for i in range(start, start + 250)])
    s.complete_pipeline(pid)
    s.disconnect()
    return pid


def test_two_threads_on_one_file_lose_nothing(tmp_path):
    path = tmp_path / "shared.db"
    errors, pids = [], []

    def run(name):
        try:
            pids.append(_write_run(path, name, 5000))
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=run, args=(f"t{i}",)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    s = SQLiteStorage(path)
    s.connect()
    for pid in pids:
        c = s.counts(pid)
        assert (c["nodes"], c["row_values"]) == (5000, 5000)
    s.disconnect()


def test_two_processes_on_one_file_lose_nothing(tmp_path):
    import subprocess
    import sys

    path = tmp_path / "shared.db"
    code = """
import sys
from test_persistence_sqlite import _write_run
print(_write_run(sys.argv[1], sys.argv[2], 20000))
"""
    import corvanti
    import pathlib

    pkg_parent = str(pathlib.Path(corvanti.__file__).resolve().parent.parent)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([pkg_parent, str(pathlib.Path(__file__).parent)]))
    procs = [subprocess.Popen([sys.executable, "-c", code, str(path), f"p{i}"], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, env=env) for i in range(2)]
    outs = [p.communicate(timeout=120) for p in procs]
    assert [p.returncode for p in procs] == [0, 0], [o[1] for o in outs]
    assert not any("locked" in o[1] for o in outs)
    s = SQLiteStorage(path)
    s.connect()
    for out, _ in outs:
        c = s.counts(int(out.strip()))
        assert (c["nodes"], c["row_values"]) == (20000, 20000)
    s.disconnect()


def test_a_record_that_empties_the_list_being_stored_cannot_crash(store):
    pid = store.create_pipeline("evil")
    nodes = []

    class Evil:
        node_type, operation, table_name, column_name, pair_id, is_protected = "UNARY", "x", None, None, None, False
        entity_hash = chain_hash = metadata = None
        pipeline_id = pid

        @property
        def fingerprint(self):
            nodes.clear()  # drops the other records' last references but for ours
            return 1

    nodes.extend([Evil(), node(2, pid), node(3, pid)])
    assert store.store_nodes(nodes) == 3 and nodes == []
