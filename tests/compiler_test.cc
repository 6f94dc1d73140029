// Every C-style allocation of a compile made to fail in turn, SQLite style:
// each run ends in a clean failure with its cause in the log and nothing
// on disk (the sanitizer build checks for leaks), and the run after the
// last allocation succeeds.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "compiler/varo_compiler.h"
#include "reader/json_parser.h"
#include "tests/support/polc_test.h"

namespace {

using polc_test::AllocationFault;
using polc_test::CaptureLog;
using polc_test::CountFailingAllocations;
using polc_test::Lines;

// Two files that use every section and two entries of every kind, the
// second requiring names of the first. Its rule's "group", which the reader
// does not look into, is large enough for the JSON parser to allocate a
// tape and grow it.
std::vector<std::string> WriteSources(const polc_test::TempDir& dir) {
  std::string group = "[0";
  for (int i = 1; i < 2500; ++i) group += ",0";
  return {dir.Write("base.json", R"({"declarations": {
    "type": ["a_t", "b_t"], "attr": ["dom"], "typeattr": {"a_t": ["dom"], "b_t": ["dom"]},
    "labeling": {
      "file": [{"path": "/etc", "context": "b_t"}, {"path": "/bin", "context": "a_t"}],
      "reserved_sid": [{"sid": "kernel", "context": "a_t"}, {"sid": "proc", "context": "b_t"}],
      "netif": [{"name": "lo", "context": "a_t"}, {"name": "eth0", "context": "b_t"}],
      "packet": [{"prot": "tcp", "source": "0.0.0.0/0", "destination": "10.0.0.0/8",
                  "sport": "1-2", "dport": "80", "context": "a_t"},
                 {"prot": "udp", "source": "0.0.0.0/0", "destination": "10.0.0.0/8",
                  "sport": "1-2", "dport": "80", "context": "b_t"}]}},
    "rules": [{"subject": "dom", "teac": [{"object": "a_t", "class": "dir", "operation": []}],
               "type_transition": [{"object": "b_t", "class": "file", "target": "b_t"}]}]})"),
          dir.Write("app.json", R"({"declarations": {"require": ["a_t", "b_t", "dom"]},
    "rules": [{"subject": "a_t", "group": )" +
                                    group + R"(],
               "teac": [{"object": "b_t", "class": "file", "operation": ["read"]}],
               "type_transition": [{"object": "b_t", "class": "dir", "target": "a_t"}]}]})")};
}

PolicyModel ReadModel(const std::vector<std::string>& paths) {
  JsonParser reader;
  int status = 0;
  const std::string log = CaptureLog([&] { status = reader.ParseJsonFiles(paths); });
  EXPECT_EQ(status, 0) << log;
  return reader.TakePolicyModel();
}

TEST(CompileAllocations, EveryPopulationAllocationFailsWithItsOwnLine) {
  const polc_test::TempDir dir;
  const PolicyModel model = ReadModel(WriteSources(dir));
  std::set<std::string> causes;
  CountFailingAllocations([&](long n) {
    VaroCompiler compiler(model);
    int status = 0;
    bool fired = false;
    const std::vector<std::string> lines = Lines(CaptureLog([&] {
      const AllocationFault fault(n);
      status = compiler.PopulateRuleDataBase();
      fired = fault.Fired();
    }));
    if (!fired) {
      EXPECT_EQ(status, 0);
      return false;
    }
    EXPECT_TRUE(status == -1 || status == -12 || status == -22) << n << ": " << status;
    causes.insert(lines.empty() ? "" : lines.back());
    return true;
  });
  std::set<std::string> expected;
  for (const char* cause :
       {"Allocate memory failed for file contexts Key or Datum",
        "Allocate memory failed for initial sid object", "Allocate memory failed for netif name",
        "Allocate memory failed for netif object", "Allocate memory failed for packet object",
        "Allocate memory failed for symTbl Key or Datum",
        "Allocate memory failed for typeattr node", "Allocate memory failed for typeattrs array",
        "Init file contexts table failed", "Init rule table failed",
        "Init type symbol table failed", "Insert grant rule table failed",
        "Insert transition rule table failed"}) {
    expected.insert(std::string("[ERROR][VaroCompiler][") + cause + "]");
  }
  EXPECT_EQ(causes, expected);
}

