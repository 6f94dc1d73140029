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

// Runs the parser in this process from inside `workDir`, with its log lines
// captured, so that the filled options can be inspected.
class ParseInDir {
 public:
  ParseInDir(const std::string& workDir, std::vector<std::string> args) : args_(std::move(args)) {
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(workDir);
    std::vector<char*> argv;
    for (std::string& arg : args_) argv.push_back(arg.data());
    argv.push_back(nullptr);
    CaptureStdout();
    result_ =
        CommandParser::ParseCommandLine(options_, static_cast<int>(args_.size()), argv.data());
    log_ = polc_test::StripTimestamps(GetCapturedStdout());
    std::filesystem::current_path(previous);
  }

  int result() const { return result_; }
  const CommandOptions& options() const { return options_; }
  const std::string& log() const { return log_; }

 private:
  std::vector<std::string> args_;
  CommandOptions options_;
  int result_ = 0;
  std::string log_;
};

TEST(CommandParser, FillsOptionsWithCanonicalInputPaths) {
  polc_test::TempDir dir;
  const std::string base = dir.Write("policies/base.json", "{}");
  const std::string app = dir.Write("policies/app.json", "{}");
  std::filesystem::create_directory_symlink("policies", dir.Path("linked"));
  std::filesystem::create_symlink("policies/app.json", dir.Path("app-link.json"));
  dir.Write("work/.keep", "");

  const ParseInDir parse(dir.Path("work"), {"polc", "-o", "first.bin", "../linked/./base.json",
                                            "-m", "-c", "../app-link.json", "-o", "rel/out.bin",
                                            "../policies/../policies/base.json"});
  EXPECT_EQ(parse.result(), 0);
  EXPECT_EQ(parse.log(), "[INFO][CommandParser][Parsing command line][argc=10]\n");
  EXPECT_TRUE(parse.options().compileMode);
  EXPECT_TRUE(parse.options().generateMap);
  EXPECT_EQ(parse.options().outputPath, "rel/out.bin");
  EXPECT_EQ(parse.options().inputPaths, (std::vector<std::string>{base, app, base}));
}

TEST(CommandParser, DefaultsAndRerun) {
  polc_test::TempDir dir;
  dir.Write("a.json", "{}");
  for (int run = 0; run < 2; ++run) {
    const ParseInDir parse(dir.path(), {"polc", "-c", "-o", "out.bin", "a.json"});
    EXPECT_EQ(parse.result(), 0);
    EXPECT_FALSE(parse.options().generateMap);
    EXPECT_EQ(parse.options().inputPaths, std::vector<std::string>{dir.Path("a.json")});
  }
}

// A failing path stops the walk: later files are not examined.
TEST(CommandParser, StopsAtTheFirstBadInputPath) {
  polc_test::TempDir dir;
  const std::string good = dir.Write("good.json", "{}");
  const ParseInDir parse(
      dir.path(), {"polc", "-c", "-o", "out.bin", "good.json", "gone.json", "bad|name.json"});
  EXPECT_EQ(parse.result(), -1);
  EXPECT_EQ(parse.options().inputPaths, std::vector<std::string>{good});
  EXPECT_EQ(parse.log(),
            "[INFO][CommandParser][Parsing command line][argc=7]\n"
            "[ERROR][CommandParser][Get the realpath failed][path=gone.json]\n"
            "[ERROR][CommandParser][Parse input json path failed]\n");
}

}  // namespace
