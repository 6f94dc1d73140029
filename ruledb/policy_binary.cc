#include "ruledb/policy_binary.h"

#include <syslog.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bounded/bounded.h"
#include "ruledb/little_endian.h"
#include "ruledb/sys_log.h"

namespace {

constexpr const char* WRITE_OP = "RuleDataBaseWrite";
constexpr const char* READ_OP = "RuleDataBaseRead";

constexpr uint32_t LENGTH_INVALID = 0xFFFFFFFF;

// One step of the writer or the reader with the message it logs on failure.
template <typename Db>
struct Section {
  int32_t (*run)(Db* db, PolicyCursor* cursor);
  int site;
  const char* what;
};

// Logs the failure `what` of `op` at `site`, with `detail` when it is not
// empty, and hands both to `failure` when given.
void ReportFailure(const char* op, int site, const char* what, const char* detail,
                   RuleDbReadFailure* failure) {
  if (detail[0] == '\0') {
    RuleDbSysLog()(LOG_ERR, " [VARO][%s %d] [%s]\n", op, site, what);
  } else {
    RuleDbSysLog()(LOG_ERR, " [VARO][%s %d] [%s][%s]\n", op, site, what, detail);
  }
  if (failure != nullptr) {
    snprintf(failure->what, sizeof failure->what, "%s", what);
    snprintf(failure->detail, sizeof failure->detail, "%s", detail);
  }
}

// Runs the sections in order; the first failure is reported once and returned.
template <typename Db, size_t N>
int32_t RunSections(const Section<Db> (&sections)[N], const char* op, Db* db, PolicyCursor* cursor,
                    RuleDbReadFailure* failure) {
  for (const Section<Db>& section : sections) {
    int32_t status = section.run(db, cursor);
    if (status != 0) {
      ReportFailure(op, section.site, section.what, "", failure);
      return status;
    }
  }
  return RULEDB_OK;
}

bool CountFits(const PolicyCursor* cursor, uint64_t count, uint64_t recordMin) {
  return count <= cursor->remaining / recordMin;
}

// ---- Writer ----

int32_t StringLength(const char* text, uint32_t* length) {
  size_t bytes = strlen(text);
  if (bytes > LENGTH_INVALID) {
    return RULEDB_EINVAL;
  }
  *length = static_cast<uint32_t>(bytes);
  return RULEDB_OK;
}

int32_t WriteHeader(const RuleDataBase* db, PolicyCursor* cursor) {
  uint8_t header[POLICY_HEADER_SIZE];
  StoreU32Le(header, POLICY_MAGIC);
  StoreU32Le(header + 4, POLICY_VERSION);
  StoreU32Le(header + 8, db->flags);
  StoreU32Le(header + 12, POLICY_SYM_CNT);
  StoreU32Le(header + 16, POLICY_OBJ_CNT);
  return PutBytes(cursor, header, sizeof(header));
}

int32_t PutSymbolRecord(void* key, void* datum, void* arg) {
  auto* cursor = static_cast<PolicyCursor*>(arg);
  const char* name = static_cast<const char*>(key);
  uint32_t length = 0;
  int32_t status = StringLength(name, &length);
  if (status != 0) {
    return status;
  }
  uint8_t lengthAndValue[8];
  StoreU32Le(lengthAndValue, length);
  StoreU32Le(lengthAndValue + 4, *static_cast<const uint32_t*>(datum));
  status = PutBytes(cursor, lengthAndValue, sizeof(lengthAndValue));
  return status != 0 ? status : PutBytes(cursor, name, length);
}

int32_t WriteSymbols(const RuleDataBase* db, PolicyCursor* cursor) {
  int32_t status = PutU32(cursor, db->symTbl.nel);
  return status != 0 ? status : HashTblMap(&db->symTbl, PutSymbolRecord, cursor);
}

int32_t PutNetif(const ObjCtx* record, PolicyCursor* cursor) {
  uint32_t length = 0;
  int32_t status = StringLength(record->name, &length);
  if (status == 0) {
    status = PutU32(cursor, length);
  }
  if (status == 0) {
    status = PutU16(cursor, record->type);
  }
  return status != 0 ? status : PutBytes(cursor, record->name, length);
}

int32_t PutPacket(const ObjCtx* record, PolicyCursor* cursor) {
  uint8_t addresses[16];
  StoreU32Le(addresses, record->sourceAddress);
  StoreU32Le(addresses + 4, record->sourceMask);
  StoreU32Le(addresses + 8, record->destinationAddress);
  StoreU32Le(addresses + 12, record->destinationMask);
  uint8_t portsAndType[12];
  StoreU16Le(portsAndType, record->sportStart);
  StoreU16Le(portsAndType + 2, record->sportEnd);
  StoreU16Le(portsAndType + 4, record->dportStart);
  StoreU16Le(portsAndType + 6, record->dportEnd);
  StoreU16Le(portsAndType + 8, record->protocol);
  StoreU16Le(portsAndType + 10, record->type);
  int32_t status = PutBytes(cursor, addresses, sizeof(addresses));
  return status != 0 ? status : PutBytes(cursor, portsAndType, sizeof(portsAndType));
}

int32_t PutObjCtx(uint32_t kind, const ObjCtx* record, PolicyCursor* cursor) {
  switch (kind) {
    case OBJ_CTX_INITIAL_SID: {
      int32_t status = PutU32(cursor, record->sid);
      return status != 0 ? status : PutU16(cursor, record->type);
    }
    case OBJ_CTX_NETIF:
      return PutNetif(record, cursor);
    default:
      return PutPacket(record, cursor);
  }
}

uint32_t CountObjCtxs(const ObjCtx* head) {
  uint32_t count = 0;
  for (; head != nullptr; head = head->next) {
    count++;
  }
  return count;
}

// A block goes out exactly when the kind's flag is set, since that is how the
// reader finds it. A compiled policy sets the flag exactly when the list has
// records; a list whose flag is clear cannot be carried and is refused.
int32_t WriteObjCtxs(const RuleDataBase* db, PolicyCursor* cursor) {
  for (uint32_t kind = 0; kind < OBJ_CTX_KIND_COUNT; kind++) {
    uint32_t count = CountObjCtxs(db->objCtxs[kind]);
    if ((db->flags & POLICY_OBJ_CTX_FLAGS[kind]) == 0) {
      if (count != 0) {
        return RULEDB_EINVAL;
      }
      continue;
    }
    int32_t status = PutU32(cursor, count);
    for (const ObjCtx* record = db->objCtxs[kind]; status == 0 && record != nullptr;
         record = record->next) {
      status = PutObjCtx(kind, record, cursor);
    }
    if (status != 0) {
      return status;
    }
  }
  return RULEDB_OK;
}

int32_t PutFileCtxRecord(void* key, void* datum, void* arg) {
  auto* cursor = static_cast<PolicyCursor*>(arg);
  const char* path = static_cast<const char*>(key);
  const char* context = static_cast<const char*>(datum);
  uint32_t pathLength = 0;
  uint32_t contextLength = 0;
  int32_t status = StringLength(path, &pathLength);
  if (status == 0) {
    status = StringLength(context, &contextLength);
  }
  if (status == 0) {
    uint8_t lengths[8];
    StoreU32Le(lengths, pathLength);
    StoreU32Le(lengths + 4, contextLength);
    status = PutBytes(cursor, lengths, sizeof(lengths));
  }
  if (status == 0) {
    status = PutBytes(cursor, path, pathLength);
  }
  return status != 0 ? status : PutBytes(cursor, context, contextLength);
}

int32_t WriteFileCtxs(const RuleDataBase* db, PolicyCursor* cursor) {
  if ((db->flags & FLAG_FILE_CONTEXT) == 0) {
    return RULEDB_OK;
  }
  int32_t status = PutU32(cursor, db->fileCtxTbl.nel);
  return status != 0 ? status : HashTblMap(&db->fileCtxTbl, PutFileCtxRecord, cursor);
}

// The values go out through a scratch block holding their little-endian
// bytes, so each entry costs one bounds check and one copy.
int32_t PutTypeAttrs(const TypeAttrs* entry, PolicyCursor* cursor) {
  int32_t status = PutU16(cursor, entry->count);
  if (status != 0) {
    return status;
  }
  if (entry->count == 0 || entry->values == nullptr) {
    return RULEDB_EINVAL;  // the format cannot carry an empty entry
  }
  const size_t byteCount = size_t{entry->count} * 2;
  auto* scratch = static_cast<uint8_t*>(calloc(entry->count, sizeof(uint16_t)));
  if (scratch == nullptr) {
    return RULEDB_ENOMEM;
  }
  for (size_t i = 0; i < entry->count; i++) {
    StoreU16Le(scratch + 2 * i, entry->values[i]);
  }
  status = PutBytes(cursor, scratch, byteCount);
  free(scratch);
  return status;
}

int32_t WriteTypeAttrs(const RuleDataBase* db, PolicyCursor* cursor) {
  if ((db->flags & FLAG_TYPEATTR) == 0) {
    return RULEDB_OK;
  }
  const uint32_t entryCount = db->symTbl.nel & POLICY_TYPEATTR_INDEX_MASK;
  if (entryCount > db->typeToAttrsCount) {
    return RULEDB_EINVAL;  // never read past the array
  }
  for (uint32_t i = 0; i < entryCount; i++) {
    int32_t status = PutTypeAttrs(&db->typeToAttrsArr[i], cursor);
    if (status != 0) {
      return status;
    }
  }
  return RULEDB_OK;
}

int32_t PutRuleRecord(void* key, void* datum, void* arg) {
  auto* cursor = static_cast<PolicyCursor*>(arg);
  uint8_t keyBytes[RULE_TBL_KEY_BYTES];
  RuleTblKeyToBytes(static_cast<const RuleTblKey*>(key), keyBytes);
  int32_t status = PutBytes(cursor, keyBytes, sizeof(keyBytes));
  return status != 0 ? status : PutU32(cursor, static_cast<const RuleTblDatum*>(datum)->value);
}

int32_t WriteRules(const RuleDataBase* db, PolicyCursor* cursor) {
  int32_t status = PutU32(cursor, db->ruleTbl.nel);
  return status != 0 ? status : HashTblMap(&db->ruleTbl, PutRuleRecord, cursor);
}

const Section<const RuleDataBase> WRITE_SECTIONS[] = {
    {WriteHeader, 807, "Put policy binary header failed"},
    {WriteSymbols, 813, "Write symbol table failed"},
    {WriteObjCtxs, 819, "Write object context failed"},
    {WriteFileCtxs, 825, "Write file context failed"},
    {WriteTypeAttrs, 831, "Write typeattr failed"},
    {WriteRules, 837, "Write rule table failed"},
};

// ---- Reader ----

constexpr int SITE_MAGIC = 742;
constexpr int SITE_HEADER_COUNTS = 751;

// Gets a u32 record count and refuses one that the bytes left cannot hold.
int32_t GetCount(PolicyCursor* cursor, uint64_t recordMin, uint32_t* count) {
  int32_t status = GetU32(cursor, count);
  if (status == 0 && !CountFits(cursor, *count, recordMin)) {
    status = RULEDB_EINVAL;
  }
  return status;
}

using TableInit = int32_t (*)(HashTbl* table, uint32_t expectedCount);
using RecordReader = int32_t (*)(RuleDataBase* db, PolicyCursor* cursor);

// A counted section of records that go into one table sized for the count.
int32_t ReadTableSection(RuleDataBase* db, PolicyCursor* cursor, HashTbl* table, TableInit init,
                         uint64_t recordMin, RecordReader readRecord) {
  uint32_t count = 0;
  int32_t status = GetCount(cursor, recordMin, &count);
  if (status == 0) {
    status = init(table, count);
  }
  for (uint32_t i = 0; status == 0 && i < count; i++) {
    status = readRecord(db, cursor);
  }
  return status;
}

// Reads a string of `length` bytes into a fresh NUL-terminated block.
int32_t GetString(PolicyCursor* cursor, uint32_t length, char** text) {
  if (length == 0 || length == LENGTH_INVALID || length > cursor->remaining) {
    return RULEDB_EINVAL;
  }
  auto* block = static_cast<char*>(calloc(size_t{length} + 1, 1));
  if (block == nullptr) {
    return RULEDB_ENOMEM;
  }
  int32_t status = GetBytes(cursor, block, length);
  if (status != 0) {
    free(block);
    return status;
  }
  *text = block;
  return RULEDB_OK;
}

int32_t ReadSymbol(RuleDataBase* db, PolicyCursor* cursor, uint32_t symbolCount) {
  uint8_t lengthAndValue[8];
  int32_t status = GetBytes(cursor, lengthAndValue, sizeof(lengthAndValue));
  if (status != 0) {
    return status;
  }
  const uint32_t value = LoadU32Le(lengthAndValue + 4);
  if (value >= symbolCount) {
    return RULEDB_ENOMEM;  // the established status of an out-of-range value
  }
  char* name = nullptr;
  status = GetString(cursor, LoadU32Le(lengthAndValue), &name);
  if (status != 0) {
    return status;
  }
  auto* valueBlock = static_cast<uint32_t*>(calloc(1, sizeof(uint32_t)));
  status = valueBlock == nullptr ? RULEDB_ENOMEM : HashTblInsert(&db->symTbl, name, valueBlock);
  if (status != 0) {
    free(name);
    free(valueBlock);
    return status;
  }
  *valueBlock = value;
  db->symNames[value] = name;
  return RULEDB_OK;
}

int32_t ReadSymbols(RuleDataBase* db, PolicyCursor* cursor) {
  uint32_t count = 0;
  int32_t status = GetCount(cursor, POLICY_SYMBOL_RECORD_MIN, &count);
  if (status == 0) {
    status = StrTblInit(&db->symTbl, count);
  }
  if (status != 0 || count == 0) {
    return status;
  }
  db->symNames = static_cast<char**>(calloc(count, sizeof(char*)));
  if (db->symNames == nullptr) {
    return RULEDB_ENOMEM;
  }
  for (uint32_t i = 0; status == 0 && i < count; i++) {
    status = ReadSymbol(db, cursor, count);
  }
  if (status != 0) {
    free(db->symNames);
    db->symNames = nullptr;
  }
  return status;
}

int32_t GetNetif(ObjCtx* record, PolicyCursor* cursor) {
  uint32_t length = 0;
  int32_t status = GetU32(cursor, &length);
  if (status == 0) {
    status = GetU16(cursor, &record->type);
  }
  return status != 0 ? status : GetString(cursor, length, &record->name);
}

int32_t GetPacket(ObjCtx* record, PolicyCursor* cursor) {
  uint8_t addresses[16];
  uint8_t portsAndType[12];
  int32_t status = GetBytes(cursor, addresses, sizeof(addresses));
  if (status == 0) {
    status = GetBytes(cursor, portsAndType, sizeof(portsAndType));
  }
  if (status != 0) {
    return status;
  }
  record->sourceAddress = LoadU32Le(addresses);
  record->sourceMask = LoadU32Le(addresses + 4);
  record->destinationAddress = LoadU32Le(addresses + 8);
  record->destinationMask = LoadU32Le(addresses + 12);
  record->sportStart = LoadU16Le(portsAndType);
  record->sportEnd = LoadU16Le(portsAndType + 2);
  record->dportStart = LoadU16Le(portsAndType + 4);
  record->dportEnd = LoadU16Le(portsAndType + 6);
  record->protocol = LoadU16Le(portsAndType + 8);
  record->type = LoadU16Le(portsAndType + 10);
  return RULEDB_OK;
}

int32_t GetObjCtx(uint32_t kind, ObjCtx* record, PolicyCursor* cursor) {
  switch (kind) {
    case OBJ_CTX_INITIAL_SID: {
      int32_t status = GetU32(cursor, &record->sid);
      return status != 0 ? status : GetU16(cursor, &record->type);
    }
    case OBJ_CTX_NETIF:
      return GetNetif(record, cursor);
    default:
      return GetPacket(record, cursor);
  }
}

// Appends the block's records at the tail of the kind's list, in file order.
int32_t ReadObjCtxBlock(RuleDataBase* db, uint32_t kind, PolicyCursor* cursor) {
  uint32_t count = 0;
  int32_t status = GetCount(cursor, POLICY_OBJ_CTX_RECORD_MIN[kind], &count);
  ObjCtx** tail = &db->objCtxs[kind];
  while (*tail != nullptr) {
    tail = &(*tail)->next;
  }
  for (uint32_t i = 0; status == 0 && i < count; i++) {
    auto* record = static_cast<ObjCtx*>(calloc(1, sizeof(ObjCtx)));
    status = record == nullptr ? RULEDB_ENOMEM : GetObjCtx(kind, record, cursor);
    if (status != 0) {
      if (record != nullptr) {
        free(record->name);
      }
      free(record);
      break;
    }
    *tail = record;
    tail = &record->next;
  }
  return status;
}

int32_t ReadObjCtxs(RuleDataBase* db, PolicyCursor* cursor) {
  for (uint32_t kind = 0; kind < OBJ_CTX_KIND_COUNT; kind++) {
    if ((db->flags & POLICY_OBJ_CTX_FLAGS[kind]) == 0) {
      continue;
    }
    int32_t status = ReadObjCtxBlock(db, kind, cursor);
    if (status != 0) {
      return status;
    }
  }
  return RULEDB_OK;
}

int32_t ReadFileCtx(RuleDataBase* db, PolicyCursor* cursor) {
  uint8_t lengths[8];
  char* path = nullptr;
  char* context = nullptr;
  int32_t status = GetBytes(cursor, lengths, sizeof(lengths));
  if (status == 0) {
    status = GetString(cursor, LoadU32Le(lengths), &path);
  }
  if (status == 0) {
    status = GetString(cursor, LoadU32Le(lengths + 4), &context);
  }
  if (status == 0) {
    status = HashTblInsert(&db->fileCtxTbl, path, context);
  }
  if (status != 0) {
    free(path);
    free(context);
  }
  return status;
}

int32_t ReadFileCtxs(RuleDataBase* db, PolicyCursor* cursor) {
  if ((db->flags & FLAG_FILE_CONTEXT) == 0) {
    return RULEDB_OK;
  }
  return ReadTableSection(db, cursor, &db->fileCtxTbl, StrTblInit, POLICY_FILE_CTX_RECORD_MIN,
                          ReadFileCtx);
}

int32_t ReadTypeAttrsEntry(TypeAttrs* entry, PolicyCursor* cursor) {
  uint16_t count = 0;
  int32_t status = GetU16(cursor, &count);
  if (status != 0) {
    return status;
  }
  if (count == 0 || !CountFits(cursor, count, sizeof(uint16_t))) {
    return RULEDB_EINVAL;
  }
  entry->values = static_cast<uint16_t*>(calloc(count, sizeof(uint16_t)));
  if (entry->values == nullptr) {
    return RULEDB_ENOMEM;
  }
  for (uint16_t i = 0; status == 0 && i < count; i++) {
    status = GetU16(cursor, &entry->values[i]);
  }
  if (status == 0) {
    entry->count = count;
  }
  return status;
}

int32_t ReadTypeAttrs(RuleDataBase* db, PolicyCursor* cursor) {
  if ((db->flags & FLAG_TYPEATTR) == 0) {
    return RULEDB_OK;
  }
  // The section has no count of its own: one entry per 16-bit symbol value.
  const uint32_t entryCount = db->symTbl.nel & POLICY_TYPEATTR_INDEX_MASK;
  if (entryCount == 0) {
    return RULEDB_OK;
  }
  if (!CountFits(cursor, entryCount, POLICY_TYPEATTR_ENTRY_MIN)) {
    return RULEDB_EINVAL;
  }
  db->typeToAttrsArr = static_cast<TypeAttrs*>(calloc(entryCount, sizeof(TypeAttrs)));
  if (db->typeToAttrsArr == nullptr) {
    return RULEDB_ENOMEM;
  }
  db->typeToAttrsCount = entryCount;
  int32_t status = RULEDB_OK;
  for (uint32_t i = 0; status == 0 && i < entryCount; i++) {
    status = ReadTypeAttrsEntry(&db->typeToAttrsArr[i], cursor);
  }
  return status;
}

int32_t ReadRule(RuleDataBase* db, PolicyCursor* cursor) {
  uint8_t keyBytes[RULE_TBL_KEY_BYTES];
  RuleTblDatum datum{};
  int32_t status = GetBytes(cursor, keyBytes, sizeof(keyBytes));
  if (status == 0) {
    status = GetU32(cursor, &datum.value);
  }
  if (status != 0) {
    return status;
  }
  const RuleTblKey key = RuleTblKeyFromBytes(keyBytes);
  return RuleTblInsert(&db->ruleTbl, &key, &datum);
}

// The records of `count` rules at the cursor, all of which are there,
// filled into the empty rule table in one step; the cursor moves past them
// on success only. Logs nothing.
int32_t FillRules(RuleDataBase* db, PolicyCursor* cursor, uint32_t count) {
  struct Record {
    RuleTblKey key;
    RuleTblDatum datum;
  };
  auto* records = static_cast<Record*>(malloc(size_t{count} * sizeof(Record)));
  if (records == nullptr) {
    return RULEDB_ENOMEM;
  }
  PolicyCursor at = *cursor;
  for (uint32_t i = 0; i < count; i++) {
    uint8_t keyBytes[RULE_TBL_KEY_BYTES];
    GetBytes(&at, keyBytes, sizeof(keyBytes));
    GetU32(&at, &records[i].datum.value);
    records[i].key = RuleTblKeyFromBytes(keyBytes);
  }
  const HashTblEntries entries = {&records->key,      &records->datum,      sizeof(Record),
                                  sizeof(RuleTblKey), sizeof(RuleTblDatum), count};
  const int32_t status = HashTblFill(&db->ruleTbl, &entries);
  free(records);
  if (status == 0) {
    *cursor = at;
  }
  return status;
}

// A million rules inserted one by one cost three allocations each, so they
// are filled in one step: the count fits the bytes left, so every record is
// there. A repeated rule fails the fill; the records are then read again one
// by one, which stops at the repeat and reports it as it always has.
int32_t ReadRules(RuleDataBase* db, PolicyCursor* cursor) {
  uint32_t count = 0;
  int32_t status = GetCount(cursor, POLICY_RULE_RECORD_SIZE, &count);
  if (status == 0) {
    status = RuleTblInit(&db->ruleTbl, count);
  }
  if (status == 0 && count != 0) {
    status = FillRules(db, cursor, count);
  }
  if (status != RULEDB_EEXIST) {
    return status;
  }
  status = RULEDB_OK;
  for (uint32_t i = 0; status == 0 && i < count; i++) {
    status = ReadRule(db, cursor);
  }
  return status;
}

const Section<RuleDataBase> READ_SECTIONS[] = {
    {ReadSymbols, 759, "Read symbol table failed"},
    {ReadObjCtxs, 765, "Read object context failed"},
    {ReadFileCtxs, 771, "Read file context failed"},
    {ReadTypeAttrs, 777, "Read typeattr failed"},
    {ReadRules, 783, "Read rule table failed"},
};

int32_t ReadHeader(RuleDataBase* db, PolicyCursor* cursor, RuleDbReadFailure* failure) {
  uint8_t header[POLICY_HEADER_SIZE];
  if (GetBytes(cursor, header, sizeof(header)) != 0) {
    return RULEDB_EINVAL;  // too short to be a policy: no message
  }
  char detail[sizeof(RuleDbReadFailure::detail)];
  const uint32_t magic = LoadU32Le(header);
  if (magic != POLICY_MAGIC) {
    snprintf(detail, sizeof detail, "magic=0x%x", magic);
    ReportFailure(READ_OP, SITE_MAGIC, "Mismatched magic number", detail, failure);
    return RULEDB_EINVAL;
  }
  const uint32_t symCnt = LoadU32Le(header + 12);
  const uint32_t objCnt = LoadU32Le(header + 16);
  if (symCnt != POLICY_SYM_CNT || objCnt != POLICY_OBJ_CNT) {
    snprintf(detail, sizeof detail, "symCnt=%u, objCnt=%u", symCnt, objCnt);
    ReportFailure(READ_OP, SITE_HEADER_COUNTS, "Mismatched symbol or object count", detail,
                  failure);
    return RULEDB_EINVAL;
  }
  db->version = LoadU32Le(header + 4);
  db->flags = LoadU32Le(header + 8);
  return RULEDB_OK;
}

}  // namespace

