#include "ruledb/rule_data_base.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/ruledb/ruledb_test_util.h"

namespace ruledb_test {
namespace {

const RuleTblDatum* DatumOf(const HashTbl* table, RuleTblKey key) {
  const HashTblNode* node = RuleTblSearch(table, &key);
  return node == nullptr ? nullptr : static_cast<const RuleTblDatum*>(node->datum);
}

TEST(RuleTblInsert, CopiesKeyAndDatumSoTheCallerKeepsItsOwn) {
  DbGuard db;
  ASSERT_EQ(RuleTblInit(&db->ruleTbl, 1), 0);
  RuleTblKey key{4, 5, 6, RULE_GRANT};
  RuleTblDatum datum{0x11};
  ASSERT_EQ(RuleTblInsert(&db->ruleTbl, &key, &datum), 0);
  key.source = 9;
  datum.value = 0x22;
  const RuleTblDatum* stored = DatumOf(&db->ruleTbl, {4, 5, 6, RULE_GRANT});
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->value, 0x11u);
  EXPECT_NE(stored, &datum);
}

TEST(RuleTblInsert, RepeatedKeyIsRefusedWithOneMessageAndTheFirstDatumStays) {
  DbGuard db;
  ASSERT_EQ(RuleTblInit(&db->ruleTbl, 2), 0);
  SysLogCapture log;
  const RuleTblKey key{1, 2, 3, RULE_GRANT};
  const RuleTblDatum first{0x1};
  const RuleTblDatum second{0x2};
  ASSERT_EQ(RuleTblInsert(&db->ruleTbl, &key, &first), 0);
  EXPECT_EQ(RuleTblInsert(&db->ruleTbl, &key, &second), RULEDB_EINVAL);
  ASSERT_EQ(log.entries().size(), 1u);
  EXPECT_EQ(log.entries()[0].priority, LOG_ERR);
  EXPECT_EQ(log.entries()[0].text, " [VARO][RuleTblInsert 90] failed to insert rule into tbl\n");
  EXPECT_EQ(db->ruleTbl.nel, 1u);
  EXPECT_EQ(DatumOf(&db->ruleTbl, key)->value, 0x1u);
}

TEST(RuleDataBaseDestory, ReleasesAnEmptyOrFullDatabaseAndASecondCallDoesNothing) {
  SysLogCapture log;
  RuleDataBase db{};
  RuleDataBaseDestory(&db);
  EXPECT_EQ(db.symTbl.buckets, nullptr);
  FillRichDatabase(&db);
  db.symNames = static_cast<char**>(calloc(3, sizeof(char*)));
  const uint32_t flags = db.flags;
  RuleDataBaseDestory(&db);
  EXPECT_EQ(db.symNames, nullptr);
  EXPECT_EQ(db.typeToAttrsArr, nullptr);
  for (ObjCtx* head : db.objCtxs) {
    EXPECT_EQ(head, nullptr);
  }
  EXPECT_EQ(db.symTbl.nel, 3u);
  EXPECT_EQ(db.flags, flags);
  RuleDataBaseDestory(&db);
  EXPECT_TRUE(log.entries().empty());
}

TEST(RuleDataBaseDestory, ReleasesAPartlyFilledDatabase) {
  // As a compile that failed while labeling leaves it: symbols, one list, no
  // rule table, a type-attribute array without its values yet.
  SysLogCapture log;
  RuleDataBase db{};
  ASSERT_EQ(StrTblInit(&db.symTbl, 2), 0);
  AddSymbol(&db, "a", 0);
  AddNetif(&db, "eth0", 0);
  db.typeToAttrsArr = static_cast<TypeAttrs*>(calloc(2, sizeof(TypeAttrs)));
  db.typeToAttrsCount = 2;
  db.typeToAttrsArr[0].count = 1;
  db.typeToAttrsArr[0].values = static_cast<uint16_t*>(calloc(1, sizeof(uint16_t)));
  RuleDataBaseDestory(&db);
  RuleDataBaseDestory(&db);
  ASSERT_EQ(log.entries().size(), 1u);
  EXPECT_EQ(log.entries()[0].priority, LOG_INFO);
  EXPECT_EQ(log.entries()[0].text,
            " [VARO][RuleDataBaseDestory 886] [Ignore an empty typeAttrs in typeToAttrsArr]\n");
}

}  // namespace
}  // namespace ruledb_test
