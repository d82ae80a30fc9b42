// DAGNode: the native node record (compact ints, lazy containers, side block).
#include "tessel32_dag/engine/records.h"

#include "tessel32_dag/engine/record_type.h"

#include <cstdio>

#include "glue/glue.h"
#include "tessel32_dag/messages.h"
#include "tessel32_dag/state.h"

namespace dag {
using namespace nb::literals;

PyTypeObject* g_node_type = nullptr;

// ---------------------------------------------------------------- helpers

static bool has_containers(DAGNodeObject* n) { return n->inputs || n->metadata || n->ext; }

static void track(PyObject* o) {
  if (!PyObject_GC_IsTracked(o)) PyObject_GC_Track(o);
}

static NodeExt* ext_of(DAGNodeObject* n) {
  if (!n->ext) {
    n->ext = new NodeExt();
    track((PyObject*) n);
  }
  return n->ext;
}


static inline PyObject* none_if_null(PyObject* p) { return p ? p : Py_None; }

DAGNodeObject* node_new(int64_t id, PyObject* node_type, PyObject* operation, PyObject* inputs,
                        int n_lazy, int64_t in0, int64_t in1, uint32_t prov, PyObject* metadata) {
  auto* n = PyObject_GC_New(DAGNodeObject, g_node_type);
  if (!n) glue::raise_current();
  n->node_id = id;
  n->prov = prov;
  n->protected_flag = 0;
  n->n_lazy = (uint8_t) n_lazy;
  Py_INCREF(node_type);
  n->node_type = node_type;
  Py_INCREF(operation);
  n->operation = operation;
  n->inputs = Py_XNewRef(inputs);
  n->metadata = Py_XNewRef(metadata);
  n->in[0] = in0;
  n->in[1] = in1;
  n->ext = nullptr;
  // Nodes that hold only ints and interned strings cannot be part of a
  // cycle: leave them untracked, so the collector never walks them.
  if (has_containers(n)) PyObject_GC_Track((PyObject*) n);
  return n;
}

nb::object node_id_obj(DAGNodeObject* n) {
  if (n->ext && n->ext->node_id) return nb::borrow(n->ext->node_id);
  return glue::steal(PyLong_FromLongLong(n->node_id));
}

nb::object node_provenance(DAGNodeObject* n) {
  if (n->ext && n->ext->provenance) return nb::borrow(n->ext->provenance);
  return glue::steal(PyLong_FromUnsignedLong(n->prov));
}

bool node_prov_u32(DAGNodeObject* n, uint32_t& out) {
  if (n->ext && n->ext->provenance) return false;
  out = n->prov;
  return true;
}

nb::object node_inputs(DAGNodeObject* n) {
  if (!n->inputs) {
    PyObject* lst = PyList_New(n->n_lazy);
    if (!lst) glue::raise_current();
    for (int i = 0; i < n->n_lazy; ++i) {
      PyObject* v = PyLong_FromLongLong(n->in[i]);
      if (!v) {
        Py_DECREF(lst);
        glue::raise_current();
      }
      PyList_SET_ITEM(lst, i, v);
    }
    n->inputs = lst;
    track((PyObject*) n);
  }
  return nb::borrow(n->inputs);
}

nb::object node_metadata(DAGNodeObject* n) {
  if (!n->metadata) {
    n->metadata = PyDict_New();
    if (!n->metadata) glue::raise_current();
    track((PyObject*) n);
  }
  return nb::borrow(n->metadata);
}

nb::object node_is_protected(DAGNodeObject* n) {
  if (n->ext && n->ext->is_protected) return nb::borrow(n->ext->is_protected);
  return nb::borrow(n->protected_flag ? Py_True : Py_False);
}

bool node_protected_truthy(DAGNodeObject* n) {
  if (n->ext && n->ext->is_protected) {
    int t = PyObject_IsTrue(n->ext->is_protected);
    if (t < 0) glue::raise_current();
    return t;
  }
  return n->protected_flag;
}

void node_set_protected(DAGNodeObject* n, bool value) {
  if (n->ext && n->ext->is_protected) Py_CLEAR(n->ext->is_protected);
  n->protected_flag = value;
}

void node_set_ext(DAGNodeObject* n, PyObject* table, PyObject* column, PyObject* pair_id) {
  if ((!table || table == Py_None) && (!column || column == Py_None) && (!pair_id || pair_id == Py_None))
    return;
  NodeExt* e = ext_of(n);
  set_ref(e->table, table == Py_None ? nullptr : table);
  set_ref(e->column, column == Py_None ? nullptr : column);
  set_ref(e->pair_id, pair_id == Py_None ? nullptr : pair_id);
}

bool node_is_source(PyObject* node) {
  PyObject* nt;
  nb::object holder;
  if (is_node(node)) {
    nt = ((DAGNodeObject*) node)->node_type;
  } else {
    holder = glue::steal(PyObject_GetAttr(node, S.s_node_type));
    nt = holder.ptr();
  }
  if (nt == S.nt[SOURCE]) return true;
  // NodeType members compare by identity: no call needed for them.
  if ((PyObject*) Py_TYPE(nt) == S.nodetype_enum) return false;
  int r = PyObject_RichCompareBool(nt, S.nt[SOURCE], Py_EQ);
  if (r < 0) glue::raise_current();
  return r;
}

// ------------------------------------------------------------- field setters

static bool set_int_field(PyObject* value, int64_t& raw, PyObject*& obj_slot, DAGNodeObject* n) {
  if (PyLong_CheckExact(value)) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (!overflow && !(v == -1 && PyErr_Occurred())) {
      raw = v;
      if (n->ext) Py_CLEAR(obj_slot);
      return true;
    }
    PyErr_Clear();
  }
  return false;
}

