// The paths of polcq reach and polcq flow: from one name, one shortest path
// to every name its steps lead to, and the ways to print them.
//
// A search (PathSearch) says which steps leave a name; a step may go by way
// of a third name (the entrypoint of a domain transition). Among the
// shortest paths to a name the one kept is the one whose sequence of names,
// in path order and counting the names steps go by way of, is least when
// compared name by name in byte order. The least path to a name extends the
// least path to the name before it, so a breadth-first search that takes
// each level in the order of its paths keeps it by taking, for every new
// name, the first name of the level that has a step to it and that step's
// least way.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tools/polcq/policy_query.h"

// A value no name has: a step that goes by way of no name, a name not reached.
inline constexpr uint32_t NO_NAME = UINT32_MAX;

// One step out of a name.
struct PathStep {
  uint32_t via;  // the name the step goes by way of, or NO_NAME
  uint32_t to;
};

// The shortest paths found from `start`: for each name, the step that
// reaches it.
struct PathTree {
  uint32_t start;
  std::vector<uint32_t>
      from;  // by value: the name before it; NO_NAME when not reached, start for start
  std::vector<uint32_t> via;  // by value: what that step goes by way of, or NO_NAME

  bool Reached(uint32_t value) const { return from[value] != NO_NAME; }
  // The names of the path from `start` to the reached `value`, in path order.
  std::vector<uint32_t> Path(uint32_t value) const;
};

// What a search defines: its steps, and how one is shown.
class PathSearch {
 public:
  virtual ~PathSearch() = default;
  // Appends the steps out of `from` to the names `tree` has not reached, in
  // any order and with repeats. Called once per name, in path order.
  virtual void StepsFrom(uint32_t from, const PathTree& tree, std::vector<PathStep>& steps) = 0;
  // The text between "-[" and "]->" of the step from `from` to `to`.
  virtual std::string Label(uint32_t from, uint32_t via, uint32_t to) const = 0;
  // The places of the rules that make the step, in the order to list them.
  virtual std::vector<uint32_t> Reasons(uint32_t from, uint32_t via, uint32_t to) const = 0;
};

// The least shortest path from `start` to every name reachable in at most
// `maxDepth` steps of `search`; with a `target`, at least to it.
PathTree ShortestPaths(const QueryPolicy& policy, uint32_t start, uint32_t maxDepth,
                       std::optional<uint32_t> target, PathSearch& search);

enum class PathFormat {
  LINES,    // "T: S -[label]-> A -[label]-> T" per reached name, in name order
  EXPLAIN,  // the same, each step under its line after a tab, and the rules
            // that make it (as polcdump lists them) after two
  DOT,      // a Graphviz digraph named `graph` of the paths: one node per
            // name, the start as a box, one edge per step with its label
};

// Writes the path to every reached name, or to `target` alone; returns
// whether any was written.
bool WritePaths(const QueryPolicy& policy, const PathTree& tree, const PathSearch& search,
                std::optional<uint32_t> target, PathFormat format, const char* graph,
                std::ostream& out);

// The places of the rules of `kind` that apply to (`subject`, `object`,
// `tclass`), ascending, each kept when `keep(datum)` holds.
template <typename Keep>
std::vector<uint32_t> RulesApplying(const QueryPolicy& policy, uint32_t subject, uint32_t object,
                                    uint16_t kind, uint16_t tclass, Keep keep) {
  std::vector<Effect> effects;
  policy.EffectsOn(subject, object, kind, effects, true);
  std::vector<uint32_t> places;
  for (const Effect& effect : effects) {
    if (effect.tclass != tclass) continue;
    for (const uint32_t place : effect.rules) {
      if (keep(policy.RuleAt(place).datum)) places.push_back(place);
    }
  }
  return places;
}
