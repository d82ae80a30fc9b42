// DAGNode and DAGEdge native record types.
#include "tessel32_dag/engine/records.h"

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

static void set_ref(PyObject*& slot, PyObject* value) {
  PyObject* old = slot;
  Py_XINCREF(value);
  slot = value;
  Py_XDECREF(old);
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
  if (nt == S.nt[1]) return true;
  // NodeType members compare by identity: no call needed for them.
  if ((PyObject*) Py_TYPE(nt) == S.nodetype_enum) return false;
  int r = PyObject_RichCompareBool(nt, S.nt[1], Py_EQ);
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
  if (!value) {
    PyErr_Format(PyExc_AttributeError, "cannot delete field '%s' of DAGNode", NODE_FIELDS[I]);
    return -1;
  }
  try {
    node_set_field((DAGNodeObject*) self, I, value);
    return 0;
  } GLUE_CATCH_ALL {
    glue::restore_current_exception();
    return -1;
  }
}

static PyObject* qualname_of(PyObject* self) {
  return PyType_GetQualName(Py_TYPE(self));
}

// repr in the dataclass form, with the same guard against recursion.
static PyObject* fields_repr(PyObject* self, const char* const* names, int count,
                             nb::object (*get)(PyObject*, int)) {
  int rec = Py_ReprEnter(self);
  if (rec != 0) return rec > 0 ? PyUnicode_FromString("...") : nullptr;
  PyObject* result = glue::guarded([&]() -> PyObject* {
    nb::object qn = glue::steal(qualname_of(self));
    nb::object parts = glue::steal(PyList_New(0));
    for (int i = 0; i < count; ++i) {
      nb::object v = get(self, i);
      nb::object item = glue::steal(PyUnicode_FromFormat("%s=%R", names[i], v.ptr()));
      glue::ok(PyList_Append(parts.ptr(), item.ptr()));
    }
    nb::object sep = glue::steal(PyUnicode_FromString(", "));
    nb::object body = glue::steal(PyUnicode_Join(sep.ptr(), parts.ptr()));
    return PyUnicode_FromFormat("%U(%U)", qn.ptr(), body.ptr());
  });
  Py_ReprLeave(self);
  return result;
}

// == the way a dataclass compares: same object -> True; same class -> the
// fields in order, as `a == b and c == d ...` evaluates; else NotImplemented.
static PyObject* fields_richcompare(PyObject* self, PyObject* other, int op, int count,
                                    nb::object (*get)(PyObject*, int)) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  return glue::guarded([&]() -> PyObject* {
    nb::object result;
    if (self == other) {
      result = nb::borrow(Py_True);
    } else if (Py_TYPE(self) != Py_TYPE(other)) {
      return Py_NewRef(Py_NotImplemented);
    } else {
      result = nb::borrow(Py_True);
      for (int i = 0; i < count; ++i) {
        nb::object a = get(self, i), b = get(other, i);
        result = glue::steal(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
        int t = PyObject_IsTrue(result.ptr());
        if (t < 0) glue::raise_current();
        if (!t) break;
      }
    }
    if (op == Py_EQ) return result.release().ptr();
    int t = PyObject_IsTrue(result.ptr());
    if (t < 0) glue::raise_current();
    return Py_NewRef(t ? Py_False : Py_True);
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

// ---------------------------------------------------------------- DAGEdge type

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
  if (!value) {
    PyErr_Format(PyExc_AttributeError, "cannot delete field '%s' of DAGEdge", EDGE_FIELDS[I]);
    return -1;
  }
  set_ref(edge_slot(self, I), value);
  if (!PyLong_CheckExact(value) && !PyObject_GC_IsTracked(self)) PyObject_GC_Track(self);
  return 0;
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

// ------------------------------------------------------------- registration

static PyTypeObject* make_type(nb::module_& m, const char* qualified, int basicsize, newfunc tp_new,
                               initproc tp_init, destructor dealloc, traverseproc trav, inquiry clear,
                               reprfunc repr, richcmpfunc rich, PyGetSetDef* getset, PyMethodDef* methods,
                               const char* doc) {
  PyType_Slot slots[] = {
      {Py_tp_new, (void*) tp_new},
      {Py_tp_init, (void*) tp_init},
      {Py_tp_dealloc, (void*) dealloc},
      {Py_tp_traverse, (void*) trav},
      {Py_tp_clear, (void*) clear},
      {Py_tp_repr, (void*) repr},
      {Py_tp_richcompare, (void*) rich},
      {Py_tp_hash, (void*) PyObject_HashNotImplemented},
      {Py_tp_getset, (void*) getset},
      {Py_tp_methods, (void*) methods},
      {Py_tp_doc, (void*) doc},
      {0, nullptr},
  };
  PyType_Spec spec{qualified, basicsize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                   slots};
  PyObject* t = PyType_FromModuleAndSpec(m.ptr(), &spec, nullptr);
  if (!t) glue::raise_current();
  return (PyTypeObject*) t;
}

// Borrow the dataclass description (fields, params, match args, signature)
// from an equivalent dataclass, so that the dataclasses module and inspect
// treat the native type as the dataclass it stands for.
static void adopt_dataclass_metadata(PyObject* type, const char* name, nb::handle fields_spec) {
  nb::object dataclasses = nb::module_::import_("dataclasses");
  nb::object model = dataclasses.attr("make_dataclass")(name, fields_spec);
  for (const char* attr : {"__dataclass_fields__", "__dataclass_params__", "__match_args__", "__annotations__",
                           "__replace__"}) {
    if (!nb::hasattr(model, attr)) continue;
    glue::ok(PyObject_SetAttrString(type, attr, model.attr(attr).ptr()));
  }
  nb::object sig = nb::module_::import_("inspect").attr("signature")(model);
  glue::ok(PyObject_SetAttrString(type, "__signature__", sig.ptr()));
  // The model's __init__ signature names the annotations as strings too.
}

void register_records(nb::module_& m) {
  g_node_type = make_type(m, "corvanti.utilities.tessel32_dag.DAGNode", sizeof(DAGNodeObject), node_tp_new,
                          node_tp_init, node_dealloc, node_traverse, node_clear, node_repr, node_richcompare,
                          node_getset, node_methods, msg::DAGNODE_DOC);
  S.node_type = g_node_type;
  S.edge_type = make_type(m, "corvanti.utilities.tessel32_dag.DAGEdge", sizeof(DAGEdgeObject), edge_tp_new,
                          edge_tp_init, edge_dealloc, edge_traverse, edge_clear, edge_repr, edge_richcompare,
                          edge_getset, edge_methods, msg::DAGEDGE_DOC);

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

  nb::list edge_spec;
  edge_spec.append(nb::make_tuple("source_id", "int"));
  edge_spec.append(nb::make_tuple("target_id", "int"));
  edge_spec.append(nb::make_tuple("input_index", "int"));
  adopt_dataclass_metadata((PyObject*) S.edge_type, "DAGEdge", edge_spec);

  m.attr("DAGNode") = nb::handle((PyObject*) g_node_type);
  m.attr("DAGEdge") = nb::handle((PyObject*) S.edge_type);
}

}  // namespace dag
