// DAGTracker: the class over the TESSEL-32 base tracker, its construction,
// _create_node / _evict_oldest_nodes, lookups, statistics, context manager.
// Node creation itself is in node_creation.cpp.
#include "tessel32_dag/engine/tracker.h"

#include "tessel32_dag/messages.h"
#include "tessel32_dag/persist/persist.h"
#include "tessel32_dag/state.h"

namespace dag {

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
