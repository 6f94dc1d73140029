// The command line of polc: options -c, -m, -o <file> and 1 to 4096 input
// files. Progress and every rejection are logged with the tag
// "[CommandParser]"; every failure returns -1 after logging its own line and
// its step's summary line.
#pragma once

#include <string>
#include <vector>

inline constexpr int MIN_INPUT_FILES = 1;
inline constexpr int MAX_INPUT_FILES = 4096;

struct CommandOptions {
  bool generateMap = false;             // -m: also write policy.map
  bool compileMode = false;             // -c: required
  std::string outputPath;               // -o, as given; a later -o wins
  std::vector<std::string> inputPaths;  // canonical absolute paths, in order
};

class CommandParser {
 public:
  // Fills `options` from the command line: the options, then the input
  // paths, then the checks of the options. 0 or -1. Input paths are
  // examined before the options are validated, so a bad path is reported
  // even when -c is missing. getopt may reorder `argv`.
  static int ParseCommandLine(CommandOptions& options, int argc, char** argv);

  // Reads -c, -m and -o. -1 on an unknown option or -o without a value (the
  // C library prints its own diagnostic on standard error first).
  static int ParseOptions(CommandOptions& options, int argc, char** argv);

  // Appends the canonical path of every argument from `first` on. A path
  // with a control or shell character is refused before it is resolved; so
  // is one that does not resolve. Stops at the first failure with -1.
  static int ParseInputPaths(CommandOptions& options, int argc, char** argv, int first);

  // -c given, -o given and not empty, and the output path free of control
  // and shell characters. 0 or -1.
  static int ValidateOptions(const CommandOptions& options);
};
