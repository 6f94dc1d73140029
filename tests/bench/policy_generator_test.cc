#include "bench/policy_generator.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ruledb/policy_binary.h"
#include "ruledb/rule_data_base.h"
#include "tests/support/polc_test.h"

namespace {

using polc_bench::CheckShape;
using polc_bench::FindPreset;
using polc_bench::GeneratePolicyFile;
using polc_bench::PolicyFileName;
using polc_bench::PolicyShape;

// Small, but with every kind of entry and names borrowed across files.
constexpr PolicyShape kEveryFeature = {"every-feature", 4, 40, 6, 60, 400, 40, 30, 4, 8};

// Writes every file of `shape` into `dir` and returns their paths in order.
std::vector<std::string> WritePolicy(const polc_test::TempDir& dir, const PolicyShape& shape) {
  std::vector<std::string> paths;
  for (uint32_t index = 0; index < shape.files; ++index) {
    paths.push_back(dir.Write(PolicyFileName(index), GeneratePolicyFile(shape, index)));
  }
  return paths;
}

uint32_t ListLength(const ObjCtx* list) {
  uint32_t length = 0;
  for (; list != nullptr; list = list->next) ++length;
  return length;
}

// The compiled policy holds exactly the entries the shape asks for.
void ExpectCounts(const RuleDataBase& db, const PolicyShape& shape) {
  const uint32_t names = shape.types + shape.attrs;
  EXPECT_EQ(db.symTbl.nel, names);
  EXPECT_EQ(db.ruleTbl.nel, shape.grantRules + shape.transitions);
  EXPECT_EQ(db.fileCtxTbl.nel, shape.fileContexts);
  EXPECT_EQ(ListLength(db.objCtxs[OBJ_CTX_INITIAL_SID]), 4u);
  EXPECT_EQ(ListLength(db.objCtxs[OBJ_CTX_NETIF]), shape.netifs);
  EXPECT_EQ(ListLength(db.objCtxs[OBJ_CTX_PACKET]), shape.packets);
  // Every name is an attribute of itself, on top of the links.
  uint32_t attributeEntries = 0;
  for (uint32_t value = 0; value < names; ++value) {
    attributeEntries += db.typeToAttrsArr[value].count;
  }
  EXPECT_EQ(attributeEntries, names + shape.typeAttrLinks);
}

TEST(PolicyGenerator, GeneratedPoliciesCompileToTheirShape) {
  for (const PolicyShape& shape : {*FindPreset("small"), kEveryFeature}) {
    SCOPED_TRACE(shape.name);
    polc_test::TempDir dir;
    std::vector<std::string> args = {"-c", "-o", dir.Path("policy.bin")};
    for (const std::string& path : WritePolicy(dir, shape)) args.push_back(path);
    const polc_test::RunResult result = polc_test::RunPolc(args);
    ASSERT_EQ(result.exitStatus, 0) << result.out;

    std::string image = polc_test::ReadFile(dir.Path("policy.bin"));
    PolicyCursor cursor = {reinterpret_cast<uint8_t*>(image.data()), image.size()};
    RuleDataBase db = {};
    ASSERT_EQ(RuleDataBaseRead(&db, &cursor), 0);
    ExpectCounts(db, shape);
    RuleDataBaseDestory(&db);
  }
}

TEST(PolicyGenerator, FileTextDependsOnlyOnShapeAndIndex) {
  const PolicyShape& medium = *FindPreset("medium");
  const std::string first = GeneratePolicyFile(medium, 7);
  GeneratePolicyFile(medium, 8);
  EXPECT_EQ(GeneratePolicyFile(medium, 7), first);
  EXPECT_NE(GeneratePolicyFile(medium, 6), first);
}

TEST(PolicyGenerator, FileNamesSortInIndexOrder) {
  EXPECT_EQ(PolicyFileName(0), "policy_0000.json");
  EXPECT_EQ(PolicyFileName(4095), "policy_4095.json");
  EXPECT_LT(PolicyFileName(999), PolicyFileName(1000));
}

TEST(PolicyGenerator, PresetsAreKnownByName) {
  for (const char* name : {"small", "medium", "large", "max"}) {
    const PolicyShape* preset = FindPreset(name);
    ASSERT_NE(preset, nullptr) << name;
    EXPECT_EQ(preset->name, name);
    EXPECT_EQ(CheckShape(*preset), "") << name;
  }
  EXPECT_EQ(FindPreset("huge"), nullptr);
}

TEST(PolicyGenerator, CheckShapeRefusesWhatCannotBeGenerated) {
  struct Row {
    PolicyShape shape;
    const char* reason;
  };
  const Row rows[] = {
      {{"no-files", 0, 10, 0, 0, 0, 0, 0, 0, 0}, "files must be 1 to 9999"},
      {{"too-many-files", 10000, 10000, 0, 0, 0, 0, 0, 0, 0}, "files must be 1 to 9999"},
      {{"file-without-type", 5, 4, 10, 0, 0, 0, 0, 0, 0}, "every file needs a type of its own"},
      {{"too-many-names", 1, 65000, 536, 0, 0, 0, 0, 0, 0}, "more than 65535 types and attributes"},
      {{"links-without-attrs", 1, 10, 0, 1, 0, 0, 0, 0, 0},
       "too few attributes for the typeattr links"},
      {{"three-links-two-attrs", 1, 10, 2, 21, 0, 0, 0, 0, 0},
       "too few attributes for the typeattr links"},
      {{"crowded-rules", 1, 2, 0, 0, 61, 0, 0, 0, 0}, "too many rules per subject"},
      {{"crowded-transitions", 1, 2, 0, 0, 0, 61, 0, 0, 0}, "too many rules per subject"},
      {{"too-many-packets", 1, 10, 0, 0, 0, 0, 0, 0, 65537}, "more than 65536 packets"},
      {{"rules-at-the-limit", 1, 2, 0, 0, 60, 60, 0, 0, 0}, ""},
      {{"at-the-limits", 1, 65000, 535, 0, 0, 0, 0, 0, 65536}, ""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(CheckShape(row.shape), row.reason) << row.shape.name;
  }
}

}  // namespace
