// Per-element kernels of the exact row-lineage mode, called by the pure-Python
// orchestration in corvanti.utilities._row_lineage (which computes the row
// indexers with pandas). Everything that touches every element or every row
// is here, over raw numpy buffers:
//   _rows_elementwise  one node per element (the elementwise engine)
//   _rows_annotate     the same metadata on each of a set of nodes
//   _rows_aggregate    one AGGREGATE node per group of rows
#include <vector>

#include "glue/buffer.h"
#include "glue/glue.h"
#include "tessel32_dag/engine/records.h"
#include "tessel32_dag/engine/registry.h"
#include "tessel32_dag/engine/tracker.h"
#include "tessel32_dag/messages.h"
#include "tessel32_dag/state.h"
#include "tessel32_dag/tracked/elementwise.h"
#include "tessel32_dag/tracked/frame_internal.h"

namespace dag {
namespace {

/// A read-only 1-D contiguous view of an int64 (or uint32) array.
glue::Buffer ints(PyObject* obj, const char* argname, Py_ssize_t itemsize) {
  glue::Buffer b(obj, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
  char f = b.format_code();
  bool ok = itemsize == 8 ? (f == 'q' || f == 'l') : (f == 'I' || f == 'L');
  if (b.ndim() != 1 || b.itemsize() != itemsize || !ok)
    glue::raise(PyExc_TypeError, msg::ROWS_BAD_ARRAY, argname, itemsize == 8 ? "int64" : "uint32");
  return b;
}

nb::object f_elementwise(const glue::Call& c) {
  static const glue::Signature sig{
      "_rows_elementwise", {"tracker", "op_name", "op_code", "values", "prov_a", "nodes_a", "prov_b", "nodes_b"}, 6};
  PyObject* a[8];
  glue::parse(sig, c, a);
  glue::check_str(a[1], "op_name");
  bool binary = a[6] && a[6] != Py_None;
  Py_ssize_t n = PyObject_Length(a[4]);
  if (n < 0) glue::raise_current();
  nb::object out_prov = new_zeros(n, F.u32);
  nb::object out_nodes = new_zeros(n, F.i64);
  ElementwiseJob job{};
  job.tracker = a[0];
  job.op_name = a[1];
  job.op_code = a[2];
  job.n_inputs = binary ? 2 : 1;
  job.prov[0] = a[4];
  job.nodes[0] = a[5];
  job.prov[1] = binary ? a[6] : nullptr;
  job.nodes[1] = binary ? a[7] : nullptr;
  job.values = a[3];
  job.n = n;
  run_elementwise(job, out_prov, out_nodes);
  return nb::make_tuple(out_prov, out_nodes);
}

nb::object f_annotate(const glue::Call& c) {
  static const glue::Signature sig{"_rows_annotate", {"tracker", "node_ids", "metadata"}, 3};
  PyObject* a[3];
  glue::parse(sig, c, a);
  glue::check_dict(a[2], "metadata", false);
  glue::Buffer ids = ints(a[1], "node_ids", 8);
  TrackerView t = tracker_view(a[0], false);
  const int64_t* id = ids.data<int64_t>();
  for (Py_ssize_t i = 0; i < ids.length(); ++i) {
    PyObject* node = id[i] >= 0 ? registry_get_id(t.reg, id[i]) : nullptr;
    if (!node || !is_node(node)) continue;  // gone already, or not ours
    nb::object meta = glue::steal(PyDict_Copy(a[2]));
    node_set_field((DAGNodeObject*) node, F_METADATA, meta.ptr());
  }
  return nb::none();
}

/// Groups are given as `order` (row positions, group by group) and `starts`
/// (G + 1 offsets into order). Each group's provenance is the fold of its
/// rows' provenances with combine(., ., op_code); its node is
/// log_aggregate(op_name, <the rows' node ids>, provenance, metadata).
nb::object f_aggregate(const glue::Call& c) {
  static const glue::Signature sig{
      "_rows_aggregate", {"tracker", "op_name", "op_code", "prov", "nodes", "order", "starts", "metadata"}, 8};
  PyObject* a[8];
  glue::parse(sig, c, a);
  glue::check_str(a[1], "op_name");
  glue::check_dict(a[7], "metadata", false);
  PyObject* tracker = a[0];
  glue::Buffer prov = ints(a[3], "prov", 4), nodes = ints(a[4], "nodes", 8);
  glue::Buffer order = ints(a[5], "order", 8), starts = ints(a[6], "starts", 8);
  if (prov.length() != nodes.length()) glue::raise(PyExc_ValueError, "%s", msg::ROWS_LENGTHS);
  Py_ssize_t groups = starts.length() - 1;
  if (groups < 0) glue::raise(PyExc_ValueError, "%s", msg::ROWS_LENGTHS);
  const uint32_t* p = prov.data<uint32_t>();
  const int64_t* nd = nodes.data<int64_t>();
  const int64_t* ord = order.data<int64_t>();
  const int64_t* st = starts.data<int64_t>();
  nb::object out_prov = new_zeros(groups, F.u32);
  nb::object out_nodes = new_zeros(groups, F.i64);
  glue::Buffer op(out_prov, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE), on(out_nodes, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE);
  uint32_t* po = op.data<uint32_t>();
  int64_t* no = on.data<int64_t>();
  int code = (int) glue::to_int64(a[2], "op_code");
  bool native = tracker_is_native(tracker);
  nb::object log_aggregate = glue::steal(PyObject_GetAttrString(tracker, "log_aggregate"));
  for (Py_ssize_t g = 0; g < groups; ++g) {
    int64_t lo = st[g], hi = st[g + 1];
    if (lo < 0 || hi < lo || hi > order.length()) glue::raise(PyExc_ValueError, "%s", msg::ROWS_LENGTHS);
    nb::object inputs = glue::steal(PyList_New(0));
    uint32_t acc = 0;
    nb::object acc_obj;  // the Python fold, when combine is overridden
    bool first = true;
    for (int64_t k = lo; k < hi; ++k) {
      int64_t r = ord[k];
      if (r < 0 || r >= prov.length()) glue::raise(PyExc_ValueError, "%s", msg::ROWS_LENGTHS);
      if (nd[r] >= 0) glue::ok(PyList_Append(inputs.ptr(), nb::int_(nd[r]).ptr()));
      if (native) {
        acc = first ? p[r] : S.t32->combine(acc, p[r], code);
      } else {
        nb::object pr = glue::steal(PyLong_FromUnsignedLong(p[r]));
        acc_obj = first ? pr
                        : glue::steal(PyObject_CallMethodObjArgs(tracker, S.s_combine, acc_obj.ptr(), pr.ptr(), a[2],
                                                                 nullptr));
      }
      first = false;
    }
    nb::object result = native ? glue::steal(PyLong_FromUnsignedLong(acc)) : (first ? nb::int_(0) : acc_obj);
    po[g] = (uint32_t) (PyLong_AsUnsignedLongMask(result.ptr()) & 0xFFFFFFFFu);
    if (PyErr_Occurred()) glue::raise_current();
    if (PyList_GET_SIZE(inputs.ptr()) == 0) {
      no[g] = -1;
      continue;
    }
    nb::object meta = glue::steal(PyDict_Copy(a[7]));
    PyObject* args[] = {a[1], inputs.ptr(), result.ptr(), meta.ptr()};
    nb::object id = glue::steal(PyObject_Vectorcall(log_aggregate.ptr(), args, 4, nullptr));
    no[g] = glue::to_int64(id.ptr(), "node_id");
  }
  return nb::make_tuple(out_prov, out_nodes);
}

PyMethodDef rows_functions[] = {
    GLUE_METHOD("_rows_elementwise", f_elementwise, msg::ROWS_ELEMENTWISE_DOC),
    GLUE_METHOD("_rows_annotate", f_annotate, msg::ROWS_ANNOTATE_DOC),
    GLUE_METHOD("_rows_aggregate", f_aggregate, msg::ROWS_AGGREGATE_DOC),
    {nullptr},
};

}  // namespace

void register_rows_kernels(nb::module_& m) { glue::ok(PyModule_AddFunctions(m.ptr(), rows_functions)); }

}  // namespace dag
