#include "ruledb/hash_tbl.h"

#include <cstdlib>
#include <cstring>

#include "ruledb/little_endian.h"
#include "ruledb/rule_data_base.h"

namespace {

constexpr uint32_t MAX_BUCKETS = 65536;
constexpr uint32_t MAX_ENTRIES = 0xFFFFFFFF;

// A table without buckets (created for 0 elements, failed to create, or
// destroyed) holds nothing and accepts nothing.
bool HasBuckets(const HashTbl* table) { return table->size != 0 && table->buckets != nullptr; }

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
  // At least one slot, so that an initialised table always owns an array,
  // whatever calloc does with a zero size.
  table->buckets = static_cast<HashTblNode**>(calloc(size == 0 ? 1 : size, sizeof(HashTblNode*)));
  if (table->buckets == nullptr) {
    table->hash = nullptr;
    table->cmp = nullptr;
    table->size = 0;
    return RULEDB_ENOMEM;
  }
  return RULEDB_OK;
}

int32_t HashTblInsert(HashTbl* table, void* key, void* datum) {
  if (!HasBuckets(table) || table->nel == MAX_ENTRIES) {
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
  for (uint32_t bucket = 0; bucket < table->size; bucket++) {
    HashTblNode* node = table->buckets[bucket];
    while (node != nullptr) {
      HashTblNode* next = node->next;
      free(node->key);
      free(node->datum);
      free(node);
      node = next;
    }
    table->buckets[bucket] = nullptr;
  }
  free(table->buckets);
  table->buckets = nullptr;
}

uint32_t MurmurHash3X86(const void* data, size_t length, uint32_t seed) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  const size_t blockBytes = length & ~static_cast<size_t>(3);
  uint32_t h = seed;
  for (size_t i = 0; i < blockBytes; i += 4) {
    h ^= MurmurMixBlock(LoadU32Le(bytes + i));
    h = RotateLeft(h, 13);
    h = h * 5 + 0xe6546b64;
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

uint32_t RuleTblHash(const void* key) {
  uint8_t bytes[RULE_TBL_KEY_BYTES];
  RuleTblKeyToBytes(static_cast<const RuleTblKey*>(key), bytes);
  return MurmurHash3X86(bytes, sizeof(bytes), 0);
}

int32_t RuleTblCmp(const void* a, const void* b) {
  const auto* left = static_cast<const RuleTblKey*>(a);
  const auto* right = static_cast<const RuleTblKey*>(b);
  const uint16_t leftFields[] = {left->source, left->target, left->tclass, left->specified};
  const uint16_t rightFields[] = {right->source, right->target, right->tclass, right->specified};
  for (size_t i = 0; i < 4; i++) {
    if (leftFields[i] != rightFields[i]) {
      return static_cast<int32_t>(leftFields[i]) - static_cast<int32_t>(rightFields[i]);
    }
  }
  return 0;
}

int32_t RuleTblInit(HashTbl* table, uint32_t expectedCount) {
  return HashTblInit(table, HashTblBucketCount(expectedCount), RuleTblHash, RuleTblCmp);
}

HashTblNode* RuleTblSearch(const HashTbl* table, const RuleTblKey* key) {
  return HashTblSearch(table, key);
}

void RuleTblDestroy(HashTbl* table) { HashTblDestroy(table); }
