// timed_run PROGRAM ARG...: runs PROGRAM with its standard output and
// standard error sent to /dev/null, waits for it, and prints one line:
//   wall-seconds peak-resident-KiB exit-status cpu-seconds minor-faults
//   user-seconds system-seconds
// The exit status is -1 when the program was ended by a signal. Peak
// resident memory, CPU time (user plus system) and minor page faults come
// from the kernel's accounting of the child alone; CPU time and faults stay
// meaningful on a busy machine, where wall time does not, and faults weigh
// more where each costs more (a virtual machine).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

namespace {

double Seconds(const timespec& from, const timespec& to) {
  return static_cast<double>(to.tv_sec - from.tv_sec) +
         static_cast<double>(to.tv_nsec - from.tv_nsec) / 1e9;
}

double Seconds(const timeval& time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

[[noreturn]] void RunChild(char** argv) {
  const int null = open("/dev/null", O_WRONLY);
  dup2(null, STDOUT_FILENO);
  dup2(null, STDERR_FILENO);
  execvp(argv[0], argv);
  _exit(127);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: timed_run PROGRAM [ARG...]\n");
    return 2;
  }
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  const pid_t child = fork();
  if (child < 0) {
    std::perror("timed_run: fork");
    return 1;
  }
  if (child == 0) RunChild(argv + 1);
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) < 0) {
    std::perror("timed_run: wait4");
    return 1;
  }
  timespec end{};
  clock_gettime(CLOCK_MONOTONIC, &end);
  std::printf("%.6f %ld %d %.6f %ld %.6f %.6f\n", Seconds(start, end), usage.ru_maxrss,
              WIFEXITED(status) ? WEXITSTATUS(status) : -1,
              Seconds(usage.ru_utime) + Seconds(usage.ru_stime), usage.ru_minflt,
              Seconds(usage.ru_utime), Seconds(usage.ru_stime));
  return 0;
}
