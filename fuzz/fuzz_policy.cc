// The whole pipeline on arbitrary bytes as a policy source file: compiled as
// polc compiles it, into an image that must read back and write again to
// the very same bytes, then read as two files so that the merge meets every
// key again; and linted, once and as two files, where polclint must report
// an error exactly when polc fails. Whatever the bytes, nothing may crash,
// leak or read out of bounds.
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
#include "tools/lint/lint.h"

namespace {

std::string g_sourcePath;
std::string g_binaryPath;

void DiscardSysLog(int, const char*, ...) {}

void Check(bool condition) {
  if (!condition) std::abort();
}

bool HasError(const std::vector<Diagnostic>& diagnostics) {
  for (const Diagnostic& diagnostic : diagnostics) {
    if (diagnostic.severity == Severity::ERROR) return true;
  }
  return false;
}

// polclint reports an error if and only if polc's reader fails.
void CheckLintAgrees(const std::vector<std::string>& paths, int readerStatus) {
  Check(HasError(LintSources(paths)) == (readerStatus != 0));
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

std::vector<uint8_t> ReadWhole(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  Check(file != nullptr);
  std::vector<uint8_t> bytes;
  uint8_t chunk[65536];
  for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) != 0;) {
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  Check(std::fclose(file) == 0);
  return bytes;
}

// A fresh temporary file; on tmpfs where there is one, so that committing
// each binary costs no disk sync.
std::string TemporaryPath(const char* name) {
  std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm/" : "/tmp/";
  pattern += name;
  pattern += ".XXXXXX";
  const int fd = mkstemp(pattern.data());
  Check(fd >= 0 && close(fd) == 0);
  return pattern;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Every run logs; the fuzzer's own output goes to stderr.
  Check(std::freopen("/dev/null", "w", stdout) != nullptr);
  SetRuleDbSysLog(DiscardSysLog);
  g_sourcePath = TemporaryPath("fuzz_policy");
  g_binaryPath = TemporaryPath("fuzz_policy_bin");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* file = std::fopen(g_sourcePath.c_str(), "wb");
  Check(file != nullptr && std::fwrite(data, 1, size, file) == size && std::fclose(file) == 0);
  if (CompileSources({g_sourcePath}, g_binaryPath, false) == 0) {
    CheckRoundTrip(ReadWhole(g_binaryPath));
  }
  JsonParser once;
  CheckLintAgrees({g_sourcePath}, once.ParseJsonFiles({g_sourcePath}));
  JsonParser twice;
  const std::vector<std::string> both = {g_sourcePath, g_sourcePath};
  CheckLintAgrees(both, twice.ParseJsonFiles(both));
  return 0;
}
