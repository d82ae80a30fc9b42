// Conversions of Python records to rows (see convert.h).
#include "persistence/convert.h"

#include "glue/args.h"
#include "glue/errors.h"
#include "persistence/messages.h"
#include "persistence/records.h"

namespace persist {
namespace {

PyObject* g_dumps = nullptr;  ///< json.dumps, held for the process's life
PyObject* g_str = nullptr;    ///< the builtin str (json's default= for the rest)

/// A field of a record: the slot of our own types, else getattr (new ref).
nb::object field(PyObject* rec, PyTypeObject* type, int idx, const char* name) {
  if (PyObject_TypeCheck(rec, type)) return nb::borrow(record_field(rec, idx));
  return glue::steal(PyObject_GetAttrString(rec, name));
}

std::string as_str(PyObject* v, const char* rec, const char* f) {
  if (!PyUnicode_Check(v)) glue::raise(PyExc_TypeError, msg::FIELD_NOT_STR, rec, f, Py_TYPE(v)->tp_name);
  Py_ssize_t n;
  const char* p = PyUnicode_AsUTF8AndSize(v, &n);
  if (!p) glue::raise_current();
  return std::string(p, (size_t) n);
}

std::optional<std::string> as_opt_str(PyObject* v, const char* rec, const char* f) {
  if (v == Py_None) return std::nullopt;
  return as_str(v, rec, f);
}

/// NodeType members and other enums travel by name.
std::string type_name(PyObject* v) {
  if (PyUnicode_Check(v)) return as_str(v, "StoredNode", "node_type");
  nb::object name = glue::steal(PyObject_GetAttrString(v, "name"));
  return as_str(name.ptr(), "StoredNode", "node_type");
}

std::optional<double> as_opt_double(PyObject* v, const char* rec, const char* f) {
  if (v == Py_None) return std::nullopt;
  if (PyFloat_CheckExact(v)) return PyFloat_AS_DOUBLE(v);
  if (PyUnicode_Check(v) || PyBytes_Check(v))
    glue::raise(PyExc_TypeError, msg::FIELD_NOT_FLOAT, rec, f, Py_TYPE(v)->tp_name);
  double d = PyFloat_AsDouble(v);
  if (d == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    glue::raise(PyExc_TypeError, msg::FIELD_NOT_FLOAT, rec, f, Py_TYPE(v)->tp_name);
  }
  return d;
}

bool as_bool(PyObject* v) {
  if (v == Py_True) return true;
  if (v == Py_False || v == Py_None) return false;
  int t = PyObject_IsTrue(v);
  if (t < 0) glue::raise_current();
  return t;
}

}  // namespace

std::string utf8(PyObject* str) {
  Py_ssize_t n;
  const char* p = PyUnicode_AsUTF8AndSize(str, &n);
  if (!p) glue::raise_current();
  return std::string(p, (size_t) n);
}

void convert_init() {
  nb::object json = glue::steal(PyImport_ImportModule("json"));
  g_dumps = glue::steal(PyObject_GetAttrString(json.ptr(), "dumps")).release().ptr();
  g_str = Py_NewRef((PyObject*) &PyUnicode_Type);
}

int64_t as_i64(PyObject* v, const char* rec, const char* f) {
  if (v == Py_None) glue::raise(PyExc_ValueError, msg::FIELD_REQUIRED, rec, f);
  if (PyBool_Check(v)) return v == Py_True;
  if (PyFloat_Check(v) || PyUnicode_Check(v) || PyBytes_Check(v) || !PyIndex_Check(v))
    glue::raise(PyExc_TypeError, msg::FIELD_NOT_INT, rec, f, Py_TYPE(v)->tp_name);
  return glue::int64_wrapping(v);  // an unsigned 64-bit value (a hash) keeps its bits
}

std::optional<int64_t> as_opt_i64(PyObject* v, const char* rec, const char* f) {
  if (v == Py_None) return std::nullopt;
  return as_i64(v, rec, f);
}

std::optional<std::string> metadata_json(PyObject* metadata) {
  if (!metadata || metadata == Py_None) return std::nullopt;
  if (PyDict_Check(metadata) && PyDict_GET_SIZE(metadata) == 0) return std::nullopt;
  nb::object kw = glue::steal(Py_BuildValue("{s:O}", "default", g_str));
  nb::object args = glue::steal(PyTuple_Pack(1, metadata));
  nb::object text = glue::steal(PyObject_Call(g_dumps, args.ptr(), kw.ptr()));
  return as_str(text.ptr(), "StoredNode", "metadata");
}

NodeRow node_row(PyObject* n) {
  PyTypeObject* T = &StoredNodeType;
  const char* R = "StoredNode";
  NodeRow r;
  r.pipeline_id = as_i64(field(n, T, node_f::pipeline_id, "pipeline_id").ptr(), R, "pipeline_id");
  r.fingerprint = as_i64(field(n, T, node_f::fingerprint, "fingerprint").ptr(), R, "fingerprint");
  r.node_type = type_name(field(n, T, node_f::node_type, "node_type").ptr());
  r.operation = as_str(field(n, T, node_f::operation, "operation").ptr(), R, "operation");
  r.table_name = as_opt_str(field(n, T, node_f::table_name, "table_name").ptr(), R, "table_name");
  r.column_name = as_opt_str(field(n, T, node_f::column_name, "column_name").ptr(), R, "column_name");
  r.pair_id = as_opt_i64(field(n, T, node_f::pair_id, "pair_id").ptr(), R, "pair_id");
  r.is_protected = as_bool(field(n, T, node_f::is_protected, "is_protected").ptr());
  r.entity_hash = as_opt_i64(field(n, T, node_f::entity_hash, "entity_hash").ptr(), R, "entity_hash");
  r.chain_hash = as_opt_i64(field(n, T, node_f::chain_hash, "chain_hash").ptr(), R, "chain_hash");
  r.metadata = metadata_json(field(n, T, node_f::metadata, "metadata").ptr());
  return r;
}

EdgeRow edge_row(PyObject* e, int64_t pipeline_id) {
  PyTypeObject* T = &StoredEdgeType;
  const char* R = "StoredEdge";
  EdgeRow r;
  r.pipeline_id = pipeline_id;
  r.parent_fingerprint =
      as_i64(field(e, T, edge_f::parent_fingerprint, "parent_fingerprint").ptr(), R, "parent_fingerprint");
  r.child_fingerprint =
      as_i64(field(e, T, edge_f::child_fingerprint, "child_fingerprint").ptr(), R, "child_fingerprint");
  r.input_position = as_i64(field(e, T, edge_f::input_position, "input_position").ptr(), R, "input_position");
  return r;
}

RowValueRow value_row(PyObject* v) {
  PyTypeObject* T = &StoredRowValueType;
  const char* R = "StoredRowValue";
  RowValueRow r;
  r.pipeline_id = as_i64(field(v, T, value_f::pipeline_id, "pipeline_id").ptr(), R, "pipeline_id");
  r.row_index = as_i64(field(v, T, value_f::row_index, "row_index").ptr(), R, "row_index");
  r.fingerprint = as_i64(field(v, T, value_f::fingerprint, "fingerprint").ptr(), R, "fingerprint");
  r.node_operation = as_str(field(v, T, value_f::node_operation, "node_operation").ptr(), R, "node_operation");
  r.value = as_opt_double(field(v, T, value_f::value, "value").ptr(), R, "value");
  r.column_name = as_opt_str(field(v, T, value_f::column_name, "column_name").ptr(), R, "column_name");
  r.tenant_id = as_opt_str(field(v, T, value_f::tenant_id, "tenant_id").ptr(), R, "tenant_id");
  r.text_value = as_opt_str(field(v, T, value_f::text_value, "text_value").ptr(), R, "text_value");
  return r;
}

Items items_of(PyObject* seq, const char* what) {
  nb::object t;
  if (PyTuple_Check(seq)) t = nb::borrow(seq);
  else if (PyList_Check(seq)) t = glue::steal(PyList_AsTuple(seq));
  else glue::raise(PyExc_TypeError, msg::NOT_A_LIST, what, Py_TYPE(seq)->tp_name);
  PyObject* const* items = PySequence_Fast_ITEMS(t.ptr());
  Py_ssize_t n = PyTuple_GET_SIZE(t.ptr());
  return {std::move(t), items, n};
}

static Items row_items(PyObject* row, int n, const char* what) {
  if ((PyTuple_Check(row) || PyList_Check(row)) && PySequence_Fast_GET_SIZE(row) == n) return items_of(row, what);
  glue::raise(PyExc_TypeError, msg::ROW_SHAPE, what, n, Py_TYPE(row)->tp_name);
}

ResolvedEdgeRow resolved_edge_row(PyObject* row) {
  Items it = row_items(row, 3, "store_edges_resolved");
  const char* R = "edge row";
  return ResolvedEdgeRow{as_i64(it.items[0], R, "parent_id"), as_i64(it.items[1], R, "child_id"),
                         as_i64(it.items[2], R, "input_position")};
}

ResultRow result_row(PyObject* row) {
  Items it = row_items(row, 5, "store_results");
  const char* R = "result row";
  ResultRow r;
  if (PyUnicode_Check(it.items[0])) {
    r.row_key = as_str(it.items[0], R, "row_key");
  } else {
    nb::object s = glue::steal(PyObject_Str(it.items[0]));
    r.row_key = as_str(s.ptr(), R, "row_key");
  }
  r.output_name = as_str(it.items[1], R, "output_name");
  r.fingerprint = as_i64(it.items[2], R, "fingerprint");
  r.value = as_opt_double(it.items[3], R, "value");
  r.input_hash = as_opt_str(it.items[4], R, "input_hash");
  return r;
}

SqlRow sql_params(PyObject* params) {
  SqlRow out;
  if (!params || params == Py_None) return out;
  Items it = items_of(params, "params");
  out.reserve((size_t) it.n);
  for (Py_ssize_t i = 0; i < it.n; ++i) {
    PyObject* v = it.items[i];
    if (v == Py_None) out.emplace_back(std::monostate{});
    else if (PyBool_Check(v)) out.emplace_back((int64_t) (v == Py_True));
    else if (PyLong_Check(v)) out.emplace_back(as_i64(v, "param", "value"));
    else if (PyFloat_Check(v)) out.emplace_back(PyFloat_AS_DOUBLE(v));
    else if (PyUnicode_Check(v)) out.emplace_back(as_str(v, "param", "value"));
    else glue::raise(PyExc_TypeError, msg::BAD_PARAM, Py_TYPE(v)->tp_name);
  }
  return out;
}

nb::object sql_value_to_py(const SqlValue& v) {
  if (auto* p = std::get_if<int64_t>(&v)) return glue::steal(PyLong_FromLongLong(*p));
  if (auto* d = std::get_if<double>(&v)) return glue::steal(PyFloat_FromDouble(*d));
  if (auto* t = std::get_if<std::string>(&v))
    return glue::steal(PyUnicode_DecodeUTF8(t->data(), (Py_ssize_t) t->size(), "replace"));
  return nb::none();
}

}  // namespace persist
