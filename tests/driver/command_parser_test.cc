#include "driver/command_parser.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/polc_test.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

struct Parsed {
  int result = 0;
  CommandOptions options;
  std::string log;
};

// Runs the parser in this process from inside `workDir`, with its log lines
// captured, so that the filled options can be inspected.
Parsed ParseInDir(const std::string& workDir, std::vector<std::string> args) {
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(workDir);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  Parsed parsed;
  CaptureStdout();
  parsed.result =
      CommandParser::ParseCommandLine(parsed.options, static_cast<int>(args.size()), argv.data());
  parsed.log = polc_test::StripTimestamps(GetCapturedStdout());
  std::filesystem::current_path(previous);
  return parsed;
}

TEST(CommandParser, FillsOptionsWithCanonicalInputPaths) {
  polc_test::TempDir dir;
  const std::string base = dir.Write("policies/base.json", "{}");
  const std::string app = dir.Write("policies/app.json", "{}");
  std::filesystem::create_directory_symlink("policies", dir.Path("linked"));
  std::filesystem::create_symlink("policies/app.json", dir.Path("app-link.json"));
  dir.Write("work/.keep", "");

  const Parsed parse =
      ParseInDir(dir.Path("work"),
                 {"polc", "-o", "first.bin", "../linked/./base.json", "-m", "-c",
                  "../app-link.json", "-o", "rel/out.bin", "../policies/../policies/base.json"});
  EXPECT_EQ(parse.result, 0);
  EXPECT_EQ(parse.log, "[INFO][CommandParser][Parsing command line][argc=10]\n");
  EXPECT_TRUE(parse.options.compileMode);
  EXPECT_TRUE(parse.options.generateMap);
  EXPECT_EQ(parse.options.outputPath, "rel/out.bin");
  EXPECT_EQ(parse.options.inputPaths, (std::vector<std::string>{base, app, base}));
}

// Options not given keep their defaults, also when the parser runs again.
TEST(CommandParser, DefaultsAndRerun) {
  polc_test::TempDir dir;
  dir.Write("a.json", "{}");
  for (int run = 0; run < 2; ++run) {
    const Parsed parse = ParseInDir(dir.path(), {"polc", "-c", "-o", "out.bin", "a.json"});
    EXPECT_EQ(parse.result, 0);
    EXPECT_FALSE(parse.options.generateMap);
    EXPECT_EQ(parse.options.inputPaths, std::vector<std::string>{dir.Path("a.json")});
  }
}

}  // namespace
