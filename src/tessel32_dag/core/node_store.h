// The node registry's storage, in pure C++ (no Python): every node of a
// tracker, kept in id order as a compact row, or as an opaque object pointer
// for the few nodes that need one.
//
// A row is what an ordinary node is made of: its provenance, an interned
// operation index, a node-kind index, the protected flag and up to two input
// ids. Rows live in columns (a 64-bit head column holding provenance,
// operation, kind and flags, and one column per input id), so a node costs
// 24 bytes and no allocation of its own. A node that cannot be a row (source
// nodes, nodes with an inputs list or metadata given by the caller, foreign
// objects stored by Python code) and a row that has been given its object
// (the view made on first access from Python) are object slots: the pointer
// takes the place of the first input id in the columns (the head word keeps
// the provenance the node was indexed under), and from then on the object is
// the node's only truth.
//
// Ids are issued in increasing order, so ordinary nodes live in a ring indexed
// by (id - base): O(1) append, lookup and removal of the oldest. Nodes that
// eviction must keep (source nodes) and ids inserted out of order live in a
// small ordered map beside it. Eviction of the oldest n evictable nodes walks
// only what it removes plus the pinned nodes older than them, never the whole
// registry. Owners of the object pointers (references) are the caller's
// business: every removal hands the pointers back.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "tessel32_dag/core/column_alloc.h"

namespace dag::core {

/// One node in row form.
struct NodeRow {
  uint32_t prov = 0;
  uint16_t op = 0;     ///< index into the owner's operation table
  uint8_t kind = 0;    ///< index into the owner's node-kind table
  uint8_t flags = 0;   ///< see the F_* bits
  int64_t in0 = 0;
  int64_t in1 = 0;

  static constexpr uint8_t F_NIN = 0x03;        ///< number of inline input ids (0..2)
  static constexpr uint8_t F_PROTECTED = 0x04;
  static constexpr uint8_t F_OBJECT = 0x08;     ///< the node is the object in the object map
  static constexpr uint8_t F_LIVE = 0x10;       ///< the slot holds a node
  static constexpr uint8_t F_ROW = 0x20;        ///< the node began as a row (its columns are its first state)

  int n_inputs() const { return flags & F_NIN; }
  bool is_protected() const { return flags & F_PROTECTED; }
  int64_t input(int i) const { return i == 0 ? in0 : in1; }
};

class NodeStore {
 public:
  /// One stored node: `obj` is set for object slots. `row` holds the node's
  /// row when it began as one (row.flags has F_ROW), also once it has its
  /// object; for other object slots it is empty.
  struct Entry {
    int64_t id;
    void* obj;
    NodeRow row;
    bool row_origin() const { return row.flags & NodeRow::F_ROW; }
  };

  /// Append a row under `id`, which must be past every id in the ring.
  /// Returns false (nothing stored) when it cannot be placed as a row: the id
  /// is behind the ring or already present; the caller stores an object.
  bool append_row(int64_t id, const NodeRow& row);

  /// Append `n` rows with the consecutive ids first, first+1, ... (first must
  /// be end_id() or past it): provenances and input ids from the arrays
  /// (`in0`/`in1` may be null), everything else from `tmpl`; the protected
  /// flag is set where `is_protected(prov)` holds. False (nothing stored)
  /// when the ids cannot take rows.
  template <class Protect>
  bool append_rows(int64_t first, size_t n, const NodeRow& tmpl, const uint32_t* prov, const int64_t* in0,
                   const int64_t* in1, Protect&& is_protected) {
    if (n == 0) return true;
    if (first < ring_end_id()) return false;
    if (!side_.empty() && side_.rbegin()->first >= first && side_.lower_bound(first) != side_.end() &&
        side_.lower_bound(first)->first < first + (int64_t) n)
      return false;
    ring_accepts(first);
    NodeRow r = tmpl;
    r.prov = 0;
    r.flags = (uint8_t) ((r.flags | NodeRow::F_LIVE | NodeRow::F_ROW) & ~(NodeRow::F_OBJECT | NodeRow::F_PROTECTED));
    const uint64_t base = pack(r);
    const size_t s0 = ring_size();
    if (head_col_.capacity() < s0 + n) reserve(n);
    head_col_.resize(s0 + n);
    in0_col_.resize(s0 + n);
    in1_col_.resize(s0 + n);
    uint64_t* h = head_col_.data() + s0;
    for (size_t i = 0; i < n; ++i)
      h[i] = base | (uint64_t) prov[i] << 32 | (is_protected(prov[i]) ? NodeRow::F_PROTECTED : 0);
    // The new rows are uninitialised: every column is written here.
    if (in0) std::copy(in0, in0 + n, in0_col_.data() + s0);
    else std::fill_n(in0_col_.data() + s0, n, 0);
    if (in1) std::copy(in1, in1 + n, in1_col_.data() + s0);
    else std::fill_n(in1_col_.data() + s0, n, 0);
    ring_live_ += n;
    return true;
  }

  /// Store an object under `id`; returns the previous object for that id (or
  /// nullptr; a previous row is simply dropped). `pinned` nodes are never evicted.
  void* insert(int64_t id, void* obj, bool pinned);

  /// The node stored under `id`: false when absent.
  bool get(int64_t id, Entry& out) const;
  bool contains(int64_t id) const {
    Entry e;
    return get(id, e);
  }

  /// Make `id`, a row, an object slot holding `obj` (the view made from it).
  void attach(int64_t id, void* obj);

  /// Remove `id`; false when absent, else the removed entry is in `out`.
  bool erase(int64_t id, Entry& out);

