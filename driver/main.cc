// polc: reads the policy source files named on the command line and
// compiles them into one binary policy file.
#include <malloc.h>

#include <cstdio>

#include "compiler/varo_compiler.h"
#include "driver/command_parser.h"

namespace {

void PrintUsage() {
  std::fputs(
      "Usage: polc options <input files>\n"
      "Options:\n"
      "  -c           Run in compile mode\n"
      "  -m           Generate policy map file\n"
      "  -o <file>    The output file path\n"
      "\n",
      stdout);
  std::fflush(stdout);
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
  int result = ParseArguments(options, argc, argv);
  if (result != 0) return result;
  return CompileSources(options.inputPaths, options.outputPath, options.generateMap);
}

// polc frees each file's text and document before it loads the next one.
// Kept by the allocator, those blocks serve the next file; given back to the
// kernel, every page of them would come back as a fresh page, one fault
// each. So no block is mapped on its own below the largest threshold, and
// freed memory is trimmed only when much of it lies unused at the top.
void KeepFreedMemory() {
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
}

}  // namespace

int main(int argc, char** argv) {
  KeepFreedMemory();
  if (argc <= 1) {
    PrintUsage();
    return 0;
  }
  // The exit status carries the low eight bits: -1 becomes 255.
  return RunPipeline(argc, argv) & 0xFF;
}
