"""What the endpoints read and write, per tenant, in one transaction each.

Rules kept here for every endpoint:

- a tenant only reads and writes its own rows; a pipeline of another tenant
  is refused (``Forbidden``), an unknown one is ``NotFound``. Pipelines that
  the embedded store wrote without a tenant belong to the tenant "default";
- the first node stored per (pipeline, fingerprint) wins;
- a batch id is claimed in the same transaction as the batch's rows, so a
  batch retried after a lost answer writes nothing the second time (and two
  concurrent copies of one batch store it once);
- a "failed" pipeline stays "failed".
"""

from __future__ import annotations

import hashlib
import json
import math
import uuid
from typing import Any, Iterable, Optional, Sequence

from sqlalchemy import and_, func, or_, select, update
from sqlalchemy.engine import Connection

from corvanti.service import models as M
from corvanti.service import tables as T
from corvanti.service.db import Database, now_iso
from corvanti.service.errors import Forbidden, NotFound, ServiceError

#: Run facet of the corvanti OpenLineage export that names the pipeline (``pipelineId``).
TAINT_FACET_NAME = "corvanti_taintFindings"

DEFAULT_TENANT = "default"
FINISHED = ("completed", "failed", "validation_complete")


def tenant_match(column, tenant: str):
    """Rows of ``tenant``; rows without a tenant count as the "default" tenant's."""
    if tenant == DEFAULT_TENANT:
        return or_(column == tenant, column.is_(None))
    return column == tenant


def finite(value: Optional[float]) -> Optional[float]:
    """``value`` unless it is NaN or infinite (JSON has no such numbers)."""
    if value is None or not math.isfinite(value):
        return None
    return float(value)


def _dumps(value: Any) -> Optional[str]:
    return None if value is None else json.dumps(value)


def _loads(text: Optional[str]) -> Any:
    if text is None:
        return None
    try:
        return json.loads(text)
    except ValueError:
        return text


def content_batch_id(kind: str, body: Any) -> str:
    """A batch id for a request without one: the digest of its canonical body."""
    canon = json.dumps(body, sort_keys=True, separators=(",", ":"), default=str)
    return "sha256:" + hashlib.sha256(f"{kind}\n{canon}".encode("utf-8", "surrogatepass")).hexdigest()


