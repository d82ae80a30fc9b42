// ComputationDAG.to_dict and to_json: the layout reports and dashboards read.
#include "tessel32_dag/engine/analysis.h"
#include "tessel32_dag/state.h"
#include "tessel32_dag/engine/tracker.h"

namespace dag {

static nb::object dicts_of(nb::handle seq, bool edges) {
  nb::object out = glue::steal(PyList_New(0));
  nb::object it = glue::steal(PyObject_GetIter(seq.ptr()));
  while (PyObject* item = PyIter_Next(it.ptr())) {
    nb::object o = glue::steal(item);
    nb::object d;
    if (!edges && is_node(o.ptr()))
      d = node_to_dict(o.ptr());
    else if (edges && Py_TYPE(o.ptr()) == S.edge_type)
      d = edge_to_dict(o.ptr());
    else
      d = glue::steal(PyObject_CallMethodNoArgs(o.ptr(), S.s_to_dict));
    glue::ok(PyList_Append(out.ptr(), d.ptr()));
  }
  if (PyErr_Occurred()) glue::raise_current();
  return out;
}

nb::object dag_to_dict(PyObject* self) {
  nb::object d = glue::steal(PyDict_New());
  auto put = [&](const char* k, nb::handle v) { glue::ok(PyDict_SetItemString(d.ptr(), k, v.ptr())); };
  nb::object nodes = glue::steal(PyObject_GetAttr(self, S.s_nodes_field));
  nb::object edges = glue::steal(PyObject_GetAttr(self, S.s_edges));
  put("root_id", glue::steal(PyObject_GetAttr(self, S.s_root_id)));
  put("depth", dag_depth(self));  // first: a graph with a missing ancestor fails here
  Py_ssize_t nn = PyObject_Length(nodes.ptr()), ne = PyObject_Length(edges.ptr());
  if (nn < 0 || ne < 0) glue::raise_current();
  put("node_count", nb::int_(nn));
  put("edge_count", nb::int_(ne));
  put("has_protected", dag_has_protected(self));
  put("taint_risks", dag_column_taint_risks(self));
  put("sources", dicts_of(dag_source_nodes(self), false));
  put("protected_sources", dicts_of(dag_protected_sources(self), false));
  put("operation_counts", dag_operation_counts(self));
  nb::object node_dicts = glue::steal(PyDict_New());
  nb::object items = glue::steal(PyObject_CallMethod(nodes.ptr(), "items", nullptr));
  nb::object it = glue::steal(PyObject_GetIter(items.ptr()));
  while (PyObject* item = PyIter_Next(it.ptr())) {
    nb::object kv = glue::steal(item);
    nb::object key = glue::steal(PyObject_Str(PyTuple_GET_ITEM(kv.ptr(), 0)));
    PyObject* node = PyTuple_GET_ITEM(kv.ptr(), 1);
    nb::object nd = is_node(node) ? node_to_dict(node) : glue::steal(PyObject_CallMethodNoArgs(node, S.s_to_dict));
    glue::ok(PyDict_SetItem(node_dicts.ptr(), key.ptr(), nd.ptr()));
  }
  if (PyErr_Occurred()) glue::raise_current();
  put("nodes", node_dicts);
  put("edges", dicts_of(edges, true));
  return d;
}

nb::object dag_to_json(PyObject* self, PyObject* indent) {
  nb::object ind = indent ? glue::to_int(indent, "indent") : nb::int_(2);
  nb::object d = glue::steal(PyObject_CallMethodNoArgs(self, S.s_to_dict));
  nb::object args = nb::make_tuple(d);
  nb::object kw = glue::steal(PyDict_New());
  glue::ok(PyDict_SetItemString(kw.ptr(), "indent", ind.ptr()));
  return glue::steal(PyObject_Call(S.json_dumps, args.ptr(), kw.ptr()));
}

}  // namespace dag
