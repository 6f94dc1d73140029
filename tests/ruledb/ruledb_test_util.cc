#include "tests/ruledb/ruledb_test_util.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ruledb/sys_log.h"

namespace ruledb_test {
namespace {

std::vector<SysLogEntry> captured;

void CaptureSysLog(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  char text[512];
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  captured.push_back({priority, text});
}

}  // namespace

char* HeapString(const std::string& text) {
  auto* block = static_cast<char*>(calloc(text.size() + 1, 1));
  memcpy(block, text.c_str(), text.size());
  return block;
}

SysLogCapture::SysLogCapture() {
  captured.clear();
  SetRuleDbSysLog(CaptureSysLog);
}

SysLogCapture::~SysLogCapture() {
  SetRuleDbSysLog(nullptr);
  captured.clear();
}

const std::vector<SysLogEntry>& SysLogCapture::entries() const { return captured; }

std::vector<std::string> SysLogCapture::Texts() const {
  std::vector<std::string> texts;
  for (const SysLogEntry& entry : captured) {
    texts.push_back(entry.text);
  }
  return texts;
}

void SysLogCapture::Clear() { captured.clear(); }

void AddSymbol(RuleDataBase* db, const std::string& name, uint32_t value) {
  auto* datum = static_cast<uint32_t*>(calloc(1, sizeof(uint32_t)));
  *datum = value;
  char* key = HeapString(name);
  int32_t status = StrTblInsert(&db->symTbl, key, datum);
  ASSERT_EQ(status, 0) << name;
}

void AddFileCtx(RuleDataBase* db, const std::string& path, const std::string& context) {
  char* key = HeapString(path);
  char* datum = HeapString(context);
  int32_t status = StrTblInsert(&db->fileCtxTbl, key, datum);
  ASSERT_EQ(status, 0) << path;
}

void AddRule(RuleDataBase* db, RuleTblKey key, uint32_t datum) {
  RuleTblDatum value{datum};
  ASSERT_EQ(RuleTblInsert(&db->ruleTbl, &key, &value), 0);
}

ObjCtx* PrependObjCtx(RuleDataBase* db, ObjCtxKind kind, uint16_t type) {
  auto* record = static_cast<ObjCtx*>(calloc(1, sizeof(ObjCtx)));
  record->type = type;
  record->next = db->objCtxs[kind];
  db->objCtxs[kind] = record;
  return record;
}

void AddNetif(RuleDataBase* db, const std::string& name, uint16_t type) {
  PrependObjCtx(db, OBJ_CTX_NETIF, type)->name = HeapString(name);
}

void SetTypeAttrs(RuleDataBase* db, const std::vector<std::vector<uint16_t>>& entries) {
  db->typeToAttrsArr = static_cast<TypeAttrs*>(calloc(entries.size(), sizeof(TypeAttrs)));
  db->typeToAttrsCount = static_cast<uint32_t>(entries.size());
  for (size_t i = 0; i < entries.size(); i++) {
    TypeAttrs& entry = db->typeToAttrsArr[i];
    entry.count = static_cast<uint16_t>(entries[i].size());
    entry.values = static_cast<uint16_t*>(calloc(entries[i].size(), sizeof(uint16_t)));
    std::copy(entries[i].begin(), entries[i].end(), entry.values);
  }
  db->flags |= FLAG_TYPEATTR;
}

void FillRichDatabase(RuleDataBase* db) {
  ASSERT_EQ(StrTblInit(&db->symTbl, 3), 0);
  AddSymbol(db, "file_t", 0);
  AddSymbol(db, "proc_t", 1);
  AddSymbol(db, "domain", 2);

  db->flags |= FLAG_INITIAL_SID | FLAG_NETIF | FLAG_PACKET;
  PrependObjCtx(db, OBJ_CTX_INITIAL_SID, 1)->sid = 1;
  PrependObjCtx(db, OBJ_CTX_INITIAL_SID, 0)->sid = 3;
  AddNetif(db, "eth0", 0);
  AddNetif(db, "lo", 1);
  ObjCtx* packet = PrependObjCtx(db, OBJ_CTX_PACKET, 2);
  packet->sourceAddress = 0xC0A80001;
  packet->sourceMask = 0xFFFFFF00;
  packet->destinationAddress = 0x0A000001;
  packet->destinationMask = 0xFF000000;
  packet->sportStart = 1024;
  packet->sportEnd = 65535;
  packet->dportStart = 80;
  packet->dportEnd = 443;
  packet->protocol = 6;

  db->flags |= FLAG_FILE_CONTEXT;
  ASSERT_EQ(StrTblInit(&db->fileCtxTbl, 2), 0);
  AddFileCtx(db, "/etc", "file_t");
  AddFileCtx(db, "/usr/bin/app", "proc_t");

  SetTypeAttrs(db, {{0}, {1, 2}, {2}});

  ASSERT_EQ(RuleTblInit(&db->ruleTbl, 3), 0);
  AddRule(db, {1, 0, 6, RULE_GRANT}, 0x5);
  AddRule(db, {1, 0, 6, RULE_TRANSITION}, 0);
  AddRule(db, {2, 1, 2, RULE_GRANT}, 0x80000001);
}

WriteResult WriteImage(const RuleDataBase* db, size_t capacity) {
  std::vector<uint8_t> buffer(capacity);
  PolicyCursor cursor{buffer.data(), capacity};
  int32_t status = RuleDataBaseWrite(db, &cursor);
  buffer.resize(capacity - cursor.remaining);
  return {status, buffer};
}

int32_t ReadImage(const std::vector<uint8_t>& image, RuleDataBase* db) {
  auto* copy = static_cast<uint8_t*>(malloc(image.empty() ? 1 : image.size()));
  std::copy(image.begin(), image.end(), copy);
  PolicyCursor cursor{copy, image.size()};
  int32_t status = RuleDataBaseRead(db, &cursor);
  free(copy);
  return status;
}

ImageBuilder& ImageBuilder::U16(uint16_t value) {
  bytes_.push_back(static_cast<uint8_t>(value));
  bytes_.push_back(static_cast<uint8_t>(value >> 8));
  return *this;
}

ImageBuilder& ImageBuilder::U32(uint32_t value) {
  U16(static_cast<uint16_t>(value));
  return U16(static_cast<uint16_t>(value >> 16));
}

ImageBuilder& ImageBuilder::U16s(std::initializer_list<uint16_t> values) {
  for (uint16_t value : values) U16(value);
  return *this;
}

ImageBuilder& ImageBuilder::U32s(std::initializer_list<uint32_t> values) {
  for (uint32_t value : values) U32(value);
  return *this;
}

ImageBuilder& ImageBuilder::Bytes(const std::string& text) {
  bytes_.insert(bytes_.end(), text.begin(), text.end());
  return *this;
}

ImageBuilder& ImageBuilder::Header(uint32_t flags, uint32_t magic, uint32_t symCnt,
                                   uint32_t objCnt) {
  return U32(magic).U32(POLICY_VERSION).U32(flags).U32(symCnt).U32(objCnt);
}

}  // namespace ruledb_test
