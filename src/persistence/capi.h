// Native interface of corvanti.utilities.persistence._native, published as the
// capsule "corvanti.utilities.persistence._native._C_API". The lineage engine
// uses it to hand nodes, edges and row values to our own AsyncWriter without
// creating a Python object per record. Versioned and append-only: a consumer
// checks `version` and `size` and falls back to the Python calls when the
// table is older than what it needs.
#pragma once

#include <Python.h>
#include <cstddef>
#include <cstdint>

#include "persistence/rows.h"

namespace corvanti_persist {

inline constexpr const char* kCapsuleName = "corvanti.utilities.persistence._native._C_API";
inline constexpr int kCapiVersion = 3;  ///< 2: stores_results_natively, store_results; 3: write_nodes

/// One graph node as the writer stores it. Strings are borrowed from the
/// producer for the duration of the call only: the writer copies what it keeps.
struct NodeRecord {
  std::uint32_t fingerprint;     ///< the node's provenance value
  std::uint32_t entity_hash;     ///< decode_full(provenance).entity
  std::uint32_t chain_hash;      ///< decode_full(provenance).chain
  std::int64_t pair_id;          ///< valid when has_pair_id
  std::int64_t pipeline_id;      ///< the tracker's _pipeline_id (exact int)
  std::uint8_t node_type;        ///< NodeType value, 1 (SOURCE) .. 8 (CUSTOM)
  bool has_pair_id;
  bool is_protected;
  const char* operation;         ///< UTF-8, operation_len bytes, not NUL-terminated
  Py_ssize_t operation_len;
  const char* table_name;        ///< UTF-8 or nullptr for None
  Py_ssize_t table_name_len;
  const char* column_name;       ///< UTF-8 or nullptr for None
  Py_ssize_t column_name_len;
  PyObject* metadata;            ///< borrowed dict, or nullptr for an empty/absent one;
                                 ///< the writer serialises it before returning
};

/// One incoming edge of a node, by fingerprint; position is the index of the
/// input in the consuming node's inputs.
struct EdgeRecord {
  std::uint32_t parent_fingerprint;
  std::uint32_t child_fingerprint;
  std::int32_t input_position;
};

struct CAPI {
  int version;                   ///< kCapiVersion of the module that made the table
  std::size_t size;              ///< sizeof(CAPI) of that module
  PyTypeObject* writer_type;     ///< AsyncWriter: the fast path is for exactly this type
  PyTypeObject* stored_node_type;   ///< StoredNode
  PyTypeObject* stored_edge_type;   ///< StoredEdge
  PyTypeObject* stored_row_value_type;  ///< StoredRowValue

  /// Enqueue one node and its edges as one unit (write_node + write_edges).
  /// Called with the GIL held, while the caller holds its own node lock.
  /// When the queue is full it waits for room with the GIL released. The only
  /// Python it runs is the JSON encoding of a non-empty `metadata` dict (str()
  /// of values JSON cannot hold); on a writer whose storage is not native it
  /// also builds the StoredNode/StoredEdge objects the storage will receive.
  /// Later write_edges calls take this node's pipeline id. Returns 0; or -1
  /// with a Python exception set (a writer not running, an unserialisable
  /// metadata dict, node_type outside 1..8): then nothing was enqueued.
  int (*write_node)(PyObject* writer, const NodeRecord* node, const EdgeRecord* edges,
                    Py_ssize_t n_edges);

  /// True when `writer` is an AsyncWriter whose storage the writer thread can
  /// write without Python (our SQLite store, or HostedStorage over one), so
  /// records pushed through write_node never need the GIL again.
  int (*is_native)(PyObject* writer);

  // ---- version 2 ----

  /// 1 when `storage.store_results` is our own SQLiteStorage's (exact types,
  /// the method not shadowed on the instance; HostedStorage over SQLite
  /// alike), so store_results below can write the rows without a Python
  /// object per row; 0 otherwise; -1 with a Python exception set.
  int (*stores_results_natively)(PyObject* storage);

  /// What `storage.store_results(pipeline_id, rows)` does, for the rows of
  /// `block` (see persist::ResultBlock), on such a storage: the same rows, the
  /// same ids, the same errors (StorageError). Called with the GIL held; the
  /// GIL is released while SQLite writes. Returns 0 when stored; 1 when the
  /// storage is not (or no longer) such a storage: nothing was done and no
  /// exception is set, the caller makes the Python call; -1 with an exception
  /// set.
  int (*store_results)(PyObject* storage, PyObject* pipeline_id, const persist::ResultBlock* block);

  // ---- version 3 ----

  /// write_node for each of `n_nodes` nodes in order, as one unit: node i's
  /// edges are the next `n_edges[i]` records of `edges` (all nodes' edges one
  /// after another). Same records, same order, same errors as the calls one
  /// by one; one queue round instead of one per node. On -1 nothing was
  /// enqueued.
  int (*write_nodes)(PyObject* writer, const NodeRecord* nodes, Py_ssize_t n_nodes, const EdgeRecord* edges,
                     const Py_ssize_t* n_edges);
};

/// Fetches the table, or returns nullptr with no exception set when the
/// module is missing or its table is too old for `min_version`.
inline const CAPI* import_capi(int min_version = kCapiVersion) {
  void* p = PyCapsule_Import(kCapsuleName, 0);
  if (!p) {
    PyErr_Clear();
    return nullptr;
  }
  auto* t = static_cast<const CAPI*>(p);
  if (t->version < min_version || t->size < sizeof(CAPI)) return nullptr;
  return t;
}

}  // namespace corvanti_persist
