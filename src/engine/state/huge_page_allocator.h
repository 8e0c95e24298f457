// An allocator for the large hash tables (the key index, the value cache):
// blocks of at least kHugePage bytes come straight from mmap, aligned to
// kHugePage and advised as huge-page candidates, so that a table spread
// over tens of megabytes is covered by a few hundred TLB entries instead of
// tens of thousands. A lookup in such a table is a random access: without
// huge pages nearly every one also misses the TLB and waits for a page
// walk, which in a virtual machine costs as much as the memory access
// itself. Smaller blocks come from operator new.
//
// The advice is only advice: where the kernel has no transparent huge
// pages (or they are off), the block is ordinary anonymous memory.
#ifndef VANTRE_ENGINE_HUGE_PAGE_ALLOCATOR_H_
#define VANTRE_ENGINE_HUGE_PAGE_ALLOCATOR_H_

#include <cstddef>
#include <limits>
#include <new>

namespace vantre {

inline constexpr size_t kHugePage = size_t{2} << 20;

// Raw blocks; the size given back must be the size asked for.
void* AllocateHugePageBlock(size_t bytes);
void FreeHugePageBlock(void* p, size_t bytes) noexcept;

template <typename T>
class HugePageAllocator {
 public:
  using value_type = T;

  HugePageAllocator() noexcept = default;
  template <typename U>
  HugePageAllocator(const HugePageAllocator<U>&) noexcept {}  // NOLINT: rebinding

  T* allocate(size_t n) {
    if (n > std::numeric_limits<size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
    const size_t bytes = n * sizeof(T);
    if (bytes < kHugePage) return static_cast<T*>(::operator new(bytes, std::align_val_t{alignof(T)}));
    return static_cast<T*>(AllocateHugePageBlock(bytes));
  }
  void deallocate(T* p, size_t n) noexcept {
    const size_t bytes = n * sizeof(T);
    if (bytes < kHugePage) {
      ::operator delete(p, std::align_val_t{alignof(T)});
    } else {
      FreeHugePageBlock(p, bytes);
    }
  }

  template <typename U>
  bool operator==(const HugePageAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace vantre

#endif  // VANTRE_ENGINE_HUGE_PAGE_ALLOCATOR_H_
