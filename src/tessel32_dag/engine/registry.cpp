// The node registry type (DAGTracker._nodes) and the operations on it.
#include "tessel32_dag/engine/registry.h"

#include <new>

#include "glue/glue.h"
#include "tessel32_dag/engine/records.h"
#include "tessel32_dag/messages.h"
#include "tessel32_dag/state.h"

namespace dag {

static PyTypeObject* g_registry_type = nullptr;
static PyTypeObject* g_regiter_type = nullptr;

bool is_registry(PyObject* o) { return Py_TYPE(o) == g_registry_type; }

// An int-like key as int64: exact ints, and objects with __index__ (numpy
// integers), which hash and compare equal to the int they stand for.
bool registry_key_to_id(PyObject* key, int64_t& out) {
  nb::object idx;
  PyObject* k = key;
  if (!PyLong_CheckExact(key)) {
    if (!PyIndex_Check(key)) {
      if (PyFloat_Check(key)) {
        double d = PyFloat_AS_DOUBLE(key);
        if (d == (double) (int64_t) d) {
          out = (int64_t) d;
          return true;
        }
      }
      return false;
    }
    idx = glue::steal(PyNumber_Index(key));
    k = idx.ptr();
  }
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(k, &overflow);
  if (v == -1 && PyErr_Occurred()) glue::raise_current();
  if (overflow) return false;
  out = v;
  return true;
}

bool registry_intern(RegistryObject* r, PyObject* node_type, PyObject* operation, uint8_t& kind, uint16_t& op) {
  if (node_type == S.nt[SOURCE] || !PyUnicode_CheckExact(operation)) return false;
  if (!r->op_index) return false;  // cleared by the collector: objects only from here on
  size_t k = 0;
  while (k < r->kinds.size() && r->kinds[k] != node_type) ++k;
  if (k == r->kinds.size()) {
    if (k > 0xFF) return false;
    r->kinds.push_back(Py_NewRef(node_type));
  }
  kind = (uint8_t) k;
  if (operation == r->last_op) {
    op = r->last_op_idx;
    return true;
  }
  // Interned by value: equal operation strings share one entry.
  PyObject* found = PyDict_GetItemWithError(r->op_index, operation);
  if (found) {
    op = (uint16_t) PyLong_AsLong(found);
  } else {
    if (PyErr_Occurred()) glue::raise_current();
    if (r->ops.size() > 0xFFFF) return false;
    op = (uint16_t) r->ops.size();
    nb::object idx = glue::steal(PyLong_FromLong(op));
    glue::ok(PyDict_SetItem(r->op_index, operation, idx.ptr()));
    r->ops.push_back(Py_NewRef(operation));
  }
  r->last_op = r->ops[op];
  r->last_op_idx = op;
  return true;
}

void registry_sync_index(RegistryObject* r) {
  int64_t end = r->store.end_id();
  if (r->indexed_to >= end) return;
  int64_t from = r->indexed_to;
  r->indexed_to = end;
  r->store.for_rows_from(from, [&](int64_t id, uint32_t prov) { r->prov.append(prov, id); });
}

/// Drop the entries of evicted nodes from `count` slots of the index, from
/// the clean-up cursor on.
static void purge_some(RegistryObject* r, size_t count) {
  const int64_t below = r->stale_below;
  size_t cap = r->prov.capacity();
  size_t removed =
      r->prov.purge_slots(r->purge_cursor, count, [&](int64_t id) { return id >= below || r->store.contains(id); });
  r->purge_cursor = cap ? (r->purge_cursor + count) & (cap - 1) : 0;
  r->prov_stale = removed >= r->prov_stale ? 0 : r->prov_stale - removed;
}

void registry_purge_index(RegistryObject* r) {
  if (!r->prov_stale) return;
  purge_some(r, r->prov.capacity());
  r->prov_stale = 0;  // every slot was seen
}

/// Is this index entry's node still in the registry?
static inline bool entry_live(const RegistryObject* r, int64_t id) {
  return !r->prov_stale || id >= r->stale_below || r->store.contains(id);
}

bool registry_add_row(RegistryObject* r, int64_t id, const core::NodeRow& row) {
  // Only a contiguous append keeps the pending rows a suffix of the ring.
  if (id != r->store.end_id()) registry_sync_index(r);
  if (r->prov_stale && id < r->stale_below) registry_purge_index(r);  // see registry_put
  // Appended ids are never behind the watermark: the index catches up later.
  return r->store.append_row(id, row);
}

PyObject* registry_make_node(RegistryObject* r, int64_t id, const core::NodeRow& row) {
  DAGNodeObject* n = node_new(id, r->kinds[row.kind], r->ops[row.op], nullptr, row.n_inputs(), row.in0, row.in1,
                              row.prov, nullptr);
  n->protected_flag = row.is_protected();
  return (PyObject*) n;
}

PyObject* registry_object(RegistryObject* r, const core::NodeStore::Entry& e) {
  if (e.obj) return (PyObject*) e.obj;
  PyObject* n = registry_make_node(r, e.id, e.row);
  r->store.attach(e.id, n);  // the store keeps the reference
  return n;
}

PyObject* registry_get_id(RegistryObject* r, int64_t id) {
  core::NodeStore::Entry e;
  if (!r->store.get(id, e)) return nullptr;
  return registry_object(r, e);
}

PyObject* registry_get(RegistryObject* r, PyObject* key) {
  int64_t id;
  if (!registry_key_to_id(key, id)) return nullptr;
  return registry_get_id(r, id);
}

void registry_put(RegistryObject* r, int64_t id, PyObject* node, bool pinned) {
  registry_sync_index(r);  // index entries stay in creation order
  // An id that an evicted node had: its old entries go before the id is
  // live again (they would answer for the new node).
  if (r->prov_stale && id < r->stale_below) registry_purge_index(r);
  Py_INCREF(node);
  auto* old = (PyObject*) r->store.insert(id, node, pinned);
  Py_XDECREF(old);
}

void registry_index(RegistryObject* r, PyObject* node, int64_t id) {
  uint32_t p;
  if (is_node(node) && node_prov_u32((DAGNodeObject*) node, p)) {
    r->prov.append(p, id);
    return;
  }
  nb::object prov = glue::steal(PyObject_GetAttr(node, S.s_provenance));
  if (PyLong_CheckExact(prov.ptr())) {
    unsigned long long v = PyLong_AsUnsignedLongLong(prov.ptr());
    if (!(v == (unsigned long long) -1 && PyErr_Occurred()) && v <= 0xFFFFFFFFull) {
      r->prov.append((uint32_t) v, id);
      return;
    }
    PyErr_Clear();
  }
  nb::object idobj = glue::steal(PyLong_FromLongLong(id));
  PyObject* lst = PyDict_GetItemWithError(r->prov_wide, prov.ptr());
  if (!lst) {
    if (PyErr_Occurred()) glue::raise_current();
    nb::object fresh = glue::steal(PyList_New(0));
    glue::ok(PyDict_SetItem(r->prov_wide, prov.ptr(), fresh.ptr()));
    lst = fresh.ptr();
  }
  glue::ok(PyList_Append(lst, idobj.ptr()));
}

static void unindex(RegistryObject* r, PyObject* node, int64_t id) {
  uint32_t p;
  if (is_node(node) && node_prov_u32((DAGNodeObject*) node, p)) {
    r->prov.remove(p, id);
    return;
  }
  nb::object prov = glue::steal(PyObject_GetAttr(node, S.s_provenance));
  if (PyLong_CheckExact(prov.ptr())) {
    unsigned long long v = PyLong_AsUnsignedLongLong(prov.ptr());
    if (!(v == (unsigned long long) -1 && PyErr_Occurred()) && v <= 0xFFFFFFFFull) {
      r->prov.remove((uint32_t) v, id);
      return;
    }
    PyErr_Clear();
  }
  PyObject* lst = PyDict_GetItemWithError(r->prov_wide, prov.ptr());
  if (!lst) {
    if (PyErr_Occurred()) glue::raise_current();
    return;
  }
  nb::object idobj = glue::steal(PyLong_FromLongLong(id));
  nb::object keep = nb::borrow(lst);
  Py_ssize_t n = PyList_GET_SIZE(lst);
  for (Py_ssize_t i = 0; i < n; ++i) {
    int eq = PyObject_RichCompareBool(PyList_GET_ITEM(lst, i), idobj.ptr(), Py_EQ);
    if (eq < 0) glue::raise_current();
    if (eq) {
      glue::ok(PySequence_DelItem(lst, i));
      break;
    }
  }
  if (PyList_GET_SIZE(lst) == 0) glue::ok(PyDict_DelItem(r->prov_wide, prov.ptr()));
}

void registry_evict(RegistryObject* r, std::vector<PyObject*>& dead) {
  size_t count = r->store.size() / 10;
  // The index entries of evicted rows stay where they are (readers skip
  // them): removing each would be a cache miss into a large table. Instead,
  // each eviction cleans a stretch of the table in slot order, twice the
  // share of the nodes it evicted, so the stale entries stay a bounded part
  // of the index.
  std::vector<core::NodeStore::Entry> objects;  // handled after the walk: may run Python code
  const int64_t indexed_to = r->indexed_to;
  size_t stale = 0;
  int64_t last = -1;
  r->store.evict_oldest_each(count, [&](const core::NodeStore::Entry& e) {
    if (e.obj) dead.push_back((PyObject*) e.obj);
    bool indexed;
    if (e.row_origin()) {
      indexed = e.id < indexed_to;  // a row is indexed under its row provenance once caught up
    } else {
      uint32_t p;
      indexed = is_node((PyObject*) e.obj) && node_prov_u32((DAGNodeObject*) e.obj, p);
      if (!indexed) objects.push_back(e);
    }
    if (indexed) {
      ++stale;
      if (e.id > last) last = e.id;
    }
  });
  if (stale) {
    r->prov_stale += stale;
    if (last + 1 > r->stale_below) r->stale_below = last + 1;
    const size_t cap = r->prov.capacity();
    const size_t before = r->store.size() + count;
    size_t stretch = (size_t) ((double) cap * 2.0 * (double) count / (double) (before ? before : 1)) + 64;
    purge_some(r, stretch);
  }
  for (const auto& e : objects) unindex(r, (PyObject*) e.obj, e.id);
}

bool registry_ids_for(RegistryObject* r, PyObject* prov, std::vector<int64_t>& out) {
  out.clear();
  registry_sync_index(r);
  if (PyLong_CheckExact(prov)) {
    unsigned long long v = PyLong_AsUnsignedLongLong(prov);
    if (!(v == (unsigned long long) -1 && PyErr_Occurred()) && v <= 0xFFFFFFFFull) {
      if (!r->prov.find((uint32_t) v, out)) return false;
      if (r->prov_stale) std::erase_if(out, [&](int64_t id) { return !entry_live(r, id); });
      return !out.empty();
    }
    PyErr_Clear();
  }
  if (!PyDict_GET_SIZE(r->prov_wide)) return false;
  PyObject* lst = PyDict_GetItemWithError(r->prov_wide, prov);
  if (!lst) {
    if (PyErr_Occurred()) glue::raise_current();
    return false;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lst); ++i) out.push_back(PyLong_AsLongLong(PyList_GET_ITEM(lst, i)));
  if (PyErr_Occurred()) glue::raise_current();
  return true;
}