class Store:
    def __init__(self, db: Database):
        self.db = db

    # ---- shared checks ---------------------------------------------------
    def _check_pipelines(self, conn: Connection, tenant: str, ids: Iterable[int]) -> None:
        wanted = sorted(set(ids))
        if not wanted:
            return
        found: dict[int, Optional[str]] = {}
        for start in range(0, len(wanted), 1000):
            chunk = wanted[start:start + 1000]
            rows = conn.execute(select(T.pipelines.c.id, T.pipelines.c.tenant_id).where(T.pipelines.c.id.in_(chunk)))
            found.update((int(r.id), r.tenant_id) for r in rows)
        for pid in wanted:
            if pid not in found:
                raise NotFound(f"unknown pipeline {pid}")
            owner = found[pid]
            if owner != tenant and not (owner is None and tenant == DEFAULT_TENANT):
                raise Forbidden(f"pipeline {pid} belongs to another tenant")

    def _claim_batch(self, conn: Connection, tenant: str, kind: str, batch_id: Optional[str]) -> bool:
        """True when the batch is new (and now claimed); False for a repeat."""
        if batch_id is None:
            return True
        key = f"{kind}:{len(tenant)}:{tenant}:{batch_id}"
        stmt = self.db.insert(T.ingested_batches).values(
            batch_id=key, tenant_id=tenant, kind=kind, received_at=now_iso()
        ).on_conflict_do_nothing().returning(T.ingested_batches.c.batch_id)
        return len(conn.execute(stmt).all()) == 1

    def _insert_many(self, conn: Connection, table, rows: Sequence[dict], conflict=None) -> int:
        """INSERT many rows in one round; returns the rows written.

        ``conflict``: None (plain), "nothing", or a tuple of the key columns
        whose rows are then replaced by the new values. The rows written are
        counted from RETURNING (drivers do not all report a rowcount here).
        """
        if not rows:
            return 0
        if self.db.dialect == "postgresql":
            return self._insert_unnest(conn, table, rows, conflict)
        stmt = self.db.insert(table)
        if conflict == "nothing":
            stmt = stmt.on_conflict_do_nothing()
        elif conflict:
            keys = set(conflict)
            stmt = stmt.on_conflict_do_update(
                index_elements=list(conflict),
                set_={c: stmt.excluded[c] for c in rows[0] if c not in keys},
            )
        key = next(iter(table.primary_key.columns))
        # SQLAlchemy sends an executemany with RETURNING as multi-row INSERTs of one cached statement.
        return len(conn.execute(stmt.returning(key), list(rows)).all())

    def _insert_unnest(self, conn: Connection, table, rows: Sequence[dict], conflict) -> int:
        """PostgreSQL: one ``INSERT ... SELECT FROM unnest(arrays)`` per batch.

        The statement is short and the same for every batch (one array per
        column), so the driver prepares it once; a multi-row VALUES statement
        of a 100-row batch costs more to parse than to run.
        """
        names = list(rows[0])
        dialect = self.db.engine.dialect
        casts = ", ".join(f"%s::{table.c[n].type.compile(dialect=dialect)}[]" for n in names)
        cols = ", ".join(names)
        sql = f"INSERT INTO {table.name} ({cols}) SELECT * FROM unnest({casts})"
        if conflict == "nothing":
            sql += " ON CONFLICT DO NOTHING"
        elif conflict:
            updates = ", ".join(f"{n} = EXCLUDED.{n}" for n in names if n not in conflict)
            sql += f" ON CONFLICT ({', '.join(conflict)}) DO UPDATE SET {updates}"
        key = next(iter(table.primary_key.columns)).name
        params = tuple([r[n] for r in rows] for n in names)
        return len(conn.exec_driver_sql(f"{sql} RETURNING {key}", params).all())

    # ---- pipelines and sources ---------------------------------------------
    def create_pipeline(self, tenant: str, name: str, config: Optional[dict], git_commit: Optional[str]) -> int:
        with self.db.write() as conn:
            res = conn.execute(T.pipelines.insert().values(
                tenant_id=tenant, name=name, status="running", config=_dumps(config),
                git_commit=git_commit, started_at=now_iso(),
            ))
            return int(res.inserted_primary_key[0])

    def set_status(self, tenant: str, pipeline_id: int, status: str) -> str:
        with self.db.write() as conn:
            self._check_pipelines(conn, tenant, [pipeline_id])
            p = T.pipelines
            conn.execute(update(p).where(and_(p.c.id == pipeline_id, p.c.status != "failed"))
                         .values(status=status, finished_at=now_iso()))
            return conn.execute(select(p.c.status).where(p.c.id == pipeline_id)).scalar_one()

    def register_source(self, tenant: str, src: M.SourceIn) -> None:
        with self.db.write() as conn:
            pid = src.pipeline_id
            if pid is not None:
                self._check_pipelines(conn, tenant, [pid])
            else:
                pid = conn.execute(select(func.max(T.pipelines.c.id))
                                   .where(tenant_match(T.pipelines.c.tenant_id, tenant))).scalar()
            row = dict(tenant_id=tenant, pipeline_id=pid, pair_id=src.pair_id, table_name=src.table_name,
                       column_name=src.column_name, is_protected=int(src.is_protected))
            self._insert_many(conn, T.sources, [row], conflict=("tenant_id", "table_name", "column_name"))

    # ---- nodes -------------------------------------------------------------
    def store_nodes(self, tenant: str, nodes: Sequence[M.NodeIn], batch_id: Optional[str] = None) -> tuple[int, bool]:
        rows = [dict(
            pipeline_id=n.pipeline_id, fingerprint=n.fingerprint, node_type=n.node_type, operation=n.operation,
            table_name=n.table_name, column_name=n.column_name, pair_id=n.pair_id,
            is_protected=int(n.is_protected), entity_hash=n.entity_hash, chain_hash=n.chain_hash,
            metadata=_dumps(n.metadata),
        ) for n in nodes]
        with self.db.write() as conn:
            self._check_pipelines(conn, tenant, (r["pipeline_id"] for r in rows))
            if not self._claim_batch(conn, tenant, "nodes", batch_id):
                return 0, True
            return self._insert_many(conn, T.nodes, rows, conflict="nothing"), False

    def _node_ids(self, conn: Connection, pipeline_id: int, fingerprints: Iterable[int]) -> dict[int, int]:
        wanted = sorted(set(fingerprints))
        out: dict[int, int] = {}
        n = T.nodes
        for start in range(0, len(wanted), 5000):
            chunk = wanted[start:start + 5000]
            rows = conn.execute(select(n.c.fingerprint, n.c.id)
                                .where(and_(n.c.pipeline_id == pipeline_id, n.c.fingerprint.in_(chunk))))
            out.update((int(r.fingerprint), int(r.id)) for r in rows)
        return out

    def fingerprints(self, tenant: str, pipeline_id: int) -> list[tuple[int, int]]:
        with self.db.read() as conn:
            self._check_pipelines(conn, tenant, [pipeline_id])
            n = T.nodes
            rows = conn.execute(select(n.c.fingerprint, n.c.id).where(n.c.pipeline_id == pipeline_id).order_by(n.c.id))
            return [(int(r.fingerprint), int(r.id)) for r in rows]

    # ---- edges -------------------------------------------------------------
    def store_edges(self, tenant: str, pipeline_id: int, edges: Sequence[tuple[int, int, int]],
                    batch_id: Optional[str]) -> tuple[int, bool]:
        """Edges by (parent fingerprint, child fingerprint, position); unknown nodes drop the edge."""
        with self.db.write() as conn:
            self._check_pipelines(conn, tenant, [pipeline_id])
            if not self._claim_batch(conn, tenant, "edges", batch_id):
                return 0, True
            ids = self._node_ids(conn, pipeline_id, [fp for e in edges for fp in e[:2]])
            rows = [dict(pipeline_id=pipeline_id, parent_node_id=ids[pf], child_node_id=ids[cf], input_position=pos)
                    for pf, cf, pos in edges if pf in ids and cf in ids]
            return self._insert_many(conn, T.edges, rows, conflict="nothing"), False

    def store_edges_resolved(self, tenant: str, edges: Sequence[tuple[int, int, int]],
                             batch_id: Optional[str]) -> tuple[int, bool]:
        """Edges by node id; both nodes must be of one pipeline of the tenant, else the edge is dropped."""
        with self.db.write() as conn:
            wanted = sorted({i for e in edges for i in e[:2]})
            owner: dict[int, int] = {}
            n = T.nodes
            for start in range(0, len(wanted), 5000):
                chunk = wanted[start:start + 5000]
                owner.update((int(r.id), int(r.pipeline_id))
                             for r in conn.execute(select(n.c.id, n.c.pipeline_id).where(n.c.id.in_(chunk))))
            self._check_pipelines(conn, tenant, set(owner.values()))
            if not self._claim_batch(conn, tenant, "edges-resolved", batch_id):
                return 0, True
            rows = [dict(pipeline_id=owner[p], parent_node_id=p, child_node_id=c, input_position=pos)
                    for p, c, pos in edges if p in owner and c in owner and owner[p] == owner[c]]
            return self._insert_many(conn, T.edges, rows, conflict="nothing"), False

    def store_validate_edges(self, tenant: str, edges: Sequence[M.EdgeIn]) -> int:
        """Edges of ``validate()``: by fingerprint, without positions.

        The pipeline is the edge's ``pipeline_id`` when given, else the
        tenant's most recent pipeline holding the child node. An edge already
        stored between the two nodes is not stored again (so a retried page
        adds nothing); a new one takes the next free input position of its
        child, so positions follow the order the edges arrive in.
        """
        n, p, e = T.nodes, T.pipelines, T.edges
        with self.db.write() as conn:
            explicit = {x.pipeline_id for x in edges if x.pipeline_id is not None}
            self._check_pipelines(conn, tenant, explicit)
            latest: dict[int, Optional[int]] = {}
            by_pipeline: dict[int, list[M.EdgeIn]] = {}
            for x in edges:
                pid = x.pipeline_id
                if pid is None:
                    if x.child_fingerprint not in latest:
                        latest[x.child_fingerprint] = conn.execute(
                            select(func.max(n.c.pipeline_id)).select_from(n.join(p, p.c.id == n.c.pipeline_id))
                            .where(and_(n.c.fingerprint == x.child_fingerprint, tenant_match(p.c.tenant_id, tenant)))
                        ).scalar()
                    pid = latest[x.child_fingerprint]
                if pid is not None:
                    by_pipeline.setdefault(int(pid), []).append(x)
            stored = 0
            for pid, group in by_pipeline.items():
                ids = self._node_ids(conn, pid, [fp for x in group for fp in (x.parent_fingerprint, x.child_fingerprint)])
                children: dict[int, tuple[set, int]] = {}
                rows = []
                for x in group:
                    parent, child = ids.get(x.parent_fingerprint), ids.get(x.child_fingerprint)
                    if parent is None or child is None:
                        continue
                    if child not in children:
                        existing = conn.execute(select(e.c.parent_node_id, e.c.input_position)
                                                .where(and_(e.c.pipeline_id == pid, e.c.child_node_id == child))).all()
                        nxt = max((int(r.input_position) for r in existing), default=-1) + 1
                        children[child] = ({int(r.parent_node_id) for r in existing}, nxt)
                    parents, nxt = children[child]
                    if x.input_position is None and parent in parents:
                        continue
                    pos = x.input_position if x.input_position is not None else nxt
                    parents.add(parent)
                    children[child] = (parents, max(nxt, pos + 1))
                    rows.append(dict(pipeline_id=pid, parent_node_id=parent, child_node_id=child, input_position=pos))
                stored += self._insert_many(conn, e, rows, conflict="nothing")
            return stored

    # ---- row values and results ------------------------------------------
    def store_row_values(self, tenant: str, values: Sequence[M.RowValueIn], batch_id: Optional[str]) -> tuple[int, bool]:
        rows = [dict(pipeline_id=v.pipeline_id, tenant_id=tenant, row_index=v.row_index, fingerprint=v.fingerprint,
                     node_operation=v.node_operation, value=v.value, text_value=v.text_value,
                     column_name=v.column_name) for v in values]
        with self.db.write() as conn:
            self._check_pipelines(conn, tenant, (r["pipeline_id"] for r in rows))
            if not self._claim_batch(conn, tenant, "row-values", batch_id):
                return 0, True
            return self._insert_many(conn, T.row_values, rows), False

    def store_results(self, tenant: str, pipeline_id: int, results: Iterable[tuple],
                      batch_id: Optional[str]) -> tuple[int, bool]:
        """(row key, output, fingerprint, value, input hash) rows; a repeated (row key, output) replaces."""
        latest: dict[tuple[str, str], dict] = {}
        for row_key, output, fp, value, input_hash in results:
            latest[(row_key, output)] = dict(pipeline_id=pipeline_id, row_key=row_key, output_name=output,
                                             fingerprint=fp, value=value, input_hash=input_hash)
        with self.db.write() as conn:
            self._check_pipelines(conn, tenant, [pipeline_id])
            if not self._claim_batch(conn, tenant, "results", batch_id):
                return 0, True
            rows = list(latest.values())
            self._insert_many(conn, T.results, rows, conflict=("pipeline_id", "row_key", "output_name"))
            return len(rows), False

    # ---- dashboard sync and uploads -----------------------------------------
    def store_sync(self, tenant: str, sync: M.DashboardSync, raw: dict) -> int:
        with self.db.write() as conn:
            pid = sync.pipeline.provenance_pipeline_id
            if pid is not None:
                self._check_pipelines(conn, tenant, [pid])
            res = conn.execute(T.dashboard_syncs.insert().values(
                tenant_id=tenant, provenance_pipeline_id=pid, pipeline_name=sync.pipeline.pipeline_name,
                model_id=sync.fairness.model_id, has_disparate_impact=int(sync.fairness.has_disparate_impact),
                protected_attributes=json.dumps(list(sync.fairness.protected_attributes)),
                payload=json.dumps(raw), received_at=now_iso(),
            ))
            return int(res.inserted_primary_key[0])

    def store_upload(self, tenant: str, up: M.UploadIn, raw: dict) -> str:
        _check_upload_rows(up)
        upload_id = uuid.uuid4().hex
        with self.db.write() as conn:
            conn.execute(T.uploads.insert().values(
                upload_id=upload_id, tenant_id=tenant, model_id=up.model_id, model_name=up.model_name,
                model_version=up.model_version, n_rows=up.n_rows, payload=json.dumps(raw), received_at=now_iso(),
            ))
        return upload_id

    # ---- OpenLineage run events ------------------------------------------------
    def _lineage_pipeline(self, conn: Connection, tenant: str, event: M.LineageEventIn) -> tuple[Optional[int], bool]:
        """(the tenant's pipeline an event names or None, whether the event names it by id).

        The corvanti export names it in its run facet (``pipelineId``, in the
        closing event only); an event without a usable id takes the pipeline
        of the run's earlier events, else the one its job name names (the
        export's job name is the tracker's pipeline name; the newest pipeline
        of that name). An id of another tenant's or of no pipeline links
        nothing by itself.
        """
        p, le = T.pipelines, T.lineage_events
        facet = (event.run.facets or {}).get(TAINT_FACET_NAME)
        pid = facet.get("pipelineId") if isinstance(facet, dict) else None
        if isinstance(pid, int) and not isinstance(pid, bool) and 1 <= pid <= M.INT64_MAX:
            found = conn.execute(select(p.c.id).where(and_(p.c.id == pid, tenant_match(p.c.tenant_id, tenant)))).scalar()
            if found is not None:
                return int(found), True
        found = conn.execute(select(le.c.pipeline_id).where(and_(
            le.c.tenant_id == tenant, le.c.run_id == event.run.runId, le.c.pipeline_id.is_not(None)))
            .order_by(le.c.id.desc()).limit(1)).scalar()
        if found is None:
            found = conn.execute(select(func.max(p.c.id)).where(and_(
                p.c.name == event.job.name, tenant_match(p.c.tenant_id, tenant)))).scalar()
        return (None if found is None else int(found)), False

    def store_lineage_event(self, tenant: str, event: M.LineageEventIn, raw: dict) -> tuple[int, Optional[int], bool]:
        """(event id, linked pipeline id, duplicate); one row per tenant and (run, type, time).

        An event that names its pipeline by id links the run's other events
        of the tenant to it too (the export's START event carries no id).
        """
        le = T.lineage_events
        key = and_(le.c.tenant_id == tenant, le.c.run_id == event.run.runId, le.c.event_type == event.eventType,
                   le.c.event_time == event.eventTime)
        with self.db.write() as conn:
            old = conn.execute(select(le.c.id, le.c.pipeline_id).where(key)).first()
            if old is not None:
                return int(old.id), _int_or_none(old.pipeline_id), True
            pid, by_id = self._lineage_pipeline(conn, tenant, event)
            stmt = self.db.insert(le).values(
                tenant_id=tenant, pipeline_id=pid, run_id=event.run.runId, event_type=event.eventType,
                event_time=event.eventTime, job_namespace=event.job.namespace, job_name=event.job.name,
                payload=json.dumps(raw), received_at=now_iso(),
            ).on_conflict_do_nothing().returning(le.c.id)
            new = conn.execute(stmt).scalar()
            if new is None:  # written meanwhile by another transaction (PostgreSQL)
                old = conn.execute(select(le.c.id, le.c.pipeline_id).where(key)).one()
                return int(old.id), _int_or_none(old.pipeline_id), True
            if by_id:
                conn.execute(update(le).where(and_(le.c.tenant_id == tenant, le.c.run_id == event.run.runId,
                                                   le.c.id != new)).values(pipeline_id=pid))
            return int(new), pid, False

    def list_lineage_events(self, tenant: str, pipeline_id: Optional[int], limit: int = 100,
                            offset: int = 0) -> tuple[list[dict], int]:
        """A pipeline's events (``pipeline_id``), or the tenant's unlinked ones (None), in event time order."""
        le = T.lineage_events
        with self.db.read() as conn:
            if pipeline_id is not None:
                self._check_pipelines(conn, tenant, [pipeline_id])
                cond = and_(le.c.tenant_id == tenant, le.c.pipeline_id == pipeline_id)
            else:
                cond = and_(le.c.tenant_id == tenant, le.c.pipeline_id.is_(None))
            total = conn.execute(select(func.count()).select_from(le).where(cond)).scalar_one()
            rows = conn.execute(select(le).where(cond).order_by(le.c.event_time, le.c.id).limit(limit).offset(offset))
            out = []
            for r in rows:
                event = _loads(r.payload)
                out.append(dict(event_id=int(r.id), pipeline_id=_int_or_none(r.pipeline_id), run_id=r.run_id,
                                event_type=r.event_type, event_time=r.event_time, job_namespace=r.job_namespace,
                                job_name=r.job_name, received_at=r.received_at,
                                event=event if isinstance(event, dict) else {}))
            return out, int(total)

    # ---- reading -----------------------------------------------------------
    def _pipeline_select(self):
        p = T.pipelines
        node_count = select(func.count()).select_from(T.nodes).where(T.nodes.c.pipeline_id == p.c.id).scalar_subquery()
        edge_count = select(func.count()).select_from(T.edges).where(T.edges.c.pipeline_id == p.c.id).scalar_subquery()
        return select(p, node_count.label("node_count"), edge_count.label("edge_count"))

    @staticmethod
    def _pipeline_info(r) -> dict:
        return dict(pipeline_id=int(r.id), name=r.name, status=r.status, started_at=r.started_at,
                    finished_at=r.finished_at, git_commit=r.git_commit, config=_loads(r.config),
                    node_count=int(r.node_count), edge_count=int(r.edge_count))

    def list_pipelines(self, tenant: str, limit: int = 200, offset: int = 0) -> list[dict]:
        p = T.pipelines
        with self.db.read() as conn:
            rows = conn.execute(self._pipeline_select().where(tenant_match(p.c.tenant_id, tenant))
                                .order_by(p.c.id.desc()).limit(limit).offset(offset))
            return [self._pipeline_info(r) for r in rows]

    def pipeline(self, tenant: str, pipeline_id: int) -> dict:
        with self.db.read() as conn:
            self._check_pipelines(conn, tenant, [pipeline_id])
            r = conn.execute(self._pipeline_select().where(T.pipelines.c.id == pipeline_id)).one()
            return self._pipeline_info(r)

    def graph(self, tenant: str, pipeline_id: int, max_nodes: int) -> tuple[list[dict], list[tuple[int, int, int]], int]:
        """The first ``max_nodes`` nodes of a pipeline, the edges among them, and the total node count."""
        n, e = T.nodes, T.edges
        with self.db.read() as conn:
            self._check_pipelines(conn, tenant, [pipeline_id])
            total = conn.execute(select(func.count()).select_from(n).where(n.c.pipeline_id == pipeline_id)).scalar_one()
            nodes = [dict(r._mapping) for r in conn.execute(
                select(n).where(n.c.pipeline_id == pipeline_id).order_by(n.c.id).limit(max_nodes))]
            keep = {int(x["id"]) for x in nodes}
            edges = [(int(r.parent_node_id), int(r.child_node_id), int(r.input_position)) for r in conn.execute(
                select(e.c.parent_node_id, e.c.child_node_id, e.c.input_position)
                .where(e.c.pipeline_id == pipeline_id).order_by(e.c.id))
                if int(r.parent_node_id) in keep and int(r.child_node_id) in keep]
            return nodes, edges, int(total)

    def list_results(self, tenant: str, pipeline_id: int, limit: int = 100, offset: int = 0) -> tuple[list[dict], int]:
        r_ = T.results
        with self.db.read() as conn:
            self._check_pipelines(conn, tenant, [pipeline_id])
            total = conn.execute(select(func.count()).select_from(r_).where(r_.c.pipeline_id == pipeline_id)).scalar_one()
            rows = conn.execute(select(r_).where(r_.c.pipeline_id == pipeline_id).order_by(r_.c.id)
                                .limit(limit).offset(offset))
            return [dict(row_key=r.row_key, output_name=r.output_name, fingerprint=int(r.fingerprint),
                         value=finite(r.value), input_hash=r.input_hash) for r in rows], int(total)

    def result(self, tenant: str, pipeline_id: int, row_key: str, output_name: Optional[str]) -> dict:
        """One result row, with its position among the pipeline's results."""
        r_ = T.results
        with self.db.read() as conn:
            self._check_pipelines(conn, tenant, [pipeline_id])
            cond = and_(r_.c.pipeline_id == pipeline_id, r_.c.row_key == row_key)
            if output_name is not None:
                cond = and_(cond, r_.c.output_name == output_name)
            r = conn.execute(select(r_).where(cond).order_by(r_.c.id).limit(1)).first()
            if r is None:
                raise NotFound(f"no result {row_key!r} in pipeline {pipeline_id}")
            return dict(id=int(r.id), row_key=r.row_key, output_name=r.output_name, fingerprint=int(r.fingerprint),
                        value=finite(r.value), input_hash=r.input_hash)

    def result_position(self, pipeline_id: int, res: dict) -> int:
        """How many results of the same output precede ``res`` (its row position)."""
        r_ = T.results
        with self.db.read() as conn:
            return int(conn.execute(select(func.count()).select_from(r_).where(and_(
                r_.c.pipeline_id == pipeline_id, r_.c.output_name == res["output_name"], r_.c.id < res["id"],
            ))).scalar_one())

    def source_operations(self, pipeline_id: int) -> list[str]:
        """The operations of the pipeline's source nodes (the operation its source cells' row values carry)."""
        n = T.nodes
        with self.db.read() as conn:
            rows = conn.execute(select(n.c.operation).distinct().where(and_(
                n.c.pipeline_id == pipeline_id, func.upper(n.c.node_type) == "SOURCE")))
            return sorted(r.operation for r in rows)

    def source_row(self, tenant: str, pipeline_id: int, row_index: int, operations: Sequence[str]) -> dict:
        """The stored values of one row of the pipeline's source columns, in column order."""
        v = T.row_values
        with self.db.read() as conn:
            self._check_pipelines(conn, tenant, [pipeline_id])
            rows = conn.execute(select(v.c.column_name, v.c.value, v.c.text_value).where(and_(
                v.c.pipeline_id == pipeline_id, v.c.row_index == row_index, v.c.column_name.is_not(None),
                v.c.node_operation.in_(list(operations)),
            )).order_by(v.c.id))  # column_name IS NOT NULL: the partial index row_values_column_row
            out: dict = {}
            for r in rows:
                if r.column_name in out:
                    continue
                out[r.column_name] = r.text_value if r.value is None else finite(r.value)
            return out

    def list_models(self, tenant: str, limit: int = 200) -> list[dict]:
        s, u = T.dashboard_syncs, T.uploads
        out = []
        with self.db.read() as conn:
            for r in conn.execute(select(s).where(tenant_match(s.c.tenant_id, tenant)).order_by(s.c.id.desc()).limit(limit)):
                model = (_loads(r.payload) or {}).get("model") or {}
                out.append(dict(model_id=r.model_id, name=model.get("name"), version=model.get("version"),
                                status=model.get("status"), domain=model.get("domain"), source="dashboard sync",
                                pipeline_name=r.pipeline_name, n_rows=None, received_at=r.received_at))
            for r in conn.execute(select(u.c.model_id, u.c.model_name, u.c.model_version, u.c.n_rows, u.c.received_at)
                                  .where(u.c.tenant_id == tenant).order_by(u.c.received_at.desc()).limit(limit)):
                out.append(dict(model_id=r.model_id, name=r.model_name, version=r.model_version, status=None,
                                domain=None, source="upload", pipeline_name=None, n_rows=int(r.n_rows),
                                received_at=r.received_at))
        out.sort(key=lambda m: m["received_at"], reverse=True)
        return [_text_fields(m) for m in out]

    def list_fairness(self, tenant: str, limit: int = 200) -> list[dict]:
        s = T.dashboard_syncs
        out = []
        with self.db.read() as conn:
            for r in conn.execute(select(s).where(tenant_match(s.c.tenant_id, tenant)).order_by(s.c.id.desc()).limit(limit)):
                details = ((_loads(r.payload) or {}).get("fairness") or {}).get("details") or {}
                attrs = _loads(r.protected_attributes)
                out.append(dict(
                    sync_id=int(r.id), model_id=r.model_id, pipeline_name=r.pipeline_name,
                    provenance_pipeline_id=r.provenance_pipeline_id, has_disparate_impact=bool(r.has_disparate_impact),
                    protected_attributes=[str(a) for a in attrs] if isinstance(attrs, list) else [],
                    node_count=_int_or_none(details.get("node_count")), edge_count=_int_or_none(details.get("edge_count")),
                    received_at=r.received_at,
                ))
        return out


