// The command line end to end: the built polc run in a temporary directory,
// its standard output compared with the time stamps set aside.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/polc_test.h"

namespace {

using polc_test::RunOptions;
using polc_test::RunPolc;
using polc_test::RunResult;
using polc_test::StripTimestamps;
using polc_test::TempDir;

const std::string kUsage =
    "Usage: polc options <input files>\n"
    "Options:\n"
    "  -c           Run in compile mode\n"
    "  -m           Generate policy map file\n"
    "  -o <file>    The output file path\n"
    "\n";
const std::string kHint = "Please run polc to get Usage.\n";
const std::string kOptionFailed = "[ERROR][CommandParser][Parse command line option failed]\n";
const std::string kInputFailed = "[ERROR][CommandParser][Parse input json path failed]\n";
const std::string kValidateFailed = "[ERROR][CommandParser][Validate command line option failed]\n";
const std::string kCountFailed =
    "[ERROR][CommandParser][Exceed the minmum or maximum number of input files][min=1, "
    "max=4096]\n" +
    kInputFailed;

std::string Parsing(size_t argc) {
  return "[INFO][CommandParser][Parsing command line][argc=" + std::to_string(argc) + "]\n";
}

// The lines of the command-line stage: its own log lines and the hint line.
// Once the command line is accepted, later stages add lines of their own.
std::string CommandLineStage(const std::string& out) {
  std::string stage;
  for (const std::string& line : polc_test::Lines(StripTimestamps(out))) {
    if (line.find("[CommandParser]") != std::string::npos || line.starts_with("Please run")) {
      stage += line + "\n";
    }
  }
  return stage;
}

// Runs polc as "polc" inside `dir`, so that relative paths and the hint line
// are the same on every machine.
RunResult RunIn(const TempDir& dir, const std::vector<std::string>& args) {
  RunOptions options;
  options.workDir = dir.path();
  options.argv0 = "polc";
  return RunPolc(args, options);
}

TEST(CommandLine, NoArgumentsPrintsUsage) {
  const RunResult run = RunPolc({});
  EXPECT_EQ(run.out, kUsage);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exitStatus, 0);
}

TEST(CommandLine, HintLineRepeatsArgvZeroAsGiven) {
  RunOptions options;
  options.argv0 = "./some dir/../my polc";
  const RunResult run = RunPolc({"-c"}, options);
  EXPECT_EQ(StripTimestamps(run.out),
            Parsing(2) + kCountFailed + "Please run ./some dir/../my polc to get Usage.\n");
  EXPECT_EQ(run.exitStatus, 255);
}

// A refused command line ends the run with the parser's lines, the hint
// line and 255; an accepted one leaves only the "Parsing" line of its own.
void ExpectCommandLineStage(const RunResult& run, size_t argc, const std::string& log,
                            bool accepted) {
  if (accepted) {
    EXPECT_EQ(CommandLineStage(run.out), Parsing(argc));
  } else {
    EXPECT_EQ(StripTimestamps(run.out), Parsing(argc) + log + kHint);
    EXPECT_EQ(run.exitStatus, 255);
  }
}

struct CommandRow {
  const char* what;
  std::vector<std::string> args;
  std::string log;  // of a refusal, after the "Parsing command line" line
  bool accepted;
  bool diagnostic = false;  // the C library writes to standard error
};