  /// Make room for `n` more ordinary nodes.
  void reserve(size_t n);

  /// Number of stored nodes.
  size_t size() const { return ring_live_ + side_.size(); }

  /// Remove up to `count` of the oldest evictable nodes, in id order,
  /// handing each removed node to `f` as it goes (f must not touch the
  /// store). Returns how many were removed.
  template <class F>
  size_t evict_oldest_each(size_t count, F&& f) {
    size_t evicted = 0;
    auto side_it = side_.begin();
    while (evicted < count) {
      // Next evictable side entry (pinned ones are skipped without counting).
      while (side_unpinned_ && side_it != side_.end() && side_it->second.pinned) ++side_it;
      bool have_side = side_unpinned_ && side_it != side_.end();
      // Next ring entry.
      while (head_ < ring_size() && !live(head_col_[head_])) {
        ++head_;
        ++base_;
      }
      bool have_ring = head_ < ring_size();
      if (!have_side && !have_ring) break;
      if (have_side && (!have_ring || side_it->first < base_)) {
        f(Entry{side_it->first, side_it->second.obj, side_it->second.row});
        --side_unpinned_;
        side_it = side_.erase(side_it);
      } else {
        Entry e = ring_entry(head_, base_);
        if (e.obj) --ring_objs_;
        head_col_[head_] = 0;
        --ring_live_;
        ++head_;
        ++base_;
        f(e);
      }
      ++evicted;
    }
    compact();
    return evicted;
  }

  /// Smallest stored id >= `from`, or false when none. Lets readers walk the
  /// registry in id order without holding iterators across calls that may
  /// change it.
  bool next_at_or_after(int64_t from, Entry& out) const;

  /// The oldest id the ring spans.
  int64_t begin_id() const { return base_; }
  /// One past the newest id of the ring: the id a contiguous append takes.
  int64_t end_id() const { return ring_end_id(); }

  /// f(id, prov) for every node that began as a row, in id order, from `from`
  /// to the end of the ring.
  template <class F>
  void for_rows_from(int64_t from, F&& f) const {
    int64_t id = from < base_ ? base_ : from;
    for (size_t s = slot(id), end = ring_size(); s < end; ++s, ++id) {
      uint64_t h = head_col_[s];
      if ((h & (NodeRow::F_LIVE | NodeRow::F_ROW)) == (NodeRow::F_LIVE | NodeRow::F_ROW)) f(id, (uint32_t) (h >> 32));
    }
  }

  /// Every object pointer held (for the garbage collector's traversal).
  template <class F>
  int for_each_object(F&& f) const {
    if (ring_objs_)
      for (size_t s = head_, end = ring_size(); s < end; ++s)
        if ((head_col_[s] & (NodeRow::F_LIVE | NodeRow::F_OBJECT)) == (NodeRow::F_LIVE | NodeRow::F_OBJECT))
          if (int r = f((void*) in0_col_[s])) return r;
    for (auto& kv : side_)
      if (kv.second.obj)
        if (int r = f(kv.second.obj)) return r;
    return 0;
  }

  /// Remove everything, handing the object pointers back.
  void clear(std::vector<void*>& objects);

  /// Bytes held by the store's own containers (not the objects).
  size_t container_bytes() const;

 private:
  struct Side {
    void* obj;  ///< nullptr: a row
    NodeRow row;
    bool pinned;
  };
  /// Holes the ring may hold for a gap in the ids regardless of its size.
  static constexpr size_t MAX_FREE_GAP = 1024;
  /// The dead prefix of the ring is reclaimed once it is this long and half the ring.
  static constexpr size_t MIN_COMPACT_PREFIX = 4096;

  static uint64_t pack(const NodeRow& r) {
    return (uint64_t) r.prov << 32 | (uint64_t) r.op << 16 | (uint64_t) r.kind << 8 | r.flags;
  }
  static NodeRow unpack(uint64_t h, int64_t in0, int64_t in1) {
    NodeRow r;
    r.prov = (uint32_t) (h >> 32);
    r.op = (uint16_t) (h >> 16);
    r.kind = (uint8_t) (h >> 8);
    r.flags = (uint8_t) h;
    r.in0 = in0;
    r.in1 = in1;
    return r;
  }
  static bool live(uint64_t h) { return h & NodeRow::F_LIVE; }
  static bool is_obj(uint64_t h) { return h & NodeRow::F_OBJECT; }

  size_t ring_size() const { return head_col_.size(); }
  int64_t ring_end_id() const { return base_ + (int64_t) (ring_size() - head_); }
  bool in_ring(int64_t id) const { return id >= base_ && id < ring_end_id(); }
  size_t slot(int64_t id) const { return head_ + (size_t) (id - base_); }
  Entry ring_entry(size_t s, int64_t id) const;
  void push_slot(uint64_t head, int64_t in0, int64_t in1);
  /// Prepare the ring for a new id at its end; false when the id must go to the side map.
  bool ring_accepts(int64_t id);
  void compact();
  /// Move every ring entry to the side map; the ring restarts at `restart_id`.
  void spill_ring(int64_t restart_id);

  // The ring: slot head_ holds id base_; a head word without F_LIVE is a hole.
  Column<uint64_t> head_col_;
  Column<int64_t> in0_col_;
  Column<int64_t> in1_col_;
  size_t head_ = 0;
  int64_t base_ = 0;
  size_t ring_live_ = 0;
  size_t ring_objs_ = 0;  ///< ring slots with F_OBJECT; their object pointer is in the in0 column
  std::map<int64_t, Side> side_;             ///< pinned nodes and out-of-order ids
  size_t side_unpinned_ = 0;
};

}  // namespace dag::core
