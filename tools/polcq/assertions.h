// polcq check: neverallow assertions over a policy's effective access.
//
// An assertions file is a JSON document in the style of a policy source:
//   {"neverallow": [{"subject": NAME, "object": NAME, "class": CLASS,
//                    "operation": [OP, ...],
//                    "except_subject": [NAME, ...], "except_object": [NAME, ...]}]}
// Each NAME is a type or an attribute and stands for every name whose
// attribute set holds it; the except lists are optional. An assertion is
// violated by every effective (subject, object, class) it covers that has
// any of its operations.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "tools/polcq/policy_query.h"

struct Assertion {
  uint32_t subject;
  uint32_t object;
  uint16_t tclass;
  uint32_t operations;  // bits of tclass
  std::vector<uint32_t> exceptSubjects;
  std::vector<uint32_t> exceptObjects;
};

// Reads the assertions file at `path` against `policy`: an empty string, or
// what is wrong and where ("neverallow 2: no class is named \"fil\"").
std::string LoadAssertions(const std::string& path, const QueryPolicy& policy,
                           std::vector<Assertion>& assertions);

// Writes every violation, "neverallow <index>: <subject> <object> <class>
// <operations>", followed by the rules that grant those operations; returns
// the number of violations.
uint64_t CheckAssertions(const QueryPolicy& policy, const std::vector<Assertion>& assertions,
                         std::ostream& out);
