// The batch writer's fingerprint -> node id cache for the pipeline it is
// streaming: streamed edges arrive by fingerprint, and resolving each end in
// the database costs an index look-up. The cache holds ids the connection
// learnt itself (its own node inserts, its own look-ups), so an id in it is
// always the stored (first) node of that fingerprint. Bounded: once full it
// starts over (ids missing from it are looked up again). Pure C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace persist {

class IdCache {
 public:
  /// The id of (pipeline, fingerprint), or 0 when not known.
  int64_t find(int64_t pipeline, int64_t fp) const {
    if (pipeline != pipeline_ || slots_.empty()) return 0;
    for (size_t i = home(fp);; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.id == 0) return 0;
      if (s.fp == fp) return s.id;
    }
  }

  /// Remember id (> 0) for (pipeline, fingerprint); a new pipeline starts over.
  void put(int64_t pipeline, int64_t fp, int64_t id) {
    if (pipeline != pipeline_) {
      clear();
      pipeline_ = pipeline;
    }
    if ((used_ + 1) * 4 > slots_.size() * 3) grow();
    for (size_t i = home(fp);; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.id == 0) {
        s = Slot{fp, id};
        ++used_;
        return;
      }
      if (s.fp == fp) {
        s.id = id;
        return;
      }
    }
  }

  void clear() {
    std::vector<Slot>().swap(slots_);
    mask_ = 0;
    used_ = 0;
    pipeline_ = -1;
  }

  size_t size() const { return used_; }
  /// The pipeline whose ids are held (-1: none).
  int64_t pipeline() const { return pipeline_; }

 private:
  struct Slot {
    int64_t fp;
    int64_t id;  ///< 0: empty (database ids start at 1)
  };
  static constexpr size_t kFirstSlots = size_t(1) << 12;
  static constexpr size_t kMaxSlots = size_t(1) << 22;  ///< 64 MiB, about 3 M ids

  size_t home(int64_t fp) const { return (size_t) (((uint64_t) fp * 0x9E3779B97F4A7C15ull) >> 32) & mask_; }

  void grow() {
    size_t n = slots_.empty() ? kFirstSlots : slots_.size() * 2;
    if (n > kMaxSlots) {  // full: start over with this pipeline
      int64_t p = pipeline_;
      clear();
      pipeline_ = p;
      n = kFirstSlots;
    }
    std::vector<Slot> old;
    old.swap(slots_);
    slots_.assign(n, Slot{0, 0});
    mask_ = n - 1;
    used_ = 0;
    for (const Slot& s : old)
      if (s.id) put(pipeline_, s.fp, s.id);
  }

  std::vector<Slot> slots_;
  size_t mask_ = 0;
  size_t used_ = 0;
  int64_t pipeline_ = -1;
};

}  // namespace persist
