#include "ruledb/hash_tbl.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "base/huge_pages.h"
#include "ruledb/little_endian.h"

namespace {

constexpr uint32_t MAX_BUCKETS = 65536;
constexpr uint32_t MAX_ENTRIES = 0xFFFFFFFF;

// A table without buckets (created for 0 elements, failed to create, or
// destroyed) holds nothing and accepts nothing.
bool HasBuckets(const HashTbl* table) { return table->size != 0 && table->buckets != nullptr; }

// The bucket array of `size` buckets: at least one slot, so that an
// initialised table always owns an array.
size_t BucketBytes(uint32_t size) { return (size == 0 ? 1 : size_t{size}) * sizeof(HashTblNode*); }

uint32_t BucketOf(const HashTbl* table, const void* key) {
  return table->hash(key) & (table->size - 1);
}

uint32_t RotateLeft(uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }

uint32_t MurmurMixBlock(uint32_t k) {
  k *= 0xcc9e2d51;
  k = RotateLeft(k, 15);
  return k * 0x1b873593;
}

uint32_t MurmurFinalMix(uint32_t h) {
  h ^= h >> 16;
  h *= 0x85ebca6b;
  h ^= h >> 13;
  h *= 0xc2b2ae35;
  return h ^ (h >> 16);
}

// Folds one whole 4-byte block into the running hash.
uint32_t MurmurAddBlock(uint32_t h, uint32_t block) {
  h ^= MurmurMixBlock(block);
  h = RotateLeft(h, 13);
  return h * 5 + 0xe6546b64;
}

}  // namespace

// Header of one bulk storage block; the node, key and datum arrays follow it
// in the same allocation, each starting at a fundamental alignment.
struct HashTblBlock {
  HashTblBlock* next;  // the table's next (older) block, or null
  HashTblNode* nodes;  // `count` nodes, in map order
  uint32_t count;
  size_t bytes;  // of the whole block, header included
};

namespace {

constexpr size_t BLOCK_ALIGN = alignof(std::max_align_t);

// `offset` rounded up to BLOCK_ALIGN; false on overflow.
bool AlignUp(size_t offset, size_t* aligned) {
  if (__builtin_add_overflow(offset, BLOCK_ALIGN - 1, aligned)) {
    return false;
  }
  *aligned &= ~(BLOCK_ALIGN - 1);
  return true;
}

// *end = start + count * size; false on overflow.
bool ArrayEnd(size_t start, uint32_t count, size_t size, size_t* end) {
  return !__builtin_mul_overflow(size_t{count}, size, end) &&
         !__builtin_add_overflow(*end, start, end);
}

// Byte offsets of the three arrays of a block and its total size.
struct BlockLayout {
  size_t nodes;
  size_t keys;
  size_t datums;
  size_t total;
};

// False when a block of `count` nodes, `keyBytes` and `datumBytes` would not
// fit in size_t.
bool LayBlock(uint32_t count, size_t keyBytes, size_t datumBytes, BlockLayout* layout) {
  size_t nodesEnd = 0;
  size_t keysEnd = 0;
  return AlignUp(sizeof(HashTblBlock), &layout->nodes) &&
         ArrayEnd(layout->nodes, count, sizeof(HashTblNode), &nodesEnd) &&
         AlignUp(nodesEnd, &layout->keys) &&
         !__builtin_add_overflow(layout->keys, keyBytes, &keysEnd) &&
         AlignUp(keysEnd, &layout->datums) &&
         !__builtin_add_overflow(layout->datums, datumBytes, &layout->total);
}

// One side of a batch, keys or datums: record i's field is at
// base + i * stride, and holds either the `size` bytes themselves or, for
// HASH_TBL_TEXT, a pointer to a NUL-terminated text.
// memcpy of `size` bytes, inlined for the sizes of the rule table's key
// and datum: a fill copies millions of them, and a call apiece costs more
// than the copy.
inline void CopyField(void* to, const void* from, size_t size) {
  switch (size) {
    case 8:
      memcpy(to, from, 8);
      break;
    case 4:
      memcpy(to, from, 4);
      break;
    default:
      memcpy(to, from, size);
  }
}

struct BatchField {
  const unsigned char* base;
  size_t stride;
  size_t size;

