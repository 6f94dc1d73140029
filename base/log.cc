#include "base/log.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace {

constexpr std::string_view DANGEROUS_CHARS = "|;&$><`\\!'\"";

constexpr bool IsControlChar(unsigned char byte) { return byte < 0x20 || byte == 0x7F; }

// Whether each byte value is unsafe: a control character or one of
// DANGEROUS_CHARS. Every file path is checked, so a byte costs one lookup
// rather than a search of the list.
constexpr std::array<bool, 256> UNSAFE_BYTES = [] {
  std::array<bool, 256> unsafe{};
  for (unsigned byte = 0; byte < unsafe.size(); ++byte) {
    unsafe[byte] = IsControlChar(static_cast<unsigned char>(byte));
  }
  for (const char c : DANGEROUS_CHARS) unsafe[static_cast<unsigned char>(c)] = true;
  return unsafe;
}();

}  // namespace

void Log(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const time_t seconds = now.tv_sec;
  char stamp[64];
  const tm* local = localtime(&seconds);
  if (local == nullptr || strftime(stamp, sizeof stamp, "[%F %T]", local) == 0) {
    stamp[0] = '\0';
  }
  std::fputs(stamp, stdout);
  if (level == LOG_ERR) {
    std::fputs("[ERROR]", stdout);
  } else if (level == LOG_INFO) {
    std::fputs("[INFO]", stdout);
  }
  std::vfprintf(stdout, format, args);
  va_end(args);
  std::fflush(stdout);
}

bool IsSafeString(std::string_view text) {
  for (const char c : text) {
    if (UNSAFE_BYTES[static_cast<unsigned char>(c)]) {
      return false;
    }
  }
  return true;
}

std::string MaskControlChars(std::string_view text) {
  std::string masked(text);
  for (char& c : masked) {
    if (IsControlChar(static_cast<unsigned char>(c))) {
      c = '*';
    }
  }
  return masked;
}
