"""No silent loss: the first eviction is logged, audits of partial graphs say what is gone."""
import logging

import numpy as np
import pandas as pd
import pytest

from corvanti.utilities.tessel32_dag import (
    DAGTracker,
    NodeType,
    dag_audit,
    get_dag_for_series,
    wrap_dataframe_dag,
)

LOGGER = "corvanti.utilities.tessel32_dag"


def eviction_warnings(caplog):
    return [r for r in caplog.records if r.name == LOGGER and r.levelno == logging.WARNING]


def chain(tracker, steps, n=5):
    frame = wrap_dataframe_dag(pd.DataFrame({"a": np.arange(1.0, n + 1)}), tracker, "t")
    total = frame["a"]
    for _ in range(steps):
        total = total + frame["a"]  # n nodes per step, through bulk creation
    return total


@pytest.mark.parametrize("how", ["bulk", "one_by_one", "explicit"])
def test_first_eviction_logs_one_warning_with_bound_count_and_remedy(caplog, how):
    caplog.set_level(logging.WARNING, logger=LOGGER)
    t = DAGTracker()
    t._max_nodes = 20
    if how == "bulk":
        chain(t, 8)
    elif how == "one_by_one":
        for i in range(40):
            t._create_node(NodeType.UNARY, "op", [], i + 1)
    else:
        for i in range(10):
            t._create_node(NodeType.UNARY, "op", [], i + 1)
        t._evict_oldest_nodes()
        t._evict_oldest_nodes()
    (record,) = eviction_warnings(caplog)
    text = record.getMessage()
    evicted = 1 if how == "explicit" else 2
    assert f"evicted {evicted} nodes" in text and "bound of 20 nodes" in text
    assert "_max_nodes" in text and "persistence" in text


def test_each_tracker_warns_once_and_no_eviction_no_warning(caplog):
    caplog.set_level(logging.WARNING, logger=LOGGER)
    chain(DAGTracker(), 8)  # the default bound is far away
    assert eviction_warnings(caplog) == []
    for _ in range(2):
        t = DAGTracker()
        t._max_nodes = 10
        chain(t, 10)
    assert len(eviction_warnings(caplog)) == 2


def test_audit_of_evicted_ancestors_counts_them_and_depth_keeps_its_key_error():
    t = DAGTracker()
    t._max_nodes = 20
    total = chain(t, 6)  # 36 nodes created: the oldest steps are gone
    dag = get_dag_for_series(total, 0)
    missing = dag.missing_ids
    assert missing and missing == sorted(missing)
    assert all(m not in dag.nodes for m in missing)
    assert set(missing) <= {e.source_id for e in dag.edges}
    with pytest.raises(KeyError):
        dag.depth
    audit = dag_audit(total, 0)
    assert audit["missing_ancestors"] == len(missing)
    known = audit["dag"]
    assert known["node_count"] == len(dag.nodes)
    # the surviving add nodes form a chain down to the first gap, plus the source
    assert known["depth"] == sum(1 for n in dag.nodes.values() if n.operation == "add")
    assert known["sources"] == [("t", "a")]


def test_complete_graph_has_no_missing_ids_and_no_missing_key():
    t = DAGTracker()
    total = chain(t, 3)
    dag = get_dag_for_series(total, 2)
    assert dag.missing_ids == []
    audit = dag_audit(total, 2)
    assert "missing_ancestors" not in audit and audit["dag"]["depth"] == dag.depth == 3


def test_missing_root_is_reported():
    t = DAGTracker()
    dag = t.get_dag(12345)
    assert dag.missing_ids == [12345] and dag.nodes == {}


@pytest.mark.parametrize("bad", ["row", "Rows", "", None, 1, b"rows"])
def test_lineage_mode_must_be_known(bad):
    with pytest.raises(ValueError, match=r'lineage must be "positional" or "rows", got '):
        DAGTracker(lineage=bad)


def test_lineage_mode_is_keyword_only_and_defaults_to_positional():
    assert DAGTracker()._lineage == "positional"
    assert DAGTracker(pipeline_name="p", lineage="rows")._lineage == "rows"
    with pytest.raises(TypeError, match="positional arguments but 6 were given"):
        DAGTracker(None, None, "", "p", "rows")
