// Node registry storage: row columns in a ring for ordinary nodes, an object
// map beside them, an ordered side map for pinned and out-of-order nodes.
#include "tessel32_dag/core/node_store.h"

#include <algorithm>

namespace dag::core {

NodeStore::Entry NodeStore::ring_entry(size_t s, int64_t id) const {
  uint64_t h = head_col_[s];
  if (is_obj(h)) return Entry{id, (void*) in0_col_[s], unpack(h, 0, 0)};
  return Entry{id, nullptr, unpack(h, in0_col_[s], in1_col_[s])};
}

void NodeStore::push_slot(uint64_t head, int64_t in0, int64_t in1) {
  head_col_.push_back(head);
  in0_col_.push_back(in0);
  in1_col_.push_back(in1);
}

void NodeStore::reserve(size_t n) {
  size_t want = ring_size() + n;
  if (want <= head_col_.capacity()) return;
  // Geometric growth: callers reserve chunk by chunk.
  want = std::max(want, head_col_.capacity() + head_col_.capacity() / 2);
  head_col_.reserve(want);
  in0_col_.reserve(want);
  in1_col_.reserve(want);
}

bool NodeStore::ring_accepts(int64_t id) {
  if (id < ring_end_id()) return false;
  if (ring_live_ == 0) {
    // Empty ring: restart it at this id, so a long gap costs nothing.
    head_col_.clear();
    in0_col_.clear();
    in1_col_.clear();
    head_ = 0;
    base_ = id;
  }
  // A gap wider than the ring's live nodes (an id set far ahead): move the
  // ring to the side map and restart it here, so a gap never costs memory.
  if ((uint64_t) (id - ring_end_id()) > (uint64_t) std::max(ring_live_, MAX_FREE_GAP)) spill_ring(id);
  // Holes for ids that went elsewhere (source nodes, failed creations).
  while (ring_end_id() < id) push_slot(0, 0, 0);
  return true;
}

bool NodeStore::append_row(int64_t id, const NodeRow& row) {
  if (id < ring_end_id()) return false;
  if (!side_.empty() && side_.rbegin()->first >= id && side_.count(id)) return false;
  ring_accepts(id);
  NodeRow r = row;
  r.flags = (uint8_t) ((r.flags | NodeRow::F_LIVE | NodeRow::F_ROW) & ~NodeRow::F_OBJECT);
  push_slot(pack(r), r.in0, r.in1);
  ++ring_live_;
  return true;
}

void* NodeStore::insert(int64_t id, void* obj, bool pinned) {
  Entry old{};
  void* previous = erase(id, old) ? old.obj : nullptr;
  if (!pinned && ring_accepts(id)) {
    push_slot(NodeRow::F_LIVE | NodeRow::F_OBJECT, (int64_t) obj, 0);
    ++ring_live_;
    ++ring_objs_;
    return previous;
  }
  side_.emplace(id, Side{obj, NodeRow{}, pinned});
  if (!pinned) ++side_unpinned_;
  return previous;
}

void NodeStore::spill_ring(int64_t restart_id) {
  for (size_t s = head_; s < ring_size(); ++s) {
    if (!live(head_col_[s])) continue;
    int64_t id = base_ + (int64_t) (s - head_);
    Entry e = ring_entry(s, id);
    side_.emplace(id, Side{e.obj, e.row, false});
    ++side_unpinned_;
  }
  ring_objs_ = 0;
  head_col_.clear();
  in0_col_.clear();
  in1_col_.clear();
  head_ = 0;
  base_ = restart_id;
  ring_live_ = 0;
}

bool NodeStore::get(int64_t id, Entry& out) const {
  if (in_ring(id)) {
    size_t s = slot(id);
    if (live(head_col_[s])) {
      out = ring_entry(s, id);
      return true;
    }
  }
  if (side_.empty()) return false;
  auto it = side_.find(id);
  if (it == side_.end()) return false;
  out = Entry{id, it->second.obj, it->second.row};
  return true;
}

void NodeStore::attach(int64_t id, void* obj) {
  if (in_ring(id)) {
    size_t s = slot(id);
    if (live(head_col_[s])) {
      if (!is_obj(head_col_[s])) ++ring_objs_;
      head_col_[s] |= NodeRow::F_OBJECT;
      in0_col_[s] = (int64_t) obj;
      return;
    }
  }
  auto it = side_.find(id);
  if (it != side_.end()) it->second.obj = obj;
}

bool NodeStore::erase(int64_t id, Entry& out) {
  if (in_ring(id)) {
    size_t s = slot(id);
    if (live(head_col_[s])) {
      out = ring_entry(s, id);
      if (out.obj) --ring_objs_;
      head_col_[s] = 0;
      --ring_live_;
      compact();
      return true;
    }
  }
  auto it = side_.find(id);
  if (it == side_.end()) return false;
  out = Entry{id, it->second.obj, it->second.row};
  if (!it->second.pinned) --side_unpinned_;
  side_.erase(it);
  return true;
}

void NodeStore::compact() {
  // Drop leading holes, and reclaim the dead prefix once it is half the ring.
  while (head_ < ring_size() && !live(head_col_[head_])) {
    ++head_;
    ++base_;
  }
  if (head_ == ring_size()) {
    head_col_.clear();
    in0_col_.clear();
    in1_col_.clear();
    head_ = 0;
  } else if (head_ > MIN_COMPACT_PREFIX && head_ * 2 > ring_size()) {
    auto cut = (std::ptrdiff_t) head_;
    head_col_.erase(head_col_.begin(), head_col_.begin() + cut);
    in0_col_.erase(in0_col_.begin(), in0_col_.begin() + cut);
    in1_col_.erase(in1_col_.begin(), in1_col_.begin() + cut);
    head_ = 0;
  }
}

bool NodeStore::next_at_or_after(int64_t from, Entry& out) const {
  bool found = false;
  if (!side_.empty()) {
    auto it = side_.lower_bound(from);
    if (it != side_.end()) {
      out = Entry{it->first, it->second.obj, it->second.row};
      found = true;
    }
  }
  int64_t start = from < base_ ? base_ : from;
  int64_t stop = ring_end_id();
  if (found && out.id < stop) stop = out.id;
  for (int64_t id = start; id < stop; ++id) {
    size_t s = slot(id);
    if (live(head_col_[s])) {
      out = ring_entry(s, id);
      return true;
    }
  }
  return found;
}

void NodeStore::clear(std::vector<void*>& objects) {
  for_each_object([&](void* o) {
    objects.push_back(o);
    return 0;
  });
  head_col_.clear();
  in0_col_.clear();
  in1_col_.clear();
  head_ = 0;
  ring_live_ = 0;
  ring_objs_ = 0;
  side_.clear();
  side_unpinned_ = 0;
}

size_t NodeStore::container_bytes() const {
  return head_col_.capacity() * sizeof(uint64_t) + (in0_col_.capacity() + in1_col_.capacity()) * sizeof(int64_t) +
         side_.size() * (sizeof(Side) + 48);
}

}  // namespace dag::core
