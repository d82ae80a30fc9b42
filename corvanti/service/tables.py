"""SQLAlchemy Core tables of the lineage store.

They mirror ``corvanti/utilities/persistence/schema.sql`` column by column
(tests compare both in SQLite): the schema file is what creates a database,
these tables are how the service reads and writes it. Integer columns are
64-bit on PostgreSQL (fingerprints reach 2**32-1) and ``REAL`` columns are
double precision there; on SQLite both keep the file's own type names.
"""

from __future__ import annotations

from sqlalchemy import (
    REAL,
    BigInteger,
    Column,
    Double,
    ForeignKey,
    Index,
    Integer,
    MetaData,
    Table,
    Text,
    UniqueConstraint,
    text,
)

#: INTEGER on SQLite (so ``INTEGER PRIMARY KEY`` is the rowid), BIGINT on PostgreSQL.
Int = Integer().with_variant(BigInteger(), "postgresql")
#: REAL on SQLite, DOUBLE PRECISION on PostgreSQL (PostgreSQL's REAL is 4 bytes).
Real = REAL().with_variant(Double(), "postgresql")

metadata = MetaData()


def _id() -> Column:
    return Column("id", Int, primary_key=True, autoincrement=True, nullable=True)


schema_info = Table(
    "schema_info", metadata,
    Column("key", Text, primary_key=True, nullable=True),
    Column("value", Text, nullable=False),
)

pipelines = Table(
    "pipelines", metadata,
    _id(),
    Column("tenant_id", Text),
    Column("name", Text, nullable=False),
    Column("status", Text, nullable=False, server_default=text("'running'")),
    Column("config", Text),
    Column("git_commit", Text),
    Column("started_at", Text, nullable=False),
    Column("finished_at", Text),
    Index("pipelines_tenant", "tenant_id", "id"),
    sqlite_autoincrement=True,
)

sources = Table(
    "sources", metadata,
    _id(),
    Column("tenant_id", Text),
    Column("pipeline_id", Int, ForeignKey("pipelines.id")),
    Column("pair_id", Int, nullable=False),
    Column("table_name", Text, nullable=False),
    Column("column_name", Text, nullable=False),
    Column("is_protected", Int, nullable=False, server_default=text("0")),
    UniqueConstraint("tenant_id", "table_name", "column_name"),
    sqlite_autoincrement=True,
)

nodes = Table(
    "nodes", metadata,
    _id(),
    Column("pipeline_id", Int, ForeignKey("pipelines.id"), nullable=False),
    Column("fingerprint", Int, nullable=False),
    Column("node_type", Text, nullable=False),
    Column("operation", Text, nullable=False),
    Column("table_name", Text),
    Column("column_name", Text),
    Column("pair_id", Int),
    Column("is_protected", Int, nullable=False, server_default=text("0")),
    Column("entity_hash", Int),
    Column("chain_hash", Int),
    Column("metadata", Text),
    UniqueConstraint("pipeline_id", "fingerprint"),
    sqlite_autoincrement=True,
)

edges = Table(
    "edges", metadata,
    _id(),
    Column("pipeline_id", Int, ForeignKey("pipelines.id"), nullable=False),
    Column("parent_node_id", Int, ForeignKey("nodes.id"), nullable=False),
    Column("child_node_id", Int, ForeignKey("nodes.id"), nullable=False),
    Column("input_position", Int, nullable=False),
    UniqueConstraint("parent_node_id", "child_node_id", "input_position"),
    Index("edges_pipeline", "pipeline_id"),
    sqlite_autoincrement=True,
)

row_values = Table(
    "row_values", metadata,
    _id(),
    Column("pipeline_id", Int, nullable=False),
    Column("tenant_id", Text),
    Column("row_index", Int, nullable=False),
    Column("fingerprint", Int, nullable=False),
    Column("node_operation", Text, nullable=False),
    Column("value", Real),
    Column("text_value", Text),
    Column("column_name", Text),
    # Only named columns (source cells) are looked up by row: see schema.sql.
    Index("row_values_column_row", "pipeline_id", "row_index",
          sqlite_where=text("column_name IS NOT NULL"), postgresql_where=text("column_name IS NOT NULL")),
    sqlite_autoincrement=True,
)

results = Table(
    "results", metadata,
    _id(),
    Column("pipeline_id", Int, ForeignKey("pipelines.id"), nullable=False),
    Column("row_key", Text, nullable=False),
    Column("output_name", Text, nullable=False),
    Column("fingerprint", Int, nullable=False),
    Column("value", Real),
    Column("input_hash", Text),
    UniqueConstraint("pipeline_id", "row_key", "output_name"),
    sqlite_autoincrement=True,
)

dashboard_syncs = Table(
    "dashboard_syncs", metadata,
    _id(),
    Column("tenant_id", Text),
    Column("provenance_pipeline_id", Int),
    Column("pipeline_name", Text, nullable=False),
    Column("model_id", Text, nullable=False),
    Column("has_disparate_impact", Int, nullable=False),
    Column("protected_attributes", Text, nullable=False),
    Column("payload", Text, nullable=False),
    Column("received_at", Text, nullable=False),
    sqlite_autoincrement=True,
)

ingested_batches = Table(
    "ingested_batches", metadata,
    Column("batch_id", Text, primary_key=True, nullable=True),
    Column("tenant_id", Text),
    Column("kind", Text, nullable=False),
    Column("received_at", Text, nullable=False),
)

api_keys = Table(
    "api_keys", metadata,
    Column("key_hash", Text, primary_key=True, nullable=True),
    Column("tenant_id", Text, nullable=False),
    Column("created_at", Text, nullable=False),
)

uploads = Table(
    "uploads", metadata,
    Column("upload_id", Text, primary_key=True, nullable=True),
    Column("tenant_id", Text, nullable=False),
    Column("model_id", Text, nullable=False),
    Column("model_name", Text),
    Column("model_version", Text),
    Column("n_rows", Int, nullable=False),
    Column("payload", Text, nullable=False),
    Column("received_at", Text, nullable=False),
)

lineage_events = Table(
    "lineage_events", metadata,
    _id(),
    Column("tenant_id", Text, nullable=False),
    Column("pipeline_id", Int, ForeignKey("pipelines.id")),
    Column("run_id", Text, nullable=False),
    Column("event_type", Text, nullable=False),
    Column("event_time", Text, nullable=False),
    Column("job_namespace", Text, nullable=False),
    Column("job_name", Text, nullable=False),
    Column("payload", Text, nullable=False),
    Column("received_at", Text, nullable=False),
    UniqueConstraint("tenant_id", "run_id", "event_type", "event_time"),
    Index("lineage_events_pipeline", "tenant_id", "pipeline_id", "id"),
    sqlite_autoincrement=True,
)
