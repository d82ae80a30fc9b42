// DAGTrackedSeries: a pandas Series that carries, per position, a TESSEL-32
// provenance value (`_prov`, uint32) and the id of the DAG node that produced
// the value (`_node_ids`, int64), with the DAGTracker that owns those nodes.
//
// Arithmetic and comparison operators compute with numpy and, when both
// operands are tracked, derive provenance and log one node per element; the
// transforms fillna / replace / clip do the same with one unary node per
// element. The per-element work is in elementwise.cpp.
#include "tessel32_dag/tracked/tracked_series.h"

#include <vector>

#include "glue/glue.h"
#include "tessel32_dag/tracked/elementwise.h"
#include "tessel32_dag/messages.h"
#include "tessel32_dag/state.h"
#include "tessel32_dag/tracked/tracked.h"

namespace dag {
namespace {

using glue::Call;

struct SeriesState {
  PyObject* cls = nullptr;            // DAGTrackedSeries
  PyObject* pd_series = nullptr;      // pandas.Series
  PyObject* series_init = nullptr;    // pandas.Series.__init__
  PyObject* series_fillna = nullptr;  // pandas.Series.fillna
  PyObject* series_replace = nullptr; // pandas.Series.replace
  PyObject* series_finalize = nullptr; // pandas.Series.__finalize__
  PyObject* np_zeros = nullptr;
  PyObject* np_clip = nullptr;
  PyObject* np_uint32 = nullptr;
  PyObject* np_int64 = nullptr;
  PyObject* kw_dtype = nullptr;       // ("dtype",)
  PyObject* kw_make = nullptr;        // ("index", "_prov", "_tracker", "_node_ids")
  PyObject* zero = nullptr;           // 0, fillna's default
  PyObject* op_fill = nullptr;        // OpCode.FILL
  PyObject* op_map = nullptr;         // OpCode.MAP
  PyObject* op_clip = nullptr;        // OpCode.CLIP
  PyObject* name_fillna = nullptr;    // "fillna"
  PyObject* name_replace = nullptr;   // "replace"
  PyObject* name_clip = nullptr;      // "clip"
  PyObject *s_prov, *s_tracker, *s_node_ids, *s_values, *s_index, *s_copy, *s_binop_dag, *s_unop_dag,
      *s_apply, *s_name;
  PyObject* d_binop = nullptr;  // the class's own descriptors, to detect overrides
  PyObject* d_unop = nullptr;
  PyObject* d_apply = nullptr;
} Z;

nb::handle H(PyObject* p) { return nb::handle(p); }

nb::object attr(PyObject* self, PyObject* name) { return glue::instance_attr(self, name); }

using glue::truthy;

nb::object zeros(Py_ssize_t n, PyObject* dtype) {
  nb::object len = glue::steal(PyLong_FromSsize_t(n));
  PyObject* args[2] = {len.ptr(), dtype};
  return glue::steal(PyObject_Vectorcall(Z.np_zeros, args, 1, Z.kw_dtype));
}

nb::object make(PyObject* values, PyObject* index, PyObject* prov, PyObject* tracker, PyObject* node_ids) {
  PyObject* args[5] = {values, index, prov, tracker, node_ids};
  return glue::steal(PyObject_Vectorcall(Z.cls, args, 1, Z.kw_make));
}


/// The untracked result: the values with copies of self's arrays.
nb::object untracked(PyObject* self, PyObject* values, PyObject* index) {
  nb::object prov = glue::steal(PyObject_CallMethodNoArgs(attr(self, Z.s_prov).ptr(), Z.s_copy));
  nb::object tracker = attr(self, Z.s_tracker);
  nb::object nodes = glue::steal(PyObject_CallMethodNoArgs(attr(self, Z.s_node_ids).ptr(), Z.s_copy));
  return make(values, index, prov.ptr(), tracker.ptr(), nodes.ptr());
}

/// The tracked result. The series is built before any tracker call, so that
/// values that do not fit the index (pandas' ValueError) log no nodes; the
/// output arrays are then filled in place.
nb::object tracked(PyObject* self, PyObject* tracker, PyObject* values, PyObject* index, PyObject* op_name,
                   PyObject* op_code, int n_inputs, PyObject* other) {
  Py_ssize_t n = PyObject_Length(values);
  if (n < 0) glue::raise_current();
  nb::object out_prov = zeros(n, Z.np_uint32);
  nb::object out_nodes = zeros(n, Z.np_int64);
  nb::object result = make(values, index, out_prov.ptr(), tracker, out_nodes.ptr());
  if (n == 0) return result;
  nb::object pa = attr(self, Z.s_prov), na = attr(self, Z.s_node_ids);
  nb::object pb, nbo;
  if (n_inputs == 2) {
    pb = attr(other, Z.s_prov);
    nbo = attr(other, Z.s_node_ids);
  }
  ElementwiseJob job{};
  job.tracker = tracker;
  job.op_name = op_name;
  job.op_code = op_code;
  job.n_inputs = n_inputs;
  job.prov[0] = pa.ptr();
  job.nodes[0] = na.ptr();
  job.prov[1] = n_inputs == 2 ? pb.ptr() : nullptr;
  job.nodes[1] = n_inputs == 2 ? nbo.ptr() : nullptr;
  job.values = values;
  job.n = n;
  run_elementwise(job, out_prov, out_nodes);
  return result;
}

// ------------------------------------------------------------------ engines

nb::object binop_impl(PyObject* self, PyObject* other, PyObject* np_op, PyObject* op_name, PyObject* op_code) {
  nb::object values = glue::steal(PyObject_GetAttr(self, Z.s_values));
  PyObject* ov = nullptr;
  int has = PyObject_GetOptionalAttr(other, Z.s_values, &ov);
  if (has < 0) glue::raise_current();
  nb::object other_values = has ? nb::steal(ov) : nb::borrow(other);
  PyObject* args[2] = {values.ptr(), other_values.ptr()};
  nb::object result = glue::steal(PyObject_Vectorcall(np_op, args, 2, nullptr));

  if (PyObject_TypeCheck(other, (PyTypeObject*) Z.cls)) {
    nb::object tracker = attr(self, Z.s_tracker);
    if (truthy(tracker.ptr())) {
      nb::object index = glue::steal(PyObject_GetAttr(self, Z.s_index));
      return tracked(self, tracker.ptr(), result.ptr(), index.ptr(), op_name, op_code, 2, other);
    }
  }
  nb::object index = glue::steal(PyObject_GetAttr(self, Z.s_index));
  return untracked(self, result.ptr(), index.ptr());
}

nb::object unop_impl(PyObject* self, PyObject* np_op, PyObject* op_name, PyObject* op_code) {
  nb::object values = glue::steal(PyObject_GetAttr(self, Z.s_values));
  nb::object result = glue::steal(PyObject_CallOneArg(np_op, values.ptr()));
  nb::object tracker = attr(self, Z.s_tracker);
  nb::object index = glue::steal(PyObject_GetAttr(self, Z.s_index));
  if (!truthy(tracker.ptr())) return untracked(self, result.ptr(), index.ptr());
  return tracked(self, tracker.ptr(), result.ptr(), index.ptr(), op_name, op_code, 1, nullptr);
}

nb::object apply_impl(PyObject* self, PyObject* values, PyObject* index, PyObject* op_name, PyObject* op_code) {
  nb::object tracker = attr(self, Z.s_tracker);
  if (!truthy(tracker.ptr())) return untracked(self, values, index);
  return tracked(self, tracker.ptr(), values, index, op_name, op_code, 1, nullptr);
}

/// self.<method>(args...) when a subclass overrides it, else the engine.
bool own_method(PyObject* self, PyObject* name, PyObject* descr) { return glue::not_overridden(self, name, descr); }

nb::object call_method(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args) {
  std::vector<PyObject*> v;
  v.push_back(self);
  v.insert(v.end(), args.begin(), args.end());
  return glue::steal(PyObject_VectorcallMethod(name, v.data(), v.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

nb::object via_binop(PyObject* self, PyObject* other, PyObject* np_op, PyObject* op_name, PyObject* op_member,
                     PyObject* op_int) {
  if (own_method(self, Z.s_binop_dag, Z.d_binop)) return binop_impl(self, other, np_op, op_name, op_int);
  return call_method(self, Z.s_binop_dag, {other, np_op, op_name, op_member});
}

nb::object via_unop(PyObject* self, PyObject* np_op, PyObject* op_name, PyObject* op_member, PyObject* op_int) {
  if (own_method(self, Z.s_unop_dag, Z.d_unop)) return unop_impl(self, np_op, op_name, op_int);
  return call_method(self, Z.s_unop_dag, {np_op, op_name, op_member});
}

nb::object via_apply(PyObject* self, PyObject* values, PyObject* index, PyObject* op_name, PyObject* op_member) {
  if (own_method(self, Z.s_apply, Z.d_apply)) return apply_impl(self, values, index, op_name, op_member);
  return call_method(self, Z.s_apply, {values, index, op_name, op_member});
}

// ------------------------------------------------------------------ np_op callables

// (a, b) -> f(b, a); self is the numpy function.
nb::object f_reflected(const Call& c) {
  static const glue::Signature sig{"<lambda>", {"a", "b"}, 2};
  PyObject* a[2];
  glue::parse(sig, c, a);
  PyObject* args[2] = {a[1], a[0]};
  return glue::steal(PyObject_Vectorcall(c.self, args, 2, nullptr));
}

// (a, b) -> a <op> b; self is the comparison code as an int.
nb::object f_compare(const Call& c) {
  static const glue::Signature sig{"<lambda>", {"a", "b"}, 2};
  PyObject* a[2];
  glue::parse(sig, c, a);
  return glue::steal(PyObject_RichCompare(a[0], a[1], (int) PyLong_AsLong(c.self)));
}

// (x) -> -x
nb::object f_negate(const Call& c) {
  static const glue::Signature sig{"<lambda>", {"x"}, 1};
  PyObject* a[1];
  glue::parse(sig, c, a);
  return glue::steal(PyNumber_Negative(a[0]));
}

// (x) -> np.clip(x, lower, upper); self is the (lower, upper) tuple.
nb::object f_clip(const Call& c) {
  static const glue::Signature sig{"fn", {"x"}, 1};
  PyObject* a[1];
  glue::parse(sig, c, a);
  PyObject* args[3] = {a[0], PyTuple_GET_ITEM(c.self, 0), PyTuple_GET_ITEM(c.self, 1)};
  return glue::steal(PyObject_Vectorcall(Z.np_clip, args, 3, nullptr));
}

PyMethodDef def_reflected = GLUE_METHOD("<lambda>", f_reflected, nullptr);
PyMethodDef def_compare = GLUE_METHOD("<lambda>", f_compare, nullptr);
PyMethodDef def_negate = GLUE_METHOD("<lambda>", f_negate, nullptr);
PyMethodDef def_clip = GLUE_METHOD("fn", f_clip, nullptr);

nb::object new_callable(PyMethodDef* def, nb::handle bound) {
  return glue::steal(PyCFunction_NewEx(def, bound.ptr(), nullptr));
}

// ------------------------------------------------------------------ operators

struct OpDef {
  const char* method;   // "__add__"
  const char* qual;     // "DAGTrackedSeries.__add__"
  const char* numpy;    // numpy function, or nullptr
  int kind;             // 0 np function, 1 reflected np function, 2 comparison, 3 negation
  int cmp;              // Py_GT... for comparisons
  const char* op_name;
  const char* op_code;  // OpCode member name
  // filled at registration
  PyObject* np_op = nullptr;
  PyObject* name = nullptr;
  PyObject* member = nullptr;
  PyObject* code = nullptr;  // int(member)
};

OpDef OPS[] = {
    {"__add__", "DAGTrackedSeries.__add__", "add", 0, 0, "add", "ADD"},
    {"__sub__", "DAGTrackedSeries.__sub__", "subtract", 0, 0, "sub", "SUB"},
    {"__mul__", "DAGTrackedSeries.__mul__", "multiply", 0, 0, "mul", "MUL"},
    {"__truediv__", "DAGTrackedSeries.__truediv__", "true_divide", 0, 0, "div", "DIV"},
    {"__floordiv__", "DAGTrackedSeries.__floordiv__", "floor_divide", 0, 0, "floordiv", "DIV"},
    {"__pow__", "DAGTrackedSeries.__pow__", "power", 0, 0, "pow", "MUL"},
    {"__radd__", "DAGTrackedSeries.__radd__", "add", 1, 0, "add", "ADD"},
    {"__rsub__", "DAGTrackedSeries.__rsub__", "subtract", 1, 0, "sub", "SUB"},
    {"__rmul__", "DAGTrackedSeries.__rmul__", "multiply", 1, 0, "mul", "MUL"},
    {"__rtruediv__", "DAGTrackedSeries.__rtruediv__", "true_divide", 1, 0, "div", "DIV"},
    {"__neg__", "DAGTrackedSeries.__neg__", nullptr, 3, 0, "neg", "NEG"},
    {"__gt__", "DAGTrackedSeries.__gt__", nullptr, 2, Py_GT, "gt", "CMP"},
    {"__lt__", "DAGTrackedSeries.__lt__", nullptr, 2, Py_LT, "lt", "CMP"},
    {"__ge__", "DAGTrackedSeries.__ge__", nullptr, 2, Py_GE, "ge", "CMP"},
    {"__le__", "DAGTrackedSeries.__le__", nullptr, 2, Py_LE, "le", "CMP"},
};
constexpr int N_OPS = sizeof(OPS) / sizeof(OPS[0]);

template <int K>
nb::object op_method(const Call& c) {
  const OpDef& d = OPS[K];
  if (d.kind == 3) {
    static const glue::Signature sig{OPS[K].qual, {}, 0};
    glue::parse(sig, c, nullptr);
    return via_unop(c.self, d.np_op, d.name, d.member, d.code);
  }
  static const glue::Signature sig{OPS[K].qual, {"other"}, 1};
  PyObject* a[1];
  glue::parse(sig, c, a);
  return via_binop(c.self, a[0], d.np_op, d.name, d.member, d.code);
}

// ------------------------------------------------------------------ methods

nb::object m_init(const Call& c) {
  PyObject* self = c.self;
  PyObject* given[3] = {nullptr, nullptr, nullptr};  // _prov, _tracker, _node_ids
  PyObject* names[3] = {Z.s_prov, Z.s_tracker, Z.s_node_ids};
  std::vector<PyObject*> argv;
  Py_ssize_t nkw = c.kwnames ? PyTuple_GET_SIZE(c.kwnames) : 0;
  argv.reserve(1 + c.nargs + nkw);
  argv.push_back(self);
  for (Py_ssize_t i = 0; i < c.nargs; ++i) argv.push_back(c.args[i]);
  nb::object kept;  // keyword names passed on to pandas
  if (nkw) {
    std::vector<PyObject*> rest;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(c.kwnames, k);
      int which = -1;
      for (int j = 0; j < 3 && which < 0; ++j) {
        if (key == names[j]) which = j;
        else {
          int eq = PyUnicode_Compare(key, names[j]);
          if (eq == -1 && PyErr_Occurred()) glue::raise_current();
          if (eq == 0) which = j;
        }
      }
      if (which >= 0) {
        given[which] = c.args[c.nargs + k];
      } else {
        rest.push_back(key);
        argv.push_back(c.args[c.nargs + k]);
      }
    }
    if (!rest.empty()) {
      kept = glue::steal(PyTuple_New((Py_ssize_t) rest.size()));
      for (size_t j = 0; j < rest.size(); ++j) PyTuple_SET_ITEM(kept.ptr(), (Py_ssize_t) j, Py_NewRef(rest[j]));
    }
  }
  glue::steal(PyObject_Vectorcall(Z.series_init, argv.data(), (size_t) (1 + c.nargs),
                                  kept.is_valid() ? kept.ptr() : nullptr));

  auto length = [&]() {
    Py_ssize_t n = PyObject_Length(self);
    if (n < 0) glue::raise_current();
    return n;
  };
  nb::object prov = given[0] && given[0] != Py_None ? nb::borrow(given[0]) : zeros(length(), Z.np_uint32);
  glue::ok(PyObject_GenericSetAttr(self, Z.s_prov, prov.ptr()));
  glue::ok(PyObject_GenericSetAttr(self, Z.s_tracker, given[1] ? given[1] : Py_None));
  nb::object nodes = given[2] && given[2] != Py_None ? nb::borrow(given[2]) : zeros(length(), Z.np_int64);
  glue::ok(PyObject_GenericSetAttr(self, Z.s_node_ids, nodes.ptr()));
  return nb::none();
}

nb::object m_binop_dag(const Call& c) {
  static const glue::Signature sig{"DAGTrackedSeries._binop_dag", {"other", "np_op", "op_name", "op_code"}, 4};
  PyObject* a[4];
  glue::parse(sig, c, a);
  glue::check_str(a[2], "op_name");
  nb::object code = glue::to_int(a[3], "op_code");
  return binop_impl(c.self, a[0], a[1], a[2], code.ptr());
}

nb::object m_unop_dag(const Call& c) {
  static const glue::Signature sig{"DAGTrackedSeries._unop_dag", {"np_op", "op_name", "op_code"}, 3};
  PyObject* a[3];
  glue::parse(sig, c, a);
  glue::check_str(a[1], "op_name");
  nb::object code = glue::to_int(a[2], "op_code");
  return unop_impl(c.self, a[0], a[1], code.ptr());
}

nb::object m_apply_tracked_unary(const Call& c) {
  static const glue::Signature sig{
      "DAGTrackedSeries._apply_tracked_unary", {"result_values", "result_index", "op_name", "op_code"}, 4};
  PyObject* a[4];
  glue::parse(sig, c, a);
  glue::check_str(a[2], "op_name");
  return apply_impl(c.self, a[0], a[1], a[2], a[3]);
}

/// pandas implements some forms of these transforms by calling the method
/// again on the same object (replace with a dict calls self.replace with
/// lists). The inner call is pandas' own work: it returns pandas' result as
/// is, so that each element gets exactly one tracked step, from the outer call.
class Reentry {
 public:
  explicit Reentry(PyObject* self) {
    for (PyObject* o : active_)
      if (o == self) nested_ = true;
    if (!nested_) active_.push_back(self);
  }
  ~Reentry() {
    if (!nested_) active_.pop_back();
  }
  bool nested() const { return nested_; }

 private:
  static thread_local std::vector<PyObject*> active_;
  bool nested_ = false;
};
thread_local std::vector<PyObject*> Reentry::active_;

/// What the transforms make of pandas' result: a new Series gets tracked;
/// anything else (None, or the object itself when pandas worked in place)
/// is handed back unchanged, leaving the provenance as it was.
bool to_track(PyObject* self, PyObject* result) {
  return result != self && PyObject_TypeCheck(result, (PyTypeObject*) Z.pd_series);
}

nb::object m_fillna(const Call& c) {
  static const glue::Signature sig{"DAGTrackedSeries.fillna", {"value"}, 0, 1, true};
  PyObject* a[1];
  nb::object kwargs = glue::parse(sig, c, a);
  PyObject* value = a[0] ? a[0] : Z.zero;
  nb::object args = nb::make_tuple(H(c.self), H(value));
  Reentry guard(c.self);
  nb::object result = glue::steal(
      PyObject_Call(Z.series_fillna, args.ptr(), kwargs.is_valid() ? kwargs.ptr() : nullptr));
  if (guard.nested() || !to_track(c.self, result.ptr())) return result;
  nb::object values = glue::steal(PyObject_GetAttr(result.ptr(), Z.s_values));
  nb::object index = glue::steal(PyObject_GetAttr(c.self, Z.s_index));
  return via_apply(c.self, values.ptr(), index.ptr(), Z.name_fillna, Z.op_fill);
}

nb::object m_replace(const Call& c) {
  std::vector<PyObject*> argv;
  Py_ssize_t nkw = c.kwnames ? PyTuple_GET_SIZE(c.kwnames) : 0;
  argv.reserve(1 + c.nargs + nkw);
  argv.push_back(c.self);
  for (Py_ssize_t i = 0; i < c.nargs + nkw; ++i) argv.push_back(c.args[i]);
  Reentry guard(c.self);
  nb::object result =
      glue::steal(PyObject_Vectorcall(Z.series_replace, argv.data(), (size_t) (1 + c.nargs), c.kwnames));
  if (guard.nested() || !to_track(c.self, result.ptr())) return result;
  nb::object values = glue::steal(PyObject_GetAttr(result.ptr(), Z.s_values));
  nb::object index = glue::steal(PyObject_GetAttr(result.ptr(), Z.s_index));
  return via_apply(c.self, values.ptr(), index.ptr(), Z.name_replace, Z.op_map);
}

nb::object m_clip(const Call& c) {
  static const glue::Signature sig{"DAGTrackedSeries.clip", {"lower", "upper"}, 0};
  PyObject* a[2];
  glue::parse(sig, c, a);
  nb::object bounds = nb::make_tuple(H(a[0] ? a[0] : Py_None), H(a[1] ? a[1] : Py_None));
  nb::object fn = new_callable(&def_clip, bounds);
  nb::object code = glue::steal(PyNumber_Long(Z.op_clip));
  return via_unop(c.self, fn.ptr(), Z.name_clip, Z.op_clip, code.ptr());
}

/// pandas hands `_name` on through `_metadata`; this class's `_metadata`
/// names its own three attributes, so the name is handed on here, exactly as
/// pandas does it for a plain Series (from any Series it derives from).
nb::object m_finalize(const Call& c) {
  static const glue::Signature sig{"DAGTrackedSeries.__finalize__", {"other", "method"}, 1, -1, true};
  PyObject* a[2];
  nb::object kwargs = glue::parse(sig, c, a);
  nb::object args = nb::make_tuple(H(c.self), H(a[0]), H(a[1] ? a[1] : Py_None));
  nb::object result = glue::steal(
      PyObject_Call(Z.series_finalize, args.ptr(), kwargs.is_valid() ? kwargs.ptr() : nullptr));
  if (PyObject_TypeCheck(a[0], (PyTypeObject*) Z.pd_series)) {
    PyObject* name = nullptr;
    if (PyObject_GetOptionalAttr(a[0], Z.s_name, &name) < 0) glue::raise_current();
    nb::object keep_name = name ? nb::steal(name) : nb::none();
    glue::ok(PyObject_GenericSetAttr(c.self, Z.s_name, keep_name.ptr()));
  }
  return result;
}

nb::object g_constructor(PyObject*) { return nb::borrow(Z.cls); }

template <int... K>
struct OpTable {
  static PyMethodDef* defs() {
    static PyMethodDef table[] = {GLUE_METHOD(OPS[K].method, op_method<K>, nullptr)..., {nullptr}};
    return table;
  }
};

PyMethodDef series_methods[] = {
    GLUE_METHOD("__init__", m_init, nullptr),
    GLUE_METHOD("_binop_dag", m_binop_dag, series_msg::BINOP_DOC),
    GLUE_METHOD("_unop_dag", m_unop_dag, series_msg::UNOP_DOC),
    GLUE_METHOD("fillna", m_fillna, series_msg::FILLNA_DOC),
    GLUE_METHOD("replace", m_replace, series_msg::REPLACE_DOC),
    GLUE_METHOD("clip", m_clip, series_msg::CLIP_DOC),
    GLUE_METHOD("_apply_tracked_unary", m_apply_tracked_unary, series_msg::APPLY_UNARY_DOC),
    GLUE_METHOD("__finalize__", m_finalize, series_msg::FINALIZE_DOC),
    {nullptr},
};

PyGetSetDef series_props[] = {
    GLUE_GETTER("_constructor", g_constructor, series_msg::CONSTRUCTOR_DOC),
    {nullptr},
};

using glue::intern;
using glue::keep;

}  // namespace

PyObject* tracked_series_type() { return Z.cls; }

nb::object make_tracked_series(nb::handle values, nb::handle index, nb::handle prov, nb::handle tracker,
                               nb::handle node_ids) {
  return make(values.ptr(), index.ptr(), prov.ptr(), tracker.ptr(), node_ids.ptr());
}

nb::object zeros_prov(Py_ssize_t n) { return zeros(n, Z.np_uint32); }
nb::object zeros_nodes(Py_ssize_t n) { return zeros(n, Z.np_int64); }

void register_tracked_series(nb::module_& m) {
  Z.s_prov = intern("_prov");
  Z.s_tracker = intern("_tracker");
  Z.s_node_ids = intern("_node_ids");
  Z.s_values = intern("values");
  Z.s_index = intern("index");
  Z.s_copy = intern("copy");
  Z.s_binop_dag = intern("_binop_dag");
  Z.s_unop_dag = intern("_unop_dag");
  Z.s_apply = intern("_apply_tracked_unary");
  Z.s_name = intern("_name");
  Z.name_fillna = intern("fillna");
  Z.name_replace = intern("replace");
  Z.name_clip = intern("clip");

  nb::object np = m.attr("np");
  nb::object pd = m.attr("pd");
  nb::object opcode = m.attr("OpCode");
  nb::object series = pd.attr("Series");
  Z.pd_series = keep(series);
  Z.series_init = keep(series.attr("__init__"));
  Z.series_fillna = keep(series.attr("fillna"));
  Z.series_replace = keep(series.attr("replace"));
  Z.series_finalize = keep(series.attr("__finalize__"));
  Z.np_zeros = keep(np.attr("zeros"));
  Z.np_clip = keep(np.attr("clip"));
  Z.np_uint32 = keep(np.attr("uint32"));
  Z.np_int64 = keep(np.attr("int64"));
  Z.kw_dtype = keep(nb::make_tuple("dtype"));
  Z.kw_make = keep(nb::make_tuple("index", "_prov", "_tracker", "_node_ids"));
  Z.zero = keep(nb::int_(0));
  Z.op_fill = keep(opcode.attr("FILL"));
  Z.op_map = keep(opcode.attr("MAP"));
  Z.op_clip = keep(opcode.attr("CLIP"));

  for (OpDef& d : OPS) {
    d.name = intern(d.op_name);
    d.member = keep(opcode.attr(d.op_code));
    d.code = keep(glue::steal(PyNumber_Long(d.member)));
    if (d.kind == 0) {
      d.np_op = keep(np.attr(d.numpy));
    } else if (d.kind == 1) {
      d.np_op = keep(new_callable(&def_reflected, np.attr(d.numpy)));
    } else if (d.kind == 2) {
      d.np_op = keep(new_callable(&def_compare, nb::int_(d.cmp)));
    } else {
      d.np_op = keep(new_callable(&def_negate, nb::none()));
    }
  }

  nb::object bases = nb::make_tuple(series);
  glue::ClassBuilder cb(m, "DAGTrackedSeries", bases, series_msg::CLASS_DOC);
  cb.attr("_metadata", nb::list(nb::make_tuple("_prov", "_tracker", "_node_ids")));
  nb::object cls = cb.create();
  cb.methods(series_methods);
  cb.methods(OpTable<0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14>::defs());
  static_assert(N_OPS == 15);
  cb.properties(series_props);
  PyObject* dict = ((PyTypeObject*) cls.ptr())->tp_dict;
  Z.d_binop = PyDict_GetItemWithError(dict, Z.s_binop_dag);
  Z.d_unop = PyDict_GetItemWithError(dict, Z.s_unop_dag);
  Z.d_apply = PyDict_GetItemWithError(dict, Z.s_apply);
  GLUE_INVARIANT(Z.d_binop && Z.d_unop && Z.d_apply, "DAGTrackedSeries lacks its own methods");
  m.attr("DAGTrackedSeries") = cls;
  Z.cls = keep(cls);
}

}  // namespace dag
