"""The service's database: URL parsing, engines, schema creation, transactions.

One schema serves both engines: ``corvanti/utilities/persistence/schema.sql``,
the file the embedded SQLite store creates, so ``corvanti serve --db
sqlite:///path`` reads what a tracker wrote into that file. On PostgreSQL the
same statements run with three type words translated (64-bit ids and
integers, double-precision reals); nothing else differs.

SQLite writers are serialised twice: in this process by a lock (a waiting
request sleeps on it instead of polling SQLite's busy handler), across
processes by ``BEGIN IMMEDIATE`` with a 30 s busy timeout, so a tracker
writing the same file meanwhile is waited for, not failed.
"""

from __future__ import annotations

import contextlib
import os
import pathlib
import re
import threading
from datetime import datetime, timezone
from typing import Iterator

from sqlalchemy import create_engine, event, select
from sqlalchemy.dialects import postgresql as pg_dialect
from sqlalchemy.dialects import sqlite as sqlite_dialect
from sqlalchemy.engine import URL, Connection, Engine, make_url

from corvanti.service import tables as T

#: The one schema file, shared with the embedded store.
SCHEMA_PATH = pathlib.Path(__file__).resolve().parent.parent / "utilities" / "persistence" / "schema.sql"
SCHEMA_VERSION = "1"

_SQLITE_BUSY_MS = 30_000
# Connections: at least as many as the server's worker threads (40), so a
# request never waits for a connection that a busy thread holds.
_POOL, _OVERFLOW = 20, 25
# Any fixed key: serialises concurrent schema creation by several services.
_PG_SCHEMA_LOCK = 0x636F7276


def now_iso() -> str:
    """The current UTC time as stored: "2026-12-09T01:47:14.123456Z"."""
    return datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%fZ")


def default_database_path() -> pathlib.Path:
    """Where the embedded store keeps its file when no path is given."""
    base = os.environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local", "share")
    return pathlib.Path(base) / "corvanti" / "lineage.db"


def default_database_url() -> str:
    return "sqlite:///" + str(default_database_path()).lstrip("/")


def parse_database_url(url: str) -> URL:
    """A database URL as given on the command line, as a SQLAlchemy URL.

    ``sqlite:///abs/path.db`` names ``/abs/path.db`` and ``sqlite:rel.db`` a
    path relative to the working directory, as for the embedded store;
    ``postgresql://`` (or ``postgres://``) uses psycopg 3.
    """
    if not isinstance(url, str) or not url:
        raise ValueError("database URL must be a non-empty string, e.g. sqlite:///path/lineage.db")
    low = url.lower()
    if low.startswith("sqlite:"):
        rest = url[len("sqlite:"):]
        if rest.startswith("//"):
            rest = rest[2:]
            rest = "/" + rest.lstrip("/") if rest.startswith("/") else rest
        if rest in ("", ":memory:", "/:memory:"):
            raise ValueError("an in-memory SQLite database cannot be shared by the service; give a file path")
        return URL.create("sqlite+pysqlite", database=str(pathlib.Path(rest).expanduser()))
    for prefix in ("postgresql+psycopg://", "postgresql://", "postgres://"):
        if low.startswith(prefix):
            return make_url("postgresql+psycopg://" + url[len(prefix):])
    scheme = url.split(":", 1)[0]
    raise ValueError(f"unsupported database URL scheme {scheme!r}: use sqlite:///path or postgresql://...")


def schema_statements(dialect: str) -> list[str]:
    """The statements of schema.sql, translated for ``dialect``."""
    text = SCHEMA_PATH.read_text(encoding="utf-8")
    stmts = [s.strip() for s in re.split(r"^\s*;\s*$", text, flags=re.M)]
    stmts = [s for s in stmts if _strip_comments(s)]
    if dialect == "postgresql":
        stmts = [_to_postgresql(s) for s in stmts]
    return stmts


def _strip_comments(stmt: str) -> str:
    return "\n".join(l for l in stmt.splitlines() if not l.strip().startswith("--")).strip()


