// The framing of the language server protocol on a byte stream: each
// message is a header block ("Content-Length: N", other headers ignored,
// then an empty line; lines end in "\r\n") and N bytes of JSON.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Reads messages from a file descriptor, without ever waiting for more than
// the message it is reading.
class MessageReader {
 public:
  // Messages larger than this are read and dropped.
  static constexpr size_t MAX_MESSAGE = size_t{1} << 30;

  enum class Result {
    MESSAGE,     // `body` holds the next message
    BAD_HEADER,  // a header block without a usable Content-Length, now skipped
    TOO_LARGE,   // a message over MAX_MESSAGE, now skipped
    END,         // end of input, or an error reading it
  };

  explicit MessageReader(int fd) : fd(fd) {}
  Result Next(std::string& body);
  // Whether input is waiting that can be read without blocking: bytes
  // buffered, or readable on the descriptor.
  bool InputWaiting();

 private:
  // Reads more bytes into the buffer; false at the end of input.
  bool Fill();
  // Drops `count` bytes that may not be read yet; false at the end.
  bool Skip(size_t count);

  int fd;
  std::string buffer;
  size_t start = 0;  // of the unread bytes of `buffer`
};

// Writes `body` to `fd` as one framed message; false when the descriptor
// takes no more.
bool WriteMessage(int fd, std::string_view body);
