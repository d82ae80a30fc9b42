// A reconstructed graph whose ancestors were evicted is partial: its edges
// name ids that its `nodes` lack. missing_ids lists them, so that an audit can
// say how much is gone instead of failing on the first gap.
#include <algorithm>
#include <vector>

#include "glue/glue.h"
#include "tessel32_dag/engine/analysis.h"
#include "tessel32_dag/engine/records.h"
#include "tessel32_dag/engine/registry.h"
#include "tessel32_dag/messages.h"
#include "tessel32_dag/state.h"

namespace dag {

nb::object dag_missing_ids(PyObject* self) {
  nb::object nodes = glue::steal(PyObject_GetAttr(self, S.s_nodes_field));
  nb::object edges = glue::steal(PyObject_GetAttr(self, S.s_edges));
  nb::object seen = glue::steal(PySet_New(nullptr));
  nb::object out = glue::steal(PyList_New(0));
  auto consider = [&](nb::handle id) {
    int dup = PySet_Contains(seen.ptr(), id.ptr());
    glue::ok(dup);
    if (dup) return;
    glue::ok(PySet_Add(seen.ptr(), id.ptr()));
    int has = PySequence_Contains(nodes.ptr(), id.ptr());
    glue::ok(has);
    if (!has) glue::ok(PyList_Append(out.ptr(), id.ptr()));
  };
  nb::object root = glue::steal(PyObject_GetAttr(self, S.s_root_id));
  consider(root);
  nb::object it = glue::steal(PyObject_GetIter(edges.ptr()));
  while (PyObject* item = PyIter_Next(it.ptr())) {
    nb::object edge = glue::steal(item);
    nb::object source = glue::steal(PyObject_GetAttrString(edge.ptr(), "source_id"));
    consider(source);
  }
  if (PyErr_Occurred()) glue::raise_current();
  glue::ok(PyList_Sort(out.ptr()));
  return out;
}

namespace {

nb::object p_missing_ids(PyObject* self) { return dag_missing_ids(self); }

PyGetSetDef partial_getset[] = {
    GLUE_GETTER("missing_ids", p_missing_ids, msg::MISSING_IDS_DOC),
    {nullptr},
};

}  // namespace

void register_partial_dag(nb::module_&) {
  auto* tp = (PyTypeObject*) S.computation_dag;
  for (PyGetSetDef* d = partial_getset; d->name; ++d) {
    nb::object descr = glue::steal(PyDescr_NewGetSet(tp, d));
    glue::ok(PyObject_SetAttrString(S.computation_dag, d->name, descr.ptr()));
  }
}

}  // namespace dag
