// User-visible texts of DAGTrackedSeries: class and method docstrings.
#pragma once

namespace dag::series_msg {

inline constexpr const char* CLASS_DOC = "Pandas Series with DAG-tracked provenance.";
inline constexpr const char* BINOP_DOC = "Binary operation with DAG logging.";
inline constexpr const char* UNOP_DOC = "Unary operation with DAG logging.";
inline constexpr const char* APPLY_UNARY_DOC =
    "Apply a tracked unary operation, updating provenance for each element.\n"
    "\n"
    "Shared by fillna, replace, and similar element-wise transforms.";
inline constexpr const char* CONSTRUCTOR_DOC = "The class pandas uses to build results: DAGTrackedSeries.";

}  // namespace dag::series_msg
