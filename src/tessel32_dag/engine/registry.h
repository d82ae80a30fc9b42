// The node registry behind DAGTracker._nodes (a mutable mapping of node id to
// DAGNode, iterated in id order) and the read-only provenance index view
// behind DAGTracker._prov_to_nodes (provenance -> new list of node ids).
//
// Both live in one native object so that registering a node is a few C++
// operations with no Python call in between: a reader running in another
// thread (they take no lock) never sees a node in one index and not the other.
#pragma once

#include <nanobind/nanobind.h>

#include <unordered_map>
#include <vector>

#include "tessel32_dag/core/node_store.h"
#include "tessel32_dag/core/prov_index.h"

namespace dag {
namespace nb = nanobind;

struct RegistryObject {
  PyObject_HEAD
  core::NodeStore store;   ///< id -> node row, or strong reference to the node object
  core::ProvIndex prov;    ///< 32-bit provenances (rows from `indexed_to` on are added when first needed)
  int64_t indexed_to;      ///< rows of the ring with smaller ids are in `prov`
  // Eviction leaves the index entries of evicted nodes in place (one pass
  // over the table later drops them all, instead of a random slot each now);
  // readers skip them. Every such entry has an id below `stale_below`.
  size_t prov_stale;       ///< entries of evicted nodes still in `prov`
  int64_t stale_below;
  size_t purge_cursor;     ///< the slot where the next partial clean-up starts
  PyObject* prov_wide;     ///< dict for other provenance objects -> list of ids
  int64_t next_id;         ///< DAGTracker._next_node_id
  PyObject* max_nodes;     ///< DAGTracker._max_nodes (any int-convertible object)
  int64_t max_nodes_raw;
  int64_t evicted;         ///< nodes evicted so far (the first eviction is logged once)
  bool eviction_logged;
  unsigned long lock_owner; ///< thread holding _dag_lock through node creation (0: none)
  // What rows refer to by index (strong references, kept for the registry's life).
  std::vector<PyObject*> ops;    ///< operations (exact str), by row op index
  std::vector<PyObject*> kinds;  ///< node types, by row kind index
  PyObject* op_index;            ///< dict: operation str -> its index in `ops`
  PyObject* last_op;             ///< the operation interned last (identity cache)
  uint16_t last_op_idx;
};

/// The registry bound of a new tracker (DAGTracker._max_nodes).
inline constexpr long DEFAULT_MAX_NODES = 500000;

void register_registry(nb::module_& m);
/// The provenance index view type (prov_view.cpp); called by register_registry.
void register_provview(nb::module_& m);

/// A new, empty registry (new reference).
nb::object registry_new();
/// The view of a registry's provenance index (new reference).
nb::object provview_new(PyObject* registry);

bool is_registry(PyObject* o);

/// An id object as int64 the way a dict keyed by ints finds it: ints, objects
/// with __index__ (numpy integers) and integral floats; false for anything else.
bool registry_key_to_id(PyObject* key, int64_t& out);
/// The row indexes of a node type and an operation (interned once, kept).
/// False when the node cannot be a row: the operation is not an exact str,
/// the node type is SOURCE, or a table is full.
bool registry_intern(RegistryObject* r, PyObject* node_type, PyObject* operation, uint8_t& kind, uint16_t& op);
/// Bring the provenance index up to date with the rows appended since it was
/// last read. Rows are indexed lazily: node creation only appends to the
/// columns, and the index catches up (in one prefetched batch) when it is
/// read, before an object node is stored, and never for rows evicted first.
void registry_sync_index(RegistryObject* r);
/// Drop the index entries of evicted nodes now (before anything counts or
/// lists the keys, or an id below `stale_below` is indexed again).
void registry_purge_index(RegistryObject* r);
/// Store a node as a row; false (nothing stored) when the id
/// cannot take a row (the caller stores an object instead).
bool registry_add_row(RegistryObject* r, int64_t id, const core::NodeRow& row);
/// Store `n` rows with consecutive ids from `first` (see NodeStore::append_rows);
/// false (nothing stored) when they cannot be rows.
template <class Protect>
bool registry_add_rows(RegistryObject* r, int64_t first, size_t n, const core::NodeRow& tmpl, const uint32_t* prov,
                       const int64_t* in0, const int64_t* in1, Protect&& is_protected) {
  if (first != r->store.end_id()) registry_sync_index(r);
  return r->store.append_rows(first, n, tmpl, prov, in0, in1, is_protected);
}
/// A DAGNode made from a row (new reference), not stored anywhere.
PyObject* registry_make_node(RegistryObject* r, int64_t id, const core::NodeRow& row);
/// The object of a stored entry, made from its row and kept on first access (borrowed).
PyObject* registry_object(RegistryObject* r, const core::NodeStore::Entry& e);
/// Look a node up by an id object (int-like); borrowed or nullptr. A node
/// stored as a row gets its DAGNode made here, once; it is kept from then on.
PyObject* registry_get(RegistryObject* r, PyObject* key);
PyObject* registry_get_id(RegistryObject* r, int64_t id);
/// Store a node (takes a new strong reference); pinned = never evicted.
void registry_put(RegistryObject* r, int64_t id, PyObject* node, bool pinned);
/// Append an id to the provenance index under the node's provenance.
void registry_index(RegistryObject* r, PyObject* node, int64_t id);
/// One eviction pass; the removed nodes' references go to `dead` (the caller
/// releases them once no lock is held).
void registry_evict(RegistryObject* r, std::vector<PyObject*>& dead);
/// Ids of the nodes created with `prov` (false when the provenance is not indexed).
bool registry_ids_for(RegistryObject* r, PyObject* prov, std::vector<int64_t>& out);
size_t registry_unique_provenances(RegistryObject* r);

}  // namespace dag
