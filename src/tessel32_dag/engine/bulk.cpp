// Private bulk entry points over numpy buffers, used by per-element tracked
// operations and by the benchmarks: one node per element, no Python call per
// element.
#include <vector>

#include "glue/buffer.h"
#include "tessel32_dag/messages.h"
#include "tessel32_dag/state.h"
#include "tessel32_dag/engine/tracker.h"

namespace dag {
using namespace nb::literals;

/// A read-only, C-contiguous 1-D view of an int64 or uint32 array.
static glue::Buffer int_view(PyObject* obj, const char* argname, char kind, Py_ssize_t itemsize) {
  glue::Buffer buf(obj, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
  char f = buf.format_code();
  bool kind_ok = kind == 'i' ? (f == 'q' || f == 'l') : (f == 'I' || f == 'L');
  if (buf.ndim() != 1 || buf.itemsize() != itemsize || !kind_ok)
    glue::raise(PyExc_TypeError, msg::BULK_ARRAY_TYPE, argname, kind == 'i' ? "int64" : "uint32");
  return buf;
}

static nb::object bulk(const glue::Call& c, const char* name, int n_inputs) {
  glue::Signature sig{name, {"tracker", "op_name", "provenances", "left", "right"}, 3 + n_inputs};
  PyObject* a[5];
  glue::parse(sig, c, a);
  glue::check_str(a[1], "op_name");
  glue::Buffer prov = int_view(a[2], "provenances", 'u', 4);
  glue::Buffer left, right;
  if (n_inputs > 0) left = int_view(a[3], "left", 'i', 8);
  if (n_inputs > 1) right = int_view(a[4], "right", 'i', 8);
  size_t n = (size_t) prov.length();
  if ((left.held() && (size_t) left.length() != n) || (right.held() && (size_t) right.length() != n))
    glue::raise(PyExc_ValueError, "%s", msg::BULK_LENGTHS_DIFFER);
  nb::object np = nb::module_::import_("numpy");
  nb::object out = np.attr("empty")(n, "dtype"_a = "int64");
  glue::Buffer ob = glue::Buffer::writable_ints(out, true, 8, (Py_ssize_t) n, "the node-id array");
  TrackerView t = tracker_view(a[0]);
  PyObject* type = n_inputs == 2 ? S.nt[BINARY] : S.nt[UNARY];
  create_nodes_bulk(t, type, a[1], n_inputs, left.held() ? left.data<int64_t>() : nullptr,
                    right.held() ? right.data<int64_t>() : nullptr, prov.data<uint32_t>(), n, ob.data<int64_t>());
  return out;
}

static nb::object m_log_binary_many(const glue::Call& c) { return bulk(c, "_log_binary_many", 2); }
static nb::object m_log_unary_many(const glue::Call& c) { return bulk(c, "_log_unary_many", 1); }

static PyMethodDef bulk_functions[] = {
    GLUE_METHOD("_log_binary_many", m_log_binary_many, msg::LOG_BINARY_MANY_DOC),
    GLUE_METHOD("_log_unary_many", m_log_unary_many, msg::LOG_UNARY_MANY_DOC),
    {nullptr},
};

void register_bulk(nb::module_& m) { glue::ok(PyModule_AddFunctions(m.ptr(), bulk_functions)); }

}  // namespace dag