size_t registry_unique_provenances(RegistryObject* r) {
  registry_sync_index(r);
  registry_purge_index(r);
  return r->prov.size() + (size_t) PyDict_GET_SIZE(r->prov_wide);
}

// ------------------------------------------------------------ registry type

static PyObject* registry_tp_new(PyTypeObject* type, PyObject*, PyObject*) {
  auto* r = (RegistryObject*) type->tp_alloc(type, 0);
  if (!r) return nullptr;
  new (&r->store) core::NodeStore();
  new (&r->prov) core::ProvIndex();
  r->prov_wide = PyDict_New();
  r->next_id = 0;
  r->max_nodes = PyLong_FromLong(DEFAULT_MAX_NODES);
  r->max_nodes_raw = DEFAULT_MAX_NODES;
  r->lock_owner = 0;
  r->indexed_to = 0;
  r->prov_stale = 0;
  r->stale_below = 0;
  r->purge_cursor = 0;
  new (&r->ops) std::vector<PyObject*>();
  new (&r->kinds) std::vector<PyObject*>();
  r->op_index = PyDict_New();
  r->last_op = nullptr;
  r->last_op_idx = 0;
  r->evicted = 0;
  r->eviction_logged = false;
  if (!r->prov_wide || !r->max_nodes || !r->op_index) {
    Py_DECREF(r);
    return nullptr;
  }
  return (PyObject*) r;
}

