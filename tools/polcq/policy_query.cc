#include "tools/polcq/policy_query.h"

#include <algorithm>
#include <numeric>
#include <utility>

#include "base/class_table.h"
#include "ruledb/rule_order.h"
#include "tools/image/policy_text.h"

namespace {

void SortUnique(std::vector<uint32_t>& values) {
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
}

bool KnownOperations(uint16_t tclass, uint32_t bits) {
  for (uint32_t rest = bits; rest != 0; rest &= rest - 1) {
    if (GetOperationName(tclass, rest & -rest) == nullptr) return false;
  }
  return true;
}

std::string CheckRule(const RuleRecord& rule, uint32_t count) {
  const RuleTblKey& key = rule.key;
  if (key.source >= count || key.target >= count) return "names no symbol";
  if (GetClassName(key.tclass) == nullptr) return "names no class";
  if (key.specified == RULE_GRANT) {
    return KnownOperations(key.tclass, rule.datum) ? "" : "grants an operation its class lacks";
  }
  if (key.specified == RULE_TRANSITION) return rule.datum < count ? "" : "targets no symbol";
  return "is of no known kind";
}

}  // namespace

std::string QueryPolicy::Load(const std::string& path) {
  PolicyImage read;
  const std::string loadError = LoadPolicyImage(path, read);
  return loadError.empty() ? Adopt(std::move(read)) : loadError;
}

std::string QueryPolicy::Adopt(PolicyImage read) {
  image = std::move(read);
  const std::string checkError = Check();
  if (!checkError.empty()) return "not a policy polcq can query: " + checkError;
  Index();
  return "";
}

std::string QueryPolicy::Check() const {
  const auto count = static_cast<uint32_t>(image.symbols.size());
  // Rules and type attributes hold 16-bit values.
  if (count > SYMBOL_VALUE_COUNT) {
    return "more than " + std::to_string(SYMBOL_VALUE_COUNT) + " symbols";
  }
  if (!SymbolNames(image).Dense()) return "the symbols do not name every value once";
  if (!image.typeAttrs.empty() && image.typeAttrs.size() != count) {
    return "the type attributes do not match the symbols";
  }
  for (uint32_t value = 0; value < image.typeAttrs.size(); ++value) {
    for (const uint16_t attribute : image.typeAttrs[value]) {
      if (attribute >= count)
        return "type attribute of value " + std::to_string(value) + " names no symbol";
    }
  }
  for (uint32_t index = 0; index < image.rules.size(); ++index) {
    const std::string ruleError = CheckRule(image.rules[index], count);
    if (!ruleError.empty()) return "rule " + std::to_string(index) + " " + ruleError;
  }
  const auto labels = [count](const auto& records, const char* what) -> std::string {
    for (size_t index = 0; index < records.size(); ++index) {
      if (records[index].type >= count)
        return std::string(what) + " " + std::to_string(index) + " names no symbol";
    }
    return "";
  };
  std::string labelError = labels(image.initialSids, "initial sid");
  if (labelError.empty()) labelError = labels(image.netifs, "netif");
  if (labelError.empty()) labelError = labels(image.packets, "packet");
  return labelError;
}

void QueryPolicy::Index() {
  const size_t count = image.symbols.size();
  names.assign(count, "");
  for (const SymbolRecord& symbol : image.symbols) {
    names[symbol.value] = symbol.name;
    values.emplace(symbol.name, symbol.value);
  }
  attributes.assign(count, {});
  members.assign(count, {});
  for (uint32_t value = 0; value < count; ++value) {
    attributes[value].push_back(value);
    if (value < image.typeAttrs.size()) {
      attributes[value].insert(attributes[value].end(), image.typeAttrs[value].begin(),
                               image.typeAttrs[value].end());
    }
    SortUnique(attributes[value]);
    for (const uint32_t attribute : attributes[value]) members[attribute].push_back(value);
  }
  byName.resize(count);
  for (uint32_t value = 0; value < count; ++value) byName[value] = value;
  std::sort(byName.begin(), byName.end(),
            [this](uint32_t a, uint32_t b) { return names[a] < names[b]; });
  rank.resize(count);
  for (uint32_t place = 0; place < count; ++place) rank[byName[place]] = place;
  IndexRules();
  symbolNames.emplace(image);
  shown.resize(count);
  for (uint32_t value = 0; value < count; ++value) shown[value] = symbolNames->Show(value);
}

std::optional<uint32_t> QueryPolicy::Value(const std::string& name) const {
  const auto found = values.find(name);
  if (found == values.end()) return std::nullopt;
  return found->second;
}

// The image's rules put in the order of subject, object and class name,
// then kind, so that the rules of one subject are one run and those on one
// object a run within it. They are dealt out by subject first: sorting each
// short run costs far less than sorting them all.
void QueryPolicy::IndexRules() {
  firstRule.assign(names.size() + 1, 0);
  for (const RuleRecord& rule : image.rules) ++firstRule[rank[rule.key.source] + 1];
  std::partial_sum(firstRule.begin(), firstRule.end(), firstRule.begin());
  std::vector<uint32_t> next(firstRule.begin(), firstRule.end() - 1);
  KeyedRules keyed(image.rules.size());
  for (const RuleRecord& rule : image.rules) {
    const uint64_t key =
        RuleOrderKey(0, rank[rule.key.target], ClassNameRank(rule.key.tclass), rule.key.specified);
    keyed[next[rank[rule.key.source]]++] = {key, rule};
  }
  for (size_t subject = 0; subject < names.size(); ++subject) {
    std::sort(keyed.begin() + firstRule[subject], keyed.begin() + firstRule[subject + 1]);
  }
  targetRanks.resize(keyed.size());
  expansion.assign(names.size(), 0);
  for (uint32_t place = 0; place < keyed.size(); ++place) {
    const RuleTblKey& rule = keyed[place].rule.key;
    image.rules[place] = keyed[place].rule;
    targetRanks[place] = rank[rule.target];
    expansion[rule.source] += members[rule.target].size();
  }
}

