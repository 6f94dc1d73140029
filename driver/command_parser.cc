#include "driver/command_parser.h"

#include <unistd.h>

#include <cstdlib>

#include "base/log.h"

namespace {

bool HasValidInputCount(int count) { return count >= MIN_INPUT_FILES && count <= MAX_INPUT_FILES; }

int ResolveInputPath(CommandOptions& options, const char* path) {
  if (!IsSafeString(path)) {
    Log(LOG_ERR, "[CommandParser][Invalid input path][path=%s]\n", MaskControlChars(path).c_str());
    return -1;
  }
  // realpath allocates the path, no longer than it is: a buffer of PATH_MAX
  // bytes for each of thousands of paths would be megabytes to clear.
  char* canonical = realpath(path, nullptr);
  if (canonical == nullptr) {
    Log(LOG_ERR, "[CommandParser][Get the realpath failed][path=%s]\n",
        MaskControlChars(path).c_str());
    return -1;
  }
  options.inputPaths.emplace_back(canonical);
  std::free(canonical);
  return 0;
}

}  // namespace

int CommandParser::ParseCommandLine(CommandOptions& options, int argc, char** argv) {
  Log(LOG_INFO, "[CommandParser][Parsing command line][argc=%d]\n", argc);
  if (ParseOptions(options, argc, argv) != 0) {
    Log(LOG_ERR, "[CommandParser][Parse command line option failed]\n");
    return -1;
  }
  if (!HasValidInputCount(argc - optind)) {
    Log(LOG_ERR,
        "[CommandParser][Exceed the minmum or maximum number of input files][min=%d, max=%d]\n",
        MIN_INPUT_FILES, MAX_INPUT_FILES);
    Log(LOG_ERR, "[CommandParser][Parse input json path failed]\n");
    return -1;
  }
  if (ParseInputPaths(options, argc, argv, optind) != 0) {
    Log(LOG_ERR, "[CommandParser][Parse input json path failed]\n");
    return -1;
  }
  if (ValidateOptions(options) != 0) {
    Log(LOG_ERR, "[CommandParser][Validate command line option failed]\n");
    return -1;
  }
  return 0;
}

int CommandParser::ParseOptions(CommandOptions& options, int argc, char** argv) {
  // 0 makes the C library start a fresh scan, so the parser can run more
  // than once in one process.
  optind = 0;
  for (int option; (option = getopt(argc, argv, "cmo:")) != -1;) {
    switch (option) {
      case 'c':
        options.compileMode = true;
        break;
      case 'm':
        options.generateMap = true;
        break;
      case 'o':
        options.outputPath = optarg;
        break;
      default:
        return -1;
    }
  }
  return 0;
}

int CommandParser::ParseInputPaths(CommandOptions& options, int argc, char** argv, int first) {
  for (int i = first; i < argc; ++i) {
    if (ResolveInputPath(options, argv[i]) != 0) return -1;
  }
  return 0;
}

int CommandParser::ValidateOptions(const CommandOptions& options) {
  if (!options.compileMode) {
    Log(LOG_ERR, "[CommandParser][No compile mode specified]\n");
    return -1;
  }
  if (options.outputPath.empty()) {
    Log(LOG_ERR, "[CommandParser][No output file path specified]\n");
    return -1;
  }
  if (!IsSafeString(options.outputPath)) {
    Log(LOG_ERR, "[CommandParser][Invalid output path][path=%s]\n",
        MaskControlChars(options.outputPath).c_str());
    return -1;
  }
  return 0;
}
