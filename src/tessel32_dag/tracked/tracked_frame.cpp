// DAGTrackedDataFrame: a pandas.DataFrame subclass that keeps, per column, an
// array of per-row provenance values and an array of per-row node ids.
// Reading a column hands out a DAGTrackedSeries with copies of that column's
// arrays; assigning a DAGTrackedSeries stores its arrays; merge carries
// column provenance into the merged frame with one "merge" node per column.
#include "tessel32_dag/tracked/frame_internal.h"
#include "tessel32_dag/messages.h"
#include "tessel32_dag/state.h"
#include "tessel32_dag/tracked/tracked.h"
#include "tessel32_dag/engine/tracker.h"

namespace dag {
using namespace nb::literals;

FrameGlobals F;

namespace {

// ---- helpers ------------------------------------------------------------------

nb::object getattr_(nb::handle o, PyObject* name) { return glue::steal(PyObject_GetAttr(o.ptr(), name)); }

/// object.__setattr__(self, name, value): bypasses pandas' column-aware
/// __setattr__, as pandas itself does for the names in _metadata.
void set_plain(PyObject* self, PyObject* name, PyObject* value) {
  glue::ok(PyObject_GenericSetAttr(self, name, value));
}

/// mapping.get(key): a new reference or a null object when absent.
nb::object mapping_get(PyObject* mapping, PyObject* key) {
  if (PyDict_CheckExact(mapping)) {
    PyObject* v = PyDict_GetItemWithError(mapping, key);
    if (v) return nb::borrow(v);
    if (PyErr_Occurred()) glue::raise_current();
    return nb::object();
  }
  nb::object v = glue::steal(PyObject_CallMethodObjArgs(mapping, F.s_get, key, Py_None, nullptr));
  if (v.is_none()) return nb::object();
  return v;
}

Py_ssize_t length(nb::handle o) {
  Py_ssize_t n = PyObject_Length(o.ptr());
  if (n < 0) glue::raise_current();
  return n;
}

/// A stored array made to fit a column of n rows: unchanged when its length
/// matches, else its first entry repeated (0 when it is empty). Always a copy.
nb::object fit_column(nb::handle arr, Py_ssize_t n, PyObject* dtype) {
  nb::object src = nb::borrow(arr);
  if (length(arr) != n) {
    if (length(arr) > 0) {
      nb::object s = glue::steal(PySlice_New(nullptr, nb::int_(1).ptr(), nullptr));
      src = glue::steal(PyObject_GetItem(arr.ptr(), s.ptr()));
    } else {
      src = nb::borrow(F.np).attr("array")(nb::make_tuple(0), "dtype"_a = nb::handle(dtype));
    }
    src = nb::borrow(F.np).attr("broadcast_to")(src, n);
  }
  return glue::steal(PyObject_CallMethodNoArgs(src.ptr(), F.s_copy));
}

// ---- methods --------------------------------------------------------------------

nb::object f_init(const glue::Call& c) {
  PyObject* tracker = Py_None;
  PyObject* col_prov = nullptr;
  PyObject* col_nodes = nullptr;
  nb::object args = glue::steal(PyTuple_New(c.nargs));
  for (Py_ssize_t i = 0; i < c.nargs; ++i)
    PyTuple_SET_ITEM(args.ptr(), i, Py_NewRef(c.args[i]));
  nb::object kwargs = glue::steal(PyDict_New());
  if (c.kwnames) {
    Py_ssize_t nk = PyTuple_GET_SIZE(c.kwnames);
    for (Py_ssize_t k = 0; k < nk; ++k) {
      PyObject* name = PyTuple_GET_ITEM(c.kwnames, k);
      PyObject* value = c.args[c.nargs + k];
      if (PyUnicode_Compare(name, F.s_tracker) == 0) tracker = value;
      else if (PyUnicode_Compare(name, F.s_col_prov) == 0) col_prov = value;
      else if (PyUnicode_Compare(name, F.s_col_nodes) == 0) col_nodes = value;
      else glue::ok(PyDict_SetItem(kwargs.ptr(), name, value));
    }
  }
  nb::object full = glue::steal(PyTuple_New(c.nargs + 1));
  PyTuple_SET_ITEM(full.ptr(), 0, Py_NewRef(c.self));
  for (Py_ssize_t i = 0; i < c.nargs; ++i)
    PyTuple_SET_ITEM(full.ptr(), i + 1, Py_NewRef(c.args[i]));
  glue::steal(PyObject_Call(F.df_init, full.ptr(), kwargs.ptr()));

  nb::object prov = (col_prov && col_prov != Py_None) ? nb::borrow(col_prov) : glue::steal(PyDict_New());
  nb::object nodes = (col_nodes && col_nodes != Py_None) ? nb::borrow(col_nodes) : glue::steal(PyDict_New());
  set_plain(c.self, F.s_tracker, tracker);
  set_plain(c.self, F.s_col_prov, prov.ptr());
  set_plain(c.self, F.s_col_nodes, nodes.ptr());
  return nb::none();
}

nb::object g_constructor(PyObject*) { return nb::borrow(F.frame_cls); }

nb::object g_constructor_sliced(PyObject*) {
  nb::object cls = series_class(false);
  if (!cls.is_valid()) return nb::borrow(F.pd_series);
  return cls;
}

nb::object f_getitem(const glue::Call& c) {
  static const glue::Signature sig{"DAGTrackedDataFrame.__getitem__", {"key"}, 1, 1};
  PyObject* a[1];
  glue::parse(sig, c, a);
  PyObject* key = a[0];
  nb::object result = glue::steal(PyObject_CallFunctionObjArgs(F.df_getitem, c.self, key, nullptr));
  int is_series = PyObject_IsInstance(result.ptr(), F.pd_series);
  glue::ok(is_series);
  if (!is_series) return result;

  Py_ssize_t n = length(result);
  nb::object col_prov = glue::instance_attr(c.self, F.s_col_prov);
  nb::object col_nodes = glue::instance_attr(c.self, F.s_col_nodes);
  nb::object prov = mapping_get(col_prov.ptr(), key);
  nb::object nodes = mapping_get(col_nodes.ptr(), key);
  prov = prov.is_valid() ? fit_column(prov, n, F.u32) : new_zeros(n, F.u32);
  nodes = nodes.is_valid() ? fit_column(nodes, n, F.i64) : new_zeros(n, F.i64);

  nb::object tracker = glue::instance_attr(c.self, F.s_tracker);
  return make_series(getattr_(result, F.s_values), getattr_(result, F.s_index), prov, tracker, nodes);
}

/// pandas aligns an assigned Series to the frame's rows by label; its
/// provenance follows the same way (rows it does not cover get provenance 0
/// and no node). A series on the frame's own index keeps its arrays as they
/// are (not copies).
void align_to_frame(PyObject* self, PyObject* series, nb::object& prov, nb::object& nodes) {
  nb::object s_index = getattr_(nb::handle(self), F.s_index);
  nb::object v_index = getattr_(nb::handle(series), F.s_index);
  if (s_index.ptr() == v_index.ptr()) return;
  Py_ssize_t n = length(v_index);
  if (length(s_index) == n && truthy(v_index.attr("equals")(s_index))) return;
  if (!truthy(v_index.attr("is_unique"))) return;
  if (length(prov) != n || length(nodes) != n) return;
  nb::object np = nb::borrow(F.np);
  Py_ssize_t m = length(s_index);
  if (n == 0) {
    prov = new_zeros(m, F.u32);
    nodes = np.attr("full")(m, -1, "dtype"_a = nb::handle(F.i64));
    return;
  }
  nb::object indexer = v_index.attr("get_indexer")(s_index);
  nb::object found = indexer.attr("__ge__")(0);
  prov = np.attr("where")(found, np.attr("asarray")(prov).attr("take")(indexer), 0).attr("astype")(nb::handle(F.u32));
  nodes = np.attr("where")(found, np.attr("asarray")(nodes).attr("take")(indexer), -1).attr("astype")(nb::handle(F.i64));
}

nb::object f_setitem(const glue::Call& c) {
  static const glue::Signature sig{"DAGTrackedDataFrame.__setitem__", {"key", "value"}, 2, 2};
  PyObject* a[2];
  glue::parse(sig, c, a);
  glue::steal(PyObject_CallFunctionObjArgs(F.df_setitem, c.self, a[0], a[1], nullptr));
  nb::object cls = series_class(false);
  if (!cls.is_valid()) return nb::none();
  int tracked = PyObject_IsInstance(a[1], cls.ptr());
  glue::ok(tracked);
  if (tracked) {
    nb::object prov = getattr_(a[1], F.s_prov);
    nb::object nodes = getattr_(a[1], F.s_node_ids);
    align_to_frame(c.self, a[1], prov, nodes);
    nb::object col_prov = glue::instance_attr(c.self, F.s_col_prov);
    nb::object col_nodes = glue::instance_attr(c.self, F.s_col_nodes);
    glue::ok(PyObject_SetItem(col_prov.ptr(), a[0], prov.ptr()));
    glue::ok(PyObject_SetItem(col_nodes.ptr(), a[0], nodes.ptr()));
  }
  return nb::none();
}

nb::object f_merge(const glue::Call& c) {
  // All arguments go to pandas.DataFrame.merge unchanged (self first).
  Py_ssize_t nk = c.kwnames ? PyTuple_GET_SIZE(c.kwnames) : 0;
  std::vector<PyObject*> argv((size_t) (c.nargs + nk + 2));
  argv[1] = c.self;
  for (Py_ssize_t i = 0; i < c.nargs + nk; ++i) argv[(size_t) i + 2] = c.args[i];
  nb::object result = glue::steal(PyObject_Vectorcall(F.df_merge, argv.data() + 1,
                                                      (size_t) (c.nargs + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                      c.kwnames));
  PyObject* right = c.nargs > 0 ? c.args[0] : nullptr;
  for (Py_ssize_t k = 0; !right && k < nk; ++k)
    if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(c.kwnames, k), "right") == 0) right = c.args[c.nargs + k];

