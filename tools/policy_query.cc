#include "tools/policy_query.h"

#include <algorithm>
#include <utility>

#include "base/class_table.h"
#include "tools/policy_text.h"

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
  rulesBySubject.assign(count, {});
  for (uint32_t index = 0; index < image.rules.size(); ++index) {
    rulesBySubject[image.rules[index].key.source].push_back(index);
  }
  byName.resize(count);
  for (uint32_t value = 0; value < count; ++value) byName[value] = value;
  std::sort(byName.begin(), byName.end(),
            [this](uint32_t a, uint32_t b) { return names[a] < names[b]; });
  rank.resize(count);
  for (uint32_t place = 0; place < count; ++place) rank[byName[place]] = place;
  symbolNames.emplace(image);
}

std::optional<uint32_t> QueryPolicy::Value(const std::string& name) const {
  const auto found = values.find(name);
  if (found == values.end()) return std::nullopt;
  return found->second;
}

std::vector<Effect> QueryPolicy::Effects(uint32_t subject, uint16_t kind,
                                         const std::function<bool(uint32_t object)>& keepObject,
                                         bool withRules) const {
  // Every application of a rule, sorted by object name, class name, datum
  // and rule: each run of one object and class is one effect. Sorting
  // numbers (places in name order) is much cheaper than a map of effects.
  struct Hit {
    uint64_t key;  // rank of the object, then of the class
    uint32_t object;
    uint32_t datum;
    uint32_t rule;
    auto operator<=>(const Hit&) const = default;
  };
  std::vector<Hit> hits;
  for (const uint32_t attribute : attributes[subject]) {
    for (const uint32_t index : rulesBySubject[attribute]) {
      const RuleRecord& rule = image.rules[index];
      if (rule.key.specified != kind) continue;
      const uint16_t classRank = ClassNameRank(rule.key.tclass);
      for (const uint32_t object : members[rule.key.target]) {
        if (keepObject && !keepObject(object)) continue;
        hits.push_back({uint64_t{rank[object]} << 8 | classRank, object, rule.datum, index});
      }
    }
  }
  std::sort(hits.begin(), hits.end());
  std::vector<Effect> effects;
  for (size_t first = 0; first < hits.size();) {
    Effect& effect = effects.emplace_back();
    effect.object = hits[first].object;
    effect.tclass = image.rules[hits[first].rule].key.tclass;
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
    SortUnique(effect.rules);
    first = next;
  }
  return effects;
}

std::vector<uint32_t> QueryPolicy::SortedByName(std::vector<uint32_t> values) const {
  std::sort(values.begin(), values.end(),
            [this](uint32_t a, uint32_t b) { return rank[a] < rank[b]; });
  return values;
}

std::string QueryPolicy::Show(uint32_t value) const { return symbolNames->Show(value); }

std::string QueryPolicy::RuleLine(uint32_t index) const {
  return RuleText(image.rules[index], *symbolNames);
}

std::string OperationList(uint16_t tclass, uint32_t bits) {
  std::string list;
  for (const std::string& operation : OperationNames(tclass, bits)) {
    if (!list.empty()) list += ' ';
    list += operation;
  }
  return list;
}
