#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

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

struct ConflictCase {
  std::function<void(PolicyModel&, const std::string& value)> add;  // one entry, fixed key
  std::string log;
};

TEST(MergeTest, LabelingKeysAndTransitionKeysMayNotRepeat) {
  const std::vector<ConflictCase> cases = {
      {[](PolicyModel& m, const std::string& v) { m.fileContexts["/a"] = v; },
       "[ERROR][JsonParser][Duplicate file path][path=/a]\n"},
      {[](PolicyModel& m, const std::string& v) { m.initialSids["kernel"] = v; },
       "[ERROR][JsonParser][Duplicate initial sid][sid=kernel]\n"},
      {[](PolicyModel& m, const std::string& v) { m.netifs["eth0"] = v; },
       "[ERROR][JsonParser][Duplicate netif name][name=eth0]\n"},
      {[](PolicyModel& m, const std::string& v) {
         m.packets[PacketKey{6, 1, 2, 3, 4, 5, 6, 7, 8}] = v;
       },
       "[ERROR][JsonParser][Duplicate packet key][protocol=6]\n"},
      {[](PolicyModel& m, const std::string& v) {
         m.transitionRules[RuleKey{"s", "o", "file"}] = v;
       },
       "[ERROR][JsonParser][Duplicate transition rule key][subject=s, object=o, cls=file]\n"},
  };
  for (const ConflictCase& c : cases) {
    JsonParser parser;
    PolicyModel first;
    c.add(first, "first_t");
    ASSERT_EQ(parser.MergeJsonFile(first), 0);
    PolicyModel second;
    c.add(second, "second_t");
    int result = 0;
    EXPECT_EQ(CaptureLog([&] { result = parser.MergeJsonFile(second); }), c.log);
    EXPECT_EQ(result, -1);
    // The entry of the first file stays as it was.
    PolicyModel expected;
    c.add(expected, "first_t");
    EXPECT_EQ(parser.GetPolicyModel().fileContexts, expected.fileContexts);
    EXPECT_EQ(parser.GetPolicyModel().packets, expected.packets);
    EXPECT_EQ(parser.GetPolicyModel().transitionRules, expected.transitionRules);
  }
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
