// Allocator for the store's large columns: buffers of 2 MiB and more are
// mapped on their own and marked for transparent huge pages, so filling a
// column of millions of rows takes a handful of page faults instead of one
// per 4 KiB (the faults, not the writes, dominate the first operation of a
// fresh process). Smaller buffers come from malloc.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

namespace dag::core {

template <class T>
struct ColumnAlloc {
  using value_type = T;
  static constexpr size_t HUGE = (size_t) 2 << 20;

  ColumnAlloc() noexcept = default;
  template <class U>
  ColumnAlloc(const ColumnAlloc<U>&) noexcept {}

  T* allocate(size_t n) {
    size_t bytes = n * sizeof(T);
    if (bytes >= HUGE) {
      size_t len = (bytes + HUGE - 1) / HUGE * HUGE;
      void* p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (p == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
      madvise(p, len, MADV_HUGEPAGE);
#endif
      return static_cast<T*>(p);
    }
    void* p = std::malloc(bytes ? bytes : 1);
    if (!p) throw std::bad_alloc();
    return static_cast<T*>(p);
  }

  void deallocate(T* p, size_t n) noexcept {
    size_t bytes = n * sizeof(T);
    if (bytes >= HUGE) {
      munmap(p, (bytes + HUGE - 1) / HUGE * HUGE);
      return;
    }
    std::free(p);
  }

  /// Growing a column leaves the new rows uninitialised: the caller writes
  /// every one of them at once (no zero-fill pass over fresh pages).
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }

  template <class U>
  bool operator==(const ColumnAlloc<U>&) const noexcept {
    return true;
  }
};

template <class T>
using Column = std::vector<T, ColumnAlloc<T>>;

}  // namespace dag::core
