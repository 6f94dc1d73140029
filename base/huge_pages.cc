#include "base/huge_pages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr size_t KEPT_BLOCKS = 8;

// Released large blocks, each of `bytes` mapped bytes, for reuse.
struct KeptBlocks {
  std::mutex mutex;
  void* blocks[KEPT_BLOCKS] = {};
  size_t bytes[KEPT_BLOCKS] = {};
  size_t count = 0;
} g_kept;

size_t MappedBytes(size_t size) { return (size + HUGE_PAGE_SIZE - 1) & ~(HUGE_PAGE_SIZE - 1); }

// `bytes` (whole huge pages) of a fresh mapping aligned to a huge page.
void* MapHugePages(size_t bytes) {
  // One huge page more than needed, less what lies before the first
  // aligned page and after the block.
  void* mapped = mmap(nullptr, bytes + HUGE_PAGE_SIZE, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<uintptr_t>(mapped);
  const uintptr_t block = (start + HUGE_PAGE_SIZE - 1) & ~(HUGE_PAGE_SIZE - 1);
  if (block != start) munmap(mapped, block - start);
  munmap(reinterpret_cast<void*>(block + bytes), start + HUGE_PAGE_SIZE - block);
#ifdef MADV_HUGEPAGE
  madvise(reinterpret_cast<void*>(block), bytes, MADV_HUGEPAGE);
#endif
  return reinterpret_cast<void*>(block);
}

// A kept block of exactly `bytes`, taken out of the kept ones, or null.
void* TakeKept(size_t bytes) {
  const std::lock_guard<std::mutex> lock(g_kept.mutex);
  for (size_t i = g_kept.count; i-- > 0;) {
    if (g_kept.bytes[i] != bytes) continue;
    void* block = g_kept.blocks[i];
    --g_kept.count;
    g_kept.blocks[i] = g_kept.blocks[g_kept.count];
    g_kept.bytes[i] = g_kept.bytes[g_kept.count];
    return block;
  }
  return nullptr;
}

// Whether `block` of `bytes` joined the kept ones.
bool Keep(void* block, size_t bytes) {
  if (bytes > KEPT_BLOCK_MAX) return false;
  const std::lock_guard<std::mutex> lock(g_kept.mutex);
  if (g_kept.count == KEPT_BLOCKS) return false;
  g_kept.blocks[g_kept.count] = block;
  g_kept.bytes[g_kept.count] = bytes;
  ++g_kept.count;
  return true;
}

}  // namespace

void* AllocateBlock(size_t size, bool zeroed) {
  if (size < LARGE_BLOCK_MIN) return zeroed ? std::calloc(1, size) : std::malloc(size);
  const size_t bytes = MappedBytes(size);
  void* block = TakeKept(bytes);
  if (block == nullptr) return MapHugePages(bytes);  // fresh pages read as 0
  if (zeroed) std::memset(block, 0, size);
  return block;
}

void ReleaseBlock(void* block, size_t size) {
  if (block == nullptr) return;
  if (size < LARGE_BLOCK_MIN) {
    std::free(block);
  } else {
    munmap(block, MappedBytes(size));
  }
}

void KeepBlock(void* block, size_t size) {
  if (block == nullptr || size < LARGE_BLOCK_MIN || !Keep(block, MappedBytes(size))) {
    ReleaseBlock(block, size);
  }
}

void DropKeptBlocks() {
  const std::lock_guard<std::mutex> lock(g_kept.mutex);
  for (; g_kept.count > 0; --g_kept.count) {
    munmap(g_kept.blocks[g_kept.count - 1], g_kept.bytes[g_kept.count - 1]);
  }
}

void DiscardPages(void* from, void* to) {
  const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(from) + page - 1) & ~(page - 1);
  const uintptr_t end = reinterpret_cast<uintptr_t>(to) & ~(page - 1);
  if (begin < end) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
}

bool MovePages(void* from, void* to, size_t bytes) {
#ifdef MREMAP_DONTUNMAP
  return mremap(from, bytes, bytes, MREMAP_MAYMOVE | MREMAP_FIXED | MREMAP_DONTUNMAP, to) !=
         MAP_FAILED;
#else
  (void)from;
  (void)to;
  (void)bytes;
  return false;
#endif
}

void AdviseHugePages(void* block, size_t size) {
#ifdef MADV_HUGEPAGE
  if (size < 2 * HUGE_PAGE_SIZE) return;
  const auto start = reinterpret_cast<uintptr_t>(block);
  const uintptr_t begin = (start + HUGE_PAGE_SIZE - 1) & ~(HUGE_PAGE_SIZE - 1);
  const uintptr_t end = (start + size) & ~(HUGE_PAGE_SIZE - 1);
  madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)block;
  (void)size;
#endif
}
