// Every allocation of an operation made to fail in turn, SQLite style: each
// run must end in a clean failure with its message, leave the database
// destroyable (the sanitizer build checks for leaks), and the run after the
// last allocation must succeed.
#include <gtest/gtest.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "ruledb/hash_tbl.h"
#include "ruledb/policy_binary.h"
#include "ruledb/rule_data_base.h"
#include "tests/ruledb/calloc_fault.h"
#include "tests/ruledb/ruledb_test_util.h"

namespace ruledb_test {
namespace {

bool IsReadSectionMessage(const std::string& text) {
  for (const char* section :
       {"759] [Read symbol table failed]", "765] [Read object context failed]",
        "771] [Read file context failed]", "777] [Read typeattr failed]",
        "783] [Read rule table failed]"}) {
    if (text == std::string(" [VARO][RuleDataBaseRead ") + section + "\n") {
      return true;
    }
  }
  return false;
}

TEST(AllocationFailure, EveryReaderAllocationFailsCleanly) {
  std::vector<uint8_t> image;
  {
    DbGuard db;
    FillRichDatabase(db.get());
    image = WriteImage(db.get()).image;
  }
  for (long n = 1;; n++) {
    SysLogCapture log;
    DbGuard db;
    CallocFault fault(n);
    int32_t status = ReadImage(image, db.get());
    if (!fault.Fired()) {
      EXPECT_EQ(status, 0);
      EXPECT_GT(n, 30) << "too few allocations: is calloc wrapped?";
      break;
    }
    EXPECT_TRUE(status == RULEDB_ENOMEM || status == RULEDB_EINVAL) << "n=" << n << " " << status;
    ASSERT_FALSE(log.entries().empty()) << "n=" << n;
    EXPECT_TRUE(IsReadSectionMessage(log.entries().back().text))
        << "n=" << n << ": " << log.entries().back().text;
  }
}

TEST(AllocationFailure, WriterScratchFailureIsOutOfMemoryInTheTypeAttributeSection) {
  DbGuard db;
  FillRichDatabase(db.get());
  for (long n = 1;; n++) {
    SysLogCapture log;
    CallocFault fault(n);
    WriteResult written = WriteImage(db.get());
    if (!fault.Fired()) {
      EXPECT_EQ(written.status, 0);
      EXPECT_EQ(n, 4) << "one scratch array per type-attribute entry";
      break;
    }
    EXPECT_EQ(written.status, RULEDB_ENOMEM);
    EXPECT_EQ(log.Texts(),
              std::vector<std::string>{" [VARO][RuleDataBaseWrite 831] [Write typeattr failed]\n"});
  }
}

TEST(AllocationFailure, RuleTblInsertReportsEachAllocationItsOwnWay) {
  const std::string messages[] = {
      " [VARO][RuleTblInsert 71] failed to allocate memory for RuleTblKey\n",
      " [VARO][RuleTblInsert 76] failed to allocate memory for RuleTblDatum\n",
      " [VARO][RuleTblInsert 90] failed to insert rule into tbl\n",  // the node
  };
  DbGuard db;
  ASSERT_EQ(RuleTblInit(&db->ruleTbl, 1), 0);
  const RuleTblKey key{1, 2, 3, RULE_GRANT};
  const RuleTblDatum datum{1};
  for (long n = 1; n <= 3; n++) {
    SysLogCapture log;
    CallocFault fault(n);
    EXPECT_EQ(RuleTblInsert(&db->ruleTbl, &key, &datum), RULEDB_EINVAL);
    EXPECT_EQ(log.Texts(), std::vector<std::string>{messages[n - 1]});
    EXPECT_EQ(db->ruleTbl.nel, 0u);
  }
}

TEST(AllocationFailure, FailedTableCreationLeavesATableWithoutBuckets) {
  HashTbl table{};
  {
    CallocFault fault(1);
    EXPECT_EQ(StrTblInit(&table, 10), RULEDB_ENOMEM);
  }
  EXPECT_EQ(table.size, 0u);
  EXPECT_EQ(table.hash, nullptr);
  char key[] = "a";
  EXPECT_EQ(StrTblInsert(&table, key, nullptr), RULEDB_EINVAL);
  EXPECT_EQ(StrTblSearch(&table, "a"), nullptr);
  StrTblDestroy(&table);
}

}  // namespace
}  // namespace ruledb_test
