// stage_times OUTPUT FILE...: where polc's time goes. Runs the pipeline of
// `polc -c -o OUTPUT FILE...` step by step through the reader's and the
// compiler's public operations, and prints the wall time and the CPU time
// (user plus system, which a busy machine disturbs much less) of each stage:
//
//   reading      ReadSourceFile of every file
//   JSON parse   ParseSource of every text, as polc parses it
//   sections     ReadLoadedSource: the key check and dispatch of the
//                top-level members (the declarations, labeling and rules
//                readers), and releasing the tree
//   checks       the per-file checks and the whole-policy checks
//   merge        merging each file model, and releasing what is left of it
//   hand-over    handing the merged model to the compiler, as polc does
//   types        numbering and the symbol table
//   labeling     initial sids, netifs and packets
//   file ctxs    the file context table
//   typeattrs    the type attribute array
//   rule table   grant and transition rules
//   write        serialising and writing the policy binary
//   release      destroying the database, the compiler's and the reader's
//                models
//
// Then it prints the resident memory once all files are read (mostly the
// merged model) and the peak resident memory of the whole run. The log lines
// that the steps write go to /dev/null; the table goes to standard output.
// Exits 1 when a step fails.
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "compiler/varo_compiler.h"
#include "json/json.h"
#include "reader/json_parser.h"

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Resident memory of this process now, in MB (10^6 bytes).
double ResidentMegabytes() {
  long pages = 0;
  long resident = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return 0;
  if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(statm);
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1e6;
}

// Peak resident memory of this process so far, in MB.
double PeakMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) * 1024 / 1e6;
}

struct Stage {
  const char* name;
  double wall = 0;  // seconds
  double cpu = 0;   // seconds
};

class Stages {
 public:
  // Runs `step` and adds its times to stage `index`; its result is passed
  // through.
  template <typename Step>
  auto Time(size_t index, Step step) {
    const Clock::time_point start = Clock::now();
    const double cpuStart = CpuSeconds();
    auto result = step();
    stages[index].cpu += CpuSeconds() - cpuStart;
    stages[index].wall += std::chrono::duration<double>(Clock::now() - start).count();
    return result;
  }

  void Print(FILE* out) const {
    Stage total{"total"};
    for (const Stage& stage : stages) {
      total.wall += stage.wall;
      total.cpu += stage.cpu;
    }
    std::fprintf(out, "%-12s %9s %9s %7s\n", "stage", "wall s", "cpu s", "cpu %");
    for (const Stage& stage : stages) {
      std::fprintf(out, "%-12s %9.4f %9.4f %7.1f\n", stage.name, stage.wall, stage.cpu,
                   total.cpu > 0 ? 100 * stage.cpu / total.cpu : 0.0);
    }
    std::fprintf(out, "%-12s %9.4f %9.4f\n", total.name, total.wall, total.cpu);
  }

 private:
  std::vector<Stage> stages = {{"reading"},   {"JSON parse"}, {"sections"},   {"checks"},
                               {"merge"},     {"hand-over"},  {"types"},      {"labeling"},
                               {"file ctxs"}, {"typeattrs"},  {"rule table"}, {"write"},
                               {"release"}};
};

enum StageIndex : size_t {
  READING,
  JSON_PARSE,
  SECTIONS,
  CHECKS,
  MERGE,
  HAND_OVER,
  TYPES,
  LABELING,
  FILE_CONTEXTS,
  TYPE_ATTRS,
  RULE_TABLE,
  WRITE,
  RELEASE,
};

// ReadLoadedSource of one file, split into its stages.
bool ReadOneFile(const std::string& path, PolicyModel& fileModel, Stages& stages) {
  std::unique_ptr<char[]> text;
  size_t size = 0;
  if (stages.Time(READING, [&] { return ReadSourceFile(path, text, size); }) != 0) {
    return false;
  }
  LoadedSource source = stages.Time(JSON_PARSE, [&] {
    LoadedSource parsed = ParseSource(text.get(), size);
    text.reset();
    return parsed;
  });
  Diagnostics diagnostics(false);
  ReadContext context(fileModel, diagnostics, path);
  const int result = stages.Time(SECTIONS, [&] {
    const int read = ReadLoadedSource(context, source);
    source = LoadedSource();
    return read;
  });
  return result == 0;
}

// ParseJsonFiles, stage by stage.
bool ReadAllFiles(JsonParser& parser, const std::vector<std::string>& paths, Stages& stages) {
  for (const std::string& path : paths) {
    auto fileModel = std::make_optional<PolicyModel>(parser.NewFileModel());
    if (!ReadOneFile(path, *fileModel, stages) ||
        stages.Time(CHECKS, [&] { return parser.ValidateJsonFile(*fileModel, path); }) != 0 ||
        stages.Time(MERGE, [&] {
          const int result = parser.MergeJsonFile(*fileModel, path);
          fileModel.reset();
          return result;
        }) != 0) {
      return false;
    }
  }
  return stages.Time(CHECKS, [&] { return parser.ValidateWholeJsonFile(); }) == 0;
}

// Compile without the map file, stage by stage; releases the compiler.
bool CompileAll(std::unique_ptr<VaroCompiler> compiler, const std::string& output, Stages& stages) {
  VaroCompiler& c = *compiler;
  const bool built = stages.Time(TYPES,
                                 [&] {
                                   c.SortTypeFields();
                                   return c.PopulateTypeSymTbl();
                                 }) == 0 &&
                     stages.Time(LABELING, [&] { return c.PopulateLabeling(); }) == 0 &&
                     stages.Time(FILE_CONTEXTS, [&] { return c.PopulateFileContexts(); }) == 0 &&
                     stages.Time(TYPE_ATTRS, [&] { return c.PopulateTypeAttrs(); }) == 0 &&
                     stages.Time(RULE_TABLE, [&] { return c.PopulateRuleTbl(); }) == 0 &&
                     stages.Time(WRITE, [&] { return c.WritePolicyBinary(output); }) == 0;
  stages.Time(RELEASE, [&] {
    compiler.reset();
    return 0;
  });
  return built;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: stage_times OUTPUT FILE...\n");
    return 2;
  }
  FILE* report = fdopen(dup(STDOUT_FILENO), "w");
  if (report == nullptr || std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  Stages stages;
  auto parser = std::make_unique<JsonParser>();
  if (!ReadAllFiles(*parser, std::vector<std::string>(argv + 2, argv + argc), stages)) {
    std::fprintf(stderr, "stage_times: reading failed (run polc for its log)\n");
    return 1;
  }
  const double residentAfterReading = ResidentMegabytes();
  auto compiler = stages.Time(
      HAND_OVER, [&] { return std::make_unique<VaroCompiler>(parser->TakePolicyModel()); });
  const bool compiled = CompileAll(std::move(compiler), argv[1], stages);
  stages.Time(RELEASE, [&] {
    parser.reset();
    return 0;
  });
  if (!compiled) {
    std::fprintf(stderr, "stage_times: compiling failed (run polc for its log)\n");
    return 1;
  }
  stages.Print(report);
  std::fprintf(report, "resident after reading %.1f MB, peak %.1f MB\n", residentAfterReading,
               PeakMegabytes());
  return 0;
}
