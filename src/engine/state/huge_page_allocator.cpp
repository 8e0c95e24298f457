#include "engine/state/huge_page_allocator.h"

#include <sys/mman.h>

#include <cstdint>

namespace vantre {
namespace {

// REQUIRES: bytes <= SIZE_MAX - kHugePage.
size_t RoundUp(size_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

}  // namespace

void* AllocateHugePageBlock(size_t bytes) {
  if (bytes > std::numeric_limits<size_t>::max() - 2 * kHugePage) throw std::bad_alloc();
  const size_t size = RoundUp(bytes);
  // Map one huge page more than needed, then trim to an aligned block: the
  // kernel backs only aligned 2 MiB ranges with huge pages.
  const size_t span = size + kHugePage;
  void* p = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<uintptr_t>(p);
  const uintptr_t aligned = (start + kHugePage - 1) & ~static_cast<uintptr_t>(kHugePage - 1);
  // Unmapping the slack cannot fail for ranges inside a fresh private map
  // but for lack of memory to split it, which only leaves the slack mapped.
  if (aligned > start) ::munmap(p, aligned - start);
  const uintptr_t tail = start + span - (aligned + size);
  if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + size), tail);
  ::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);  // Advice only.
  return reinterpret_cast<void*>(aligned);
}

void FreeHugePageBlock(void* p, size_t bytes) noexcept {
  if (p != nullptr) ::munmap(p, RoundUp(bytes));  // Ignoring any potential errors.
}

}  // namespace vantre
