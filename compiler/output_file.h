// An output file that is either written completely or not at all.
//
// The enforcement side loads whatever stands at the policy binary's path, so a
// half-written file there is worse than none. When the path names a regular
// file, or nothing yet, the bytes go to a new temporary file in the same
// directory, which replaces the path only after every byte was written, synced
// and closed without error. A symbolic link at the path is followed: the file
// it points to is replaced, the link stays. On any failure the old file stays
// as it was and the temporary file is removed.
//
// A path that exists and is not a regular file (/dev/null, a pipe, a device)
// cannot be replaced by a rename; it is opened and written in place, with every
// write and the close checked.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

// True when writing to `a` and to `b` would reach the same file: the same
// path once symbolic links are followed, or two names of one existing file.
bool NameTheSameFile(const std::string& a, const std::string& b);

class OutputFile {
 public:
  OutputFile() = default;
  // Discards a file that was opened but not committed.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Prepares the file that will replace `path`. False when it cannot be
  // created (directory missing or not writable, path is a directory, symlink
  // loop) or when `path` is a file we may not write; nothing was created
  // then.
  bool Open(const std::string& path);
  // Open, but only for a path that is replaced through a temporary file:
  // false, with nothing opened or created, for one written in place.
  bool OpenReplacing(const std::string& path);

  // Appends bytes. Small writes are buffered; a failure is remembered and
  // reported by Commit, so callers may check only there.
  void Write(const void* data, size_t size);
  void Write(const std::string& text) { Write(text.data(), text.size()); }

  // Writes what is buffered, closes the file and puts it in place. False when
  // any write, the sync, the close or the rename failed; the path then still
  // holds its former contents (unless written in place) and no temporary file
  // remains.
  bool Commit();

 private:
  bool OpenAs(const std::string& path, bool inPlaceAllowed);
  void Flush();
  void WriteThrough(const char* data, size_t size);
  void Discard();

  int fd = -1;
  bool inPlace = false;    // path is a device, pipe or other non-regular file
  bool failed = false;     // a write failed; Commit fails
  std::string tempPath;    // empty unless a temporary file exists
  std::string targetPath;  // what the temporary file replaces
  std::string buffer;      // pending bytes of small writes
};
