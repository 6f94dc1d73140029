// Helpers shared by the tests: a temporary directory, running the built
// polc, and log text with its time stamps set aside.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

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
bool FileExists(const std::string& path);
// The names in directory `path`, sorted.
std::vector<std::string> DirectoryEntries(const std::string& path);

struct RunResult {
  int exitStatus = -1;  // WEXITSTATUS, or -1 when the child did not exit
  std::string out;      // everything written to standard output
  std::string err;      // everything written to standard error
};

struct RunOptions {
  std::string workDir;           // empty: the caller's directory
  std::vector<std::string> env;  // extra NAME=VALUE entries
  std::string argv0;             // empty: the path of the program
  std::string rootDir;           // non-empty: the program runs chrooted there (needs
                                 // root; the program must be installed under it)
  long fileSizeLimit = 0;        // bytes: RLIMIT_FSIZE of the program with SIGXFSZ
                                 // ignored, so writes past it fail; 0: none
};

// Runs the built polc with `args` and waits for it. In a build configured
// with POLC_VALGRIND, polc runs under valgrind memcheck (unless rootDir or
// argv0 is set), and any error or leak makes the exit status 99.
RunResult RunPolc(const std::vector<std::string>& args, const RunOptions& options = {});

// Runs the executable at `program` with `args` and waits for it.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options = {});

// Writes each (name, content) pair into `dir`, in order, and runs
// "polc -c -o <dir>/policy.bin" on those files in the same order.
RunResult RunPolicy(const TempDir& dir,
                    const std::vector<std::pair<std::string, std::string>>& files);

// What `action` writes to standard output (the log), time stamps removed.
std::string CaptureLog(const std::function<void()>& action);

// Removes the "[YYYY-MM-DD HH:MM:SS]" stamp at the start of every line.
std::string StripTimestamps(const std::string& log);

// The lines of `text`, each without its "\n".
std::vector<std::string> Lines(const std::string& text);

}  // namespace polc_test
