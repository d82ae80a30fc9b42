"""The real corvanti service for tests: fixtures and a small JSON client.

Fixtures (imported by tests/conftest.py):

``pg_server``     one throwaway PostgreSQL server per session (skips with the
                  reason when none can be started)
``db_url``        a fresh database, parametrized: a SQLite file, and a new
                  database on ``pg_server``
``live``          the service over ``db_url`` in a thread of the test process,
                  on a free port of 127.0.0.1 (``LiveService``)
``sqlite_live``   the same over a SQLite file only

``LiveService.client(tenant)`` makes a key for the tenant and returns an
``ApiClient`` that sends it.
"""

from __future__ import annotations

import itertools
import json as _json
import os
import urllib.error
import urllib.request
from dataclasses import dataclass
from typing import Any, Optional

import pytest

from support.postgres import PostgresServer

_UNSET = object()
_db_numbers = itertools.count()


@dataclass
class Answer:
    status: int
    body: bytes
    headers: dict

    @property
    def json(self) -> Any:
        return _json.loads(self.body.decode("utf-8"))

    @property
    def text(self) -> str:
        return self.body.decode("utf-8", "replace")


class ApiClient:
    def __init__(self, url: str, key: Optional[str] = None):
        self.url = url
        self.key = key

    def request(self, method: str, path: str, body: Any = _UNSET, *, raw: Optional[bytes] = None,
                headers: Optional[dict] = None, key: Any = _UNSET) -> Answer:
        key = self.key if key is _UNSET else key
        data = raw if raw is not None else (None if body is _UNSET else _json.dumps(body).encode("utf-8"))
        h = {"Content-Type": "application/json", "Accept": "application/json"}
        if key is not None:
            h["Authorization"] = f"Bearer {key}"
        h.update(headers or {})
        req = urllib.request.Request(self.url + path, data=data, method=method, headers=h)
        try:
            with urllib.request.urlopen(req, timeout=60) as resp:
                return Answer(resp.status, resp.read(), dict(resp.headers.items()))
        except urllib.error.HTTPError as err:
            return Answer(err.code, err.read(), dict(err.headers.items()))

    def get(self, path: str, **kw) -> Answer:
        return self.request("GET", path, **kw)

    def post(self, path: str, body: Any = _UNSET, **kw) -> Answer:
        return self.request("POST", path, body, **kw)

    def patch(self, path: str, body: Any = _UNSET, **kw) -> Answer:
        return self.request("PATCH", path, body, **kw)

    def ok(self, method: str, path: str, body: Any = _UNSET) -> Any:
        """The JSON answer of a request that must succeed."""
        ans = self.request(method, path, body)
        assert 200 <= ans.status < 300, (ans.status, ans.text)
        return ans.json

    def pipeline(self, name: str = "p") -> int:
        return self.ok("POST", "/v1/pipelines", {"pipeline_name": name})["pipeline_id"]


class LiveService:
    def __init__(self, db_url: str, **options):
        from corvanti.service import run_in_thread

        self.db_url = db_url
        self.url, self._stop = run_in_thread(db_url, **options)
        self.backend = "sqlite" if db_url.startswith("sqlite") else "postgresql"

    def key(self, tenant: str) -> str:
        from corvanti.service import create_key

        return create_key(self.db_url, tenant)

    def client(self, tenant: str = "team-a") -> ApiClient:
        return ApiClient(self.url, self.key(tenant))

    def anonymous(self) -> ApiClient:
        return ApiClient(self.url)

    def stop(self) -> None:
        self._stop()


@pytest.fixture(scope="session")
def pg_server():
    pytest.importorskip("fastapi")
    reason = PostgresServer.unavailable()
    if reason:
        pytest.skip(reason)
    server = PostgresServer().start()
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture(params=["sqlite", "postgresql"])
def db_url(request, tmp_path):
    pytest.importorskip("fastapi")
    if request.param == "sqlite":
        return f"sqlite:///{tmp_path}/lineage.db"
    pg = request.getfixturevalue("pg_server")
    return pg.create_database(f"corvanti_{os.getpid()}_{next(_db_numbers)}")


@pytest.fixture
def live(db_url):
    service = LiveService(db_url)
    try:
        yield service
    finally:
        service.stop()


@pytest.fixture
def sqlite_live(tmp_path):
    pytest.importorskip("fastapi")
    service = LiveService(f"sqlite:///{tmp_path}/lineage.db")
    try:
        yield service
    finally:
        service.stop()
