// RuleTblFill and HashTblFill: a filled table must be indistinguishable,
// chain for chain and byte for byte once written, from one built with
// RuleTblInsert, whatever it already held; refusals and allocation failures
// must leave it untouched.
#include <gtest/gtest.h>
#include <syslog.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "ruledb/hash_tbl.h"
#include "ruledb/rule_data_base.h"
#include "tests/ruledb/ruledb_test_util.h"

namespace ruledb_test {
namespace {

struct Rule {
  RuleTblKey key;
  RuleTblDatum datum;
};

using KeyTuple = std::tuple<uint16_t, uint16_t, uint16_t, uint16_t>;

KeyTuple Tuple(const RuleTblKey& key) {
  return {key.source, key.target, key.tclass, key.specified};
}

// The order the fill takes: descending RuleTblCmp.
std::vector<Rule> Descending(std::vector<Rule> rules) {
  std::sort(rules.begin(), rules.end(),
            [](const Rule& a, const Rule& b) { return Tuple(b.key) < Tuple(a.key); });
  return rules;
}

int32_t Fill(HashTbl* table, const std::vector<Rule>& rules) {
  return RuleTblFill(table, rules.empty() ? nullptr : &rules.front().key,
                     rules.empty() ? nullptr : &rules.front().datum, sizeof(Rule),
                     static_cast<uint32_t>(rules.size()));
}

// Every bucket's chain as (key, datum) pairs, in chain order.
using Chains = std::vector<std::vector<std::pair<KeyTuple, uint32_t>>>;

Chains ChainsOf(const HashTbl* table) {
  Chains chains(table->buckets == nullptr ? 0 : table->size);
  for (size_t bucket = 0; bucket < chains.size(); bucket++) {
    for (const HashTblNode* node = table->buckets[bucket]; node != nullptr; node = node->next) {
      chains[bucket].emplace_back(Tuple(*static_cast<const RuleTblKey*>(node->key)),
                                  static_cast<const RuleTblDatum*>(node->datum)->value);
    }
  }
  return chains;
}

// `count` distinct random keys of both kinds over a small value range, so
// that many share source, target and class and differ only in kind.
std::vector<Rule> RandomRules(std::mt19937& random, size_t count) {
  std::uniform_int_distribution<int> value(0, 40);
  std::uniform_int_distribution<int> tclass(1, 4);
  std::uniform_int_distribution<int> kind(RULE_GRANT, RULE_TRANSITION);
  std::set<KeyTuple> seen;
  std::vector<Rule> rules;
  while (rules.size() < count) {
    const RuleTblKey key{static_cast<uint16_t>(value(random)), static_cast<uint16_t>(value(random)),
                         static_cast<uint16_t>(tclass(random)),
                         static_cast<uint16_t>(kind(random))};
    if (seen.insert(Tuple(key)).second) {
      rules.push_back({key, {static_cast<uint32_t>(random())}});
    }
  }
  return rules;
}

TEST(RuleTblFill, GivesTheSameChainsAndBytesAsInsertingOneByOne) {
  // Bucket counts from one chain holding everything to more buckets than
  // rules. The rules go in as singles, then two fills (as the compiler's
  // grant and transition rules), then singles again.
  const struct {
    uint32_t buckets;
    size_t before, first, second, after;  // rule counts of each step
  } cases[] = {
      {1, 0, 1, 0, 0},
      {1, 0, 60, 0, 0},
      {1, 20, 30, 10, 5},
      {2, 3, 4, 0, 0},
      {8, 0, 150, 150, 0},
      {8, 150, 100, 30, 20},
      {64, 1, 498, 0, 1},
      {1024, 0, 100, 100, 0},
      {1024, 199, 1, 0, 0},
      {65536, 0, 3000, 0, 0},
      {65536, 900, 1500, 500, 100},
  };
  std::mt19937 random(20261206);
  for (const auto& c : cases) {
    for (int round = 0; round < 3; round++) {
      SCOPED_TRACE(testing::Message() << c.buckets << " buckets, steps " << c.before << " "
                                      << c.first << " " << c.second << " " << c.after);
      const std::vector<Rule> rules = RandomRules(random, c.before + c.first + c.second + c.after);
      DbGuard expected;
      ASSERT_EQ(HashTblInit(&expected->ruleTbl, c.buckets, RuleTblHash, RuleTblCmp), 0);
      for (const Rule& rule : rules) {
        ASSERT_EQ(RuleTblInsert(&expected->ruleTbl, &rule.key, &rule.datum), 0);
      }
      DbGuard filled;  // destroyed holding bulk and single entries: leaks show under ASan
      ASSERT_EQ(HashTblInit(&filled->ruleTbl, c.buckets, RuleTblHash, RuleTblCmp), 0);
      auto next = rules.begin();
      auto take = [&next](size_t n) {
        std::vector<Rule> part(next, next + static_cast<long>(n));
        next += static_cast<long>(n);
        return part;
      };
      for (const Rule& rule : take(c.before)) {
        ASSERT_EQ(RuleTblInsert(&filled->ruleTbl, &rule.key, &rule.datum), 0);
      }
      // The first round fills in the compiler's order, the others in any.
      auto order = [round](std::vector<Rule> part) {
        return round == 0 ? Descending(std::move(part)) : part;
      };
      ASSERT_EQ(Fill(&filled->ruleTbl, order(take(c.first))), 0);
      ASSERT_EQ(Fill(&filled->ruleTbl, order(take(c.second))), 0);
      for (const Rule& rule : take(c.after)) {
        ASSERT_EQ(RuleTblInsert(&filled->ruleTbl, &rule.key, &rule.datum), 0);
      }
      EXPECT_EQ(filled->ruleTbl.nel, rules.size());
      EXPECT_EQ(ChainsOf(&filled->ruleTbl), ChainsOf(&expected->ruleTbl));
      EXPECT_EQ(WriteImage(filled.get()).image, WriteImage(expected.get()).image);
      for (const Rule& rule : rules) {
        const HashTblNode* node = RuleTblSearch(&filled->ruleTbl, &rule.key);
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(static_cast<const RuleTblDatum*>(node->datum)->value, rule.datum.value);
      }
    }
  }
}

TEST(RuleTblFill, AFillIntoAnEmptyTableIsLaidOutInMapOrder) {
  // The writer's walk then reads nodes, keys and datums front to back.
  std::mt19937 random(7);
  const std::vector<Rule> rules = Descending(RandomRules(random, 400));
  DbGuard db;
  ASSERT_EQ(HashTblInit(&db->ruleTbl, 64, RuleTblHash, RuleTblCmp), 0);
  ASSERT_EQ(Fill(&db->ruleTbl, rules), 0);
  std::vector<const HashTblNode*> nodes;
  for (uint32_t bucket = 0; bucket < db->ruleTbl.size; bucket++) {
    for (const HashTblNode* node = db->ruleTbl.buckets[bucket]; node != nullptr;
         node = node->next) {
      nodes.push_back(node);
    }
  }
  ASSERT_EQ(nodes.size(), rules.size());
  for (size_t i = 1; i < nodes.size(); i++) {
    ASSERT_EQ(nodes[i], nodes[i - 1] + 1) << i;
    ASSERT_EQ(nodes[i]->key, static_cast<const RuleTblKey*>(nodes[i - 1]->key) + 1) << i;
    ASSERT_EQ(nodes[i]->datum, static_cast<const RuleTblDatum*>(nodes[i - 1]->datum) + 1) << i;
  }
}

TEST(RuleTblFill, RefusesBadBatchesAndLeavesTheTableAsItWas) {
  const Rule stored{{5, 5, 1, RULE_GRANT}, {0x55}};
  const Rule a{{9, 1, 1, RULE_GRANT}, {1}};
  const Rule b{{4, 2, 3, RULE_TRANSITION}, {2}};
  const Rule c{{4, 2, 3, RULE_GRANT}, {3}};
  const std::string repeated = " [VARO][RuleTblFill 115] refused a repeated RuleTblKey\n";
  const struct {
    const char* name;
    std::vector<Rule> batch;
    int32_t status;
    std::string message;
  } cases[] = {
      {"repeated in the batch", {a, b, b, c}, RULEDB_EEXIST, repeated},
      {"repeated, other datum", {a, {b.key, {7}}, b}, RULEDB_EEXIST, repeated},
      {"already stored", {a, stored, c}, RULEDB_EEXIST, repeated},
      {"stored key last", {a, {stored.key, {1}}}, RULEDB_EEXIST, repeated},
      {"repeated, out of order", {b, a, c, b}, RULEDB_EEXIST, repeated},
      {"stored key, ascending", {c, stored, a}, RULEDB_EEXIST, repeated},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    DbGuard db;
    ASSERT_EQ(HashTblInit(&db->ruleTbl, 2, RuleTblHash, RuleTblCmp), 0);
    ASSERT_EQ(RuleTblInsert(&db->ruleTbl, &stored.key, &stored.datum), 0);
    const Chains chains = ChainsOf(&db->ruleTbl);
    SysLogCapture log;
    EXPECT_EQ(Fill(&db->ruleTbl, test.batch), test.status);
    ASSERT_EQ(log.entries().size(), 1u);
    EXPECT_EQ(log.entries()[0].priority, LOG_ERR);
    EXPECT_EQ(log.entries()[0].text, test.message);
    EXPECT_EQ(db->ruleTbl.nel, 1u);
    EXPECT_EQ(db->ruleTbl.blocks, nullptr);
    EXPECT_EQ(ChainsOf(&db->ruleTbl), chains);
  }
}

TEST(RuleTblFill, TablesThatCannotTakeTheBatch) {
  const std::vector<Rule> batch = {{{2, 0, 1, RULE_GRANT}, {1}}, {{1, 0, 1, RULE_GRANT}, {1}}};
  SysLogCapture log;
  HashTbl noBuckets{};
  ASSERT_EQ(RuleTblInit(&noBuckets, 0), 0);
  EXPECT_EQ(Fill(&noBuckets, batch), RULEDB_EINVAL);
  RuleTblDestroy(&noBuckets);
  EXPECT_EQ(Fill(&noBuckets, batch), RULEDB_EINVAL);  // destroyed

  HashTbl nearlyFull{};
  ASSERT_EQ(RuleTblInit(&nearlyFull, 4), 0);
  nearlyFull.nel = 0xFFFFFFFE;
  EXPECT_EQ(Fill(&nearlyFull, batch), RULEDB_EINVAL);
  nearlyFull.nel = 0;
  EXPECT_EQ(nearlyFull.blocks, nullptr);
  EXPECT_EQ(log.entries().size(), 3u);

  // Nothing to link is no failure, and takes no block.
  log.Clear();
  EXPECT_EQ(Fill(&nearlyFull, {}), 0);
  EXPECT_EQ(nearlyFull.blocks, nullptr);
  EXPECT_TRUE(log.entries().empty());
  RuleTblDestroy(&nearlyFull);
}

TEST(RuleTblFill, EachAllocationFailureLeavesTheTableAsItWas) {
  std::mt19937 random(99);
  std::vector<Rule> rules = RandomRules(random, 200);
  const std::vector<Rule> stored(rules.begin(), rules.begin() + 50);
  const std::vector<Rule> batch = Descending({rules.begin() + 50, rules.end()});
  DbGuard db;
  ASSERT_EQ(HashTblInit(&db->ruleTbl, 16, RuleTblHash, RuleTblCmp), 0);
  for (const Rule& rule : stored) {
    ASSERT_EQ(RuleTblInsert(&db->ruleTbl, &rule.key, &rule.datum), 0);
  }
  const Chains chains = ChainsOf(&db->ruleTbl);
  const long runs = FailEachAllocation(
      [&] { return Fill(&db->ruleTbl, batch); },
      [&](long n, int32_t status, const std::vector<std::string>& log) {
        EXPECT_EQ(status, RULEDB_ENOMEM) << "n=" << n;
        EXPECT_EQ(log,
                  std::vector<std::string>{
                      " [VARO][RuleTblFill 110] failed to allocate memory for 150 rules\n"})
            << "n=" << n;
        EXPECT_EQ(db->ruleTbl.nel, 50u);
        EXPECT_EQ(db->ruleTbl.blocks, nullptr);
        EXPECT_EQ(ChainsOf(&db->ruleTbl), chains);
      });
  // Scratch counts and the block: a per-rule allocation would show here.
  EXPECT_EQ(runs, 3);
  EXPECT_EQ(db->ruleTbl.nel, 200u);
}

}  // namespace
}  // namespace ruledb_test
