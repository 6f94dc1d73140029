// Blocks of AllocateBlock: where each size comes from, what a reused block
// holds, which block a kept one serves, and that none is left mapped.
#include "base/huge_pages.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "tests/support/polc_test.h"

namespace {

// Whether any page of [block, block + size) is still mapped.
bool Mapped(void* block, size_t size) {
  const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> resident((size + page - 1) / page);
  return mincore(block, size, resident.data()) == 0;
}

bool AllBytesAre(const void* block, size_t size, uint8_t value) {
  const auto* bytes = static_cast<const uint8_t*>(block);
  return std::all_of(bytes, bytes + size, [value](uint8_t byte) { return byte == value; });
}

TEST(HugePages, LargeBlocksAreWholeHugePagesZeroedWhenAskedEvenWhenReused) {
  for (const size_t size : {LARGE_BLOCK_MIN, HUGE_PAGE_SIZE, HUGE_PAGE_SIZE + 1, KEPT_BLOCK_MAX}) {
    void* block = AllocateBlock(size, true);
    ASSERT_NE(block, nullptr) << size;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % HUGE_PAGE_SIZE, 0u) << size;
    EXPECT_TRUE(AllBytesAre(block, size, 0)) << size;
    std::memset(block, 0x5A, size);
    KeepBlock(block, size);
    void* again = AllocateBlock(size, true);
    EXPECT_EQ(again, block) << "kept for the next block of its size: " << size;
    EXPECT_TRUE(AllBytesAre(again, size, 0)) << size;
    ReleaseBlock(again, size);
  }
}

TEST(HugePages, AKeptBlockServesOnlyBlocksOfItsOwnPages) {
  void* kept = AllocateBlock(HUGE_PAGE_SIZE);
  ASSERT_NE(kept, nullptr);
  std::memset(kept, 0x5A, HUGE_PAGE_SIZE);
  KeepBlock(kept, HUGE_PAGE_SIZE);
  void* larger = AllocateBlock(HUGE_PAGE_SIZE + 1);
  EXPECT_NE(larger, kept);
  void* smaller = AllocateBlock(LARGE_BLOCK_MIN);
  EXPECT_EQ(smaller, kept) << "both take one huge page";
  EXPECT_TRUE(AllBytesAre(smaller, LARGE_BLOCK_MIN, 0x5A)) << "not cleared unless asked";
  ReleaseBlock(larger, HUGE_PAGE_SIZE + 1);
  ReleaseBlock(smaller, LARGE_BLOCK_MIN);
  DropKeptBlocks();
}

TEST(HugePages, EveryBlockGivenBackIsUnmappedOnceTheKeptOnesAreDropped) {
  std::vector<void*> blocks;
  for (int i = 0; i < 32; ++i) blocks.push_back(AllocateBlock(HUGE_PAGE_SIZE));
  void* tooLarge = AllocateBlock(KEPT_BLOCK_MAX + 1);
  KeepBlock(tooLarge, KEPT_BLOCK_MAX + 1);
  EXPECT_FALSE(Mapped(tooLarge, KEPT_BLOCK_MAX + 1)) << "too large to keep";
  for (void* block : blocks) KeepBlock(block, HUGE_PAGE_SIZE);
  DropKeptBlocks();
  for (void* block : blocks) EXPECT_FALSE(Mapped(block, HUGE_PAGE_SIZE)) << "none leaks";
}

TEST(HugePages, SmallBlocksAndOnlyThoseComeFromMalloc) {
  for (const size_t size : {size_t{1}, LARGE_BLOCK_MIN - 1, LARGE_BLOCK_MIN}) {
    const bool small = size < LARGE_BLOCK_MIN;
    for (const bool zeroed : {false, true}) {
      void* block = nullptr;
      bool fired = false;
      {
        const polc_test::AllocationFault fault(1);
        block = AllocateBlock(size, zeroed);
        fired = fault.Fired();
      }
      EXPECT_EQ(fired, small) << size;
      EXPECT_EQ(block == nullptr, small) << size;
      ReleaseBlock(block, size);
    }
  }
}

}  // namespace
