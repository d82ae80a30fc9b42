// Python records and rows -> the plain rows of rows.h. Our own record types
// are read slot by slot; any other object by attribute. Called with the GIL.
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

#include "persistence/rows.h"

namespace persist {
namespace nb = nanobind;

NodeRow node_row(PyObject* node);
/// `pipeline_id` is the edge's pipeline (edges carry none of their own).
EdgeRow edge_row(PyObject* edge, int64_t pipeline_id);
RowValueRow value_row(PyObject* value);
ResolvedEdgeRow resolved_edge_row(PyObject* row);
ResultRow result_row(PyObject* row);
SqlRow sql_params(PyObject* params);
nb::object sql_value_to_py(const SqlValue& v);

/// The JSON text of a metadata dict; nullopt for None or an empty dict.
std::optional<std::string> metadata_json(PyObject* metadata);

/// The items of a list or tuple (TypeError naming `what` otherwise). A list
/// is copied into a tuple first: converting an item may run Python code
/// (getattr on foreign records, str() of metadata values) that could change
/// the list under our feet.
struct Items {
  nb::object hold;  ///< the tuple the pointers belong to
  PyObject* const* items;
  Py_ssize_t n;
};
Items items_of(PyObject* seq, const char* what);

/// int64 of an int-like field; `rec`/`field` name it in the error.
int64_t as_i64(PyObject* v, const char* rec, const char* field);
std::optional<int64_t> as_opt_i64(PyObject* v, const char* rec, const char* field);

/// The UTF-8 text of a str (raises for lone surrogates).
std::string utf8(PyObject* str);

/// Resolve the json.dumps used for metadata (once, at import).
void convert_init();

}  // namespace persist
