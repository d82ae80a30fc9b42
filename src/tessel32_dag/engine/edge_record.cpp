// DAGEdge: the native edge record.
#include "glue/glue.h"
#include "tessel32_dag/engine/record_type.h"
#include "tessel32_dag/engine/records.h"
#include "tessel32_dag/messages.h"
#include "tessel32_dag/state.h"

namespace dag {

static const char* const EDGE_FIELDS[] = {"source_id", "target_id", "input_index"};

PyObject* edge_new(PyObject* source_id, PyObject* target_id, PyObject* input_index) {
  auto* e = PyObject_GC_New(DAGEdgeObject, S.edge_type);
  if (!e) return nullptr;
  e->source_id = Py_NewRef(source_id);
  e->target_id = Py_NewRef(target_id);
  e->input_index = Py_NewRef(input_index);
  // Edges of ints cannot form cycles.
  if (!(PyLong_CheckExact(source_id) && PyLong_CheckExact(target_id) && PyLong_CheckExact(input_index)))
    PyObject_GC_Track((PyObject*) e);
  return (PyObject*) e;
}

static PyObject*& edge_slot(PyObject* self, int i) {
  auto* e = (DAGEdgeObject*) self;
  return i == 0 ? e->source_id : i == 1 ? e->target_id : e->input_index;
}

static nb::object edge_field_any(PyObject* self, int i) { return nb::borrow(edge_slot(self, i)); }

static PyObject* edge_tp_new(PyTypeObject* type, PyObject*, PyObject*) {
  auto* e = (DAGEdgeObject*) type->tp_alloc(type, 0);
  if (!e) return nullptr;
  e->source_id = Py_NewRef(Py_None);
  e->target_id = Py_NewRef(Py_None);
  e->input_index = Py_NewRef(Py_None);
  return (PyObject*) e;
}

static int edge_tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  try {
    static const glue::Signature sig{"DAGEdge.__init__", {"source_id", "target_id", "input_index"}, 3};
    PyObject* a[3];
    glue::parse_tuple(sig, self, args, kwargs, a);
    for (int i = 0; i < 3; ++i) set_ref(edge_slot(self, i), a[i]);
    if (!(PyLong_CheckExact(a[0]) && PyLong_CheckExact(a[1]) && PyLong_CheckExact(a[2])) &&
        !PyObject_GC_IsTracked(self))
      PyObject_GC_Track(self);
    return 0;
  } GLUE_CATCH_ALL {
    glue::restore_current_exception();
    return -1;
  }
}

static int edge_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* e = (DAGEdgeObject*) self;
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(e->source_id);
  Py_VISIT(e->target_id);
  Py_VISIT(e->input_index);
  return 0;
}

static int edge_clear(PyObject* self) {
  auto* e = (DAGEdgeObject*) self;
  Py_CLEAR(e->source_id);
  Py_CLEAR(e->target_id);
  Py_CLEAR(e->input_index);
  return 0;
}

static void edge_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, edge_dealloc)
  edge_clear(self);
  tp->tp_free(self);
  Py_DECREF(tp);
  Py_TRASHCAN_END
}

template <int I>
static PyObject* edge_get(PyObject* self, void*) {
  PyObject* v = edge_slot(self, I);
  return Py_NewRef(v ? v : Py_None);
}
template <int I>
static int edge_set(PyObject* self, PyObject* value, void*) {
  return glue::guarded_status([&] {
    if (!value) glue::raise(PyExc_AttributeError, msg::CANNOT_DELETE_FIELD, EDGE_FIELDS[I], "DAGEdge");
    set_ref(edge_slot(self, I), value);
    if (!PyLong_CheckExact(value) && !PyObject_GC_IsTracked(self)) PyObject_GC_Track(self);
  });
}

static PyObject* edge_repr(PyObject* self) { return fields_repr(self, EDGE_FIELDS, 3, edge_field_any); }
static PyObject* edge_richcompare(PyObject* self, PyObject* other, int op) {
  return fields_richcompare(self, other, op, 3, edge_field_any);
}

nb::object edge_to_dict(PyObject* self) {
  nb::object d = glue::steal(PyDict_New());
  glue::ok(PyDict_SetItemString(d.ptr(), "source", edge_slot(self, 0)));
  glue::ok(PyDict_SetItemString(d.ptr(), "target", edge_slot(self, 1)));
  glue::ok(PyDict_SetItemString(d.ptr(), "input_index", edge_slot(self, 2)));
  return d;
}

static nb::object meth_edge_to_dict(const glue::Call& c) {
  static const glue::Signature sig{"DAGEdge.to_dict", {}, 0};
  glue::parse(sig, c, nullptr);
  return edge_to_dict(c.self);
}

static PyGetSetDef edge_getset[] = {
    {"source_id", edge_get<0>, edge_set<0>, nullptr, nullptr},
    {"target_id", edge_get<1>, edge_set<1>, nullptr, nullptr},
    {"input_index", edge_get<2>, edge_set<2>, nullptr, nullptr},
    {nullptr},
};

static nb::object meth_edge_reduce(const glue::Call& c) {
  nb::object args = nb::make_tuple(nb::handle(edge_slot(c.self, 0)), nb::handle(edge_slot(c.self, 1)),
                                   nb::handle(edge_slot(c.self, 2)));
  return nb::make_tuple(nb::handle((PyObject*) Py_TYPE(c.self)), args);
}

static PyMethodDef edge_methods[] = {
    GLUE_METHOD("to_dict", meth_edge_to_dict, nullptr),
    GLUE_METHOD("__reduce__", meth_edge_reduce, nullptr),
    {nullptr},
};

void register_edge_type(nb::module_& m) {
  S.edge_type = make_type(m, "corvanti.utilities.tessel32_dag.DAGEdge", sizeof(DAGEdgeObject), edge_tp_new,
                          edge_tp_init, edge_dealloc, edge_traverse, edge_clear, edge_repr, edge_richcompare,
                          edge_getset, edge_methods, msg::DAGEDGE_DOC);
  nb::list edge_spec;
  edge_spec.append(nb::make_tuple("source_id", "int"));
  edge_spec.append(nb::make_tuple("target_id", "int"));
  edge_spec.append(nb::make_tuple("input_index", "int"));
  adopt_dataclass_metadata((PyObject*) S.edge_type, "DAGEdge", edge_spec);
  m.attr("DAGEdge") = nb::handle((PyObject*) S.edge_type);
}

}  // namespace dag
