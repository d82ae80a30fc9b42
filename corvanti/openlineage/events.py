"""OpenLineage run events of a tracked pipeline (``run_events``, behind
``DAGTracker.openlineage_events``) and of one result value's graph
(``dag_events``, behind ``ComputationDAG.to_openlineage``).

Each call returns two plain, JSON-ready dicts: a START event, then a
COMPLETE event (FAIL when the pipeline failed) that adds the column lineage
of every output dataset and the taint findings of the run.
"""

from __future__ import annotations

import os
import time
import uuid
from datetime import datetime, timezone
from typing import Any, Dict, List, Mapping, Optional, Tuple

import numpy as np
import pandas as pd

from corvanti.openlineage import facets as F
from corvanti.openlineage.lineage import IDENTITY, LineageWalker, SourceMap, distinct_ids
from corvanti.utilities.tessel32 import ProvenanceTracker
from corvanti.utilities.tessel32_dag import ComputationDAG, DAGTracker, wrap_dataframe_dag

DEFAULT_JOB_NAME = "corvanti_pipeline"
DEFAULT_DAG_JOB_NAME = "corvanti_result"
DEFAULT_DAG_FIELD = "value"

#: Tracker attributes kept by this module (in the tracker's own __dict__).
DTYPES_ATTR = "_openlineage_dtypes"  # (table, column) -> dtype text
RUN_IDS_ATTR = "_openlineage_run_ids"  # pipeline id -> run id
#: Tracker attribute read for the run's outcome; "failed" gives a FAIL event.
STATUS_ATTR = "_pipeline_status"
FAILED_STATUS = "failed"


# ---- arguments -------------------------------------------------------------------


def _check_text(value, name: str, optional: bool = False) -> Optional[str]:
    if value is None and optional:
        return None
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, got {type(value).__name__}")
    if not value:
        raise ValueError(f"{name} must not be empty")
    return value


def _check_run_id(run_id) -> Optional[str]:
    if _check_text(run_id, "run_id", optional=True) is None:
        return None
    try:
        return str(uuid.UUID(run_id))
    except ValueError:
        raise ValueError(f"run_id must be a UUID, got {run_id!r}") from None


def new_run_id() -> str:
    """A new time-ordered run id (UUID version 7), as OpenLineage recommends."""
    ms = time.time_ns() // 1_000_000
    rand = int.from_bytes(os.urandom(10), "big")
    value = ((ms & ((1 << 48) - 1)) << 80) | (0x7 << 76) | ((rand >> 68) << 64) | (0b10 << 62) | (rand & ((1 << 62) - 1))
    return str(uuid.UUID(int=value))


def _now() -> str:
    return datetime.now(timezone.utc).isoformat(timespec="milliseconds").replace("+00:00", "Z")


# ---- source schemas --------------------------------------------------------------


def record_source_schema(tracker: DAGTracker, table: str, frame: pd.DataFrame) -> None:
    """Remember the column dtypes of a source table for the `schema` facet of
    its input dataset (the tracker itself keeps no dtypes)."""
    if not isinstance(tracker, DAGTracker):
        raise TypeError(f"tracker must be a DAGTracker, got {type(tracker).__name__}")
    _check_text(table, "table")
    if not isinstance(frame, pd.DataFrame):
        raise TypeError(f"frame must be a pandas DataFrame, got {type(frame).__name__}")
    registry = vars(tracker).setdefault(DTYPES_ATTR, {})
    for label, dtype in zip(frame.columns, frame.dtypes):
        registry[(table, str(label))] = str(dtype)


def track_source(df: pd.DataFrame, tracker: DAGTracker, table: str, protected: Any = False,
                 include_entity: bool = True):
    """``wrap_dataframe_dag`` that also records the table's dtypes."""
    wrapped = wrap_dataframe_dag(df, tracker, table, protected, include_entity)
    record_source_schema(tracker, table, df)
    return wrapped


