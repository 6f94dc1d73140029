// Every C-style allocation of a whole compile made to fail in turn, as polc's
// main runs it: the reader on every source file, then the compiler. Each run
// must end in a non-zero result with its trace in the log and no output file
// (the sanitizer build checks for leaks); the run after the last allocation
// succeeds.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "compiler/varo_compiler.h"
#include "reader/json_parser.h"
#include "tests/ruledb/calloc_fault.h"
#include "tests/support/polc_test.h"

namespace polc_test {
namespace {

// Two files that use every section, the second requiring names of the first.
// The first:
const char kBase[] = R"({
  "declarations": {
    "type": ["init_t", "file_t", "web_packet_t"],
    "attr": ["domain"],
    "typeattr": {"init_t": ["domain"]},
    "labeling": {
      "file": [{"path": "/etc", "context": "file_t"}, {"path": "/bin", "context": "file_t"}],
      "reserved_sid": [{"sid": "kernel", "context": "init_t"}],
      "netif": [{"name": "lo", "context": "init_t"}],
      "packet": [{"prot": "tcp", "source": "0.0.0.0/0", "destination": "10.0.0.0/8",
                  "sport": "1024-65535", "dport": "80", "context": "web_packet_t"}]
    }
  },
  "rules": [{"subject": "domain",
             "teac": [{"object": "file_t", "class": "file", "operation": ["read", "open"]}],
             "type_transition": [{"object": "file_t", "class": "process",
                                  "target": "init_t"}]}]
})";

// The second file: its rule's "group", which the reader does not look into,
// holds enough values that the JSON parser needs a tape of its own and
// grows it.
std::string AppSource() {
  std::string group = "[0";
  for (int i = 1; i < 2500; ++i) group += ",0";
  return R"({
  "declarations": {"type": ["app_t"], "require": ["domain", "file_t"],
                   "typeattr": {"app_t": ["domain"]}},
  "rules": [{"subject": "app_t", "group": )" +
         group + R"(],
             "teac": [{"object": "file_t", "class": "file", "operation": ["write"]}]}]
})";
}

class WholeCompileAllocation : public testing::Test {
 protected:
  // The reader on both files, then with `compile` the compiler, the n-th
  // allocation of the last step failing. The compiler's record and its
  // serialisation buffer are left alone: their failure ends the process by
  // design. Returns false when the n-th allocation is never reached, after
  // checking that the run succeeded. Otherwise checks the failure: non-zero,
  // no "Done", an ERROR line last, nothing in the output directory; and
  // collects that last line without its [file=...].
  bool FailsCleanlyAt(bool compile, long n) {
    std::filesystem::create_directories(dir.Path("out"));
    JsonParser reader;
    std::optional<VaroCompiler> compiler;
    if (compile) {
      EXPECT_EQ(CaptureLog([&] { EXPECT_EQ(reader.ParseJsonFiles(inputs), 0); }).find("[ERROR]"),
                std::string::npos);
      compiler.emplace(reader.GetPolicyModel());
    }
    int status = 0;
    bool fired = false;
    const std::vector<std::string> log = Lines(CaptureLog([&] {
      ruledb_test::CallocFault fault(n, POLICY_BUFFER_SIZE);
      status = compile ? compiler->Compile(dir.Path("out/policy.bin"), true)
                       : reader.ParseJsonFiles(inputs);
      fired = fault.Fired();
    }));
    const std::string done = "[INFO][VaroCompiler][Done]";
    if (!fired) {
      EXPECT_EQ(status, 0);
      EXPECT_TRUE(!compile || (!log.empty() && log.back() == done));
      return false;
    }
    EXPECT_NE(status, 0) << "n=" << n;
    EXPECT_EQ(std::count(log.begin(), log.end(), done), 0);
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path("out"))) << "n=" << n;
    const std::string last = log.empty() ? "(nothing logged)" : log.back();
    EXPECT_TRUE(last.starts_with("[ERROR]")) << "n=" << n << ": " << last;
    lastLines.insert(last.substr(0, last.find("[file=")));
    return true;
  }

  TempDir dir;
  std::vector<std::string> inputs = {dir.Write("base.json", kBase),
                                     dir.Write("app.json", AppSource())};
  std::set<std::string> lastLines;
};

TEST_F(WholeCompileAllocation, EveryAllocationFailsCleanly) {
  long readerPoints = 0;
  while (FailsCleanlyAt(false, readerPoints + 1)) ++readerPoints;
  long compilerPoints = 0;
  while (FailsCleanlyAt(true, compilerPoints + 1)) ++compilerPoints;
  // One line per place a failure surfaces.
  EXPECT_EQ(lastLines,
            (std::set<std::string>{"[ERROR][JsonParser][Parse json file failed]",
                                   "[ERROR][VaroCompiler][Populate rule database failed]",
                                   "[ERROR][VaroCompiler][Generate policy binary failed]"}));
  // Parse state and arena of each document, the second's tape and at least
  // one growth of it; the compiler's count grows with the policy's lists
  // (the tables take a block or two each, whatever their size). Floors that
  // a lost wrapping would break.
  EXPECT_GE(readerPoints, 6);
  EXPECT_GE(compilerPoints, 20);
  RecordProperty("allocation_points", std::to_string(readerPoints + compilerPoints));
  std::printf("allocation points covered: %ld (reader %ld, compiler %ld)\n",
              readerPoints + compilerPoints, readerPoints, compilerPoints);
}

}  // namespace
}  // namespace polc_test
