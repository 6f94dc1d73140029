// The same sources give byte-identical binary and map files whatever polc's
// working directory, the order and spelling of the input names, the time
// zone and the locale.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/polc_test.h"

namespace polc_test {
namespace {

// The example policy's file names, sorted.
std::vector<std::string> ExampleNames() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(POLC_SOURCE_DIR "/examples")) {
    if (entry.path().extension() == ".json") names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

enum class Order { kSorted, kReversed, kRotated };

// `names` in `order`; rotated: the first name moves to the end.
std::vector<std::string> Ordered(std::vector<std::string> names, Order order) {
  if (order == Order::kReversed) std::reverse(names.begin(), names.end());
  if (order == Order::kRotated) std::rotate(names.begin(), names.begin() + 1, names.end());
  return names;
}

struct Condition {
  std::string workDir;
  std::string inputPrefix;  // put before each file name
  Order order;              // of the file names
  std::string output;       // absolute, or relative to workDir
  std::string env;          // NAME=VALUE entries, separated by blanks
};

TEST(ReproducibleOutput, ExamplePolicyGivesTheSameBytesUnderEveryCondition) {
  TempDir dir;
  const std::string examples = POLC_SOURCE_DIR "/examples";
  std::filesystem::create_directory_symlink(examples, dir.Path("linked"));
  for (const char* run : {"first", "second", "third"}) {
    std::filesystem::create_directories(dir.Path(run));
  }
  const Condition conditions[] = {
      // In the examples folder, relative names, UTC, C locale.
      {examples, "", Order::kSorted, dir.Path("first/policy.bin"), "TZ=UTC LC_ALL=C LANG=C"},
      // In the output folder, absolute names reversed, UTC+12:45, Turkish locale.
      {dir.Path("second"), examples + "/", Order::kReversed, "policy.bin",
       "TZ=Pacific/Chatham LC_ALL=tr_TR.UTF-8 LANG=tr_TR.UTF-8"},
      // In /, names rotated, through a symbolic link and '..', UTC-3:30, German locale.
      {"/", dir.Path("first/../linked/"), Order::kRotated, dir.Path("third/policy.bin"),
       "TZ=America/St_Johns LC_ALL= LANG=de_DE.UTF-8"},
  };
  const std::vector<std::string> names = ExampleNames();
  ASSERT_GE(names.size(), 3u) << "three orders need three files";
  std::string firstBinary;
  std::string firstMap;
  for (const Condition& condition : conditions) {
    std::vector<std::string> args = {"-c", "-m", "-o", condition.output};
    for (const std::string& name : Ordered(names, condition.order)) {
      args.push_back(condition.inputPrefix + name);
    }
    RunOptions options;
    options.workDir = condition.workDir;
    std::istringstream env(condition.env);
    for (std::string entry; env >> entry;) options.env.push_back(entry);
    const RunResult run = RunPolc(args, options);
    ASSERT_EQ(run.exitStatus, 0) << condition.workDir << "\n" << run.out;
    const std::string output = condition.output.starts_with("/")
                                   ? condition.output
                                   : condition.workDir + "/" + condition.output;
    const std::string binary = ReadFile(output);
    const std::string map = ReadFile(output.substr(0, output.rfind('/')) + "/policy.map");
    if (firstBinary.empty()) {
      firstBinary = binary;
      firstMap = map;
      continue;
    }
    EXPECT_TRUE(binary == firstBinary) << condition.workDir << ": the binary differs";
    EXPECT_TRUE(map == firstMap) << condition.workDir << ": the map differs";
  }
  EXPECT_FALSE(firstBinary.empty());
  EXPECT_FALSE(firstMap.empty());
}

}  // namespace
}  // namespace polc_test