def _tracker_tables(tracker) -> Dict[str, Dict[str, None]]:
    """table -> its columns (ordered), from the registered pairs and source nodes."""
    tables: Dict[str, Dict[str, None]] = {}
    keys = list(getattr(tracker, "_name_to_id", None) or ()) + list(getattr(tracker, "_source_nodes", None) or ())
    for key in keys:
        if isinstance(key, tuple) and len(key) == 2 and isinstance(key[0], str) and isinstance(key[1], str):
            tables.setdefault(key[0], {})[key[1]] = None
    return tables


# ---- outputs ---------------------------------------------------------------------


class _Column:
    __slots__ = ("name", "dtype", "node_ids", "provs")

    def __init__(self, name: str, dtype: Optional[str], node_ids=None, provs=None):
        self.name, self.dtype, self.node_ids, self.provs = name, dtype, node_ids, provs


def _owner_check(owner, tracker, what: str) -> bool:
    """Whether `owner` (a series' or frame's tracker) is `tracker`; another tracker is an error."""
    if owner is None:
        return False
    if owner is not tracker:
        raise ValueError(f"{what} is tracked by another DAGTracker")
    return True


def _frame_columns(tracker, name: str, frame: pd.DataFrame) -> List[_Column]:
    tracked = _owner_check(getattr(frame, "_tracker", None), tracker, f"output {name!r}")
    col_nodes = getattr(frame, "_col_nodes", None) if tracked else None
    col_prov = getattr(frame, "_col_prov", None) if tracked else None
    out = []
    for label, dtype in zip(frame.columns, frame.dtypes):
        ids = col_nodes.get(label) if isinstance(col_nodes, Mapping) else None
        provs = col_prov.get(label) if isinstance(col_prov, Mapping) else None
        out.append(_Column(str(label), str(dtype), ids, provs))
    return out


def _series_columns(tracker, name: str, columns: Mapping) -> List[_Column]:
    out = []
    for label, series in columns.items():
        if not isinstance(series, pd.Series):
            raise TypeError(f"output {name!r} column {label!r} must be a pandas Series, got {type(series).__name__}")
        tracked = _owner_check(getattr(series, "_tracker", None), tracker, f"output {name!r} column {label!r}")
        ids = getattr(series, "_node_ids", None) if tracked else None
        provs = getattr(series, "_prov", None) if tracked else None
        out.append(_Column(str(label), str(series.dtype), ids, provs))
    return out


def _output_columns(tracker, outputs) -> Dict[str, List[_Column]]:
    if outputs is None:
        return {}
    if not isinstance(outputs, Mapping):
        raise TypeError(f"outputs must be a dict, got {type(outputs).__name__}")
    result: Dict[str, List[_Column]] = {}
    for name, value in outputs.items():
        _check_text(name, "output dataset name")
        if isinstance(value, pd.DataFrame):
            cols = _frame_columns(tracker, name, value)
        elif isinstance(value, Mapping):
            cols = _series_columns(tracker, name, value)
        else:
            raise TypeError(f"output {name!r} must be a DataFrame or a dict of column name to Series, "
                            f"got {type(value).__name__}")
        seen = set()
        for c in cols:
            if c.name in seen:
                raise ValueError(f"output {name!r} has the column {c.name!r} twice")
            seen.add(c.name)
        result[name] = cols
    return result


def _column_risk(provs) -> Tuple[bool, float]:
    """(tainted, max risk) over the provenance values of one column."""
    if provs is None:
        return False, 0.0
    values = np.asarray(provs).ravel()
    if values.size == 0:
        return False, 0.0
    tainted, risk = False, 0.0
    for p in np.unique(values).tolist():
        p = int(p)
        if ProvenanceTracker.is_tainted(p):
            tainted = True
            risk = max(risk, float(ProvenanceTracker.risk_score(p)))
    return tainted, risk


def _protected_keys(walker: LineageWalker) -> List[Tuple[str, str]]:
    graph = ComputationDAG(root_id=-1, nodes=walker.nodes, edges=[])
    keys: Dict[Tuple[str, str], None] = {}
    for node in graph.protected_sources:
        if node.table and node.column:
            keys[(str(node.table), str(node.column))] = None
    return list(keys)


