#include "tests/support/polc_test.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

extern "C" void* __real_calloc(size_t count, size_t size);
extern "C" void* __real_malloc(size_t size);

namespace polc_test {
namespace {

// Counted over all threads, as the reader and the compiler allocate on
// threads of their own.
std::atomic<long> g_callsLeft = -1;              // before the failing one; negative: none armed
std::atomic<size_t> g_uncountedFrom = SIZE_MAX;  // calloc bytes that pass uncounted

bool AllocationFails() { return g_callsLeft.load() >= 0 && g_callsLeft.fetch_sub(1) == 0; }

std::string Slurp(int fd) {
  std::string text;
  lseek(fd, 0, SEEK_SET);
  char buffer[65536];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return text;
}

int CaptureFile() {
  char name[] = "/tmp/polc_capture.XXXXXX";
  const int fd = mkstemp(name);
  unlink(name);
  return fd;
}

std::string DirectoryOf(const std::string& path) { return fs::path(path).parent_path().string(); }

// "[YYYY-MM-DD HH:MM:SS]": 21 characters, digits where the pattern has '9'.
bool StartsWithTimestamp(const std::string& text, size_t at) {
  static const std::string PATTERN = "[9999-99-99 99:99:99]";
  if (text.size() - at < PATTERN.size()) return false;
  for (size_t i = 0; i < PATTERN.size(); ++i) {
    const char c = text[at + i];
    if (PATTERN[i] == '9' ? (c < '0' || c > '9') : c != PATTERN[i]) return false;
  }
  return true;
}

}  // namespace

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/polc_test.XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed for " << pattern;
  path_ = fs::canonical(pattern).string();
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests may drop write permission on a subdirectory; give it back first.
  for (auto it = fs::recursive_directory_iterator(path_, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
  }
  fs::remove_all(path_, ignored);
}

std::string TempDir::Path(const std::string& name) const { return path_ + "/" + name; }

std::string TempDir::Write(const std::string& name, const std::string& content) const {
  const std::string full = Path(name);
  fs::create_directories(DirectoryOf(full));
  std::ofstream file(full, std::ios::binary | std::ios::trunc);
  file << content;
  if (!file) ADD_FAILURE() << "cannot write " << full;
  return full;
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) ADD_FAILURE() << "cannot read " << path;
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

void WriteGeneratedSources(const polc_bench::PolicyShape& shape, const TempDir& dir) {
  for (uint32_t file = 0; file < shape.files; ++file) {
    dir.Write("src/" + polc_bench::PolicyFileName(file), GeneratePolicyFile(shape, file));
  }
}

RunResult RunShell(const std::string& command, const std::string& dir,
                   const std::vector<std::string>& env) {
  RunResult result;
  const int outFd = CaptureFile();
  const int errFd = CaptureFile();
  const std::string path =
      DirectoryOf(POLC_BINARY) + ":" + DirectoryOf(POLCDUMP_BINARY) + ":" + std::getenv("PATH");
  const pid_t child = fork();
  if (child == 0) {
    dup2(outFd, STDOUT_FILENO);
    dup2(errFd, STDERR_FILENO);
    setenv("PATH", path.c_str(), 1);
    for (const std::string& entry : env) putenv(const_cast<char*>(entry.c_str()));
    if (chdir(dir.c_str()) == 0) {
      execl("/bin/bash", "bash", "-o", "pipefail", "-c", command.c_str(), nullptr);
    }
    _exit(127);
  }
  int status = -1;
  while (child > 0 && waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (child > 0 && WIFEXITED(status)) result.status = WEXITSTATUS(status);
  result.out = Slurp(outFd);
  result.err = Slurp(errFd);
  return result;
}

std::string StripTimestamps(const std::string& log) {
  std::string stripped;
  for (size_t at = 0; at < log.size();) {
    if (StartsWithTimestamp(log, at)) at += 21;
    const size_t end = log.find('\n', at);
    const size_t next = end == std::string::npos ? log.size() : end + 1;
    stripped.append(log, at, next - at);
    at = next;
  }
  return stripped;
}

std::string CaptureLog(const std::function<void()>& action) {
  testing::internal::CaptureStdout();
  action();
  return StripTimestamps(testing::internal::GetCapturedStdout());
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

AllocationFault::AllocationFault(long n, size_t uncounted) {
  g_uncountedFrom = uncounted;
  g_callsLeft = n - 1;
}

AllocationFault::~AllocationFault() {
  g_callsLeft = -1;
  g_uncountedFrom = SIZE_MAX;
}

bool AllocationFault::Fired() const { return g_callsLeft < 0; }

long CountFailingAllocations(const std::function<bool(long n)>& attempt) {
  long n = 1;
  while (attempt(n)) ++n;
  return n - 1;
}

}  // namespace polc_test

extern "C" void* __wrap_calloc(size_t count, size_t size) {
  size_t bytes = 0;
  const bool uncounted =
      __builtin_mul_overflow(count, size, &bytes) || bytes >= polc_test::g_uncountedFrom;
  return !uncounted && polc_test::AllocationFails() ? nullptr : __real_calloc(count, size);
}

extern "C" void* __wrap_malloc(size_t size) {
  return polc_test::AllocationFails() ? nullptr : __real_malloc(size);
}
