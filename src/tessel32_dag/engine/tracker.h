// DAGTracker internals shared by the files that implement its methods.
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

#include "glue/glue.h"
#include "tessel32_dag/engine/records.h"
#include "tessel32_dag/engine/registry.h"

namespace dag {
namespace nb = nanobind;
class RowHandover;

/// Holds a Python lock (threading.Lock) for a scope. Acquiring may release
/// the GIL while it waits, as `with lock:` does. With an `owner` slot, the
/// holding thread is recorded there, and the same thread asking again raises
/// RuntimeError `reentered` instead of waiting for itself forever.
class LockGuard {
 public:
  explicit LockGuard(nb::handle lock, unsigned long* owner = nullptr, const char* reentered = nullptr);
  ~LockGuard();
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  nb::object lock_;
  unsigned long* owner_;
};

/// Take the tracker's _dag_lock for node creation.
class DagLock : public LockGuard {
 public:
  explicit DagLock(const struct TrackerView& t);
};

/// References released only after every lock is let go: evicted nodes can
/// hold objects whose finalisers run Python code.
struct DeferredDecref {
  std::vector<PyObject*> refs;
  ~DeferredDecref() {
    if (refs.empty() || !glue::has_thread_state()) return;  // a thread being ended: leave them
    for (PyObject* o : refs) Py_DECREF(o);
  }
};

/// What one operation needs of its tracker, looked up once per operation.
struct TrackerView {
  PyObject* self;
  nb::object reg_holder;
  RegistryObject* reg;
  nb::object lock;          ///< self._dag_lock
  bool native_create;       ///< _create_node not overridden
  // Asked only when needed (-1: not asked yet).
  int8_t taint_native = -1;  ///< is_tainted not overridden: use the native function
  int8_t evict_native = -1;  ///< _evict_oldest_nodes not overridden
};
/// `creating`: the view serves node creation (the lock and the override
/// answers are looked up); readers pass false.
TrackerView tracker_view(PyObject* self, bool creating = true);

/// Issue `n` consecutive node ids (the first is returned); OverflowError when
/// they would pass 2**63-1.
int64_t take_ids(RegistryObject* r, size_t n);

/// What a logging operation asks to create.
struct NodeSpec {
  PyObject* node_type;          ///< a NodeType member
  PyObject* operation;          ///< str
  PyObject* inputs = nullptr;   ///< list to store as is; nullptr -> lazy from n_lazy/in
  int n_lazy = 0;
  int64_t in[2] = {0, 0};
  PyObject* provenance;         ///< int
  PyObject* metadata = nullptr; ///< dict, or nullptr for a new empty one
  PyObject* table = nullptr;
  PyObject* column = nullptr;
  PyObject* pair_id = nullptr;
  PyObject* is_protected = nullptr;
};

/// Create a node the way _create_node does (through the Python method when a
/// subclass overrides it); returns the id.
nb::object create_node(TrackerView& t, const NodeSpec& spec);

/// Steps after the record exists, with the lock held: taint protection,
/// registry and index, hand-over to the writer, eviction.
/// writer_hint: -1 = look `_writer` up, 0 = known to be falsy.
void register_node_locked(TrackerView& t, PyObject* node, int64_t id, DeferredDecref& dead, int writer_hint = -1);

/// The same for a node stored as a row (no Python object is made unless the
/// hand-over needs one); `writer` is null when there is no writer.
void register_row_locked(TrackerView& t, int64_t id, core::NodeRow row, DeferredDecref& dead,
                         RowHandover* writer);

/// One eviction pass with the lock held (_evict_oldest_nodes, or the native
/// pass when it is not overridden); evicted references go to `dead`.
void evict_locked(TrackerView& t, DeferredDecref& dead);
/// One WARNING per tracker at its first eviction; called once the lock is let go.
void log_first_eviction(TrackerView& t);

/// is_tainted is the base tracker's own (asked once per view).
bool taint_native(TrackerView& t);
/// Is the (32-bit) provenance tainted, per the tracker's is_tainted.
bool tracker_is_tainted(TrackerView& t, PyObject* prov_obj, uint32_t prov, bool is_u32);

/// Borrowed self.__dict__[name] (or attribute) as an owned object.
nb::object self_attr(PyObject* self, PyObject* name);
using glue::truthy;

// Method bodies implemented in the concern files.
nb::object tracker_record_row_value(const glue::Call& c);     // oplog.cpp
nb::object tracker_create_source_node(const glue::Call& c);   // oplog.cpp
nb::object tracker_log_unary(const glue::Call& c);            // oplog.cpp
nb::object tracker_log_binary(const glue::Call& c);           // oplog.cpp
nb::object tracker_log_merge(const glue::Call& c);            // oplog.cpp
nb::object tracker_log_aggregate(const glue::Call& c);        // oplog.cpp
nb::object tracker_enable_persistence(const glue::Call& c);      // persist/lifecycle.cpp
nb::object tracker_disable_persistence(const glue::Call& c);     // persist/lifecycle.cpp
nb::object tracker_flush(const glue::Call& c);                   // persist/lifecycle.cpp
nb::object tracker_get_persistence_stats(const glue::Call& c);   // persist/lifecycle.cpp
nb::object tracker_start_new_pipeline(const glue::Call& c);      // persist/lifecycle.cpp
nb::object tracker_exit(const glue::Call& c);                    // persist/lifecycle.cpp
nb::object tracker_del(const glue::Call& c);                     // persist/lifecycle.cpp
nb::object tracker_persist_node(const glue::Call& c);            // persist/handover.cpp
nb::object tracker_persist_dag_to_storage(const glue::Call& c);  // persist/bulk_write.cpp
nb::object tracker_persist_to_storage(const glue::Call& c);      // persist/bulk_write.cpp
nb::object tracker_persist_results(const glue::Call& c);         // persist/results.cpp (static)
nb::object tracker_sync_to_dashboard(const glue::Call& c);       // persist/dashboard.cpp
nb::object tracker_get_dag(const glue::Call& c);                 // reconstruct.cpp
nb::object tracker_get_dag_for_provenance(const glue::Call& c);  // reconstruct.cpp
nb::object tracker_openlineage_events(const glue::Call& c);      // openlineage.cpp
nb::object dag_to_openlineage(const glue::Call& c);              // openlineage.cpp (ComputationDAG)

void register_tracker(nb::module_& m, nb::handle base);
void register_computation_dag(nb::module_& m);  // reconstruct.cpp + export_*.cpp
void register_bulk(nb::module_& m);             // bulk.cpp
void register_persist(nb::module_& m);          // persist/results.cpp

}  // namespace dag

namespace dag {
/// Nodes created per hold of _dag_lock by bulk creation.
inline constexpr size_t BULK_LOCK_CHUNK = 2048;

/// Bulk form of node creation for per-element loops: one node per element,
/// the lock taken once per chunk of elements rather than once per node.
/// `in_a`/`in_b` hold 0, 1 or 2 input ids per element (n_inputs), `prov` the
/// results' provenances; ids of the new nodes go to `out_ids`.
void create_nodes_bulk(TrackerView& t, PyObject* node_type, PyObject* operation, int n_inputs, const int64_t* in_a,
                       const int64_t* in_b, const uint32_t* prov, size_t n, int64_t* out_ids);
}  // namespace dag
