"""Helpers for the tracked-frame tests.

``series_class(monkeypatch)`` gives the module's DAGTrackedSeries; where the
module does not define it yet, a minimal stand-in with the same constructor
and attributes is put on the module for the duration of the test.
"""
import dataclasses
import sys
import types
from typing import Any, Optional

import numpy as np
import pandas as pd

from corvanti.utilities import tessel32_dag as M


class _StandInSeries(pd.Series):
    _metadata = ["_prov", "_tracker", "_node_ids"]

    def __init__(self, *args, _prov=None, _tracker=None, _node_ids=None, **kwargs):
        super().__init__(*args, **kwargs)
        self._prov = _prov if _prov is not None else np.zeros(len(self), dtype=np.uint32)
        self._tracker = _tracker
        self._node_ids = _node_ids if _node_ids is not None else np.zeros(len(self), dtype=np.int64)

    @property
    def _constructor(self):
        return _StandInSeries


def series_class(monkeypatch):
    if "DAGTrackedSeries" not in vars(M):
        monkeypatch.setattr(M, "DAGTrackedSeries", _StandInSeries, raising=False)
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
