#include "reader/log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace {

constexpr std::string_view kDangerousChars = "|;&$><`\\!'\"";

bool IsControlChar(unsigned char byte) { return byte < 0x20 || byte == 0x7F; }

}  // namespace

void Log(int level, const char* format, ...) {
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
  va_list args;
  va_start(args, format);
  std::vfprintf(stdout, format, args);
  va_end(args);
  std::fflush(stdout);
}

bool IsSafeString(std::string_view text) {
  for (const char c : text) {
    if (IsControlChar(static_cast<unsigned char>(c)) ||
        kDangerousChars.find(c) != std::string_view::npos) {
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
