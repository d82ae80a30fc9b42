"""Acceptance of the tracker's persistence behaviour that does not depend on
which package answers: run against the recording stand-in and against the
real package over a SQLite file."""
import numpy as np
import pytest

from corvanti.utilities.tessel32_dag import DAGTrackedSeries, DAGTracker
from support import persist_standin


@pytest.fixture(params=["stand-in", "sqlite"])
def make(request, monkeypatch, tmp_path):
    if request.param == "stand-in":
        persist_standin.install(monkeypatch)
        url = ""
    else:
        pytest.importorskip("corvanti.utilities.persistence")
        url = f"sqlite:///{tmp_path}/both.db"

    def make_tracker(cls=DAGTracker, **kw):
        kw.setdefault("service_url", url)
        return cls(api_key="key", **kw)

    return make_tracker


def test_active_state_after_construction(make):
    t = make(pipeline_name="p")
    assert t._writer and t._storage and t._pipeline_id
    assert not t._nodes_persisted and not t._dashboard_synced
    stats = t.get_persistence_stats()
    assert isinstance(stats, dict) and list(stats)[-2:] == ["nodes_written", "edges_written"]


def test_flush_sets_the_flags_once_and_counts(make):
    t = make()
    s = t.create_source_node("t", "a", 1 << 6)
    u = t.log_unary("neg", s, 2 << 6)
    t.log_binary("add", s, u, 3 << 6)
    assert t.flush() is True
    assert t._nodes_persisted and t._dashboard_synced
    assert (t._nodes_written, t._edges_written) == (3, 3)
    t._nodes_written = 99  # a second flush does not write the graph again
    assert t.flush() is True and t._nodes_written == 99


def test_row_values_hand_over_at_5000(make):
    t = make()
    for i in range(5000):
        t.record_row_value(i, 7, "op", float(i))
    assert t._value_buffer == []
    t.record_row_value(5000, 7, "op", "tail")
    assert len(t._value_buffer) == 1 and t.flush() is True and t._value_buffer == []


def test_tracked_operations_buffer_their_values(make):
    t = make()
    n = 7000
    a = DAGTrackedSeries(np.arange(n, dtype=float), _tracker=t, _prov=np.arange(1, n + 1, dtype=np.uint32),
                         _node_ids=np.zeros(n, np.int64))
    a + a
    assert len(t._value_buffer) == n - 5000 and t.flush() is True


def test_next_pipeline_after_flush_gets_fresh_sources(make):
    t = make()
    first_src = t.create_source_node("t", "a", 5)
    first = t._pipeline_id
    t.flush()
    second_src = t.create_source_node("t", "a", 5)
    assert t._pipeline_id != first and second_src != first_src
    assert not t._dashboard_synced and not t._nodes_persisted and t._nodes_written == 0


@pytest.mark.parametrize("raised", [False, True])
def test_with_block_closes_everything(make, raised):
    with pytest.raises(KeyError) if raised else _nothing():
        with make() as t:
            t.create_source_node("t", "a", 5)
            if raised:
                raise KeyError("x")
    assert t._writer is None and t._storage is None and t._pipeline_id is None
    assert t.flush() is True and t.get_persistence_stats() is None


class _nothing:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


def test_subclass_hand_over_sees_every_node(make):
    class T(DAGTracker):
        def _persist_node(self, node):
            self.seen = getattr(self, "seen", []) + [node.node_id]
            super()._persist_node(node)

    t = make(cls=T)
    s = t.create_source_node("t", "a", 5)
    t.log_unary("neg", s, 6)
    assert t.seen == [0, 1] and t.flush() is True
    assert t._nodes_written == 2 and t._edges_written == 1
