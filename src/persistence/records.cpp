// The stored record types (see records.h). Static types: the exact types get
// a vectorcall constructor (no argument tuple, no dict); subclasses go
// through tp_new/tp_init.
#include "persistence/records.h"

#include <cstddef>
#include <cstring>

#include "glue/errors.h"
#include "persistence/messages.h"

namespace persist {
namespace {

struct RecordSpec {
  const char* name;          ///< "StoredNode"
  int count;                 ///< number of fields
  int required;              ///< the first `required` fields have no default
  const char* const* names;  ///< field names
  PyObject** interned;       ///< the names as interned str (filled at init)
};

const char* const kNodeNames[] = {"fingerprint", "node_type", "operation", "table_name", "column_name",
                                  "pair_id", "is_protected", "entity_hash", "chain_hash", "metadata",
                                  "pipeline_id"};
const char* const kEdgeNames[] = {"parent_fingerprint", "child_fingerprint", "input_position"};
const char* const kValueNames[] = {"pipeline_id", "row_index", "fingerprint", "node_operation",
                                   "value", "column_name", "tenant_id", "text_value"};
PyObject* g_node_interned[node_f::count];
PyObject* g_edge_interned[edge_f::count];
PyObject* g_value_interned[value_f::count];

RecordSpec g_node_spec{"StoredNode", node_f::count, 7, kNodeNames, g_node_interned};
RecordSpec g_edge_spec{"StoredEdge", edge_f::count, 3, kEdgeNames, g_edge_interned};
RecordSpec g_value_spec{"StoredRowValue", value_f::count, 4, kValueNames, g_value_interned};

const RecordSpec* spec_of(PyTypeObject* t) {
  for (; t; t = t->tp_base) {
    if (t == &StoredNodeType) return &g_node_spec;
    if (t == &StoredEdgeType) return &g_edge_spec;
    if (t == &StoredRowValueType) return &g_value_spec;
  }
  return nullptr;
}

RecordObject* alloc(PyTypeObject* type, int count) {
  auto* r = (RecordObject*) type->tp_alloc(type, 0);
  if (!r) return nullptr;
  for (int i = 0; i < count; ++i) r->f[i] = Py_NewRef(Py_None);
  return r;
}

int field_index(const RecordSpec& s, PyObject* key) {
  for (int i = 0; i < s.count; ++i)
    if (s.interned[i] == key) return i;
  for (int i = 0; i < s.count; ++i)
    if (PyUnicode_Compare(s.interned[i], key) == 0) return i;
  if (PyErr_Occurred()) PyErr_Clear();
  return -1;
}

/// A value that cannot be part of a reference cycle.
bool atomic(PyObject* v) {
  PyTypeObject* t = Py_TYPE(v);
  return v == Py_None || t == &PyLong_Type || t == &PyFloat_Type || t == &PyUnicode_Type || t == &PyBool_Type ||
         t == &PyBytes_Type;
}

/// Records are created by the million (one row value per element): one
/// that holds only atomic values stays out of the cyclic GC, which would
/// otherwise walk every one of them at each collection (CPython untracks
/// such tuples and dicts the same way). Setting a container re-tracks it.
void untrack_if_atomic(RecordObject* r, int count) {
  if (!Py_IS_TYPE((PyObject*) r, &StoredNodeType) && !Py_IS_TYPE((PyObject*) r, &StoredEdgeType) &&
      !Py_IS_TYPE((PyObject*) r, &StoredRowValueType))
    return;  // subclass instances have a __dict__
  for (int i = 0; i < count; ++i)
    if (!atomic(r->f[i])) return;
  if (PyObject_GC_IsTracked((PyObject*) r)) PyObject_GC_UnTrack((PyObject*) r);
}

int rec_setattro(PyObject* self, PyObject* name, PyObject* value) {
  int rc = PyObject_GenericSetAttr(self, name, value);
  if (rc == 0 && value && !atomic(value) && !PyObject_GC_IsTracked(self)) PyObject_GC_Track(self);
  return rc;
}

/// Fill the slots from a fastcall argument vector; -1 with an error set.
int fill(RecordObject* r, const RecordSpec& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs > s.count) {
    PyErr_Format(PyExc_TypeError, msg::REC_TOO_MANY, s.name, s.count, nargs);
    return -1;
  }
  bool given[16] = {};
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    Py_SETREF(r->f[i], Py_NewRef(args[i]));
    given[i] = true;
  }
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    int i = field_index(s, key);
    if (i < 0) {
      PyErr_Format(PyExc_TypeError, msg::REC_UNEXPECTED, s.name, key);
      return -1;
    }
    if (given[i]) {
      PyErr_Format(PyExc_TypeError, msg::REC_MULTIPLE, s.name, s.names[i]);
      return -1;
    }
    Py_SETREF(r->f[i], Py_NewRef(args[nargs + k]));
    given[i] = true;
  }
  for (int i = 0; i < s.required; ++i)
    if (!given[i]) {
      PyErr_Format(PyExc_TypeError, msg::REC_MISSING, s.name, s.names[i]);
      return -1;
    }
  return 0;
}

