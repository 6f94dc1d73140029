// The whole pipeline on arbitrary bytes as a policy source file: read and
// checked as polc reads it, compiled into an in-memory image that must read
// back and write again to the very same bytes, then read as two files so
// that the merge meets every key again. Whatever the bytes, nothing may
// crash, leak or read out of bounds.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "compiler/varo_compiler.h"
#include "reader/json_parser.h"
#include "ruledb/policy_binary.h"
#include "ruledb/sys_log.h"

namespace {

std::string g_sourcePath;

void DiscardSysLog(int, const char*, ...) {}

void Check(bool condition) {
  if (!condition) std::abort();
}

// write(read(image)) == image.
void CheckRoundTrip(std::vector<uint8_t> image) {
  RuleDataBase db{};
  PolicyCursor in = {image.data(), image.size()};
  Check(RuleDataBaseRead(&db, &in) == 0 && in.remaining == 0);
  std::vector<uint8_t> again(image.size());
  PolicyCursor out = {again.data(), again.size()};
  const int32_t status = RuleDataBaseWrite(&db, &out);
  RuleDataBaseDestory(&db);
  Check(status == 0 && out.remaining == 0 && again == image);
}

void Compile(const PolicyModel& policy) {
  // Allocated once: a fresh 64 MiB block per run would slow every run down.
  static std::vector<uint8_t> buffer(POLICY_BUFFER_SIZE);
  VaroCompiler compiler(policy);
  if (compiler.PopulateRuleDataBase() != 0) return;
  PolicyCursor cursor = {buffer.data(), buffer.size()};
  const int status = compiler.SerializeRuleDataBase(cursor);
  const size_t used = buffer.size() - cursor.remaining;
  if (status == 0) CheckRoundTrip(std::vector<uint8_t>(buffer.begin(), buffer.begin() + used));
  std::fill(buffer.begin(), buffer.begin() + static_cast<long>(used), 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Every run logs; the fuzzer's own output goes to stderr.
  Check(std::freopen("/dev/null", "w", stdout) != nullptr);
  SetRuleDbSysLog(DiscardSysLog);
  char pattern[] = "/tmp/fuzz_policy.XXXXXX";
  const int fd = mkstemp(pattern);
  Check(fd >= 0 && close(fd) == 0);
  g_sourcePath = pattern;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* file = std::fopen(g_sourcePath.c_str(), "wb");
  Check(file != nullptr && std::fwrite(data, 1, size, file) == size && std::fclose(file) == 0);
  JsonParser reader;
  if (reader.ParseJsonFiles({g_sourcePath}) == 0) Compile(reader.GetPolicyModel());
  JsonParser twice;
  twice.ParseJsonFiles({g_sourcePath, g_sourcePath});
  return 0;
}
