// DAGTracker: construction, node creation and eviction, lookups, statistics,
// context manager. The class is created over the TESSEL-32 base tracker.
#include "tessel32_dag/engine/tracker.h"

#include <algorithm>
#include <optional>

#include "tessel32/bits.h"
#include "tessel32_dag/messages.h"
#include "tessel32_dag/persist/persist.h"
#include "tessel32_dag/state.h"

namespace dag {

// ------------------------------------------------------------------ helpers

LockGuard::LockGuard(nb::handle lock, unsigned long* owner, const char* reentered)
    : lock_(nb::borrow(lock)), owner_(nullptr) {
  unsigned long me = PyThread_get_thread_ident();
  if (owner && *owner == me) glue::raise(PyExc_RuntimeError, "%s", reentered);
  glue::steal(PyObject_CallMethodNoArgs(lock_.ptr(), S.s_acquire));
  if (owner) {
    *owner = me;
    owner_ = owner;
  }
}

LockGuard::~LockGuard() {
  if (!glue::has_thread_state()) return;  // a thread being ended: touch nothing
  if (owner_) *owner_ = 0;
  // Release even while an exception is propagating; keep that exception.
  PyObject* exc = PyErr_GetRaisedException();
  PyObject* r = PyObject_CallMethodNoArgs(lock_.ptr(), S.s_release);
  if (!r) {
    PyErr_WriteUnraisable(lock_.ptr());
  } else {
    Py_DECREF(r);
  }
  if (exc) PyErr_SetRaisedException(exc);
}

int64_t take_ids(RegistryObject* r, size_t n) {
  if (r->next_id < 0 || (uint64_t) (INT64_MAX - r->next_id) < n)
    glue::raise(PyExc_OverflowError, msg::IDS_EXHAUSTED, (long long) r->next_id, n);
  int64_t first = r->next_id;
  r->next_id += (int64_t) n;
  return first;
}

DagLock::DagLock(const TrackerView& t) : LockGuard(t.lock, &t.reg->lock_owner, msg::LOCK_REENTERED) {}

nb::object self_attr(PyObject* self, PyObject* name) { return glue::instance_attr(self, name); }


TrackerView tracker_view(PyObject* self, bool creating) {
  const bool need_lock = creating;
  TrackerView t{};
  t.self = self;
  t.reg_holder = self_attr(self, S.s_nodes);
  if (!is_registry(t.reg_holder.ptr())) glue::raise(PyExc_TypeError, msg::NOT_A_REGISTRY, Py_TYPE(t.reg_holder.ptr())->tp_name);
  t.reg = (RegistryObject*) t.reg_holder.ptr();
  if (need_lock) t.lock = self_attr(self, S.s_dag_lock);
  if (!need_lock) return t;  // a reader: no node is created, no override matters
  t.native_create = glue::not_overridden(self, S.s_create_node, S.d_create_node);
  return t;
}

bool taint_native(TrackerView& t) {
  if (t.taint_native < 0) t.taint_native = glue::not_overridden(t.self, S.s_is_tainted, S.t32->is_tainted_attr);
  return t.taint_native;
}

bool tracker_is_tainted(TrackerView& t, PyObject* prov_obj, uint32_t prov, bool is_u32) {
  if (t.taint_native < 0) t.taint_native = glue::not_overridden(t.self, S.s_is_tainted, S.t32->is_tainted_attr);
  if (is_u32 && t.taint_native) return S.t32->is_tainted(prov);
  nb::object p = prov_obj ? nb::borrow(prov_obj) : glue::steal(PyLong_FromUnsignedLong(prov));
  nb::object r = glue::steal(PyObject_CallMethodOneArg(t.self, S.s_is_tainted, p.ptr()));
  return truthy(r);
}

static void evict_locked(TrackerView& t, DeferredDecref& dead) {
  size_t before = t.reg->store.size();
  if (t.evict_native < 0) t.evict_native = glue::not_overridden(t.self, S.s_evict, S.d_evict);
  if (t.evict_native) {
    registry_evict(t.reg, dead.refs);
  } else {
    glue::steal(PyObject_CallMethodNoArgs(t.self, S.s_evict));
  }
  size_t after = t.reg->store.size();
  if (after < before) t.reg->evicted += (int64_t) (before - after);
}

/// One WARNING per tracker, at its first eviction; called once the lock is
/// let go (the logger's handlers are Python code).
static void log_first_eviction(TrackerView& t) {
  if (t.reg->eviction_logged || t.reg->evicted == 0) return;
  t.reg->eviction_logged = true;
  S.log.warning(msg::FIRST_EVICTION, (long long) t.reg->evicted, (long long) t.reg->max_nodes_raw);
}

void register_node_locked(TrackerView& t, PyObject* node, int64_t id, DeferredDecref& dead, int writer_hint) {
  // Protection by taint: asked only for an unprotected node with a non-zero
  // provenance. Python code may run here (an overriding is_tainted), so it
  // happens before the node becomes visible in either index.
  if (is_node(node)) {
    auto* n = (DAGNodeObject*) node;
    if (!node_protected_truthy(n)) {
      uint32_t p;
      if (node_prov_u32(n, p)) {
        if (p && tracker_is_tainted(t, nullptr, p, true)) node_set_protected(n, true);
      } else {
        nb::object prov = node_provenance(n);
        if (truthy(prov) && tracker_is_tainted(t, prov.ptr(), 0, false)) node_set_protected(n, true);
      }
    }
  } else {
    nb::object prot = glue::steal(PyObject_GetAttr(node, S.s_is_protected));
    if (!truthy(prot)) {
      nb::object prov = glue::steal(PyObject_GetAttr(node, S.s_provenance));
      if (truthy(prov) && tracker_is_tainted(t, prov.ptr(), 0, false))
        glue::ok(PyObject_SetAttr(node, S.s_is_protected, Py_True));
    }
  }

  // Registry and provenance index: plain C++ with no Python call between them.
  registry_put(t.reg, id, node, node_is_source(node));
  registry_index(t.reg, node, id);

  // Hand-over to the background writer, still under the lock.
  bool has_writer = writer_hint >= 0 ? writer_hint : truthy(self_attr(t.self, S.s_writer));
  if (has_writer) persist_node_locked(t, node);

  if ((int64_t) t.reg->store.size() > t.reg->max_nodes_raw) evict_locked(t, dead);
}

void register_row_locked(TrackerView& t, int64_t id, core::NodeRow row, DeferredDecref& dead, RowHandover* writer) {
  // Protection by taint, before the node becomes visible (an overriding
  // is_tainted is Python code).
  if (!row.is_protected() && row.prov && tracker_is_tainted(t, nullptr, row.prov, true))
    row.flags |= core::NodeRow::F_PROTECTED;
  if (!registry_add_row(t.reg, id, row)) {
    // An id behind the ring (_next_node_id moved back): an object slot.
    nb::object node = glue::steal(registry_make_node(t.reg, id, row));
    registry_put(t.reg, id, node.ptr(), false);
    registry_index(t.reg, node.ptr(), id);
  }
  if (writer) writer->hand_over(id, row);
  if ((int64_t) t.reg->store.size() > t.reg->max_nodes_raw) evict_locked(t, dead);
}

/// Whether one row can be registered without taking _dag_lock: the lock is
/// a plain threading.Lock that no thread holds; there is no writer (the
/// hand-over may run Python code or wait with the GIL released); the taint
/// test is the native one; the node does not set off eviction (an
/// overriding _evict_oldest_nodes is Python code); its id lands at the end
/// of the store (no object is made). Under those conditions the
/// registration is a few C++ operations under the GIL with no Python call
/// and no allocation of a collected object, so no other thread can observe
/// or enter the critical section while it runs; taking the lock would only
/// cost its two method calls. Never with the GIL disabled.
static bool can_skip_lock(TrackerView& t) {
#ifdef Py_GIL_DISABLED
  (void) t;
  return false;
#else
  if (Py_TYPE(t.lock.ptr()) != S.plain_lock_type) return false;
  RegistryObject* r = t.reg;
  if ((int64_t) r->store.size() + 1 > r->max_nodes_raw) return false;
  if (r->next_id < r->store.end_id() || r->store.contains(r->next_id)) return false;
  if (!self_attr(t.self, S.s_writer).is_none() || !taint_native(t)) return false;
  nb::object held = glue::steal(PyObject_CallMethodNoArgs(t.lock.ptr(), S.s_locked));
  return held.ptr() == Py_False;
#endif
}

/// The row form of a node spec, when it has one: lazy inputs, no metadata,
/// no source fields, a 32-bit provenance int, an exact str operation.
static bool spec_row(TrackerView& t, const NodeSpec& s, core::NodeRow& row) {
  if (s.inputs || s.metadata || s.is_protected) return false;
  if ((s.table && s.table != Py_None) || (s.column && s.column != Py_None) || (s.pair_id && s.pair_id != Py_None))
    return false;
  if (!PyLong_CheckExact(s.provenance)) return false;
  int overflow = 0;
  long long p = PyLong_AsLongLongAndOverflow(s.provenance, &overflow);
  if (overflow || p < 0 || p > 0xFFFFFFFFll) {
    PyErr_Clear();
    return false;
  }
  if (!registry_intern(t.reg, s.node_type, s.operation, row.kind, row.op)) return false;
  row.prov = (uint32_t) p;
  row.flags = (uint8_t) s.n_lazy;
  row.in0 = s.n_lazy > 0 ? s.in[0] : 0;
  row.in1 = s.n_lazy > 1 ? s.in[1] : 0;
  return true;
}

static nb::object spec_inputs(const NodeSpec& s) {
  if (s.inputs) return nb::borrow(s.inputs);
  nb::object lst = glue::steal(PyList_New(s.n_lazy));
  for (int i = 0; i < s.n_lazy; ++i)
    PyList_SET_ITEM(lst.ptr(), i, glue::steal(PyLong_FromLongLong(s.in[i])).release().ptr());
  return lst;
}

nb::object create_node(TrackerView& t, const NodeSpec& s) {
  if (!t.native_create) {
    // A subclass replaced _create_node: every node goes through it.
    nb::object kw = glue::steal(PyDict_New());
    auto put = [&](const char* k, PyObject* v) { glue::ok(PyDict_SetItemString(kw.ptr(), k, v)); };
    put("node_type", s.node_type);
    put("operation", s.operation);
    put("inputs", spec_inputs(s).ptr());
    put("provenance", s.provenance);
    nb::object meta = s.metadata ? nb::borrow(s.metadata) : glue::steal(PyDict_New());
    put("metadata", meta.ptr());
    if (s.table) put("table", s.table);
    if (s.column) put("column", s.column);
    if (s.pair_id) put("pair_id", s.pair_id);
    if (s.is_protected) put("is_protected", s.is_protected);
    nb::object meth = glue::steal(PyObject_GetAttr(t.self, S.s_create_node));
    nb::object empty = glue::steal(PyTuple_New(0));
    nb::object r = glue::steal(PyObject_Call(meth.ptr(), empty.ptr(), kw.ptr()));
    return glue::check_result_int(r);
  }
  DeferredDecref dead;
  int64_t id;
  core::NodeRow row;
  if (spec_row(t, s, row)) {
    if (can_skip_lock(t)) {
      // Nothing below runs Python code or lets the GIL go, and no thread
      // holds _dag_lock: the node is registered before any other thread can
      // run again, exactly as if the lock had been taken and let go.
      id = take_ids(t.reg, 1);
      register_row_locked(t, id, row, dead, nullptr);
      return glue::steal(PyLong_FromLongLong(id));
    }
    {
      DagLock guard(t);
      id = take_ids(t.reg, 1);
      std::optional<RowHandover> writer;
      if (truthy(self_attr(t.self, S.s_writer))) writer.emplace(t);
      register_row_locked(t, id, row, dead, writer ? &*writer : nullptr);
      if (writer) writer->finish();
    }
    log_first_eviction(t);
    return glue::steal(PyLong_FromLongLong(id));
  }
  {
    DagLock guard(t);
    id = take_ids(t.reg, 1);
    nb::object node = glue::steal((PyObject*) node_new(id, s.node_type, s.operation, s.inputs, s.n_lazy, s.in[0],
                                                       s.in[1], 0, s.metadata));
    auto* n = (DAGNodeObject*) node.ptr();
    node_set_field(n, F_PROVENANCE, s.provenance);
    node_set_ext(n, s.table, s.column, s.pair_id);
    if (s.is_protected) node_set_field(n, F_IS_PROTECTED, s.is_protected);
    register_node_locked(t, node.ptr(), id, dead);
  }
  log_first_eviction(t);
  return glue::steal(PyLong_FromLongLong(id));
}

// ------------------------------------------------------------------ methods

/// The lineage mode: "positional" (the default) or "rows".
static nb::object lineage_arg(PyObject* v) {
  if (!v) return nb::str("positional");
  if (PyUnicode_Check(v) && (PyUnicode_CompareWithASCIIString(v, "positional") == 0 ||
                             PyUnicode_CompareWithASCIIString(v, "rows") == 0))
    return nb::borrow(v);
  glue::raise(PyExc_ValueError, msg::BAD_LINEAGE, v);
}

static nb::object m_init(const glue::Call& c) {
  static const glue::Signature sig{
      "DAGTracker.__init__", {"api_key", "tenant_id", "service_url", "pipeline_name", "lineage"}, 0, 4};
  PyObject* a[5];
  glue::parse(sig, c, a);
  nb::object lineage = lineage_arg(a[4]);
  PyObject* api_key = a[0] ? a[0] : Py_None;
  PyObject* tenant_id = a[1] ? a[1] : Py_None;
  nb::object empty_url = glue::steal(PyUnicode_FromString(""));
  PyObject* service_url = a[2] ? a[2] : empty_url.ptr();
  PyObject* pipeline_name = a[3] ? a[3] : Py_None;
  glue::check_str(api_key, "api_key", true);
  glue::check_str(tenant_id, "tenant_id", true);
  glue::check_str(service_url, "service_url", false);
  glue::check_str(pipeline_name, "pipeline_name", true);

  // super().__init__()
  nb::object sup = glue::steal(PyObject_CallFunctionObjArgs((PyObject*) &PySuper_Type, S.tracker_type, c.self, nullptr));
  glue::steal(PyObject_CallMethod(sup.ptr(), "__init__", nullptr));

  PyObject* self = c.self;
  auto set = [&](const char* name, nb::handle v) { glue::ok(PyObject_SetAttrString(self, name, v.ptr())); };
  nb::object reg = registry_new();
  set("_dag_lock", glue::steal(PyObject_CallNoArgs(S.threading_lock)));
  set("_nodes", reg);
  set("_next_node_id", nb::int_(0));
  set("_value_buffer", glue::steal(PyList_New(0)));
  set("_value_buffer_lock", glue::steal(PyObject_CallNoArgs(S.threading_lock)));
  set("_value_flush_threshold", nb::int_(5000));
  set("_nodes_persisted", nb::bool_(false));
  set("_max_nodes", nb::int_(DEFAULT_MAX_NODES));
  set("_prov_to_nodes", provview_new(reg.ptr()));
  set("_source_nodes", glue::steal(PyDict_New()));
  set("_writer", nb::none());
  set("_storage", nb::none());
  set("_pipeline_id", nb::none());
  set("_pipeline_name", nb::handle(pipeline_name));
  set("_api_key", nb::handle(api_key));
  set("_tenant_id", nb::handle(tenant_id));
  set("_service_url", nb::handle(service_url));
  set("_dashboard_synced", nb::bool_(false));
  set("_lineage", lineage);

  if (truthy(api_key)) glue::steal(PyObject_CallMethodNoArgs(self, S.s_enable_persistence));
  return nb::none();
}

static nb::object m_create_node(const glue::Call& c) {
  static const glue::Signature sig{"DAGTracker._create_node", {"node_type", "operation", "inputs", "provenance"}, 4, -1,
                                   true};
  PyObject* a[4];
  nb::object kwargs = glue::parse(sig, c, a);
  glue::check_str(a[1], "operation");
  glue::check_list(a[2], "inputs");
  nb::object prov = glue::to_int(a[3], "provenance");

  TrackerView t = tracker_view(c.self);
  DeferredDecref dead;
  int64_t id;
  {
    DagLock guard(t);
    id = take_ids(t.reg, 1);  // consumed even if a later step fails
    if (kwargs.is_valid()) {
      static const char* explicit_names[] = {"node_id", "node_type", "operation", "inputs", "provenance"};
      for (const char* k : explicit_names) {
        int has = PyDict_Contains(kwargs.ptr(), nb::str(k).ptr());
        if (has < 0) glue::raise_current();
        if (has) glue::raise(PyExc_TypeError, msg::DUPLICATE_NODE_KEYWORD, k);
      }
    }
    nb::object node;
    if (!kwargs.is_valid()) {
      node = glue::steal((PyObject*) node_new(id, a[0], a[1], a[2], 0, 0, 0, 0, nullptr));
      node_set_field((DAGNodeObject*) node.ptr(), F_PROVENANCE, prov.ptr());
    } else {
      nb::object kw = glue::steal(PyDict_Copy(kwargs.ptr()));
      nb::object idobj = glue::steal(PyLong_FromLongLong(id));
      glue::ok(PyDict_SetItemString(kw.ptr(), "node_id", idobj.ptr()));
      glue::ok(PyDict_SetItemString(kw.ptr(), "node_type", a[0]));
      glue::ok(PyDict_SetItemString(kw.ptr(), "operation", a[1]));
      glue::ok(PyDict_SetItemString(kw.ptr(), "inputs", a[2]));
      glue::ok(PyDict_SetItemString(kw.ptr(), "provenance", prov.ptr()));
      nb::object empty = glue::steal(PyTuple_New(0));
      node = glue::steal(PyObject_Call((PyObject*) S.node_type, empty.ptr(), kw.ptr()));
    }
    register_node_locked(t, node.ptr(), id, dead);
  }
  log_first_eviction(t);
  return glue::steal(PyLong_FromLongLong(id));
}

static nb::object m_evict(const glue::Call& c) {
  static const glue::Signature sig{"DAGTracker._evict_oldest_nodes", {}, 0};
  glue::parse(sig, c, nullptr);
  TrackerView t = tracker_view(c.self, false);
  {
    DeferredDecref dead;
    size_t before = t.reg->store.size();
    registry_evict(t.reg, dead.refs);
    t.reg->evicted += (int64_t) (before - t.reg->store.size());
  }
  log_first_eviction(t);
  return nb::none();
}

static nb::object m_enter(const glue::Call& c) {
  static const glue::Signature sig{"DAGTracker.__enter__", {}, 0};
  glue::parse(sig, c, nullptr);
  return nb::borrow(c.self);
}

static nb::object m_get_node(const glue::Call& c) {
  static const glue::Signature sig{"DAGTracker.get_node", {"node_id"}, 1};
  PyObject* a[1];
  glue::parse(sig, c, a);
  nb::object id = glue::to_int(a[0], "node_id");
  TrackerView t = tracker_view(c.self, false);
  PyObject* n = registry_get(t.reg, id.ptr());
  return nb::borrow(n ? n : Py_None);
}

static nb::object m_get_nodes_for_provenance(const glue::Call& c) {
  static const glue::Signature sig{"DAGTracker.get_nodes_for_provenance", {"provenance"}, 1};
  PyObject* a[1];
  glue::parse(sig, c, a);
  nb::object prov = glue::to_int(a[0], "provenance");
  TrackerView t = tracker_view(c.self, false);
  std::vector<int64_t> ids;
  nb::object out = glue::steal(PyList_New(0));
  if (!registry_ids_for(t.reg, prov.ptr(), ids)) return out;
  for (int64_t id : ids) {
    PyObject* n = registry_get_id(t.reg, id);
    if (!n) glue::raise(PyExc_KeyError, msg::NODE_ID_KEY, (long long) id);
    glue::ok(PyList_Append(out.ptr(), n));
  }
  return out;
}

static nb::object m_dag_stats(const glue::Call& c) {
  static const glue::Signature sig{"DAGTracker.dag_stats", {}, 0};
  glue::parse(sig, c, nullptr);
  TrackerView t = tracker_view(c.self, false);
  size_t total = 0, sources = 0, prot = 0;
  nb::object op_counts = glue::steal(PyDict_New());
  // Walk by id cursor: each step re-finds its place, so the walk stays valid
  // if the registry changes while Python code runs in between.
  core::NodeStore::Entry e{};
  int64_t from = INT64_MIN;
  while (t.reg->store.next_at_or_after(from, e)) {
    from = e.id + 1;
    ++total;
    if (!e.obj) {
      // A row: never a source node.
      if (e.row.is_protected()) ++prot;
      PyObject* op = t.reg->ops[e.row.op];
      PyObject* cur = PyDict_GetItemWithError(op_counts.ptr(), op);
      if (!cur && PyErr_Occurred()) glue::raise_current();
      long long v = cur ? PyLong_AsLongLong(cur) + 1 : 1;
      glue::ok(PyDict_SetItem(op_counts.ptr(), op, glue::steal(PyLong_FromLongLong(v)).ptr()));
      if (e.id == INT64_MAX) break;
      continue;
    }
    nb::object node = nb::borrow((PyObject*) e.obj);
    bool src = node_is_source(node.ptr());
    if (src) ++sources;
    bool p = is_node(node.ptr()) ? node_protected_truthy((DAGNodeObject*) node.ptr())
                                 : truthy(glue::steal(PyObject_GetAttr(node.ptr(), S.s_is_protected)));
    if (p) ++prot;
    if (!src) {
      nb::object op = is_node(node.ptr()) ? nb::borrow(((DAGNodeObject*) node.ptr())->operation)
                                          : glue::steal(PyObject_GetAttr(node.ptr(), S.s_operation));
      PyObject* cur = PyDict_GetItemWithError(op_counts.ptr(), op.ptr());
      if (!cur && PyErr_Occurred()) glue::raise_current();
      long long v = cur ? PyLong_AsLongLong(cur) + 1 : 1;
      glue::ok(PyDict_SetItem(op_counts.ptr(), op.ptr(), glue::steal(PyLong_FromLongLong(v)).ptr()));
    }
    if (e.id == INT64_MAX) break;
  }
  nb::object d = glue::steal(PyDict_New());
  auto put = [&](const char* k, nb::handle v) { glue::ok(PyDict_SetItemString(d.ptr(), k, v.ptr())); };
  put("total_nodes", nb::int_(total));
  put("source_nodes", nb::int_(sources));
  put("protected_sources", nb::int_(prot));
  put("operation_nodes", nb::int_(total - sources));
  put("operation_counts", op_counts);
  put("unique_provenances", nb::int_(registry_unique_provenances(t.reg)));
  return d;
}

// _next_node_id and _max_nodes live in the registry, where node creation
// reads them without a dict lookup; to Python they are plain attributes.
static RegistryObject* reg_of(PyObject* self) {
  nb::object r = self_attr(self, S.s_nodes);
  if (!is_registry(r.ptr())) glue::raise(PyExc_TypeError, msg::NOT_A_REGISTRY, Py_TYPE(r.ptr())->tp_name);
  return (RegistryObject*) r.ptr();  // kept alive by self.__dict__
}

static PyObject* get_next_id(PyObject* self, void*) {
  return glue::guarded([&]() -> PyObject* { return PyLong_FromLongLong(reg_of(self)->next_id); });
}
static int set_next_id(PyObject* self, PyObject* v, void*) {
  if (!v) {
    PyErr_Format(PyExc_AttributeError, msg::CANNOT_DELETE_ATTR, "_next_node_id");
    return -1;
  }
  return glue::guarded_status([&] {
    nb::object id = glue::to_int(v, "_next_node_id");
    int overflow = 0;
    long long raw = PyLong_AsLongLongAndOverflow(id.ptr(), &overflow);
    if (raw == -1 && PyErr_Occurred()) glue::raise_current();
    if (overflow || raw < 0) glue::raise(PyExc_ValueError, msg::NEXT_ID_RANGE, id.ptr());
    reg_of(self)->next_id = raw;
  });
}
static PyObject* get_max_nodes(PyObject* self, void*) {
  return glue::guarded([&]() -> PyObject* { return Py_NewRef(reg_of(self)->max_nodes); });
}
static int set_max_nodes(PyObject* self, PyObject* v, void*) {
  if (!v) {
    PyErr_Format(PyExc_AttributeError, msg::CANNOT_DELETE_ATTR, "_max_nodes");
    return -1;
  }
  try {
    RegistryObject* r = reg_of(self);
    int64_t raw = glue::to_int64(v, "_max_nodes");
    Py_INCREF(v);
    Py_SETREF(r->max_nodes, v);
    r->max_nodes_raw = raw;
    return 0;
  } GLUE_CATCH_ALL {
    glue::restore_current_exception();
    return -1;
  }
}

static PyMethodDef tracker_methods[] = {
    GLUE_METHOD("__init__", m_init, msg::INIT_DOC),
    GLUE_METHOD("enable_persistence", tracker_enable_persistence, msg::ENABLE_PERSISTENCE_DOC),
    GLUE_METHOD("record_row_value", tracker_record_row_value, msg::RECORD_ROW_VALUE_DOC),
    GLUE_METHOD("disable_persistence", tracker_disable_persistence, msg::DISABLE_PERSISTENCE_DOC),
    GLUE_METHOD("flush", tracker_flush, msg::FLUSH_DOC),
    GLUE_METHOD("_sync_to_dashboard", tracker_sync_to_dashboard, msg::SYNC_DASHBOARD_DOC),
    GLUE_METHOD("_persist_dag_to_storage", tracker_persist_dag_to_storage, msg::PERSIST_DAG_DOC),
    GLUE_METHOD("get_persistence_stats", tracker_get_persistence_stats, msg::PERSISTENCE_STATS_DOC),
    GLUE_METHOD("persist_to_storage", tracker_persist_to_storage, msg::PERSIST_TO_STORAGE_DOC),
    GLUE_METHOD("_create_node", m_create_node, msg::CREATE_NODE_DOC),
    GLUE_METHOD("_evict_oldest_nodes", m_evict, msg::EVICT_DOC),
    GLUE_METHOD("__enter__", m_enter, msg::ENTER_DOC),
    GLUE_METHOD("__exit__", tracker_exit, msg::EXIT_DOC),
    GLUE_METHOD("__del__", tracker_del, msg::DEL_DOC),
    GLUE_METHOD("_persist_node", tracker_persist_node, msg::PERSIST_NODE_DOC),
    GLUE_METHOD("_start_new_pipeline", tracker_start_new_pipeline, msg::START_NEW_PIPELINE_DOC),
    GLUE_METHOD("create_source_node", tracker_create_source_node, msg::CREATE_SOURCE_DOC),
    GLUE_METHOD("log_unary", tracker_log_unary, msg::LOG_UNARY_DOC),
    GLUE_METHOD("log_binary", tracker_log_binary, msg::LOG_BINARY_DOC),
    GLUE_METHOD("log_merge", tracker_log_merge, msg::LOG_MERGE_DOC),
    GLUE_METHOD("log_aggregate", tracker_log_aggregate, msg::LOG_AGGREGATE_DOC),
    GLUE_METHOD("get_node", m_get_node, msg::GET_NODE_DOC),
    GLUE_METHOD("get_nodes_for_provenance", m_get_nodes_for_provenance, msg::GET_NODES_FOR_PROV_DOC),
    GLUE_METHOD("get_dag", tracker_get_dag, msg::GET_DAG_DOC),
    GLUE_METHOD("get_dag_for_provenance", tracker_get_dag_for_provenance, msg::GET_DAG_FOR_PROV_DOC),
    GLUE_METHOD("dag_stats", m_dag_stats, msg::DAG_STATS_DOC),
    GLUE_METHOD("openlineage_events", tracker_openlineage_events, msg::OPENLINEAGE_EVENTS_DOC),
    {nullptr},
};

static PyMethodDef tracker_static[] = {
    GLUE_METHOD("persist_results", tracker_persist_results, msg::PERSIST_RESULTS_DOC),
    {nullptr},
};

static PyGetSetDef tracker_getset[] = {
    {"_next_node_id", get_next_id, set_next_id, msg::NEXT_NODE_ID_DOC, nullptr},
    {"_max_nodes", get_max_nodes, set_max_nodes, msg::MAX_NODES_DOC, nullptr},
    {nullptr},
};

void register_tracker(nb::module_& m, nb::handle base) {
  nb::object bases = nb::make_tuple(base);
  glue::ClassBuilder cb(m, "DAGTracker", bases, msg::TRACKER_DOC);
  nb::object cls = cb.create();
  cb.methods(tracker_methods);
  cb.staticmethods(tracker_static);
  cb.properties(tracker_getset);
  // Borrowed from the class dict: the class lives for the process's life.
  PyObject* dict = ((PyTypeObject*) cls.ptr())->tp_dict;
  S.d_create_node = PyDict_GetItemWithError(dict, S.s_create_node);
  S.d_evict = PyDict_GetItemWithError(dict, S.s_evict);
  S.d_log_binary = PyDict_GetItemWithError(dict, S.s_log_binary);
  S.d_log_unary = PyDict_GetItemWithError(dict, S.s_log_unary);
  S.d_record_row_value = PyDict_GetItemWithError(dict, S.s_record_row_value);
  GLUE_INVARIANT(S.d_create_node && S.d_evict && S.d_log_binary && S.d_log_unary && S.d_record_row_value,
                 "DAGTracker lacks a node-creation method");
  S.tracker_type = cls.ptr();
  m.attr("DAGTracker") = cls;
  cls.release();  // the module state keeps this reference for the process's life
}

}  // namespace dag

