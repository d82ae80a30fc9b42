// The node registry's storage, in pure C++ (no Python): node id -> opaque node
// pointer, kept in id order.
//
// Ids are issued in increasing order, so ordinary nodes live in a ring indexed
// by (id - base): O(1) insert, lookup and removal of the oldest. Nodes that
// eviction must keep (source nodes) and ids inserted out of order live in a
// small ordered map beside it. Eviction of the oldest n evictable nodes walks
// only what it removes plus the pinned nodes older than them, never the whole
// registry. Owners of the pointers (references) are the caller's business:
// every removal hands the pointers back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace dag::core {

class NodeStore {
 public:
  struct Entry {
    int64_t id;
    void* node;
  };

  /// Insert a node under `id`; returns the previous pointer for that id (or
  /// nullptr). `pinned` nodes are never evicted.
  void* insert(int64_t id, void* node, bool pinned);

  /// The node stored under `id`, or nullptr.
  void* get(int64_t id) const;

  /// Remove `id`; returns its pointer (nullptr when absent).
  void* erase(int64_t id);

  /// Make room for `n` more ordinary nodes.
  void reserve(size_t n) { ring_.reserve(ring_.size() + n); }

  /// Number of stored nodes.
  size_t size() const { return ring_live_ + side_.size(); }

  /// Remove up to `count` of the oldest evictable nodes, in id order,
  /// appending them to `out`. Returns how many were removed.
  size_t evict_oldest(size_t count, std::vector<Entry>& out);

  /// Smallest stored id >= `from`, or false when none. Lets readers walk the
  /// registry in id order without holding iterators across calls that may
  /// change it.
  bool next_at_or_after(int64_t from, Entry& out) const;

  /// Remove everything, handing the pointers back in id order.
  void clear(std::vector<Entry>& out);

  /// Bytes held by the containers themselves (not the nodes).
  size_t container_bytes() const;

 private:
  struct Side {
    void* node;
    bool pinned;
  };
  /// Holes the ring may hold for a gap in the ids regardless of its size.
  static constexpr size_t MAX_FREE_GAP = 1024;
  /// The dead prefix of the ring is reclaimed once it is this long and half the ring.
  static constexpr size_t MIN_COMPACT_PREFIX = 4096;

  int64_t ring_end_id() const { return base_ + (int64_t) (ring_.size() - head_); }
  void compact();
  /// Move every ring entry to the side map; the ring restarts at `restart_id`.
  void spill_ring(int64_t restart_id);

  std::vector<void*> ring_;  ///< slot head_ holds id base_; nullptr = hole
  size_t head_ = 0;          ///< first used slot of ring_
  int64_t base_ = 0;         ///< id of slot head_
  size_t ring_live_ = 0;     ///< non-null slots
  std::map<int64_t, Side> side_;  ///< pinned nodes and out-of-order ids
  size_t side_unpinned_ = 0;      ///< evictable entries in side_
};

}  // namespace dag::core
