#include "compiler/rule_numbering.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <numeric>

#include "base/class_table.h"
#include "ruledb/rule_order.h"

namespace {

// The bytes a radix sort of rules into descending table order sorts by,
// least significant first (the rules of one list share `specified`, and a
// class number fits in a byte).
struct SortByte {
  uint16_t RuleTblKey::*field;
  unsigned shift;
  unsigned Of(const NumberedRule& rule) const { return (rule.key.*field >> shift) & 0xFF; }
};
constexpr SortByte SORT_BYTES[] = {{&RuleTblKey::tclass, 0},
                                   {&RuleTblKey::target, 0},
                                   {&RuleTblKey::target, 8},
                                   {&RuleTblKey::source, 0},
                                   {&RuleTblKey::source, 8}};
constexpr size_t SORT_PASSES = std::size(SORT_BYTES);
using ByteCounts = std::array<size_t, 256>;

// One pass of the radix sort: `from` into `into`, ordered by `byte`,
// descending, keeping the order of equal bytes; `counts` holds how many
// rules have each value of it. A byte's 256 runs stay few enough for the
// caches to follow the writes, which 65536 runs of a whole field would
// scatter.
void ScatterByByte(const HugePageVector<NumberedRule>& from, HugePageVector<NumberedRule>& into,
                   SortByte byte, const ByteCounts& counts) {
  ByteCounts starts;
  size_t next = 0;
  for (size_t value = starts.size(); value-- > 0;) {
    starts[value] = next;
    next += counts[value];
  }
  for (const NumberedRule& rule : from) into[starts[byte.Of(rule)]++] = rule;
}

// A million rules sort in a few linear passes, where a comparison sort
// would take some twenty comparisons per rule; the bytes of every pass are
// counted in one read of the rules. Short lists do not repay the passes.
void SortByDescendingTableOrder(HugePageVector<NumberedRule>& rules) {
  constexpr size_t RADIX_FROM = 16384;
  if (rules.size() < RADIX_FROM) {
    std::sort(rules.begin(), rules.end(), [](const NumberedRule& a, const NumberedRule& b) {
      return RuleTableOrder(a.key) > RuleTableOrder(b.key);
    });
    return;
  }
  static_assert(CLASS_COUNT <= 0xFF);
  std::array<ByteCounts, SORT_PASSES> counts{};
  for (const NumberedRule& rule : rules) {
    for (size_t pass = 0; pass < SORT_PASSES; ++pass) ++counts[pass][SORT_BYTES[pass].Of(rule)];
  }
  HugePageVector<NumberedRule> scratch(rules.size());
  for (size_t pass = 0; pass < SORT_PASSES; ++pass) {
    ScatterByByte(rules, scratch, SORT_BYTES[pass], counts[pass]);
    rules.swap(scratch);
  }
}

// The position of each value's name among all type and attribute names in
// order. Types and attributes are each numbered in name order already, so
// merging the two runs orders them all.
std::vector<uint32_t> NameRanks(const VaroCompiler& compiler) {
  const std::vector<NameId>& names = compiler.TypeNames();
  const NamePool& pool = compiler.Model().names;
  std::vector<uint32_t> values(names.size());
  std::iota(values.begin(), values.end(), 0u);
  const auto typeEnd = values.begin() + static_cast<std::ptrdiff_t>(compiler.Model().types.size());
  std::inplace_merge(values.begin(), typeEnd, values.end(),
                     [&](uint32_t a, uint32_t b) { return pool.Less(names[a], names[b]); });
  std::vector<uint32_t> ranks(names.size());
  for (uint32_t rank = 0; rank < values.size(); ++rank) ranks[values[rank]] = rank;
  return ranks;
}

}  // namespace

HugePageVector<NumberedRule> NumberGrantRules(const VaroCompiler& compiler) {
  const HugePageVector<GrantRule>& grants = compiler.Model().grantRules;
  HugePageVector<NumberedRule> rules;
  rules.reserve(grants.size());
  for (const GrantRule& grant : grants) {
    const RuleTblKey key{static_cast<uint16_t>(compiler.TypeValue(grant.key.subject)),
                         static_cast<uint16_t>(compiler.TypeValue(grant.key.object)),
                         grant.classIndex, RULE_GRANT};
    rules.push_back({key, {grant.operations}});
  }
  SortByDescendingTableOrder(rules);
  // Equal keys are neighbours now: one rule each, with the union of the
  // operations.
  auto kept = rules.begin();
  for (auto rule = rules.begin(); rule != rules.end(); ++rule) {
    if (kept != rules.begin() &&
        RuleTableOrder(std::prev(kept)->key) == RuleTableOrder(rule->key)) {
      std::prev(kept)->datum.value |= rule->datum.value;
    } else {
      *kept++ = *rule;
    }
  }
  rules.erase(kept, rules.end());
  return rules;
}

HugePageVector<NumberedRule> NumberTransitionRules(const VaroCompiler& compiler) {
  const auto& transitions = compiler.Model().transitionRules;
  HugePageVector<NumberedRule> rules;
  rules.reserve(transitions.size());
  for (const auto& [names, target] : transitions) {
    const RuleTblKey key{static_cast<uint16_t>(compiler.TypeValue(names.subject)),
                         static_cast<uint16_t>(compiler.TypeValue(names.object)),
                         GetClassIndex(compiler.Model().names.CText(names.cls)), RULE_TRANSITION};
    rules.push_back({key, {compiler.TypeValue(target)}});
  }
  SortByDescendingTableOrder(rules);
  return rules;
}

void SortByNames(const VaroCompiler& compiler, std::span<NumberedRule> rules) {
  const std::vector<uint32_t> ranks = NameRanks(compiler);
  const auto nameOrder = [&](const NumberedRule& rule) {
    return RuleOrderKey(ranks[rule.key.source], ranks[rule.key.target],
                        ClassNameRank(rule.key.tclass), 0);
  };
  std::sort(rules.begin(), rules.end(), [&](const NumberedRule& a, const NumberedRule& b) {
    return nameOrder(a) < nameOrder(b);
  });
}