def _int_or_none(value) -> Optional[int]:
    return value if isinstance(value, int) and not isinstance(value, bool) else None


def _text_fields(model: dict) -> dict:
    for key in ("name", "version", "status", "domain"):
        if model[key] is not None and not isinstance(model[key], str):
            model[key] = str(model[key])
    return model


# ---- validation uploads -------------------------------------------------------

_TAGS = ("dataframe", "series", "ndarray", "list")


def _tagged_rows(value: Optional[dict], name: str) -> Optional[int]:
    """Rows of one tagged value of an upload (None when absent)."""
    if value is None:
        return None
    if len(value) != 1 or next(iter(value)) not in _TAGS:
        raise ServiceError(f"data.{name} must be an object with one key of {', '.join(_TAGS)}")
    tag, body = next(iter(value.items()))
    if tag == "dataframe":
        if not isinstance(body, dict) or not isinstance(body.get("data"), list):
            raise ServiceError(f"data.{name}.dataframe must be an object with a 'data' list (pandas split layout)")
        return len(body["data"])
    if not isinstance(body, list):
        raise ServiceError(f"data.{name}.{tag} must be a list")
    return len(body)


def _check_upload_rows(up: M.UploadIn) -> None:
    for name in ("X_test", "y_test", "predictions", "protected"):
        rows = _tagged_rows(getattr(up.data, name), name)
        if rows is not None and rows != up.n_rows:
            raise ServiceError(f"n_rows is {up.n_rows} but data.{name} has {rows} rows")
    for name in ("X_train", "y_train"):
        _tagged_rows(getattr(up.data, name), name)
