// Loading source files: reading one whole and parsing it as JSON, and doing
// so for a list of files on a second thread, ahead of their reader.
//
// Reading and parsing a file touches nothing but the file and its own
// document, and logs nothing, so it can run while the reader works through
// the previous file's sections; the reader still takes the files in list
// order and logs every outcome itself, so what polc prints is the same as
// when each file is loaded in its turn.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "json/json.h"

struct JsonTreeDeleter {
  void operator()(JsonValue* root) const { JsonDelete(root); }
};
using JsonTree = std::unique_ptr<JsonValue, JsonTreeDeleter>;

// A source file as loaded, or why it could not be.
struct LoadedSource {
  enum class Status {
    kLoaded,       // `tree` holds the document
    kReadFailed,   // not a readable regular file
    kInvalidJson,  // not JSON, or holding a NUL byte or an escaped NUL
  };
  Status status = Status::kReadFailed;
  JsonTree tree;
};

// The whole file as a NUL-terminated buffer of `size` + 1 bytes; `text` and
// `size` are written only on success. Fails for anything but a regular file
// (a directory, a FIFO, a device), without waiting for a FIFO's writer.
int ReadSourceFile(const std::string& path, std::unique_ptr<char[]>& text, size_t& size);

// Parses `size` bytes of `text` (followed by a NUL), releasing the text.
LoadedSource ParseSource(std::unique_ptr<char[]> text, size_t size);

// ReadSourceFile, then ParseSource.
LoadedSource LoadSource(const std::string& path);

// Loads the files of `paths` in order on a thread of its own, at most two
// ahead of the caller. Should no thread be available, each file is loaded
// when it is asked for.
class SourceLookahead {
 public:
  explicit SourceLookahead(std::span<const std::string> paths);
  // Stops the thread; files loaded and not taken are released.
  ~SourceLookahead();
  SourceLookahead(const SourceLookahead&) = delete;
  SourceLookahead& operator=(const SourceLookahead&) = delete;

  // The next file of the list; call at most once per path.
  LoadedSource Next();

 private:
  static constexpr size_t kMaxAhead = 2;

  void LoadAll();

  std::span<const std::string> paths_;
  size_t taken_ = 0;  // files handed out by Next
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<LoadedSource> loaded_;  // in list order, not yet taken
  bool stopping_ = false;
  std::thread loader_;  // last, so that it starts with everything above ready
};