def _to_postgresql(stmt: str) -> str:
    stmt = re.sub(r"\bINTEGER PRIMARY KEY AUTOINCREMENT\b", "BIGSERIAL PRIMARY KEY", stmt)
    stmt = re.sub(r"\bINTEGER\b", "BIGINT", stmt)
    return re.sub(r"\bREAL\b", "DOUBLE PRECISION", stmt)


class Database:
    """Engine, schema and transactions of one database URL."""

    def __init__(self, url: str, *, create_schema: bool = True):
        self.url = parse_database_url(url)
        self.dialect = "sqlite" if self.url.get_backend_name() == "sqlite" else "postgresql"
        self._write_lock = threading.Lock() if self.dialect == "sqlite" else None
        self.engine: Engine = self._make_engine()
        if create_schema:
            self.create_schema()

    # -- engine -----------------------------------------------------------
    def _make_engine(self) -> Engine:
        if self.dialect == "postgresql":
            return create_engine(self.url, pool_size=_POOL, max_overflow=_OVERFLOW, pool_pre_ping=True)
        path = pathlib.Path(self.url.database)
        path.parent.mkdir(parents=True, exist_ok=True)
        engine = create_engine(self.url, pool_size=_POOL, max_overflow=_OVERFLOW,
                               connect_args={"check_same_thread": False, "timeout": _SQLITE_BUSY_MS / 1000})

        @event.listens_for(engine, "connect")
        def _on_connect(dbapi_conn, _record):
            # Transactions are begun below, so that a writer can ask for IMMEDIATE.
            dbapi_conn.isolation_level = None
            cur = dbapi_conn.cursor()
            cur.execute(f"PRAGMA busy_timeout = {_SQLITE_BUSY_MS}")
            cur.execute("PRAGMA journal_mode = WAL")
            cur.execute("PRAGMA synchronous = NORMAL")
            cur.execute("PRAGMA foreign_keys = ON")
            cur.close()

        @event.listens_for(engine, "begin")
        def _on_begin(conn):
            mode = conn.get_execution_options().get("sqlite_begin", "DEFERRED")
            conn.exec_driver_sql(f"BEGIN {mode}")

        return engine

    def create_schema(self) -> None:
        """Create the tables of schema.sql where missing; check the version."""
        with self.write() as conn:
            if self.dialect == "postgresql":
                conn.exec_driver_sql(f"SELECT pg_advisory_xact_lock({_PG_SCHEMA_LOCK})")
            for stmt in schema_statements(self.dialect):
                conn.exec_driver_sql(stmt)
            version = conn.execute(select(T.schema_info.c.value).where(T.schema_info.c.key == "version")).scalar()
        if version != SCHEMA_VERSION:
            raise RuntimeError(f"database schema version {version!r} is not the supported {SCHEMA_VERSION!r}")

    def close(self) -> None:
        self.engine.dispose()

    # -- transactions ------------------------------------------------------
    @contextlib.contextmanager
    def read(self) -> Iterator[Connection]:
        """A connection for reads; its transaction is rolled back at the end."""
        with self.engine.connect() as conn:
            yield conn

    @contextlib.contextmanager
    def write(self) -> Iterator[Connection]:
        """One write transaction: committed at the end, rolled back on error."""
        lock = self._write_lock
        if lock is not None:
            lock.acquire()
        try:
            with self.engine.connect() as conn:
                if self.dialect == "sqlite":
                    conn = conn.execution_options(sqlite_begin="IMMEDIATE")
                with conn.begin():
                    yield conn
        finally:
            if lock is not None:
                lock.release()

    def insert(self, table):
        """The dialect's INSERT, which has ``on_conflict_do_nothing/update``."""
        mod = pg_dialect if self.dialect == "postgresql" else sqlite_dialect
        return mod.insert(table)

    def display_url(self) -> str:
        return self.url.render_as_string(hide_password=True)
