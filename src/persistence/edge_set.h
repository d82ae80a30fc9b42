// The batch writer's set of edges it knows to be stored: (parent id, child
// id, position) triples its own transactions inserted or found present. A
// tracker hands over the same edge again and again (every element of an
// operation whose inputs and result share fingerprints), and an edge that is
// already stored needs no INSERT at all. Node ids are unique across
// pipelines, so the triple alone names the edge. Bounded: once full it
// starts over (a forgotten edge is inserted again, which the UNIQUE
// constraint turns into nothing). Pure C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace persist {

class EdgeSet {
 public:
  bool contains(int64_t parent, int64_t child, int64_t pos) const {
    if (slots_.empty()) return false;
    for (size_t i = home(parent, child, pos);; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.parent == 0) return false;
      if (s.parent == parent && s.child == child && s.pos == pos) return true;
    }
  }

  /// Remember a stored edge (parent id > 0).
  void add(int64_t parent, int64_t child, int64_t pos) {
    if ((used_ + 1) * 4 > slots_.size() * 3) grow();
    for (size_t i = home(parent, child, pos);; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.parent == 0) {
        s = Slot{parent, child, pos};
        ++used_;
        return;
      }
      if (s.parent == parent && s.child == child && s.pos == pos) return;
    }
  }

  void clear() {
    std::vector<Slot>().swap(slots_);
    mask_ = 0;
    used_ = 0;
  }

  size_t size() const { return used_; }

 private:
  struct Slot {
    int64_t parent;  ///< 0: empty (database ids start at 1)
    int64_t child;
    int64_t pos;
  };
  static constexpr size_t kFirstSlots = size_t(1) << 10;
  static constexpr size_t kMaxSlots = size_t(1) << 20;  ///< 24 MiB, about 780 000 edges

  size_t home(int64_t p, int64_t c, int64_t pos) const {
    uint64_t h = (uint64_t) p * 0x9E3779B97F4A7C15ull;
    h ^= (uint64_t) c * 0xC2B2AE3D27D4EB4Full + (h >> 29);
    h ^= (uint64_t) pos * 0x165667B19E3779F9ull + (h >> 31);
    return (size_t) (h >> 20) & mask_;
  }

  void grow() {
    size_t n = slots_.empty() ? kFirstSlots : slots_.size() * 2;
    std::vector<Slot> old;
    old.swap(slots_);
    if (n > kMaxSlots) {  // full: start over
      old.clear();
      n = kFirstSlots;
    }
    slots_.assign(n, Slot{0, 0, 0});
    mask_ = n - 1;
    used_ = 0;
    for (const Slot& s : old)
      if (s.parent) add(s.parent, s.child, s.pos);
  }

  std::vector<Slot> slots_;
  size_t mask_ = 0;
  size_t used_ = 0;
};

}  // namespace persist
