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
std::string Error(const std::string& message) {
  return "[ERROR][CommandParser][" + message + "]\n";
}
const std::string kOptionFailed = Error("Parse command line option failed");
const std::string kInputFailed = Error("Parse input json path failed");
const std::string kValidateFailed = Error("Validate command line option failed");
const std::string kCountFailed =
    Error("Exceed the minmum or maximum number of input files][min=1, max=4096") + kInputFailed;

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

// A refused command line ends the run with the parser's lines (`log`), the
// hint line and 255; an accepted one (empty `log`) leaves only the "Parsing"
// line of its own.
void ExpectCommandLineStage(const RunResult& run, size_t argc, const std::string& log) {
  if (log.empty()) {
    EXPECT_EQ(CommandLineStage(run.out), Parsing(argc));
  } else {
    EXPECT_EQ(StripTimestamps(run.out), Parsing(argc) + log + kHint);
    EXPECT_EQ(run.exitStatus, 255);
  }
}

std::string BadInput(const std::string& shown) {
  return Error("Invalid input path][path=" + shown) + kInputFailed;
}
std::string BadOutput(const std::string& shown) {
  return Error("Invalid output path][path=" + shown) + kValidateFailed;
}
const std::string kNoCompileMode = Error("No compile mode specified") + kValidateFailed;
const std::string kNoOutput = Error("No output file path specified") + kValidateFailed;

struct CommandRow {
  const char* what;
  std::vector<std::string> args;
  std::string log;          // of a refusal, after the "Parsing command line" line
  bool diagnostic = false;  // the C library writes to standard error
};

// Every row runs in a directory holding policy.json and the files whose
// names carry ';' and '$', so that a refusal of those shows the character
// check, not a missing file.
TEST(CommandLine, AcceptsOrRefuses) {
  TempDir dir;
  for (const char* name : {"policy.json", "a b.json", "a;b.json", "a$b.json", "a\tb.json"}) {
    dir.Write(name, "{}");
  }
  const CommandRow rows[] = {
      {"all options", {"-c", "-m", "-o", "out.bin", "policy.json"}, ""},
      {"options after the files", {"policy.json", "-o", "out.bin", "-c"}, ""},
      {"-c and -m twice", {"-c", "-c", "-m", "-m", "-o", "out.bin", "policy.json"}, ""},
      {"second -o wins", {"-c", "-o", "bad>out", "-o", "out.bin", "policy.json"}, ""},
      {"second -o checked",
       {"-c", "-o", "out.bin", "-o", "bad>out", "policy.json"},
       BadOutput("bad>out")},
      {"output directory need not exist", {"-c", "-o", "no/such/dir/out.bin", "policy.json"}, ""},
      {"blank in an input path", {"-c", "-o", "out.bin", "a b.json"}, ""},
      {"the same file twice", {"-c", "-o", "out.bin", "policy.json", "policy.json"}, ""},
      {"unknown option", {"-x", "-c", "-o", "out.bin", "policy.json"}, kOptionFailed, true},
      {"-o without a value", {"-c", "policy.json", "-o"}, kOptionFailed, true},
      {"no input file", {"-c", "-o", "out.bin"}, kCountFailed},
      {"; in input", {"-c", "-o", "out.bin", "policy.json", "a;b.json"}, BadInput("a;b.json")},
      {"dollar in an input path", {"-c", "-o", "out.bin", "a$b.json"}, BadInput("a$b.json")},
      {"tab in input, masked", {"-c", "-o", "out.bin", "a\tb.json"}, BadInput("a*b.json")},
      {"missing file as typed, stops",
       {"-c", "-o", "out.bin", "./nothing/../missing.json", "a;b.json"},
       Error("Get the realpath failed][path=./nothing/../missing.json") + kInputFailed},
      {"bad input before no -c", {"-o", "out.bin", "a;b.json"}, BadInput("a;b.json")},
      {"no -c", {"-m", "-o", "out.bin", "policy.json"}, kNoCompileMode},
      {"no -c and no -o", {"policy.json"}, kNoCompileMode},
      {"no -o", {"-c", "policy.json"}, kNoOutput},
      {"empty -o", {"-c", "-o", "", "policy.json"}, kNoOutput},
      {"output path with '>'", {"-c", "-o", "out>x", "policy.json"}, BadOutput("out>x")},
      {"control in output, masked",
       {"-c", "-o", "out\x1b[2J", "policy.json"},
       BadOutput("out*[2J")},
  };
  for (const CommandRow& row : rows) {
    SCOPED_TRACE(row.what);
    const RunResult run = RunIn(dir, row.args);
    ExpectCommandLineStage(run, row.args.size() + 1, row.log);
    EXPECT_EQ(run.err.empty(), !row.diagnostic) << run.err;
  }
}

TEST(CommandLine, InputFileCountLimits) {
  TempDir dir;
  dir.Write("policy.json", "{}");
  for (const size_t files : {4096, 4097}) {
    SCOPED_TRACE(files);
    std::vector<std::string> args = {"-c", "-o", "out.bin"};
    args.insert(args.end(), files, "policy.json");
    ExpectCommandLineStage(RunIn(dir, args), args.size() + 1, files > 4096 ? kCountFailed : "");
  }
}

}  // namespace
