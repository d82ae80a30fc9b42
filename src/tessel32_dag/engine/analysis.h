// ComputationDAG: analysis of a reconstructed graph (reconstruct.cpp) and its
// exports (export_dict.cpp, export_dot.cpp), shared between those files.
#pragma once

#include <nanobind/nanobind.h>

namespace dag {
namespace nb = nanobind;

/// Longest path from the root to a leaf. A node missing from `nodes` raises
/// its KeyError, or with skip_missing contributes nothing (the depth of what
/// is still known).
nb::object dag_depth(PyObject* self, bool skip_missing = false);
/// The ids that edges (or the root) name but `nodes` lacks, ascending.
nb::object dag_missing_ids(PyObject* self);
void register_partial_dag(nb::module_& m);  // partial.cpp: ComputationDAG.missing_ids
void register_rich_dot(nb::module_& m);     // export_rich.cpp: ComputationDAG.to_dot
nb::object dag_source_nodes(PyObject* self);
nb::object dag_protected_sources(PyObject* self);
nb::object dag_has_protected(PyObject* self);
nb::object dag_operation_counts(PyObject* self);
nb::object dag_column_taint_risks(PyObject* self);

nb::object dag_to_dict(PyObject* self);
nb::object dag_to_json(PyObject* self, PyObject* indent);
nb::object dag_to_graphviz(PyObject* self);

/// Attribute helpers that read our own records natively.
nb::object node_attr(PyObject* node, PyObject* name);

}  // namespace dag