  // What the table stores, as the hash and compare functions take it.
  const void* At(uint32_t i) const {
    const unsigned char* field = base + size_t{i} * stride;
    if (size != HASH_TBL_TEXT) {
      return field;
    }
    const char* text = nullptr;
    memcpy(&text, field, sizeof(text));  // records need not align the pointer
    return text;
  }
  // Bytes the table keeps of record i's field, a text's NUL included.
  size_t BytesAt(uint32_t i) const {
    return size == HASH_TBL_TEXT ? strlen(static_cast<const char*>(At(i))) + 1 : size;
  }
  // What a node of slot `slot` first points at: a fixed-size field's copy
  // in the block's `array`, read while the records stream by, or the
  // caller's text, copied once its place in map order is known.
  void* Place(uint32_t i, uint32_t slot, unsigned char* array) const {
    if (size == HASH_TBL_TEXT) {
      return const_cast<void*>(At(i));
    }
    unsigned char* copy = array + size_t{slot} * size;
    CopyField(copy, At(i), size);
    return copy;
  }
};

// Orders a bucket's run of new nodes by key, ascending, as its chain keeps
// them. A run from a descending batch already is, at one compare per node.
// False when two keys are equal.
bool SortRun(const HashTbl* table, HashTblNode* first, HashTblNode* last) {
  for (HashTblNode* node = first; node != last && node + 1 != last; node++) {
    const int32_t order = table->cmp(node[0].key, node[1].key);
    if (order == 0) {
      return false;
    }
    if (order > 0) {
      std::sort(first, last, [table](const HashTblNode& a, const HashTblNode& b) {
        return table->cmp(a.key, b.key) < 0;
      });
      return std::adjacent_find(first, last, [table](const HashTblNode& a, const HashTblNode& b) {
               return table->cmp(a.key, b.key) == 0;
             }) == last;
    }
  }
  return true;
}

// Copies the text of every node's key or datum (`member`), in map order,
// to the block's array at `cursor`, and points the node at its copy.
void CopyTextsInMapOrder(HashTblNode* nodes, uint32_t count, void* HashTblNode::*member,
                         unsigned char* cursor) {
  for (uint32_t slot = 0; slot < count; slot++) {
    void*& text = nodes[slot].*member;
    const size_t bytes = strlen(static_cast<const char*>(text)) + 1;
    memcpy(cursor, text, bytes);
    text = cursor;
    cursor += bytes;
  }
}

// Whether a key of `first`..`last` (ascending, contiguous nodes) equals one
// already in the chain `head`. Both are sorted, so one merge walk decides.
bool ChainHoldsAnyOf(const HashTbl* table, const HashTblNode* head, const HashTblNode* first,
                     const HashTblNode* last) {
  for (const HashTblNode* node = first; node != last && head != nullptr; node++) {
    int32_t order = 0;
    while (head != nullptr && (order = table->cmp(head->key, node->key)) < 0) {
      head = head->next;
    }
    if (head != nullptr && order == 0) {
      return true;
    }
  }
  return false;
}

// Links the ascending contiguous nodes `first`..`last` into `link`'s chain,
// each after the stored keys smaller than its own.
void MergeIntoChain(const HashTbl* table, HashTblNode** link, HashTblNode* first,
                    HashTblNode* last) {
  for (HashTblNode* node = first; node != last; node++) {
    while (*link != nullptr && table->cmp((*link)->key, node->key) < 0) {
      link = &(*link)->next;
    }
    node->next = *link;
    *link = node;
    link = &node->next;
  }
}

// The scratch and the storage of one fill. `slots` counts each bucket's
// entries first, then holds where each bucket's run of nodes ends and, once
// every entry is placed from the end of its run backwards, where it
// starts; slots[size] closes the last run. Each entry's bucket follows, so
// that a key is hashed once, then the entry at each slot.
struct Fill {
  uint32_t* slots = nullptr;
  size_t slotBytes = 0;
  uint32_t* bucketOf = nullptr;
  uint32_t* entryAt = nullptr;
  HashTblBlock* block = nullptr;
  BlockLayout layout{};
};

// Counts the entries of each bucket and allocates the block that holds
// them; RULEDB_ENOMEM when either allocation fails.
int32_t PrepareFill(const HashTbl* table, const BatchField& keys, const BatchField& datums,
                    uint32_t count, Fill& fill) {
  fill.slotBytes = (size_t{table->size} + 1 + 2 * size_t{count}) * sizeof(uint32_t);
  fill.slots = static_cast<uint32_t*>(AllocateBlock(fill.slotBytes, true));
  if (fill.slots == nullptr) {
    return RULEDB_ENOMEM;
  }
  fill.bucketOf = fill.slots + table->size + 1;
  fill.entryAt = fill.bucketOf + count;
  // The bytes of the keys and datums; false once a sum overflows, which
  // fails as calloc would.
  size_t keyBytes = 0;
  size_t datumBytes = 0;
  bool sized = true;
  for (uint32_t i = 0; i < count; i++) {
    fill.bucketOf[i] = BucketOf(table, keys.At(i));
    fill.slots[fill.bucketOf[i]]++;
    sized = !__builtin_add_overflow(keyBytes, keys.BytesAt(i), &keyBytes) &&
            !__builtin_add_overflow(datumBytes, datums.BytesAt(i), &datumBytes) && sized;
  }
  if (sized && LayBlock(count, keyBytes, datumBytes, &fill.layout)) {
    fill.block = static_cast<HashTblBlock*>(AllocateBlock(fill.layout.total, true));
  }
  if (fill.block == nullptr) {
    return RULEDB_ENOMEM;
  }
  fill.block->bytes = fill.layout.total;
  return RULEDB_OK;
}

// Writes the nodes in slot order, each bucket's run sorted by key, and
// copies fixed-size keys and datums beside them; RULEDB_EEXIST when a key
// is given twice or is in the table already.
int32_t PlaceEntries(const HashTbl* table, const BatchField& keys, const BatchField& datums,
                     uint32_t count, Fill& fill) {
  auto* base = reinterpret_cast<unsigned char*>(fill.block);
  fill.block->nodes = reinterpret_cast<HashTblNode*>(base + fill.layout.nodes);
  fill.block->count = count;
  uint32_t end = 0;
  for (uint32_t bucket = 0; bucket < table->size; bucket++) {
    end += fill.slots[bucket];
    fill.slots[bucket] = end;
  }
  fill.slots[table->size] = count;
  // Each entry's place lies far from the last one's, a miss of its own:
  // asking for the place a few entries ahead lets the misses overlap.
  constexpr uint32_t WRITE_AHEAD = 16;
  for (uint32_t i = 0; i < count; i++) {
    if (i + WRITE_AHEAD < count) {
      __builtin_prefetch(&fill.entryAt[fill.slots[fill.bucketOf[i + WRITE_AHEAD]] - 1], 1);
    }
    fill.entryAt[--fill.slots[fill.bucketOf[i]]] = i;
  }
  // The nodes, keys and datums are written in slot order and the records
  // read at random, a few ahead: reads can wait side by side, while
  // scattered writes would each claim a line of their own.
  constexpr uint32_t READ_AHEAD = 8;
  for (uint32_t slot = 0; slot < count; slot++) {
    if (slot + READ_AHEAD < count) {
      __builtin_prefetch(keys.base + size_t{fill.entryAt[slot + READ_AHEAD]} * keys.stride);
    }
    const uint32_t i = fill.entryAt[slot];
    HashTblNode* node = &fill.block->nodes[slot];
    node->key = keys.Place(i, slot, base + fill.layout.keys);
    if (datums.size != 0) {
      node->datum = datums.Place(i, slot, base + fill.layout.datums);
    }
  }
  for (uint32_t bucket = 0; bucket < table->size; bucket++) {
    HashTblNode* first = &fill.block->nodes[fill.slots[bucket]];
    HashTblNode* last = &fill.block->nodes[fill.slots[bucket + 1]];
    if (!SortRun(table, first, last) ||
        (table->nel != 0 && ChainHoldsAnyOf(table, table->buckets[bucket], first, last))) {
      return RULEDB_EEXIST;
    }
  }
  return RULEDB_OK;
}

// Copies the texts into the block in map order and links every node into
// its chain; the block joins the table's list.
void LinkFill(HashTbl* table, const BatchField& keys, const BatchField& datums, Fill& fill) {
  auto* base = reinterpret_cast<unsigned char*>(fill.block);
  if (keys.size == HASH_TBL_TEXT) {
    CopyTextsInMapOrder(fill.block->nodes, fill.block->count, &HashTblNode::key,
                        base + fill.layout.keys);
  }
  if (datums.size == HASH_TBL_TEXT) {
    CopyTextsInMapOrder(fill.block->nodes, fill.block->count, &HashTblNode::datum,
                        base + fill.layout.datums);
  }
  for (uint32_t bucket = 0; bucket < table->size; bucket++) {
    MergeIntoChain(table, &table->buckets[bucket], &fill.block->nodes[fill.slots[bucket]],
                   &fill.block->nodes[fill.slots[bucket + 1]]);
  }
  fill.block->next = table->blocks;
  table->blocks = fill.block;
  table->nel += fill.block->count;
  fill.block = nullptr;
}

}  // namespace

