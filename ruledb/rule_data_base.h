// The compiled policy: numbered symbols, labeled objects, file contexts,
// type-to-attribute lists and rules, in plain heap records and hash tables.
//
// A new RuleDataBase is entirely zero. The compiler fills it, RuleDataBaseWrite
// serialises it, RuleDataBaseRead rebuilds one from a binary image. Every
// string, record, array, key and datum reachable from it is a separate calloc'd
// block owned by the database and released only by RuleDataBaseDestory; the
// record itself belongs to whoever allocated it. The exception: entries added
// by RuleTblFill or StrTblFill share their table's bulk storage blocks
// (hash_tbl.h).
//
// Failures are reported to the system log (ruledb/sys_log.h) as
// " [VARO][<operation> <site>] <message>\n".
#ifndef POLC_RULEDB_RULE_DATA_BASE_H_
#define POLC_RULEDB_RULE_DATA_BASE_H_

#include <cstddef>
#include <cstdint>

#include "ruledb/hash_tbl.h"

// Bits of RuleDataBase::flags: which optional parts are present. The object
// bits are set exactly when the matching objCtxs list is non-empty.
constexpr uint32_t FLAG_INITIAL_SID = 0x01;
constexpr uint32_t FLAG_NETIF = 0x02;
constexpr uint32_t FLAG_PACKET = 0x04;
constexpr uint32_t FLAG_FILE_CONTEXT = 0x08;
constexpr uint32_t FLAG_TYPEATTR = 0x10;
// Every bit above; the writer sets no other.
constexpr uint32_t FLAG_KNOWN =
    FLAG_INITIAL_SID | FLAG_NETIF | FLAG_PACKET | FLAG_FILE_CONTEXT | FLAG_TYPEATTR;

// Index into RuleDataBase::objCtxs.
enum ObjCtxKind : uint32_t {
  OBJ_CTX_INITIAL_SID = 0,
  OBJ_CTX_NETIF = 1,
  OBJ_CTX_PACKET = 2,
  OBJ_CTX_KIND_COUNT = 3,
};

// One labeled object. Only the fields of the list's kind are used; the others
// stay zero.
struct ObjCtx {
  uint32_t sid;                 // initial sid: 1 kernel, 2 varo, 3 unlabeled, 4 proc, 0 other
  char* name;                   // netif: owned NUL-terminated interface name
  uint32_t sourceAddress;       // packet
  uint32_t sourceMask;          // packet
  uint32_t destinationAddress;  // packet
  uint32_t destinationMask;     // packet
  uint16_t sportStart;          // packet
  uint16_t sportEnd;            // packet
  uint16_t dportStart;          // packet
  uint16_t dportEnd;            // packet
  uint16_t protocol;            // packet
  uint16_t type;                // every kind: symbol value of the object's context
  ObjCtx* next;                 // next record of the list, or null
};

// One entry of typeToAttrsArr.
struct TypeAttrs {
  uint16_t count;    // number of values; never 0 in a compiled policy
  uint16_t* values;  // owned array of `count` symbol values, or null
};

// Values of RuleTblKey::specified.
constexpr uint16_t RULE_GRANT = 1;
constexpr uint16_t RULE_TRANSITION = 2;

// How many symbol values a rule key, a labeled object or a type-attribute
// entry can name: they hold 16-bit values.
constexpr uint32_t SYMBOL_VALUE_COUNT = uint32_t{UINT16_MAX} + 1;

struct RuleTblKey {
  uint16_t source;     // symbol value of the subject
  uint16_t target;     // symbol value of the object
  uint16_t tclass;     // class number 1 to 30
  uint16_t specified;  // RULE_GRANT or RULE_TRANSITION

  bool operator==(const RuleTblKey&) const = default;
};
static_assert(sizeof(RuleTblKey) == 8);

// The key's 8 bytes as hashed and stored in the binary policy: the four
// fields as little-endian u16 values, in field order.
constexpr size_t RULE_TBL_KEY_BYTES = 8;
void RuleTblKeyToBytes(const RuleTblKey* key, uint8_t bytes[RULE_TBL_KEY_BYTES]);
RuleTblKey RuleTblKeyFromBytes(const uint8_t bytes[RULE_TBL_KEY_BYTES]);

