#include <gtest/gtest.h>

#include <string>

#include "reader/json_parser.h"
#include "tests/support/polc_test.h"

namespace {

using polc_test::CaptureLog;

TEST(MergeTest, UnitesSetsAndMakesEveryNameItsOwnAttribute) {
  PolicyModel first;
  first.types = {"a"};
  first.attrs = {"b"};
  first.requires_ = {"r"};
  first.typeAttrMap = {{"a", {"b"}}};
  first.grantRules = {{RuleKey{"a", "a", "file"}, {"read"}}};
  PolicyModel second;
  second.types = {"a", "c"};
  second.requires_ = {"r", "s"};
  second.typeAttrMap = {{"a", {"x"}}, {"c", {"b"}}};
  second.grantRules = {{RuleKey{"a", "a", "file"}, {"open"}}, {RuleKey{"a", "c", "dir"}, {}}};

  JsonParser parser;
  ASSERT_EQ(parser.MergeJsonFile(first), 0);
  ASSERT_EQ(parser.MergeJsonFile(second), 0);
  const PolicyModel& merged = parser.GetPolicyModel();
  EXPECT_EQ(merged.types, (NameSet{"a", "c"}));
  EXPECT_EQ(merged.attrs, (NameSet{"b"}));
  EXPECT_EQ(merged.requires_, (NameSet{"r", "s"}));
  const TypeAttrMap typeAttrMap = {{"a", {"a", "b", "x"}}, {"b", {"b"}}, {"c", {"b", "c"}}};
  EXPECT_EQ(merged.typeAttrMap, typeAttrMap);
  const std::map<RuleKey, NameSet> grantRules = {{RuleKey{"a", "a", "file"}, {"open", "read"}},
                                                 {RuleKey{"a", "c", "dir"}, {}}};
  EXPECT_EQ(merged.grantRules, grantRules);
}

TEST(MergeTest, StopsAtTheFirstConflictingMemberInMergeOrder) {
  PolicyModel file;
  file.fileContexts = {{"/a", "t"}};
  file.netifs = {{"lo", "t"}};
  file.transitionRules = {{RuleKey{"s", "o", "file"}, "t"}};
  JsonParser parser;
  ASSERT_EQ(parser.MergeJsonFile(file), 0);
  PolicyModel again;
  again.transitionRules = {{RuleKey{"s", "o", "file"}, "t"}};
  again.netifs = {{"lo", "t"}};
  EXPECT_EQ(CaptureLog([&] { parser.MergeJsonFile(again); }),
            "[ERROR][JsonParser][Duplicate netif name][name=lo]\n");
}

}  // namespace
