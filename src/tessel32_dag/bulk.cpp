// Private bulk entry points over numpy buffers, used by per-element tracked
// operations and by the benchmarks: one node per element, no Python call per
// element.
#include <memory>
#include <vector>

#include "tessel32_dag/state.h"
#include "tessel32_dag/tracker.h"

namespace dag {
using namespace nb::literals;

/// A read-only, C-contiguous 1-D view of a buffer with the given item format.
class BufferView {
 public:
  BufferView(PyObject* obj, const char* argname, char kind, Py_ssize_t itemsize) {
    if (PyObject_GetBuffer(obj, &buf_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) glue::raise_current();
    held_ = true;
    const char* f = buf_.format ? buf_.format : "B";
    if (*f == '<' || *f == '=' || *f == '@') ++f;
    bool kind_ok = kind == 'i' ? (*f == 'q' || *f == 'l') : (*f == 'I' || *f == 'L');
    if (buf_.ndim != 1 || buf_.itemsize != itemsize || !kind_ok)
      glue::raise(PyExc_TypeError, "%s must be a 1-D contiguous array of %s", argname,
                  kind == 'i' ? "int64" : "uint32");
  }
  ~BufferView() {
    if (held_) PyBuffer_Release(&buf_);
  }
  size_t size() const { return (size_t) buf_.shape[0]; }
  template <class T>
  const T* data() const {
    return (const T*) buf_.buf;
  }

 private:
  Py_buffer buf_{};
  bool held_ = false;
};

static nb::object bulk(const glue::Call& c, const char* name, int n_inputs) {
  glue::Signature sig{name, {"tracker", "op_name", "provenances", "left", "right"}, 3 + n_inputs};
  PyObject* a[5];
  glue::parse(sig, c, a);
  glue::check_str(a[1], "op_name");
  BufferView prov(a[2], "provenances", 'u', 4);
  BufferView* left = n_inputs > 0 ? new BufferView(a[3], "left", 'i', 8) : nullptr;
  std::unique_ptr<BufferView> l(left);
  BufferView* right = n_inputs > 1 ? new BufferView(a[4], "right", 'i', 8) : nullptr;
  std::unique_ptr<BufferView> r(right);
  size_t n = prov.size();
  if ((left && left->size() != n) || (right && right->size() != n))
    glue::raise(PyExc_ValueError, "input id arrays and provenances differ in length");
  nb::object np = nb::module_::import_("numpy");
  nb::object out = np.attr("empty")(n, "dtype"_a = "int64");
  Py_buffer ob;
  glue::ok(PyObject_GetBuffer(out.ptr(), &ob, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE));
  struct Release {
    Py_buffer* b;
    ~Release() { PyBuffer_Release(b); }
  } rel{&ob};
  TrackerView t = tracker_view(a[0]);
  PyObject* type = n_inputs == 2 ? S.nt[4] : S.nt[3];
  create_nodes_bulk(t, type, a[1], n_inputs, left ? left->data<int64_t>() : nullptr,
                    right ? right->data<int64_t>() : nullptr, prov.data<uint32_t>(), n, (int64_t*) ob.buf);
  return out;
}

static nb::object m_log_binary_many(const glue::Call& c) { return bulk(c, "_log_binary_many", 2); }
static nb::object m_log_unary_many(const glue::Call& c) { return bulk(c, "_log_unary_many", 1); }

static PyMethodDef bulk_functions[] = {
    GLUE_METHOD("_log_binary_many", m_log_binary_many,
                "Log one binary node per element; returns the new node ids (int64 array)."),
    GLUE_METHOD("_log_unary_many", m_log_unary_many,
                "Log one unary node per element; returns the new node ids (int64 array)."),
    {nullptr},
};

void register_bulk(nb::module_& m) { glue::ok(PyModule_AddFunctions(m.ptr(), bulk_functions)); }

}  // namespace dag
