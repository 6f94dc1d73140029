// The rule table: grant rules with their operation masks, transition rules
// with their target values.
#include <cstdint>
#include <vector>

#include "base/log.h"
#include "compiler/rule_numbering.h"
#include "compiler/varo_compiler.h"

namespace {

// Fills the rule table with `rules` (in descending table order) in one
// pass, instead of three allocations per rule; the transition rules merge
// into the grant rules' chains the same way. Logs `what` in the count and
// failure lines.
int InsertRules(HashTbl* ruleTbl, const HugePageVector<NumberedRule>& rules, const char* what) {
  Log(LOG_INFO, "[VaroCompiler][Populating %s rule][count=%u]\n", what,
      static_cast<uint32_t>(rules.size()));
  if (rules.empty()) {
    return 0;
  }
  const int status = RuleTblFill(ruleTbl, &rules.front().key, &rules.front().datum,
                                 sizeof(NumberedRule), static_cast<uint32_t>(rules.size()));
  if (status != 0) {
    Log(LOG_ERR, "[VaroCompiler][Insert %s rule table failed]\n", what);
    return status;
  }
  return 0;
}

}  // namespace

int VaroCompiler::PopulateRuleTbl() {
  // Grant rules of equal key count once, so they are numbered and united
  // before the table is sized.
  const HugePageVector<NumberedRule> grants = NumberGrantRules(*this);
  const HugePageVector<NumberedRule> transitions = NumberTransitionRules(*this);
  const auto count = static_cast<uint32_t>(grants.size() + transitions.size());
  int status = RuleTblInit(&ruleDataBase->ruleTbl, count);
  if (status != 0) {
    Log(LOG_ERR, "[VaroCompiler][Init rule table failed]\n");
    return status;
  }
  status = InsertRules(&ruleDataBase->ruleTbl, grants, "grant");
  return status != 0 ? status : InsertRules(&ruleDataBase->ruleTbl, transitions, "transition");
}