// One application of a rule: the object it reaches and what it gives.
struct QueryPolicy::Hit {
  uint64_t key;  // RuleOrderKey: rank of the object, then of the class
  uint32_t object;
  uint32_t datum;
  uint32_t rule;  // place in name order
  auto operator<=>(const Hit&) const = default;
};

std::vector<Effect> QueryPolicy::Effects(uint32_t subject, uint16_t kind,
                                         const std::function<bool(uint32_t object)>& keepObject,
                                         bool withRules) const {
  // Every application of a rule, sorted: each run of one object and class is
  // one effect. Sorting numbers (places in name order) is much cheaper than
  // a map of effects.
  std::vector<Hit> hits;
  for (const uint32_t attribute : attributes[subject]) {
    const auto [first, last] = RulesOf(attribute);
    for (uint32_t place = first; place < last; ++place) {
      const RuleRecord& rule = RuleAt(place);
      if (rule.key.specified != kind) continue;
      const uint16_t classRank = ClassNameRank(rule.key.tclass);
      for (const uint32_t object : members[rule.key.target]) {
        if (keepObject && !keepObject(object)) continue;
        hits.push_back({RuleOrderKey(0, rank[object], classRank, 0), object, rule.datum, place});
      }
    }
  }
  std::vector<Effect> effects;
  GroupHits(hits, kind, withRules, effects);
  return effects;
}

void QueryPolicy::EffectsOn(uint32_t subject, uint32_t object, uint16_t kind,
                            std::vector<Effect>& effects, bool withRules) const {
  std::vector<Hit> hits;
  for (const uint32_t attribute : attributes[subject]) {
    const auto [first, last] = RulesOf(attribute);
    const auto runBegin = targetRanks.begin() + first;
    const auto runEnd = targetRanks.begin() + last;
    for (const uint32_t target : attributes[object]) {
      // The attribute's rules on `target` are a run, found by name.
      const auto [from, to] = std::equal_range(runBegin, runEnd, rank[target]);
      for (auto place = static_cast<uint32_t>(from - targetRanks.begin());
           place < static_cast<uint32_t>(to - targetRanks.begin()); ++place) {
        const RuleRecord& rule = RuleAt(place);
        if (rule.key.specified != kind) continue;
        hits.push_back(
            {RuleOrderKey(0, 0, ClassNameRank(rule.key.tclass), 0), object, rule.datum, place});
      }
    }
  }
  GroupHits(hits, kind, withRules, effects);
}

uint64_t QueryPolicy::ExpansionSize(uint32_t subject) const {
  uint64_t size = 0;
  for (const uint32_t attribute : attributes[subject]) size += expansion[attribute];
  return size;
}

void QueryPolicy::GroupHits(std::vector<Hit>& hits, uint16_t kind, bool withRules,
                            std::vector<Effect>& effects) const {
  std::sort(hits.begin(), hits.end());
  for (size_t first = 0; first < hits.size();) {
    Effect& effect = effects.emplace_back();
    effect.object = hits[first].object;
    effect.tclass = RuleAt(hits[first].rule).key.tclass;
    size_t next = first;
    for (; next < hits.size() && hits[next].key == hits[first].key; ++next) {
      if (kind == RULE_GRANT) {
        effect.operations |= hits[next].datum;
      } else {
        effect.targets.push_back(hits[next].datum);
      }
      if (withRules) effect.rules.push_back(hits[next].rule);
    }
    SortUnique(effect.targets);
    SortByRank(effect.targets);
    SortUnique(effect.rules);
    first = next;
  }
}

std::vector<uint32_t> QueryPolicy::SortedByName(std::vector<uint32_t> values) const {
  SortByRank(values);
  return values;
}

void QueryPolicy::SortByRank(std::vector<uint32_t>& values) const {
  std::sort(values.begin(), values.end(),
            [this](uint32_t a, uint32_t b) { return rank[a] < rank[b]; });
}

std::vector<std::vector<uint32_t>> QueryPolicy::GrantsByClass() const {
  std::vector<std::vector<uint32_t>> grants(CLASS_COUNT + 1);
  for (uint32_t place = 0; place < RuleCount(); ++place) {
    const RuleTblKey& key = RuleAt(place).key;
    if (key.specified == RULE_GRANT) grants[key.tclass].push_back(place);
  }
  return grants;
}

std::string QueryPolicy::RuleLine(uint32_t place) const {
  return RuleText(RuleAt(place), *symbolNames);
}

std::string OperationList(uint16_t tclass, uint32_t bits) {
  std::string list;
  for (const char* operation : OperationNames(tclass, bits)) {
    if (!list.empty()) list += ' ';
    list += operation;
  }
  return list;
}
