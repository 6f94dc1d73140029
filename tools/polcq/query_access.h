// polcq access and polcq transitions: the effective grants and transitions
// of a policy, one line per (subject, object, class), sorted by subject,
// object and class name.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tools/polcq/policy_query.h"

// Which lines to print. A subject or object filter is a name: it keeps the
// names whose attribute set holds it.
struct AccessFilter {
  std::optional<uint32_t> subject;
  std::optional<uint32_t> object;
  uint16_t tclass = 0;                  // 0: every class
  std::vector<std::string> operations;  // a line must have all of them
};

// The filter of the given texts (null: not given): an empty string, or what
// names nothing in `policy` or the class table.
std::string MakeAccessFilter(const QueryPolicy& policy, const char* subject, const char* object,
                             const char* tclass, const std::vector<std::string>& operations,
                             AccessFilter& filter);

// For grants (RULE_GRANT), lines "<subject> <object> <class> <operations>";
// for transitions (RULE_TRANSITION), lines "<subject> <object> <class>
// <target>", and when the rules that apply give different targets, all of
// them, then "conflict". With `explain`, each line is followed by the rules
// that apply, as polcdump lists them ("\tteac ...").
void WriteEffects(const QueryPolicy& policy, const AccessFilter& filter, uint16_t kind,
                  bool explain, std::ostream& out);

// The same access as a policy source fragment, {"rules": [...]}, with one
// statement per subject: pasted into a source, it grants what is listed.
void WriteAccessSource(const QueryPolicy& policy, const AccessFilter& filter, std::ostream& out);

// Calls `visit(subject, effect)` for every line of `kind` (RULE_GRANT or
// RULE_TRANSITION) that `filter` keeps, in output order, one subject at a
// time: only one subject's effects are held at once.
void ForEachEffect(const QueryPolicy& policy, const AccessFilter& filter, uint16_t kind,
                   const std::function<void(uint32_t subject, const Effect& effect)>& visit);

// The line of `effect` for `subject`, as WriteAccess or WriteTransitions
// prints it.
std::string EffectLine(const QueryPolicy& policy, uint32_t subject, const Effect& effect,
                       uint16_t kind);