nb::object registry_new() { return glue::steal(registry_tp_new(g_registry_type, nullptr, nullptr)); }

static int registry_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* r = (RegistryObject*) self;
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(r->prov_wide);
  Py_VISIT(r->max_nodes);
  Py_VISIT(r->op_index);
  for (PyObject* o : r->ops) Py_VISIT(o);
  for (PyObject* o : r->kinds) Py_VISIT(o);
  return r->store.for_each_object([&](void* o) -> int {
    Py_VISIT((PyObject*) o);
    return 0;
  });
}

static int registry_clear(PyObject* self) {
  auto* r = (RegistryObject*) self;
  std::vector<void*> objects;
  r->store.clear(objects);
  r->prov.clear();
  r->indexed_to = 0;
  r->prov_stale = 0;
  r->stale_below = 0;
  r->purge_cursor = 0;
  for (void* o : objects) Py_DECREF((PyObject*) o);
  std::vector<PyObject*> tables;
  tables.swap(r->ops);
  tables.insert(tables.end(), r->kinds.begin(), r->kinds.end());
  r->kinds.clear();
  r->last_op = nullptr;
  for (PyObject* o : tables) Py_DECREF(o);
  Py_CLEAR(r->op_index);
  Py_CLEAR(r->prov_wide);
  Py_CLEAR(r->max_nodes);
  return 0;
}

