// Every user-visible string of corvanti.utilities.tessel32_dag: docstrings,
// error messages and log lines.
#pragma once

namespace dag::msg {

inline constexpr const char* MODULE_DOC =
    "TESSEL-32 DAG: Full Computation Graph Reconstruction\n"
    "\n"
    "Extends TESSEL-32 with a complete operation log that enables reconstruction\n"
    "of the full computation DAG from any result value. The 32-bit provenance\n"
    "(with gradient taint model) serves as a tamper-proof fingerprint, while the\n"
    "DAG registry provides full lineage reconstruction including taint and depth\n"
    "propagation.\n";

inline constexpr const char* NODETYPE_DOC = "Types of nodes in the computation DAG.";
inline constexpr const char* DAGNODE_DOC =
    "A node in the computation DAG.\n"
    "\n"
    "Represents either a source column (leaf node) or a computation step\n"
    "(internal node).";
inline constexpr const char* DAGEDGE_DOC = "An edge in the computation DAG.";
inline constexpr const char* COMPUTATIONDAG_DOC =
    "Complete computation graph for a result value.\n"
    "\n"
    "Contains all nodes and edges needed to reconstruct how a value was\n"
    "derived from source data.";

inline constexpr const char* TRACKER_DOC =
    "Extended TESSEL-32 provenance tracker with full DAG reconstruction.\n"
    "\n"
    "Inherits all TESSEL-32 functionality (taint propagation, depth tracking,\n"
    "gradient risk scoring) and adds:\n"
    "- Complete operation logging\n"
    "- DAG reconstruction from any provenance value\n"
    "- Export to Graphviz DOT and JSON\n"
    "- Optional database persistence for litigation evidence";

inline constexpr const char* INIT_DOC =
    "Initialize DAG tracker.\n"
    "\n"
    "Args:\n"
    "    api_key: Corvanti API key (required for persistence)\n"
    "    tenant_id: Tenant identifier (derived from the API key if not provided)\n"
    "    service_url: Corvanti hosted service URL\n"
    "    pipeline_name: Name for this pipeline execution\n"
    "    lineage: keyword only; \"positional\" (the default) keeps provenance by\n"
    "        position, \"rows\" keeps it attached to the rows through row operations";

inline constexpr const char* CREATE_NODE_DOC =
    "Create a new DAG node and return its ID.\n"
    "\n"
    "Thread-safe via _dag_lock. Enforces _max_nodes to prevent unbounded\n"
    "memory growth in long-running pipelines: evicts the oldest non-source\n"
    "nodes when the limit is exceeded (source nodes are always retained).";
inline constexpr const char* EVICT_DOC =
    "Remove the oldest 10% of non-source nodes to stay under memory bound.\n"
    "\n"
    "Must be called while holding _dag_lock.";
inline constexpr const char* GET_NODE_DOC = "Get a node by ID.";
inline constexpr const char* GET_NODES_FOR_PROV_DOC = "Get all nodes with a given provenance.";
inline constexpr const char* DAG_STATS_DOC = "Get DAG statistics.";
inline constexpr const char* OPENLINEAGE_EVENTS_DOC =
    "Export the current pipeline run as OpenLineage run events.\n"
    "\n"
    "Returns [START, COMPLETE] (FAIL when the pipeline failed) as JSON-ready\n"
    "dicts: the wrapped source tables as inputs, `outputs` (dataset name ->\n"
    "tracked frame, or dict of column name -> tracked series) as outputs with\n"
    "their column lineage, and the taint findings facet. See\n"
    "corvanti.openlineage.";
inline constexpr const char* ENTER_DOC = "Context manager support.";
inline constexpr const char* EXIT_DOC = "Ensure flush on context exit.";
inline constexpr const char* DEL_DOC = "Ensure cleanup on garbage collection.";

inline constexpr const char* CREATE_SOURCE_DOC = "Create a source (leaf) node for a table column.";
inline constexpr const char* LOG_UNARY_DOC = "Log a unary operation (single input).";
inline constexpr const char* LOG_BINARY_DOC = "Log a binary operation (two inputs).";
inline constexpr const char* LOG_MERGE_DOC = "Log a merge/join operation.";
inline constexpr const char* LOG_AGGREGATE_DOC = "Log an aggregation operation.";
inline constexpr const char* RECORD_ROW_VALUE_DOC = "Buffer a per-row value for later persistence.";

inline constexpr const char* GET_DAG_DOC =
    "Reconstruct the full computation DAG from a result node.\n"
    "\n"
    "Walks backward from the root node to collect all ancestor nodes.";
inline constexpr const char* GET_DAG_FOR_PROV_DOC = "Get DAG for the most recent node with given provenance.";

inline constexpr const char* DEPTH_DOC = "Maximum depth from root to any leaf.";
inline constexpr const char* TO_DOT_DOC =
    "to_dot($self, /, legend=True, labels='rich')\n--\n\n"
    "The graph as DOT text for people: each node labelled with its operation and the source\n"
    "columns it derives from (labels='rich' adds its metadata), the path from protected\n"
    "columns in red, and a legend (legend=True). to_graphviz() is the compact export.";
inline constexpr const char* TO_DOT_LABELS = "labels must be \"rich\" or \"plain\", got %R";
inline constexpr const char* MISSING_IDS_DOC =
    "Node ids that the edges (or the root) name but nodes lacks: evicted ancestors, ascending.";
inline constexpr const char* SOURCE_NODES_DOC = "All source (leaf) nodes.";
inline constexpr const char* PROTECTED_SOURCES_DOC = "Source nodes from protected tables.";
inline constexpr const char* HAS_PROTECTED_DOC = "Whether any protected data was used.";
inline constexpr const char* OPERATION_COUNTS_DOC = "Count of each operation type.";
inline constexpr const char* COLUMN_TAINT_RISKS_DOC =
    "Return {column_name: max_risk_score} for all tainted columns.\n"
    "\n"
    "Scans every node and computes risk = taint * 1/(1 + depth) from the\n"
    "TESSEL-32 header bits; only columns with taint=1 appear in the result.";
inline constexpr const char* TO_DICT_DOC = "Convert to dictionary for JSON serialization.";
inline constexpr const char* TO_JSON_DOC = "Export as JSON string.";
inline constexpr const char* TO_GRAPHVIZ_DOC = "Export as Graphviz DOT format.";
inline constexpr const char* TO_OPENLINEAGE_DOC =
    "Export this result's derivation as OpenLineage run events.\n"
    "\n"
    "Returns [START, COMPLETE] as JSON-ready dicts: the graph's source tables\n"
    "as inputs, `dataset` (default: the job name) with the one column `field`\n"
    "(default \"value\") as output with its column lineage, and the taint\n"
    "findings facet. See corvanti.openlineage.";
inline constexpr const char* NODE_TO_DICT_DOC = "Convert the node to a dictionary.";
inline constexpr const char* EDGE_TO_DICT_DOC = "Convert the edge to a dictionary.";

inline constexpr const char* ENABLE_PERSISTENCE_DOC =
    "Enable persistence to Corvanti hosted service.\n"
    "Starts background writer thread that batches writes for performance.\n"
    "All data is automatically uploaded to your Corvanti cloud account.";
inline constexpr const char* DISABLE_PERSISTENCE_DOC = "Disable persistence and close connections.";
inline constexpr const char* FLUSH_DOC =
    "Flush all pending writes to database.\n"
    "\n"
    "Call this before exiting to ensure all data is persisted.\n"
    "\n"
    "Args:\n"
    "    timeout: Max seconds to wait\n"
    "\n"
    "Returns:\n"
    "    True if successful, False if timeout";
inline constexpr const char* PERSISTENCE_STATS_DOC = "Get statistics about persistence operations.";
inline constexpr const char* PERSIST_NODE_DOC = "Persist a node to database (called from _create_node).";
inline constexpr const char* START_NEW_PIPELINE_DOC =
    "Start a new pipeline for the next run after a flush/sync cycle.";

inline constexpr const char* SYNC_DASHBOARD_DOC = "Sync pipeline results to dashboard tables via the API.";
inline constexpr const char* PERSIST_DAG_DOC = "Persist deduplicated nodes and edges to storage.";
inline constexpr const char* PERSIST_TO_STORAGE_DOC =
    "Persist all in-memory nodes and edges to storage in bulk.\n"
    "\n"
    "Call after the pipeline completes, so that the computation is not slowed\n"
    "down. Deduplicates before writing, because many DAG nodes share the same\n"
    "fingerprint (same column, same operation, different rows). Only unique\n"
    "nodes and edges are persisted.\n"
    "\n"
    "Works with any StorageBackend implementation (SQLite, S3, etc.).\n"
    "\n"
    "Args:\n"
    "    storage: A StorageBackend instance, already connected.\n"
    "    pipeline_id: Existing pipeline ID, or None to create one.\n"
    "\n"
    "Returns:\n"
    "    The pipeline_id used for persistence.";
inline constexpr const char* PERSIST_RESULTS_DOC =
    "Persist per-row output fingerprints to the pipeline_results table.\n"
    "\n"
    "Args:\n"
    "    storage: A StorageBackend instance, already connected.\n"
    "    pipeline_id: The pipeline the results belong to.\n"
    "    row_keys: Business identifiers (such as applicant ids), aligned with\n"
    "        the positions of the output series.\n"
    "    outputs: Output name to DAGTrackedSeries, for example\n"
    "        {\"risk_score\": ..., \"dti\": ...}.\n"
    "    source_df: When given, each row's source values are hashed with\n"
    "        SHA-256 and stored as the input hash, so that a later rehash of the\n"
    "        current data reveals tampering.";

inline constexpr const char* SHA256_HEX_DOC =
    "_sha256_hex(data, /)\n--\n\n"
    "The SHA-256 of a bytes-like object as 64 lower-case hex digits (the row hashes' digest).";

// Persistence: names, log lines and warnings
inline constexpr const char* UNNAMED_PIPELINE = "unnamed_pipeline";
inline constexpr const char* UNNAMED = "unnamed";
inline constexpr const char* UNNAMED_MODEL = "Unnamed Pipeline";
inline constexpr const char* DEFAULT_TENANT = "default";
inline constexpr const char* INIT_FAILED = "Persistence initialization failed: %U\nContinuing in memory-only mode.";
inline constexpr const char* NODE_WRITE_FAILED = "Failed to persist DAG node %d: %s";
inline constexpr const char* EDGES_WRITE_FAILED = "Failed to persist DAG edges for node %d: %s";
inline constexpr const char* DASHBOARD_FAILED = "Dashboard sync failed (non-fatal): %s";
inline constexpr const char* DASHBOARD_SCHEME =
    "service URL scheme '%U' is not supported by the dashboard sync (http, https or sqlite)";
inline constexpr const char* DASHBOARD_NO_SCHEME =
    "service URL '%U' has no scheme (the dashboard sync needs http, https or sqlite)";
inline constexpr const char* DASHBOARD_PATH = "/v1/dashboard/sync";

// Errors
inline constexpr const char* FIRST_EVICTION =
    "DAGTracker evicted %d nodes on reaching its bound of %d nodes (_max_nodes): the lineage of values "
    "derived from them is partial from now on. To keep full lineage, raise tracker._max_nodes "
    "or enable persistence (enable_persistence).";
inline constexpr const char* BAD_LINEAGE = "lineage must be \"positional\" or \"rows\", got %R";
inline constexpr const char* LOCK_REENTERED =
    "a node was created while this thread holds _dag_lock (from is_tainted, _evict_oldest_nodes or "
    "_persist_node); nodes cannot be created there";
inline constexpr const char* IDS_EXHAUSTED = "node ids are exhausted: _next_node_id %lld leaves no room for %zu more nodes";
inline constexpr const char* NEXT_ID_RANGE = "_next_node_id must be in 0..9223372036854775807, got %R";
inline constexpr const char* CYCLE_IN_GRAPH = "the graph has a cycle through node %R";
inline constexpr const char* CANNOT_DELETE_ATTR = "cannot delete %s";
inline constexpr const char* NEXT_NODE_ID_DOC = "The id that the next created node receives.";
inline constexpr const char* MAX_NODES_DOC = "Upper bound on the registry size.";
inline constexpr const char* DUPLICATE_NODE_KEYWORD = "DAGNode() got multiple values for keyword argument '%s'";
inline constexpr const char* NODE_ID_KEY = "%lld";
inline constexpr const char* REGISTRY_KEY_TYPE = "node registry keys are int node ids, not %.200s";
inline constexpr const char* REGISTRY_GET_DOC = "Return the node with this id, or default.";
inline constexpr const char* REGISTRY_KEYS_DOC = "Node ids in id order (a new list).";
inline constexpr const char* REGISTRY_VALUES_DOC = "Nodes in id order (a new list).";
inline constexpr const char* REGISTRY_ITEMS_DOC = "(id, node) pairs in id order (a new list).";
inline constexpr const char* REGISTRY_COPY_DOC = "A plain dict copy of the registry.";
inline constexpr const char* PROVVIEW_GET_DOC = "Return a new list of the node ids with this provenance, or default.";
inline constexpr const char* PROVVIEW_KEYS_DOC = "Indexed provenance values (a new list).";
inline constexpr const char* PROVVIEW_VALUES_DOC = "Lists of node ids (new lists).";
inline constexpr const char* PROVVIEW_ITEMS_DOC = "(provenance, ids) pairs (new lists).";
inline constexpr const char* PROVVIEW_COPY_DOC = "A plain dict copy of the index.";
inline constexpr const char* BULK_ARRAY_TYPE = "%s must be a 1-D contiguous array of %s";
inline constexpr const char* BULK_LENGTHS_DIFFER = "input id arrays and provenances differ in length";
inline constexpr const char* LOG_BINARY_MANY_DOC = "Log one binary node per element; returns the new node ids (int64 array).";
inline constexpr const char* LOG_UNARY_MANY_DOC = "Log one unary node per element; returns the new node ids (int64 array).";
inline constexpr const char* CANNOT_IMPORT_NAME = "cannot import name '%s' from 'corvanti.utilities.tessel32'";
inline constexpr const char* CANNOT_DELETE_FIELD = "cannot delete field '%s' of %s";
inline constexpr const char* EMPTY_TABLE_OR_COLUMN = "table and column must be non-empty strings";
inline constexpr const char* NOT_A_REGISTRY =
    "DAGTracker._nodes must be the tracker's own node registry (got %.200s)";
inline constexpr const char* PERSISTENCE_MISSING =
    "Persistence module unavailable \xe2\x80\x94 provenance data is NOT being saved to storage. "
    "Install corvanti with persistence extras or check your installation.";

}  // namespace dag::msg