struct RuleTblDatum {
  uint32_t value;  // grant: OR of operation bits; transition: symbol value of the target
};
static_assert(sizeof(RuleTblDatum) == 4);

struct RuleDataBase {
  uint32_t version;  // set by RuleDataBaseRead from the header; the writer always writes 1
  uint32_t flags;    // FLAG_* bits
  HashTbl symTbl;    // name (char*) to value (uint32_t block, 0 to nel - 1)
  char** symNames;   // owned array of nel name pointers, filled only by RuleDataBaseRead;
                     // the names belong to symTbl
  HashTbl ruleTbl;   // RuleTblKey to RuleTblDatum
  ObjCtx* objCtxs[OBJ_CTX_KIND_COUNT];  // owned lists, indexed by ObjCtxKind
  HashTbl fileCtxTbl;                   // path (char*) to context name (char*)
  TypeAttrs* typeToAttrsArr;            // owned array indexed by symbol value
  uint32_t typeToAttrsCount;            // entries of typeToAttrsArr; whoever allocates the
                                        // array sets it (the symbol count)
};

// The rule table: key a RuleTblKey, datum a RuleTblDatum.
uint32_t RuleTblHash(const void* key);  // MurmurHash3 (seed 0) of the 8 key bytes
// Compares source, target, tclass, specified in this order; the difference of
// the first pair that differs, or 0.
int32_t RuleTblCmp(const void* a, const void* b);
int32_t RuleTblInit(HashTbl* table, uint32_t expectedCount);  // HashTblBucketCount buckets
HashTblNode* RuleTblSearch(const HashTbl* table, const RuleTblKey* key);
void RuleTblDestroy(HashTbl* table);

// Copies key and datum into fresh blocks and inserts them. RULEDB_EINVAL on any
// failure, an equal key included, after one log line; the table is then
// unchanged and the caller's key and datum are untouched either way.
int32_t RuleTblInsert(HashTbl* table, const RuleTblKey* key, const RuleTblDatum* datum);

// Links `count` rules into the table in one pass, with bulk storage
// (HashTblFill): entry i's key is at keys + i * stride and its datum at
// datums + i * stride (byte offsets), so an array of records holding both is
// read in place. Keys must be distinct; strictly descending RuleTblCmp order
// is the cheapest. The table may hold rules of earlier fills, not inserted
// ones; the result is the table that RuleTblInsert of each rule would give.
// On failure, after one log line: RULEDB_ENOMEM when memory ran out,
// RULEDB_EEXIST for a key given twice or already stored, RULEDB_EINVAL
// otherwise (no buckets, table full, inserted rules); the table is then
// unchanged.
int32_t RuleTblFill(HashTbl* table, const RuleTblKey* keys, const RuleTblDatum* datums,
                    size_t stride, uint32_t count);

// The same for a string table (symTbl, fileCtxTbl): entry i's key is the
// NUL-terminated text that the pointer at keys + i * stride points to, and
// its datum the datumSize bytes at datums + i * stride or, with datumSize
// HASH_TBL_TEXT, the text that the pointer there points to. The table keeps
// copies of the texts, NULs included, and of the datums in its bulk storage,
// so the caller's texts may go once it returns. Keys in any order, distinct
// by strcmp; the result is the table that StrTblInsert of heap copies would
// give. Failures as RuleTblFill's.
int32_t StrTblFill(HashTbl* table, const char* const* keys, const void* datums, size_t datumSize,
                   size_t stride, uint32_t count);

// Releases everything the database owns, in any state of filling, and leaves
// null pointers behind (version, flags and the tables' counts stay). Walks
// typeToAttrsArr only up to typeToAttrsCount. Repeating it does nothing.
void RuleDataBaseDestory(RuleDataBase* db);

#endif  // POLC_RULEDB_RULE_DATA_BASE_H_
