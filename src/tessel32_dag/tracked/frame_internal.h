// Shared by tracked_frame.cpp and wrap_audit.cpp: objects looked up once at
// import and the constructors of the tracked pandas objects.
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

#include "glue/glue.h"

namespace dag {
namespace nb = nanobind;

/// Strong references kept for the life of the process (set at import).
struct FrameGlobals {
  PyObject* frame_cls = nullptr;  ///< DAGTrackedDataFrame
  PyObject* np = nullptr;
  PyObject* u32 = nullptr;  ///< numpy.dtype("uint32")
  PyObject* i64 = nullptr;  ///< numpy.dtype("int64")
  PyObject* pd_frame = nullptr;
  PyObject* pd_series = nullptr;
  PyObject* df_init = nullptr;
  PyObject* df_getitem = nullptr;
  PyObject* df_setitem = nullptr;
  PyObject* df_merge = nullptr;
  PyObject* op_merge = nullptr;  ///< OpCode.MERGE
  PyObject* kw_series = nullptr;         ///< ("index", "_prov", "_tracker", "_node_ids")
  PyObject* kw_frame_tracker = nullptr;  ///< ("_tracker",)
  PyObject* kw_frame_all = nullptr;      ///< ("_tracker", "_col_prov", "_col_nodes")
  PyObject *s_tracker, *s_col_prov, *s_col_nodes, *s_prov, *s_node_ids, *s_series_cls, *s_values, *s_index,
      *s_columns, *s_get, *s_copy, *s_log_unary, *s_merge, *s_merge_col_provenance;
};
extern FrameGlobals F;

/// The module's DAGTrackedSeries class, looked up at call time. When it is
/// missing: a null object if !required, else the AttributeError.
nb::object series_class(bool required);
/// numpy.zeros(n, dtype).
nb::object new_zeros(Py_ssize_t n, PyObject* dtype);
/// DAGTrackedSeries(values, index=index, _prov=prov, _tracker=tracker, _node_ids=nodes).
nb::object make_series(nb::handle values, nb::handle index, nb::handle prov, nb::handle tracker, nb::handle nodes);
/// DAGTrackedDataFrame(data, _tracker=tracker[, _col_prov=..., _col_nodes=...]);
/// col_prov == nullptr leaves both dictionaries to the constructor.
nb::object make_frame(PyObject* data, PyObject* tracker, PyObject* col_prov, PyObject* col_nodes);

}  // namespace dag
