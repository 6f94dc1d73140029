// The golden cases: every tests/cases/*.case file holds transcripts of
// shell commands with their exact output, each case run in a fresh
// directory. In a case file:
//
//   === name      starts a case (letters, digits and '_'); lines before the
//                 first case are notes
//   # ...         a note, except inside a file
//   --- path      the lines up to the next directive make this file, which is
//                 written into the case directory before the next command
//   $ command     runs with bash -o pipefail in the case directory; the lines
//                 up to the next directive are its exact standard output, or
//                 the lines it starts with when the last of them is "..."
//   2>            the lines up to the next directive are its exact standard error
//   ? status      its exit status, which is 0 when not given
//
// A command that exits with 77 when another status is expected skips the
// rest of its case: the machine cannot arrange what the case needs.
// Commands find this build's polc and polcdump on PATH and see TMP (the case
// directory), SRC (the source tree) and BUILD (the build tree); in their
// output those paths read $TMP, $SRC and $BUILD, and log lines lose their
// time stamps. An expectation changes only by editing its case file.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/support/polc_test.h"

namespace polc_test {
namespace {

namespace fs = std::filesystem;

struct Command {
  std::string text;
  std::string where;                                       // file:line of the command
  std::vector<std::pair<std::string, std::string>> files;  // written before it runs
  std::string out;
  std::string err;
  int status = 0;
};

struct Case {
  std::string name;
  std::string where;  // file:line of its "=== name" line
  std::vector<Command> commands;
};

// How GoogleTest shows a case in its messages: where to find it.
void PrintTo(const Case& testCase, std::ostream* out) { *out << testCase.where; }

// Reads one case file; a line that fits no place fails the load.
void ReadCaseFile(const fs::path& path, std::vector<Case>& cases) {
  std::ifstream in(path);
  const std::string stem = path.stem().string();
  std::vector<std::pair<std::string, std::string>> files;
  std::string* block = nullptr;  // where the lines of text go
  bool inFile = false;
  const size_t firstCase = cases.size();
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    const std::string where = path.filename().string() + ":" + std::to_string(++number);
    if (line.starts_with("=== ")) {
      cases.push_back({stem + "_" + line.substr(4), where, {}});
      block = nullptr;
    } else if (cases.size() == firstCase || (line.starts_with("#") && !inFile)) {
      continue;
    } else if (line.starts_with("--- ")) {
      files.emplace_back(line.substr(4), "");
      block = &files.back().second;
    } else if (line.starts_with("$ ")) {
      cases.back().commands.push_back({line.substr(2), where, std::move(files), "", "", 0});
      files.clear();
      block = &cases.back().commands.back().out;
    } else if (line == "2>" && block != nullptr && !inFile) {
      block = &cases.back().commands.back().err;
    } else if (line.starts_with("? ") && !cases.back().commands.empty()) {
      cases.back().commands.back().status = std::stoi(line.substr(2));
      block = nullptr;
    } else if (block != nullptr) {
      *block += line + "\n";
    } else {
      ADD_FAILURE() << where << ": a line outside any block";
    }
    inFile = block != nullptr && !files.empty() && block == &files.back().second;
  }
}

std::vector<Case> LoadCases() {
  std::vector<fs::path> paths;
  for (const auto& entry : fs::directory_iterator(POLC_SOURCE_DIR "/tests/cases")) {
    if (entry.path().extension() == ".case") paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  std::vector<Case> cases;
  for (const fs::path& path : paths) ReadCaseFile(path, cases);
  return cases;
}

// Whether `actual` is `expected`, or starts with it and goes on when
// `expected` ends in a "..." line.
bool Matches(const std::string& actual, const std::string& expected) {
  constexpr std::string_view MORE = "...\n";
  if (!expected.ends_with(MORE)) return actual == expected;
  const std::string_view shown(expected.data(), expected.size() - MORE.size());
  return actual.size() > shown.size() && actual.starts_with(shown);
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
    text.replace(at, from.size(), to);
  }
}

class Golden : public testing::TestWithParam<Case> {
 protected:
  // `output` as the case file spells it.
  std::string Masked(std::string output) const {
    for (const auto& [path, name] : paths) ReplaceAll(output, path, name);
    return StripTimestamps(output);
  }

  TempDir dir;
  // The build tree lies inside the source tree: it is masked first.
  const std::vector<std::pair<std::string, std::string>> paths = {
      {dir.path(), "$TMP"}, {POLC_BUILD_DIR, "$BUILD"}, {POLC_SOURCE_DIR, "$SRC"}};
};

TEST_P(Golden, Case) {
  const std::vector<std::string> env = {"TMP=" + dir.path(), "SRC=" POLC_SOURCE_DIR,
                                        "BUILD=" POLC_BUILD_DIR};
  for (const Command& command : GetParam().commands) {
    for (const auto& [name, content] : command.files) dir.Write(name, content);
    const RunResult run = RunShell(command.text, dir.path(), env);
    if (run.status == 77 && command.status != 77) GTEST_SKIP() << command.where;
    const std::string out = Masked(run.out);
    EXPECT_TRUE(Matches(out, command.out)) << command.where << ": $ " << command.text << "\ngave:\n"
                                           << out << "expected:\n"
                                           << command.out;
    EXPECT_EQ(Masked(run.err), command.err) << command.where << ": $ " << command.text;
    ASSERT_EQ(run.status, command.status) << command.where << ": $ " << command.text;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, Golden, testing::ValuesIn(LoadCases()),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace
}  // namespace polc_test
