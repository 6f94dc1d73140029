#include "tools/polcq/domain_transitions.h"

#include <algorithm>

#include "base/class_table.h"
#include "ruledb/rule_data_base.h"

DomainTransitions::DomainTransitions(const QueryPolicy& policy)
    : policy(policy),
      hasEntrypoint(policy.NameCount()),
      spent(policy.RuleCount()),
      seen(policy.NameCount()),
      executable(policy.NameCount()),
      entrypoints(policy.NameCount()),
      entrypointsKnown(policy.NameCount()) {
  const uint16_t process = GetClassIndex("process");
  const uint16_t file = GetClassIndex("file");
  grants[TRANSITION] = {process, GetOperationBit(process, "transition")};
  grants[ENTRYPOINT] = {file, GetOperationBit(file, "entrypoint")};
  grants[EXECUTE] = {file, GetOperationBit(file, "execute")};
  const std::vector<std::vector<uint32_t>> grantsByClass = policy.GrantsByClass();
  for (size_t permission = 0; permission < PERMISSIONS; ++permission) {
    const Grant& grant = grants[permission];
    rulesOf[permission].resize(policy.NameCount());
    for (const uint32_t place : grantsByClass[grant.tclass]) {
      const RuleRecord& rule = policy.RuleAt(place);
      if ((rule.datum & grant.bit) != 0) rulesOf[permission][rule.key.source].push_back(place);
    }
  }
  for (uint32_t source = 0; source < policy.NameCount(); ++source) {
    if (rulesOf[ENTRYPOINT][source].empty()) continue;
    for (const uint32_t domain : policy.MembersOf(source)) hasEntrypoint[domain] = true;
  }
}

namespace {

bool Always(uint32_t) { return true; }

}  // namespace

template <typename Matters, typename Visit>
void DomainTransitions::ForEachObject(uint32_t subject, Permission permission, Matters matters,
                                      Visit visit) {
  ++objectsCall;
  for (const uint32_t attribute : policy.AttributesOf(subject)) {
    for (const uint32_t place : rulesOf[permission][attribute]) {
      if (spent[place]) continue;
      bool any = false;
      for (const uint32_t object : policy.MembersOf(policy.RuleAt(place).key.target)) {
        if (!matters(object)) continue;
        any = true;
        if (seen[object] == objectsCall) continue;
        seen[object] = objectsCall;
        visit(object);
      }
      spent[place] = !any;
    }
  }
}

const std::vector<uint32_t>& DomainTransitions::EntrypointsOf(uint32_t domain) {
  if (!entrypointsKnown[domain]) {
    std::vector<uint32_t> found;
    ForEachObject(domain, ENTRYPOINT, Always,
                  [&found](uint32_t object) { found.push_back(object); });
    entrypoints[domain] = policy.SortedByName(std::move(found));
    entrypointsKnown[domain] = true;
  }
  return entrypoints[domain];
}

// Only the domains not reached yet that have an entrypoint are looked at,
// each through its least entrypoint the subject may execute. A reached
// domain stays reached, so a transition rule whose domains are all reached
// or have no entrypoint is spent.
void DomainTransitions::StepsFrom(uint32_t from, const PathTree& tree,
                                  std::vector<PathStep>& steps) {
  std::vector<uint32_t> domains;
  ForEachObject(
      from, TRANSITION,
      [&](uint32_t domain) { return hasEntrypoint[domain] && !tree.Reached(domain); },
      [&domains](uint32_t domain) { domains.push_back(domain); });
  if (domains.empty()) return;
  ++stepsCall;
  ForEachObject(from, EXECUTE, Always, [this](uint32_t object) { executable[object] = stepsCall; });
  for (const uint32_t domain : domains) {
    for (const uint32_t entrypoint : EntrypointsOf(domain)) {
      if (executable[entrypoint] == stepsCall) {
        steps.push_back({entrypoint, domain});
        break;
      }
    }
  }
}

std::vector<uint32_t> DomainTransitions::AutomaticRules(uint32_t from, uint32_t via,
                                                        uint32_t to) const {
  return RulesApplying(policy, from, via, RULE_TRANSITION, grants[TRANSITION].tclass,
                       [to](uint32_t target) { return target == to; });
}

std::string DomainTransitions::Label(uint32_t from, uint32_t via, uint32_t to) const {
  return policy.Show(via) + (AutomaticRules(from, via, to).empty() ? "" : " auto");
}

std::vector<uint32_t> DomainTransitions::Reasons(uint32_t from, uint32_t via, uint32_t to) const {
  const struct {
    uint32_t subject;
    uint32_t object;
    Permission permission;
  } parts[] = {{from, to, TRANSITION}, {to, via, ENTRYPOINT}, {from, via, EXECUTE}};
  std::vector<uint32_t> places;
  for (const auto& part : parts) {
    const Grant& grant = grants[part.permission];
    const std::vector<uint32_t> rules =
        RulesApplying(policy, part.subject, part.object, RULE_GRANT, grant.tclass,
                      [&grant](uint32_t datum) { return (datum & grant.bit) != 0; });
    places.insert(places.end(), rules.begin(), rules.end());
  }
  const std::vector<uint32_t> automatic = AutomaticRules(from, via, to);
  places.insert(places.end(), automatic.begin(), automatic.end());
  return places;
}
