#include "reader/log.h"

#include <gtest/gtest.h>
#include <time.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr size_t kStampLength = 21;  // "[YYYY-MM-DD HH:MM:SS]"

time_t Now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec;
}

std::string StampAt(time_t seconds, int offsetHours) {
  const time_t shifted = seconds + offsetHours * 3600;
  tm utc{};
  gmtime_r(&shifted, &utc);
  char text[64];
  strftime(text, sizeof text, "[%F %T]", &utc);
  return text;
}

// Sets TZ for the life of the object and restores the previous value.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> saved_;
};

TEST(Log, LineIsStampThenTagThenMessage) {
  const struct {
    int level;
    const char* expected;
  } rows[] = {
      {LOG_ERR, "[ERROR][CommandParser][No compile mode specified]\n"},
      {LOG_INFO, "[INFO][CommandParser][No compile mode specified]\n"},
      {0, "[CommandParser][No compile mode specified]\n"},
      {4, "[CommandParser][No compile mode specified]\n"},
      {7, "[CommandParser][No compile mode specified]\n"},
      {-1, "[CommandParser][No compile mode specified]\n"},
  };
  ScopedTimeZone utc("UTC0");
  for (const auto& row : rows) {
    SCOPED_TRACE(row.level);
    CaptureStdout();
    const time_t before = Now();
    Log(row.level, "[CommandParser][No compile mode specified]\n");
    const time_t after = Now();
    const std::string line = GetCapturedStdout();
    ASSERT_GE(line.size(), kStampLength);
    const std::string stamp = line.substr(0, kStampLength);
    EXPECT_TRUE(stamp == StampAt(before, 0) || stamp == StampAt(after, 0)) << stamp;
    EXPECT_EQ(line.substr(kStampLength), row.expected);
  }
}

TEST(Log, FormatsArgumentsWithoutAddingANewline) {
  CaptureStdout();
  Log(LOG_INFO, "[VaroCompiler][Step][count=%d, name=%s]", 42, "a b");
  Log(LOG_INFO, "%s", "");
  const std::string text = GetCapturedStdout();
  const std::string first = "[INFO][VaroCompiler][Step][count=42, name=a b]";
  ASSERT_EQ(text.size(), kStampLength + first.size() + kStampLength + 6);
  EXPECT_EQ(text.substr(kStampLength, first.size()), first);
  EXPECT_EQ(text.substr(text.size() - 6), "[INFO]");
}

// The stamp is local time of the zone in TZ; two zones 25 hours apart give
// different dates, so neither can pass by being UTC.
TEST(Log, StampFollowsTimeZone) {
  const struct {
    const char* zone;
    int offsetHours;
  } rows[] = {{"<+14>-14", 14}, {"<-11>11", -11}, {"UTC0", 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.zone);
    ScopedTimeZone zone(row.zone);
    CaptureStdout();
    const time_t before = Now();
    Log(LOG_INFO, "x\n");
    const time_t after = Now();
    const std::string stamp = GetCapturedStdout().substr(0, kStampLength);
    EXPECT_TRUE(stamp == StampAt(before, row.offsetHours) ||
                stamp == StampAt(after, row.offsetHours))
        << stamp;
  }
}

TEST(IsSafeString, RefusesControlAndShellCharacters) {
  const struct {
    std::string text;
    bool safe;
  } rows[] = {
      {"", true},
      {"/etc/policy/base.json", true},
      {"a b.json", true},
      {"caf\xc3\xa9\x80\xff", true},
      {"#%*?()[]{}~^=+,:@", true},
      {"a|b", false},
      {"a;b", false},
      {"a&b", false},
      {"a$b", false},
      {"a>b", false},
      {"a<b", false},
      {"a`b", false},
      {"a\\b", false},
      {"a!b", false},
      {"a'b", false},
      {"a\"b", false},
      {std::string("a\0b", 3), false},
      {"a\x01", false},
      {"a\tb", false},
      {"a\nb", false},
      {"\x1f", false},
      {"\x7f", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(IsSafeString(row.text), row.safe);
  }
}

TEST(MaskControlChars, ReplacesOnlyControlCharacters) {
  EXPECT_EQ(MaskControlChars("a\tb\x7f;$\x80"), "a*b*;$\x80");
  EXPECT_EQ(MaskControlChars(std::string("\0\x1f\x20", 3)), "** ");
  EXPECT_EQ(MaskControlChars("\x1b[2J\r\n"), "*[2J**");
  EXPECT_EQ(MaskControlChars(""), "");
}

}  // namespace