// ---- DAGTrackedSeries
namespace dag::series_msg {

inline constexpr const char* CLASS_DOC = "Pandas Series with DAG-tracked provenance.";
inline constexpr const char* BINOP_DOC = "Binary operation with DAG logging.";
inline constexpr const char* UNOP_DOC = "Unary operation with DAG logging.";
inline constexpr const char* APPLY_UNARY_DOC =
    "Apply a tracked unary operation, updating provenance for each element.\n"
    "\n"
    "Shared by fillna, replace, and similar element-wise transforms.";
inline constexpr const char* CONSTRUCTOR_DOC = "The class pandas uses to build results: DAGTrackedSeries.";

inline constexpr const char* FILLNA_DOC =
    "fillna($self, value=0, **kwargs)\n--\n\n"
    "Fill missing values (0 by default) and log one \"fillna\" node per element.";
inline constexpr const char* REPLACE_DOC =
    "replace($self, *args, **kwargs)\n--\n\n"
    "Replace values as pandas does and log one \"replace\" node per element.";
inline constexpr const char* CLIP_DOC =
    "clip($self, lower=None, upper=None)\n--\n\n"
    "Clip values with numpy and log one \"clip\" node per element.";
inline constexpr const char* FINALIZE_DOC =
    "__finalize__($self, other, method=None, **kwargs)\n--\n\n"
    "Propagate metadata from other to self.";
}  // namespace dag::series_msg

