"""Helpers for the tracked-frame tests.

Stand-ins for the persistence package's record types and writer, and a
tracker whose node hand-over goes to the fake writer.
"""
import dataclasses
import sys
import types
from typing import Any, Optional

from corvanti.utilities import tessel32_dag as M


def series_class(monkeypatch):
    return M.DAGTrackedSeries


@dataclasses.dataclass
class StoredRowValue:
    pipeline_id: Any
    row_index: int
    fingerprint: int
    node_operation: str
    value: Optional[float] = None
    column_name: Optional[str] = None
    tenant_id: Optional[str] = None
    text_value: Optional[str] = None


def fake_persistence(monkeypatch):
    """Stand-in persistence package providing the stored record types."""
    pkg = types.ModuleType("corvanti.utilities.persistence")
    storage = types.ModuleType("corvanti.utilities.persistence.storage")
    storage.StoredRowValue = StoredRowValue
    pkg.storage = storage
    monkeypatch.setitem(sys.modules, "corvanti.utilities.persistence", pkg)
    monkeypatch.setitem(sys.modules, "corvanti.utilities.persistence.storage", storage)


class FakeWriter:
    def __init__(self):
        self.row_batches = []
        self.nodes = []

    def write_row_values(self, rows):
        self.row_batches.append(list(rows))

    def __bool__(self):
        return True


class WriterTracker(M.DAGTracker):
    """A tracker whose node hand-over goes to a fake writer's list."""

    def _persist_node(self, node):
        self._writer.nodes.append(node)
