// polc end to end on policies with thousands of grant and transition rules:
// the rule table that polc fills in bulk must write the same bytes as one
// rebuilt rule by rule, which is what reading the binary back does.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "reader/class_table.h"
#include "ruledb/policy_binary.h"
#include "ruledb/rule_data_base.h"
#include "tests/compiler/compiler_test_support.h"
#include "tests/support/polc_test.h"

namespace polc_test {
namespace {

// `types` types, each the subject of a grant rule on every type for two
// classes, and of a transition rule on every other type for one of them, so
// that grant and transition keys differing only in kind share chains.
std::string ManyRules(int types) {
  std::string names;
  for (int t = 0; t < types; t++) names += (t ? ",\"t" : "\"t") + std::to_string(t) + "\"";
  std::string rules;
  for (int s = 0; s < types; s++) {
    std::string teac;
    std::string transitions;
    for (int o = 0; o < types; o++) {
      const std::string object = "\"t" + std::to_string(o) + "\"";
      teac += std::string(teac.empty() ? "" : ",") + "{\"object\": " + object +
              R"(, "class": "file", "operation": ["read"]},{"object": )" + object +
              R"(, "class": "dir", "operation": )" + (o % 3 ? R"(["write"])" : "[]") + "}";
      if ((s + o) % 2 == 0) {
        transitions += std::string(transitions.empty() ? "" : ",") + "{\"object\": " + object +
                       R"(, "class": "file", "target": "t)" + std::to_string((s * o) % types) +
                       "\"}";
      }
    }
    rules += std::string(rules.empty() ? "" : ",") + "{\"subject\": \"t" + std::to_string(s) +
             "\", \"teac\": [" + teac + "], \"type_transition\": [" + transitions + "]}";
  }
  return R"({"declarations": {"type": [)" + names + "]}, \"rules\": [" + rules + "]}";
}

// The policy binary polc wrote into `dir`.
std::vector<uint8_t> WrittenPolicy(const TempDir& dir) {
  const std::string image = ReadFile(dir.Path("policy.bin"));
  return {image.begin(), image.end()};
}

// Reads `bytes` into `db`, as the enforcement side would: rule by rule.
int32_t ReadBack(std::vector<uint8_t>& bytes, RuleDataBase& db) {
  PolicyCursor in{bytes.data(), bytes.size()};
  return RuleDataBaseRead(&db, &in);
}

TEST(RuleTableEndToEnd, BulkFilledTableWritesTheBytesOfOneBuiltRuleByRule) {
  const struct {
    int types;
    uint32_t rules;  // grants: 2 per (subject, object); transitions: half the pairs
  } cases[] = {{1, 3}, {2, 10}, {9, 203}, {40, 4000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.types << " types");
    const TempDir dir;
    const RunResult run = RunPolicy(dir, {{"rules.json", ManyRules(c.types)}});
    ASSERT_EQ(run.exitStatus, 0) << run.out;
    std::vector<uint8_t> bytes = WrittenPolicy(dir);
    RuleDataBase db{};
    ASSERT_EQ(ReadBack(bytes, db), 0);
    EXPECT_EQ(db.ruleTbl.nel, c.rules);
    EXPECT_EQ(db.ruleTbl.blocks, nullptr) << "the reader inserts rule by rule";
    std::vector<uint8_t> rewritten(bytes.size());
    PolicyCursor out{rewritten.data(), rewritten.size()};
    EXPECT_EQ(RuleDataBaseWrite(&db, &out), 0);
    EXPECT_EQ(out.remaining, 0u);
    EXPECT_TRUE(rewritten == bytes) << "rule table chains differ";
    RuleDataBaseDestory(&db);
  }
}

// Two files granting the same (subject, object, "file") keys, one "read" and
// one "write": enough rules for the compiler's large-list sort, and every
// key must come out once, with both operations.
TEST(RuleTableEndToEnd, RepeatedKeysOfALargePolicyUniteOnce) {
  constexpr int kTypes = 150;  // 22,500 keys in each file
  std::string names;
  std::string rules[2];
  for (int t = 0; t < kTypes; t++) names += (t ? ",\"t" : "\"t") + std::to_string(t) + "\"";
  for (int file = 0; file < 2; file++) {
    const char* operation = file == 0 ? "read" : "write";
    for (int s = 0; s < kTypes; s++) {
      std::string teac;
      for (int o = 0; o < kTypes; o++) {
        teac += std::string(teac.empty() ? "" : ",") + "{\"object\": \"t" + std::to_string(o) +
                "\", \"class\": \"file\", \"operation\": [\"" + operation + "\"]}";
      }
      rules[file] += std::string(rules[file].empty() ? "" : ",") + "{\"subject\": \"t" +
                     std::to_string(s) + "\", \"teac\": [" + teac + "]}";
    }
  }
  const TempDir dir;
  const RunResult run = RunPolicy(dir, {{"read.json", R"({"declarations": {"type": [)" + names +
                                                          "]}, \"rules\": [" + rules[0] + "]}"},
                                        {"write.json", R"({"declarations": {"require": [)" + names +
                                                           "]}, \"rules\": [" + rules[1] + "]}"}});
  ASSERT_EQ(run.exitStatus, 0) << run.out;
  std::vector<uint8_t> bytes = WrittenPolicy(dir);
  RuleDataBase db{};
  ASSERT_EQ(ReadBack(bytes, db), 0);
  EXPECT_EQ(db.ruleTbl.nel, uint32_t{kTypes * kTypes});
  const uint16_t file = GetClassIndex("file");
  const uint32_t both = GetOperationBit(file, "read") | GetOperationBit(file, "write");
  int united = 0;
  for (uint16_t s = 0; s < kTypes; s++) {
    for (uint16_t o = 0; o < kTypes; o++) {
      const RuleTblKey key{s, o, file, RULE_GRANT};
      const HashTblNode* node = RuleTblSearch(&db.ruleTbl, &key);
      united += node != nullptr && static_cast<const RuleTblDatum*>(node->datum)->value == both;
    }
  }
  EXPECT_EQ(united, kTypes * kTypes);
  RuleDataBaseDestory(&db);
}

}  // namespace
}  // namespace polc_test
