#include "tests/support/polc_test.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace polc_test {

namespace fs = std::filesystem;

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/polc_test.XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed for " << pattern;
  }
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
  fs::create_directories(fs::path(full).parent_path());
  std::ofstream file(full, std::ios::binary | std::ios::trunc);
  file << content;
  if (!file) {
    ADD_FAILURE() << "cannot write " << full;
  }
  return full;
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    ADD_FAILURE() << "cannot read " << path;
    return {};
  }
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

bool FileExists(const std::string& path) {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(path, ignored));
}

std::vector<std::string> DirectoryEntries(const std::string& path) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(path)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

std::string Slurp(int fd) {
  std::string text;
  lseek(fd, 0, SEEK_SET);
  char buffer[65536];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

int CaptureFile() {
  char name[] = "/tmp/polc_capture.XXXXXX";
  const int fd = mkstemp(name);
  unlink(name);
  return fd;
}

}  // namespace

RunResult RunPolc(const std::vector<std::string>& args, const RunOptions& options) {
#ifdef POLC_VALGRIND
  // Memcheck turns any error or lost block into exit status 99, which no
  // test expects. A changed root lacks valgrind, and valgrind cannot hand a
  // chosen argv[0] on, so those runs start polc itself.
  if (options.rootDir.empty() && options.argv0.empty()) {
    std::vector<std::string> wrapped = {"-q", "--error-exitcode=99", "--leak-check=full",
                                        "--errors-for-leak-kinds=definite,indirect", POLC_BINARY};
    wrapped.insert(wrapped.end(), args.begin(), args.end());
    return RunProgram(POLC_VALGRIND, wrapped, options);
  }
#endif
  return RunProgram(POLC_BINARY, args, options);
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options) {
  std::vector<std::string> argvText;
  argvText.push_back(options.argv0.empty() ? program : options.argv0);
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argvText) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const int outFd = CaptureFile();
  const int errFd = CaptureFile();
  RunResult result;
  if (outFd < 0 || errFd < 0) {
    ADD_FAILURE() << "cannot create capture files";
    return result;
  }
  const pid_t child = fork();
  if (child == 0) {
    dup2(outFd, STDOUT_FILENO);
    dup2(errFd, STDERR_FILENO);
    if (!options.rootDir.empty() && (chroot(options.rootDir.c_str()) != 0 || chdir("/") != 0)) {
      _exit(127);
    }
    if (!options.workDir.empty() && chdir(options.workDir.c_str()) != 0) _exit(127);
    for (const std::string& entry : options.env) putenv(const_cast<char*>(entry.c_str()));
    if (options.fileSizeLimit > 0) {
      const rlimit limit = {static_cast<rlim_t>(options.fileSizeLimit),
                            static_cast<rlim_t>(options.fileSizeLimit)};
      std::signal(SIGXFSZ, SIG_IGN);  // survives exec: a write past the limit fails with EFBIG
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(127);
    }
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int status = -1;  // not an exit status, should waitpid fail
  if (child < 0) {
    ADD_FAILURE() << "fork failed";
  } else {
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  }
  result.out = Slurp(outFd);
  result.err = Slurp(errFd);
  close(outFd);
  close(errFd);
  return result;
}

namespace {

// "[YYYY-MM-DD HH:MM:SS]": 21 characters, digits where the pattern has '9'.
bool StartsWithTimestamp(const std::string& text, size_t at) {
  static const std::string pattern = "[9999-99-99 99:99:99]";
  if (text.size() - at < pattern.size()) return false;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = text[at + i];
    if (pattern[i] == '9' ? (c < '0' || c > '9') : c != pattern[i]) return false;
  }
  return true;
}

}  // namespace

std::string StripTimestamps(const std::string& log) {
  std::string stripped;
  size_t at = 0;
  while (at < log.size()) {
    if (StartsWithTimestamp(log, at)) at += 21;
    const size_t end = log.find('\n', at);
    const size_t next = end == std::string::npos ? log.size() : end + 1;
    stripped.append(log, at, next - at);
    at = next;
  }
  return stripped;
}

RunResult RunPolicy(const TempDir& dir,
                    const std::vector<std::pair<std::string, std::string>>& files) {
  std::vector<std::string> args = {"-c", "-o", dir.Path("policy.bin")};
  for (const auto& [name, content] : files) args.push_back(dir.Write(name, content));
  return RunPolc(args);
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

}  // namespace polc_test
