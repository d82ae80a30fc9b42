// Texts users see from corvanti.utilities.persistence._native: docstrings,
// error messages and log lines, all in one place.
#pragma once

namespace persist::msg {

inline constexpr const char MODULE_DOC[] =
    "Native part of corvanti.utilities.persistence: the stored record types,\n"
    "the background writer and the SQLite batch writer.";

// ---- records ---------------------------------------------------------------

inline constexpr const char STORED_NODE_DOC[] =
    "StoredNode(fingerprint, node_type, operation, table_name, column_name, pair_id,\n"
    "           is_protected, entity_hash=None, chain_hash=None, metadata=None, pipeline_id=None)\n"
    "\n"
    "One graph node as the lineage store keeps it.";
inline constexpr const char STORED_EDGE_DOC[] =
    "StoredEdge(parent_fingerprint, child_fingerprint, input_position)\n"
    "\n"
    "One edge between two stored nodes, by fingerprint.";
inline constexpr const char STORED_ROW_VALUE_DOC[] =
    "StoredRowValue(pipeline_id, row_index, fingerprint, node_operation, value=None,\n"
    "               column_name=None, tenant_id=None, text_value=None)\n"
    "\n"
    "One computed or source value of one row.";
inline constexpr const char ASDICT_DOC[] = "_asdict($self, /)\n--\n\nThe fields as a dict, in declaration order.";
inline constexpr const char REDUCE_DOC[] = "__reduce__($self, /)\n--\n\n";

inline constexpr const char REC_TOO_MANY[] = "%s() takes %d positional arguments but %zd were given";
inline constexpr const char REC_UNEXPECTED[] = "%s() got an unexpected keyword argument '%U'";
inline constexpr const char REC_MULTIPLE[] = "%s() got multiple values for argument '%s'";
inline constexpr const char REC_MISSING[] = "%s() missing required argument '%s'";

// ---- conversions of records for the SQLite store ---------------------------

inline constexpr const char FIELD_NOT_INT[] = "%s.%s must be an integer for the SQLite store, got %.200s";
inline constexpr const char FIELD_NOT_STR[] = "%s.%s must be a str for the SQLite store, got %.200s";
inline constexpr const char FIELD_NOT_FLOAT[] = "%s.%s must be a number or None for the SQLite store, got %.200s";
inline constexpr const char FIELD_REQUIRED[] = "%s.%s is required by the SQLite store (got None)";
inline constexpr const char ROW_SHAPE[] = "%s: each row must be a sequence of %d items, got %.200s";
inline constexpr const char NOT_A_LIST[] = "%s: expected a list or tuple of records, got %.200s";
inline constexpr const char BAD_PARAM[] = "SQL parameters must be None, int, float, str or bytes, got %.200s";

// ---- database ----------------------------------------------------------------

inline constexpr const char DATABASE_DOC[] =
    "Database(path)\n"
    "\n"
    "One SQLite connection to a lineage store (WAL journal, busy time-out and\n"
    "retries). Every method runs without the GIL while it waits for SQLite.";
inline constexpr const char DB_OPEN_DOC[] = "open($self, /)\n--\n\nOpen the file and create the schema.";
inline constexpr const char DB_CLOSE_DOC[] = "close($self, /)\n--\n\nClose the connection (idempotent).";
inline constexpr const char DB_EXECUTE_DOC[] =
    "execute($self, sql, params=(), /)\n--\n\n"
    "Run one statement in its own transaction; returns (changes, last row id).";
inline constexpr const char DB_QUERY_DOC[] =
    "query($self, sql, params=(), /)\n--\n\nRun one query; returns a list of row tuples.";
inline constexpr const char DB_SCRIPT_DOC[] =
    "executescript($self, statements, /)\n--\n\nRun a list of statements in one transaction.";
inline constexpr const char DB_CONTEXT_DOC[] =
    "set_context($self, tenant_id, pipeline_id, /)\n--\n\n"
    "The tenant and current pipeline that sources written by the writer get.";
inline constexpr const char DB_STORE_NODES_DOC[] =
    "store_nodes($self, nodes, /)\n--\n\nInsert StoredNode records; the first per (pipeline, fingerprint) wins. Returns the rows inserted.";
inline constexpr const char DB_FP_MAP_DOC[] =
    "get_fingerprint_node_map($self, pipeline_id, /)\n--\n\ndict fingerprint -> node id of one pipeline.";
inline constexpr const char DB_EDGES_RESOLVED_DOC[] =
    "store_edges_resolved($self, rows, /)\n--\n\nInsert (parent id, child id, position) rows; duplicates ignored.";
inline constexpr const char DB_EDGES_DOC[] =
    "store_edges($self, edges, pipeline_id, /)\n--\n\nInsert StoredEdge records resolved against the pipeline's nodes.";
inline constexpr const char DB_ROW_VALUES_DOC[] =
    "store_row_values($self, values, /)\n--\n\nInsert StoredRowValue records.";
inline constexpr const char DB_RESULTS_DOC[] =
    "store_results($self, pipeline_id, results, /)\n--\n\n"
    "Insert (row key, output, fingerprint, value, input hash) rows; a repeated key replaces the row.";
inline constexpr const char DB_IS_OPEN_DOC[] = "True while the connection is open.";
inline constexpr const char DB_PATH_DOC[] = "The database file.";

inline constexpr const char DB_BAD_PATH[] = "Database: path must be str, bytes or os.PathLike";
inline constexpr const char DB_CLOSED[] = "the SQLite database %s is not open";
inline constexpr const char DB_ERROR[] = "SQLite error in %s: %s (code %d)";
inline constexpr const char STORAGE_ERROR_DOC[] = "A lineage store operation failed.";

// ---- writer ------------------------------------------------------------------

inline constexpr const char WRITER_CONFIG_DOC[] =
    "WriterConfig(batch_size=100, flush_interval=1.0, queue_size=10000)\n"
    "\n"
    "Settings of an AsyncWriter: records per batch, seconds before a partial\n"
    "batch is written, and the bound of the queue in records.";
inline constexpr const char WRITER_DOC[] =
    "AsyncWriter(storage, config=None)\n"
    "\n"
    "Background writer: one native thread that writes queued nodes, edges, row\n"
    "values and sources to `storage` in batches. A full queue makes producers\n"
    "wait (nothing is dropped); failing storage calls are retried with back-off.";
inline constexpr const char W_START_DOC[] = "start($self, /)\n--\n\nStart the writer thread (idempotent).";
inline constexpr const char W_STOP_DOC[] =
    "stop($self, /, timeout=None)\n--\n\n"
    "Write everything queued and join the thread. Returns True when the queue was drained.";
inline constexpr const char W_FLUSH_DOC[] =
    "flush($self, /, timeout=30.0)\n--\n\n"
    "Wait until every record enqueued before the call is stored. True if so, False on time-out.";
inline constexpr const char W_WRITE_NODE_DOC[] = "write_node($self, node, /)\n--\n\nEnqueue one StoredNode.";
inline constexpr const char W_WRITE_EDGES_DOC[] = "write_edges($self, edges, /)\n--\n\nEnqueue StoredEdge records.";
inline constexpr const char W_WRITE_VALUES_DOC[] =
    "write_row_values($self, values, /)\n--\n\nEnqueue StoredRowValue records.";
inline constexpr const char W_REGISTER_DOC[] =
    "register_source($self, pair_id, table, column, is_protected=False, /)\n--\n\nEnqueue one source column.";
inline constexpr const char W_STATS_DOC[] = "get_stats($self, /)\n--\n\nCounters of the writer (a new dict).";
inline constexpr const char W_RUNNING_DOC[] = "True while the writer thread runs.";
inline constexpr const char W_NATIVE_DOC[] = "True when records reach the store without Python.";
inline constexpr const char W_STORAGE_DOC[] = "The storage object.";
inline constexpr const char W_CONFIG_DOC[] = "The WriterConfig.";

inline constexpr const char W_NOT_RUNNING[] = "AsyncWriter is not running (call start(); a stopped writer cannot be restarted)";
inline constexpr const char W_BAD_CONFIG[] = "WriterConfig: %s must be positive, got %s";
inline constexpr const char W_STOP_FAILED[] = "AsyncWriter: stopped with %d record(s) not stored: %s";
inline constexpr const char W_RETRYING[] = "AsyncWriter: storage call failed, retrying: %s";
inline constexpr const char W_EDGES_WITHOUT_NODE[] = "%s: no node with a pipeline id was written before these edges";
inline constexpr const char W_EDGES_NOT_SEQ[] = "write_edges: expected a sequence of StoredEdge";
inline constexpr const char W_VALUES_NOT_SEQ[] = "write_row_values: expected a sequence of StoredRowValue";
inline constexpr const char W_STOP_ALL_DOC[] = "_stop_all_writers()\n--\n\nStop every running writer (registered with atexit).";

// ---- capsule ------------------------------------------------------------------

inline constexpr const char CAPI_NOT_WRITER[] = "write_node: expected an AsyncWriter, got %.200s";
inline constexpr const char CAPI_NODE_TYPE[] = "write_node: node_type %d is not a NodeType value (1..8)";

}  // namespace persist::msg
