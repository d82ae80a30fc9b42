// The provenance index in pure C++: 32-bit provenance value -> ids of the
// nodes created with it, in creation order.
//
// Open addressing with linear probing and backward-shift deletion; a key with
// one id (the common case) stores it inline, so an entry costs 16 bytes of
// table. A second id moves the list to the heap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace dag::core {

class ProvIndex {
 public:
  ProvIndex() = default;
  ~ProvIndex();
  ProvIndex(const ProvIndex&) = delete;
  ProvIndex& operator=(const ProvIndex&) = delete;

  /// Append `id` to the list of `key` (creating it).
  void append(uint32_t key, int64_t id);
  /// Remove the first occurrence of `id` from `key`'s list; the key goes
  /// when its list becomes empty. Returns false if key or id was absent.
  bool remove(uint32_t key, int64_t id);
  /// Copy the ids of `key` into `out` (cleared first); false when absent.
  bool find(uint32_t key, std::vector<int64_t>& out) const;
  bool contains(uint32_t key) const { return find_slot(key) != npos; }
  /// Number of keys.
  size_t size() const { return size_; }
  /// Keys, in table order.
  void keys(std::vector<uint32_t>& out) const;
  void clear();
  size_t container_bytes() const;

 private:
  struct Slot {
    uint32_t key;
    uint32_t count;  ///< 0 = empty slot; 1 = `one` holds the id; >1 = `many`
    union {
      int64_t one;
      std::vector<int64_t>* many;
    };
  };
  static constexpr size_t npos = (size_t) -1;
  size_t home(uint32_t key) const { return (size_t) ((key * 0x9E3779B97F4A7C15ull) >> shift_); }
  size_t find_slot(uint32_t key) const;
  void grow();
  void erase_slot(size_t i);

  std::vector<Slot> slots_;
  size_t size_ = 0;
  unsigned shift_ = 64;
};

}  // namespace dag::core
