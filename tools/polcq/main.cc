// polcq: asks a compiled policy who may do what, checks neverallow
// assertions against it, and compares two policies by name.
#include <getopt.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "base/class_table.h"
#include "ruledb/rule_data_base.h"
#include "tools/polcq/assertions.h"
#include "tools/polcq/domain_transitions.h"
#include "tools/polcq/information_flow.h"
#include "tools/polcq/permission_map.h"
#include "tools/polcq/policy_diff.h"
#include "tools/polcq/policy_query.h"
#include "tools/polcq/query_access.h"
#include "tools/polcq/shortest_paths.h"

namespace {

// Exit statuses, as diff(1) has them.
constexpr int EXIT_SAME = 0;
constexpr int EXIT_DIFFERENT = 1;
constexpr int EXIT_TROUBLE = 2;

constexpr char USAGE[] =
    "Usage: polcq access POLICY [-s NAME] [-o NAME] [-c CLASS] [-p OP]... [--explain] [--json]\n"
    "       polcq transitions POLICY [-s NAME] [-o NAME] [-c CLASS] [--explain]\n"
    "       polcq check POLICY ASSERTIONS\n"
    "       polcq reach POLICY -s DOMAIN [-t DOMAIN] [--max-depth N] [--explain] [--dot]\n"
    "       polcq flow POLICY -s NAME [-t NAME] [--min-weight W] [--max-depth N] [--map FILE]\n"
    "                  [--explain] [--dot]\n"
    "       polcq diff OLD NEW [--effective] [--json]\n"
    "       polcq classes [CLASS]\n"
    "       polcq --help\n";

int UsageError(const std::string& message) {
  std::cerr << "polcq: " << message << '\n' << USAGE;
  return EXIT_TROUBLE;
}

int Trouble(const std::string& where, const std::string& message) {
  std::cerr << "polcq: " << where << ": " << message << '\n';
  return EXIT_TROUBLE;
}

// A subcommand's options and operands.
struct Arguments {
  const char* subject = nullptr;
  const char* object = nullptr;
  const char* tclass = nullptr;
  std::vector<std::string> operations;
  const char* target = nullptr;
  const char* maxDepth = nullptr;
  const char* minWeight = nullptr;
  const char* map = nullptr;
  bool explain = false;
  bool json = false;
  bool effective = false;
  bool dot = false;
  std::vector<std::string> operands;
};

// Parses argv[1..] as the subcommand argv[1] with the options `allowed` (a
// getopt short-option string; long options map to 'e', 'j', 'x', 'g', and
// with a value 'd', 'w', 'm').
std::string ParseArguments(int argc, char** argv, const char* allowed, Arguments& arguments) {
  static const option LONG_OPTIONS[] = {{"explain", no_argument, nullptr, 'x'},
                                        {"json", no_argument, nullptr, 'j'},
                                        {"effective", no_argument, nullptr, 'e'},
                                        {"dot", no_argument, nullptr, 'g'},
                                        {"max-depth", required_argument, nullptr, 'd'},
                                        {"min-weight", required_argument, nullptr, 'w'},
                                        {"map", required_argument, nullptr, 'm'},
                                        {nullptr, 0, nullptr, 0}};
  opterr = 0;
  optind = 1;
  int choice;
  while ((choice = getopt_long(argc - 1, argv + 1, "s:o:c:p:t:", LONG_OPTIONS, nullptr)) != -1) {
    if (choice == '?' || std::strchr(allowed, choice) == nullptr) {
      return std::string("an option ") + argv[1] + " does not take, or one without its value";
    }
    if (choice == 's') arguments.subject = optarg;
    if (choice == 'o') arguments.object = optarg;
    if (choice == 'c') arguments.tclass = optarg;
    if (choice == 'p') arguments.operations.emplace_back(optarg);
    if (choice == 't') arguments.target = optarg;
    if (choice == 'd') arguments.maxDepth = optarg;
    if (choice == 'w') arguments.minWeight = optarg;
    if (choice == 'm') arguments.map = optarg;
    arguments.dot |= choice == 'g';
    arguments.explain |= choice == 'x';
    arguments.json |= choice == 'j';
    arguments.effective |= choice == 'e';
  }
  for (int index = optind + 1; index < argc; ++index) arguments.operands.emplace_back(argv[index]);
  return "";
}

int Query(const Arguments& arguments, uint16_t kind) {
  if (arguments.operands.size() != 1) return UsageError("expected one policy file");
  QueryPolicy policy;
  const std::string& path = arguments.operands[0];
  if (const std::string error = policy.Load(path); !error.empty()) return Trouble(path, error);
  AccessFilter filter;
  const std::string filterError = MakeAccessFilter(policy, arguments.subject, arguments.object,
                                                   arguments.tclass, arguments.operations, filter);
  if (!filterError.empty()) return Trouble(path, filterError);
  if (arguments.json) {
    WriteAccessSource(policy, filter, std::cout);
  } else {
    WriteEffects(policy, filter, kind, arguments.explain, std::cout);
  }
  return EXIT_SAME;
}

int Check(const Arguments& arguments) {
  if (arguments.operands.size() != 2) return UsageError("expected a policy and an assertions file");
  QueryPolicy policy;
  const std::string& path = arguments.operands[0];
  if (const std::string error = policy.Load(path); !error.empty()) return Trouble(path, error);
  std::vector<Assertion> assertions;
  const std::string& assertionsPath = arguments.operands[1];
  const std::string error = LoadAssertions(assertionsPath, policy, assertions);
  if (!error.empty()) return Trouble(assertionsPath, error);
  return CheckAssertions(policy, assertions, std::cout) == 0 ? EXIT_SAME : EXIT_DIFFERENT;
}

int Diff(const Arguments& arguments) {
  if (arguments.operands.size() != 2) return UsageError("expected two policy files");
  QueryPolicy before;
  QueryPolicy after;
  for (size_t index = 0; index < 2; ++index) {
    QueryPolicy& policy = index == 0 ? before : after;
    const std::string& path = arguments.operands[index];
    if (const std::string error = policy.Load(path); !error.empty()) return Trouble(path, error);
  }
  const DiffOptions options{arguments.effective, arguments.json};
  return WritePolicyDiff(before, after, options, std::cout) ? EXIT_DIFFERENT : EXIT_SAME;
}

// `text` as a whole number from `least` to `most`, or nothing.
std::optional<uint32_t> WholeNumber(const char* text, uint32_t least, uint32_t most) {
  char* end = nullptr;
  const unsigned long long number = std::strtoull(text, &end, 10);
  if (*text < '0' || *text > '9' || *end != '\0' || number < least || number > most) {
    return std::nullopt;
  }
  return static_cast<uint32_t>(number);
}

// What reach and flow share: the policy, the names, the depth, the format.
struct PathQuery {
  QueryPolicy policy;
  uint32_t start = 0;
  std::optional<uint32_t> target;
  uint32_t maxDepth = UINT32_MAX;
  PathFormat format = PathFormat::LINES;
};

// Loads and checks what `arguments` give a path query: an exit status when
// it cannot run.
std::optional<int> PreparePaths(const Arguments& arguments, PathQuery& query) {
  if (arguments.operands.size() != 1) return UsageError("expected one policy file");
  if (arguments.subject == nullptr) return UsageError("expected -s NAME");
  if (arguments.dot && arguments.explain)
    return UsageError("--dot and --explain exclude each other");
  if (arguments.maxDepth != nullptr) {
    const std::optional<uint32_t> depth = WholeNumber(arguments.maxDepth, 1, UINT32_MAX);
    if (!depth) return UsageError("--max-depth takes a whole number of at least 1");
    query.maxDepth = *depth;
  }
  const std::string& path = arguments.operands[0];
  if (const std::string error = query.policy.Load(path); !error.empty()) {
    return Trouble(path, error);
  }
  for (const char* name : {arguments.subject, arguments.target}) {
    if (name != nullptr && !query.policy.Value(name)) {
      return Trouble(path, "no type or attribute is named \"" + Printable(name) + "\"");
    }
  }
  query.start = *query.policy.Value(arguments.subject);
  if (arguments.target != nullptr) query.target = query.policy.Value(arguments.target);
  if (arguments.dot) query.format = PathFormat::DOT;
  if (arguments.explain) query.format = PathFormat::EXPLAIN;
  return std::nullopt;
}

// Exit 1 when the one name asked for cannot be reached.
int WriteFound(PathQuery& query, PathSearch& search, const char* graph) {
  const PathTree tree =
      ShortestPaths(query.policy, query.start, query.maxDepth, query.target, search);
  const bool any =
      WritePaths(query.policy, tree, search, query.target, query.format, graph, std::cout);
  return !any && query.target ? EXIT_DIFFERENT : EXIT_SAME;
}

int Reach(const Arguments& arguments) {
  PathQuery query;
  if (const std::optional<int> status = PreparePaths(arguments, query)) return *status;
  DomainTransitions search(query.policy);
  return WriteFound(query, search, "reach");
}

int Flow(const Arguments& arguments) {
  uint32_t minWeight = 1;
  if (arguments.minWeight != nullptr) {
    const std::optional<uint32_t> weight = WholeNumber(arguments.minWeight, 1, 10);
    if (!weight) return UsageError("--min-weight takes a whole number from 1 to 10");
    minWeight = *weight;
  }
  PermissionMap map = ShippedPermissionMap();
  if (arguments.map != nullptr) {
    if (const std::string error = LoadPermissionMap(arguments.map, map); !error.empty()) {
      return Trouble(arguments.map, error);
    }
  }
  PathQuery query;
  if (const std::optional<int> status = PreparePaths(arguments, query)) return *status;
  InformationFlow search(query.policy, map, minWeight);
  return WriteFound(query, search, "flow");
}

// The class names of the class table, or the operations of one class, one
// per line: what a policy may name, for completion and for scripts.
int Classes(const Arguments& arguments) {
  if (arguments.operands.size() > 1) return UsageError("expected at most one class");
  if (arguments.operands.empty()) {
    for (uint16_t index = 1; index <= CLASS_COUNT; ++index)
      std::cout << GetClassName(index) << '\n';
    return EXIT_SAME;
  }
  const std::string& name = arguments.operands[0];
  const uint16_t index = GetClassIndex(name.c_str());
  if (index == 0) return Trouble(name, "no such class");
  for (const char* operation : OperationNames(index, OperationBits(index))) {
    std::cout << operation << '\n';
  }
  return EXIT_SAME;
}

int Run(int argc, char** argv) {
  if (argc < 2) return UsageError("expected a command");
  const std::string command = argv[1];
  if (command == "-h" || command == "--help") {
    std::cout << USAGE;
    return EXIT_SAME;
  }
  static const struct {
    const char* name;
    const char* options;
  } COMMANDS[] = {{"access", "socpxj"}, {"transitions", "socx"}, {"check", ""},  {"reach", "stdxg"},
                  {"flow", "stdwmxg"},  {"diff", "ej"},          {"classes", ""}};
  for (const auto& known : COMMANDS) {
    if (command != known.name) continue;
    Arguments arguments;
    const std::string error = ParseArguments(argc, argv, known.options, arguments);
    if (!error.empty()) return UsageError(error);
    if (command == "access") return Query(arguments, RULE_GRANT);
    if (command == "transitions") return Query(arguments, RULE_TRANSITION);
    if (command == "check") return Check(arguments);
    if (command == "classes") return Classes(arguments);
    if (command == "reach") return Reach(arguments);
    if (command == "flow") return Flow(arguments);
    return Diff(arguments);
  }
  return UsageError("unknown command \"" + command + "\"");
}

}  // namespace

int main(int argc, char** argv) {
  // Answers can run to millions of lines: std::cout buffers them itself.
  std::ios::sync_with_stdio(false);
  const int status = Run(argc, argv);
  std::cout.flush();
  if (!std::cout) return Trouble("standard output", "write failed");
  return status;
}