static void registry_dealloc(PyObject* self) {
  auto* r = (RegistryObject*) self;
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  registry_clear(self);
  r->store.~NodeStore();
  r->prov.~ProvIndex();
  using PtrVec = std::vector<PyObject*>;
  r->ops.~PtrVec();
  r->kinds.~PtrVec();
  tp->tp_free(self);
  Py_DECREF(tp);
}

static Py_ssize_t registry_len(PyObject* self) { return (Py_ssize_t) ((RegistryObject*) self)->store.size(); }

static PyObject* registry_subscript(PyObject* self, PyObject* key) {
  return glue::guarded([&]() -> PyObject* {
    PyObject* n = registry_get((RegistryObject*) self, key);
    if (!n) {
      if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
      return nullptr;
    }
    return Py_NewRef(n);
  });
}

static int registry_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
  try {
    auto* r = (RegistryObject*) self;
    int64_t id;
    if (!registry_key_to_id(key, id)) glue::raise(PyExc_TypeError, msg::REGISTRY_KEY_TYPE, Py_TYPE(key)->tp_name);
    if (!value) {
      core::NodeStore::Entry old;
      if (!r->store.erase(id, old)) {
        PyErr_SetObject(PyExc_KeyError, key);
        return -1;
      }
      Py_XDECREF((PyObject*) old.obj);
      return 0;
    }
    registry_put(r, id, value, node_is_source(value));
    return 0;
  } GLUE_CATCH_ALL {
    glue::restore_current_exception();
    return -1;
  }
}

static int registry_contains(PyObject* self, PyObject* key) {
  try {
    int64_t id;
    return registry_key_to_id(key, id) && ((RegistryObject*) self)->store.contains(id);
  } GLUE_CATCH_ALL {
    glue::restore_current_exception();
    return -1;
  }
}

// Walk in id order by cursor, so that a registry changed between two steps
// (another thread, a finaliser) never invalidates the walk.
enum IterKind { KEYS, VALUES, ITEMS };
struct RegIterObject {
  PyObject_HEAD
  PyObject* reg;
  int64_t next;
  int kind;
  bool done;
};

static PyObject* regiter_new(PyObject* reg, int kind) {
  auto* it = PyObject_GC_New(RegIterObject, g_regiter_type);
  if (!it) return nullptr;
  it->reg = Py_NewRef(reg);
  it->next = INT64_MIN;
  it->kind = kind;
  it->done = false;
  PyObject_GC_Track((PyObject*) it);
  return (PyObject*) it;
}

static PyObject* regiter_next(PyObject* self) {
  auto* it = (RegIterObject*) self;
  if (it->done) return nullptr;
  core::NodeStore::Entry e{};
  if (!((RegistryObject*) it->reg)->store.next_at_or_after(it->next, e)) {
    it->done = true;
    return nullptr;
  }
  if (e.id == INT64_MAX)
    it->done = true;
  else
    it->next = e.id + 1;
  if (it->kind == KEYS) return PyLong_FromLongLong(e.id);
  return glue::guarded([&]() -> PyObject* {
    PyObject* node = registry_object((RegistryObject*) it->reg, e);
    if (it->kind == VALUES) return Py_NewRef(node);
    return Py_BuildValue("(LO)", (long long) e.id, node);
  });
}

static int regiter_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(((RegIterObject*) self)->reg);
  return 0;
}
static void regiter_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_CLEAR(((RegIterObject*) self)->reg);
  PyObject_GC_Del(self);
  Py_DECREF(tp);
}

static PyObject* registry_iter(PyObject* self) { return regiter_new(self, KEYS); }

static nb::object collect(PyObject* self, int kind) {
  nb::object it = glue::steal(regiter_new(self, kind));
  return glue::steal(PySequence_List(it.ptr()));
}

static nb::object as_dict(PyObject* self) {
  nb::object d = glue::steal(PyDict_New());
  nb::object items = collect(self, ITEMS);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
    PyObject* kv = PyList_GET_ITEM(items.ptr(), i);
    glue::ok(PyDict_SetItem(d.ptr(), PyTuple_GET_ITEM(kv, 0), PyTuple_GET_ITEM(kv, 1)));
  }
  return d;
}