static void set_node_id(DAGNodeObject* n, PyObject* v) {
  int64_t raw = n->node_id;
  PyObject* dummy = nullptr;
  if (set_int_field(v, raw, n->ext ? n->ext->node_id : dummy, n)) {
    n->node_id = raw;
    return;
  }
  set_ref(ext_of(n)->node_id, v);
}

static void set_provenance(DAGNodeObject* n, PyObject* v) {
  if (PyLong_CheckExact(v)) {
    unsigned long long p = PyLong_AsUnsignedLongLong(v);
    if (!(p == (unsigned long long) -1 && PyErr_Occurred()) && p <= 0xFFFFFFFFull) {
      n->prov = (uint32_t) p;
      if (n->ext) Py_CLEAR(n->ext->provenance);
      return;
    }
    PyErr_Clear();
  }
  set_ref(ext_of(n)->provenance, v);
}

static void set_is_protected(DAGNodeObject* n, PyObject* v) {
  if (v == Py_True || v == Py_False) {
    node_set_protected(n, v == Py_True);
    return;
  }
  set_ref(ext_of(n)->is_protected, v);
}

// A field that may now hold a container: the node joins the cyclic GC.
static void set_object_field(DAGNodeObject* n, PyObject*& slot, PyObject* v) {
  set_ref(slot, v);
  if (PyObject_IS_GC(v)) track((PyObject*) n);
}

static void set_inputs(DAGNodeObject* n, PyObject* v) {
  set_ref(n->inputs, v);
  track((PyObject*) n);
}

static void set_metadata(DAGNodeObject* n, PyObject* v) {
  set_ref(n->metadata, v);
  track((PyObject*) n);
}

// ---------------------------------------------------------------- DAGNode type

static const char* const NODE_FIELDS[] = {"node_id",  "node_type", "operation", "inputs",  "provenance",
                                          "metadata", "table",     "column",    "pair_id", "is_protected"};
static constexpr int NODE_NFIELDS = 10;

static nb::object node_field(DAGNodeObject* n, int i) {
  switch (i) {
    case 0: return node_id_obj(n);
    case 1: return nb::borrow(n->node_type);
    case 2: return nb::borrow(n->operation);
    case 3: return node_inputs(n);
    case 4: return node_provenance(n);
    case 5: return node_metadata(n);
    case 6: return nb::borrow(none_if_null(n->ext ? n->ext->table : nullptr));
    case 7: return nb::borrow(none_if_null(n->ext ? n->ext->column : nullptr));
    case 8: return nb::borrow(none_if_null(n->ext ? n->ext->pair_id : nullptr));
    default: return node_is_protected(n);
  }
}

void node_set_field(DAGNodeObject* n, int i, PyObject* v) {
  switch (i) {
    case 0: set_node_id(n, v); break;
    case 1: set_object_field(n, n->node_type, v); break;
    case 2: set_object_field(n, n->operation, v); break;
    case 3: set_inputs(n, v); break;
    case 4: set_provenance(n, v); break;
    case 5: set_metadata(n, v); break;
    case 6: set_ref(ext_of(n)->table, v); break;
    case 7: set_ref(ext_of(n)->column, v); break;
    case 8: set_ref(ext_of(n)->pair_id, v); break;
    default: set_is_protected(n, v); break;
  }
}

static PyObject* node_tp_new(PyTypeObject* type, PyObject*, PyObject*) {
  auto* n = (DAGNodeObject*) type->tp_alloc(type, 0);
  if (!n) return nullptr;
  n->node_type = Py_NewRef(Py_None);
  n->operation = Py_NewRef(Py_None);
  return (PyObject*) n;
}

