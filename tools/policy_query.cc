#include "tools/policy_query.h"

#include <algorithm>
#include <map>
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
  symbolNames.emplace(image);
}

std::optional<uint32_t> QueryPolicy::Value(const std::string& name) const {
  const auto found = values.find(name);
  if (found == values.end()) return std::nullopt;
  return found->second;
}

std::vector<Effect> QueryPolicy::Effects(
    uint32_t subject, uint16_t kind, const std::function<bool(uint32_t object)>& keepObject) const {
  std::map<std::pair<uint32_t, uint16_t>, Effect> byKey;
  for (const uint32_t attribute : attributes[subject]) {
    for (const uint32_t index : rulesBySubject[attribute]) {
      const RuleRecord& rule = image.rules[index];
      if (rule.key.specified != kind) continue;
      for (const uint32_t object : members[rule.key.target]) {
        if (keepObject && !keepObject(object)) continue;
        Effect& effect = byKey[{object, rule.key.tclass}];
        effect.object = object;
        effect.tclass = rule.key.tclass;
        if (kind == RULE_GRANT) {
          effect.operations |= rule.datum;
        } else {
          effect.targets.push_back(rule.datum);
        }
        effect.rules.push_back(index);
      }
    }
  }
  std::vector<Effect> effects;
  effects.reserve(byKey.size());
  for (auto& [key, effect] : byKey) {
    SortUnique(effect.targets);
    SortUnique(effect.rules);
    effects.push_back(std::move(effect));
  }
  std::sort(effects.begin(), effects.end(), [this](const Effect& a, const Effect& b) {
    if (a.object != b.object) return names[a.object] < names[b.object];
    return std::string_view(GetClassName(a.tclass)) < GetClassName(b.tclass);
  });
  return effects;
}

std::vector<uint32_t> QueryPolicy::SortedByName(std::vector<uint32_t> values) const {
  std::sort(values.begin(), values.end(),
            [this](uint32_t a, uint32_t b) { return names[a] < names[b]; });
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
