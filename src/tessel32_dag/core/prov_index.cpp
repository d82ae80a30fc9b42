// Provenance index: open addressing, inline single ids.
#include "tessel32_dag/core/prov_index.h"

#include <algorithm>

namespace dag::core {

ProvIndex::~ProvIndex() { clear(); }

size_t ProvIndex::find_slot(uint32_t key) const {
  if (slots_.empty()) return npos;
  size_t mask = slots_.size() - 1;
  for (size_t i = home(key);; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (s.count == 0) return npos;
    if (s.key == key) return i;
  }
}

void ProvIndex::grow() {
  std::vector<Slot> old;
  old.swap(slots_);
  size_t cap = old.empty() ? 64 : old.size() * 2;
  slots_.assign(cap, Slot{0, 0, {0}});
  shift_ = 64 - (unsigned) __builtin_ctzll(cap);
  size_t mask = cap - 1;
  for (const Slot& s : old) {
    if (!s.count) continue;
    size_t i = home(s.key);
    while (slots_[i].count) i = (i + 1) & mask;
    slots_[i] = s;
  }
}

void ProvIndex::append(uint32_t key, int64_t id) {
  if ((size_ + 1) * 4 > slots_.size() * 3) grow();
  size_t mask = slots_.size() - 1;
  size_t i = home(key);
  while (slots_[i].count && slots_[i].key != key) i = (i + 1) & mask;
  Slot& s = slots_[i];
  if (s.count == 0) {
    s.key = key;
    s.count = 1;
    s.one = id;
    ++size_;
  } else if (s.count == 1) {
    int64_t first = s.one;
    s.many = new std::vector<int64_t>{first, id};
    s.count = 2;
  } else {
    s.many->push_back(id);
    s.count = 2;
  }
}

void ProvIndex::erase_slot(size_t i) {
  // Backward-shift deletion keeps probe chains intact without tombstones.
  size_t mask = slots_.size() - 1;
  slots_[i].count = 0;
  size_t j = i;
  for (;;) {
    j = (j + 1) & mask;
    if (!slots_[j].count) break;
    size_t h = home(slots_[j].key);
    // Move j into the hole at i if its home is not in (i, j].
    bool between = (i <= j) ? (h > i && h <= j) : (h > i || h <= j);
    if (!between) {
      slots_[i] = slots_[j];
      slots_[j].count = 0;
      i = j;
    }
  }
  --size_;
}

bool ProvIndex::remove(uint32_t key, int64_t id) {
  size_t i = find_slot(key);
  if (i == npos) return false;
  Slot& s = slots_[i];
  if (s.count == 1) {
    if (s.one != id) return false;
    erase_slot(i);
    return true;
  }
  auto& v = *s.many;
  auto it = std::find(v.begin(), v.end(), id);
  if (it == v.end()) return false;
  v.erase(it);
  if (v.empty()) {
    delete s.many;
    erase_slot(i);
  }
  return true;
}

bool ProvIndex::find(uint32_t key, std::vector<int64_t>& out) const {
  out.clear();
  size_t i = find_slot(key);
  if (i == npos) return false;
  const Slot& s = slots_[i];
  if (s.count == 1)
    out.push_back(s.one);
  else
    out = *s.many;
  return true;
}

void ProvIndex::keys(std::vector<uint32_t>& out) const {
  out.clear();
  for (const Slot& s : slots_)
    if (s.count) out.push_back(s.key);
}

void ProvIndex::clear() {
  for (Slot& s : slots_)
    if (s.count > 1) delete s.many;
  slots_.clear();
  size_ = 0;
  shift_ = 64;
}

size_t ProvIndex::container_bytes() const {
  size_t b = slots_.capacity() * sizeof(Slot);
  for (const Slot& s : slots_)
    if (s.count > 1) b += sizeof(std::vector<int64_t>) + s.many->capacity() * sizeof(int64_t);
  return b;
}

}  // namespace dag::core
