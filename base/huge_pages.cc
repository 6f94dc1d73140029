#include "base/huge_pages.h"

#include <sys/mman.h>

#include <cstdint>

void AdviseHugePages(void* block, size_t size) {
#ifdef MADV_HUGEPAGE
  constexpr uintptr_t HUGE_PAGE = uintptr_t{2} << 20;
  if (size < HUGE_PAGE_ADVICE_MIN) return;
  const auto start = reinterpret_cast<uintptr_t>(block);
  const uintptr_t begin = (start + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
  const uintptr_t end = (start + size) & ~(HUGE_PAGE - 1);
  madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)block;
  (void)size;
#endif
}