def _output_finding(namespace: str, dataset: str, column: _Column, sources: SourceMap,
                    protected: set) -> Dict[str, Any]:
    tainted, risk = _column_risk(column.provs)
    return {
        "dataset": dataset,
        "field": column.name,
        "tainted": tainted,
        "risk": risk,
        "protectedInputs": [{"namespace": namespace, "name": t, "field": c} for (t, c) in sources if (t, c) in protected],
    }


# ---- events ----------------------------------------------------------------------


def _dataset(namespace: str, name: str, fields, lineage=None) -> Dict[str, Any]:
    facets = {"schema": F.schema_facet(fields)}
    if lineage is not None:
        facets["columnLineage"] = lineage
    return {"namespace": namespace, "name": name, "facets": facets}


def _event(kind: str, when: str, run_id: str, namespace: str, job_name: str, inputs, outputs,
           run_facets=None) -> Dict[str, Any]:
    run: Dict[str, Any] = {"runId": run_id}
    if run_facets:
        run["facets"] = run_facets
    return {
        "eventType": kind,
        "eventTime": when,
        "producer": F.PRODUCER,
        "schemaURL": F.RUN_EVENT_SCHEMA_URL,
        "run": run,
        "job": {"namespace": namespace, "name": job_name},
        "inputs": inputs,
        "outputs": outputs,
    }


def _pair(namespace: str, job_name: str, run_id: str, failed: bool, inputs, outputs, taint) -> List[Dict[str, Any]]:
    """START and COMPLETE/FAIL. `inputs`/`outputs` are (name, fields, lineage)
    triples; the START event carries no lineage and no findings."""
    when = _now()
    start = _event("START", when, run_id, namespace, job_name,
                   [_dataset(namespace, n, f) for n, f, _ in inputs],
                   [_dataset(namespace, n, f) for n, f, _ in outputs])
    end = _event("FAIL" if failed else "COMPLETE", when, run_id, namespace, job_name,
                 [_dataset(namespace, n, f, lin) for n, f, lin in inputs],
                 [_dataset(namespace, n, f, lin) for n, f, lin in outputs],
                 {F.TAINT_FACET_NAME: taint})
    return [start, end]


def _default_run_id(tracker) -> str:
    """One run id per pipeline of a tracker, so that exporting twice updates one run."""
    ids = vars(tracker).setdefault(RUN_IDS_ATTR, {})
    key = getattr(tracker, "_pipeline_id", None)
    try:
        run_id = ids.get(key)
    except TypeError:  # an unhashable pipeline id: nothing to remember it by
        return new_run_id()
    if run_id is None:
        run_id = ids[key] = new_run_id()
    return run_id


def pipeline_failed(tracker) -> bool:
    status = getattr(tracker, STATUS_ATTR, None)
    return isinstance(status, str) and status.lower() == FAILED_STATUS


