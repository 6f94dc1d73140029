// Every C-style allocation of a whole compile made to fail in turn, as polc's
// main runs it: the reader on every source file, then the compiler. Each run
// must end in a non-zero result with its trace in the log and no output file
// (the sanitizer build checks for leaks); the run after the last allocation
// succeeds.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
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

// The lines a failed compile ends with, one per place a failure surfaces.
const char kReaderFailed[] = "[ERROR][JsonParser][Parse json file failed]";
const char kPopulateFailed[] = "[ERROR][VaroCompiler][Populate rule database failed]";
const char kWriteFailed[] = "[ERROR][VaroCompiler][Generate policy binary failed]";

class WholeCompileAllocation : public testing::Test {
 protected:
  struct Outcome {
    int status = 0;
    bool fired = false;
    std::vector<std::string> log;
  };

  // The reader on both files, with the n-th allocation failing when n > 0.
  Outcome ReadFailingAt(JsonParser& reader, long n) {
    return Run(n, [&] { return reader.ParseJsonFiles(inputs); });
  }

  // The reader, then the compiler with its n-th allocation failing. The
  // compiler's record and its serialisation buffer are left alone: their
  // failure ends the process by design.
  Outcome CompileFailingAt(long n) {
    JsonParser reader;
    const Outcome read = ReadFailingAt(reader, 0);
    EXPECT_EQ(read.status, 0);
    VaroCompiler compiler(reader.GetPolicyModel());
    return Run(n, [&] { return compiler.Compile(dir.Path("out/policy.bin"), true); });
  }

  // Checks a failed run: non-zero, no "Done", an ERROR line last, nothing
  // in the output directory. Returns that last line without its [file=...].
  std::string CheckFailure(const Outcome& outcome, long n) {
    EXPECT_NE(outcome.status, 0) << "n=" << n;
    EXPECT_EQ(std::count(outcome.log.begin(), outcome.log.end(), "[INFO][VaroCompiler][Done]"), 0);
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path("out"))) << "n=" << n;
    if (outcome.log.empty()) {
      ADD_FAILURE() << "n=" << n << ": nothing logged";
      return "";
    }
    const std::string& last = outcome.log.back();
    EXPECT_TRUE(last.starts_with("[ERROR]")) << "n=" << n << ": " << last;
    return last.substr(0, last.find("[file="));
  }

  TempDir dir;
  std::vector<std::string> inputs = {dir.Write("base.json", kBase),
                                     dir.Write("app.json", AppSource())};

 private:
  template <typename Action>
  Outcome Run(long n, Action action) {
    std::filesystem::create_directories(dir.Path("out"));
    Outcome outcome;
    testing::internal::CaptureStdout();
    {
      ruledb_test::CallocFault fault(n > 0 ? n : 0, POLICY_BUFFER_SIZE);
      outcome.status = action();
      outcome.fired = n > 0 && fault.Fired();
    }
    outcome.log = Lines(StripTimestamps(testing::internal::GetCapturedStdout()));
    return outcome;
  }
};

TEST_F(WholeCompileAllocation, EveryAllocationFailsCleanly) {
  std::set<std::string> lastLines;
  long readerPoints = 0;
  for (long n = 1;; ++n) {
    JsonParser reader;
    const Outcome outcome = ReadFailingAt(reader, n);
    if (!outcome.fired) {
      EXPECT_EQ(outcome.status, 0);
      break;
    }
    ++readerPoints;
    lastLines.insert(CheckFailure(outcome, n));
  }
  long compilerPoints = 0;
  for (long n = 1;; ++n) {
    const Outcome outcome = CompileFailingAt(n);
    if (!outcome.fired) {
      ASSERT_EQ(outcome.status, 0);
      EXPECT_EQ(outcome.log.back(), "[INFO][VaroCompiler][Done]");
      break;
    }
    ++compilerPoints;
    lastLines.insert(CheckFailure(outcome, n));
  }
  EXPECT_EQ(lastLines, (std::set<std::string>{kReaderFailed, kPopulateFailed, kWriteFailed}));
  // Parse state and arena of each document, the second's tape and at least
  // one growth of it; the compiler's count grows with the policy. Floors
  // that a lost wrapping would break.
  EXPECT_GE(readerPoints, 6);
  EXPECT_GT(compilerPoints, 40);
  RecordProperty("allocation_points", std::to_string(readerPoints + compilerPoints));
  std::printf("allocation points covered: %ld (reader %ld, compiler %ld)\n",
              readerPoints + compilerPoints, readerPoints, compilerPoints);
}

}  // namespace
}  // namespace polc_test
