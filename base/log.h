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

// Writes one log line. `format` is a printf format that ends in "\n".
void Log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// True when no byte is a control character (0x00-0x1F, 0x7F) and none is one
// of the eleven shell characters | ; & $ > < ` \ ! ' ". The empty string is
// safe; bytes 0x80-0xFF are allowed.
bool IsSafeString(std::string_view text);

// A copy of `text` with every control character replaced by '*'; other bytes,
// shell characters included, are kept.
std::string MaskControlChars(std::string_view text);
