// Helpers for the rule database tests: capture of the system-log channel,
// an owning database guard, builders for databases and for raw images.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "ruledb/hash_tbl.h"
#include "ruledb/policy_binary.h"
#include "ruledb/rule_data_base.h"
#include "tests/ruledb/calloc_fault.h"

namespace ruledb_test {

struct SysLogEntry {
  int priority;
  std::string text;
};

// Redirects the rule database's system-log channel into `entries` for the
// object's lifetime.
class SysLogCapture {
 public:
  SysLogCapture();
  ~SysLogCapture();
  SysLogCapture(const SysLogCapture&) = delete;
  SysLogCapture& operator=(const SysLogCapture&) = delete;

  const std::vector<SysLogEntry>& entries() const;
  // The texts alone, in logging order.
  std::vector<std::string> Texts() const;
  void Clear();
};

// Runs `step` (returning a status) with its first, second, ... counted
// allocation failing, until a run in which no allocation failed. After each
// failed run calls `failed(n, status, log texts)`; after the last run checks
// that it succeeded without a log line. Returns the number of runs, one more
// than the allocations.
template <typename Step, typename Failed>
long FailEachAllocation(Step step, Failed failed) {
  for (long n = 1;; n++) {
    SysLogCapture log;
    int32_t status = 0;
    bool fired = false;
    {
      CallocFault fault(n);
      status = step();
      fired = fault.Fired();
    }
    if (!fired) {
      EXPECT_EQ(status, 0);
      EXPECT_TRUE(log.entries().empty());
      return n;
    }
    failed(n, status, log.Texts());
  }
}

// A zero-filled database destroyed when the guard goes away.
class DbGuard {
 public:
  DbGuard() = default;
  ~DbGuard() { RuleDataBaseDestory(&db_); }
  DbGuard(const DbGuard&) = delete;
  DbGuard& operator=(const DbGuard&) = delete;

  RuleDataBase* get() { return &db_; }
  RuleDataBase* operator->() { return &db_; }

 private:
  RuleDataBase db_{};
};

// A calloc copy of `text`, for tables that own their keys and data.
char* HeapString(const std::string& text);

// Builders filling a database the way the compiler does: heap blocks from
// calloc, lists built by prepending. Each fails the current test on error.
void AddSymbol(RuleDataBase* db, const std::string& name, uint32_t value);
void AddFileCtx(RuleDataBase* db, const std::string& path, const std::string& context);
void AddRule(RuleDataBase* db, RuleTblKey key, uint32_t datum);
ObjCtx* PrependObjCtx(RuleDataBase* db, ObjCtxKind kind, uint16_t type);
void AddNetif(RuleDataBase* db, const std::string& name, uint16_t type);
void SetTypeAttrs(RuleDataBase* db, const std::vector<std::vector<uint16_t>>& entries);

// A database using every section: 3 symbols, 2 initial sids, 2 netifs,
// 1 packet, 2 file contexts, type attributes and 3 rules.
void FillRichDatabase(RuleDataBase* db);

struct WriteResult {
  int32_t status;
  std::vector<uint8_t> image;  // the bytes produced (capacity minus remaining)
};
WriteResult WriteImage(const RuleDataBase* db, size_t capacity = 1 << 20);

// Reads from an exactly sized copy of `image`, so that any read past its end
// is caught by AddressSanitizer.
int32_t ReadImage(const std::vector<uint8_t>& image, RuleDataBase* db);

// Raw little-endian image text for crafted inputs.
class ImageBuilder {
 public:
  ImageBuilder& U16(uint16_t value);
  ImageBuilder& U32(uint32_t value);
  ImageBuilder& U16s(std::initializer_list<uint16_t> values);
  ImageBuilder& U32s(std::initializer_list<uint32_t> values);
  ImageBuilder& Bytes(const std::string& text);
  ImageBuilder& Header(uint32_t flags, uint32_t magic = POLICY_MAGIC, uint32_t symCnt = 1,
                       uint32_t objCnt = 3);
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace ruledb_test
