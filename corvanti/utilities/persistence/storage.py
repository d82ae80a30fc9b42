"""Storage backends of the lineage store and the stored record types.

``SQLiteStorage`` is the embedded store (one SQLite file, WAL journal);
``HostedStorage`` picks a backend from its URL: the per-user default database
for the empty URL, a SQLite file for ``sqlite:`` URLs, the hosted service for
``http(s)://`` URLs.
"""

from __future__ import annotations

import datetime as _dt
import json as _json
import os
import pathlib
from typing import Any, Iterable, Optional

from ._native import Database, StorageError, StoredEdge, StoredNode, StoredRowValue

__all__ = [
    "HostedStorage",
    "SQLiteStorage",
    "StorageError",
    "StoredEdge",
    "StoredNode",
    "StoredRowValue",
    "default_database_path",
    "schema_statements",
]

SCHEMA_PATH = pathlib.Path(__file__).with_name("schema.sql")
PIPELINE_STATUSES = ("running", "completed", "failed", "validation_complete")


def schema_statements() -> list[str]:
    """The statements of schema.sql, split at the lines holding only ";"."""
    text = SCHEMA_PATH.read_text(encoding="utf-8")
    out, cur = [], []
    for line in text.splitlines():
        if line.strip() == ";":
            out.append("\n".join(cur))
            cur = []
        else:
            cur.append(line)
    out.append("\n".join(cur))
    return [s for s in out if any(l.strip() and not l.strip().startswith("--") for l in s.splitlines())]


def default_database_path() -> pathlib.Path:
    """The per-user default database: ``$XDG_DATA_HOME/corvanti/lineage.db``,
    else ``~/.local/share/corvanti/lineage.db``."""
    base = os.environ.get("XDG_DATA_HOME", "")
    root = pathlib.Path(base) if base and os.path.isabs(base) else pathlib.Path.home() / ".local" / "share"
    return root / "corvanti" / "lineage.db"