PolicyCursor PolicySinkCursor(PolicySink* sink) {
  return {sink->buffer, std::min(sink->capacity, sink->budget), sink};
}

void PolicySinkFlush(PolicyCursor* cursor) {
  PolicySink* sink = cursor->sink;
  const auto count = static_cast<uint64_t>(cursor->pos - sink->buffer);
  sink->write(sink->arg, sink->buffer, count);
  sink->budget -= count;
  *cursor = PolicySinkCursor(sink);
}

int32_t PutBytes(PolicyCursor* cursor, const void* data, size_t count) {
  if (cursor->remaining < count && cursor->sink != nullptr) {
    PolicySinkFlush(cursor);
    PolicySink* sink = cursor->sink;
    // More than the buffer holds at once goes to the sink directly.
    if (count > cursor->remaining && count <= sink->budget && count <= bounded::BOUNDED_SIZE_MAX) {
      sink->write(sink->arg, static_cast<const uint8_t*>(data), count);
      sink->budget -= count;
      *cursor = PolicySinkCursor(sink);
      return RULEDB_OK;
    }
  }
  if (cursor->remaining < count || bounded::memcpy_s(cursor->pos, count, data, count) != 0) {
    return RULEDB_EINVAL;
  }
  cursor->pos += count;
  cursor->remaining -= count;
  return RULEDB_OK;
}

