// polclint: every fault polc would find in a set of policy sources, and
// warnings of likely mistakes, in one run.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tools/lint/lint.h"
#include "tools/lint/project.h"
#include "tools/polclint/report.h"

namespace {

constexpr const char* USAGE =
    "Usage: polclint [options] <input files>\n"
    "Options:\n"
    "  --format=text|json|sarif   how to write the diagnostics (text)\n"
    "  --color=auto|always|never  colours in the text on a terminal (auto)\n"
    "  -W no-ID                   leave out the warning ID; -W ID takes it back\n"
    "  -Werror                    treat warnings as errors\n"
    "  -p FILE                    lint the sources the project file FILE names\n"
    "  --list-warnings            list the warnings, each with what it means\n";

struct Options {
  bool listWarnings = false;
  ReportOptions report;
  std::string color = "auto";
  std::set<std::string, std::less<>> disabled;  // warning ids
  bool warningsAreErrors = false;
  std::vector<std::string> files;
};

bool IsWarning(std::string_view id) {
  const auto warnings = WarningCodes();
  return std::any_of(warnings.begin(), warnings.end(),
                     [id](const CodeSummary& warning) { return warning.code == id; });
}

// Takes the switch of -W: "error", "no-ID" or "ID"; an error text or "".
std::string TakeWarningSwitch(std::string_view value, Options& options) {
  if (value == "error") {
    options.warningsAreErrors = true;
    return "";
  }
  const bool disable = value.substr(0, 3) == "no-";
  const std::string id(disable ? value.substr(3) : value);
  if (!IsWarning(id)) return "unknown warning \"" + id + "\"";
  if (disable) {
    options.disabled.insert(id);
  } else {
    options.disabled.erase(id);
  }
  return "";
}

// The value of "--name=value" in `argument`, when it starts so.
bool TakeValue(std::string_view argument, std::string_view name, std::string_view& value) {
  if (argument.substr(0, name.size()) != name || argument.size() == name.size() ||
      argument[name.size()] != '=') {
    return false;
  }
  value = argument.substr(name.size() + 1);
  return true;
}

// Fills `options` from the command line; an error text or "".
std::string ParseArguments(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    std::string_view value;
    if (TakeValue(argument, "--format", value)) {
      if (value == "text") {
        options.report.format = ReportFormat::TEXT;
      } else if (value == "json") {
        options.report.format = ReportFormat::JSON;
      } else if (value == "sarif") {
        options.report.format = ReportFormat::SARIF;
      } else {
        return "unknown format \"" + std::string(value) + "\"";
      }
    } else if (TakeValue(argument, "--color", value)) {
      if (value != "auto" && value != "always" && value != "never") {
        return "unknown colour choice \"" + std::string(value) + "\"";
      }
      options.color = value;
    } else if (argument == "-p") {
      if (++i == argc) return "-p needs a project file";
      if (std::string error = LoadProjectSources(argv[i], options.files); !error.empty()) {
        return error;
      }
    } else if (argument == "--list-warnings") {
      options.listWarnings = true;
    } else if (argument == "-W") {
      if (++i == argc) return "-W needs a warning";
      if (std::string error = TakeWarningSwitch(argv[i], options); !error.empty()) return error;
    } else if (argument.substr(0, 2) == "-W") {
      if (std::string error = TakeWarningSwitch(argument.substr(2), options); !error.empty()) {
        return error;
      }
    } else if (argument.size() > 1 && argument[0] == '-') {
      return "unknown option \"" + std::string(argument) + "\"";
    } else {
      options.files.emplace_back(argument);
    }
  }
  if (options.files.empty() && !options.listWarnings) return "no input files";
  options.report.color =
      options.color == "always" || (options.color == "auto" && isatty(STDOUT_FILENO) != 0 &&
                                    options.report.format == ReportFormat::TEXT);
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const std::string error = ParseArguments(argc, argv, options); !error.empty()) {
    std::fprintf(stderr, "polclint: %s\n%s", error.c_str(), USAGE);
    return 2;
  }
  if (options.listWarnings) {
    for (const CodeSummary& warning : WarningCodes()) {
      std::printf("%.*s\t%.*s\n", static_cast<int>(warning.code.size()), warning.code.data(),
                  static_cast<int>(warning.summary.size()), warning.summary.data());
    }
    return 0;
  }
  std::vector<Diagnostic> diagnostics = LintSources(options.files);
  std::erase_if(diagnostics, [&](const Diagnostic& diagnostic) {
    return options.disabled.count(diagnostic.code) != 0;
  });
  bool failed = false;
  for (Diagnostic& diagnostic : diagnostics) {
    if (options.warningsAreErrors) diagnostic.severity = Severity::ERROR;
    failed = failed || diagnostic.severity == Severity::ERROR;
  }
  const std::string report = Report(diagnostics, options.report);
  std::fwrite(report.data(), 1, report.size(), stdout);
  return failed ? 1 : 0;
}
