// The hand-over of each new node and its incoming edges to the background
// writer, with _dag_lock held: _persist_node (the Python calls, for any writer
// and any records) and its native road through the persistence capsule.
#include <vector>

#include "persistence/capi.h"
#include "tessel32/bits.h"
#include "tessel32_dag/messages.h"
#include "tessel32_dag/persist/persist.h"
#include "tessel32_dag/state.h"

namespace dag {
using namespace persist;

// ------------------------------------------------------------------ Python road

namespace {

nb::object input_node(PyObject* /*self*/, nb::handle nodes, PyObject* input_id) {
  if (is_registry(nodes.ptr())) {
    PyObject* n = registry_get((RegistryObject*) nodes.ptr(), input_id);
    if (!n && PyErr_Occurred()) glue::raise_current();
    return nb::borrow(n ? n : Py_None);
  }
  return glue::steal(PyObject_CallMethodOneArg(nodes.ptr(), glue::steal(PyUnicode_FromString("get")).ptr(), input_id));
}

void log_write_failure(const char* fmt, PyObject* node) {
  nb::object exc = take_exception();
  nb::object node_id = glue::steal(PyObject_GetAttr(node, S.s_node_id));
  S.log.warning(fmt, node_id, exc);
}

}  // namespace

nb::object tracker_persist_node(const glue::Call& c) {
  static const glue::Signature sig{"DAGTracker._persist_node", {"node"}, 1};
  PyObject* a[1];
  glue::parse(sig, c, a);
  PyObject* self = c.self;
  PyObject* node = a[0];
  nb::object stored_node_type, stored_edge_type;
  try {
    stored_node_type = import_name(PKG, "StoredNode");
    stored_edge_type = import_name(PKG, "StoredEdge");
  } catch (const glue::error_set&) {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw;
    PyErr_Clear();
    S.log.error(msg::PERSISTENCE_MISSING);
    return nb::none();
  }
  nb::object prov = attr(node, "provenance");
  nb::object info = glue::steal(PyObject_CallMethod(self, "decode_full", "O", prov.ptr()));
  nb::object type_name = attr(attr(node, "node_type"), "name");
  nb::object operation = attr(node, "operation"), table = attr(node, "table"), column = attr(node, "column");
  nb::object pair_id = attr(node, "pair_id"), is_prot = attr(node, "is_protected");
  nb::object entity = attr(info, "entity"), chain = attr(info, "chain"), metadata = attr(node, "metadata");
  nb::object pid = self_attr(self, S.s_pipeline_id);
  static const KwNames kw{"fingerprint", "node_type",   "operation",  "table_name", "column_name", "pair_id",
                          "is_protected", "entity_hash", "chain_hash", "metadata",   "pipeline_id"};
  nb::object stored = call_kw(stored_node_type, {}, kw,
                              {prov.ptr(), type_name.ptr(), operation.ptr(), table.ptr(), column.ptr(), pair_id.ptr(),
                               is_prot.ptr(), entity.ptr(), chain.ptr(), metadata.ptr(), pid.ptr()});
  try {
    nb::object writer = self_attr(self, S.s_writer);
    call_method(writer, "write_node", {stored.ptr()});
  } catch (const glue::error_set&) {
    log_write_failure(msg::NODE_WRITE_FAILED, node);
    return nb::none();
  }

  static const KwNames edge_kw{"parent_fingerprint", "child_fingerprint", "input_position"};
  nb::object nodes = self_attr(self, S.s_nodes);
  nb::object inputs = attr(node, "inputs");
  nb::object edges = glue::steal(PyList_New(0));
  nb::object it = glue::steal(PyObject_GetIter(inputs.ptr()));
  for (Py_ssize_t i = 0;; ++i) {
    PyObject* raw = PyIter_Next(it.ptr());
    if (!raw) {
      if (PyErr_Occurred()) glue::raise_current();
      break;
    }
    nb::object input_id = nb::steal(raw);
    nb::object parent = input_node(self, nodes, input_id.ptr());
    if (!truthy(parent)) continue;  // evicted or unknown: its position stays a gap
    nb::object parent_prov = attr(parent, "provenance");
    nb::object pos = nb::int_(i);
    nb::object edge = call_kw(stored_edge_type, {}, edge_kw, {parent_prov.ptr(), prov.ptr(), pos.ptr()});
    glue::ok(PyList_Append(edges.ptr(), edge.ptr()));
  }
  if (PyList_GET_SIZE(edges.ptr())) {
    try {
      nb::object writer = self_attr(self, S.s_writer);
      call_method(writer, "write_edges", {edges.ptr()});
    } catch (const glue::error_set&) {
      log_write_failure(msg::EDGES_WRITE_FAILED, node);
    }
  }
  return nb::none();
}

// ------------------------------------------------------------------ native road

namespace {

PyObject* s_persist_node_name = nullptr;
PyObject* s_decode_full_name = nullptr;
PyObject* s_stored_node_name = nullptr;
PyObject* s_stored_edge_name = nullptr;
PyObject* s_pkg_name = nullptr;
PyObject* s_native_name = nullptr;
PyObject* d_persist_node = nullptr;  ///< DAGTracker.__dict__["_persist_node"]
PyObject* d_decode_full = nullptr;   ///< ProvenanceTracker.__dict__["decode_full"]
const corvanti_persist::CAPI* g_capi = nullptr;

void init_names() {
  if (s_persist_node_name) return;
  s_persist_node_name = PyUnicode_InternFromString("_persist_node");
  s_decode_full_name = PyUnicode_InternFromString("decode_full");
  s_stored_node_name = PyUnicode_InternFromString("StoredNode");
  s_stored_edge_name = PyUnicode_InternFromString("StoredEdge");
  s_pkg_name = PyUnicode_InternFromString(PKG);
  s_native_name = PyUnicode_InternFromString("corvanti.utilities.persistence._native");
  // Borrowed from the class dicts: both classes live for the process's life.
  d_persist_node = PyDict_GetItemWithError(((PyTypeObject*) S.tracker_type)->tp_dict, s_persist_node_name);
  d_decode_full = PyDict_GetItemWithError(((PyTypeObject*) S.t32->base_type)->tp_dict, s_decode_full_name);
  GLUE_INVARIANT(d_persist_node && d_decode_full, "tracker classes lack _persist_node / decode_full");
}

/// sys.modules[name] without importing anything (borrowed, or nullptr).
/// `name` is an interned str (looked up once per node).
PyObject* loaded_module(PyObject* name) {
  PyObject* m = PyDict_GetItemWithError(PyImport_GetModuleDict(), name);
  if (!m) PyErr_Clear();
  return m;
}


/// The capsule's table, once the native writer module is loaded. Looked up
/// in sys.modules only: an AsyncWriter instance implies its module is there,
/// and node creation must not start imports under its lock.
const corvanti_persist::CAPI* capi() {
  if (g_capi) return g_capi;
  PyObject* m = loaded_module(s_native_name);
  if (!m) return nullptr;
  PyObject* cap = nullptr;
  if (PyObject_GetOptionalAttrString(m, "_C_API", &cap) <= 0) {
    PyErr_Clear();
    return nullptr;
  }
  auto* t = (const corvanti_persist::CAPI*) PyCapsule_GetPointer(cap, corvanti_persist::kCapsuleName);
  Py_DECREF(cap);
  if (!t) {
    PyErr_Clear();
    return nullptr;
  }
  if (t->version < corvanti_persist::kCapiVersion || t->size < sizeof(corvanti_persist::CAPI)) return nullptr;
  g_capi = t;  // the table is static data of a module that is never unloaded
  return g_capi;
}

/// Is `module.<name>` exactly `type`?
bool module_has(PyObject* module, PyObject* name, PyTypeObject* type) {
  PyObject* v = nullptr;
  if (PyObject_GetOptionalAttr(module, name, &v) < 0) {
    PyErr_Clear();
    return false;
  }
  bool same = v == (PyObject*) type;
  Py_XDECREF(v);
  return same;
}

/// UTF-8 of an exact str, or of None (nullptr); false for anything else.
bool utf8_or_none(PyObject* v, const char*& out, Py_ssize_t& len) {
  if (!v || v == Py_None) {
    out = nullptr;
    len = 0;
    return true;
  }
  if (!PyUnicode_CheckExact(v)) return false;
  out = PyUnicode_AsUTF8AndSize(v, &len);
  if (!out) {
    PyErr_Clear();  // lone surrogates: the Python road reports what the writer makes of them
    return false;
  }
  return true;
}

bool exact_int64(PyObject* v, int64_t& out) {
  if (!PyLong_CheckExact(v)) return false;
  int overflow = 0;
  long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
  if (overflow || (x == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return false;
  }
  out = x;
  return true;
}


/// The provenance of a stored parent as 32 bits (a row, or one of our nodes).
bool parent_prov(RegistryObject* reg, int64_t id, bool& found, uint32_t& out) {
  core::NodeStore::Entry e;
  found = reg->store.get(id, e);
  if (!found) return true;  // evicted or unknown: a gap at this position
  if (!e.obj) {
    out = e.row.prov;
    return true;
  }
  return is_node((PyObject*) e.obj) && node_prov_u32((DAGNodeObject*) e.obj, out);
}

/// Build the records of one node; false when anything is not representable
/// natively (the Python road then handles the node).
bool fill_records(TrackerView& t, DAGNodeObject* n, int64_t pipeline_id, corvanti_persist::NodeRecord& rec,
                  std::vector<corvanti_persist::EdgeRecord>& edges) {
  uint32_t prov;
  if (!node_prov_u32(n, prov)) return false;
  int type_value = 0;
  for (int v = 1; v <= 8; ++v)
    if (n->node_type == S.nt[v]) type_value = v;
  if (!type_value) return false;
  rec.fingerprint = prov;
  rec.entity_hash = tessel32::entity_of(prov);
  rec.chain_hash = tessel32::chain_of(prov);
  rec.pipeline_id = pipeline_id;
  rec.node_type = (uint8_t) type_value;
  rec.is_protected = node_protected_truthy(n);
  if (!PyUnicode_CheckExact(n->operation)) return false;
  rec.operation = PyUnicode_AsUTF8AndSize(n->operation, &rec.operation_len);
  if (!rec.operation) {
    PyErr_Clear();
    return false;
  }
  NodeExt* ext = n->ext;
  if (ext && (ext->node_id || ext->provenance || ext->is_protected)) return false;
  if (!utf8_or_none(ext ? ext->table : nullptr, rec.table_name, rec.table_name_len)) return false;
  if (!utf8_or_none(ext ? ext->column : nullptr, rec.column_name, rec.column_name_len)) return false;
  rec.has_pair_id = ext && ext->pair_id && ext->pair_id != Py_None;
  rec.pair_id = 0;
  if (rec.has_pair_id && !exact_int64(ext->pair_id, rec.pair_id)) return false;
  rec.metadata = nullptr;
  if (n->metadata) {
    if (!PyDict_CheckExact(n->metadata)) return false;
    if (PyDict_GET_SIZE(n->metadata)) rec.metadata = n->metadata;
  }

  edges.clear();
  auto add = [&](int64_t parent_id, Py_ssize_t pos) {
    bool found;
    uint32_t pp = 0;
    if (!parent_prov(t.reg, parent_id, found, pp)) return false;
    if (found) edges.push_back({pp, prov, (int32_t) pos});  // else evicted or unknown: a gap here
    return true;
  };
  if (!n->inputs) {
    for (int i = 0; i < n->n_lazy; ++i)
      if (!add(n->in[i], i)) return false;
  } else {
    if (!PyList_CheckExact(n->inputs) || PyList_GET_SIZE(n->inputs) > INT32_MAX) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(n->inputs); ++i) {
      int64_t parent_id;
      if (!registry_key_to_id(PyList_GET_ITEM(n->inputs, i), parent_id)) continue;  // no such node: a gap
      if (!add(parent_id, i)) return false;
    }
  }
  return true;
}

/// The writer to hand native records to, when everything the native road
/// needs holds for this tracker (any node); empty otherwise.
nb::object native_writer(TrackerView& t, int64_t& pipeline_id) {
  init_names();
  const corvanti_persist::CAPI* api = capi();
  if (!api) return nb::object();
  nb::object writer = self_attr(t.self, S.s_writer);
  // Our writer over our own storage only: a foreign storage behind our
  // writer gets the records _persist_node makes, exactly.
  if (Py_TYPE(writer.ptr()) != api->writer_type || !api->is_native(writer.ptr())) return nb::object();
  PyObject* pkg = loaded_module(s_pkg_name);
  if (!pkg || !module_has(pkg, s_stored_node_name, api->stored_node_type) ||
      !module_has(pkg, s_stored_edge_name, api->stored_edge_type))
    return nb::object();
  if (!glue::not_overridden(t.self, s_persist_node_name, d_persist_node) ||
      !glue::not_overridden(t.self, s_decode_full_name, d_decode_full))
    return nb::object();
  nb::object pid = self_attr(t.self, S.s_pipeline_id);
  if (!exact_int64(pid.ptr(), pipeline_id)) return nb::object();
  return writer;
}

void write_native(nb::handle writer, const corvanti_persist::NodeRecord& rec,
                  const std::vector<corvanti_persist::EdgeRecord>& edges, int64_t node_id) {
  if (capi()->write_node(writer.ptr(), &rec, edges.data(), (Py_ssize_t) edges.size()) < 0) {
    nb::object exc = take_exception();
    nb::object id = glue::steal(PyLong_FromLongLong(node_id));
    S.log.warning(msg::NODE_WRITE_FAILED, id, exc);
  }
}

/// Everything the native road needs holds for this tracker and node.
bool try_native(TrackerView& t, PyObject* node) {
  if (!is_node(node)) return false;
  int64_t pipeline_id;
  nb::object writer = native_writer(t, pipeline_id);
  if (!writer.is_valid()) return false;
  auto* n = (DAGNodeObject*) node;
  corvanti_persist::NodeRecord rec{};
  thread_local std::vector<corvanti_persist::EdgeRecord> edges;
  if (!fill_records(t, n, pipeline_id, rec, edges)) return false;
  write_native(writer, rec, edges, n->node_id);
  return true;
}

/// The records of a node stored as a row, read from the store; false when
/// something is not representable natively.
bool fill_row_records(RegistryObject* reg, const core::NodeRow& row, int64_t pipeline_id,
                      corvanti_persist::NodeRecord& rec, std::vector<corvanti_persist::EdgeRecord>& edges) {
  PyObject* type = reg->kinds[row.kind];
  int type_value = 0;
  for (int v = 1; v <= 8; ++v)
    if (type == S.nt[v]) type_value = v;
  if (!type_value) return false;
  rec.fingerprint = row.prov;
  rec.entity_hash = tessel32::entity_of(row.prov);
  rec.chain_hash = tessel32::chain_of(row.prov);
  rec.pipeline_id = pipeline_id;
  rec.node_type = (uint8_t) type_value;
  rec.is_protected = row.is_protected();
  rec.operation = PyUnicode_AsUTF8AndSize(reg->ops[row.op], &rec.operation_len);
  if (!rec.operation) {
    PyErr_Clear();
    return false;
  }
  rec.table_name = rec.column_name = nullptr;
  rec.table_name_len = rec.column_name_len = 0;
  rec.has_pair_id = false;
  rec.pair_id = 0;
  rec.metadata = nullptr;
  edges.clear();
  for (int i = 0; i < row.n_inputs(); ++i) {
    bool found;
    uint32_t pp = 0;
    if (!parent_prov(reg, row.input(i), found, pp)) return false;
    if (found) edges.push_back({pp, row.prov, (int32_t) i});
  }
  return true;
}

}  // namespace

void persist_node_locked(TrackerView& t, PyObject* node) {
  if (try_native(t, node)) return;
  glue::steal(PyObject_CallMethodOneArg(t.self, S.s_persist_node, node));
}

RowHandover::RowHandover(TrackerView& t) : t_(t) { writer_ = native_writer(t, pipeline_id_); }

RowHandover::~RowHandover() {
  if (ids_.empty() || !glue::has_thread_state()) return;
  // Left by an exception: hand over what was collected, keeping that exception.
  PyObject* exc = PyErr_GetRaisedException();
  try {
    finish();
  } catch (const glue::error_set&) {
    PyErr_WriteUnraisable(writer_.ptr());
  } catch (...) {
  }
  if (exc) PyErr_SetRaisedException(exc);
}

void RowHandover::finish() {
  if (ids_.empty()) return;
  int rc = capi()->write_nodes(writer_.ptr(), nodes_.data(), (Py_ssize_t) nodes_.size(), edges_.data(),
                               counts_.data());
  std::vector<int64_t> ids;
  ids.swap(ids_);
  nodes_.clear();
  edges_.clear();
  counts_.clear();
  if (rc < 0) {
    // As one call per node would: each node's failure is logged.
    nb::object exc = take_exception();
    for (int64_t id : ids) {
      nb::object node_id = glue::steal(PyLong_FromLongLong(id));
      S.log.warning(msg::NODE_WRITE_FAILED, node_id, exc);
    }
  }
}

void RowHandover::hand_over(int64_t id, const core::NodeRow& row) {
  if (writer_.is_valid()) {
    corvanti_persist::NodeRecord rec{};
    thread_local std::vector<corvanti_persist::EdgeRecord> edges;
    if (fill_row_records(t_.reg, row, pipeline_id_, rec, edges)) {
      ids_.push_back(id);
      nodes_.push_back(rec);
      edges_.insert(edges_.end(), edges.begin(), edges.end());
      counts_.push_back((Py_ssize_t) edges.size());
      if (ids_.size() >= BATCH) finish();
      return;
    }
  }
  finish();  // what was collected goes first
  // The Python road: the node's object, made now and kept like any view.
  PyObject* node = registry_get_id(t_.reg, id);
  if (!node) return;  // removed meanwhile by Python code
  nb::object keep = nb::borrow(node);
  glue::steal(PyObject_CallMethodOneArg(t_.self, S.s_persist_node, node));
}

}  // namespace dag
