// A \u0000 escape anywhere in a policy source file fails like invalid JSON.
// Decoded, it would cut a path, a name or a key short at the NUL, and the
// policy would quietly say something else than its source.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/polc_test.h"

namespace polc_test {
namespace {

TEST(NulEscape, InAnyStringOrKeyFailsLikeInvalidJson) {
  struct Case {
    const char* where;
    std::string source;
  };
  const Case cases[] = {
      {"file path", R"({"declarations": {"type": ["a_t"], "labeling": {"file": [
           {"path": "/etc\u0000/../x", "context": "a_t"}]}}})"},
      {"type", R"({"declarations": {"type": ["a\u0000zzz"]}})"},
      {"netif", R"({"declarations": {"type": ["a_t"], "labeling": {"netif": [
           {"name": "x\u0000y", "context": "a_t"}]}}})"},
      {"typeattr key", R"({"declarations": {"type": ["a_t"], "typeattr": {"a_t\u0000b": []}}})"},
      {"section key", R"({"declarations\u0000": {"type": ["a_t"]}})"},
      {"rule text", R"({"declarations": {"type": ["a_t"]}, "rules": [
           {"subject": "a_t", "group": "\u0000"}]})"},
  };
  for (const Case& row : cases) {
    TempDir dir;
    const std::string input = dir.Write("p.json", row.source);
    const RunResult run = RunPolc({"-c", "-m", "-o", dir.Path("policy.bin"), input});
    EXPECT_EQ(run.exitStatus, 255) << row.where;
    const std::vector<std::string> lines = Lines(StripTimestamps(run.out));
    ASSERT_FALSE(lines.empty()) << row.where;
    EXPECT_EQ(
        std::vector<std::string>(lines.begin() + 1, lines.end()),
        (std::vector<std::string>{
            "[INFO][JsonParser][Parsing json file][file=" + input + "]",
            "[ERROR][JsonParser][Parse json string failed, invalid json file][file=" + input + "]",
            "[ERROR][JsonParser][If use typeattr, please check the length of type less "
            "than 48]",
            "[ERROR][JsonParser][Parse json file failed][file=" + input + "]"}))
        << row.where;
    EXPECT_EQ(DirectoryEntries(dir.path()), std::vector<std::string>{"p.json"}) << row.where;
  }
}

}  // namespace
}  // namespace polc_test
