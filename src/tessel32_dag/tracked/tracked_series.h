// DAGTrackedSeries for the other C++ files of the module (the DataFrame side,
// the wrap/audit functions): building instances without a Python-level
// keyword call being spelled out at every site.
#pragma once

#include <nanobind/nanobind.h>

namespace dag {
namespace nb = nanobind;

/// The DAGTrackedSeries class (borrowed; lives for the process's life).
/// Valid after register_tracked_series.
PyObject* tracked_series_type();

/// DAGTrackedSeries(values, index=index, _prov=prov, _tracker=tracker,
/// _node_ids=node_ids): the arrays are stored as given (no copy).
nb::object make_tracked_series(nb::handle values, nb::handle index, nb::handle prov, nb::handle tracker,
                               nb::handle node_ids);

/// numpy.zeros(n, dtype=numpy.uint32) / numpy.zeros(n, dtype=numpy.int64).
nb::object zeros_prov(Py_ssize_t n);
nb::object zeros_nodes(Py_ssize_t n);

}  // namespace dag