uint32_t HashTblBucketCount(uint32_t n) {
  if (n == 0) {
    return 0;
  }
  if (n >= MAX_BUCKETS) {
    return MAX_BUCKETS;
  }
  uint32_t count = 1;
  while (count <= n) {
    count <<= 1;
  }
  return count;
}

int32_t HashTblInit(HashTbl* table, uint32_t size, HashTblHashFunc hash, HashTblCmpFunc cmp) {
  table->size = size;
  table->hash = hash;
  table->cmp = cmp;
  table->nel = 0;
  table->blocks = nullptr;
  table->buckets = static_cast<HashTblNode**>(AllocateBlock(BucketBytes(size), true));
  if (table->buckets == nullptr) {
    table->hash = nullptr;
    table->cmp = nullptr;
    table->size = 0;
    return RULEDB_ENOMEM;
  }
  return RULEDB_OK;
}

int32_t HashTblInsert(HashTbl* table, void* key, void* datum) {
  if (!HasBuckets(table) || table->nel == MAX_ENTRIES || table->blocks != nullptr) {
    return RULEDB_EINVAL;
  }
  HashTblNode** link = &table->buckets[BucketOf(table, key)];
  for (; *link != nullptr; link = &(*link)->next) {
    int32_t order = table->cmp(key, (*link)->key);
    if (order == 0) {
      return RULEDB_EEXIST;
    }
    if (order < 0) {
      break;
    }
  }
  auto* node = static_cast<HashTblNode*>(calloc(1, sizeof(HashTblNode)));
  if (node == nullptr) {
    return RULEDB_ENOMEM;
  }
  node->key = key;
  node->datum = datum;
  node->next = *link;
  *link = node;
  table->nel++;
  return RULEDB_OK;
}

