// The entry and exit of a tracked pipeline: wrap_dataframe_dag turns a source
// table into a DAGTrackedDataFrame (one provenance value per cell, one source
// node per column, source values recorded per row); combine_provenances,
// get_dag_for_series and dag_audit lead from a result element back to its
// lineage.
//
// wrap_dataframe_dag stays native per cell as long as the tracker keeps the
// base encode/entity_from_row/record_row_value; any of them overridden is
// called from Python for every cell, exactly as a Python loop would.
#include <cmath>
#include <vector>

#include "glue/buffer.h"
#include "tessel32_dag/tracked/frame_internal.h"
#include "tessel32_dag/messages.h"
#include "tessel32_dag/state.h"
#include "tessel32_dag/tracked/tracked.h"
#include "tessel32_dag/engine/tracker.h"
#include "tessel32_dag/engine/analysis.h"

namespace dag {
using namespace nb::literals;

namespace {

struct WrapGlobals {
  PyObject *s_register, *s_entity_from_row, *s_encode, *s_create_source_node, *s_get_node,
      *s_decode_full, *s_get_mode, *s_explain, *s_explain_tables, *s_has_protected, *s_pairs, *s_entity, *s_chain,
      *s_taint, *s_depth, *s_iloc, *s_dtype, *s_astype, *s_to_numpy, *s_tolist, *s_array, *s_kind, *s_start,
      *s_step, *s_operation_counts, *s_protected_sources, *s_source_nodes, *s_lineage;
  PyObject* kw_encode = nullptr;       ///< ("entity", "chain", "taint", "depth")
  PyObject* kw_column_name = nullptr;  ///< ("column_name",)
  PyObject* op_custom = nullptr;
  PyObject* range_index = nullptr;  ///< pandas.RangeIndex
  PyObject* np_dtype = nullptr;     ///< numpy.dtype
  PyObject* audit_error = nullptr;  ///< "No tracker or empty series"
} W;

nb::object call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args) {
  std::vector<PyObject*> v{obj};
  v.insert(v.end(), args.begin(), args.end());
  return glue::steal(PyObject_VectorcallMethod(name, v.data(), v.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

nb::object attr(nb::handle o, PyObject* name) { return glue::steal(PyObject_GetAttr(o.ptr(), name)); }

Py_ssize_t length(nb::handle o) {
  Py_ssize_t n = PyObject_Length(o.ptr());
  if (n < 0) glue::raise_current();
  return n;
}

/// An attribute that may be missing: a null object then.
nb::object attr_or_null(nb::handle o, PyObject* name) {
  PyObject* v = nullptr;
  if (PyObject_GetOptionalAttr(o.ptr(), name, &v) < 0) glue::raise_current();
  return v ? nb::steal(v) : nb::object();
}

/// Discard the pending error if it derives from Exception (the guarded
/// per-cell steps); anything else (KeyboardInterrupt, ...) propagates.
void discard_exception() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) glue::raise_current();
  PyErr_Clear();
}


uint32_t to_prov(PyObject* v) {
  nb::object i = glue::steal(PyNumber_Index(v));
  int overflow = 0;
  long long x = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
  if (x == -1 && !overflow && PyErr_Occurred()) glue::raise_current();
  if (overflow || x < 0 || x > 0xFFFFFFFFll) glue::raise(PyExc_OverflowError, msg::PROV_OUT_OF_RANGE, i.ptr());
  return (uint32_t) x;
}

bool is_int64_dtype(nb::handle dtype) {
  nb::object kind = attr(dtype, W.s_kind);
  nb::object size = glue::steal(PyObject_GetAttrString(dtype.ptr(), "itemsize"));
  return PyUnicode_CompareWithASCIIString(kind.ptr(), "i") == 0 && glue::to_int64(size.ptr(), "itemsize") == 8;
}

/// Is the tracker in the exact row-lineage mode (lineage="rows")?
bool row_mode(PyObject* tracker) {
  nb::object mode = attr_or_null(tracker, W.s_lineage);
  if (!mode.is_valid() || !PyUnicode_Check(mode.ptr())) return false;
  return PyUnicode_CompareWithASCIIString(mode.ptr(), "rows") == 0;
}

/// The pure-Python orchestration of the row-lineage mode (imported on use).
nb::object row_lineage() { return nb::module_::import_("corvanti.utilities._row_lineage"); }

// ---- entity tags of the rows ------------------------------------------------------------

/// Native entity tags (the base entity_from_row, reduced modulo 2**bits) of
/// every row label.
std::vector<uint32_t> native_entities(nb::handle index, Py_ssize_t n, uint64_t modulus) {
  const Tessel32CAPI* api = S.t32;
  std::vector<uint32_t> out((size_t) n);
  auto reduce = [&](uint32_t h) { return (uint32_t) ((h & 255u) % modulus); };
  int is_range = PyObject_IsInstance(index.ptr(), W.range_index);
  glue::ok(is_range);
  if (is_range) {
    int64_t start = glue::to_int64(attr(index, W.s_start).ptr(), "start");
    int64_t step = glue::to_int64(attr(index, W.s_step).ptr(), "step");
    for (Py_ssize_t i = 0; i < n; ++i) out[(size_t) i] = reduce(api->hash_entity_i64(start + step * i));
    return out;
  }
  nb::object dtype = attr(index, W.s_dtype);
  int is_np = PyObject_IsInstance(dtype.ptr(), W.np_dtype);
  glue::ok(is_np);
  if (is_np && is_int64_dtype(dtype)) {
    nb::object arr = glue::steal(PyObject_CallMethodNoArgs(index.ptr(), W.s_to_numpy));
    Py_buffer b;
    if (PyObject_GetBuffer(arr.ptr(), &b, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0) {
      struct Rel {
        Py_buffer* b;
        ~Rel() { PyBuffer_Release(b); }
      } rel{&b};
      const char* f = b.format ? b.format : "B";
      if (*f == '<' || *f == '=' || *f == '@') ++f;
      if (b.ndim == 1 && b.itemsize == 8 && (*f == 'q' || *f == 'l') && b.shape[0] == n) {
        const int64_t* v = (const int64_t*) b.buf;
        for (Py_ssize_t i = 0; i < n; ++i) out[(size_t) i] = reduce(api->hash_entity_i64(v[i]));
        return out;
      }
    } else {
      PyErr_Clear();
    }
  }
  nb::object labels = glue::steal(PyObject_CallMethodNoArgs(index.ptr(), W.s_tolist));
  if (!PyList_Check(labels.ptr()) || PyList_GET_SIZE(labels.ptr()) != n) labels = glue::steal(PySequence_List(index.ptr()));
  for (Py_ssize_t i = 0; i < n; ++i) {
    nb::object label = nb::borrow(PyList_GET_ITEM(labels.ptr(), i));
    uint32_t h = 0;
    if (api->hash_entity(label.ptr(), &h) < 0) glue::raise_current();
    out[(size_t) i] = reduce(h);
  }
  return out;
}

// ---- source values as a positional row lookup gives them --------------------------------

/// The values of column position j exactly as df.iloc[i][col] gives them: the
/// row's dtype is the frame's common (interleaved) dtype, so the column is
/// converted to it once and unboxed as pandas unboxes a row element. Returns
/// a list, or a null object when the values cannot be read (the per-cell
/// step would fail for every cell). `exact`: numpy scalars exactly as the row
/// lookup gives them (for an overriding record_row_value); otherwise the
/// equal plain Python scalars, which the native record_row_value takes.
nb::object column_row_values(nb::handle df, Py_ssize_t j, nb::handle row_dtype, bool exact) {
  try {
    nb::object iloc = attr(df, W.s_iloc);
    nb::object key = nb::make_tuple(nb::steal(PySlice_New(nullptr, nullptr, nullptr)), nb::int_(j));
    nb::object col = glue::steal(PyObject_GetItem(iloc.ptr(), key.ptr()));
    nb::object dtype = attr(col, W.s_dtype);
    int same = PyObject_RichCompareBool(dtype.ptr(), row_dtype.ptr(), Py_EQ);
    if (same < 0) glue::raise_current();
    // An object row holds each column's own scalars (numpy ones for numpy
    // columns): the exact values need no conversion.
    if (exact && !same && PyUnicode_CompareWithASCIIString(attr(row_dtype, W.s_kind).ptr(), "O") == 0) same = 1;
    if (!same) {
      col = call_method(col.ptr(), W.s_astype, {row_dtype.ptr()});
      dtype = attr(col, W.s_dtype);
    }
    int is_np = PyObject_IsInstance(dtype.ptr(), W.np_dtype);
    glue::ok(is_np);
    bool plain = false;
    if (is_np) {
      nb::object kind = attr(dtype, W.s_kind);
      plain = PyUnicode_CompareWithASCIIString(kind.ptr(), "M") != 0 &&
              PyUnicode_CompareWithASCIIString(kind.ptr(), "m") != 0;
    }
    if (plain) {
      nb::object arr = glue::steal(PyObject_CallMethodNoArgs(col.ptr(), W.s_to_numpy));
      if (exact) return glue::steal(PySequence_List(arr.ptr()));  // numpy scalars, as a row gives them
      return glue::steal(PyObject_CallMethodNoArgs(arr.ptr(), W.s_tolist));
    }
    // datetimes, categoricals, nullable and other extension arrays box their
    // elements (Timestamp, category value, NA) the way a row lookup does.
    nb::object arr = attr(col, W.s_array);
    return glue::steal(PySequence_List(arr.ptr()));
  } catch (const glue::error_set&) {
    discard_exception();
    return nb::object();
  }
}

// ---- wrap_dataframe_dag ---------------------------------------------------------------------

/// The columns named by a list, tuple or set `protected` (as str), or a null
/// object when `protected` is a flag for every column.
nb::object protected_columns(PyObject* protected_) {
  if (!(PyList_Check(protected_) || PyTuple_Check(protected_) || PyAnySet_Check(protected_))) return nb::object();
  nb::object cols = glue::steal(PySet_New(nullptr));
  nb::object it = glue::steal(PyObject_GetIter(protected_));
  while (PyObject* item = PyIter_Next(it.ptr())) {
    nb::object owned = nb::steal(item);
    nb::object s = glue::steal(PyObject_Str(item));
    glue::ok(PySet_Add(cols.ptr(), s.ptr()));
  }
  if (PyErr_Occurred()) glue::raise_current();
  return cols;
}

/// One call of wrap_dataframe_dag: what every column shares.
struct WrapJob {
  PyObject* df;
  PyObject* tracker;
  PyObject* table;
  PyObject* protected_;
  bool include_entity;
  Py_ssize_t n;
  nb::object protected_cols;
  nb::object modulus_obj;  ///< 2 ** MODE_01_ENTITY_BITS
  uint64_t modulus;
  // Which per-cell steps can stay native.
  bool native_encode, native_entity, base_record;
  nb::object index;
  std::vector<uint32_t> entities;  ///< native tags, computed once when needed
  bool entities_ready = false;
  nb::object labels;               ///< index[i] per row, for a Python entity_from_row
  nb::object row_dtype;            ///< the dtype of df.iloc[i], when values are recorded
  bool row_dtype_failed = false;
  nb::object zero = nb::int_(0);

  const std::vector<uint32_t>& native_tags() {
    if (!entities_ready) {
      entities = native_entities(index, n, modulus);
      entities_ready = true;
    }
    return entities;
  }

  /// The row values of column j for record_row_value, or a null object when
  /// none are recorded (no writer and no override, or unreadable values).
  nb::object row_values(Py_ssize_t j) {
    if (n == 0) return nb::object();
    if (base_record) {
      nb::object writer = attr_or_null(tracker, S.s_writer);
      if (writer.is_valid() && !truthy(writer)) return nb::object();
    }
    if (!row_dtype.is_valid() && !row_dtype_failed) {
      try {
        nb::object iloc = attr(df, W.s_iloc);
        nb::object row0 = glue::steal(PyObject_GetItem(iloc.ptr(), zero.ptr()));
        row_dtype = attr(row0, W.s_dtype);
      } catch (const glue::error_set&) {
        discard_exception();
        row_dtype_failed = true;
      }
    }
    if (!row_dtype.is_valid()) return nb::object();
    nb::object values = column_row_values(df, j, row_dtype, !base_record);
    if (!values.is_valid() || PyList_GET_SIZE(values.ptr()) != n) return nb::object();
    return values;
  }

  /// The provenance of cell i through the tracker's Python encode /
  /// entity_from_row.
  uint32_t python_cell(Py_ssize_t i, PyObject* set_of_pid, PyObject* is_prot) {
    nb::object entity = zero;
    if (include_entity) {
      if (native_entity) {
        entity = nb::int_(native_tags()[(size_t) i]);
      } else {
        nb::object e = call_method(tracker, W.s_entity_from_row, {PyList_GET_ITEM(labels.ptr(), i)});
        entity = glue::steal(PyNumber_Remainder(e.ptr(), modulus_obj.ptr()));
      }
    }
    PyObject* args[] = {tracker, set_of_pid, entity.ptr(), zero.ptr(), is_prot, zero.ptr()};
    nb::object p =
        glue::steal(PyObject_VectorcallMethod(W.s_encode, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, W.kw_encode));
    return to_prov(p.ptr());
  }

  void record(Py_ssize_t i, PyObject* val, uint32_t prov, PyObject* operation, PyObject* col_str) {
    if (val == Py_None || (PyFloat_Check(val) && std::isnan(PyFloat_AS_DOUBLE(val)))) return;
    nb::object row = nb::int_(i);
    nb::object fp = glue::steal(PyLong_FromUnsignedLong(prov));
    PyObject* args[] = {tracker, row.ptr(), fp.ptr(), operation, val, col_str};
    PyObject* r =
        PyObject_VectorcallMethod(S.s_record_row_value, args, 5 | PY_VECTORCALL_ARGUMENTS_OFFSET, W.kw_column_name);
    if (r) Py_DECREF(r);
    else discard_exception();
  }

  /// Register column j, encode its cells, create its source node and record
  /// its row values; returns (provenance array, node-id array).
  std::pair<nb::object, nb::object> column(Py_ssize_t j, PyObject* col);
};

std::pair<nb::object, nb::object> WrapJob::column(Py_ssize_t j, PyObject* col) {
  const Tessel32CAPI* api = S.t32;
  nb::object col_str = glue::steal(PyObject_Str(col));
  nb::object col_protected;
  if (protected_cols.is_valid()) {
    int has = PySet_Contains(protected_cols.ptr(), col_str.ptr());
    glue::ok(has);
    col_protected = nb::bool_(has == 1);
  } else {
    col_protected = nb::borrow(protected_);
  }
  nb::object pair_id = call_method(tracker, W.s_register, {table, col_str.ptr(), col_protected.ptr()});
  nb::object is_prot = call_method(tracker, S.s_is_protected, {table, col_str.ptr()});
  bool taint = truthy(is_prot);
  nb::object prov_arr = new_zeros(n, F.u32);
  nb::object node_arr = new_zeros(n, F.i64);

  // Native encode needs the base encode and a plain pair id in range.
  uint32_t pid = 0;
  bool cell_native = native_encode && (!include_entity || native_entity) && PyLong_CheckExact(pair_id.ptr());
  if (cell_native) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(pair_id.ptr(), &overflow);
    if (v == -1 && !overflow && PyErr_Occurred()) glue::raise_current();
    cell_native = !overflow && v >= 1 && v <= 0xFFFFFFFFll;
    pid = (uint32_t) v;
  }
  if (cell_native && include_entity && n > 0) native_tags();
  if (!cell_native && include_entity && !native_entity && !labels.is_valid()) {
    labels = glue::steal(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      nb::object pos = nb::int_(i);
      PyList_SET_ITEM(labels.ptr(), i, glue::steal(PyObject_GetItem(index.ptr(), pos.ptr())).release().ptr());
    }
  }
  nb::object values = row_values(j);
  nb::object operation;
  if (values.is_valid()) operation = glue::steal(PyUnicode_FromFormat("%U.%S", table, col));

  glue::Buffer pb = glue::Buffer::writable_ints(prov_arr, false, 4, n, "the provenance array");
  glue::Buffer nbuf = glue::Buffer::writable_ints(node_arr, true, 8, n, "the node-id array");
  uint32_t* pd = pb.data<uint32_t>();
  int64_t* nd = nbuf.data<int64_t>();
  int64_t source_node = 0;
  nb::object set_of_pid;
  if (!cell_native) {
    set_of_pid = glue::steal(PySet_New(nullptr));
    glue::ok(PySet_Add(set_of_pid.ptr(), pair_id.ptr()));
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    uint32_t prov = cell_native ? api->encode(&pid, 1, include_entity ? entities[(size_t) i] : 0, 0, taint, 0)
                                : python_cell(i, set_of_pid.ptr(), is_prot.ptr());
    pd[i] = prov;
    if (i == 0) {
      nb::object p0 = glue::steal(PyLong_FromUnsignedLong(prov));
      nb::object id = call_method(tracker, W.s_create_source_node, {table, col_str.ptr(), p0.ptr()});
      source_node = glue::to_int64(id.ptr(), "node_id");
    }
    nd[i] = source_node;
    if (values.is_valid()) record(i, PyList_GET_ITEM(values.ptr(), i), prov, operation.ptr(), col_str.ptr());
  }
  return {prov_arr, node_arr};
}

nb::object f_wrap(const glue::Call& c) {
  static const glue::Signature sig{"wrap_dataframe_dag", {"df", "tracker", "table", "protected", "include_entity"}, 3};
  PyObject* a[5];
  glue::parse(sig, c, a);
  glue::check_str(a[2], "table");
  WrapJob job{};
  job.df = a[0];
  job.tracker = a[1];
  job.table = a[2];
  job.protected_ = a[3] ? a[3] : Py_False;
  job.include_entity = a[4] ? truthy(a[4]) : true;

  nb::object frame = make_frame(job.df, job.tracker, nullptr, nullptr);
  job.n = length(job.df);
  job.protected_cols = protected_columns(job.protected_);
  nb::object bits = nb::handle(S.module).attr("MODE_01_ENTITY_BITS");
  job.modulus_obj = glue::steal(PyNumber_Lshift(nb::int_(1).ptr(), bits.ptr()));
  int mod_overflow = 0;
  long long mod_ll = PyLong_AsLongLongAndOverflow(job.modulus_obj.ptr(), &mod_overflow);
  job.modulus = (mod_overflow || mod_ll <= 0 || mod_ll > (1ll << 32)) ? (1ull << 32) : (uint64_t) mod_ll;
  job.native_encode = glue::not_overridden(job.tracker, W.s_encode, S.t32->encode_attr);
  job.native_entity = glue::not_overridden(job.tracker, W.s_entity_from_row, S.t32->entity_from_row_attr);
  job.base_record = glue::not_overridden(job.tracker, S.s_record_row_value, S.d_record_row_value);
  job.index = attr(job.df, F.s_index);

  nb::object columns = glue::steal(PySequence_List(attr(job.df, F.s_columns).ptr()));
  nb::object col_prov_dict = glue::instance_attr(frame.ptr(), F.s_col_prov);
  nb::object col_nodes_dict = glue::instance_attr(frame.ptr(), F.s_col_nodes);
  for (Py_ssize_t j = 0; j < PyList_GET_SIZE(columns.ptr()); ++j) {
    PyObject* col = PyList_GET_ITEM(columns.ptr(), j);
    auto [prov_arr, node_arr] = job.column(j, col);
    glue::ok(PyObject_SetItem(col_prov_dict.ptr(), col, prov_arr.ptr()));
    glue::ok(PyObject_SetItem(col_nodes_dict.ptr(), col, node_arr.ptr()));
  }
  if (row_mode(job.tracker)) return row_lineage().attr("adopt_source")(frame, nb::handle(job.table));
  return frame;
}

// ---- combine_provenances ----------------------------------------------------------------------

nb::object f_combine_provenances(const glue::Call& c) {
  static const glue::Signature sig{"combine_provenances", {"tracker", "node_ids", "op_code"}, 2};
  PyObject* a[3];
  glue::parse(sig, c, a);
  PyObject* tracker = a[0];
  PyObject* op_code = (a[2] && a[2] != Py_None) ? a[2] : W.op_custom;
  nb::object combined = nb::int_(0);
  nb::object zero = nb::int_(0);
  nb::object it = glue::steal(PyObject_GetIter(a[1]));
  while (PyObject* item = PyIter_Next(it.ptr())) {
    nb::object nid = nb::steal(item);
    nb::object node = call_method(tracker, W.s_get_node, {nid.ptr()});
    if (node.is_none()) continue;
    nb::object prov = attr(node, S.s_provenance);
    int is_zero = PyObject_RichCompareBool(combined.ptr(), zero.ptr(), Py_EQ);
    if (is_zero < 0) glue::raise_current();
    combined = is_zero ? prov : call_method(tracker, S.s_combine, {combined.ptr(), prov.ptr(), op_code});
  }
  if (PyErr_Occurred()) glue::raise_current();
  return combined;
}

// ---- get_dag_for_series / dag_audit -----------------------------------------------------------

nb::object row_index_arg(PyObject* v) {
  if (!v) return nb::int_(0);
  return glue::to_int(v, "row_index");
}

nb::object dag_for_series(PyObject* series, PyObject* row_index) {
  nb::object tracker = attr_or_null(series, F.s_tracker);
  if (!tracker.is_valid() || !truthy(tracker)) return nb::none();
  nb::object node_ids = attr_or_null(series, F.s_node_ids);
  if (!node_ids.is_valid()) return nb::none();
  nb::object len = nb::int_(length(node_ids));
  int beyond = PyObject_RichCompareBool(row_index, len.ptr(), Py_GE);
  if (beyond < 0) glue::raise_current();
  if (beyond) return nb::none();
  nb::object item = glue::steal(PyObject_GetItem(node_ids.ptr(), row_index));
  nb::object node_id = glue::to_int(item.ptr(), "node_id");
  nb::object zero = nb::int_(0);
  int negative = PyObject_RichCompareBool(node_id.ptr(), zero.ptr(), Py_LT);
  if (negative < 0) glue::raise_current();
  if (negative) return nb::none();
  return call_method(tracker.ptr(), S.s_get_dag, {node_id.ptr()});
}

nb::object f_get_dag_for_series(const glue::Call& c) {
  static const glue::Signature sig{"get_dag_for_series", {"series", "row_index"}, 1};
  PyObject* a[2];
  glue::parse(sig, c, a);
  nb::object row_index = row_index_arg(a[1]);
  return dag_for_series(a[0], row_index.ptr());
}

nb::object source_pairs(nb::handle nodes) {
  nb::object out = glue::steal(PyList_New(0));
  nb::object it = glue::steal(PyObject_GetIter(nodes.ptr()));
  while (PyObject* item = PyIter_Next(it.ptr())) {
    nb::object node = nb::steal(item);
    nb::object pair = nb::make_tuple(attr(node, S.s_table), attr(node, S.s_column));
    glue::ok(PyList_Append(out.ptr(), pair.ptr()));
  }
  if (PyErr_Occurred()) glue::raise_current();
  return out;
}

nb::object f_dag_audit(const glue::Call& c) {
  static const glue::Signature sig{"dag_audit", {"series", "row_index"}, 1};
  PyObject* a[2];
  glue::parse(sig, c, a);
  PyObject* series = a[0];
  nb::object row_index = row_index_arg(a[1]);

  nb::object tracker = attr_or_null(series, F.s_tracker);
  if (!tracker.is_valid() || !truthy(tracker) || length(nb::handle(series)) == 0) {
    nb::object d = glue::steal(PyDict_New());
    glue::ok(PyDict_SetItemString(d.ptr(), "error", W.audit_error));
    return d;
  }
  nb::object prov_arr = attr(nb::handle(series), F.s_prov);
  nb::object prov = glue::to_int(glue::steal(PyObject_GetItem(prov_arr.ptr(), row_index.ptr())).ptr(), "provenance");
  uint32_t prov_u32 = to_prov(prov.ptr());
  PyObject* t = tracker.ptr();
  nb::object decoded = call_method(t, W.s_decode_full, {prov.ptr()});
  nb::object dag = dag_for_series(series, row_index.ptr());

  nb::object pairs = attr(decoded, W.s_pairs);
  nb::object pair_ids = glue::steal(PySequence_List(pairs.ptr()));
  glue::ok(PyList_Sort(pair_ids.ptr()));

  nb::object d = glue::steal(PyDict_New());
  auto put = [&](const char* k, nb::handle v) { glue::ok(PyDict_SetItemString(d.ptr(), k, v.ptr())); };
  put("provenance", glue::steal(PyUnicode_FromFormat("0x%08X", (unsigned) prov_u32)));
  put("mode", call_method(t, W.s_get_mode, {prov.ptr()}));
  put("pair_count", nb::int_(length(pairs)));
  put("pair_ids", pair_ids);
  put("columns", call_method(t, W.s_explain, {prov.ptr()}));
  put("tables", call_method(t, W.s_explain_tables, {prov.ptr()}));
  put("entity", attr(decoded, W.s_entity));
  put("chain", attr(decoded, W.s_chain));
  put("taint", attr(decoded, W.s_taint));
  put("depth", attr(decoded, W.s_depth));
  put("risk", call_method(t, S.s_risk_score, {prov.ptr()}));
  put("has_protected", call_method(t, W.s_has_protected, {prov.ptr()}));

  if (truthy(dag)) {
    nb::object dd = glue::steal(PyDict_New());
    auto put2 = [&](const char* k, nb::handle v) { glue::ok(PyDict_SetItemString(dd.ptr(), k, v.ptr())); };
    // Evicted ancestors: the depth of what is still known, and how much is gone.
    nb::object missing = dag_missing_ids(dag.ptr());
    Py_ssize_t n_missing = length(missing);
    put2("depth", n_missing ? dag_depth(dag.ptr(), true) : attr(dag, W.s_depth));
    if (n_missing) put("missing_ancestors", nb::int_(n_missing));
    put2("node_count", nb::int_(length(attr(dag, S.s_nodes_field))));
    put2("operation_counts", attr(dag, W.s_operation_counts));
    put2("sources", source_pairs(attr(dag, W.s_source_nodes)));
    put2("protected_sources", source_pairs(attr(dag, W.s_protected_sources)));
    if (row_mode(t)) put2("source_rows", row_lineage().attr("source_rows")(tracker, dag));
    put("dag", dd);
  }
  return d;
}

PyMethodDef wrap_functions[] = {
    GLUE_METHOD("combine_provenances", f_combine_provenances, msg::COMBINE_PROVENANCES_DOC),
    GLUE_METHOD("wrap_dataframe_dag", f_wrap, msg::WRAP_DOC),
    GLUE_METHOD("get_dag_for_series", f_get_dag_for_series, msg::GET_DAG_FOR_SERIES_DOC),
    GLUE_METHOD("dag_audit", f_dag_audit, msg::DAG_AUDIT_DOC),
    {nullptr},
};

using glue::intern;

}  // namespace

void register_wrap_audit(nb::module_& m) {
  W.s_register = intern("register");
  W.s_entity_from_row = intern("entity_from_row");
  W.s_encode = intern("encode");
  W.s_create_source_node = intern("create_source_node");
  W.s_get_node = intern("get_node");
  W.s_decode_full = intern("decode_full");
  W.s_get_mode = intern("get_mode");
  W.s_explain = intern("explain");
  W.s_explain_tables = intern("explain_tables");
  W.s_has_protected = intern("has_protected");
  W.s_pairs = intern("pairs");
  W.s_entity = intern("entity");
  W.s_chain = intern("chain");
  W.s_taint = intern("taint");
  W.s_depth = intern("depth");
  W.s_iloc = intern("iloc");
  W.s_dtype = intern("dtype");
  W.s_astype = intern("astype");
  W.s_to_numpy = intern("to_numpy");
  W.s_tolist = intern("tolist");
  W.s_array = intern("array");
  W.s_kind = intern("kind");
  W.s_start = intern("start");
  W.s_step = intern("step");
  W.s_operation_counts = intern("operation_counts");
  W.s_protected_sources = intern("protected_sources");
  W.s_source_nodes = intern("source_nodes");
  W.s_lineage = intern("_lineage");
  W.kw_encode = glue::keep(nb::make_tuple("entity", "chain", "taint", "depth"));
  W.kw_column_name = glue::keep(nb::make_tuple("column_name"));
  W.audit_error = PyUnicode_FromString(msg::AUDIT_NO_TRACKER);
  W.op_custom = glue::keep(m.attr("OpCode").attr("CUSTOM"));
  W.range_index = glue::keep(m.attr("pd").attr("RangeIndex"));
  W.np_dtype = glue::keep(m.attr("np").attr("dtype"));
  glue::ok(PyModule_AddFunctions(m.ptr(), wrap_functions));
}

}  // namespace dag