def run_events(tracker: DAGTracker, namespace: str, job_name: Optional[str] = None, run_id: Optional[str] = None,
               outputs: Optional[Mapping[str, Any]] = None, *, failed: Optional[bool] = None) -> List[Dict[str, Any]]:
    """The run of a tracker's current pipeline as OpenLineage RunEvents.

    `outputs` maps an output dataset name to a tracked frame or to a dict of
    column name -> tracked series. `failed` overrides the outcome read from
    the tracker (its `_pipeline_status` is "failed"). Without `run_id`, one
    id is made per pipeline of the tracker and reused by later calls.
    """
    if not isinstance(tracker, DAGTracker):
        raise TypeError(f"tracker must be a DAGTracker, got {type(tracker).__name__}")
    _check_text(namespace, "namespace")
    job_name = _check_text(job_name, "job_name", optional=True) or getattr(tracker, "_pipeline_name", None) \
        or DEFAULT_JOB_NAME
    run_id = _check_run_id(run_id) or _default_run_id(tracker)
    columns = _output_columns(tracker, outputs)
    failed = pipeline_failed(tracker) if failed is None else bool(failed)

    walker = LineageWalker(tracker._nodes.get)
    lineage: Dict[str, List[Tuple[_Column, SourceMap]]] = {}
    for name, cols in columns.items():
        lineage[name] = [(c, walker.column_sources(distinct_ids(c.node_ids)) if c.node_ids is not None else {})
                         for c in cols]
    if outputs is None:
        for nid in list(tracker._nodes):
            walker.sources(nid)

    # Input dtypes: recorded ones first, then those of output columns that are plain copies.
    dtypes = dict(vars(tracker).get(DTYPES_ATTR, {}))
    for cols in lineage.values():
        for col, src in cols:
            if len(src) == 1 and col.dtype is not None:
                (key, mask), = src.items()
                if mask == IDENTITY:
                    dtypes.setdefault(key, col.dtype)
    inputs = [(table, [(c, dtypes.get((table, c))) for c in cols], None)
              for table, cols in _tracker_tables(tracker).items()]

    protected = _protected_keys(walker)
    protected_set = set(protected)
    outs, findings = [], []
    for name, cols in lineage.items():
        fields = [(c.name, c.dtype) for c, _ in cols]
        outs.append((name, fields, F.column_lineage_facet(namespace, [(c.name, s) for c, s in cols])))
        findings += [_output_finding(namespace, name, c, s, protected_set) for c, s in cols if c.node_ids is not None]
    taint = F.taint_facet(
        namespace=namespace,
        protected_sources=protected,
        column_risks=ComputationDAG(root_id=-1, nodes=walker.nodes, edges=[]).column_taint_risks(),
        output_columns=findings,
        node_count=len(walker.nodes),
        edge_count=walker.edge_count,
        missing_count=len(walker.missing),
        pipeline_id=getattr(tracker, "_pipeline_id", None),
    )
    return _pair(namespace, job_name, run_id, failed, inputs, outs, taint)


def dag_events(dag: ComputationDAG, namespace: str, job_name: Optional[str] = None, run_id: Optional[str] = None,
               dataset: Optional[str] = None, field: Optional[str] = None) -> List[Dict[str, Any]]:
    """The derivation of one result value as OpenLineage RunEvents: the
    graph's source tables are the inputs; the output is `dataset` (the job
    name when not given) with the one column `field` ("value")."""
    if not isinstance(dag, ComputationDAG):
        raise TypeError(f"dag must be a ComputationDAG, got {type(dag).__name__}")
    _check_text(namespace, "namespace")
    job_name = _check_text(job_name, "job_name", optional=True) or DEFAULT_DAG_JOB_NAME
    run_id = _check_run_id(run_id) or new_run_id()
    dataset = _check_text(dataset, "dataset", optional=True) or job_name
    field = _check_text(field, "field", optional=True) or DEFAULT_DAG_FIELD

    nodes = dag.nodes
    walker = LineageWalker(nodes.get)
    sources = walker.sources(dag.root_id)
    tables: Dict[str, Dict[str, None]] = {}
    for node in dag.source_nodes:
        if node.table and node.column:
            tables.setdefault(str(node.table), {})[str(node.column)] = None
    inputs = [(t, [(c, None) for c in cols], None) for t, cols in tables.items()]

    root = nodes.get(dag.root_id)
    column = _Column(field, None, [dag.root_id], [root.provenance] if root is not None else None)
    protected = [(str(n.table), str(n.column)) for n in dag.protected_sources if n.table and n.column]
    protected = list(dict.fromkeys(protected))
    missing = {e.source_id for e in dag.edges if e.source_id not in nodes}
    if root is None:
        missing.add(dag.root_id)
    taint = F.taint_facet(
        namespace=namespace,
        protected_sources=protected,
        column_risks=dag.column_taint_risks(),
        output_columns=[_output_finding(namespace, dataset, column, sources, set(protected))],
        node_count=len(nodes),
        edge_count=len(dag.edges),
        missing_count=len(missing),
    )
    outs = [(dataset, [(field, None)], F.column_lineage_facet(namespace, [(field, sources)]))]
    return _pair(namespace, job_name, run_id, False, inputs, outs, taint)