int32_t HashTblFill(HashTbl* table, const HashTblEntries* entries) {
  const uint32_t count = entries->count;
  if (count == 0) {
    return RULEDB_OK;
  }
  // A table takes either fills or single inserts, never both.
  if (!HasBuckets(table) || MAX_ENTRIES - table->nel < count || entries->keySize == 0 ||
      (table->nel != 0 && table->blocks == nullptr)) {
    return RULEDB_EINVAL;
  }
  const BatchField keys{static_cast<const unsigned char*>(entries->keys), entries->stride,
                        entries->keySize};
  const BatchField datums{static_cast<const unsigned char*>(entries->datums), entries->stride,
                          entries->datumSize};
  Fill fill;
  int32_t status = PrepareFill(table, keys, datums, count, fill);
  if (status == RULEDB_OK) {
    status = PlaceEntries(table, keys, datums, count, fill);
  }
  if (status == RULEDB_OK) {
    LinkFill(table, keys, datums, fill);
  }
  if (fill.block != nullptr) {
    ReleaseBlock(fill.block, fill.block->bytes);
  }
  ReleaseBlock(fill.slots, fill.slotBytes);
  return status;
}

HashTblNode* HashTblSearch(const HashTbl* table, const void* key) {
  if (!HasBuckets(table)) {
    return nullptr;
  }
  for (HashTblNode* node = table->buckets[BucketOf(table, key)]; node != nullptr;
       node = node->next) {
    int32_t order = table->cmp(key, node->key);
    if (order == 0) {
      return node;
    }
    if (order < 0) {
      break;  // chains are sorted: the key cannot come later
    }
  }
  return nullptr;
}

