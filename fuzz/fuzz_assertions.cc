// Arbitrary bytes as a polcq assertions file, read against a small policy
// and, when accepted, checked. Whatever the bytes, nothing may crash, leak
// or read out of bounds.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "compiler/varo_compiler.h"
#include "tools/polcq/assertions.h"
#include "tools/polcq/policy_query.h"

namespace {

constexpr char POLICY[] = R"({"declarations": {"type": ["a_t", "b_t", "c_t"], "attr": ["dom"],
  "typeattr": {"a_t": ["dom"], "b_t": ["dom"]}},
 "rules": [{"subject": "dom", "teac": [{"object": "c_t", "class": "file", "operation": ["read"]}]},
           {"subject": "a_t", "teac": [{"object": "dom", "class": "process", "operation": ["fork"]}]}]})";

std::string g_assertionsPath;
std::unique_ptr<QueryPolicy> g_policy;

void Check(bool condition) {
  if (!condition) std::abort();
}

std::string TemporaryFile(const char* name, const std::string& contents) {
  std::string path = std::string("/tmp/") + name + ".XXXXXX";
  const int fd = mkstemp(path.data());
  Check(fd >= 0 &&
        write(fd, contents.data(), contents.size()) == static_cast<ssize_t>(contents.size()) &&
        close(fd) == 0);
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Check(std::freopen("/dev/null", "w", stdout) != nullptr);  // polc logs there
  const std::string source = TemporaryFile("fuzz_assertions_policy", POLICY);
  const std::string binary = TemporaryFile("fuzz_assertions_bin", "");
  Check(CompileSources({source}, binary, false) == 0);
  g_policy = std::make_unique<QueryPolicy>();
  Check(g_policy->Load(binary).empty());
  g_assertionsPath = TemporaryFile("fuzz_assertions", "");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* file = std::fopen(g_assertionsPath.c_str(), "wb");
  Check(file != nullptr && std::fwrite(data, 1, size, file) == size && std::fclose(file) == 0);
  std::vector<Assertion> assertions;
  if (LoadAssertions(g_assertionsPath, *g_policy, assertions).empty()) {
    std::ostream discard(nullptr);
    CheckAssertions(*g_policy, assertions, discard);
  }
  return 0;
}
