// Loading source files: reading one whole and parsing it as JSON, and doing
// so for a list of files on a second thread, ahead of their reader.
//
// Reading and parsing a file touches nothing but the file and its own
// document, and logs nothing, so it can run while the reader works through
// the previous file's sections. The reader still takes the files in list
// order and logs every outcome itself, so what polc prints is the same as
// when each file is loaded in its turn.
//
// Sharing rule: a document belongs to one thread at a time. The thread that
// loads it alone touches it until it is stored as ready under the mutex;
// from then on only the caller of Next, which takes it under the same
// mutex, does.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/diagnostic.h"
#include "base/huge_pages.h"
#include "base/stage_timer.h"
#include "json/json.h"
#include "json/json_places.h"

inline constexpr size_t MAX_SOURCE_FILE_SIZE = 0xFFFFFFFE;  // bytes of one source file

struct JsonTreeDeleter {
  void operator()(JsonValue* root) const { JsonDelete(root); }
};
using JsonTree = std::unique_ptr<JsonValue, JsonTreeDeleter>;

// A source file's text, NUL-terminated.
using SourceText = BlockPtr<char>;

// A source file as loaded, or why it could not be.
struct LoadedSource {
  enum class Status {
    LOADED,        // `tree` holds the document
    READ_FAILED,   // not a readable regular file
    INVALID_JSON,  // not JSON, or holding a NUL byte or an escaped NUL
  };
  Status status = Status::READ_FAILED;
  SourceText text;  // kept while a deferred tree reads it
  JsonTree tree;
  JsonPlaces places;                 // of the tree's values, when asked for
  std::string error;                 // INVALID_JSON: what is wrong, for people
  uint32_t errorOffset = NO_OFFSET;  // and where in the text
};

// Whether loading also finds the place of every value (JsonPlaces): for the
// readers that show places.
enum class Places : bool { SKIP, FIND };

// The whole file as a NUL-terminated buffer of `size` + 1 bytes; `text` and
// `size` are written only on success. Fails for anything but a regular file
// (a directory, a FIFO, a device), without waiting for a FIFO's writer.
int ReadSourceFile(const std::string& path, SourceText& text, size_t& size);

// Parses `size` bytes of `text` (followed by a NUL). A text of `deferBytes`
// or more is parsed deferred (JSON_PARSE_DEFER, with `deferBytes`), unless
// places are to be found, and kept with its tree; others are released.
LoadedSource ParseSource(SourceText text, size_t size, Places places = Places::SKIP,
                         uint32_t deferBytes = JSON_DEFER_BYTES);
// The same for a text the caller keeps while it uses the tree: parsed whole.
LoadedSource ParseSource(const char* text, size_t size, Places places = Places::SKIP);

// ReadSourceFile, then ParseSource, each a stage of `timer` when given.
LoadedSource LoadSource(const std::string& path, Places places = Places::SKIP,
                        StageTimer* timer = nullptr);

// Loads the files of `paths` on a thread of its own, at most MAX_AHEAD files
// ahead of the caller, and hands them out in list order. A caller that
// would wait for a file the thread is still loading loads the next one
// itself meanwhile, so two cores share the loading when reading the
// sections is the quicker part. Should no thread be available, or with a
// `timer`, which times each load, each file is loaded when it is asked for.
class SourceLookahead {
 public:
  explicit SourceLookahead(std::span<const std::string> paths, Places places = Places::SKIP,
                           StageTimer* timer = nullptr);
  // Stops the thread; files loaded and not taken are released.
  ~SourceLookahead();
  SourceLookahead(const SourceLookahead&) = delete;
  SourceLookahead& operator=(const SourceLookahead&) = delete;

  // The next file of the list; call at most once per path.
  LoadedSource Next();

 private:
  static constexpr size_t MAX_AHEAD = 3;

  void LoadAll();
  // Starts on the next file when one is within reach: its position, or
  // none. `ahead` is how far past the next file to be taken it may be.
  std::optional<size_t> Claim(size_t ahead);
  // Loads the claimed file at `position` with the lock released.
  void Load(std::unique_lock<std::mutex>& lock, size_t position);

  std::span<const std::string> paths;
  Places places;
  StageTimer* timer;
  size_t taken = 0;    // files handed out by Next
  size_t claimed = 0;  // files loading or loaded
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<LoadedSource> loaded;  // by list position, once ready and until taken
  std::vector<bool> ready;           // by list position
  bool stopping = false;
  std::thread loader;  // last, so that it starts with everything above ready
};
