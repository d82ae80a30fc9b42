// ComputationDAG.to_dot: the readable picture (operation and source columns
// per node, the protected path in red, a legend). The arguments are checked
// here; the text is built by the pure-Python corvanti.utilities._dag_dot,
// imported at call time: it is string work on a finished graph, far from any
// hot path. to_graphviz() (export_dot.cpp) keeps its compact text.
#include <utility>

#include "glue/glue.h"
#include "tessel32_dag/engine/analysis.h"
#include "tessel32_dag/messages.h"
#include "tessel32_dag/state.h"

namespace dag {
namespace {

nb::object m_to_dot(const glue::Call& c) {
  static const glue::Signature sig{"ComputationDAG.to_dot", {"legend", "labels"}, 0, 0};
  PyObject* a[2];
  glue::parse(sig, c, a);
  PyObject* legend = a[0] ? a[0] : Py_True;
  if (!PyBool_Check(legend)) glue::raise_arg_type("legend", "bool", legend);
  nb::object labels = a[1] ? nb::borrow(a[1]) : nb::str("rich");
  if (!PyUnicode_Check(labels.ptr()) || (PyUnicode_CompareWithASCIIString(labels.ptr(), "rich") != 0 &&
                                         PyUnicode_CompareWithASCIIString(labels.ptr(), "plain") != 0))
    glue::raise(PyExc_ValueError, msg::TO_DOT_LABELS, labels.ptr());
  nb::object module = glue::steal(PyImport_ImportModule("corvanti.utilities._dag_dot"));
  nb::object render = glue::steal(PyObject_GetAttrString(module.ptr(), "render"));
  PyObject* args[3] = {c.self, legend, labels.ptr()};
  nb::object text = glue::steal(PyObject_Vectorcall(render.ptr(), args, 3, nullptr));
  return glue::check_result_exact(std::move(text), &PyUnicode_Type, "str");
}

PyMethodDef rich_methods[] = {
    GLUE_METHOD("to_dot", m_to_dot, msg::TO_DOT_DOC),
    {nullptr},
};

}  // namespace

void register_rich_dot(nb::module_&) {
  auto* tp = (PyTypeObject*) S.computation_dag;
  for (PyMethodDef* d = rich_methods; d->ml_name; ++d) {
    nb::object descr = glue::steal(PyDescr_NewMethod(tp, d));
    glue::ok(PyObject_SetAttrString(S.computation_dag, d->ml_name, descr.ptr()));
  }
}

}  // namespace dag
