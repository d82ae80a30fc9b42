// User-visible strings of DAGTrackedDataFrame and of the wrapping/audit
// functions of corvanti.utilities.tessel32_dag.
#pragma once

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

inline constexpr const char* AUDIT_NO_TRACKER = "No tracker or empty series";
inline constexpr const char* PROV_OUT_OF_RANGE = "provenance returned by encode must be in 0..4294967295, got %R";

}  // namespace dag::msg