static nb::object m_get(const glue::Call& c) {
  static const glue::Signature sig{"NodeRegistry.get", {"key", "default"}, 1};
  PyObject* a[2];
  glue::parse(sig, c, a);
  PyObject* n = registry_get((RegistryObject*) c.self, a[0]);
  return nb::borrow(n ? n : (a[1] ? a[1] : Py_None));
}
static nb::object m_keys(const glue::Call& c) { return collect(c.self, KEYS); }
static nb::object m_values(const glue::Call& c) { return collect(c.self, VALUES); }
static nb::object m_items(const glue::Call& c) { return collect(c.self, ITEMS); }
static nb::object m_copy(const glue::Call& c) { return as_dict(c.self); }
static nb::object m_container_bytes(const glue::Call& c) {
  auto* r = (RegistryObject*) c.self;
  registry_sync_index(r);
  return nb::int_(r->store.container_bytes() + r->prov.container_bytes());
}

static PyObject* registry_repr(PyObject* self) {
  return glue::guarded([&]() -> PyObject* { return PyObject_Repr(as_dict(self).ptr()); });
}

static PyObject* registry_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || !(PyDict_Check(other) || Py_TYPE(other) == Py_TYPE(self)))
    Py_RETURN_NOTIMPLEMENTED;
  return glue::guarded([&]() -> PyObject* {
    nb::object a = as_dict(self);
    nb::object b = Py_TYPE(other) == Py_TYPE(self) ? as_dict(other) : nb::borrow(other);
    return PyObject_RichCompare(a.ptr(), b.ptr(), op);
  });
}

static PyMethodDef registry_methods[] = {
    GLUE_METHOD("get", m_get, msg::REGISTRY_GET_DOC),
    GLUE_METHOD("keys", m_keys, msg::REGISTRY_KEYS_DOC),
    GLUE_METHOD("values", m_values, msg::REGISTRY_VALUES_DOC),
    GLUE_METHOD("items", m_items, msg::REGISTRY_ITEMS_DOC),
    GLUE_METHOD("copy", m_copy, msg::REGISTRY_COPY_DOC),
    GLUE_METHOD("_container_bytes", m_container_bytes,
                "Bytes held by the registry's own containers (node objects excluded)."),
    {nullptr},
};

// ------------------------------------------------------------- registration

void register_registry(nb::module_& m) {
  {
    PyType_Slot slots[] = {
        {Py_tp_new, (void*) registry_tp_new},
        {Py_tp_dealloc, (void*) registry_dealloc},
        {Py_tp_traverse, (void*) registry_traverse},
        {Py_tp_clear, (void*) registry_clear},
        {Py_tp_iter, (void*) registry_iter},
        {Py_tp_repr, (void*) registry_repr},
        {Py_tp_richcompare, (void*) registry_richcompare},
        {Py_tp_hash, (void*) PyObject_HashNotImplemented},
        {Py_mp_length, (void*) registry_len},
        {Py_mp_subscript, (void*) registry_subscript},
        {Py_mp_ass_subscript, (void*) registry_ass_subscript},
        {Py_sq_contains, (void*) registry_contains},
        {Py_tp_methods, (void*) registry_methods},
        {Py_tp_doc, (void*) "Node registry of a DAGTracker: node id -> DAGNode, in id order."},
        {0, nullptr},
    };
    PyType_Spec spec{"corvanti.utilities.tessel32_dag.NodeRegistry", sizeof(RegistryObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MAPPING, slots};
    g_registry_type = (PyTypeObject*) glue::steal(PyType_FromModuleAndSpec(m.ptr(), &spec, nullptr)).release().ptr();
  }
  {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, (void*) regiter_dealloc},
        {Py_tp_traverse, (void*) regiter_traverse},
        {Py_tp_iter, (void*) PyObject_SelfIter},
        {Py_tp_iternext, (void*) regiter_next},
        {0, nullptr},
    };
    PyType_Spec spec{"corvanti.utilities.tessel32_dag.NodeRegistryIterator", sizeof(RegIterObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    g_regiter_type = (PyTypeObject*) glue::steal(PyType_FromModuleAndSpec(m.ptr(), &spec, nullptr)).release().ptr();
  }
  S.registry_type = g_registry_type;
  // It behaves as a mapping to isinstance checks.
  nb::object abc = nb::module_::import_("collections.abc");
  abc.attr("MutableMapping").attr("register")(nb::handle((PyObject*) g_registry_type));
  register_provview(m);
}

}  // namespace dag
