// Node creation: the lock, id issue, taint protection, registration of rows
// and objects, the writer hand-over, eviction, and bulk creation.
#include <algorithm>
#include <optional>

#include "tessel32/bits.h"
#include "tessel32_dag/engine/tracker.h"
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

void evict_locked(TrackerView& t, DeferredDecref& dead) {
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
void log_first_eviction(TrackerView& t) {
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
  // The class's own method (the type is exactly the plain lock type, which
  // takes no attributes), called without looking it up each time.
  PyObject* args[1] = {t.lock.ptr()};
  nb::object held = glue::steal(PyObject_Vectorcall(S.plain_lock_locked, args, 1, nullptr));
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

// ------------------------------------------------------------ bulk creation

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
