"""A recording stand-in for ``corvanti.utilities.persistence``.

``install(monkeypatch)`` puts a fake package and its ``.storage`` module into
``sys.modules`` and returns a ``StandIn``: every call the tracker makes on a
storage or writer created through it is appended to ``standin.calls`` as
``(who, method, args, kwargs)`` with ``who`` "storage" or "writer" (storages
handed to the tracker directly record under their own ``name``). Records
(``StoredNode``, ``StoredEdge``, ``StoredRowValue``, ``WriterConfig``) keep
their keyword arguments in call order in ``.kw``.

Failures are programmed with ``standin.fail[(who, method)] = exc``; results
with ``standin.results[(who, method)] = value``.
"""
from __future__ import annotations

import sys
import types
from typing import Any


class Record:
    """A keyword-only record that remembers its keywords in call order."""

    def __init__(self, *args, **kw):
        if args:
            raise TypeError(f"{type(self).__name__} takes keyword arguments only")
        self.kw = dict(kw)
        for k, v in kw.items():
            setattr(self, k, v)

    def __eq__(self, other):
        return type(self) is type(other) and self.kw == other.kw

    def __repr__(self):
        return f"{type(self).__name__}({', '.join(f'{k}={v!r}' for k, v in self.kw.items())})"


class StoredNode(Record):
    pass


class StoredEdge(Record):
    pass


class StoredRowValue(Record):
    pass


class WriterConfig(Record):
    pass


class _Recorder:
    who = "?"

    def __init__(self, standin: "StandIn"):
        self._standin = standin

    def _call(self, method: str, *args, **kwargs) -> Any:
        s = self._standin
        s.calls.append((self.who, method, args, kwargs))
        exc = s.fail.get((self.who, method))
        if exc is not None:
            raise exc
        return s.results.get((self.who, method))


class FakeStorage(_Recorder):
    """Storage protocol; ids for pipelines and nodes count up from 1."""

    who = "storage"

    def __init__(self, standin, **kwargs):
        super().__init__(standin)
        self.init_kwargs = kwargs
        self.fp_ids: dict = {}
        self.next_pipeline = 1

    def connect(self):
        self._call("connect")

    def disconnect(self):
        self._call("disconnect")

    def create_pipeline(self, *args, **kwargs):
        r = self._call("create_pipeline", *args, **kwargs)
        if r is None:
            r, self.next_pipeline = self.next_pipeline, self.next_pipeline + 1
        return r

    def complete_pipeline(self, *args, **kwargs):
        self._call("complete_pipeline", *args, **kwargs)

    def register_source(self, *args, **kwargs):
        self._call("register_source", *args, **kwargs)

    def store_nodes(self, nodes):
        self._call("store_nodes", list(nodes))
        for n in nodes:
            self.fp_ids.setdefault(int(n.fingerprint), 1000 + len(self.fp_ids))

    def get_fingerprint_node_map(self, pipeline_id):
        r = self._call("get_fingerprint_node_map", pipeline_id)
        return dict(self.fp_ids) if r is None else r

    def store_edges_resolved(self, rows):
        self._call("store_edges_resolved", list(rows))

    def store_results(self, pipeline_id, results):
        self._call("store_results", pipeline_id, list(results))

    def store_dashboard_sync(self, payload):
        self._call("store_dashboard_sync", payload)


class FakeWriter(_Recorder):
    who = "writer"

    def __init__(self, standin, storage, config):
        super().__init__(standin)
        self.storage, self.config = storage, config

    def start(self):
        self._call("start")

    def stop(self):
        self._call("stop")

    def register_source(self, *args):
        self._call("register_source", *args)

    def write_node(self, node):
        self._call("write_node", node)

    def write_edges(self, edges):
        self._call("write_edges", list(edges))

    def write_row_values(self, values):
        self._call("write_row_values", list(values))

    def flush(self, *args, **kwargs):
        r = self._call("flush", *args, **kwargs)
        return True if ("writer", "flush") not in self._standin.results else r

    def get_stats(self):
        r = self._call("get_stats")
        return {"queued": 0, "written": 0} if ("writer", "get_stats") not in self._standin.results else r


class StandIn:
    def __init__(self):
        self.calls: list = []
        self.fail: dict = {}
        self.results: dict = {}
        self.storages: list = []
        self.writers: list = []
        self.sqlite_paths: list = []
        standin = self

        class HostedStorage(FakeStorage):
            def __init__(self, *args, **kwargs):
                if args:
                    raise TypeError("HostedStorage takes keyword arguments only")
                standin.calls.append(("HostedStorage", "__init__", (), kwargs))
                exc = standin.fail.get(("HostedStorage", "__init__"))
                if exc is not None:
                    raise exc
                super().__init__(standin, **kwargs)
                standin.storages.append(self)

        class SQLiteStorage(FakeStorage):
            who = "sqlite"

            def __init__(self, path):
                standin.calls.append(("SQLiteStorage", "__init__", (path,), {}))
                super().__init__(standin)
                standin.sqlite_paths.append(path)

        class AsyncWriter(FakeWriter):
            def __init__(self, *args, **kwargs):
                standin.calls.append(("AsyncWriter", "__init__", args, kwargs))
                exc = standin.fail.get(("AsyncWriter", "__init__"))
                if exc is not None:
                    raise exc
                super().__init__(standin, *args, **kwargs)
                standin.writers.append(self)

        self.HostedStorage, self.SQLiteStorage, self.AsyncWriter = HostedStorage, SQLiteStorage, AsyncWriter

    def storage(self, name="storage"):
        """A storage object to hand to persist_to_storage / persist_results."""
        st = FakeStorage(self)
        st.who = name
        return st

    def of(self, who):
        """The calls made on `who`, as (method, args, kwargs)."""
        return [(m, a, k) for w, m, a, k in self.calls if w == who]

    def methods(self, who=None):
        return [m if who else (w, m) for w, m, a, k in self.calls if who is None or w == who]


def install(monkeypatch) -> StandIn:
    standin = StandIn()
    pkg = types.ModuleType("corvanti.utilities.persistence")
    storage = types.ModuleType("corvanti.utilities.persistence.storage")
    for name in ("StoredNode", "StoredEdge", "StoredRowValue"):
        setattr(pkg, name, globals()[name])
        setattr(storage, name, globals()[name])
    pkg.WriterConfig = WriterConfig
    pkg.HostedStorage = storage.HostedStorage = standin.HostedStorage
    pkg.SQLiteStorage = storage.SQLiteStorage = standin.SQLiteStorage
    pkg.AsyncWriter = standin.AsyncWriter
    pkg.storage = storage
    monkeypatch.setitem(sys.modules, "corvanti.utilities.persistence", pkg)
    monkeypatch.setitem(sys.modules, "corvanti.utilities.persistence.storage", storage)
    standin.pkg, standin.storage_mod = pkg, storage
    return standin
