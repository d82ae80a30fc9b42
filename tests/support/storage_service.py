"""A real storage service on 127.0.0.1 for tests: the storage endpoints of
docs/service-api.md implemented over a real ``SQLiteStorage``.

``StorageService(db_path, api_key="k")`` serves from a daemon thread;
``url`` is its base URL. Batches are idempotent by ``batch_id`` (checked and
recorded under one lock with the write, so a retried batch is stored once).

Faults for tests:
    ``fail_next(n, status=503)``: the next n requests answer that status
    without writing; ``lose_answers(n)``: the next n batch writes are stored
    but the connection is closed without an answer (the client sees a
    failure and retries); ``delay``: seconds to sleep before each answer.
``requests``: (method, path, batch_id or None) of every request.
"""

from __future__ import annotations

import datetime
import http.server
import json
import re
import threading

from corvanti.utilities.persistence.storage import SQLiteStorage, StoredEdge, StoredNode, StoredRowValue

__all__ = ["StorageService"]


def _now() -> str:
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%fZ")


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, format, *args):
        pass

    def _send(self, status, value):
        payload = json.dumps(value).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        self.wfile.write(payload)

    def _handle(self):
        svc: StorageService = self.server.owner
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length) if length else b""
        try:
            body = json.loads(raw) if raw else None
        except ValueError as e:
            return self._send(400, {"error": f"invalid JSON: {e}"})
        batch_id = body.get("batch_id") if isinstance(body, dict) else None
        with svc.lock:
            svc.requests.append((self.command, self.path, batch_id))
            fault = svc._take_fault()
        if svc.delay:
            import time
            time.sleep(svc.delay)
        if fault is not None:
            return self._send(fault, {"error": "injected failure"})
        if self.headers.get("Authorization") != f"Bearer {svc.api_key}":
            return self._send(401, {"error": "missing or unknown API key"})
        try:
            status, answer, lose = svc._dispatch(self.command, self.path, body, batch_id)
        except (KeyError, TypeError, ValueError) as e:
            return self._send(400, {"error": f"malformed body: {e}"})
        if lose:
            self.close_connection = True
            self.connection.shutdown(2)
            return
        self._send(status, answer)

    do_GET = do_POST = do_PATCH = _handle


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


class StorageService:
    def __init__(self, db_path, api_key: str = "k", tenant_id: str = "default"):
        self.api_key = api_key
        self.store = SQLiteStorage(db_path, tenant_id)
        self.store.connect()
        self.lock = threading.Lock()
        self.requests: list[tuple] = []
        self.delay = 0.0
        self._faults: list[int] = []
        self._lose = 0
        self._httpd = _Server(("127.0.0.1", 0), _Handler)
        self._httpd.owner = self
        self.url = "http://%s:%d" % self._httpd.server_address[:2]
        self._thread = threading.Thread(target=self._httpd.serve_forever, kwargs={"poll_interval": 0.05},
                                        daemon=True)
        self._thread.start()

    def fail_next(self, n: int, status: int = 503) -> None:
        with self.lock:
            self._faults.extend([status] * n)

    def lose_answers(self, n: int) -> None:
        with self.lock:
            self._lose += n

    def _take_fault(self):
        return self._faults.pop(0) if self._faults else None

    def _pipeline_exists(self, pid) -> bool:
        return bool(self.store.query("SELECT 1 FROM pipelines WHERE id = ?", [int(pid)]))

    def _dispatch(self, method, path, body, batch_id):
        st = self.store
        if method == "POST" and path == "/v1/pipelines":
            pid = st.create_pipeline(body["pipeline_name"], body.get("config"), body.get("git_commit"))
            return 200, {"pipeline_id": pid}, False
        m = re.fullmatch(r"/v1/pipelines/(\d+)", path)
        if method == "PATCH" and m:
            pid = int(m.group(1))
            if not self._pipeline_exists(pid):
                return 404, {"error": "unknown pipeline"}, False
            st.complete_pipeline(pid, body["status"])
            return 200, {"pipeline_id": pid, "status": st.get_pipeline(pid)["status"]}, False
        if method == "POST" and path == "/v1/sources":
            st.register_source(body["pair_id"], body["table_name"], body["column_name"], body["is_protected"])
            return 200, {"ok": True}, False
        if method == "POST" and path == "/v1/dashboard/sync":
            st.store_dashboard_sync(body)
            return 200, {"ok": True}, False
        m = re.fullmatch(r"/v1/store/pipelines/(\d+)/fingerprints", path)
        if method == "GET" and m:
            pid = int(m.group(1))
            if not self._pipeline_exists(pid):
                return 404, {"error": "unknown pipeline"}, False
            fps = st.get_fingerprint_node_map(pid)
            return 200, {"pipeline_id": pid, "fingerprints": sorted([k, v] for k, v in fps.items())}, False
        writers = {
            "/v1/store/nodes": lambda b: st.store_nodes([StoredNode(**n) for n in b["nodes"]]),
            "/v1/store/edges": lambda b: st.store_edges([StoredEdge(**e) for e in b["edges"]], b["pipeline_id"]),
            "/v1/store/edges-resolved": lambda b: st.store_edges_resolved([tuple(r) for r in b["edges"]]),
            "/v1/store/row-values": lambda b: st.store_row_values([StoredRowValue(**v) for v in b["values"]]),
            "/v1/store/results": lambda b: st.store_results(b["pipeline_id"], [tuple(r) for r in b["results"]]),
        }
        if method == "POST" and path in writers:
            if not isinstance(batch_id, str) or not batch_id:
                return 422, {"error": "batch_id is required"}, False
            with self.lock:  # the check, the write and the record of the id as one step
                if st.query("SELECT 1 FROM ingested_batches WHERE batch_id = ?", [batch_id]):
                    return 200, {"stored": 0, "duplicate": True}, False
                stored = writers[path](body)
                st._db.execute("INSERT INTO ingested_batches (batch_id, tenant_id, kind, received_at) "
                               "VALUES (?, ?, ?, ?)", [batch_id, st.tenant_id, path.rsplit("/", 1)[1], _now()])
                lose = self._lose > 0
                if lose:
                    self._lose -= 1
            return 200, {"stored": stored, "duplicate": False}, lose
        return 404, {"error": f"no endpoint {method} {path}"}, False

    def close(self) -> None:
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join(timeout=5)
        self.store.disconnect()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False
