// Memory for large blocks: the file texts, the JSON documents, the model's
// arrays and name pools, the hash tables and the output image all take
// their blocks here.
//
// Each first touch of a 4 KiB page is a page fault, and on a virtual
// machine a fault costs microseconds: a block of tens of megabytes costs
// thousands of them. A large block is therefore whole 2 MiB pages of a
// mapping of its own, advised for huge pages: where transparent huge pages
// are on (in madvise mode too) it costs one fault per 2 MiB. polc loads
// file after file into blocks alike, and a fresh block would come back as
// fresh pages, to be faulted in and cleared again: the blocks of a file
// are therefore released with KeepBlock, which keeps a few for the next
// block of their size. Smaller blocks come from malloc. Safe to use from
// several threads.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <vector>

inline constexpr size_t HUGE_PAGE_SIZE = size_t{2} << 20;
// Blocks below this come from malloc: a huge page would mostly lie unused.
inline constexpr size_t LARGE_BLOCK_MIN = size_t{256} << 10;
inline constexpr size_t KEPT_BLOCK_MAX = size_t{16} << 20;

// A block of `size` bytes, aligned for any type, or null when memory is
// short; with `zeroed` every byte is 0.
void* AllocateBlock(size_t size, bool zeroed = false);
// Releases `block`, from AllocateBlock(`size`); null is ignored.
void ReleaseBlock(void* block, size_t size);
// The same for a block whose size is likely to come again: a large one of
// up to KEPT_BLOCK_MAX bytes is kept, while few are, for the next block of
// its size.
void KeepBlock(void* block, size_t size);
// Unmaps the kept blocks: for when no more blocks of their sizes will come.
void DropKeptBlocks();

// Gives back the memory of the whole pages inside [from, to), which read as
// zero afterwards: for a large block, or a part of one, whose contents will
// not be read again. A huge page is split to give back a part of it.
void DiscardPages(void* from, void* to);
// Moves the pages of [from, from + bytes) of a block of AllocateBlock to
// `to`, in place of those there, leaving the first range as DiscardPages
// would, but without giving its pages back: they need no clearing where they
// land. All three are multiples of HUGE_PAGE_SIZE. False, with nothing
// moved, where the system cannot.
bool MovePages(void* from, void* to, size_t bytes);

// Advises huge pages for the whole 2 MiB pages inside [block, block + size)
// of at least 4 MiB, for blocks from elsewhere (std::string, std::vector).
void AdviseHugePages(void* block, size_t size);

// Releases a block of AllocateBlock of `size` bytes, as a unique_ptr's
// deleter; with `keep`, by KeepBlock.
struct BlockRelease {
  size_t size;
  bool keep = false;
  void operator()(void* block) const {
    if (keep) {
      KeepBlock(block, size);
    } else {
      ReleaseBlock(block, size);
    }
  }
};
template <typename T>
using BlockPtr = std::unique_ptr<T, BlockRelease>;

// An uninitialised block of `count` T, released with `release`'s `keep`;
// null when memory is short.
template <typename T>
BlockPtr<T> NewBlock(size_t count, bool keep = false) {
  return BlockPtr<T>(static_cast<T*>(AllocateBlock(count * sizeof(T))),
                     BlockRelease{count * sizeof(T), keep});
}

// The allocator of vectors that grow to megabytes: their large blocks come
// from AllocateBlock, the small ones from operator new, as for any vector.
template <typename T>
struct HugePageAllocator {
  using value_type = T;
  HugePageAllocator() = default;
  template <typename U>
  explicit HugePageAllocator(const HugePageAllocator<U>&) noexcept {}
  T* allocate(size_t n) {
    if (n * sizeof(T) < LARGE_BLOCK_MIN) return std::allocator<T>().allocate(n);
    void* block = AllocateBlock(n * sizeof(T));
    if (block == nullptr) throw std::bad_alloc();
    return static_cast<T*>(block);
  }
  void deallocate(T* block, size_t n) noexcept {
    if (n * sizeof(T) < LARGE_BLOCK_MIN) {
      std::allocator<T>().deallocate(block, n);
    } else {
      ReleaseBlock(block, n * sizeof(T));
    }
  }
  friend bool operator==(const HugePageAllocator&, const HugePageAllocator&) = default;
};

template <typename T>
using HugePageVector = std::vector<T, HugePageAllocator<T>>;
