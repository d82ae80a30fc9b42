// The write side of the operation log: source nodes, unary/binary/merge/
// aggregate nodes, and the per-row value buffer.
#include "tessel32_dag/messages.h"
#include "tessel32_dag/state.h"
#include "tessel32_dag/engine/tracker.h"
#include "tessel32_dag/persist/persist.h"

namespace dag {

// `metadata or {}`: the caller's dict when non-empty, else a new empty one
// (nullptr here: the node creates it when first asked).
static PyObject* metadata_or_empty(PyObject* metadata) {
  if (!metadata || metadata == Py_None) return nullptr;
  return PyDict_GET_SIZE(metadata) ? metadata : nullptr;
}

// One input id: kept as a C integer when it fits, else as the int object.
static bool lazy_id(PyObject* id_obj, int64_t& out) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(id_obj, &overflow);
  if (v == -1 && PyErr_Occurred()) glue::raise_current();
  if (overflow) return false;
  out = v;
  return true;
}

// The input ids of a node: C integers when they all fit, else a list of the
// int objects (returned, to be kept alive until the node is created).
static nb::object spec_inputs(NodeSpec& s, std::initializer_list<PyObject*> ids) {
  int k = 0;
  bool fits = true;
  for (PyObject* id : ids) fits = fits && lazy_id(id, s.in[k++]);
  if (fits) {
    s.n_lazy = (int) ids.size();
    return nb::object();
  }
  nb::object list = glue::steal(PyList_New((Py_ssize_t) ids.size()));
  k = 0;
  for (PyObject* id : ids) PyList_SET_ITEM(list.ptr(), k++, Py_NewRef(id));
  s.inputs = list.ptr();
  return list;
}

nb::object tracker_create_source_node(const glue::Call& c) {
  static const glue::Signature sig{"DAGTracker.create_source_node", {"table", "column", "provenance"}, 3};
  PyObject* a[3];
  glue::parse(sig, c, a);
  glue::check_str(a[0], "table");
  glue::check_str(a[1], "column");
  nb::object prov = glue::to_int(a[2], "provenance");
  if (PyUnicode_GET_LENGTH(a[0]) == 0 || PyUnicode_GET_LENGTH(a[1]) == 0)
    glue::raise(PyExc_ValueError, "%s", msg::EMPTY_TABLE_OR_COLUMN);

  PyObject* self = c.self;
  if (truthy(self_attr(self, S.s_dashboard_synced)))
    glue::steal(PyObject_CallMethodNoArgs(self, S.s_start_new_pipeline));

  nb::object key = nb::make_tuple(nb::handle(a[0]), nb::handle(a[1]));
  nb::object index = self_attr(self, S.s_source_nodes);
  PyObject* found = PyObject_GetItem(index.ptr(), key.ptr());
  if (found) return glue::check_result_int(glue::steal(found));
  if (!PyErr_ExceptionMatches(PyExc_KeyError)) glue::raise_current();
  PyErr_Clear();

  nb::object pair_id = glue::steal(PyObject_CallMethodObjArgs(self, S.s_get_id, a[0], a[1], nullptr));
  nb::object is_prot = glue::steal(PyObject_CallMethodObjArgs(self, S.s_is_protected, a[0], a[1], nullptr));

  nb::object operation = glue::steal(PyUnicode_FromFormat("%U.%U", a[0], a[1]));
  TrackerView t = tracker_view(self);
  NodeSpec s;
  s.node_type = S.nt[SOURCE];
  s.operation = operation.ptr();
  s.provenance = prov.ptr();
  s.table = a[0];
  s.column = a[1];
  s.pair_id = pair_id.ptr();
  s.is_protected = is_prot.ptr();
  nb::object id = create_node(t, s);
  glue::ok(PyObject_SetItem(index.ptr(), key.ptr(), id.ptr()));
  return id;
}

// A unary or binary node over the given input ids (checked ints).
static nb::object log_with_inputs(PyObject* self, NodeKind kind, PyObject* op_name,
                                  std::initializer_list<PyObject*> ids, PyObject* prov, PyObject* metadata) {
  TrackerView t = tracker_view(self);
  NodeSpec s;
  s.node_type = S.nt[kind];
  s.operation = op_name;
  nb::object inputs = spec_inputs(s, ids);
  s.provenance = prov;
  s.metadata = metadata_or_empty(metadata);
  return create_node(t, s);
}

nb::object tracker_log_unary(const glue::Call& c) {
  static const glue::Signature sig{"DAGTracker.log_unary", {"op_name", "input_node", "result_prov", "metadata"}, 3};
  PyObject* a[4];
  glue::parse(sig, c, a);
  glue::check_str(a[0], "op_name");
  nb::object input = glue::to_int(a[1], "input_node");
  nb::object prov = glue::to_int(a[2], "result_prov");
  if (a[3]) glue::check_dict(a[3], "metadata", true);
  return log_with_inputs(c.self, UNARY, a[0], {input.ptr()}, prov.ptr(), a[3]);
}

nb::object tracker_log_binary(const glue::Call& c) {
  static const glue::Signature sig{
      "DAGTracker.log_binary", {"op_name", "left_node", "right_node", "result_prov", "metadata"}, 4};
  PyObject* a[5];
  glue::parse(sig, c, a);
  glue::check_str(a[0], "op_name");
  nb::object left = glue::to_int(a[1], "left_node");
  nb::object right = glue::to_int(a[2], "right_node");
  nb::object prov = glue::to_int(a[3], "result_prov");
  if (a[4]) glue::check_dict(a[4], "metadata", true);
  return log_with_inputs(c.self, BINARY, a[0], {left.ptr(), right.ptr()}, prov.ptr(), a[4]);
}

