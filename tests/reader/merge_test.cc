#include <gtest/gtest.h>

#include <string>

#include "reader/json_parser.h"
#include "tests/support/model_text.h"
#include "tests/support/polc_test.h"

namespace {

using polc_test::CaptureLog;
using polc_test::EntryOrder;
using polc_test::FromText;
using polc_test::ModelText;
using polc_test::TextSet;
using polc_test::ToText;

TEST(MergeTest, UnitesSetsAndMakesEveryNameItsOwnAttribute) {
  ModelText first;
  first.types = {"a"};
  first.attrs = {"b"};
  first.requires_ = {"r"};
  first.typeAttrMap = {{"a", {"b"}}};
  first.grantRules = {{{"a", "a", "file"}, {"read"}}};
  ModelText second;
  second.types = {"a", "c"};
  second.requires_ = {"r", "s"};
  second.typeAttrMap = {{"a", {"x"}}, {"c", {"b"}}};
  second.grantRules = {{{"a", "a", "file"}, {"open"}}, {{"a", "c", "dir"}, {}}};

  // The second file's texts interned against the first's order as well.
  for (const EntryOrder order : {EntryOrder::kKeyOrder, EntryOrder::kReversed}) {
    JsonParser parser;
    PolicyModel firstModel = FromText(first, EntryOrder::kKeyOrder, parser.NewFileModel());
    PolicyModel secondModel = FromText(second, order, parser.NewFileModel());
    ASSERT_EQ(parser.MergeJsonFile(firstModel), 0);
    ASSERT_EQ(parser.MergeJsonFile(secondModel), 0);
    const ModelText merged = ToText(parser.GetPolicyModel());
    EXPECT_EQ(merged.types, (TextSet{"a", "c"}));
    EXPECT_EQ(merged.attrs, (TextSet{"b"}));
    EXPECT_EQ(merged.requires_, (TextSet{"r", "s"}));
    const std::map<std::string, TextSet> typeAttrMap = {
        {"a", {"a", "b", "x"}}, {"b", {"b"}}, {"c", {"b", "c"}}};
    EXPECT_EQ(merged.typeAttrMap, typeAttrMap);
    const std::map<polc_test::TextRuleKey, TextSet> grantRules = {
        {{"a", "a", "file"}, {"open", "read"}}, {{"a", "c", "dir"}, {}}};
    EXPECT_EQ(merged.grantRules, grantRules);
  }
}

TEST(MergeTest, StopsAtTheFirstConflictingMemberInMergeOrder) {
  ModelText file;
  file.fileContexts = {{"/a", "t"}};
  file.netifs = {{"lo", "t"}};
  file.transitionRules = {{{"s", "o", "file"}, "t"}};
  JsonParser parser;
  PolicyModel fileModel = FromText(file, EntryOrder::kKeyOrder, parser.NewFileModel());
  ASSERT_EQ(parser.MergeJsonFile(fileModel), 0);
  ModelText again;
  again.transitionRules = {{{"s", "o", "file"}, "t"}};
  again.netifs = {{"lo", "t"}};
  PolicyModel againModel = FromText(again, EntryOrder::kKeyOrder, parser.NewFileModel());
  EXPECT_EQ(CaptureLog([&] { parser.MergeJsonFile(againModel); }),
            "[ERROR][JsonParser][Duplicate netif name][name=lo]\n");
}

}  // namespace
