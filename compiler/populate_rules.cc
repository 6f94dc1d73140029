// The rule table: grant rules with their operation masks, transition rules
// with their target values.
#include <cstdint>
#include <vector>

#include "compiler/rule_numbering.h"
#include "compiler/varo_compiler.h"
#include "reader/log.h"

namespace {

// Inserts one rule table entry per rule of `rules` (in table order). Logs
// `what` in the count and failure lines.
int InsertRules(HashTbl* ruleTbl, const std::vector<NumberedRule>& rules, const char* what) {
  Log(LOG_INFO, "[VaroCompiler][Populating %s rule][count=%u]\n", what,
      static_cast<uint32_t>(rules.size()));
  // The table keeps each chain in ascending key order and the bucket count
  // is capped, so a million rules make chains of a dozen or more. Inserting
  // in descending key order places every entry at the head of its chain
  // instead of walking it; the finished table is the same in any order.
  for (auto rule = rules.rbegin(); rule != rules.rend(); ++rule) {
    const RuleTblDatum datum{rule->datum};
    const int status = RuleTblInsert(ruleTbl, &rule->key, &datum);
    if (status != 0) {
      Log(LOG_ERR, "[VaroCompiler][Insert %s rule table failed]\n", what);
      return status;
    }
  }
  return 0;
}

}  // namespace

int VaroCompiler::PopulateRuleTbl() {
  // Grant rules of equal key count once, so they are numbered and united
  // before the table is sized.
  numberedGrants = NumberGrantRules(*this);
  numberedTransitions = NumberTransitionRules(*this);
  const auto count = static_cast<uint32_t>(numberedGrants.size() + numberedTransitions.size());
  int status = RuleTblInit(&ruleDataBase->ruleTbl, count);
  if (status != 0) {
    Log(LOG_ERR, "[VaroCompiler][Init rule table failed]\n");
  } else {
    status = PopulateGrantRules();
    if (status == 0) status = PopulateTransitionRules();
  }
  numberedGrants = {};
  numberedTransitions = {};
  return status;
}

int VaroCompiler::PopulateGrantRules() {
  return InsertRules(&ruleDataBase->ruleTbl, numberedGrants, "grant");
}

int VaroCompiler::PopulateTransitionRules() {
  return InsertRules(&ruleDataBase->ruleTbl, numberedTransitions, "transition");
}