PyObject* rec_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  auto* t = (PyTypeObject*) type;
  const RecordSpec* s = spec_of(t);
  RecordObject* r = alloc(t, s->count);
  if (!r) return nullptr;
  if (fill(r, *s, args, PyVectorcall_NARGS(nargsf), kwnames) < 0) {
    Py_DECREF(r);
    return nullptr;
  }
  untrack_if_atomic(r, s->count);
  return (PyObject*) r;
}

PyObject* rec_new(PyTypeObject* type, PyObject*, PyObject*) {
  return (PyObject*) alloc(type, spec_of(type)->count);
}

int rec_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  const RecordSpec* s = spec_of(Py_TYPE(self));
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
  PyObject* flat[32];
  if (nargs + nkw > 32) {
    PyErr_Format(PyExc_TypeError, msg::REC_TOO_MANY, s->name, s->count, nargs + nkw);
    return -1;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) flat[i] = PyTuple_GET_ITEM(args, i);
  PyObject* kwnames = nullptr;
  if (nkw) {
    kwnames = PyTuple_New(nkw);
    if (!kwnames) return -1;
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      PyTuple_SET_ITEM(kwnames, k, Py_NewRef(key));
      flat[nargs + k++] = value;
    }
  }
  int rc = fill((RecordObject*) self, *s, flat, nargs, kwnames);
  Py_XDECREF(kwnames);
  if (rc == 0) untrack_if_atomic((RecordObject*) self, s->count);
  return rc;
}

int rec_traverse(PyObject* self, visitproc visit, void* arg) {
  const RecordSpec* s = spec_of(Py_TYPE(self));
  auto* r = (RecordObject*) self;
  for (int i = 0; i < s->count; ++i) Py_VISIT(r->f[i]);
  Py_VISIT(Py_TYPE(self));  // heap subclasses own their type
  return 0;
}

int rec_clear(PyObject* self) {
  const RecordSpec* s = spec_of(Py_TYPE(self));
  auto* r = (RecordObject*) self;
  for (int i = 0; i < s->count; ++i) Py_CLEAR(r->f[i]);
  return 0;
}

void rec_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  if (PyObject_GC_IsTracked(self)) PyObject_GC_UnTrack(self);
  rec_clear(self);
  tp->tp_free(self);
  if (tp->tp_flags & Py_TPFLAGS_HEAPTYPE) Py_DECREF(tp);
}

PyObject* rec_repr(PyObject* self) {
  const RecordSpec* s = spec_of(Py_TYPE(self));
  int rc = Py_ReprEnter(self);
  if (rc != 0) return rc > 0 ? PyUnicode_FromString("...") : nullptr;
  auto* r = (RecordObject*) self;
  PyObject* out = nullptr;
  PyObject* parts = PyList_New(0);
  PyObject* name = PyType_GetName(Py_TYPE(self));
  if (parts && name) {
    int i = 0;
    for (; i < s->count; ++i) {
      PyObject* item = PyUnicode_FromFormat("%s=%R", s->names[i], r->f[i]);
      if (!item || PyList_Append(parts, item) < 0) {
        Py_XDECREF(item);
        break;
      }
      Py_DECREF(item);
    }
    if (i == s->count) {
      PyObject* sep = PyUnicode_FromString(", ");
      PyObject* body = sep ? PyUnicode_Join(sep, parts) : nullptr;
      if (body) out = PyUnicode_FromFormat("%U(%U)", name, body);
      Py_XDECREF(body);
      Py_XDECREF(sep);
    }
  }
  Py_XDECREF(name);
  Py_XDECREF(parts);
  Py_ReprLeave(self);
  return out;
}

PyObject* rec_richcompare(PyObject* a, PyObject* b, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
  const RecordSpec* s = spec_of(Py_TYPE(a));
  auto* x = (RecordObject*) a;
  auto* y = (RecordObject*) b;
  for (int i = 0; i < s->count; ++i) {
    int eq = PyObject_RichCompareBool(x->f[i], y->f[i], Py_EQ);
    if (eq < 0) return nullptr;
    if (!eq) return Py_NewRef(op == Py_EQ ? Py_False : Py_True);
  }
  return Py_NewRef(op == Py_EQ ? Py_True : Py_False);
}

PyObject* rec_asdict(PyObject* self, PyObject*) {
  const RecordSpec* s = spec_of(Py_TYPE(self));
  auto* r = (RecordObject*) self;
  PyObject* d = PyDict_New();
  if (!d) return nullptr;
  for (int i = 0; i < s->count; ++i)
    if (PyDict_SetItem(d, s->interned[i], r->f[i]) < 0) {
      Py_DECREF(d);
      return nullptr;
    }
  return d;
}

