#include "tools/polcq/information_flow.h"

#include <algorithm>
#include <map>

#include "base/class_table.h"
#include "ruledb/rule_data_base.h"

InformationFlow::InformationFlow(const QueryPolicy& policy, const PermissionMap& map,
                                 uint32_t minWeight)
    : policy(policy), map(map), readBits(CLASS_COUNT + 1), writeBits(CLASS_COUNT + 1) {
  for (Side* side : {&readers, &writers}) {
    side->rulesOn.resize(policy.NameCount());
    side->followed.resize(policy.RuleCount());
  }
  const std::vector<std::vector<uint32_t>> grantsByClass = policy.GrantsByClass();
  for (uint16_t tclass = 1; tclass <= CLASS_COUNT; ++tclass) {
    readBits[tclass] = map.Bits(tclass, FlowDirection::READ, minWeight);
    writeBits[tclass] = map.Bits(tclass, FlowDirection::WRITE, minWeight);
    for (const uint32_t place : grantsByClass[tclass]) {
      const RuleRecord& rule = policy.RuleAt(place);
      if ((rule.datum & readBits[tclass]) != 0) readers.rulesOn[rule.key.target].push_back(place);
      if ((rule.datum & writeBits[tclass]) != 0) writers.rulesOn[rule.key.source].push_back(place);
    }
  }
}

// A rule followed once has given a step to every name at its other end: a
// name of the same level or a later one that holds it too can reach none
// that is not reached already, by a path no less. So each rule is followed
// once, and a search costs what the rules and their members do, not the
// pairs they make.
void InformationFlow::Follow(uint32_t from, const PathTree& tree, Side& side, bool toSubject,
                             std::vector<PathStep>& steps) {
  for (const uint32_t attribute : policy.AttributesOf(from)) {
    for (const uint32_t place : side.rulesOn[attribute]) {
      if (side.followed[place]) continue;
      side.followed[place] = true;
      const RuleTblKey& key = policy.RuleAt(place).key;
      for (const uint32_t name : policy.MembersOf(toSubject ? key.source : key.target)) {
        if (!tree.Reached(name)) steps.push_back({NO_NAME, name});
      }
    }
  }
}

void InformationFlow::StepsFrom(uint32_t from, const PathTree& tree, std::vector<PathStep>& steps) {
  Follow(from, tree, readers, true, steps);
  Follow(from, tree, writers, false, steps);
}

std::vector<Effect> InformationFlow::Moving(uint32_t subject, uint32_t object,
                                            FlowDirection direction, bool withRules) const {
  const std::vector<uint32_t>& bits = direction == FlowDirection::READ ? readBits : writeBits;
  std::vector<Effect> effects;
  policy.EffectsOn(subject, object, RULE_GRANT, effects, withRules);
  std::vector<Effect> moving;
  for (Effect& effect : effects) {
    effect.operations &= bits[effect.tclass];
    if (effect.operations == 0) continue;
    std::erase_if(effect.rules, [&](uint32_t place) {
      return (policy.RuleAt(place).datum & bits[effect.tclass]) == 0;
    });
    moving.push_back(std::move(effect));
  }
  return moving;
}

std::string InformationFlow::Label(uint32_t from, uint32_t, uint32_t to) const {
  std::map<uint16_t, Effect> byClassName;
  for (const auto& effects : {Moving(to, from, FlowDirection::READ, false),
                              Moving(from, to, FlowDirection::WRITE, false)}) {
    for (const Effect& effect : effects) {
      Effect& merged = byClassName.try_emplace(ClassNameRank(effect.tclass), effect).first->second;
      merged.operations |= effect.operations;
    }
  }
  std::string label;
  uint32_t weight = 0;
  for (const auto& [rank, effect] : byClassName) {
    label += (label.empty() ? "" : ", ") + std::string(GetClassName(effect.tclass)) + ' ' +
             OperationList(effect.tclass, effect.operations);
    weight = std::max(weight, map.Weight(effect.tclass, effect.operations));
  }
  return label + " (" + std::to_string(weight) + ")";
}

std::vector<uint32_t> InformationFlow::Reasons(uint32_t from, uint32_t, uint32_t to) const {
  std::vector<uint32_t> places;
  for (const auto& effects : {Moving(to, from, FlowDirection::READ, true),
                              Moving(from, to, FlowDirection::WRITE, true)}) {
    for (const Effect& effect : effects) {
      for (const uint32_t place : effect.rules) {
        if (std::find(places.begin(), places.end(), place) == places.end()) places.push_back(place);
      }
    }
  }
  return places;
}
