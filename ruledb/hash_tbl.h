// Chained hash table with caller-supplied hash and compare functions and
// chains kept in ascending key order, and the string table, its instance for
// NUL-terminated keys (the rule table, for RuleTblKey keys, is declared in
// rule_data_base.h).
//
// The table never grows: the bucket count is fixed at creation from the number
// of entries the caller expects (HashTblBucketCount). HashTblMap visits buckets
// in ascending index and each chain in ascending key order; the binary policy
// records follow that order, so hash functions and bucket counts are part of
// the file format.
//
// Ownership: keys and datums are separate calloc'd heap blocks that belong to
// the table once an insert succeeds and are released (free) by HashTblDestroy.
// A failed insert leaves both with the caller and the table unchanged.
// The table logs nothing; callers log.
//
// Bulk storage: HashTblFill links a whole batch of entries and takes their
// nodes, keys and datums from one calloc'd block instead of three blocks per
// entry. Inside the block the nodes, then the keys, then the datums lie in
// map order (fixed-size keys and datums of a batch out of descending order
// excepted), so a map over a table filled that way reads three arrays front
// to back rather than chasing nodes scattered over the heap, and destroying
// it is one free per block. A table takes either fills or single inserts,
// never both: the reader inserts, the compiler fills, so destroy knows from
// the table alone how its entries were allocated.
#ifndef POLC_RULEDB_HASH_TBL_H_
#define POLC_RULEDB_HASH_TBL_H_

#include <cstddef>
#include <cstdint>

// Status codes of the rule database (hash table, rule table, binary format).
constexpr int32_t RULEDB_OK = 0;
constexpr int32_t RULEDB_ENOMEM = -12;  // an allocation failed
constexpr int32_t RULEDB_EEXIST = -17;  // insert of a key equal to a stored one
constexpr int32_t RULEDB_EINVAL = -22;  // no buckets, full table, bad or truncated data, no room

using HashTblHashFunc = uint32_t (*)(const void* key);
// Negative, 0 or positive as a orders before, equal to or after b.
using HashTblCmpFunc = int32_t (*)(const void* a, const void* b);
// Called by HashTblMap for each entry; a non-zero result stops the walk.
using HashTblMapFunc = int32_t (*)(void* key, void* datum, void* arg);

struct HashTblNode {
  void* key;          // owned heap block, or inside the node's bulk block
  void* datum;        // owned heap block, or inside the node's bulk block
  HashTblNode* next;  // next node of the chain (larger key), or null
};

// One block of bulk storage; its layout is private to hash_tbl.cc.
struct HashTblBlock;

struct HashTbl {
  HashTblNode** buckets;  // owned array of `size` chain heads; null before init and after destroy
  HashTblHashFunc hash;
  HashTblCmpFunc cmp;
  uint32_t size;         // bucket count, 0 or a power of two
  uint32_t nel;          // stored entries, bulk ones included; kept by destroy
  HashTblBlock* blocks;  // owned list of bulk storage blocks, newest first; null unless filled
};

// The smallest power of two strictly above n, capped at 65536; 0 for n = 0.
uint32_t HashTblBucketCount(uint32_t n);

// Sets up an empty table of `size` buckets (0 allowed: every insert then fails
// with RULEDB_EINVAL). RULEDB_ENOMEM when the bucket array cannot be allocated;
// the table then has size 0 and no functions.
int32_t HashTblInit(HashTbl* table, uint32_t size, HashTblHashFunc hash, HashTblCmpFunc cmp);

// Links key and datum into the key's chain at its sorted place.
// RULEDB_EINVAL: size 0, already 4294967295 entries, or a table that was
// filled; RULEDB_EEXIST: an equal key is stored; RULEDB_ENOMEM: no node. On
// failure nothing changes.
int32_t HashTblInsert(HashTbl* table, void* key, void* datum);

// HashTblEntries::keySize or datumSize of a batch of texts: the record
// holds a pointer to a NUL-terminated text, and the table stores a copy of
// the text, NUL included, as the key or datum (the string table's form).
constexpr size_t HASH_TBL_TEXT = SIZE_MAX;

// A batch for HashTblFill, read in place: entry i's key is the keySize bytes
// at keys + i * stride and its datum the datumSize bytes at datums + i * stride
// (byte offsets), as in an array of records holding both; either size may be
// HASH_TBL_TEXT instead. Keys may come in any order, but a batch in strictly
// descending order of the table's cmp (the order in which one-by-one
// insertion puts every entry at its chain's head, and the one the compiler
// sorts its rules in) costs the least: its entries need no sorting. keySize
// must not be 0; with datumSize 0 every datum is null.
struct HashTblEntries {
  const void* keys;
  const void* datums;
  size_t stride;
  size_t keySize;
  size_t datumSize;
  uint32_t count;
};

// Copies the batch into one new block of bulk storage and links every entry
// into its chain at its sorted place: afterwards the table is the same, chain
// for chain, as after HashTblInsert of each entry into a table that held
// what this one holds. The table must be empty or filled before: the new
// entries are merged in between the nodes of earlier fills. An empty batch
// does nothing. RULEDB_EINVAL: size 0, too many entries for nel, keySize 0,
// or a table holding inserted entries; RULEDB_EEXIST: two equal keys in the
// batch, or one equal to a stored key; RULEDB_ENOMEM: no block (or no
// scratch counts). On failure nothing changes and nothing is kept.
int32_t HashTblFill(HashTbl* table, const HashTblEntries* entries);

// The node holding an equal key, or null.
HashTblNode* HashTblSearch(const HashTbl* table, const void* key);

// Calls `callback` for every entry in map order; returns 0, or the first
// non-zero callback result (the remaining entries are not visited).
int32_t HashTblMap(const HashTbl* table, HashTblMapFunc callback, void* arg);

// Releases every key, datum and node, the bulk storage blocks and the bucket
// array. `size` and `nel` keep their values; a second call does nothing. A destroyed table behaves
// as one without buckets: inserts fail, searches find nothing, maps visit nothing.
void HashTblDestroy(HashTbl* table);

// MurmurHash3, x86 32-bit variant; 4-byte blocks are read little-endian
// whatever the host order or alignment.
uint32_t MurmurHash3X86(const void* data, size_t length, uint32_t seed);

// String table: key a NUL-terminated string, datum any heap block.
uint32_t StrTblHash(const void* key);  // MurmurHash3 (seed 0) of the bytes before the NUL
int32_t StrTblCmp(const void* a, const void* b);             // strcmp
int32_t StrTblInit(HashTbl* table, uint32_t expectedCount);  // HashTblBucketCount buckets
int32_t StrTblInsert(HashTbl* table, char* key, void* datum);
// StrTblFill, a string table's bulk fill, is declared in rule_data_base.h.
HashTblNode* StrTblSearch(const HashTbl* table, const char* key);
int32_t StrTblMap(const HashTbl* table, HashTblMapFunc callback, void* arg);
void StrTblDestroy(HashTbl* table);

#endif  // POLC_RULEDB_HASH_TBL_H_
