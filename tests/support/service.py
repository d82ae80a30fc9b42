"""A programmable JSON-over-HTTP service on 127.0.0.1 for tests.

``ServiceServer`` is a real ``http.server.ThreadingHTTPServer`` bound to
127.0.0.1 on a free port (port 0), served from a daemon thread. It stands in
for the hosted service: it records every request and answers with programmed
responses.

Recording
    ``server.requests`` is a list of ``RecordedRequest`` (method, path, query,
    headers, raw body bytes, decoded JSON body or None), in arrival order.
    ``server.requests_for(method, path_prefix)`` filters it. ``clear()``
    forgets recorded requests (programmed responses stay).

Programming responses
    ``server.respond(method, path_prefix, status=200, json=..., text=None,
    body=None, delay=0.0, times=None, headers=None)``: requests whose method
    matches (``"*"`` matches any) and whose path starts with ``path_prefix``
    get this answer. Give exactly one of ``json`` (any JSON value, ``None``
    included, sent as ``application/json``), ``text`` (sent as UTF-8
    ``text/plain``) or ``body`` (raw bytes). ``delay`` sleeps that many
    seconds before answering. ``times`` limits how many requests the rule
    answers (None: unlimited). The longest matching prefix wins; among rules
    with the same prefix the latest registration wins. ``reset()`` drops all
    rules.

Defaults (when no rule matches)
    ``POST /v1/pipelines`` answers ``{"pipeline_id": <id>}`` from an
    allocator counting up from ``first_pipeline_id`` (default 1); the ids
    handed out are listed in ``server.pipeline_ids``. Every other request
    answers 200 with ``{"ok": true}``.

Use
    The ``service`` pytest fixture (tests/conftest.py) starts one server per
    test and closes it afterwards::

        def test_x(service):
            service.respond("POST", "/v1/nodes", status=500, text="boom")
            ...
            assert service.requests_for("POST", "/v1/nodes")[0].json == [...]

    ``ServiceServer`` is also a context manager for use outside pytest.
"""

from __future__ import annotations

import http.server
import json as _json
import threading
import time
from dataclasses import dataclass, field
from typing import Any, Optional
from urllib.parse import urlsplit

__all__ = ["RecordedRequest", "ServiceServer", "free_port"]

_UNSET = object()


@dataclass
class RecordedRequest:
    method: str
    path: str
    query: str
    headers: dict  # header name (as sent) -> value
    body: bytes
    json: Any  # decoded JSON body, or None when the body is empty or not JSON
    json_error: Optional[str] = None

    def header(self, name: str) -> Optional[str]:
        """Header value by case-insensitive name."""
        low = name.lower()
        for k, v in self.headers.items():
            if k.lower() == low:
                return v
        return None


@dataclass
class _Rule:
    method: str
    prefix: str
    status: int
    payload: bytes
    content_type: str
    delay: float
    times: Optional[int]
    headers: dict = field(default_factory=dict)
    seq: int = 0


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server: "_Server"

    def log_message(self, format, *args):  # keep test output quiet
        pass

    def _handle(self):
        owner = self.server.owner
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        decoded, err = None, None
        if body:
            try:
                decoded = _json.loads(body.decode("utf-8"))
            except (ValueError, UnicodeDecodeError) as e:
                err = str(e)
        parts = urlsplit(self.path)
        rec = RecordedRequest(
            method=self.command,
            path=parts.path,
            query=parts.query,
            headers=dict(self.headers.items()),
            body=body,
            json=decoded,
            json_error=err,
        )
        status, payload, ctype, delay, extra = owner._answer(rec)
        if delay:
            time.sleep(delay)
        try:
            self.send_response(status)
            self.send_header("Content-Type", ctype)
            self.send_header("Content-Length", str(len(payload)))
            for k, v in extra.items():
                self.send_header(k, v)
            self.end_headers()
            self.wfile.write(payload)
        except (BrokenPipeError, ConnectionResetError):  # client gave up (time-out)
            pass

    do_GET = do_POST = do_PATCH = do_PUT = do_DELETE = _handle


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    owner: "ServiceServer"


class ServiceServer:
    """See the module docstring."""

    def __init__(self, first_pipeline_id: int = 1):
        self._lock = threading.Lock()
        self._rules: list[_Rule] = []
        self._seq = 0
        self._next_pipeline_id = first_pipeline_id
        self.pipeline_ids: list[int] = []
        self.requests: list[RecordedRequest] = []
        self._httpd = _Server(("127.0.0.1", 0), _Handler)
        self._httpd.owner = self
        self.host, self.port = self._httpd.server_address[:2]
        self.url = f"http://{self.host}:{self.port}"
        self._thread = threading.Thread(
            target=self._httpd.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True
        )
        self._thread.start()

    # -- programming ------------------------------------------------------
    def respond(self, method: str, path_prefix: str, status: int = 200, json: Any = _UNSET,
                text: Optional[str] = None, body: Optional[bytes] = None, delay: float = 0.0,
                times: Optional[int] = None, headers: Optional[dict] = None) -> None:
        given = (json is not _UNSET) + (text is not None) + (body is not None)
        if given > 1:
            raise ValueError("give only one of json, text or body")
        if text is not None:
            payload, ctype = text.encode("utf-8"), "text/plain; charset=utf-8"
        elif body is not None:
            payload, ctype = bytes(body), "application/octet-stream"
        else:
            value = {"ok": True} if json is _UNSET else json
            payload, ctype = _json.dumps(value).encode("utf-8"), "application/json"
        with self._lock:
            self._seq += 1
            self._rules.append(_Rule(method.upper(), path_prefix, int(status), payload, ctype,
                                     float(delay), times, dict(headers or {}), self._seq))

    def reset(self) -> None:
        with self._lock:
            self._rules.clear()

    def clear(self) -> None:
        with self._lock:
            self.requests.clear()

    # -- inspection -------------------------------------------------------
    def requests_for(self, method: Optional[str] = None, path_prefix: str = "") -> list[RecordedRequest]:
        with self._lock:
            return [r for r in self.requests
                    if (method is None or r.method == method.upper()) and r.path.startswith(path_prefix)]

    def url_for(self, path: str) -> str:
        return self.url + path

    # -- answering (server threads) ---------------------------------------
    def _answer(self, rec: RecordedRequest):
        with self._lock:
            self.requests.append(rec)
            best = None
            for rule in self._rules:
                if rule.method not in ("*", rec.method) or not rec.path.startswith(rule.prefix):
                    continue
                if rule.times is not None and rule.times <= 0:
                    continue
                if best is None or (len(rule.prefix), rule.seq) > (len(best.prefix), best.seq):
                    best = rule
            if best is not None:
                if best.times is not None:
                    best.times -= 1
                return best.status, best.payload, best.content_type, best.delay, best.headers
            if rec.method == "POST" and rec.path == "/v1/pipelines":
                pid = self._next_pipeline_id
                self._next_pipeline_id += 1
                self.pipeline_ids.append(pid)
                value = {"pipeline_id": pid}
            else:
                value = {"ok": True}
            return 200, _json.dumps(value).encode("utf-8"), "application/json", 0.0, {}

    # -- lifetime ---------------------------------------------------------
    def close(self) -> None:
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join(timeout=5)

    def __enter__(self) -> "ServiceServer":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def free_port() -> int:
    """A port on 127.0.0.1 that nothing listens on (bound, then closed)."""
    import socket

    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
    finally:
        s.close()
