// polc: reads the policy source files named on the command line and
// compiles them into one binary policy file.
#include <cstdio>

#include "driver/command_parser.h"

namespace {

void PrintUsage() {
  static const char* const kUsageLines[] = {
      "Usage: polc options <input files>",   "Options:",
      "  -c           Run in compile mode",  "  -m           Generate policy map file",
      "  -o <file>    The output file path", "",
  };
  for (const char* line : kUsageLines) {
    std::printf("%s\n", line);
    std::fflush(stdout);
  }
}

int ParseArguments(CommandOptions& options, int argc, char** argv) {
  const int result = CommandParser::ParseCommandLine(options, argc, argv);
  if (result != 0) {
    std::printf("Please run %s to get Usage.\n", argv[0]);
    std::fflush(stdout);
  }
  return result;
}

// The stages run in order, each only after the previous one succeeded; the
// first failure's result is the run's result. noexcept: an exception that
// escapes a stage (only a failed allocation inside a container) ends the
// process through the terminate handler.
int RunPipeline(int argc, char** argv) noexcept {
  CommandOptions options;
  return ParseArguments(options, argc, argv);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc <= 1) {
    PrintUsage();
    return 0;
  }
  // The exit status carries the low eight bits: -1 becomes 255.
  return RunPipeline(argc, argv) & 0xFF;
}
