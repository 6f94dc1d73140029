// A policy whose binary image does not fit the serialisation buffer, built
// in memory: as source text it would take more than 64 MiB of JSON.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compiler/varo_compiler.h"
#include "tests/compiler/compiler_test_support.h"
#include "tests/support/model_text.h"
#include "tests/support/polc_test.h"

namespace polc_test {
namespace {

// File contexts with 4096-byte paths, just enough of them to overflow the
// buffer in the file context section.
PolicyModel OversizedPolicy() {
  ModelText model;
  model.types = {"t"};
  model.typeAttrMap["t"] = {"t"};
  const size_t record = 8 + 4096 + 1;
  for (size_t i = 0; i <= POLICY_BUFFER_SIZE / record; ++i) {
    std::string path = "/" + std::to_string(i) + "/";
    path.resize(4096, 'p');
    model.fileContexts.emplace(std::move(path), "t");
  }
  return FromText(model);
}

TEST(CompileLimits, PolicyLargerThanTheBufferLeavesTheOutputAlone) {
  TempDir dir;
  const std::string output = dir.Write("policy.bin", "old");
  VaroCompiler compiler(OversizedPolicy());
  int result = 0;
  const std::vector<std::string> lines =
      CapturedLines([&] { return compiler.Compile(output, true); }, result);
  EXPECT_EQ(result, -22);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
            (std::vector<std::string>{
                "[INFO][VaroCompiler][Generating policy binary][path=" + output + "]",
                "[ERROR][VaroCompiler][Write rule database failed]",
                "[ERROR][VaroCompiler][Generate policy binary failed]"}));
  EXPECT_EQ(ReadFile(output), "old");
  EXPECT_FALSE(FileExists(dir.Path("policy.map")));
}

}  // namespace
}  // namespace polc_test
