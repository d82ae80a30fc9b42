"""The corvanti service: lineage storage, validation uploads and the dashboard over HTTP.

Needs the ``service`` extra (``pip install 'corvanti[service]'``). From
Python::

    from corvanti.service import create_key, run_in_thread

    key = create_key("sqlite:///tmp/lineage.db", "team-a")
    url, stop = run_in_thread("sqlite:///tmp/lineage.db")   # free loopback port
    ...
    stop()

From the shell: ``corvanti serve`` and ``corvanti keys create``.
"""

from __future__ import annotations

__all__ = ["create_app", "create_key", "run_in_thread", "serve"]


def create_key(db_url: str, tenant: str) -> str:
    """A new API key for ``tenant`` in the database at ``db_url`` (created if missing)."""
    from corvanti.service import auth
    from corvanti.service.db import Database

    db = Database(db_url)
    try:
        return auth.create_key(db, tenant)
    finally:
        db.close()


def __getattr__(name):
    if name == "create_app":
        from corvanti.service.app import create_app

        return create_app
    if name in ("run_in_thread", "serve"):
        from corvanti.service import server

        return getattr(server, name)
    raise AttributeError(f"module 'corvanti.service' has no attribute {name!r}")
