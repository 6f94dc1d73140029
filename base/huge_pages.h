// Huge-page advice for large blocks that are written soon after they are
// allocated.
//
// Each first touch of a 4 KiB page is a page fault, and on a virtual machine
// a fault costs microseconds: a block of tens of megabytes costs thousands of
// them. Where transparent huge pages are on in madvise mode, the kernel backs
// a region with 2 MiB pages only when asked; these helpers ask, for blocks of
// at least HUGE_PAGE_ADVICE_MIN bytes. The advice is only advice: refused or
// unknown, nothing changes.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

inline constexpr size_t HUGE_PAGE_ADVICE_MIN = size_t{4} << 20;

// Advises huge pages for the whole 2 MiB pages inside [block, block + size).
void AdviseHugePages(void* block, size_t size);

// The standard allocator, advising huge pages for every large block: for
// vectors that grow to tens of megabytes.
template <typename T>
struct HugePageAllocator {
  using value_type = T;
  HugePageAllocator() = default;
  template <typename U>
  explicit HugePageAllocator(const HugePageAllocator<U>&) noexcept {}
  T* allocate(size_t n) {
    T* block = std::allocator<T>().allocate(n);
    AdviseHugePages(block, n * sizeof(T));
    return block;
  }
  void deallocate(T* block, size_t n) noexcept { std::allocator<T>().deallocate(block, n); }
  friend bool operator==(const HugePageAllocator&, const HugePageAllocator&) = default;
};

template <typename T>
using HugePageVector = std::vector<T, HugePageAllocator<T>>;
