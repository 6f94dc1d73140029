// polcq reach: which domains a domain can become by executing files.
//
// There is a step from domain S to domain T through the entrypoint E when
// the effective access has all three of transition on (S, T, process),
// entrypoint on (T, E, file) and execute on (S, E, file). Every type and
// attribute is a domain here, as it is a subject for polcq access. A step
// is automatic when the effective transitions give T for (S, E, process):
// its label is "E auto", else "E".
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/polcq/policy_query.h"
#include "tools/polcq/shortest_paths.h"

class DomainTransitions : public PathSearch {
 public:
  explicit DomainTransitions(const QueryPolicy& policy);

  void StepsFrom(uint32_t from, const PathTree& tree, std::vector<PathStep>& steps) override;
  std::string Label(uint32_t from, uint32_t via, uint32_t to) const override;
  // The rules that give transition, then entrypoint, then execute, then for
  // an automatic step the transition rules that give its target.
  std::vector<uint32_t> Reasons(uint32_t from, uint32_t via, uint32_t to) const override;

 private:
  // The three permissions of a step.
  enum Permission { TRANSITION, ENTRYPOINT, EXECUTE, PERMISSIONS };
  struct Grant {
    uint16_t tclass;
    uint32_t bit;
  };

  // Calls `visit` once for each name `subject` has `permission` on and that
  // `matters`. A rule none of whose names matters is spent: it is skipped
  // from then on, so a name that stops mattering must never matter again.
  template <typename Matters, typename Visit>
  void ForEachObject(uint32_t subject, Permission permission, Matters matters, Visit visit);
  // The names `domain` has entrypoint on, in name order.
  const std::vector<uint32_t>& EntrypointsOf(uint32_t domain);
  // The transition rules that give `to` for (`from`, `via`, process).
  std::vector<uint32_t> AutomaticRules(uint32_t from, uint32_t via, uint32_t to) const;

  const QueryPolicy& policy;
  std::array<Grant, PERMISSIONS> grants;
  // By permission, then by value: the places of the grant rules whose
  // subject it is and that give the permission.
  std::array<std::vector<std::vector<uint32_t>>, PERMISSIONS> rulesOf;
  std::vector<bool> hasEntrypoint;  // by value
  std::vector<bool> spent;          // by place
  std::vector<uint32_t> seen;       // by value: the ForEachObject call that last saw it
  uint32_t objectsCall = 0;
  std::vector<uint32_t> executable;  // by value: the StepsFrom call whose subject may execute it
  uint32_t stepsCall = 0;
  std::vector<std::vector<uint32_t>> entrypoints;  // by value, once asked for
  std::vector<bool> entrypointsKnown;              // by value
};
