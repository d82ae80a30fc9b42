"""Persistence of a tracker's lineage: stored records, storage backends and the
background writer.

``HostedStorage(api_url, api_key, tenant_id)`` opens the store a tracker writes
to (the embedded SQLite database by default, or the hosted service over
HTTP); ``AsyncWriter(storage, WriterConfig(...))`` streams nodes, edges and
row values to it from one native background thread.
"""

from ._native import StorageError
from .storage import (
    HostedStorage,
    SQLiteStorage,
    StoredEdge,
    StoredNode,
    StoredRowValue,
    default_database_path,
)
from .writer import AsyncWriter, WriterConfig

__all__ = [
    "AsyncWriter",
    "HostedStorage",
    "SQLiteStorage",
    "StorageError",
    "StoredEdge",
    "StoredNode",
    "StoredRowValue",
    "WriterConfig",
    "default_database_path",
]
