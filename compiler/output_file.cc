#include "compiler/output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

constexpr size_t BUFFER_SIZE = 64 * 1024;
constexpr int MAX_LINK_HOPS = 40;  // the kernel's own limit before ELOOP

// Everything up to and including the last '/', or "" for a bare file name.
std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The file that opening `path` for writing would reach: symbolic links are
// followed hop by hop, so a dangling link yields the file it would create.
// False for a loop of links or an unreadable link.
bool FollowLinks(std::string path, std::string* target) {
  for (int hop = 0; hop < MAX_LINK_HOPS; ++hop) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
      *target = path;
      return true;
    }
    char link[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), link, sizeof link);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof link) {
      return false;
    }
    const std::string destination(link, static_cast<size_t>(length));
    path = destination.front() == '/' ? destination : DirectoryOf(path) + destination;
  }
  return false;
}

// The permissions a file created with fopen(path, "w") would get.
mode_t NewFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

bool NameTheSameFile(const std::string& a, const std::string& b) {
  std::string targetA;
  std::string targetB;
  if (FollowLinks(a, &targetA) && FollowLinks(b, &targetB) && targetA == targetB) {
    return true;
  }
  struct stat statusA {};
  struct stat statusB {};
  return stat(a.c_str(), &statusA) == 0 && stat(b.c_str(), &statusB) == 0 &&
         statusA.st_dev == statusB.st_dev && statusA.st_ino == statusB.st_ino;
}

OutputFile::~OutputFile() { Discard(); }

bool OutputFile::Open(const std::string& path) { return OpenAs(path, true); }

bool OutputFile::OpenReplacing(const std::string& path) { return OpenAs(path, false); }

bool OutputFile::OpenAs(const std::string& path, bool inPlaceAllowed) {
  std::string target;
  if (!FollowLinks(path, &target)) {
    return false;
  }
  struct stat status {};
  const bool exists = stat(target.c_str(), &status) == 0;
  if (!exists && errno != ENOENT) {
    return false;
  }
  if (exists && !S_ISREG(status.st_mode)) {
    if (!inPlaceAllowed) {
      return false;
    }
    inPlace = true;
    fd = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    return fd >= 0;
  }
  // A file we may not write stays as it is, as it would when opened for
  // writing; the rename alone would replace it.
  if (exists && faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
    return false;
  }
  std::string temp = DirectoryOf(target) + ".polc-XXXXXX";
  fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  tempPath = temp;
  targetPath = target;
  // Keep the owner of the replaced file where we may (as root); elsewhere
  // the new file is ours, as a file we created would be.
  if (exists && fchown(fd, status.st_uid, status.st_gid) != 0) {
    // Not permitted: keep going with our own.
  }
  // mkstemp creates the file private; keep the mode the replaced file had.
  if (fchmod(fd, exists ? (status.st_mode & 07777) : NewFileMode()) != 0) {
    Discard();
    return false;
  }
  return true;
}

void OutputFile::Write(const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  if (buffer.size() + size > BUFFER_SIZE) {
    Flush();
  }
  if (size >= BUFFER_SIZE) {
    WriteThrough(bytes, size);
  } else {
    buffer.append(bytes, size);
  }
}

bool OutputFile::Commit() {
  Flush();
  bool ok = fd >= 0 && !failed;
  if (ok && !inPlace && fsync(fd) != 0) {
    ok = false;
  }
  if (fd >= 0 && close(fd) != 0) {
    ok = false;
  }
  fd = -1;
  if (ok && !inPlace && rename(tempPath.c_str(), targetPath.c_str()) != 0) {
    ok = false;
  }
  if (ok) {
    tempPath.clear();
  }
  Discard();
  return ok;
}

void OutputFile::Flush() {
  WriteThrough(buffer.data(), buffer.size());
  buffer.clear();
}

void OutputFile::WriteThrough(const char* data, size_t size) {
  while (size > 0 && !failed && fd >= 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      failed = true;
      break;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
}

void OutputFile::Discard() {
  if (fd >= 0) {
    close(fd);
    fd = -1;
  }
  if (!tempPath.empty()) {
    unlink(tempPath.c_str());
    tempPath.clear();
  }
}
