// polcq diff: what a change to a policy grants or takes away, compared by
// name (numbers shift between builds).
//
// One line per difference, "- <section> <entry>" for an entry only the old
// policy has and "+ <section> <entry>" for one only the new policy has, the
// entries as polcdump lists them. Sections come in a fixed order (names,
// initial_sids, netifs, packets, file_contexts, typeattrs, rules, then with
// `effective` access and transitions), and lines are sorted within each.
// The effective sections are compared subject by subject, so only one
// subject's lines are held at once.
#pragma once

#include <ostream>

#include "tools/polcq/policy_query.h"

struct DiffOptions {
  bool effective = false;  // compare the expanded access and transitions too
  bool json = false;       // {"changes": [{"change": "+", "section": ..., "entry": ...}, ...]}
};

// Writes the differences; whether there were any.
bool WritePolicyDiff(const QueryPolicy& before, const QueryPolicy& after,
                     const DiffOptions& options, std::ostream& out);
