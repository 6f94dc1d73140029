// Every allocation of the population steps made to fail in turn: each run
// ends in a clean failure whose last line names the step's own cause, the
// database stays destroyable (the sanitizer build checks for leaks), and the
// run after the last allocation succeeds.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "compiler/varo_compiler.h"
#include "tests/compiler/compiler_test_support.h"
#include "tests/ruledb/calloc_fault.h"
#include "tests/support/model_text.h"
#include "tests/support/polc_test.h"

namespace polc_test {
namespace {

// Two entries of every kind the compiler populates.
PolicyModel EveryKindTwice() {
  ModelText model;
  model.types = {"a_t", "b_t"};
  model.attrs = {"dom"};
  model.typeAttrMap = {{"a_t", {"a_t", "dom"}}, {"b_t", {"b_t", "dom"}}, {"dom", {"dom"}}};
  model.initialSids = {{"kernel", "a_t"}, {"proc", "b_t"}};
  model.netifs = {{"eth0", "a_t"}, {"lo", "b_t"}};
  PacketKey web;
  web.protocol = 6;
  web.dportStart = web.dportEnd = 80;
  PacketKey dns = web;
  dns.protocol = 17;
  model.packets = {{web, "a_t"}, {dns, "b_t"}};
  model.fileContexts = {{"/bin", "a_t"}, {"/etc", "b_t"}};
  model.grantRules = {{{"a_t", "b_t", "file"}, {"read"}}, {{"dom", "a_t", "dir"}, {}}};
  model.transitionRules = {{{"a_t", "b_t", "file"}, "b_t"}, {{"a_t", "b_t", "dir"}, "a_t"}};
  return FromText(model);
}

// Runs `step` with the n-th calloc failing: the lines it logged, its status
// and whether the fault fired.
template <typename Step>
std::vector<std::string> FailingAt(long n, Step step, int& status, bool& fired) {
  return CapturedLines(
      [&] {
        ruledb_test::CallocFault fault(n);
        const int result = step();
        fired = fault.Fired();
        return result;
      },
      status);
}

// The population steps one after the other on this thread, as
// PopulateRuleDataBase runs them, so that every allocation of them, the
// rule table's included, comes in a fixed order.
int PopulateInTurn(VaroCompiler& compiler) {
  compiler.SortTypeFields();
  for (const auto step : {&VaroCompiler::PopulateTypeSymTbl, &VaroCompiler::PopulateLabeling,
                          &VaroCompiler::PopulateFileContexts, &VaroCompiler::PopulateTypeAttrs,
                          &VaroCompiler::PopulateRuleTbl}) {
    if (const int status = (compiler.*step)(); status != 0) return status;
  }
  return 0;
}

TEST(CompileAllocationFailure, EveryPopulationAllocationFailsWithItsOwnLine) {
  const PolicyModel model = EveryKindTwice();
  std::set<std::string> causes;
  for (long n = 1;; ++n) {
    VaroCompiler compiler(model);
    int status = 0;
    bool fired = false;
    const std::vector<std::string> lines = FailingAt(
        n, [&] { return PopulateInTurn(compiler); }, status, fired);
    if (!fired) {
      EXPECT_EQ(status, 0);
      break;
    }
    EXPECT_TRUE(status == -1 || status == -12 || status == -22) << "n=" << n << " " << status;
    causes.insert(lines.empty() ? "" : lines.back());
  }
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

TEST(CompileAllocationFailure, CompileReportsTheFailedPopulation) {
  VaroCompiler compiler(EveryKindTwice());
  TempDir dir;
  int status = 0;
  bool fired = false;
  const std::vector<std::string> lines = FailingAt(
      1, [&] { return compiler.Compile(dir.Path("policy.bin"), true); }, status, fired);
  // The first allocation is the symbol table's or, on the thread that fills
  // the rule table meanwhile, that table's; either status comes up
  // unchanged, after the failing table's own line.
  EXPECT_EQ(status, -12);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_TRUE(lines[lines.size() - 2] == "[ERROR][VaroCompiler][Init type symbol table failed]" ||
              lines[lines.size() - 2] == "[ERROR][VaroCompiler][Init rule table failed]")
      << lines[lines.size() - 2];
  EXPECT_EQ(lines.back(), "[ERROR][VaroCompiler][Populate rule database failed]");
  EXPECT_FALSE(FileExists(dir.Path("policy.bin")));
}

}  // namespace
}  // namespace polc_test
