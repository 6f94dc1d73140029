// Binary policy image: RuleDataBaseWrite serialises a RuleDataBase into a
// caller-supplied buffer, RuleDataBaseRead rebuilds one from such bytes.
//
// Layout. All integers are unsigned little-endian (u16 2 bytes, u32 4 bytes),
// packed with no alignment, padding, checksum or end marker. A string is its
// bytes without NUL, preceded (not always immediately) by its u32 length L,
// which is never 0 (the reader refuses 0 and 4294967295).
//
//   Header, 20 bytes: u32 magic 0x5641524F, u32 version (1), u32 flags
//   (FLAG_* of rule_data_base.h), u32 symbol table count (1), u32 object
//   context kinds (3).
//   1. Symbols, always: u32 N, then N records {u32 L, u32 value < N, L name bytes}.
//   2. Object contexts: for kind 0, 1, 2 in this order, exactly when the kind's
//      flag (0x01, 0x02, 0x04) is set, u32 count then the records in list order:
//        initial sid {u32 sid, u16 type}                         6 bytes
//        netif       {u32 L, u16 type, L name bytes}             6 + L bytes
//        packet      {u32 sourceAddress, sourceMask, destinationAddress,
//                     destinationMask, u16 sportStart, sportEnd, dportStart,
//                     dportEnd, protocol, type}                  28 bytes
//   3. File contexts, when flags has 0x08: u32 F, then F records
//      {u32 Lp, u32 Lc, Lp path bytes, Lc context bytes}.
//   4. Type attributes, when flags has 0x10: no count of its own; one entry per
//      symbol value 0 .. N' - 1, N' being the low 16 bits of N:
//      {u16 K >= 1, K u16 values}.
//   5. Rules, always: u32 R, then R records
//      {u16 source, u16 target, u16 tclass, u16 specified, u32 datum}.
// The image ends after the last rule; bytes after it are not examined.
// Records of sections 1, 3 and 5 appear in HashTblMap order, so they depend on
// the tables' bucket counts; the reader sizes its tables from the counts in the
// image, which makes write(read(image)) == image.
#ifndef POLC_RULEDB_POLICY_BINARY_H_
#define POLC_RULEDB_POLICY_BINARY_H_

#include <cstddef>
#include <cstdint>

#include "ruledb/rule_data_base.h"

constexpr uint32_t POLICY_MAGIC = 0x5641524F;
constexpr uint32_t POLICY_VERSION = 1;
constexpr uint32_t POLICY_SYM_CNT = 1;
constexpr uint32_t POLICY_OBJ_CNT = OBJ_CTX_KIND_COUNT;
constexpr size_t POLICY_HEADER_SIZE = 20;
// Smallest size of one record of each section. A count is refused before
// anything is allocated for it when the bytes left cannot hold that many.
constexpr uint64_t POLICY_SYMBOL_RECORD_MIN = 8;
constexpr uint64_t POLICY_OBJ_CTX_RECORD_MIN[OBJ_CTX_KIND_COUNT] = {6, 6, 28};
constexpr uint64_t POLICY_FILE_CTX_RECORD_MIN = 8;
constexpr uint64_t POLICY_TYPEATTR_ENTRY_MIN = 4;  // the count and at least one value
constexpr uint64_t POLICY_RULE_RECORD_SIZE = 12;
// The flag of each object context kind, indexed by ObjCtxKind.
constexpr uint32_t POLICY_OBJ_CTX_FLAGS[OBJ_CTX_KIND_COUNT] = {FLAG_INITIAL_SID, FLAG_NETIF,
                                                               FLAG_PACKET};
// Type-attribute entries: the low 16 bits of the symbol count.
constexpr uint32_t POLICY_TYPEATTR_INDEX_MASK = 0xFFFF;
// The largest image polc writes: the size of its serialisation buffer.
constexpr size_t POLICY_BUFFER_SIZE = 0x4000000;  // 64 MiB