  nb::object out_prov = glue::steal(PyDict_New());
  nb::object out_nodes = glue::steal(PyDict_New());
  nb::object n = nb::int_(length(result));
  nb::object result_columns = glue::steal(PySet_New(getattr_(result, F.s_columns).ptr()));

  auto side = [&](PyObject* frame) {
    nb::object col_prov = glue::instance_attr(frame, F.s_col_prov);
    nb::object col_nodes = glue::instance_attr(frame, F.s_col_nodes);
    PyObject* args[] = {c.self, col_prov.ptr(), col_nodes.ptr(), result_columns.ptr(), n.ptr(), out_prov.ptr(),
                        out_nodes.ptr()};
    glue::steal(PyObject_VectorcallMethod(F.s_merge_col_provenance, args, 7 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          nullptr));
  };
  side(c.self);
  if (right) {
    int tracked = PyObject_IsInstance(right, F.frame_cls);
    glue::ok(tracked);
    if (tracked) side(right);
  }
  nb::object tracker = glue::instance_attr(c.self, F.s_tracker);
  return make_frame(result.ptr(), tracker.ptr(), out_prov.ptr(), out_nodes.ptr());
}

nb::object f_merge_col_provenance(const glue::Call& c) {
  static const glue::Signature sig{"DAGTrackedDataFrame._merge_col_provenance",
                                   {"col_prov", "col_nodes", "result_columns", "n", "out_prov", "out_nodes"},
                                   6};
  PyObject* a[6];
  glue::parse(sig, c, a);
  PyObject *col_prov = a[0], *col_nodes = a[1], *result_columns = a[2], *out_prov = a[4], *out_nodes = a[5];
  PyObject* n = a[3];
  nb::object tracker = glue::instance_attr(c.self, F.s_tracker);
  bool tracked = truthy(tracker);
  nb::object np = nb::borrow(F.np);

  // A snapshot of the items: the tracker calls below run Python code.
  nb::object items = glue::steal(PyObject_CallMethod(col_prov, "items", nullptr));
  nb::object list = glue::steal(PySequence_List(items.ptr()));
  for (Py_ssize_t k = 0; k < PyList_GET_SIZE(list.ptr()); ++k) {
    nb::object item = nb::borrow(PyList_GET_ITEM(list.ptr(), k));
    nb::object col = glue::steal(PySequence_GetItem(item.ptr(), 0));
    nb::object prov_arr = glue::steal(PySequence_GetItem(item.ptr(), 1));
    int in_result = PySequence_Contains(result_columns, col.ptr());
    glue::ok(in_result);
    int seen = PySequence_Contains(out_prov, col.ptr());
    glue::ok(seen);
    if (!in_result || seen) continue;

    nb::object p = length(prov_arr) > 0 ? glue::to_int(glue::steal(PySequence_GetItem(prov_arr.ptr(), 0)).ptr(), "provenance")
                                        : nb::int_(0);
    nb::object merged = p;
    if (tracked)
      merged = glue::steal(PyObject_CallMethodObjArgs(tracker.ptr(), S.s_update_chain, p.ptr(), F.op_merge, nullptr));
    nb::object full_prov = np.attr("full")(nb::handle(n), merged, "dtype"_a = nb::handle(F.u32));
    glue::ok(PyObject_SetItem(out_prov, col.ptr(), full_prov.ptr()));

    if (!tracked) continue;
    int has_nodes = PySequence_Contains(col_nodes, col.ptr());
    glue::ok(has_nodes);
    if (!has_nodes) continue;
    nb::object node_arr = glue::steal(PyObject_GetItem(col_nodes, col.ptr()));
    int64_t nid = length(node_arr) > 0 ? glue::to_int64(glue::steal(PySequence_GetItem(node_arr.ptr(), 0)).ptr(), "node_id") : -1;
    if (nid < 0) continue;
    nb::object merge_node = glue::steal(PyObject_CallMethodObjArgs(
        tracker.ptr(), F.s_log_unary, F.s_merge, nb::int_(nid).ptr(), merged.ptr(), nullptr));
    nb::object full_nodes = np.attr("full")(nb::handle(n), merge_node, "dtype"_a = nb::handle(F.i64));
    glue::ok(PyObject_SetItem(out_nodes, col.ptr(), full_nodes.ptr()));
  }
  return nb::none();
}

PyMethodDef frame_methods[] = {
    GLUE_METHOD("__init__", f_init, msg::FRAME_INIT_DOC),
    GLUE_METHOD("__getitem__", f_getitem, msg::FRAME_GETITEM_DOC),
    GLUE_METHOD("__setitem__", f_setitem, msg::FRAME_SETITEM_DOC),
    GLUE_METHOD("merge", f_merge, msg::FRAME_MERGE_DOC),
    GLUE_METHOD("_merge_col_provenance", f_merge_col_provenance, msg::FRAME_MERGE_COL_PROV_DOC),
    {nullptr},
};

PyGetSetDef frame_props[] = {
    GLUE_GETTER("_constructor", g_constructor, msg::FRAME_CONSTRUCTOR_DOC),
    GLUE_GETTER("_constructor_sliced", g_constructor_sliced, msg::FRAME_CONSTRUCTOR_SLICED_DOC),
    {nullptr},
};

using glue::intern;

}  // namespace