int32_t PutU16(PolicyCursor* cursor, uint16_t value) {
  uint8_t bytes[2];
  StoreU16Le(bytes, value);
  return PutBytes(cursor, bytes, sizeof(bytes));
}

int32_t PutU32(PolicyCursor* cursor, uint32_t value) {
  uint8_t bytes[4];
  StoreU32Le(bytes, value);
  return PutBytes(cursor, bytes, sizeof(bytes));
}

int32_t GetBytes(PolicyCursor* cursor, void* dest, size_t count) {
  if (cursor->remaining < count || bounded::memcpy_s(dest, count, cursor->pos, count) != 0) {
    return RULEDB_EINVAL;
  }
  cursor->pos += count;
  cursor->remaining -= count;
  return RULEDB_OK;
}

int32_t GetU16(PolicyCursor* cursor, uint16_t* value) {
  uint8_t bytes[2];
  int32_t status = GetBytes(cursor, bytes, sizeof(bytes));
  if (status == 0) {
    *value = LoadU16Le(bytes);
  }
  return status;
}

int32_t GetU32(PolicyCursor* cursor, uint32_t* value) {
  uint8_t bytes[4];
  int32_t status = GetBytes(cursor, bytes, sizeof(bytes));
  if (status == 0) {
    *value = LoadU32Le(bytes);
  }
  return status;
}

int32_t RuleDataBaseWrite(const RuleDataBase* db, PolicyCursor* cursor) {
  return RunSections(WRITE_SECTIONS, WRITE_OP, db, cursor, nullptr);
}

int32_t RuleDataBaseRead(RuleDataBase* db, PolicyCursor* cursor, RuleDbReadFailure* failure) {
  if (failure != nullptr) *failure = RuleDbReadFailure{};
  int32_t status = ReadHeader(db, cursor, failure);
  return status != 0 ? status : RunSections(READ_SECTIONS, READ_OP, db, cursor, failure);
}
