// The logger: each line's time stamp in local time, its level's tag, lines
// held and replayed, and the checks and masks of user-supplied text.
#include "base/log.h"

#include <gtest/gtest.h>
#include <time.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t STAMP_LENGTH = 21;  // "[YYYY-MM-DD HH:MM:SS]"

// The stamp of `seconds` in a zone `offsetHours` east of UTC.
std::string StampAt(time_t seconds, int offsetHours) {
  const time_t shifted = seconds + offsetHours * 3600;
  tm utc{};
  gmtime_r(&shifted, &utc);
  char text[64];
  strftime(text, sizeof text, "[%F %T]", &utc);
  return text;
}

// Logs `message` at `level` in time zone `zone` and checks the stamp;
// returns what follows it.
std::string LoggedAfterStamp(const char* zone, int offsetHours, int level, const char* message) {
  setenv("TZ", zone, 1);
  tzset();
  testing::internal::CaptureStdout();
  // The logger's clock: time() may read a coarser one that lags it.
  const auto now = [] {
    timespec clock{};
    clock_gettime(CLOCK_REALTIME, &clock);
    return clock.tv_sec;
  };
  const time_t before = now();
  Log(level, "%s", message);
  const time_t after = now();
  const std::string line = testing::internal::GetCapturedStdout();
  unsetenv("TZ");
  tzset();
  const std::string stamp = line.substr(0, STAMP_LENGTH);
  EXPECT_TRUE(stamp == StampAt(before, offsetHours) || stamp == StampAt(after, offsetHours))
      << stamp;
  return line.size() < STAMP_LENGTH ? "" : line.substr(STAMP_LENGTH);
}

// Two zones 25 hours apart give different dates, so neither passes by being
// UTC; levels other than the two have no tag; nothing adds a newline.
TEST(Log, LineIsLocalStampThenLevelThenMessage) {
  const struct {
    int level;
    const char* zone;
    int offsetHours;
    std::string expected;
  } rows[] = {{LOG_ERR, "UTC0", 0, "[ERROR][A][n=1]\n"},
              {LOG_INFO, "<+14>-14", 14, "[INFO][A][n=1]\n"},
              {LOG_INFO, "<-11>11", -11, "[INFO][A][n=1]\n"},
              {0, "UTC0", 0, "[A][n=1]\n"},
              {4, "UTC0", 0, "[A][n=1]\n"},
              {-1, "UTC0", 0, "[A][n=1]\n"}};
  for (const auto& row : rows) {
    EXPECT_EQ(LoggedAfterStamp(row.zone, row.offsetHours, row.level, "[A][n=1]\n"), row.expected);
  }
  EXPECT_EQ(LoggedAfterStamp("UTC0", 0, LOG_INFO, ""), "[INFO]");
}


// Every byte on its own: only the controls and the eleven shell characters
// are unsafe, and only the controls are masked.
TEST(Log, SafeStringsAndMaskedControlCharacters) {
  const std::string shell = "|;&$><`\\!'\"";
  for (int byte = 0; byte < 256; ++byte) {
    const char c = static_cast<char>(byte);
    const bool control = byte < 0x20 || byte == 0x7F;
    EXPECT_EQ(IsSafeString(std::string(1, c)), !control && shell.find(c) == std::string::npos)
        << byte;
    EXPECT_EQ(MaskControlChars(std::string("a") + c), std::string("a") + (control ? '*' : c))
        << byte;
  }
  EXPECT_TRUE(IsSafeString(""));
  EXPECT_TRUE(IsSafeString("/etc/a b/caf\xc3\xa9#%*?()[]{}~^=+,:@"));
  EXPECT_FALSE(IsSafeString("/etc/policy/ba;se.json"));
  EXPECT_EQ(MaskControlChars("\x1b[2J\r\n"), "*[2J**");
}

}  // namespace