// ---- shared with wrap_audit.cpp ------------------------------------------------------

nb::object series_class(bool required) {
  PyObject* cls = PyObject_GetAttr(S.module, F.s_series_cls);
  if (cls) return nb::steal(cls);
  if (!required && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    return nb::object();
  }
  glue::raise_current();
}

nb::object new_zeros(Py_ssize_t n, PyObject* dtype) {
  return nb::borrow(F.np).attr("zeros")(n, "dtype"_a = nb::handle(dtype));
}

nb::object make_series(nb::handle values, nb::handle index, nb::handle prov, nb::handle tracker, nb::handle nodes) {
  nb::object cls = series_class(true);
  PyObject* args[] = {nullptr, values.ptr(), index.ptr(), prov.ptr(), tracker.ptr(), nodes.ptr()};
  return glue::steal(PyObject_Vectorcall(cls.ptr(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, F.kw_series));
}

nb::object make_frame(PyObject* data, PyObject* tracker, PyObject* col_prov, PyObject* col_nodes) {
  std::vector<PyObject*> args{nullptr, data, tracker};
  PyObject* kw = F.kw_frame_tracker;
  if (col_prov) {
    args.push_back(col_prov);
    args.push_back(col_nodes);
    kw = F.kw_frame_all;
  }
  return glue::steal(PyObject_Vectorcall(F.frame_cls, args.data() + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw));
}

void register_tracked_frame(nb::module_& m) {
  F.s_tracker = intern("_tracker");
  F.s_col_prov = intern("_col_prov");
  F.s_col_nodes = intern("_col_nodes");
  F.s_prov = intern("_prov");
  F.s_node_ids = intern("_node_ids");
  F.s_series_cls = intern("DAGTrackedSeries");
  F.s_values = intern("values");
  F.s_index = intern("index");
  F.s_columns = intern("columns");
  F.s_get = intern("get");
  F.s_copy = intern("copy");
  F.s_log_unary = intern("log_unary");
  F.s_merge = intern("merge");
  F.s_merge_col_provenance = intern("_merge_col_provenance");
  F.kw_series = glue::keep(nb::make_tuple("index", "_prov", "_tracker", "_node_ids"));
  F.kw_frame_tracker = glue::keep(nb::make_tuple("_tracker"));
  F.kw_frame_all = glue::keep(nb::make_tuple("_tracker", "_col_prov", "_col_nodes"));

  nb::object np = m.attr("np");
  nb::object pd = m.attr("pd");
  F.np = np.inc_ref().ptr();
  F.u32 = np.attr("dtype")("uint32").release().ptr();
  F.i64 = np.attr("dtype")("int64").release().ptr();
  nb::object df = pd.attr("DataFrame");
  F.pd_frame = df.inc_ref().ptr();
  F.pd_series = glue::keep(pd.attr("Series"));
  F.df_init = glue::keep(df.attr("__init__"));
  F.df_getitem = glue::keep(df.attr("__getitem__"));
  F.df_setitem = glue::keep(df.attr("__setitem__"));
  F.df_merge = glue::keep(df.attr("merge"));
  F.op_merge = glue::keep(m.attr("OpCode").attr("MERGE"));

  nb::list metadata;
  metadata.append("_tracker");
  metadata.append("_col_prov");
  metadata.append("_col_nodes");
  glue::ClassBuilder cb(m, "DAGTrackedDataFrame", nb::make_tuple(df), msg::FRAME_DOC);
  cb.attr("_metadata", metadata);
  nb::object cls = cb.create();
  cb.methods(frame_methods);
  cb.properties(frame_props);
  F.frame_cls = cls.inc_ref().ptr();
  m.attr("DAGTrackedDataFrame") = cls;
}

}  // namespace dag
