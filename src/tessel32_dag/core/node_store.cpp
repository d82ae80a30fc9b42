// Node registry storage: ring for ordinary nodes, ordered side map for pinned ones.
#include "tessel32_dag/core/node_store.h"

#include <algorithm>

namespace dag::core {

void* NodeStore::insert(int64_t id, void* node, bool pinned) {
  void* previous = erase(id);
  if (!pinned && id >= ring_end_id()) {
    if (ring_live_ == 0) {
      // Empty ring: restart it at this id, so a long gap costs nothing.
      ring_.clear();
      head_ = 0;
      base_ = id;
    }
    // A gap wider than the ring's live nodes (an id set far ahead): move the
    // ring to the side map and restart it here, so a gap never costs memory.
    if ((uint64_t) (id - ring_end_id()) > (uint64_t) std::max(ring_live_, MAX_FREE_GAP)) spill_ring(id);
    // Holes for ids that went elsewhere (source nodes, failed creations).
    while (ring_end_id() < id) ring_.push_back(nullptr);
    ring_.push_back(node);
    ++ring_live_;
    return previous;
  }
  side_.emplace(id, Side{node, pinned});
  if (!pinned) ++side_unpinned_;
  return previous;
}

void NodeStore::spill_ring(int64_t restart_id) {
  for (size_t i = head_; i < ring_.size(); ++i) {
    if (!ring_[i]) continue;
    side_.emplace(base_ + (int64_t) (i - head_), Side{ring_[i], false});
    ++side_unpinned_;
  }
  ring_.clear();
  head_ = 0;
  base_ = restart_id;
  ring_live_ = 0;
}

void* NodeStore::get(int64_t id) const {
  if (id >= base_ && id < ring_end_id()) {
    void* p = ring_[head_ + (size_t) (id - base_)];
    if (p) return p;
  }
  if (side_.empty()) return nullptr;
  auto it = side_.find(id);
  return it == side_.end() ? nullptr : it->second.node;
}

void* NodeStore::erase(int64_t id) {
  if (id >= base_ && id < ring_end_id()) {
    void*& slot = ring_[head_ + (size_t) (id - base_)];
    if (slot) {
      void* p = slot;
      slot = nullptr;
      --ring_live_;
      compact();
      return p;
    }
  }
  auto it = side_.find(id);
  if (it == side_.end()) return nullptr;
  void* p = it->second.node;
  if (!it->second.pinned) --side_unpinned_;
  side_.erase(it);
  return p;
}

void NodeStore::compact() {
  // Drop leading holes, and reclaim the dead prefix once it is half the ring.
  while (head_ < ring_.size() && ring_[head_] == nullptr) {
    ++head_;
    ++base_;
  }
  if (head_ == ring_.size()) {
    ring_.clear();
    head_ = 0;
  } else if (head_ > MIN_COMPACT_PREFIX && head_ * 2 > ring_.size()) {
    ring_.erase(ring_.begin(), ring_.begin() + (std::ptrdiff_t) head_);
    head_ = 0;
  }
}

size_t NodeStore::evict_oldest(size_t count, std::vector<Entry>& out) {
  size_t evicted = 0;
  auto side_it = side_.begin();
  while (evicted < count) {
    // Next evictable side entry (pinned ones are skipped without counting).
    while (side_unpinned_ && side_it != side_.end() && side_it->second.pinned) ++side_it;
    bool have_side = side_unpinned_ && side_it != side_.end();
    // Next ring entry.
    while (head_ < ring_.size() && ring_[head_] == nullptr) {
      ++head_;
      ++base_;
    }
    bool have_ring = head_ < ring_.size();
    if (!have_side && !have_ring) break;
    if (have_side && (!have_ring || side_it->first < base_)) {
      out.push_back(Entry{side_it->first, side_it->second.node});
      --side_unpinned_;
      side_it = side_.erase(side_it);
    } else {
      out.push_back(Entry{base_, ring_[head_]});
      ring_[head_] = nullptr;
      --ring_live_;
      ++head_;
      ++base_;
    }
    ++evicted;
  }
  compact();
  return evicted;
}

bool NodeStore::next_at_or_after(int64_t from, Entry& out) const {
  bool found = false;
  if (!side_.empty()) {
    auto it = side_.lower_bound(from);
    if (it != side_.end()) {
      out = Entry{it->first, it->second.node};
      found = true;
    }
  }
  int64_t start = from < base_ ? base_ : from;
  int64_t stop = ring_end_id();
  if (found && out.id < stop) stop = out.id;
  for (int64_t id = start; id < stop; ++id) {
    void* p = ring_[head_ + (size_t) (id - base_)];
    if (p) {
      out = Entry{id, p};
      return true;
    }
  }
  return found;
}

void NodeStore::clear(std::vector<Entry>& out) {
  Entry e{};
  int64_t from = INT64_MIN;
  while (next_at_or_after(from, e)) {
    out.push_back(e);
    from = e.id + 1;
    if (e.id == INT64_MAX) break;
  }
  ring_.clear();
  head_ = 0;
  ring_live_ = 0;
  side_.clear();
  side_unpinned_ = 0;
}

size_t NodeStore::container_bytes() const {
  return ring_.capacity() * sizeof(void*) + side_.size() * (sizeof(Side) + 48);
}

}  // namespace dag::core
