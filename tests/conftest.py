"""Shared fixtures.

``service``: a programmable JSON service on 127.0.0.1 (tests/support/service.py),
one per test. Every test runs with XDG_DATA_HOME in a temporary folder, so the
default lineage database never lands in the real home.
"""

import pathlib
import sys

import pytest

# The tests run in importlib mode, which does not put tests/ on sys.path;
# the shared helpers live in tests/support.
_HERE = str(pathlib.Path(__file__).resolve().parent)
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)

from support.service import ServiceServer  # noqa: E402


@pytest.fixture(autouse=True)
def _private_data_home(tmp_path_factory, monkeypatch):
    """The per-user default lineage database lives under a temporary
    XDG_DATA_HOME, never in the real home."""
    monkeypatch.setenv("XDG_DATA_HOME", str(tmp_path_factory.mktemp("xdg-data")))


@pytest.fixture
def service():
    server = ServiceServer()
    try:
        yield server
    finally:
        server.close()


# The real corvanti service (tests/support/corvanti_service.py).
from support.corvanti_service import db_url, live, pg_server, sqlite_live  # noqa: E402,F401
