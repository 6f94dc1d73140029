// stage_times OUTPUT FILE...: where polc's time goes. Runs the compile of
// `polc -c -o OUTPUT FILE...` with a timer on each of its stages (see
// base/stage_timer.h: reading, JSON parse, sections, checks, merge,
// hand-over, the population steps, write, release), every stage on this
// thread, and prints the wall time and the CPU time (user plus system,
// which a busy machine disturbs much less) of each and the peak resident
// memory when it last ended, then the resident memory once every file is
// read (mostly the merged model) and the peak resident memory of the run.
// The log lines go to /dev/null; the table goes to standard output. Exits 1
// when the compile fails.
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "base/stage_timer.h"
#include "compiler/varo_compiler.h"

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double WallSeconds() { return std::chrono::duration<double>(Clock::now().time_since_epoch()).count(); }

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

class Stages final : public StageTimer {
 public:
  void Begin(Stage stage) override {
    // The hand-over starts once every file is read.
    if (stage == Stage::HAND_OVER) residentAfterReading = ResidentMegabytes();
    At(stage).wallStart = WallSeconds();
    At(stage).cpuStart = CpuSeconds();
  }
  void End(Stage stage) override {
    At(stage).cpu += CpuSeconds() - At(stage).cpuStart;
    At(stage).wall += WallSeconds() - At(stage).wallStart;
    At(stage).peak = PeakMegabytes();
  }

  void Print(FILE* out) const {
    double wall = 0;
    double cpu = 0;
    for (const Totals& stage : totals) {
      wall += stage.wall;
      cpu += stage.cpu;
    }
    std::fprintf(out, "%-12s %9s %9s %7s %8s\n", "stage", "wall s", "cpu s", "cpu %", "peak MB");
    for (size_t i = 0; i < STAGE_COUNT; ++i) {
      std::fprintf(out, "%-12s %9.4f %9.4f %7.1f %8.1f\n", StageName(static_cast<Stage>(i)),
                   totals[i].wall, totals[i].cpu, cpu > 0 ? 100 * totals[i].cpu / cpu : 0.0,
                   totals[i].peak);
    }
    std::fprintf(out, "%-12s %9.4f %9.4f\n", "total", wall, cpu);
    std::fprintf(out, "resident after reading %.1f MB, peak %.1f MB\n", residentAfterReading,
                 PeakMegabytes());
  }

 private:
  struct Totals {
    double wall = 0;  // seconds
    double cpu = 0;   // seconds
    double wallStart = 0;
    double cpuStart = 0;
    double peak = 0;  // MB, when it last ended
  };
  Totals& At(Stage stage) { return totals[static_cast<size_t>(stage)]; }

  std::array<Totals, STAGE_COUNT> totals{};
  double residentAfterReading = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: stage_times OUTPUT FILE...\n");
    return 2;
  }
  FILE* report = fdopen(dup(STDOUT_FILENO), "w");
  if (report == nullptr || std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  Stages stages;
  if (CompileSources(std::vector<std::string>(argv + 2, argv + argc), argv[1], false, &stages) !=
      0) {
    std::fprintf(stderr, "stage_times: the compile failed (run polc for its log)\n");
    return 1;
  }
  stages.Print(report);
  return 0;
}
