// Numbers for the rules of the model, shared by the rule table and the map
// file: each rule with its names and the numbers that stand for them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "compiler/varo_compiler.h"

// The grant rules, one per key with the union of its operations, in
// descending rule table key order (RuleTblCmp), the order RuleTblFill takes.
HugePageVector<NumberedRule> NumberGrantRules(const VaroCompiler& compiler);
// The transition rules, in descending rule table key order.
HugePageVector<NumberedRule> NumberTransitionRules(const VaroCompiler& compiler);
// Sorts `rules` into the key order of the model: by the texts of subject,
// object and class.
void SortByNames(const VaroCompiler& compiler, std::span<NumberedRule> rules);
