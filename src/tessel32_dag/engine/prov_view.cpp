// The provenance index view type behind DAGTracker._prov_to_nodes: a
// read-only mapping of provenance -> new list of node ids, over the registry.
#include "glue/glue.h"
#include "tessel32_dag/engine/registry.h"
#include "tessel32_dag/messages.h"
#include "tessel32_dag/state.h"

namespace dag {

static PyTypeObject* g_provview_type = nullptr;

struct ProvViewObject {
  PyObject_HEAD
  PyObject* reg;
};

nb::object provview_new(PyObject* registry) {
  auto* v = PyObject_GC_New(ProvViewObject, g_provview_type);
  if (!v) glue::raise_current();
  v->reg = Py_NewRef(registry);
  PyObject_GC_Track((PyObject*) v);
  return glue::steal((PyObject*) v);
}

static RegistryObject* view_reg(PyObject* self) { return (RegistryObject*) ((ProvViewObject*) self)->reg; }

static nb::object ids_list(const std::vector<int64_t>& ids) {
  nb::object lst = glue::steal(PyList_New((Py_ssize_t) ids.size()));
  for (size_t i = 0; i < ids.size(); ++i)
    PyList_SET_ITEM(lst.ptr(), (Py_ssize_t) i, glue::steal(PyLong_FromLongLong(ids[i])).release().ptr());
  return lst;
}

static nb::object view_keys_list(PyObject* self) {
  RegistryObject* r = view_reg(self);
  registry_sync_index(r);
  registry_purge_index(r);
  std::vector<uint32_t> keys;
  r->prov.keys(keys);
  nb::object lst = glue::steal(PyList_New(0));
  for (uint32_t k : keys) glue::ok(PyList_Append(lst.ptr(), glue::steal(PyLong_FromUnsignedLong(k)).ptr()));
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(r->prov_wide, &pos, &key, &value)) glue::ok(PyList_Append(lst.ptr(), key));
  return lst;
}

static PyObject* view_subscript(PyObject* self, PyObject* key) {
  return glue::guarded([&]() -> PyObject* {
    std::vector<int64_t> ids;
    if (!registry_ids_for(view_reg(self), key, ids)) {
      PyErr_SetObject(PyExc_KeyError, key);
      return nullptr;
    }
    return ids_list(ids).release().ptr();
  });
}
static Py_ssize_t view_len(PyObject* self) { return (Py_ssize_t) registry_unique_provenances(view_reg(self)); }
static int view_contains(PyObject* self, PyObject* key) {
  try {
    std::vector<int64_t> ids;
    return registry_ids_for(view_reg(self), key, ids);
  } GLUE_CATCH_ALL {
    glue::restore_current_exception();
    return -1;
  }
}
static PyObject* view_iter(PyObject* self) {
  return glue::guarded([&]() -> PyObject* { return PyObject_GetIter(view_keys_list(self).ptr()); });
}
static nb::object view_as_dict(PyObject* self) {
  nb::object d = glue::steal(PyDict_New());
  nb::object keys = view_keys_list(self);
  std::vector<int64_t> ids;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.ptr()); ++i) {
    PyObject* k = PyList_GET_ITEM(keys.ptr(), i);
    registry_ids_for(view_reg(self), k, ids);
    glue::ok(PyDict_SetItem(d.ptr(), k, ids_list(ids).ptr()));
  }
  return d;
}
static nb::object v_get(const glue::Call& c) {
  static const glue::Signature sig{"ProvenanceIndex.get", {"key", "default"}, 1};
  PyObject* a[2];
  glue::parse(sig, c, a);
  std::vector<int64_t> ids;
  if (registry_ids_for(view_reg(c.self), a[0], ids)) return ids_list(ids);
  return nb::borrow(a[1] ? a[1] : Py_None);
}
static nb::object v_keys(const glue::Call& c) { return view_keys_list(c.self); }
static nb::object v_values(const glue::Call& c) {
  nb::object d = view_as_dict(c.self);
  return glue::steal(PyDict_Values(d.ptr()));
}
static nb::object v_items(const glue::Call& c) {
  nb::object d = view_as_dict(c.self);
  return glue::steal(PyDict_Items(d.ptr()));
}
static nb::object v_copy(const glue::Call& c) { return view_as_dict(c.self); }
static PyObject* view_repr(PyObject* self) {
  return glue::guarded([&]() -> PyObject* { return PyObject_Repr(view_as_dict(self).ptr()); });
}
static PyObject* view_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || !PyDict_Check(other)) Py_RETURN_NOTIMPLEMENTED;
  return glue::guarded([&]() -> PyObject* { return PyObject_RichCompare(view_as_dict(self).ptr(), other, op); });
}
static int view_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(((ProvViewObject*) self)->reg);
  return 0;
}
static int view_clear(PyObject* self) {
  Py_CLEAR(((ProvViewObject*) self)->reg);
  return 0;
}
static void view_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  view_clear(self);
  PyObject_GC_Del(self);
  Py_DECREF(tp);
}
static PyMethodDef view_methods[] = {
    GLUE_METHOD("get", v_get, msg::PROVVIEW_GET_DOC),
    GLUE_METHOD("keys", v_keys, msg::PROVVIEW_KEYS_DOC),
    GLUE_METHOD("values", v_values, msg::PROVVIEW_VALUES_DOC),
    GLUE_METHOD("items", v_items, msg::PROVVIEW_ITEMS_DOC),
    GLUE_METHOD("copy", v_copy, msg::PROVVIEW_COPY_DOC),
    {nullptr},
};

void register_provview(nb::module_& m) {
  {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, (void*) view_dealloc},
        {Py_tp_traverse, (void*) view_traverse},
        {Py_tp_clear, (void*) view_clear},
        {Py_tp_iter, (void*) view_iter},
        {Py_tp_repr, (void*) view_repr},
        {Py_tp_richcompare, (void*) view_richcompare},
        {Py_tp_hash, (void*) PyObject_HashNotImplemented},
        {Py_mp_length, (void*) view_len},
        {Py_mp_subscript, (void*) view_subscript},
        {Py_sq_contains, (void*) view_contains},
        {Py_tp_methods, (void*) view_methods},
        {Py_tp_doc, (void*) "Provenance index of a DAGTracker (read-only): provenance -> new list of node ids."},
        {0, nullptr},
    };
    PyType_Spec spec{"corvanti.utilities.tessel32_dag.ProvenanceIndex", sizeof(ProvViewObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MAPPING |
                         Py_TPFLAGS_DISALLOW_INSTANTIATION,
                     slots};
    g_provview_type = (PyTypeObject*) glue::steal(PyType_FromModuleAndSpec(m.ptr(), &spec, nullptr)).release().ptr();
  }
  S.provview_type = g_provview_type;
  // It behaves as a mapping to isinstance checks.
  nb::object abc = nb::module_::import_("collections.abc");
  abc.attr("Mapping").attr("register")(nb::handle((PyObject*) g_provview_type));
}

}  // namespace dag
