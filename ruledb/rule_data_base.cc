#include "ruledb/rule_data_base.h"

#include <syslog.h>

#include <cstdlib>

#include "bounded/bounded.h"
#include "ruledb/little_endian.h"
#include "ruledb/sys_log.h"

namespace {

constexpr const char* INSERT_OP = "RuleTblInsert";
constexpr const char* FILL_OP = "RuleTblFill";
constexpr const char* STR_FILL_OP = "StrTblFill";
constexpr const char* DESTROY_OP = "RuleDataBaseDestory";

// Site numbers of the system-log messages.
constexpr int SITE_ALLOC_KEY = 71;
constexpr int SITE_ALLOC_DATUM = 76;
constexpr int SITE_COPY_KEY = 81;
constexpr int SITE_COPY_DATUM = 85;
constexpr int SITE_INSERT = 90;
constexpr int SITE_FILL_ALLOC = 110;
constexpr int SITE_FILL_REPEATED = 115;
constexpr int SITE_FILL = 120;
constexpr int SITE_STR_FILL_ALLOC = 130;
constexpr int SITE_STR_FILL_REPEATED = 135;
constexpr int SITE_STR_FILL = 140;
constexpr int SITE_EMPTY_TYPE_ATTRS = 886;

// What a bulk fill's failure lines name, and where they come from.
struct FillReport {
  const char* op;
  int allocSite;
  const char* entries;  // what `count` counts
  int repeatedSite;
  const char* key;  // what was repeated
  int otherSite;
  const char* table;
};

// HashTblFill of `entries`, with one log line when it fails.
int32_t FillAndReport(HashTbl* table, const HashTblEntries& entries, const FillReport& report) {
  const int32_t status = HashTblFill(table, &entries);
  if (status == RULEDB_ENOMEM) {
    RuleDbSysLog()(LOG_ERR, " [VARO][%s %d] failed to allocate memory for %u %s\n", report.op,
                   report.allocSite, entries.count, report.entries);
  } else if (status == RULEDB_EEXIST) {
    RuleDbSysLog()(LOG_ERR, " [VARO][%s %d] refused a repeated %s\n", report.op,
                   report.repeatedSite, report.key);
  } else if (status != RULEDB_OK) {
    RuleDbSysLog()(LOG_ERR, " [VARO][%s %d] failed to fill %s\n", report.op, report.otherSite,
                   report.table);
  }
  return status;
}

void ReleaseObjCtxList(ObjCtx** head) {
  ObjCtx* record = *head;
  while (record != nullptr) {
    ObjCtx* next = record->next;
    free(record->name);  // set only in netif records
    free(record);
    record = next;
  }
  *head = nullptr;
}

void ReleaseTypeAttrs(RuleDataBase* db) {
  if (db->typeToAttrsArr == nullptr) {
    return;
  }
  for (uint32_t i = 0; i < db->typeToAttrsCount; i++) {
    TypeAttrs* entry = &db->typeToAttrsArr[i];
    if (entry->values == nullptr) {
      RuleDbSysLog()(LOG_INFO, " [VARO][%s %d] [Ignore an empty typeAttrs in typeToAttrsArr]\n",
                     DESTROY_OP, SITE_EMPTY_TYPE_ATTRS);
      continue;
    }
    free(entry->values);
    entry->values = nullptr;
  }
  free(db->typeToAttrsArr);
  db->typeToAttrsArr = nullptr;
  db->typeToAttrsCount = 0;
}

}  // namespace

void RuleTblKeyToBytes(const RuleTblKey* key, uint8_t bytes[RULE_TBL_KEY_BYTES]) {
  StoreU16Le(bytes, key->source);
  StoreU16Le(bytes + 2, key->target);
  StoreU16Le(bytes + 4, key->tclass);
  StoreU16Le(bytes + 6, key->specified);
}

RuleTblKey RuleTblKeyFromBytes(const uint8_t bytes[RULE_TBL_KEY_BYTES]) {
  return RuleTblKey{LoadU16Le(bytes), LoadU16Le(bytes + 2), LoadU16Le(bytes + 4),
                    LoadU16Le(bytes + 6)};
}

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

int32_t RuleTblInsert(HashTbl* table, const RuleTblKey* key, const RuleTblDatum* datum) {
  auto* keyCopy = static_cast<RuleTblKey*>(calloc(1, sizeof(RuleTblKey)));
  if (keyCopy == nullptr) {
    RuleDbSysLog()(LOG_ERR, " [VARO][%s %d] failed to allocate memory for RuleTblKey\n", INSERT_OP,
                   SITE_ALLOC_KEY);
    return RULEDB_EINVAL;
  }
  auto* datumCopy = static_cast<RuleTblDatum*>(calloc(1, sizeof(RuleTblDatum)));
  if (datumCopy == nullptr) {
    RuleDbSysLog()(LOG_ERR, " [VARO][%s %d] failed to allocate memory for RuleTblDatum\n",
                   INSERT_OP, SITE_ALLOC_DATUM);
  } else if (bounded::memcpy_s(keyCopy, sizeof(RuleTblKey), key, sizeof(RuleTblKey)) != 0) {
    RuleDbSysLog()(LOG_ERR, " [VARO][%s %d] failed to copy RuleTblKey\n", INSERT_OP, SITE_COPY_KEY);
  } else if (bounded::memcpy_s(datumCopy, sizeof(RuleTblDatum), datum, sizeof(RuleTblDatum)) != 0) {
    RuleDbSysLog()(LOG_ERR, " [VARO][%s %d] failed to copy RuleTblDatum\n", INSERT_OP,
                   SITE_COPY_DATUM);
  } else if (HashTblInsert(table, keyCopy, datumCopy) != 0) {
    RuleDbSysLog()(LOG_ERR, " [VARO][%s %d] failed to insert rule into tbl\n", INSERT_OP,
                   SITE_INSERT);
  } else {
    return RULEDB_OK;
  }
  free(keyCopy);
  free(datumCopy);
  return RULEDB_EINVAL;
}

int32_t RuleTblFill(HashTbl* table, const RuleTblKey* keys, const RuleTblDatum* datums,
                    size_t stride, uint32_t count) {
  return FillAndReport(
      table, {keys, datums, stride, sizeof(RuleTblKey), sizeof(RuleTblDatum), count},
      {FILL_OP, SITE_FILL_ALLOC, "rules", SITE_FILL_REPEATED, "RuleTblKey", SITE_FILL, "rule tbl"});
}

int32_t StrTblFill(HashTbl* table, const char* const* keys, const void* datums, size_t datumSize,
                   size_t stride, uint32_t count) {
  return FillAndReport(table, {keys, datums, stride, HASH_TBL_TEXT, datumSize, count},
                       {STR_FILL_OP, SITE_STR_FILL_ALLOC, "entries", SITE_STR_FILL_REPEATED,
                        "string key", SITE_STR_FILL, "string tbl"});
}

void RuleDataBaseDestory(RuleDataBase* db) {
  HashTblDestroy(&db->symTbl);
  free(db->symNames);
  db->symNames = nullptr;
  HashTblDestroy(&db->ruleTbl);
  for (ObjCtx*& head : db->objCtxs) {
    ReleaseObjCtxList(&head);
  }
  HashTblDestroy(&db->fileCtxTbl);
  ReleaseTypeAttrs(db);
}
