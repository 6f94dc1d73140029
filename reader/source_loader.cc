#include "reader/source_loader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <utility>

namespace {

// Opens `path` for reading if it is a regular file. The open does not wait:
// a FIFO without a writer would otherwise block it for good. Anything but a
// regular file is refused, as its size cannot be learnt by seeking.
FILE* OpenRegularFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat status {};
  FILE* file = nullptr;
  if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) file = fdopen(fd, "r");
  if (file == nullptr) close(fd);
  return file;
}

// Reads the rest of the open `file` from its start into a NUL-terminated
// buffer.
bool ReadOpenFile(FILE* file, SourceText& buffer, size_t& length) {
  if (std::fseek(file, 0, SEEK_END) != 0) return false;
  const long end = std::ftell(file);
  if (end < 0 || static_cast<unsigned long>(end) > MAX_SOURCE_FILE_SIZE) return false;
  if (std::fseek(file, 0, SEEK_SET) != 0) return false;
  length = static_cast<size_t>(end);
  // Kept for the next file's text once released.
  buffer = NewBlock<char>(length + 1, true);
  if (buffer == nullptr || std::fread(buffer.get(), 1, length, file) != length) return false;
  buffer.get()[length] = '\0';
  return true;
}

}  // namespace

int ReadSourceFile(const std::string& path, SourceText& text, size_t& size) {
  FILE* file = OpenRegularFile(path);
  if (file == nullptr) return -1;
  SourceText buffer;
  size_t length = 0;
  const bool read = ReadOpenFile(file, buffer, length);
  if (std::fclose(file) != 0 || !read) return -1;
  text = std::move(buffer);
  size = length;
  return 0;
}

namespace {

// What is wrong with `text`, whose parse failed, for people.
std::string DescribeParseFailure(const char* text, size_t size, JsonError error) {
  if (error.cause == JsonErrorCause::NONE) {
    // The parser refused the text at once.
    return size > JSON_MAX_TEXT_LENGTH
               ? Format("file larger than %u bytes, the most a policy source may hold",
                        JSON_MAX_TEXT_LENGTH)
               : std::string("out of memory");
  }
  const char found = text[error.offset];
  if (found == '/' && (text[error.offset + 1] == '/' || text[error.offset + 1] == '*')) {
    return "comments are not part of JSON";
  }
  if (error.cause == JsonErrorCause::UNEXPECTED_CHARACTER &&
      static_cast<unsigned char>(found) > ' ' && found != 0x7F) {
    return Format("unexpected character '%c'", found);
  }
  if (std::all_of(text, text + size, [](char c) { return static_cast<signed char>(c) <= ' '; })) {
    return "the file is empty: a policy source is a JSON object";
  }
  return JsonErrorMessage(error.cause);
}

LoadedSource InvalidJson(std::string error, uint32_t offset) {
  LoadedSource source;
  source.status = LoadedSource::Status::INVALID_JSON;
  source.error = std::move(error);
  source.errorOffset = offset;
  return source;
}

}  // namespace

namespace {

// Parses `size` bytes of `text`, deferred or whole.
LoadedSource Parse(const char* text, size_t size, Places places, bool defer, uint32_t deferBytes) {
  // The parser stops at the first NUL byte, and every reader of a decoded
  // text at the first NUL of an escaped \u0000; whatever followed would be
  // lost without a word, so either counts as invalid JSON.
  if (const void* nul = std::memchr(text, '\0', size)) {
    return InvalidJson("NUL byte in the text",
                       static_cast<uint32_t>(static_cast<const char*>(nul) - text));
  }
  JsonValue* root = nullptr;
  if (JsonParseWithOptions(text, size, &root,
                           JSON_PARSE_REFUSE_NUL_ESCAPE | (defer ? JSON_PARSE_DEFER : 0),
                           deferBytes) != JSON_OK) {
    const JsonError error = JsonGetError();
    return InvalidJson(DescribeParseFailure(text, size, error),
                       error.cause == JsonErrorCause::NONE ? 0 : error.offset);
  }
  LoadedSource source;
  source.status = LoadedSource::Status::LOADED;
  source.tree.reset(root);
  if (places == Places::FIND) source.places = JsonPlaces(text, root);
  return source;
}

}  // namespace

LoadedSource ParseSource(SourceText text, size_t size, Places places, uint32_t deferBytes) {
  // A large text takes an arena of twice its size and more: its tree is
  // built as it is read, and given back behind the reader.
  const bool defer = places == Places::SKIP && size >= deferBytes;
  LoadedSource source = Parse(text.get(), size, places, defer, deferBytes);
  if (defer && source.status == LoadedSource::Status::LOADED) source.text = std::move(text);
  return source;
}

LoadedSource ParseSource(const char* text, size_t size, Places places) {
  return Parse(text, size, places, false, 0);
}

LoadedSource LoadSource(const std::string& path, Places places, StageTimer* timer) {
  SourceText text;
  size_t size = 0;
  {
    const TimedStage reading(timer, Stage::READING);
    if (ReadSourceFile(path, text, size) != 0) return {};
  }
  const TimedStage parsing(timer, Stage::JSON_PARSE);
  return ParseSource(std::move(text), size, places);
}

SourceLookahead::SourceLookahead(std::span<const std::string> paths, Places places,
                                 StageTimer* timer)
    : paths(paths),
      places(places),
      timer(timer),
      loaded(paths.size()),
      ready(paths.size(), false) {
  if (timer != nullptr) return;
  try {
    loader = std::thread(&SourceLookahead::LoadAll, this);
  } catch (const std::system_error&) {
    // No thread: Next loads each file itself.
  }
}

SourceLookahead::~SourceLookahead() {
  {
    const std::lock_guard<std::mutex> lock(mutex);
    stopping = true;
  }
  changed.notify_all();
  if (loader.joinable()) loader.join();
}

std::optional<size_t> SourceLookahead::Claim(size_t ahead) {
  if (claimed == paths.size() || claimed > taken + ahead) return std::nullopt;
  return claimed++;
}

void SourceLookahead::Load(std::unique_lock<std::mutex>& lock, size_t position) {
  lock.unlock();
  LoadedSource source = LoadSource(paths[position], places, timer);
  lock.lock();
  loaded[position] = std::move(source);
  ready[position] = true;
  changed.notify_all();
}

LoadedSource SourceLookahead::Next() {
  std::unique_lock<std::mutex> lock(mutex);
  while (!ready[taken]) {
    // Rather than wait, load a file within reach; without the thread, each
    // file in its turn.
    if (const std::optional<size_t> position = Claim(MAX_AHEAD)) {
      Load(lock, *position);
    } else {
      changed.wait(lock);
    }
  }
  LoadedSource next = std::move(loaded[taken]);
  ++taken;
  changed.notify_all();
  return next;
}

void SourceLookahead::LoadAll() {
  std::unique_lock<std::mutex> lock(mutex);
  while (!stopping) {
    if (const std::optional<size_t> position = Claim(MAX_AHEAD - 1)) {
      Load(lock, *position);
    } else if (claimed == paths.size()) {
      return;
    } else {
      changed.wait(lock);
    }
  }
}