int32_t HashTblMap(const HashTbl* table, HashTblMapFunc callback, void* arg) {
  if (!HasBuckets(table)) {
    return RULEDB_OK;
  }
  for (uint32_t bucket = 0; bucket < table->size; bucket++) {
    for (HashTblNode* node = table->buckets[bucket]; node != nullptr; node = node->next) {
      int32_t status = callback(node->key, node->datum, arg);
      if (status != 0) {
        return status;
      }
    }
  }
  return RULEDB_OK;
}

void HashTblDestroy(HashTbl* table) {
  if (table->buckets == nullptr) {
    return;
  }
  // A filled table's entries go with its blocks; an inserted one's one by one.
  for (uint32_t bucket = 0; table->blocks == nullptr && bucket < table->size; bucket++) {
    for (HashTblNode* node = table->buckets[bucket]; node != nullptr;) {
      HashTblNode* next = node->next;
      free(node->key);
      free(node->datum);
      free(node);
      node = next;
    }
  }
  while (table->blocks != nullptr) {
    HashTblBlock* next = table->blocks->next;
    ReleaseBlock(table->blocks, table->blocks->bytes);
    table->blocks = next;
  }
  ReleaseBlock(table->buckets, BucketBytes(table->size));
  table->buckets = nullptr;
}

uint32_t MurmurHash3X86(const void* data, size_t length, uint32_t seed) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  const size_t blockBytes = length & ~static_cast<size_t>(3);
  uint32_t h = seed;
  for (size_t i = 0; i < blockBytes; i += 4) {
    h = MurmurAddBlock(h, LoadU32Le(bytes + i));
  }
  // The 1 to 3 tail bytes form one little-endian partial block.
  uint32_t tail = 0;
  for (size_t i = length; i > blockBytes; i--) {
    tail = (tail << 8) | bytes[i - 1];
  }
  if (length > blockBytes) {
    h ^= MurmurMixBlock(tail);
  }
  return MurmurFinalMix(h ^ static_cast<uint32_t>(length));
}

uint32_t StrTblHash(const void* key) {
  return MurmurHash3X86(key, strlen(static_cast<const char*>(key)), 0);
}

int32_t StrTblCmp(const void* a, const void* b) {
  return strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
}

int32_t StrTblInit(HashTbl* table, uint32_t expectedCount) {
  return HashTblInit(table, HashTblBucketCount(expectedCount), StrTblHash, StrTblCmp);
}

int32_t StrTblInsert(HashTbl* table, char* key, void* datum) {
  return HashTblInsert(table, key, datum);
}

HashTblNode* StrTblSearch(const HashTbl* table, const char* key) {
  return HashTblSearch(table, key);
}

int32_t StrTblMap(const HashTbl* table, HashTblMapFunc callback, void* arg) {
  return HashTblMap(table, callback, arg);
}

void StrTblDestroy(HashTbl* table) { HashTblDestroy(table); }