def _utcnow() -> str:
    return _dt.datetime.now(_dt.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%fZ")


def _json_text(value: Any) -> Optional[str]:
    if value is None:
        return None
    return _json.dumps(value, default=str)


def _as_list(records: Iterable) -> list | tuple:
    return records if isinstance(records, (list, tuple)) else list(records)


class SQLiteStorage:
    """The embedded lineage store: one SQLite file (WAL journal, one
    transaction per batch, busy time-out and retries, so several trackers,
    threads or processes can share one file)."""

    def __init__(self, path: str | os.PathLike, tenant_id: Optional[str] = "default"):
        self.path = os.fspath(path)
        self.tenant_id = tenant_id
        self._db = Database(self.path)
        self._pipeline_id: Optional[int] = None

    def __repr__(self) -> str:
        return f"SQLiteStorage({self.path!r})"

    def __enter__(self):
        self.connect()
        return self

    def __exit__(self, *exc):
        self.disconnect()
        return False

    @property
    def is_connected(self) -> bool:
        return self._db.is_open

    # -- the storage protocol ------------------------------------------
    def connect(self) -> None:
        """Open the database, creating the file, its folder and the schema."""
        if self.path not in ("", ":memory:") and not self.path.startswith("file:"):
            pathlib.Path(self.path).parent.mkdir(parents=True, exist_ok=True)
        self._db.open()
        self._db.executescript(schema_statements())
        self._db.set_context(self.tenant_id, self._pipeline_id)

    def disconnect(self) -> None:
        self._db.close()

    def create_pipeline(self, pipeline_name: Optional[str] = None, config: Any = None,
                        git_commit: Optional[str] = None, tenant_id: Optional[str] = None) -> int:
        """Insert a pipeline with status "running"; returns its id."""
        if pipeline_name is None:
            pipeline_name = "unnamed_pipeline"
        if not isinstance(pipeline_name, str):
            raise TypeError(f"create_pipeline: pipeline_name must be a str, got {type(pipeline_name).__name__}")
        tenant = tenant_id if tenant_id is not None else self.tenant_id
        _, pid = self._db.execute(
            "INSERT INTO pipelines (tenant_id, name, status, config, git_commit, started_at) "
            "VALUES (?, ?, 'running', ?, ?, ?)",
            (tenant, pipeline_name, _json_text(config), git_commit, _utcnow()))
        self._pipeline_id = pid
        self._db.set_context(self.tenant_id, pid)
        return pid

    def complete_pipeline(self, pipeline_id: int, status: str = "completed") -> None:
        """Set the status and finish time; a "failed" pipeline stays "failed"."""
        if status not in PIPELINE_STATUSES:
            raise ValueError(f"complete_pipeline: unknown status {status!r} (expected one of {PIPELINE_STATUSES})")
        self._db.execute(
            "UPDATE pipelines SET status = ?, finished_at = ? WHERE id = ? AND status != 'failed'",
            (status, _utcnow(), int(pipeline_id)))

    def register_source(self, pair_id: int, table_name: str, col_name: str, is_protected: bool = False) -> None:
        """Upsert a source column of this storage's tenant."""
        self._db.execute(
            "INSERT INTO sources (tenant_id, pipeline_id, pair_id, table_name, column_name, is_protected) "
            "VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (tenant_id, table_name, column_name) DO UPDATE SET "
            "pipeline_id = excluded.pipeline_id, pair_id = excluded.pair_id, is_protected = excluded.is_protected",
            (self.tenant_id, self._pipeline_id, int(pair_id), str(table_name), str(col_name), bool(is_protected)))

    def store_nodes(self, nodes: Iterable) -> int:
        """Insert nodes, the first per (pipeline, fingerprint) wins; one transaction."""
        return self._db.store_nodes(_as_list(nodes))

    def get_fingerprint_node_map(self, pipeline_id: int) -> dict:
        """dict fingerprint -> node id of one pipeline."""
        return self._db.get_fingerprint_node_map(pipeline_id)

    def store_edges_resolved(self, rows: Iterable) -> int:
        """Insert (parent id, child id, position) rows; duplicates are ignored."""
        return self._db.store_edges_resolved(_as_list(rows))

    def store_results(self, pipeline_id: int, results: Iterable) -> int:
        """Insert (row key, output, fingerprint, value, input hash) rows; a
        repeated (pipeline, row key, output) replaces the earlier row."""
        return self._db.store_results(pipeline_id, _as_list(results))

    def store_edges(self, edges: Iterable, pipeline_id: int) -> int:
        """Insert edges by fingerprint, resolved against the pipeline's nodes
        (an edge whose node is missing is dropped)."""
        return self._db.store_edges(_as_list(edges), pipeline_id)

    def store_row_values(self, values: Iterable) -> int:
        return self._db.store_row_values(_as_list(values))

    def store_dashboard_sync(self, payload: dict) -> int:
        """Record a run summary (the document the dashboard sync posts)."""
        pipeline = payload.get("pipeline") or {}
        model = payload.get("model") or {}
        fairness = payload.get("fairness") or {}
        pid = pipeline.get("provenance_pipeline_id")
        _, row_id = self._db.execute(
            "INSERT INTO dashboard_syncs (tenant_id, provenance_pipeline_id, pipeline_name, model_id, "
            "has_disparate_impact, protected_attributes, payload, received_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
            (self.tenant_id, pid if isinstance(pid, int) else None,
             str(pipeline.get("pipeline_name") or "unnamed_pipeline"),
             str(model.get("model_id") or fairness.get("model_id") or "unnamed_pipeline"),
             bool(fairness.get("has_disparate_impact")),
             _json.dumps(list(fairness.get("protected_attributes") or [])),
             _json.dumps(payload, default=str), _utcnow()))
        return row_id

    # -- reading ---------------------------------------------------------
    def query(self, sql: str, params: tuple | list = ()) -> list[tuple]:
        """Run a read-only query (for reports and tests)."""
        return self._db.query(sql, list(params))

    def counts(self, pipeline_id: Optional[int] = None) -> dict:
        """Rows per table (of one pipeline when given)."""
        out = {}
        where = "" if pipeline_id is None else " WHERE pipeline_id = ?"
        params = [] if pipeline_id is None else [int(pipeline_id)]
        for table in ("nodes", "edges", "row_values", "results", "sources"):
            out[table] = self._db.query(f"SELECT count(*) FROM {table}{where}", params)[0][0]
        pw = "" if pipeline_id is None else " WHERE id = ?"
        out["pipelines"] = self._db.query(f"SELECT count(*) FROM pipelines{pw}", params)[0][0]
        return out

    def get_pipeline(self, pipeline_id: int) -> Optional[dict]:
        rows = self._db.query(
            "SELECT id, tenant_id, name, status, config, git_commit, started_at, finished_at "
            "FROM pipelines WHERE id = ?", [int(pipeline_id)])
        if not rows:
            return None
        keys = ("id", "tenant_id", "name", "status", "config", "git_commit", "started_at", "finished_at")
        return dict(zip(keys, rows[0]))


def _sqlite_path(url: str) -> str:
    rest = url[len("sqlite:"):]
    if rest.startswith("//"):
        rest = rest[2:]  # sqlite:///abs/path -> /abs/path (empty host)
    if not rest:
        raise ValueError(f"HostedStorage: the sqlite: URL {url!r} names no database file")
    return rest


class HostedStorage:
    """The storage a tracker opens: chosen by ``api_url``.

    - ``""``: the per-user default database (:func:`default_database_path`);
    - ``sqlite:///abs/path.db`` or ``sqlite:relative.db``: that SQLite file;
    - ``http://...`` / ``https://...``: the hosted service (JSON over HTTP,
      batches with ids so that retries are stored once);
    - any other scheme: ValueError, before any I/O.
    """

    def __init__(self, api_url: str = "", api_key: Optional[str] = None, tenant_id: Optional[str] = "default"):
        if api_url is None:
            api_url = ""
        if not isinstance(api_url, str):
            raise TypeError(f"HostedStorage: api_url must be a str, got {type(api_url).__name__}")
        self.api_url = api_url
        self.api_key = api_key
        self.tenant_id = tenant_id
        url = api_url.strip()
        scheme = url.split(":", 1)[0].lower() if ":" in url else ""
        if not url:
            self._backend = SQLiteStorage(default_database_path(), tenant_id)
        elif scheme == "sqlite":
            self._backend = SQLiteStorage(_sqlite_path(url), tenant_id)
        elif scheme in ("http", "https"):
            from ._http import HttpStorage

            self._backend = HttpStorage(url, api_key, tenant_id)
        else:
            raise ValueError(
                f"HostedStorage: unsupported URL scheme {scheme or url!r} in {api_url!r} "
                "(expected http, https, sqlite: or the empty URL for the default database)")

    def __repr__(self) -> str:
        return f"HostedStorage({self.api_url!r}, backend={self._backend!r})"

    @property
    def backend(self):
        """The backend this storage writes through (SQLiteStorage or the HTTP client)."""
        return self._backend

    @property
    def database_path(self) -> Optional[str]:
        """The SQLite file for the embedded backends, else None."""
        return self._backend.path if isinstance(self._backend, SQLiteStorage) else None

    def connect(self) -> None:
        self._backend.connect()

    def disconnect(self) -> None:
        self._backend.disconnect()

    def create_pipeline(self, pipeline_name: Optional[str] = None, config: Any = None,
                        git_commit: Optional[str] = None, tenant_id: Optional[str] = None):
        return self._backend.create_pipeline(pipeline_name, config, git_commit, tenant_id)

    def complete_pipeline(self, pipeline_id, status: str = "completed") -> None:
        self._backend.complete_pipeline(pipeline_id, status)

    def register_source(self, pair_id, table_name, col_name, is_protected=False) -> None:
        self._backend.register_source(pair_id, table_name, col_name, is_protected)

    def store_nodes(self, nodes):
        return self._backend.store_nodes(nodes)

    def get_fingerprint_node_map(self, pipeline_id):
        return self._backend.get_fingerprint_node_map(pipeline_id)

    def store_edges_resolved(self, rows):
        return self._backend.store_edges_resolved(rows)

    def store_results(self, pipeline_id, results):
        return self._backend.store_results(pipeline_id, results)

    def store_edges(self, edges, pipeline_id):
        return self._backend.store_edges(edges, pipeline_id)

    def store_row_values(self, values):
        return self._backend.store_row_values(values)

    def store_dashboard_sync(self, payload):
        return self._backend.store_dashboard_sync(payload)


def _native_results_database(storage) -> Optional[Database]:
    """The native connection that ``storage.store_results`` writes into when
    that method is our own SQLiteStorage's (exact types, not shadowed on the
    instance), so the tracker may hand it the rows without Python objects;
    None for anything else."""
    if type(storage) is HostedStorage and "store_results" not in vars(storage):
        storage = storage._backend
    if type(storage) is SQLiteStorage and "store_results" not in vars(storage):
        db = storage._db
        return db if type(db) is Database else None
    return None


def _native_database(storage) -> Optional[Database]:
    """The native connection behind our own storage types (exact types, so
    nothing is overridden), which the writer thread then uses without Python;
    None for anything else."""
    if type(storage) is HostedStorage:
        storage = storage._backend
    if type(storage) is SQLiteStorage:
        return storage._db
    return None