PyObject* rec_reduce(PyObject* self, PyObject*) {
  const RecordSpec* s = spec_of(Py_TYPE(self));
  auto* r = (RecordObject*) self;
  PyObject* args = PyTuple_New(s->count);
  if (!args) return nullptr;
  for (int i = 0; i < s->count; ++i) PyTuple_SET_ITEM(args, i, Py_NewRef(r->f[i]));
  return Py_BuildValue("(ON)", (PyObject*) Py_TYPE(self), args);
}

PyMethodDef kRecordMethods[] = {
    {"_asdict", rec_asdict, METH_NOARGS, msg::ASDICT_DOC},
    {"__reduce__", rec_reduce, METH_NOARGS, msg::REDUCE_DOC},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef g_node_members[node_f::count + 1];
PyMemberDef g_edge_members[edge_f::count + 1];
PyMemberDef g_value_members[value_f::count + 1];

void make_members(PyMemberDef* m, const RecordSpec& s) {
  for (int i = 0; i < s.count; ++i)
    m[i] = PyMemberDef{s.names[i], Py_T_OBJECT_EX,
                       (Py_ssize_t) (offsetof(RecordObject, f) + (size_t) i * sizeof(PyObject*)), 0, nullptr};
  m[s.count] = PyMemberDef{nullptr, 0, 0, 0, nullptr};
}

void setup(PyTypeObject& t, const RecordSpec& s, PyMemberDef* members, const char* qualname, const char* doc) {
  make_members(members, s);
  t.tp_name = qualname;
  t.tp_basicsize = (Py_ssize_t) (offsetof(RecordObject, f) + (size_t) s.count * sizeof(PyObject*));
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
  t.tp_doc = doc;
  t.tp_new = rec_new;
  t.tp_init = rec_init;
  t.tp_vectorcall = rec_vectorcall;
  t.tp_dealloc = rec_dealloc;
  t.tp_traverse = rec_traverse;
  t.tp_clear = rec_clear;
  t.tp_repr = rec_repr;
  t.tp_richcompare = rec_richcompare;
  t.tp_setattro = rec_setattro;
  t.tp_hash = PyObject_HashNotImplemented;
  t.tp_methods = kRecordMethods;
  t.tp_members = members;
}

}  // namespace

PyTypeObject StoredNodeType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject StoredEdgeType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject StoredRowValueType = {PyVarObject_HEAD_INIT(nullptr, 0)};

PyObject* record_new(PyTypeObject* type, PyObject* const* values, int n) {
  RecordObject* r = alloc(type, n);
  if (!r) glue::raise_current();
  for (int i = 0; i < n; ++i)
    if (values[i]) Py_SETREF(r->f[i], Py_NewRef(values[i]));
  untrack_if_atomic(r, n);
  return (PyObject*) r;
}

void records_init(PyObject* module) {
  const RecordSpec* specs[] = {&g_node_spec, &g_edge_spec, &g_value_spec};
  for (const RecordSpec* s : specs)
    for (int i = 0; i < s->count; ++i) {
      s->interned[i] = PyUnicode_InternFromString(s->names[i]);
      if (!s->interned[i]) glue::raise_current();
    }
  setup(StoredNodeType, g_node_spec, g_node_members, "corvanti.utilities.persistence.storage.StoredNode",
        msg::STORED_NODE_DOC);
  setup(StoredEdgeType, g_edge_spec, g_edge_members, "corvanti.utilities.persistence.storage.StoredEdge",
        msg::STORED_EDGE_DOC);
  setup(StoredRowValueType, g_value_spec, g_value_members,
        "corvanti.utilities.persistence.storage.StoredRowValue", msg::STORED_ROW_VALUE_DOC);
  PyTypeObject* types[] = {&StoredNodeType, &StoredEdgeType, &StoredRowValueType};
  for (int k = 0; k < 3; ++k) {
    glue::ok(PyType_Ready(types[k]));
    // _fields and __match_args__: the field names, for introspection and `match`.
    PyObject* names = PyTuple_New(specs[k]->count);
    if (!names) glue::raise_current();
    for (int i = 0; i < specs[k]->count; ++i) PyTuple_SET_ITEM(names, i, Py_NewRef(specs[k]->interned[i]));
    int rc = PyDict_SetItemString(types[k]->tp_dict, "_fields", names);
    if (rc == 0) rc = PyDict_SetItemString(types[k]->tp_dict, "__match_args__", names);
    Py_DECREF(names);
    glue::ok(rc);
    PyType_Modified(types[k]);
    glue::ok(PyModule_AddObjectRef(module, specs[k]->name, (PyObject*) types[k]));
  }
}

}  // namespace persist