namespace dag {

void create_nodes_bulk(TrackerView& t, PyObject* node_type, PyObject* operation, int n_inputs, const int64_t* in_a,
                       const int64_t* in_b, const uint32_t* prov, size_t n, int64_t* out_ids) {
  if (!t.native_create) {
    // A subclass's _create_node sees every node, one Python call each.
    for (size_t i = 0; i < n; ++i) {
      NodeSpec s;
      s.node_type = node_type;
      s.operation = operation;
      s.n_lazy = n_inputs;
      s.in[0] = n_inputs > 0 ? in_a[i] : 0;
      s.in[1] = n_inputs > 1 ? in_b[i] : 0;
      nb::object p = glue::steal(PyLong_FromUnsignedLong(prov[i]));
      s.provenance = p.ptr();
      out_ids[i] = glue::to_int64(create_node(t, s).ptr(), "node_id");
    }
    return;
  }
  // Short lock holds keep readers and other writers moving; long enough that
  // the two Python calls of acquire/release vanish in the per-node cost.
  constexpr size_t CHUNK = BULK_LOCK_CHUNK;
  // Size the columns once for the whole operation (bounded by the registry
  // limit). The provenance index catches up only when it is read.
  size_t expected = std::min<size_t>(n, (size_t) std::max<int64_t>(t.reg->max_nodes_raw, 0));
  t.reg->store.reserve(expected);
  core::NodeRow row;
  bool as_rows = registry_intern(t.reg, node_type, operation, row.kind, row.op);
  row.flags = (uint8_t) n_inputs;
  for (size_t start = 0; start < n; start += CHUNK) {
    size_t stop = start + CHUNK < n ? start + CHUNK : n;
    {
      DeferredDecref dead;
      DagLock guard(t);
      // Read once per chunk: only Python code run by an active writer's
      // hand-over could change it, and that path looks it up per node.
      bool has_writer = truthy(self_attr(t.self, S.s_writer));
      int writer_hint = has_writer ? -1 : 0;
      std::optional<RowHandover> writer;
      if (has_writer && as_rows) writer.emplace(t);
      int64_t first = take_ids(t.reg, stop - start);
      size_t from = start;
      if (as_rows && !has_writer && taint_native(t)) {
        // Whole runs of rows at once. A run ends where one node at a time
        // would have set off eviction, so eviction happens at the same
        // nodes and with the same sizes as node by node.
        size_t i = start;
        while (i < stop) {
          int64_t size = (int64_t) t.reg->store.size(), bound = t.reg->max_nodes_raw;
          size_t room = bound >= size ? (size_t) (bound - size) + 1 : 1;
          size_t k = std::min(room, stop - i);
          int64_t id0 = first + (int64_t) (i - start);
          if (!registry_add_rows(t.reg, id0, k, row, prov + i, n_inputs > 0 ? in_a + i : nullptr,
                                 n_inputs > 1 ? in_b + i : nullptr,
                                 [](uint32_t p) { return p && tessel32::is_tainted(p); }))
            break;  // ids the rows cannot take: node by node below
          for (size_t j = 0; j < k; ++j) out_ids[i + j] = id0 + (int64_t) j;
          i += k;
          if ((int64_t) t.reg->store.size() > t.reg->max_nodes_raw) evict_locked(t, dead);
        }
        first += (int64_t) (i - start);
        from = i;
      }
      for (size_t i = from; i < stop; ++i) {
        int64_t id = first++;
        out_ids[i] = id;
        if (as_rows) {
          row.prov = prov[i];
          row.flags = (uint8_t) n_inputs;
          row.in0 = n_inputs > 0 ? in_a[i] : 0;
          row.in1 = n_inputs > 1 ? in_b[i] : 0;
          register_row_locked(t, id, row, dead, writer ? &*writer : nullptr);
          continue;
        }
        nb::object node = glue::steal((PyObject*) node_new(id, node_type, operation, nullptr, n_inputs,
                                                           n_inputs > 0 ? in_a[i] : 0, n_inputs > 1 ? in_b[i] : 0,
                                                           prov[i], nullptr));
        register_node_locked(t, node.ptr(), id, dead, writer_hint);
      }
      if (writer) writer->finish();
    }
    log_first_eviction(t);
  }
}

}  // namespace dag
