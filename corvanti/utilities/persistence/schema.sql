-- The lineage store: one schema for the embedded SQLite database and the
-- service's database (SQLite or PostgreSQL). Statements are separated by
-- lines holding only ";" so that both engines can run them one at a time.
-- Ids are 64-bit integers assigned by the database. Timestamps are ISO-8601
-- UTC text ("2026-12-09T01:47:14.123456Z"). JSON columns hold UTF-8 JSON text.
-- Fingerprints are TESSEL-32 provenance values (0 .. 2**32-1).

CREATE TABLE IF NOT EXISTS schema_info (
    key         TEXT PRIMARY KEY,
    value       TEXT NOT NULL
)
;
-- One run of a tracked pipeline (or one validate() upload).
-- status: "running" (created), "completed", "failed", "validation_complete".
-- A pipeline marked "failed" stays "failed": completing it later is ignored.
CREATE TABLE IF NOT EXISTS pipelines (
    id           INTEGER PRIMARY KEY AUTOINCREMENT,
    tenant_id    TEXT,
    name         TEXT NOT NULL,
    status       TEXT NOT NULL DEFAULT 'running',
    config       TEXT,
    git_commit   TEXT,
    started_at   TEXT NOT NULL,
    finished_at  TEXT
)
;
CREATE INDEX IF NOT EXISTS pipelines_tenant ON pipelines (tenant_id, id)
;
-- Source columns registered with a storage (register_source). A source is
-- per tenant and (table, column); the pipeline is the one most recently
-- created through that storage object when the source was registered.
CREATE TABLE IF NOT EXISTS sources (
    id            INTEGER PRIMARY KEY AUTOINCREMENT,
    tenant_id     TEXT,
    pipeline_id   INTEGER REFERENCES pipelines (id),
    pair_id       INTEGER NOT NULL,
    table_name    TEXT NOT NULL,
    column_name   TEXT NOT NULL,
    is_protected  INTEGER NOT NULL DEFAULT 0,
    UNIQUE (tenant_id, table_name, column_name)
)
;
-- Graph nodes, deduplicated by fingerprint within a pipeline. The first
-- record stored for a (pipeline, fingerprint) wins (INSERT ... ON CONFLICT DO NOTHING).
-- node_type is the NodeType member name ("SOURCE", "UNARY", ...).
CREATE TABLE IF NOT EXISTS nodes (
    id            INTEGER PRIMARY KEY AUTOINCREMENT,
    pipeline_id   INTEGER NOT NULL REFERENCES pipelines (id),
    fingerprint   INTEGER NOT NULL,
    node_type     TEXT NOT NULL,
    operation     TEXT NOT NULL,
    table_name    TEXT,
    column_name   TEXT,
    pair_id       INTEGER,
    is_protected  INTEGER NOT NULL DEFAULT 0,
    entity_hash   INTEGER,
    chain_hash    INTEGER,
    metadata      TEXT,
    UNIQUE (pipeline_id, fingerprint)
)
;
-- Edges between stored nodes (database ids), one per (parent, child, position).
CREATE TABLE IF NOT EXISTS edges (
    id              INTEGER PRIMARY KEY AUTOINCREMENT,
    pipeline_id     INTEGER NOT NULL REFERENCES pipelines (id),
    parent_node_id  INTEGER NOT NULL REFERENCES nodes (id),
    child_node_id   INTEGER NOT NULL REFERENCES nodes (id),
    input_position  INTEGER NOT NULL,
    UNIQUE (parent_node_id, child_node_id, input_position)
)
;
CREATE INDEX IF NOT EXISTS edges_pipeline ON edges (pipeline_id)
;
-- Per-row values (record_row_value). value holds numbers, text_value
-- everything else; column_name is set for source cells. Row values are not
-- deduplicated: a batch is written once (one transaction; batches over HTTP
-- carry a batch id, see ingested_batches).
CREATE TABLE IF NOT EXISTS row_values (
    id              INTEGER PRIMARY KEY AUTOINCREMENT,
    pipeline_id     INTEGER NOT NULL,
    tenant_id       TEXT,
    row_index       INTEGER NOT NULL,
    fingerprint     INTEGER NOT NULL,
    node_operation  TEXT NOT NULL,
    value           REAL,
    text_value      TEXT,
    column_name     TEXT
)
;
-- Row values are looked up by row only for named columns (the source cells
-- a row's lineage shows): the index holds just those rows, so the values of
-- derived results (column_name NULL, most rows of a run) are appended
-- without any index upkeep.
CREATE INDEX IF NOT EXISTS row_values_column_row ON row_values (pipeline_id, row_index)
    WHERE column_name IS NOT NULL
;
-- Files written by earlier versions hold an index of every row value: the
-- one above replaces it (the tables are unchanged, so either version reads
-- and writes both kinds of file).
DROP INDEX IF EXISTS row_values_pipeline
;
-- Per-row output fingerprints (persist_results), one per (pipeline, row key, output).
CREATE TABLE IF NOT EXISTS results (
    id            INTEGER PRIMARY KEY AUTOINCREMENT,
    pipeline_id   INTEGER NOT NULL REFERENCES pipelines (id),
    row_key       TEXT NOT NULL,
    output_name   TEXT NOT NULL,
    fingerprint   INTEGER NOT NULL,
    value         REAL,
    input_hash    TEXT,
    UNIQUE (pipeline_id, row_key, output_name)
)
;
-- Run summaries posted by the dashboard sync (POST /v1/dashboard/sync, or a
-- sqlite: service URL). payload is the posted JSON document.
CREATE TABLE IF NOT EXISTS dashboard_syncs (
    id                       INTEGER PRIMARY KEY AUTOINCREMENT,
    tenant_id                TEXT,
    provenance_pipeline_id   INTEGER,
    pipeline_name            TEXT NOT NULL,
    model_id                 TEXT NOT NULL,
    has_disparate_impact     INTEGER NOT NULL,
    protected_attributes     TEXT NOT NULL,
    payload                  TEXT NOT NULL,
    received_at              TEXT NOT NULL
)
;
-- Batches already ingested (idempotent retries over HTTP): a batch id is
-- stored in the same transaction as its rows, and a batch seen again is
-- answered without writing.
CREATE TABLE IF NOT EXISTS ingested_batches (
    batch_id     TEXT PRIMARY KEY,
    tenant_id    TEXT,
    kind         TEXT NOT NULL,
    received_at  TEXT NOT NULL
)
;
-- Service only: API keys (SHA-256 of the key, never the key itself).
CREATE TABLE IF NOT EXISTS api_keys (
    key_hash     TEXT PRIMARY KEY,
    tenant_id    TEXT NOT NULL,
    created_at   TEXT NOT NULL
)
;
-- Service only: validation uploads (POST /v1/uploads).
CREATE TABLE IF NOT EXISTS uploads (
    upload_id    TEXT PRIMARY KEY,
    tenant_id    TEXT NOT NULL,
    model_id     TEXT NOT NULL,
    model_name   TEXT,
    model_version TEXT,
    n_rows       INTEGER NOT NULL,
    payload      TEXT NOT NULL,
    received_at  TEXT NOT NULL
)
;
-- Service only: OpenLineage run events received (POST /api/v1/lineage), one
-- per tenant and (run id, event type, event time): a repeated event is not
-- stored again. pipeline_id is the tenant's pipeline the event names (NULL:
-- unlinked). payload is the posted JSON document.
CREATE TABLE IF NOT EXISTS lineage_events (
    id             INTEGER PRIMARY KEY AUTOINCREMENT,
    tenant_id      TEXT NOT NULL,
    pipeline_id    INTEGER REFERENCES pipelines (id),
    run_id         TEXT NOT NULL,
    event_type     TEXT NOT NULL,
    event_time     TEXT NOT NULL,
    job_namespace  TEXT NOT NULL,
    job_name       TEXT NOT NULL,
    payload        TEXT NOT NULL,
    received_at    TEXT NOT NULL,
    UNIQUE (tenant_id, run_id, event_type, event_time)
)
;
CREATE INDEX IF NOT EXISTS lineage_events_pipeline ON lineage_events (tenant_id, pipeline_id, id)
;
INSERT INTO schema_info (key, value) VALUES ('version', '1') ON CONFLICT (key) DO NOTHING