static int node_tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  try {
    static const glue::Signature sig{
        "DAGNode.__init__",
        {"node_id", "node_type", "operation", "inputs", "provenance", "metadata", "table", "column", "pair_id",
         "is_protected"},
        5};
    PyObject* slot[NODE_NFIELDS];
    glue::parse_tuple(sig, self, args, kwargs, slot);
    auto* n = (DAGNodeObject*) self;
    for (int i = 0; i < NODE_NFIELDS; ++i) {
      if (slot[i]) {
        node_set_field(n, i, slot[i]);
      } else if (i == 5) {
        nb::object d = glue::steal(PyDict_New());
        set_metadata(n, d.ptr());
      } else if (i == 9) {
        set_is_protected(n, Py_False);
      } else if (i >= 6) {
        node_set_field(n, i, Py_None);
      }
    }
    return 0;
  } GLUE_CATCH_ALL {
    glue::restore_current_exception();
    return -1;
  }
}

static int node_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* n = (DAGNodeObject*) self;
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(n->node_type);
  Py_VISIT(n->operation);
  Py_VISIT(n->inputs);
  Py_VISIT(n->metadata);
  if (n->ext) {
    Py_VISIT(n->ext->table);
    Py_VISIT(n->ext->column);
    Py_VISIT(n->ext->pair_id);
    Py_VISIT(n->ext->node_id);
    Py_VISIT(n->ext->provenance);
    Py_VISIT(n->ext->is_protected);
  }
  return 0;
}

static int node_clear(PyObject* self) {
  auto* n = (DAGNodeObject*) self;
  Py_CLEAR(n->inputs);
  Py_CLEAR(n->metadata);
  if (n->ext) {
    Py_CLEAR(n->ext->table);
    Py_CLEAR(n->ext->column);
    Py_CLEAR(n->ext->pair_id);
    Py_CLEAR(n->ext->node_id);
    Py_CLEAR(n->ext->provenance);
    Py_CLEAR(n->ext->is_protected);
  }
  return 0;
}

// Deallocation goes through CPython's trashcan, so a long chain of records
// referring to one another is freed iteratively, not by deep recursion.
static void node_dealloc(PyObject* self) {
  auto* n = (DAGNodeObject*) self;
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, node_dealloc)
  node_clear(self);
  Py_CLEAR(n->node_type);
  Py_CLEAR(n->operation);
  delete n->ext;
  n->ext = nullptr;
  tp->tp_free(self);
  Py_DECREF(tp);
  Py_TRASHCAN_END
}

template <int I>
static PyObject* node_get(PyObject* self, void*) {
  return glue::guarded([&]() -> PyObject* { return node_field((DAGNodeObject*) self, I).release().ptr(); });
}

template <int I>
static int node_set(PyObject* self, PyObject* value, void*) {
  return glue::guarded_status([&] {
    if (!value) glue::raise(PyExc_AttributeError, msg::CANNOT_DELETE_FIELD, NODE_FIELDS[I], "DAGNode");
    node_set_field((DAGNodeObject*) self, I, value);
  });
}

static nb::object node_field_any(PyObject* self, int i) { return node_field((DAGNodeObject*) self, i); }

static PyObject* node_repr(PyObject* self) { return fields_repr(self, NODE_FIELDS, NODE_NFIELDS, node_field_any); }

static PyObject* node_richcompare(PyObject* self, PyObject* other, int op) {
  return fields_richcompare(self, other, op, NODE_NFIELDS, node_field_any);
}

static nb::object prop_is_source(PyObject* self) { return nb::bool_(node_is_source(self)); }

static nb::object prop_is_leaf(PyObject* self) {
  nb::object inputs = node_inputs((DAGNodeObject*) self);
  Py_ssize_t n = PyObject_Length(inputs.ptr());
  if (n < 0) glue::raise_current();
  return nb::bool_(n == 0);
}

static nb::object format_empty(PyObject* v) { return glue::steal(PyObject_Format(v, nullptr)); }