// Every row runs in a directory holding policy.json and the files whose
// names carry ';' and '$', so that a refusal of those shows the character
// check, not a missing file.
TEST(CommandLine, AcceptsOrRefuses) {
  TempDir dir;
  dir.Write("policy.json", "{}");
  dir.Write("a b.json", "{}");
  dir.Write("a;b.json", "{}");
  dir.Write("a$b.json", "{}");
  dir.Write("a\tb.json", "{}");
  const CommandRow rows[] = {
      {"all options", {"-c", "-m", "-o", "out.bin", "policy.json"}, "", true},
      {"options after the files", {"policy.json", "-o", "out.bin", "-c"}, "", true},
      {"-c and -m twice", {"-c", "-c", "-m", "-m", "-o", "out.bin", "policy.json"}, "", true},
      {"the second -o replaces the first",
       {"-c", "-o", "bad>out", "-o", "out.bin", "policy.json"},
       "",
       true},
      {"the second -o is checked",
       {"-c", "-o", "out.bin", "-o", "bad>out", "policy.json"},
       "[ERROR][CommandParser][Invalid output path][path=bad>out]\n" + kValidateFailed,
       false},
      {"output directory need not exist",
       {"-c", "-o", "no/such/dir/out.bin", "policy.json"},
       "",
       true},
      {"blank in an input path", {"-c", "-o", "out.bin", "a b.json"}, "", true},
      {"the same file twice", {"-c", "-o", "out.bin", "policy.json", "policy.json"}, "", true},
      {"unknown option", {"-x", "-c", "-o", "out.bin", "policy.json"}, kOptionFailed, false, true},
      {"-o without a value", {"-c", "policy.json", "-o"}, kOptionFailed, false, true},
      {"no input file", {"-c", "-o", "out.bin"}, kCountFailed, false},
      {"semicolon in an input path",
       {"-c", "-o", "out.bin", "policy.json", "a;b.json"},
       "[ERROR][CommandParser][Invalid input path][path=a;b.json]\n" + kInputFailed,
       false},
      {"dollar in an input path",
       {"-c", "-o", "out.bin", "a$b.json"},
       "[ERROR][CommandParser][Invalid input path][path=a$b.json]\n" + kInputFailed,
       false},
      {"tab in an input path is shown masked",
       {"-c", "-o", "out.bin", "a\tb.json"},
       "[ERROR][CommandParser][Invalid input path][path=a*b.json]\n" + kInputFailed,
       false},
      {"missing file, shown as typed",
       {"-c", "-o", "out.bin", "./nothing/../missing.json", "a;b.json"},
       "[ERROR][CommandParser][Get the realpath failed][path=./nothing/../missing.json]\n" +
           kInputFailed,
       false},
      {"a bad input path is reported before a missing -c",
       {"-o", "out.bin", "a;b.json"},
       "[ERROR][CommandParser][Invalid input path][path=a;b.json]\n" + kInputFailed,
       false},
      {"no -c",
       {"-m", "-o", "out.bin", "policy.json"},
       "[ERROR][CommandParser][No compile mode specified]\n" + kValidateFailed,
       false},
      {"no -c and no -o",
       {"policy.json"},
       "[ERROR][CommandParser][No compile mode specified]\n" + kValidateFailed,
       false},
      {"no -o",
       {"-c", "policy.json"},
       "[ERROR][CommandParser][No output file path specified]\n" + kValidateFailed,
       false},
      {"empty -o",
       {"-c", "-o", "", "policy.json"},
       "[ERROR][CommandParser][No output file path specified]\n" + kValidateFailed,
       false},
      {"output path with '>'",
       {"-c", "-o", "out>x", "policy.json"},
       "[ERROR][CommandParser][Invalid output path][path=out>x]\n" + kValidateFailed,
       false},
      {"output path with a control character is shown masked",
       {"-c", "-o", "out\x1b[2J", "policy.json"},
       "[ERROR][CommandParser][Invalid output path][path=out*[2J]\n" + kValidateFailed,
       false},
  };
  for (const CommandRow& row : rows) {
    SCOPED_TRACE(row.what);
    const RunResult run = RunIn(dir, row.args);
    ExpectCommandLineStage(run, row.args.size() + 1, row.log, row.accepted);
    EXPECT_EQ(run.err.empty(), !row.diagnostic) << run.err;
  }
}

TEST(CommandLine, InputFileCountLimits) {
  TempDir dir;
  dir.Write("policy.json", "{}");
  const struct {
    size_t files;
    bool accepted;
  } rows[] = {{4096, true}, {4097, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.files);
    std::vector<std::string> args = {"-c", "-o", "out.bin"};
    args.insert(args.end(), row.files, "policy.json");
    ExpectCommandLineStage(RunIn(dir, args), args.size() + 1, kCountFailed, row.accepted);
  }
}

}  // namespace
