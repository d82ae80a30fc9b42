// Provenance index: open addressing over 8-byte slots, inline single ids.
#include "tessel32_dag/core/prov_index.h"

#include <algorithm>

namespace dag::core {

size_t ProvIndex::find_slot(uint32_t key) const {
  if (slots_.empty()) return npos;
  size_t mask = slots_.size() - 1;
  for (size_t i = home(key);; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (s.val == EMPTY) return npos;
    if (s.key == key) return i;
  }
}

void ProvIndex::grow() {
  Column<Slot> old;
  old.swap(slots_);
  size_t cap = old.empty() ? 64 : old.size() * 2;
  slots_.assign(cap, Slot{0, EMPTY});
  shift_ = 64 - (unsigned) __builtin_ctzll(cap);
  size_t mask = cap - 1;
  for (const Slot& s : old) {
    if (s.val == EMPTY) continue;
    size_t i = home(s.key);
    while (slots_[i].val != EMPTY) i = (i + 1) & mask;
    slots_[i] = s;
  }
}

void ProvIndex::reserve(size_t n) {
  // Room for the staged entries too: each may be a new key.
  n += pending_.size();
  while ((size_ + n) * 4 > slots_.size() * 3) grow();
}

uint32_t ProvIndex::new_spill(std::vector<int64_t>&& ids) {
  if (!spill_free_.empty()) {
    uint32_t idx = spill_free_.back();
    spill_free_.pop_back();
    spill_[idx] = IdList{std::move(ids), 0};
    return idx;
  }
  spill_.push_back(IdList{std::move(ids), 0});
  return (uint32_t) (spill_.size() - 1);
}

void ProvIndex::free_spill(uint32_t idx) {
  IdList().ids.swap(spill_[idx].ids);
  spill_[idx] = IdList{};
  spill_free_.push_back(idx);
}

void ProvIndex::drain_now() {
  reserve(0);  // counts the staged entries
  const size_t n = pending_.size();
  for (size_t i = 0; i < n; ++i) {
    if (i + 8 < n) __builtin_prefetch(&slots_[home(pending_[i + 8].key)], 1);
    insert_now(pending_[i].key, pending_[i].id);
  }
  pending_.clear();
}

void ProvIndex::insert_now(uint32_t key, int64_t id) {
  if ((size_ + 1) * 4 > slots_.size() * 3) grow();
  size_t mask = slots_.size() - 1;
  size_t i = home(key);
  while (slots_[i].val != EMPTY && slots_[i].key != key) i = (i + 1) & mask;
  Slot& s = slots_[i];
  bool inline_ok = id >= 0 && id < (int64_t) SPILL;
  if (s.val == EMPTY) {
    s.key = key;
    s.val = inline_ok ? (uint32_t) id : (SPILL | new_spill({id}));
    ++size_;
  } else if (!(s.val & SPILL)) {
    int64_t first = s.val;
    s.val = SPILL | new_spill({first, id});
  } else {
    spill_[s.val & ~SPILL].ids.push_back(id);
  }
}

void ProvIndex::erase_slot(size_t i) {
  // Backward-shift deletion keeps probe chains intact without tombstones.
  size_t mask = slots_.size() - 1;
  slots_[i].val = EMPTY;
  size_t j = i;
  for (;;) {
    j = (j + 1) & mask;
    if (slots_[j].val == EMPTY) break;
    size_t h = home(slots_[j].key);
    bool between = (i <= j) ? (h > i && h <= j) : (h > i || h <= j);
    if (!between) {
      slots_[i] = slots_[j];
      slots_[j].val = EMPTY;
      i = j;
    }
  }
  --size_;
}

bool ProvIndex::remove(uint32_t key, int64_t id) {
  drain();
  size_t i = find_slot(key);
  if (i == npos) return false;
  Slot& s = slots_[i];
  if (!(s.val & SPILL)) {
    if ((int64_t) s.val != id) return false;
    erase_slot(i);
    return true;
  }
  uint32_t idx = s.val & ~SPILL;
  IdList& l = spill_[idx];
  auto first = l.ids.begin() + (std::ptrdiff_t) l.head;
  auto it = std::find(first, l.ids.end(), id);
  if (it == l.ids.end()) return false;
  if (it == first) {
    ++l.head;  // the oldest id: the usual case (eviction goes oldest first)
    if (l.head > 32 && l.head * 2 > l.ids.size()) {
      l.ids.erase(l.ids.begin(), l.ids.begin() + (std::ptrdiff_t) l.head);
      l.head = 0;
    }
  } else {
    l.ids.erase(it);
  }
  if (l.size() == 0) {
    free_spill(idx);
    erase_slot(i);
  }
  return true;
}

bool ProvIndex::find(uint32_t key, std::vector<int64_t>& out) const {
  drain();
  out.clear();
  size_t i = find_slot(key);
  if (i == npos) return false;
  const Slot& s = slots_[i];
  if (!(s.val & SPILL))
    out.push_back(s.val);
  else {
    const IdList& l = spill_[s.val & ~SPILL];
    out.assign(l.ids.begin() + (std::ptrdiff_t) l.head, l.ids.end());
  }
  return true;
}

void ProvIndex::keys(std::vector<uint32_t>& out) const {
  drain();
  out.clear();
  for (const Slot& s : slots_)
    if (s.val != EMPTY) out.push_back(s.key);
}

void ProvIndex::clear() {
  pending_.clear();
  slots_.clear();
  slots_.shrink_to_fit();
  spill_.clear();
  spill_free_.clear();
  size_ = 0;
  shift_ = 63;
}

size_t ProvIndex::container_bytes() const {
  size_t b = slots_.capacity() * sizeof(Slot) + spill_.capacity() * sizeof(IdList) +
             pending_.capacity() * sizeof(Pending);
  for (const auto& l : spill_) b += l.ids.capacity() * sizeof(int64_t);
  return b;
}

}  // namespace dag::core
