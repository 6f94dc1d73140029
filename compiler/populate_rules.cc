// The rule table: grant rules with their operation masks, transition rules
// with their target values.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "compiler/rule_numbering.h"
#include "compiler/varo_compiler.h"
#include "reader/log.h"

namespace {

struct RuleEntry {
  RuleTblKey key;
  RuleTblDatum datum;
};

// RuleTblCmp's order as one number: source, target, tclass, specified. The
// sort compares a million keys some twenty times each, and RuleTblCmp is an
// out-of-line call through pointers.
uint64_t TableOrder(const RuleTblKey& key) {
  return uint64_t{key.source} << 48 | uint64_t{key.target} << 32 | uint64_t{key.tclass} << 16 |
         key.specified;
}

// Inserts one rule table entry per rule of `rules`, of kind `specified`, with
// the datum `datumOf` gives for the rule's value in the model. Logs `what`
// in the failure line.
template <typename Rules, typename DatumOf>
int InsertRules(const VaroCompiler& compiler, HashTbl* ruleTbl, const Rules& rules,
                uint16_t specified, const char* what, DatumOf datumOf) {
  Log(LOG_INFO, "[VaroCompiler][Populating %s rule][count=%u]\n", what,
      static_cast<uint32_t>(rules.size()));
  std::vector<RuleEntry> entries;
  entries.reserve(rules.size());
  RuleNumbering numbering(compiler);
  for (const auto& [rule, value] : rules) {
    const RuleTblKey key = numbering.Key(rule, specified);
    entries.push_back({key, {datumOf(key, value)}});
  }
  // The table keeps each chain in ascending key order and the bucket count
  // is capped, so a million rules make chains of a dozen or more. Inserting
  // in descending key order places every entry at the head of its chain
  // instead of walking it; the finished table is the same in any order.
  std::sort(entries.begin(), entries.end(), [](const RuleEntry& a, const RuleEntry& b) {
    return TableOrder(b.key) < TableOrder(a.key);
  });
  // One fill, read in place in the order just sorted, instead of three
  // allocations per rule; the transition rules merge into the grant rules'
  // chains the same way.
  if (entries.empty()) {
    return 0;
  }
  const int status = RuleTblFill(ruleTbl, &entries.front().key, &entries.front().datum,
                                 sizeof(RuleEntry), static_cast<uint32_t>(entries.size()));
  if (status != 0) {
    Log(LOG_ERR, "[VaroCompiler][Insert %s rule table failed]\n", what);
    return status;
  }
  return 0;
}

}  // namespace

int VaroCompiler::PopulateRuleTbl() {
  const auto count = static_cast<uint32_t>(model.grantRules.size() + model.transitionRules.size());
  const int status = RuleTblInit(&ruleDataBase->ruleTbl, count);
  if (status != 0) {
    Log(LOG_ERR, "[VaroCompiler][Init rule table failed]\n");
    return status;
  }
  const int grantStatus = PopulateGrantRules();
  if (grantStatus != 0) {
    return grantStatus;
  }
  return PopulateTransitionRules();
}

int VaroCompiler::PopulateGrantRules() {
  return InsertRules(*this, &ruleDataBase->ruleTbl, model.grantRules, RULE_GRANT, "grant",
                     [](const RuleTblKey& key, const NameSet& operations) {
                       return OperationMask(key.tclass, operations);
                     });
}

int VaroCompiler::PopulateTransitionRules() {
  return InsertRules(
      *this, &ruleDataBase->ruleTbl, model.transitionRules, RULE_TRANSITION, "transition",
      [this](const RuleTblKey&, const std::string& target) { return LookupTypeValue(target); });
}
