// ComputationDAG.to_graphviz: a Graphviz DOT digraph, sources at the bottom.
//
// Names are escaped inside the quoted labels (a double quote or a backslash
// would otherwise end the string or start an escape that Graphviz rejects);
// the two-character line break between table and column is DOT's own.
#include <string>

#include "tessel32_dag/engine/analysis.h"
#include "tessel32_dag/state.h"
#include "tessel32_dag/engine/tracker.h"

namespace dag {

static std::string text_of(PyObject* v) {
  nb::object s = glue::steal(PyObject_Format(v, nullptr));
  Py_ssize_t n;
  const char* p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
  if (!p) glue::raise_current();
  return std::string(p, (size_t) n);
}

static void append_escaped(std::string& out, const std::string& s) {
  for (char ch : s) {
    if (ch == '"' || ch == '\\') out.push_back('\\');
    out.push_back(ch);
  }
}

nb::object dag_to_graphviz(PyObject* self) {
  nb::object nodes = glue::steal(PyObject_GetAttr(self, S.s_nodes_field));
  nb::object edges = glue::steal(PyObject_GetAttr(self, S.s_edges));
  nb::object root = glue::steal(PyObject_GetAttr(self, S.s_root_id));
  std::string out = "digraph ComputationDAG {\n  rankdir=BT;\n  node [shape=box, style=filled];\n\n";

  nb::object values = glue::steal(PyObject_CallMethod(nodes.ptr(), "values", nullptr));
  nb::object it = glue::steal(PyObject_GetIter(values.ptr()));
  while (PyObject* item = PyIter_Next(it.ptr())) {
    nb::object node = glue::steal(item);
    nb::object nid = is_node(node.ptr()) ? node_id_obj((DAGNodeObject*) node.ptr())
                                         : glue::steal(PyObject_GetAttr(node.ptr(), S.s_node_id));
    std::string label;
    const char* colour;
    if (node_is_source(node.ptr())) {
      append_escaped(label, text_of(glue::steal(PyObject_GetAttr(node.ptr(), S.s_table)).ptr()));
      label += "\\n";
      append_escaped(label, text_of(glue::steal(PyObject_GetAttr(node.ptr(), S.s_column)).ptr()));
      colour = truthy(node_attr(node.ptr(), S.s_is_protected)) ? "#f59e0b" : "#22d3ee";
    } else {
      append_escaped(label, text_of(node_attr(node.ptr(), S.s_operation).ptr()));
      int is_root = PyObject_RichCompareBool(nid.ptr(), root.ptr(), Py_EQ);
      if (is_root < 0) glue::raise_current();
      colour = is_root ? "#c084fc" : "#4ade80";
    }
    out += "  n" + text_of(nid.ptr()) + " [label=\"" + label + "\", fillcolor=\"" + colour + "\"];\n";
  }
  if (PyErr_Occurred()) glue::raise_current();
  out += "\n";

  nb::object eit = glue::steal(PyObject_GetIter(edges.ptr()));
  while (PyObject* item = PyIter_Next(eit.ptr())) {
    nb::object e = glue::steal(item);
    nb::object src = glue::steal(PyObject_GetAttrString(e.ptr(), "source_id"));
    nb::object dst = glue::steal(PyObject_GetAttrString(e.ptr(), "target_id"));
    out += "  n" + text_of(src.ptr()) + " -> n" + text_of(dst.ptr()) + ";\n";
  }
  if (PyErr_Occurred()) glue::raise_current();
  out += "}";
  return glue::steal(PyUnicode_FromStringAndSize(out.data(), (Py_ssize_t) out.size()));
}

}  // namespace dag
