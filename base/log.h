// The one logger of the command line, the reader and the compiler.
//
// Every line goes to standard output as "[YYYY-MM-DD HH:MM:SS]" in local
// time, then "[ERROR]" for LOG_ERR or "[INFO]" for LOG_INFO (nothing for any
// other level), then the caller's message, and is flushed at once so that
// lines appear in call order even when stdout is a pipe or a file.
//
// Text that came from a user (paths, JSON keys, names, classes, operations,
// address and port texts) must pass through MaskControlChars before it is
// logged, so that a hostile input cannot forge log lines or send terminal
// escape sequences.
#pragma once

#include <syslog.h>  // LOG_ERR (3), LOG_INFO (6)

#include <string>
#include <string_view>
#include <vector>

// Writes one log line. `format` is a printf format that ends in "\n".
void Log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A log line held back: its level and its message, without the time stamp.
struct HeldLogLine {
  int level;
  std::string message;
};

// While a LogCapture lives, Log on its thread appends to `lines` instead of
// writing. Work done ahead of its turn, on another thread, holds its lines
// so that they can be written in their place (ReplayLog), or dropped when
// an earlier failure means they would never have been written.
class LogCapture {
 public:
  explicit LogCapture(std::vector<HeldLogLine>& lines);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

 private:
  std::vector<HeldLogLine>* outer;  // the capture this one interrupts, or null
};

// Writes the held `lines` in order, each stamped with the time now.
void ReplayLog(const std::vector<HeldLogLine>& lines);

// True when no byte is a control character (0x00-0x1F, 0x7F) and none is one
// of the eleven shell characters | ; & $ > < ` \ ! ' ". The empty string is
// safe; bytes 0x80-0xFF are allowed.
bool IsSafeString(std::string_view text);

// A copy of `text` with every control character replaced by '*'; other bytes,
// shell characters included, are kept.
std::string MaskControlChars(std::string_view text);
