#include "tools/polcq/shortest_paths.h"

#include <algorithm>
#include <tuple>

namespace {

// A name's place in name order, NO_NAME (no way) first.
uint32_t RankOf(const QueryPolicy& policy, uint32_t value) {
  return value == NO_NAME ? 0 : policy.Rank(value) + 1;
}

// The first step to each name, by least way, in the order of the paths they
// make: what one name of a level adds to the next.
std::vector<PathStep> NewSteps(const QueryPolicy& policy, std::vector<PathStep>& steps) {
  const auto byTarget = [&policy](const PathStep& step) {
    return std::tuple(RankOf(policy, step.to), RankOf(policy, step.via));
  };
  std::sort(steps.begin(), steps.end(),
            [&](const PathStep& a, const PathStep& b) { return byTarget(a) < byTarget(b); });
  std::vector<PathStep> kept;
  for (const PathStep& step : steps) {
    if (kept.empty() || kept.back().to != step.to) kept.push_back(step);
  }
  const auto byWay = [&policy](const PathStep& step) {
    return std::tuple(RankOf(policy, step.via), RankOf(policy, step.to));
  };
  std::sort(kept.begin(), kept.end(),
            [&](const PathStep& a, const PathStep& b) { return byWay(a) < byWay(b); });
  return kept;
}

std::string Quoted(const std::string& name) {
  std::string quoted = "\"";
  for (const char c : name) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted += '"';
}

void WriteLine(const QueryPolicy& policy, const PathTree& tree, const PathSearch& search,
               uint32_t value, bool explain, std::ostream& out) {
  const std::vector<uint32_t> path = tree.Path(value);
  const auto stepText = [&](size_t at) {
    return " -[" + search.Label(path[at - 1], tree.via[path[at]], path[at]) + "]-> " +
           policy.Show(path[at]);
  };
  out << policy.Show(value) << ": " << policy.Show(tree.start);
  for (size_t at = 1; at < path.size(); ++at) out << stepText(at);
  out << '\n';
  for (size_t at = 1; explain && at < path.size(); ++at) {
    out << '\t' << policy.Show(path[at - 1]) << stepText(at) << '\n';
    for (const uint32_t rule : search.Reasons(path[at - 1], tree.via[path[at]], path[at])) {
      out << "\t\t" << policy.RuleLine(rule) << '\n';
    }
  }
}

void WriteGraph(const QueryPolicy& policy, const PathTree& tree, const PathSearch& search,
                const std::vector<bool>& shown, const char* graph, std::ostream& out) {
  out << "digraph " << graph << " {\n";
  out << "  " << Quoted(policy.Show(tree.start)) << " [shape=box];\n";
  for (const uint32_t value : policy.ByName()) {
    if (shown[value] && value != tree.start) out << "  " << Quoted(policy.Show(value)) << ";\n";
  }
  for (const uint32_t value : policy.ByName()) {
    if (!shown[value] || value == tree.start) continue;
    const uint32_t from = tree.from[value];
    out << "  " << Quoted(policy.Show(from)) << " -> " << Quoted(policy.Show(value))
        << " [label=" << Quoted(search.Label(from, tree.via[value], value)) << "];\n";
  }
  out << "}\n";
}

}  // namespace

std::vector<uint32_t> PathTree::Path(uint32_t value) const {
  std::vector<uint32_t> path = {value};
  for (; value != start; value = from[value]) path.push_back(from[value]);
  std::reverse(path.begin(), path.end());
  return path;
}

PathTree ShortestPaths(const QueryPolicy& policy, uint32_t start, uint32_t maxDepth,
                       std::optional<uint32_t> target, PathSearch& search) {
  PathTree tree{start, std::vector<uint32_t>(policy.NameCount(), NO_NAME),
                std::vector<uint32_t>(policy.NameCount(), NO_NAME)};
  tree.from[start] = start;
  // A name's path is final once it is found: the search may stop as soon as
  // the target, or every name, has one.
  uint32_t unreached = policy.NameCount() - 1;
  const auto done = [&] { return unreached == 0 || (target && tree.Reached(*target)); };
  std::vector<uint32_t> level = {start};  // in the order of the paths to its names
  std::vector<PathStep> steps;
  for (uint32_t depth = 0; depth < maxDepth && !level.empty() && !done(); ++depth) {
    std::vector<uint32_t> next;
    for (size_t at = 0; at < level.size() && !done(); ++at) {
      steps.clear();
      search.StepsFrom(level[at], tree, steps);
      for (const PathStep& step : NewSteps(policy, steps)) {
        tree.from[step.to] = level[at];
        tree.via[step.to] = step.via;
        next.push_back(step.to);
        --unreached;
      }
    }
    level = std::move(next);
  }
  return tree;
}

bool WritePaths(const QueryPolicy& policy, const PathTree& tree, const PathSearch& search,
                std::optional<uint32_t> target, PathFormat format, const char* graph,
                std::ostream& out) {
  std::vector<bool> shown(policy.NameCount());
  bool any = false;
  for (const uint32_t value : policy.ByName()) {
    if (value == tree.start || !tree.Reached(value) || (target && value != *target)) continue;
    any = true;
    if (format == PathFormat::DOT) {
      for (const uint32_t on : tree.Path(value)) shown[on] = true;
    } else {
      WriteLine(policy, tree, search, value, format == PathFormat::EXPLAIN, out);
    }
  }
  if (format == PathFormat::DOT) WriteGraph(policy, tree, search, shown, graph, out);
  return any;
}