struct PolicySink;

// What a failed read says beside its status, for a reader that shows it:
// the text of its system-log line ("Read symbol table failed", "Mismatched
// magic number") and the values it names ("magic=0x1"). Both empty when the
// read logged nothing (an image shorter than the header).
struct RuleDbReadFailure {
  char what[64];
  char detail[64];
};

// A position in a byte buffer and the number of bytes left after it. Every
// put and get checks `remaining` first and, on failure, moves nothing. A
// writing cursor may have a sink: then a put that finds too little room
// first hands what the buffer holds to the sink and starts it again.
struct PolicyCursor {
  uint8_t* pos;        // next byte to write or read; the reader never writes through it
  uint64_t remaining;  // bytes from pos to the end of the buffer (or of the budget)
  PolicySink* sink = nullptr;
};

// Where a writer streams an image through a small buffer instead of holding
// it whole. `budget` is the bytes the image may still grow by: the writer
// fails where a buffer of the whole budget would have run out.
struct PolicySink {
  void (*write)(void* arg, const uint8_t* bytes, size_t count);
  void* arg;
  uint8_t* buffer;
  uint64_t capacity;  // bytes of buffer
  uint64_t budget;
};

// A cursor at the start of `sink`'s buffer.
PolicyCursor PolicySinkCursor(PolicySink* sink);

// Hands the bytes put since the last hand-over to the sink: after the last
// put, so that the sink has the whole image.
void PolicySinkFlush(PolicyCursor* cursor);

// Puts return RULEDB_EINVAL when the value does not fit (or, for PutBytes,
// when count is 0 or above 0x7FFFFFFF).
int32_t PutU16(PolicyCursor* cursor, uint16_t value);
int32_t PutU32(PolicyCursor* cursor, uint32_t value);
int32_t PutBytes(PolicyCursor* cursor, const void* data, size_t count);

// Gets return RULEDB_EINVAL when fewer bytes are left than asked for (or,
// for GetBytes, when count is 0 or above 0x7FFFFFFF); out-parameters are then
// left as they were.
int32_t GetU16(PolicyCursor* cursor, uint16_t* value);
int32_t GetU32(PolicyCursor* cursor, uint32_t* value);
int32_t GetBytes(PolicyCursor* cursor, void* dest, size_t count);

// Writes the image of `db` at the cursor, which ends past the last byte written
// (the image size is the capacity minus `remaining`). Nothing beyond the
// written bytes is touched. 0, or after one system-log line naming the
// section: RULEDB_EINVAL when the buffer runs out or the database cannot be
// represented (an empty string, an object context list whose flag is clear, a
// type-attribute entry with count 0 or a typeToAttrsArr shorter than N'); an
// object context block is written exactly when its flag is set, so a set flag
// with an empty list gives a block of count 0. RULEDB_ENOMEM when a type-attribute scratch
// array cannot be allocated. The buffer then holds a partial image.
int32_t RuleDataBaseWrite(const RuleDataBase* db, PolicyCursor* cursor);

// Fills the zero-filled `db` from the image at the cursor. 0, or after at
// most one system-log line naming the section (none for fewer than 20 bytes):
// RULEDB_EINVAL for a bad header, a count or length that the bytes left cannot
// hold, a length of 0 or 4294967295, a type-attribute count of 0, a repeated
// path or rule; RULEDB_ENOMEM for a symbol value not below N or a failed
// allocation; RULEDB_EEXIST for a repeated symbol name. Counts and lengths are
// checked against the bytes left before anything is allocated for them. What
// was built before a failure stays in `db` for RuleDataBaseDestory. When
// `failure` is given it receives what the system-log line says.
int32_t RuleDataBaseRead(RuleDataBase* db, PolicyCursor* cursor,
                         RuleDbReadFailure* failure = nullptr);

#endif  // POLC_RULEDB_POLICY_BINARY_H_
