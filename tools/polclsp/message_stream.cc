#include "tools/polclsp/message_stream.h"

#include <poll.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace {

constexpr std::string_view HEADER_END = "\r\n\r\n";
constexpr std::string_view CONTENT_LENGTH = "content-length:";

// The value of Content-Length in the header block `headers`, or -1.
long long ContentLength(std::string_view headers) {
  for (size_t line = 0; line < headers.size();) {
    size_t end = headers.find("\r\n", line);
    if (end == std::string_view::npos) end = headers.size();
    const std::string_view field = headers.substr(line, end - line);
    if (field.size() > CONTENT_LENGTH.size() &&
        strncasecmp(field.data(), CONTENT_LENGTH.data(), CONTENT_LENGTH.size()) == 0) {
      std::string value(field.substr(CONTENT_LENGTH.size()));
      char* rest = nullptr;
      errno = 0;
      const long long length = std::strtoll(value.c_str(), &rest, 10);
      const bool digitsOnly = value.find_first_not_of(" \t0123456789") == std::string::npos;
      return errno == 0 && digitsOnly && rest != value.c_str() && length >= 0 ? length : -1;
    }
    line = end + 2;
  }
  return -1;
}

}  // namespace

bool MessageReader::Fill() {
  if (start > 0 && start == buffer.size()) {
    buffer.clear();
    start = 0;
  }
  char chunk[65536];
  ssize_t got;
  do {
    got = read(fd, chunk, sizeof chunk);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return false;
  buffer.append(chunk, static_cast<size_t>(got));
  return true;
}

bool MessageReader::Skip(size_t count) {
  while (buffer.size() - start < count) {
    count -= buffer.size() - start;
    start = buffer.size();
    if (!Fill()) return false;
  }
  start += count;
  return true;
}

MessageReader::Result MessageReader::Next(std::string& body) {
  size_t headerEnd;
  while ((headerEnd = buffer.find(HEADER_END, start)) == std::string::npos) {
    if (!Fill()) return Result::END;
  }
  const long long length = ContentLength(std::string_view(buffer).substr(start, headerEnd - start));
  start = headerEnd + HEADER_END.size();
  if (length < 0) return Result::BAD_HEADER;
  const auto size = static_cast<unsigned long long>(length);
  if (size > MAX_MESSAGE) return Skip(static_cast<size_t>(size)) ? Result::TOO_LARGE : Result::END;
  while (buffer.size() - start < size) {
    if (!Fill()) return Result::END;
  }
  body.assign(buffer, start, static_cast<size_t>(size));
  start += static_cast<size_t>(size);
  // Keeps the buffer from growing with every message.
  if (start > (size_t{1} << 20) && start * 2 > buffer.size()) {
    buffer.erase(0, start);
    start = 0;
  }
  return Result::MESSAGE;
}

bool MessageReader::InputWaiting() {
  if (buffer.find(HEADER_END, start) != std::string::npos) return true;
  pollfd input{fd, POLLIN, 0};
  return poll(&input, 1, 0) > 0 && (input.revents & (POLLIN | POLLHUP)) != 0;
}

bool WriteMessage(int fd, std::string_view body) {
  std::string message = "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  message += body;
  for (size_t written = 0; written < message.size();) {
    const ssize_t put = write(fd, message.data() + written, message.size() - written);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    written += static_cast<size_t>(put);
  }
  return true;
}
