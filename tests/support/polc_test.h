// What the tests share: a temporary directory, a shell command run in it,
// log text without its time stamps, and failing allocations on demand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bench/policy_generator.h"

namespace polc_test {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents when
// the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // Absolute path of `name` inside the directory.
  std::string Path(const std::string& name) const;
  // Writes `content` to `name` (parent directories are created) and returns
  // its absolute path.
  std::string Write(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

// Whole contents of a file; fails the current test when it cannot be read.
std::string ReadFile(const std::string& path);

struct RunResult {
  int status = -1;  // exit status, or -1 when the command did not exit
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs `command` with bash -o pipefail in `dir`, with the NAME=VALUE
// entries of `env` added to the environment. polc and polcdump of this
// build are found on PATH.
RunResult RunShell(const std::string& command, const std::string& dir,
                   const std::vector<std::string>& env = {});

// Writes the source files of the bench generator's `shape` into `dir`/src.
void WriteGeneratedSources(const polc_bench::PolicyShape& shape, const TempDir& dir);

// Removes the "[YYYY-MM-DD HH:MM:SS]" stamp at the start of every line.
std::string StripTimestamps(const std::string& log);

// What `action` writes to standard output (the log), time stamps removed.
std::string CaptureLog(const std::function<void()>& action);

// The lines of `text`, each without its "\n".
std::vector<std::string> Lines(const std::string& text);

// While alive, the n-th allocation (from 1) by calloc or malloc, on any
// thread, returns null; the test program links both wrapped. A calloc of
// `uncountedFrom` bytes or more is neither counted nor failed: for blocks
// whose failure ends the process by design.
class AllocationFault {
 public:
  explicit AllocationFault(long n, size_t uncountedFrom = SIZE_MAX);
  ~AllocationFault();
  AllocationFault(const AllocationFault&) = delete;
  AllocationFault& operator=(const AllocationFault&) = delete;

  // Whether the n-th allocation has happened.
  bool Fired() const;
};

// Calls attempt(1), attempt(2), ... until one returns false, and returns
// how many returned true. An attempt arms AllocationFault(n) around the
// operation under test and returns whether it fired.
long CountFailingAllocations(const std::function<bool(long n)>& attempt);

}  // namespace polc_test