nb::object node_to_dict(PyObject* self) {
  auto* n = (DAGNodeObject*) self;
  nb::object id = node_id_obj(n);
  // Display name.
  nb::object name;
  PyObject* table = n->ext ? n->ext->table : nullptr;
  PyObject* column = n->ext ? n->ext->column : nullptr;
  int tt = table ? PyObject_IsTrue(table) : 0;
  if (tt < 0) glue::raise_current();
  int ct = (tt && column) ? PyObject_IsTrue(column) : 0;
  if (ct < 0) glue::raise_current();
  if (tt && ct) {
    name = glue::steal(PyUnicode_FromFormat("%S.%S", format_empty(table).ptr(), format_empty(column).ptr()));
  } else {
    int ot = PyObject_IsTrue(n->operation);
    if (ot < 0) glue::raise_current();
    if (ot)
      name = nb::borrow(n->operation);
    else
      name = glue::steal(PyUnicode_FromFormat("node_%S", format_empty(id.ptr()).ptr()));
  }
  nb::object type_name = glue::steal(PyObject_GetAttrString(n->node_type, "name"));
  nb::object prov;
  uint32_t p32;
  if (node_prov_u32(n, p32)) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", p32);
    prov = glue::steal(PyUnicode_FromString(buf));
  } else {
    nb::object spec = glue::steal(PyUnicode_FromString("08X"));
    nb::object hex = glue::steal(PyObject_Format(node_provenance(n).ptr(), spec.ptr()));
    prov = glue::steal(PyUnicode_FromFormat("0x%U", hex.ptr()));
  }
  nb::object d = glue::steal(PyDict_New());
  auto put = [&](const char* k, PyObject* v) { glue::ok(PyDict_SetItemString(d.ptr(), k, v)); };
  put("id", id.ptr());
  put("name", name.ptr());
  put("type", type_name.ptr());
  put("operation", n->operation);
  put("inputs", node_inputs(n).ptr());
  put("provenance", prov.ptr());
  put("table", none_if_null(table));
  put("column", none_if_null(column));
  put("pair_id", none_if_null(n->ext ? n->ext->pair_id : nullptr));
  put("is_protected", node_is_protected(n).ptr());
  put("metadata", node_metadata(n).ptr());
  return d;
}

static nb::object meth_node_to_dict(const glue::Call& c) {
  static const glue::Signature sig{"DAGNode.to_dict", {}, 0};
  glue::parse(sig, c, nullptr);
  return node_to_dict(c.self);
}

static PyGetSetDef node_getset[] = {
    {"node_id", node_get<0>, node_set<0>, nullptr, nullptr},
    {"node_type", node_get<1>, node_set<1>, nullptr, nullptr},
    {"operation", node_get<2>, node_set<2>, nullptr, nullptr},
    {"inputs", node_get<3>, node_set<3>, nullptr, nullptr},
    {"provenance", node_get<4>, node_set<4>, nullptr, nullptr},
    {"metadata", node_get<5>, node_set<5>, nullptr, nullptr},
    {"table", node_get<6>, node_set<6>, nullptr, nullptr},
    {"column", node_get<7>, node_set<7>, nullptr, nullptr},
    {"pair_id", node_get<8>, node_set<8>, nullptr, nullptr},
    {"is_protected", node_get<9>, node_set<9>, nullptr, nullptr},
    GLUE_GETTER("is_source", prop_is_source, nullptr),
    GLUE_GETTER("is_leaf", prop_is_leaf, nullptr),
    {nullptr},
};

// Copy and pickle rebuild a node from its fields, as for a dataclass.
static nb::object meth_node_reduce(const glue::Call& c) {
  nb::object args = glue::steal(PyTuple_New(NODE_NFIELDS));
  for (int i = 0; i < NODE_NFIELDS; ++i)
    PyTuple_SET_ITEM(args.ptr(), i, node_field((DAGNodeObject*) c.self, i).release().ptr());
  return nb::make_tuple(nb::handle((PyObject*) Py_TYPE(c.self)), args);
}

static PyMethodDef node_methods[] = {
    GLUE_METHOD("to_dict", meth_node_to_dict, nullptr),
    GLUE_METHOD("__reduce__", meth_node_reduce, nullptr),
    {nullptr},
};

void register_node_type(nb::module_& m) {
  g_node_type = make_type(m, "corvanti.utilities.tessel32_dag.DAGNode", sizeof(DAGNodeObject), node_tp_new,
                          node_tp_init, node_dealloc, node_traverse, node_clear, node_repr, node_richcompare,
                          node_getset, node_methods, msg::DAGNODE_DOC);
  S.node_type = g_node_type;

  nb::object field = nb::module_::import_("dataclasses").attr("field");
  nb::object dict_type = nb::borrow((PyObject*) &PyDict_Type);
  nb::list node_spec;
  node_spec.append(nb::make_tuple("node_id", "int"));
  node_spec.append(nb::make_tuple("node_type", "NodeType"));
  node_spec.append(nb::make_tuple("operation", "str"));
  node_spec.append(nb::make_tuple("inputs", "List[int]"));
  node_spec.append(nb::make_tuple("provenance", "int"));
  node_spec.append(nb::make_tuple("metadata", "Dict[str, Any]", field("default_factory"_a = dict_type)));
  node_spec.append(nb::make_tuple("table", "Optional[str]", field("default"_a = nb::none())));
  node_spec.append(nb::make_tuple("column", "Optional[str]", field("default"_a = nb::none())));
  node_spec.append(nb::make_tuple("pair_id", "Optional[int]", field("default"_a = nb::none())));
  node_spec.append(nb::make_tuple("is_protected", "bool", field("default"_a = false)));
  adopt_dataclass_metadata((PyObject*) g_node_type, "DAGNode", node_spec);
  m.attr("DAGNode") = nb::handle((PyObject*) g_node_type);
}

}  // namespace dag
