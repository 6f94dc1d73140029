// A policy whose binary image does not fit the serialisation buffer, built
// in memory: as source text it would take more than 64 MiB of JSON.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
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

// Compiles `policy` over an existing policy.bin whose image does not fit:
// the run ends in -22 after the serialiser's line, and leaves the old file,
// no map and no temporary file.
void ExpectImageTooLarge(PolicyModel policy) {
  TempDir dir;
  const std::string output = dir.Write("policy.bin", "old");
  VaroCompiler compiler(std::move(policy));
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
  EXPECT_TRUE(ReadFile(output) == "old");
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path(""))) {
    names.push_back(entry.path().filename());
  }
  EXPECT_EQ(names, std::vector<std::string>{"policy.bin"});
}

TEST(CompileLimits, PolicyLargerThanTheBufferLeavesTheOutputAlone) {
  ExpectImageTooLarge(OversizedPolicy());
}

// File contexts that leave the head of the image just inside the buffer,
// and more rules than the room left: the head is written out while the rule
// table fills, and the rules then do not fit.
PolicyModel PolicyOverflowingInTheRules() {
  ModelText model;
  std::vector<std::string> types;
  for (int i = 0; i < 40; ++i) types.push_back("t" + std::to_string(10 + i));
  for (const std::string& type : types) {
    model.types.insert(type);
    model.typeAttrMap[type] = {type};
  }
  // The head ends within 8 KiB (and a record) of the buffer's end.
  const size_t record = 8 + 4096 + 3;  // lengths, path, context
  for (size_t i = 0; i < (POLICY_BUFFER_SIZE - 8 * 1024) / record; ++i) {
    std::string path = "/" + std::to_string(i) + "/";
    path.resize(4096, 'p');
    model.fileContexts.emplace(std::move(path), types[0]);
  }
  // 1600 rules of 12 bytes: more than the room the head leaves.
  for (const std::string& subject : types) {
    for (const std::string& object : types) model.grantRules[{subject, object, "file"}] = {"read"};
  }
  return FromText(model);
}

TEST(CompileLimits, RulesOverflowingAfterTheHeadLeaveNoFileBehind) {
  ExpectImageTooLarge(PolicyOverflowingInTheRules());
}

}  // namespace
}  // namespace polc_test
