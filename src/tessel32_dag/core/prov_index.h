// The provenance index in pure C++: 32-bit provenance value -> ids of the
// nodes created with it, in creation order.
//
// Open addressing with linear probing and backward-shift deletion over
// 8-byte slots (key, payload): a key with one id below 2**31 (the common
// case) stores it inline; lists and larger ids live in a side table. Small
// slots keep the table cache-friendly at millions of keys.
//
// Appends are staged in a short queue and inserted in batches, with the
// slots of later entries prefetched while earlier ones are inserted: a
// random slot of a large table is a cache miss, and a batch overlaps those
// misses instead of paying them one after another. Every reading or
// removing operation drains the queue first, so the staging is invisible.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tessel32_dag/core/column_alloc.h"

namespace dag::core {

class ProvIndex {
 public:
  /// Append `id` to the list of `key` (creating it).
  void append(uint32_t key, int64_t id) {
    pending_.push_back(Pending{key, id});
    if (pending_.size() >= kBatch) drain();
  }
  /// Remove the first occurrence of `id` from `key`'s list; the key goes
  /// when its list becomes empty. Returns false if key or id was absent.
  bool remove(uint32_t key, int64_t id);
  /// Drop every id for which `keep(id)` is false among the keys in `count`
  /// slots from slot `from` (wrapping; keys whose lists become empty go
  /// too). Returns the number of ids dropped.
  template <class Keep>
  size_t purge_slots(size_t from, size_t count, Keep&& keep) {
    drain();
    const size_t cap = slots_.size();
    if (!cap) return 0;
    if (count > cap) count = cap;
    const size_t mask = cap - 1;
    size_t removed = 0;
    for (size_t k = 0; k < count;) {
      const size_t i = (from + k) & mask;
      Slot& s = slots_[i];
      if (s.val == EMPTY) {
        ++k;
      } else if (!(s.val & SPILL)) {
        if (keep((int64_t) s.val)) {
          ++k;
        } else {
          erase_slot(i);  // a later entry may have moved into slot i: look again
          ++removed;
        }
      } else {
        uint32_t idx = s.val & ~SPILL;
        IdList& l = spill_[idx];
        size_t w = 0;
        for (size_t j = l.head; j < l.ids.size(); ++j)
          if (keep(l.ids[j])) l.ids[w++] = l.ids[j];
        removed += l.size() - w;
        l.ids.resize(w);
        l.head = 0;
        if (w) {
          ++k;
        } else {
          free_spill(idx);
          erase_slot(i);
        }
      }
    }
    return removed;
  }
  /// Number of slots (a power of two, or 0).
  size_t capacity() const {
    drain();
    return slots_.size();
  }
  /// Copy the ids of `key` into `out` (cleared first); false when absent.
  bool find(uint32_t key, std::vector<int64_t>& out) const;
  bool contains(uint32_t key) const {
    drain();
    return find_slot(key) != npos;
  }
  /// Hint that `key` will be appended soon (hides the cache miss of a large table).
  void prefetch(uint32_t key) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[home(key)], 1);
  }
  /// Number of keys.
  size_t size() const {
    drain();
    return size_;
  }
  /// Make room for `n` more keys without rehashing on the way.
  void reserve(size_t n);
  /// Keys, in table order.
  void keys(std::vector<uint32_t>& out) const;
  void clear();
  size_t container_bytes() const;

 private:
  struct Slot {
    uint32_t key;
    uint32_t val;  ///< EMPTY, an inline id (< 2**31), or SPILL | index into spill_
  };
  static constexpr uint32_t EMPTY = 0xFFFFFFFFu;
  static constexpr uint32_t SPILL = 0x80000000u;
  static constexpr size_t npos = (size_t) -1;
  static constexpr size_t kBatch = 256;
  struct Pending {
    uint32_t key;
    int64_t id;
  };

  /// Insert the staged appends, in order.
  void drain() const {
    if (!pending_.empty()) const_cast<ProvIndex*>(this)->drain_now();
  }
  void drain_now();
  void insert_now(uint32_t key, int64_t id);

  size_t home(uint32_t key) const { return (size_t) ((key * 0x9E3779B97F4A7C15ull) >> shift_); }
  size_t find_slot(uint32_t key) const;
  void grow();
  void erase_slot(size_t i);
  /// A list of ids whose oldest entries leave from the front (eviction order)
  /// in O(1): `head` skips the removed prefix until it is reclaimed.
  struct IdList {
    std::vector<int64_t> ids;
    size_t head = 0;
    size_t size() const { return ids.size() - head; }
  };
  uint32_t new_spill(std::vector<int64_t>&& ids);
  void free_spill(uint32_t idx);

  Column<Slot> slots_;
  size_t size_ = 0;
  unsigned shift_ = 63;
  std::vector<IdList> spill_;
  std::vector<uint32_t> spill_free_;
  std::vector<Pending> pending_;
};

}  // namespace dag::core
