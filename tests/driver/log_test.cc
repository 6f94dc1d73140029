#include "reader/log.h"

#include <gtest/gtest.h>
#include <time.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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

// Logs `message` and a newline at `level` and checks the stamp, local time
// of the zone in TZ; returns what follows the stamp.
std::string LoggedAfterStamp(int level, const char* message, int offsetHours) {
  CaptureStdout();
  const time_t before = Now();
  Log(level, "%s\n", message);
  const time_t after = Now();
  const std::string line = GetCapturedStdout();
  const std::string stamp = line.substr(0, kStampLength);
  EXPECT_TRUE(stamp == StampAt(before, offsetHours) || stamp == StampAt(after, offsetHours))
      << stamp;
  return line.size() < kStampLength ? "" : line.substr(kStampLength);
}

TEST(Log, LineIsStampThenTagThenMessage) {
  const std::pair<int, const char*> rows[] = {
      {LOG_ERR, "[ERROR]"}, {LOG_INFO, "[INFO]"}, {0, ""}, {4, ""}, {7, ""}, {-1, ""}};
  ScopedTimeZone utc("UTC0");
  for (const auto& [level, tag] : rows) {
    EXPECT_EQ(LoggedAfterStamp(level, "[CommandParser][No compile mode specified]", 0),
              std::string(tag) + "[CommandParser][No compile mode specified]\n")
        << level;
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

// Two zones 25 hours apart give different dates, so neither can pass by
// being UTC.
TEST(Log, StampFollowsTimeZone) {
  const std::pair<const char*, int> rows[] = {{"<+14>-14", 14}, {"<-11>11", -11}};
  for (const auto& [zone, offsetHours] : rows) {
    ScopedTimeZone scoped(zone);
    EXPECT_EQ(LoggedAfterStamp(LOG_INFO, "x", offsetHours), "[INFO]x\n") << zone;
  }
}

// Captured lines are held, not written; an inner capture takes over until
// it ends; another thread writes as usual; replaying writes each held line
// in order with its level's tag and a time stamp of its own.
TEST(Log, CaptureHoldsLinesUntilReplayed) {
  std::vector<HeldLogLine> outer;
  std::vector<HeldLogLine> inner;
  CaptureStdout();
  {
    const LogCapture capture(outer);
    Log(LOG_ERR, "[A][n=%d]\n", 1);
    {
      const LogCapture nested(inner);
      Log(LOG_INFO, "[B]\n");
    }
    Log(LOG_INFO, "[C][%s]\n", std::string(300, 'x').c_str());
    std::thread([] { Log(LOG_INFO, "[other thread]\n"); }).join();
  }
  std::string text = GetCapturedStdout();
  EXPECT_EQ(text.substr(kStampLength), "[INFO][other thread]\n");
  ASSERT_EQ(outer.size(), 2u);
  EXPECT_EQ(outer[0].level, LOG_ERR);
  EXPECT_EQ(outer[0].message, "[A][n=1]\n");
  EXPECT_EQ(outer[1].message, "[C][" + std::string(300, 'x') + "]\n");
  ASSERT_EQ(inner.size(), 1u);
  EXPECT_EQ(inner[0].message, "[B]\n");

  CaptureStdout();
  ReplayLog(outer);
  text = GetCapturedStdout();
  const std::string first = "[ERROR][A][n=1]\n";
  ASSERT_EQ(text.size(), 2 * kStampLength + first.size() + 6 + outer[1].message.size());
  EXPECT_EQ(text.substr(kStampLength, first.size()), first);
  EXPECT_EQ(text.substr(2 * kStampLength + first.size()), "[INFO]" + outer[1].message);
}

TEST(IsSafeString, RefusesControlAndShellCharacters) {
  for (const std::string text :
       {"", "/etc/policy/base.json", "a b.json", "caf\xc3\xa9\x80\xff", "#%*?()[]{}~^=+,:@"}) {
    EXPECT_TRUE(IsSafeString(text)) << text;
  }
  for (const std::string text : {"a|b", "a;b", "a&b", "a$b", "a>b", "a<b", "a`b", "a\\b", "a!b",
                                 "a'b", "a\"b", "a\x01", "a\tb", "a\nb", "\x1f", "\x7f"}) {
    EXPECT_FALSE(IsSafeString(text)) << text;
  }
  EXPECT_FALSE(IsSafeString(std::string("a\0b", 3)));
  // Every byte value on its own: only controls and the eleven are refused.
  const std::string refused = "|;&$><`\\!'\"";
  for (int byte = 0; byte < 256; ++byte) {
    const char c = static_cast<char>(byte);
    const bool unsafe = byte < 0x20 || byte == 0x7F || refused.find(c) != std::string::npos;
    EXPECT_EQ(IsSafeString(std::string(1, c)), !unsafe) << byte;
  }
}

TEST(MaskControlChars, ReplacesOnlyControlCharacters) {
  EXPECT_EQ(MaskControlChars("a\tb\x7f;$\x80"), "a*b*;$\x80");
  EXPECT_EQ(MaskControlChars(std::string("\0\x1f\x20", 3)), "** ");
  EXPECT_EQ(MaskControlChars("\x1b[2J\r\n"), "*[2J**");
  EXPECT_EQ(MaskControlChars(""), "");
}

}  // namespace