nb::object tracker_log_merge(const glue::Call& c) {
  static const glue::Signature sig{
      "DAGTracker.log_merge", {"left_nodes", "right_nodes", "result_prov", "merge_type", "metadata"}, 3};
  PyObject* a[5];
  glue::parse(sig, c, a);
  glue::check_list(a[0], "left_nodes");
  glue::check_list(a[1], "right_nodes");
  nb::object prov = glue::to_int(a[2], "result_prov");
  nb::object inner = glue::steal(PyUnicode_FromString("inner"));
  PyObject* merge_type = a[3] ? a[3] : inner.ptr();
  glue::check_str(merge_type, "merge_type");
  if (a[4]) glue::check_dict(a[4], "metadata", true);

  nb::object inputs = glue::steal(PySequence_Concat(a[0], a[1]));
  nb::object operation = glue::steal(PyUnicode_FromFormat("merge_%U", merge_type));
  nb::object meta = glue::steal(PyDict_New());
  glue::ok(PyDict_SetItemString(meta.ptr(), "merge_type", merge_type));
  if (a[4] && a[4] != Py_None) glue::ok(PyDict_Update(meta.ptr(), a[4]));

  TrackerView t = tracker_view(c.self);
  NodeSpec s;
  s.node_type = S.nt[MERGE];
  s.operation = operation.ptr();
  s.inputs = inputs.ptr();
  s.provenance = prov.ptr();
  s.metadata = meta.ptr();
  return create_node(t, s);
}

nb::object tracker_log_aggregate(const glue::Call& c) {
  static const glue::Signature sig{
      "DAGTracker.log_aggregate", {"op_name", "input_nodes", "result_prov", "metadata"}, 3};
  PyObject* a[4];
  glue::parse(sig, c, a);
  glue::check_str(a[0], "op_name");
  glue::check_list(a[1], "input_nodes");
  nb::object prov = glue::to_int(a[2], "result_prov");
  if (a[3]) glue::check_dict(a[3], "metadata", true);

  TrackerView t = tracker_view(c.self);
  NodeSpec s;
  s.node_type = S.nt[AGGREGATE];
  s.operation = a[0];
  s.inputs = a[1];  // the caller's list itself
  s.provenance = prov.ptr();
  s.metadata = metadata_or_empty(a[3]);
  return create_node(t, s);
}

nb::object tracker_record_row_value(const glue::Call& c) {
  static const glue::Signature sig{
      "DAGTracker.record_row_value", {"row_index", "fingerprint", "operation", "value", "column_name"}, 3};
  PyObject* a[5];
  glue::parse(sig, c, a);
  nb::object row_index = glue::to_int(a[0], "row_index");
  nb::object fingerprint = glue::to_int(a[1], "fingerprint");
  glue::check_str(a[2], "operation");
  PyObject* value = a[3] ? a[3] : Py_None;
  PyObject* column_name = a[4] ? a[4] : Py_None;
  glue::check_str(column_name, "column_name", true);

  PyObject* self = c.self;
  // Memory-only trackers have nowhere to send row values: buffering them
  // would only grow without bound, so nothing is kept until a writer exists.
  nb::object writer = self_attr(self, S.s_writer);
  if (!truthy(writer)) return nb::none();

  nb::object record_type = persist::import_name(persist::PKG_STORAGE, "StoredRowValue");

  nb::object numeric = nb::none(), text = nb::none();
  if (value != Py_None) {
    PyObject* f = PyNumber_Float(value);
    if (f) {
      numeric = glue::steal(f);
    } else if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_TypeError) ||
               PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      text = glue::steal(PyObject_Str(value));
    } else {
      glue::raise_current();
    }
  }
  nb::object pid = self_attr(self, S.s_pipeline_id);
  if (!truthy(pid)) pid = nb::int_(0);
  static const persist::KwNames kw{"pipeline_id", "row_index",   "fingerprint", "node_operation",
                                   "value",       "column_name", "tenant_id",   "text_value"};
  nb::object tenant = self_attr(self, S.s_tenant_id);
  nb::object record = persist::call_kw(record_type, {}, kw,
                                       {pid.ptr(), row_index.ptr(), fingerprint.ptr(), a[2], numeric.ptr(), column_name,
                                        tenant.ptr(), text.ptr()});

  nb::object lock = self_attr(self, S.s_value_buffer_lock);
  LockGuard guard(lock);
  nb::object buffer = self_attr(self, S.s_value_buffer);
  glue::ok(PyList_Append(buffer.ptr(), record.ptr()));
  nb::object threshold = self_attr(self, S.s_value_flush_threshold);
  Py_ssize_t n = PyObject_Length(buffer.ptr());
  if (n < 0) glue::raise_current();
  nb::object len = nb::int_(n);
  int ge = PyObject_RichCompareBool(len.ptr(), threshold.ptr(), Py_GE);
  if (ge < 0) glue::raise_current();
  if (ge) {
    nb::object w = self_attr(self, S.s_writer);
    if (truthy(w)) {
      nb::object copy = glue::steal(PySequence_GetSlice(buffer.ptr(), 0, PY_SSIZE_T_MAX));
      glue::steal(PyObject_CallMethodOneArg(w.ptr(), S.s_write_row_values, copy.ptr()));
      glue::steal(PyObject_CallMethod(buffer.ptr(), "clear", nullptr));
    }
  }
  return nb::none();
}

}  // namespace dag