// ---- DAGTrackedDataFrame and the wrapping/audit functions
namespace dag::msg {

inline constexpr const char* FRAME_DOC = "Pandas DataFrame with DAG-tracked provenance.";
inline constexpr const char* FRAME_INIT_DOC =
    "__init__($self, /, *args, _tracker=None, _col_prov=None, _col_nodes=None, **kwargs)\n--\n\n"
    "Initialize self.  See help(type(self)) for accurate signature.";
inline constexpr const char* FRAME_CONSTRUCTOR_DOC = "The class of frames derived from this one.";
inline constexpr const char* FRAME_CONSTRUCTOR_SLICED_DOC =
    "The class of one-dimensional results derived from this frame.";
inline constexpr const char* FRAME_GETITEM_DOC = "__getitem__($self, key, /)\n--\n\nReturn self[key].";
inline constexpr const char* FRAME_SETITEM_DOC = "__setitem__($self, key, value, /)\n--\n\nSet self[key] to value.";
inline constexpr const char* FRAME_MERGE_DOC =
    "merge($self, right, /, *args, **kwargs)\n--\n\n"
    "Merge with another DataFrame, carrying column provenance into the result.";
inline constexpr const char* FRAME_MERGE_COL_PROV_DOC =
    "_merge_col_provenance($self, col_prov, col_nodes, result_columns, n, out_prov, out_nodes, /)\n--\n\n"
    "Propagate column provenance from one side of a merge into *out_prov*/*out_nodes*.";

inline constexpr const char* WRAP_DOC =
    "wrap_dataframe_dag($module, /, df, tracker, table, protected=False, include_entity=True)\n--\n\n"
    "Wrap a DataFrame with DAG-tracked provenance.\n"
    "\n"
    "Creates source nodes for each column in the DAG.\n"
    "Records source values per row for value-level lineage.";
inline constexpr const char* COMBINE_PROVENANCES_DOC =
    "combine_provenances($module, /, tracker, node_ids, op_code=None)\n--\n\n"
    "Combine provenance from multiple node IDs into a single value.";
inline constexpr const char* GET_DAG_FOR_SERIES_DOC =
    "get_dag_for_series($module, /, series, row_index=0)\n--\n\n"
    "Get the computation DAG for a specific row in a series.";
inline constexpr const char* DAG_AUDIT_DOC =
    "dag_audit($module, /, series, row_index=0)\n--\n\n"
    "Full audit of a series value including DAG reconstruction.";

inline constexpr const char* ROWS_BAD_ARRAY = "%s must be a 1-D contiguous array of %s";
inline constexpr const char* ROWS_LENGTHS = "row positions, groups and arrays do not fit together";
inline constexpr const char* ROWS_ELEMENTWISE_DOC =
    "_rows_elementwise($module, /, tracker, op_name, op_code, values, prov_a, nodes_a, prov_b=None, nodes_b=None)\n"
    "--\n\n"
    "One node per element (binary when prov_b is given): returns (provenances, node_ids).";
inline constexpr const char* ROWS_ANNOTATE_DOC =
    "_rows_annotate($module, /, tracker, node_ids, metadata)\n--\n\n"
    "Give each of the nodes (still in the registry) its own copy of metadata.";
inline constexpr const char* ROWS_AGGREGATE_DOC =
    "_rows_aggregate($module, /, tracker, op_name, op_code, prov, nodes, order, starts, metadata)\n--\n\n"
    "One AGGREGATE node per group of rows (order[starts[g]:starts[g + 1]]): returns (provenances, node_ids).";
inline constexpr const char* AUDIT_NO_TRACKER = "No tracker or empty series";
inline constexpr const char* PROV_OUT_OF_RANGE = "provenance returned by encode must be in 0..4294967295, got %R";

}  // namespace dag::msg
