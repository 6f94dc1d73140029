// polcq reach and polcq flow against a breadth-first search over a brute
// force expansion of generated policies, and the shipped permission map
// against the class table.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bench/policy_generator.h"
#include "tests/support/polc_test.h"
#include "tools/polcq/domain_transitions.h"
#include "tools/polcq/information_flow.h"
#include "tools/polcq/permission_map.h"
#include "tools/polcq/shortest_paths.h"

namespace {

using Key = std::tuple<uint32_t, uint32_t, uint16_t>;  // subject, object, class

// Every rule applied to every pair of names whose attribute sets hold its
// subject and object.
struct Expansion {
  std::map<Key, uint32_t> grants;
  std::map<Key, std::set<uint32_t>> transitions;

  explicit Expansion(const QueryPolicy& policy) {
    const PolicyImage& image = policy.Image();
    const auto holds = [&image](uint32_t value, uint32_t attribute) {
      const std::vector<uint16_t>& set = image.typeAttrs[value];
      return value == attribute || std::find(set.begin(), set.end(), attribute) != set.end();
    };
    for (const RuleRecord& rule : image.rules) {
      for (uint32_t s = 0; s < policy.NameCount(); ++s) {
        for (uint32_t o = 0; o < policy.NameCount(); ++o) {
          if (!holds(s, rule.key.source) || !holds(o, rule.key.target)) continue;
          const Key key{s, o, rule.key.tclass};
          if (rule.key.specified == RULE_GRANT) grants[key] |= rule.datum;
          if (rule.key.specified == RULE_TRANSITION) transitions[key].insert(rule.datum);
        }
      }
    }
  }
  uint32_t Grant(uint32_t s, uint32_t o, const char* tclass) const {
    const auto found = grants.find({s, o, GetClassIndex(tclass)});
    return found == grants.end() ? 0 : found->second;
  }
};

// A step of the brute force: a name to go by way of (or none) and a label.
struct Step {
  std::vector<std::string> names;  // the way, if any, then the name reached
  std::string label;
};
using Steps = std::function<std::map<uint32_t, std::vector<Step>>(uint32_t from)>;

// The lines polcq prints for `start`: level by level, each name's path is
// the least, name by name, of its predecessors' paths extended by a step.
std::string LeastPathLines(const QueryPolicy& policy, uint32_t start, uint32_t maxDepth,
                           const Steps& steps) {
  using Path = std::pair<std::vector<std::string>, std::string>;  // names, line text
  std::map<uint32_t, Path> paths = {{start, {{policy.Name(start)}, policy.Name(start)}}};
  std::vector<uint32_t> level = {start};
  for (uint32_t depth = 0; depth < maxDepth && !level.empty(); ++depth) {
    std::map<uint32_t, Path> next;
    for (const uint32_t from : level) {
      for (const auto& [to, ways] : steps(from)) {
        for (const Step& step : ways) {
          if (paths.count(to) != 0) continue;
          Path path = paths[from];
          path.first.insert(path.first.end(), step.names.begin(), step.names.end());
          path.second += " -[" + step.label + "]-> " + policy.Name(to);
          if (next.count(to) == 0 || path.first < next[to].first) next[to] = path;
        }
      }
    }
    level.clear();
    for (auto& [to, path] : next) {
      paths.emplace(to, std::move(path));
      level.push_back(to);
    }
  }
  std::map<std::string, std::string> lines;  // by name, in byte order
  for (const auto& [to, path] : paths) {
    if (to != start) lines[policy.Name(to)] = policy.Name(to) + ": " + path.second + "\n";
  }
  std::string text;
  for (const auto& [name, line] : lines) text += line;
  return text;
}

std::map<uint32_t, std::vector<Step>> ReachSteps(const QueryPolicy& policy,
                                                 const Expansion& expansion, uint32_t from) {
  const uint32_t transition = GetOperationBit(GetClassIndex("process"), "transition");
  const uint32_t entrypoint = GetOperationBit(GetClassIndex("file"), "entrypoint");
  const uint32_t execute = GetOperationBit(GetClassIndex("file"), "execute");
  std::map<uint32_t, std::vector<Step>> steps;
  for (uint32_t to = 0; to < policy.NameCount(); ++to) {
    if ((expansion.Grant(from, to, "process") & transition) == 0) continue;
    for (uint32_t via = 0; via < policy.NameCount(); ++via) {
      if ((expansion.Grant(to, via, "file") & entrypoint) == 0 ||
          (expansion.Grant(from, via, "file") & execute) == 0) {
        continue;
      }
      const auto targets = expansion.transitions.find({from, via, GetClassIndex("process")});
      const bool automatic =
          targets != expansion.transitions.end() && targets->second.count(to) != 0;
      steps[to].push_back(
          {{policy.Name(via), policy.Name(to)}, policy.Name(via) + (automatic ? " auto" : "")});
    }
  }
  return steps;
}

// The weight of the flow from `from` to `to`: the highest of the operations
// that move information that way with at least `minWeight`.
uint32_t FlowWeight(const PermissionMap& map, const Expansion& expansion, uint32_t from,
                    uint32_t to, uint32_t minWeight) {
  uint32_t weight = 0;
  for (uint16_t tclass = 1; tclass <= CLASS_COUNT; ++tclass) {
    const auto use = [&](uint32_t s, uint32_t o, FlowDirection direction) {
      const auto found = expansion.grants.find({s, o, tclass});
      for (uint32_t bit = 0; found != expansion.grants.end() && bit < 32; ++bit) {
        const OperationFlow& flow = map.operations[tclass][bit];
        if ((found->second >> bit & 1) != 0 && flow.weight >= minWeight &&
            (flow.direction == direction || flow.direction == FlowDirection::BOTH)) {
          weight = std::max<uint32_t>(weight, flow.weight);
        }
      }
    };
    use(to, from, FlowDirection::READ);
    use(from, to, FlowDirection::WRITE);
  }
  return weight;
}

// polcq's flow lines with each label cut to its weight.
std::string WeightsOnly(const std::string& lines) {
  return std::regex_replace(lines, std::regex(R"(-\[[^\]]*(\(\d+\))\]->)"), "-[$1]->");
}

TEST(Paths, ReachAndFlowAreTheLeastShortestPathsOfABruteForceSearch) {
  const polc_bench::PolicyShape shapes[] = {{"dense", 1, 10, 4, 12, 2400, 60, 0, 0, 0},
                                            {"attributes", 2, 16, 8, 30, 3000, 120, 0, 0, 0}};
  const PermissionMap map = ShippedPermissionMap();
  bool longerThanOneStep = false;
  for (const polc_bench::PolicyShape& shape : shapes) {
    const polc_test::TempDir dir;
    polc_test::WriteGeneratedSources(shape, dir);
    ASSERT_EQ(polc_test::RunShell("polc -c -o p.bin src/*.json", dir.path()).status, 0);
    QueryPolicy policy;
    ASSERT_EQ(policy.Load(dir.Path("p.bin")), "");
    const Expansion expansion(policy);
    std::map<std::pair<uint32_t, uint32_t>, std::map<uint32_t, std::vector<Step>>> steps;
    for (uint32_t from = 0; from < policy.NameCount(); ++from) {
      steps[{0, from}] = ReachSteps(policy, expansion, from);
      for (const uint32_t minWeight : {1u, 9u}) {
        for (uint32_t to = 0; to < policy.NameCount(); ++to) {
          const uint32_t weight = FlowWeight(map, expansion, from, to, minWeight);
          if (weight != 0)
            steps[{minWeight, from}][to] = {
                {{policy.Name(to)}, "(" + std::to_string(weight) + ")"}};
        }
      }
    }
    for (uint32_t start = 0; start < policy.NameCount(); ++start) {
      for (const uint32_t maxDepth : {1u, 2u, UINT32_MAX}) {
        SCOPED_TRACE(std::string(shape.name) + " from " + policy.Name(start) + " depth " +
                     std::to_string(maxDepth));
        const auto found = [&](PathSearch&& search) {
          std::ostringstream out;
          const PathTree tree = ShortestPaths(policy, start, maxDepth, std::nullopt, search);
          WritePaths(policy, tree, search, std::nullopt, PathFormat::LINES, "g", out);
          return out.str();
        };
        const auto expected = [&](uint32_t kind) {
          return LeastPathLines(policy, start, maxDepth, [&](uint32_t from) {
            return steps[{kind, from}];
          });
        };
        const std::string reach = found(DomainTransitions(policy));
        EXPECT_EQ(reach, expected(0));
        longerThanOneStep |= std::regex_search(reach, std::regex(R"(\]-> .* -\[)"));
        for (const uint32_t minWeight : {1u, 9u}) {
          EXPECT_EQ(WeightsOnly(found(InformationFlow(policy, map, minWeight))),
                    expected(minWeight));
        }
      }
    }
  }
  EXPECT_TRUE(longerThanOneStep);
}

// The shipped map reads, and gives every operation of the class table a
// direction and a weight.
TEST(PermissionMap, TheShippedMapCoversEveryOperation) {
  PermissionMap map;
  ASSERT_EQ(ParsePermissionMap(SHIPPED_PERMISSION_MAP, SHIPPED_PERMISSION_MAP_SIZE, map), "");
  for (uint16_t tclass = 1; tclass <= CLASS_COUNT; ++tclass) {
    for (const char* operation : OperationNames(tclass, OperationBits(tclass))) {
      EXPECT_NE(map.operations[tclass][std::countr_zero(GetOperationBit(tclass, operation))].weight,
                0)
          << GetClassName(tclass) << ' ' << operation;
    }
  }
}

}  // namespace
