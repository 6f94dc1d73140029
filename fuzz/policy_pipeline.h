// The whole pipeline for the policy fuzz targets: one policy source text is
// read, checked and merged as polc would, compiled into an in-memory image,
// and an image that compiles must read back and write again to the very same
// bytes (abort otherwise).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "compiler/varo_compiler.h"
#include "reader/json_parser.h"
#include "ruledb/policy_binary.h"
#include "ruledb/rule_data_base.h"
#include "ruledb/sys_log.h"

namespace policy_pipeline {

inline void DiscardSysLog(int, const char*, ...) {}

// Once per process: the log lines of every run go nowhere (the fuzzer's own
// output goes to stderr), and so do the rule database's system-log lines.
inline void SilenceLogs() {
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  SetRuleDbSysLog(DiscardSysLog);
}

// What ParseJsonFiles does for a single file, from its text.
inline bool ReadPolicy(const char* data, size_t size, JsonParser& reader) {
  std::unique_ptr<char[]> text(new char[size + 1]);
  std::memcpy(text.get(), data, size);
  text[size] = '\0';
  PolicyModel fileModel = reader.NewFileModel();
  return reader.ParseJsonText("fuzz.json", std::move(text), size, fileModel) == 0 &&
         reader.ValidateJsonFile(fileModel) == 0 && reader.MergeJsonFile(fileModel) == 0 &&
         reader.ValidateWholeJsonFile() == 0;
}

// The image of the compiled `policy`, empty when the compiler fails.
inline std::vector<uint8_t> Compile(const PolicyModel& policy) {
  // Allocated once: a fresh 64 MiB block per run would slow every run down.
  static std::vector<uint8_t> buffer(POLICY_BUFFER_SIZE);
  VaroCompiler compiler(policy);
  if (compiler.PopulateRuleDataBase() != 0) return {};
  PolicyCursor cursor = {buffer.data(), buffer.size()};
  const int status = compiler.SerializeRuleDataBase(cursor);
  const size_t used = buffer.size() - cursor.remaining;
  std::vector<uint8_t> image;
  if (status == 0) image.assign(buffer.begin(), buffer.begin() + used);
  // Keep the buffer as the compiler gets it: zero-filled.
  std::memset(buffer.data(), 0, used);
  return image;
}

// write(read(image)) == image.
inline void CheckRoundTrip(std::vector<uint8_t> image) {
  RuleDataBase db{};
  PolicyCursor in = {image.data(), image.size()};
  if (RuleDataBaseRead(&db, &in) != 0 || in.remaining != 0) std::abort();
  std::vector<uint8_t> again(image.size());
  PolicyCursor out = {again.data(), again.size()};
  const int32_t status = RuleDataBaseWrite(&db, &out);
  RuleDataBaseDestory(&db);
  if (status != 0 || out.remaining != 0 || again != image) std::abort();
}

// The whole pipeline on one source text.
inline void Run(const char* text, size_t size) {
  JsonParser reader;
  if (!ReadPolicy(text, size, reader)) return;
  std::vector<uint8_t> image = Compile(reader.GetPolicyModel());
  if (!image.empty()) CheckRoundTrip(std::move(image));
}

}  // namespace policy_pipeline