// As polc's main runs it: the reader on both files, then the compiler. The
// compiler's record and its serialisation buffer are left alone: their
// failure ends the process by design.
TEST(CompileAllocations, EveryAllocationOfAWholeCompileFailsCleanly) {
  const polc_test::TempDir dir;
  const std::vector<std::string> inputs = WriteSources(dir);
  const std::string output = dir.Path("out/policy.bin");
  std::set<std::string> lastLines;
  // Compiles with the n-th allocation of the reader, or with `compile` of
  // the compiler, failing; checks the outcome and collects the last line.
  const auto failsCleanlyAt = [&](bool compile, long n) {
    std::filesystem::create_directories(dir.Path("out"));
    JsonParser reader;
    std::optional<VaroCompiler> compiler;
    if (compile) compiler.emplace(ReadModel(inputs));
    int status = 0;
    bool fired = false;
    const std::vector<std::string> log = Lines(CaptureLog([&] {
      const AllocationFault fault(n, POLICY_BUFFER_SIZE);
      status = compile ? compiler->Compile(output, true) : reader.ParseJsonFiles(inputs);
      fired = fault.Fired();
    }));
    if (!fired) {
      EXPECT_EQ(status, 0);
      EXPECT_TRUE(!compile || log.back() == "[INFO][VaroCompiler][Done]");
      return false;
    }
    EXPECT_NE(status, 0) << n;
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path("out"))) << n;
    const std::string last = log.empty() ? "(nothing logged)" : log.back();
    EXPECT_TRUE(last.starts_with("[ERROR]")) << n << ": " << last;
    lastLines.insert(last.substr(0, last.find("[file=")));
    return true;
  };
  const long reader = CountFailingAllocations([&](long n) { return failsCleanlyAt(false, n); });
  const long compiler = CountFailingAllocations([&](long n) { return failsCleanlyAt(true, n); });
  EXPECT_EQ(lastLines,
            (std::set<std::string>{"[ERROR][JsonParser][Parse json file failed]",
                                   "[ERROR][VaroCompiler][Populate rule database failed]",
                                   "[ERROR][VaroCompiler][Generate policy binary failed]"}));
  // The parse state and arena of each document, the second's tape and its
  // growth; the compiler's lists and tables. Floors that a lost wrap breaks.
  EXPECT_GE(reader, 6);
  EXPECT_GE(compiler, 20);
}

// Records each stage as it begins, and fails when one begins inside another.
class StageRecorder final : public StageTimer {
 public:
  void Begin(Stage stage) override {
    EXPECT_FALSE(running) << StageName(stage) << " inside another stage";
    running = true;
    stages.push_back(StageName(stage));
  }
  void End(Stage) override { running = false; }

  std::vector<std::string> stages;

 private:
  bool running = false;
};

TEST(StageTimer, SeesEveryStageOfACompileInItsTurnAndAlone) {
  const polc_test::TempDir dir;
  StageRecorder recorder;
  const std::string log = CaptureLog([&] {
    EXPECT_EQ(CompileSources(WriteSources(dir), dir.Path("policy.bin"), true, &recorder), 0);
  });
  const std::vector<std::string> file = {"reading", "JSON parse", "sections", "checks", "merge"};
  std::vector<std::string> expected = file;
  expected.insert(expected.end(), file.begin(), file.end());
  expected.insert(expected.end(), {"checks", "hand-over", "types", "labeling", "file ctxs",
                                   "typeattrs", "rule table", "write", "release", "map", "release"});
  EXPECT_EQ(recorder.stages, expected) << log;
}

TEST(PolicyMapPath, SitsBesideTheOutput) {
  const std::pair<std::string, std::string> cases[] = {
      {"out/policy.bin", "out/policy.map"}, {"policy.bin", "policy.map"},
      {"/policy.bin", "/policy.map"},       {"a/b/", "a/b/policy.map"},
      {"./x.bin", "./policy.map"},          {"/srv/varo/policy", "/srv/varo/policy.map"}};
  for (const auto& [output, map] : cases) EXPECT_EQ(PolicyMapPath(output), map) << output;
}

}  // namespace
