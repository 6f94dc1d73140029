#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "base/diagnostic.h"
#include "base/json_string.h"

namespace {

TEST(JsonString, ReportsStayWellFormedUtf8) {
  struct Case {
    std::string_view text;
    std::string_view quoted;
  };
  const Case cases[] = {
      {"a\"b\\c\n", R"("a\"b\\c\u000a")"},
      {"\xC2\x80\xDF\xBF", "\"\xC2\x80\xDF\xBF\""},              // two-byte ends
      {"\xE0\xA0\x80\xEF\xBF\xBF", "\"\xE0\xA0\x80\xEF\xBF\xBF\""},  // U+0800, U+FFFF
      {"\xED\x9F\xBF", "\"\xED\x9F\xBF\""},                      // the last before surrogates
      {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", "\"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\""},
      {"\xC1\xBF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},              // overlong
      {"\xE0\x9F\xBF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // overlong
      {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // a surrogate
      {"\xF0\x8F\xBF\xBF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {"\xF4\x90\x80\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // past U+10FFFF
      {"\xF5", "\"\xEF\xBF\xBD\""},
      {"\xE2\x82", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},              // cut short at the end
      {"\xC3(", "\"\xEF\xBF\xBD(\""},                           // a bad continuation
  };
  for (const Case& c : cases) {
    std::string quoted;
    AppendUtf8JsonString(quoted, c.text);
    EXPECT_EQ(quoted, c.quoted) << testing::PrintToString(std::string(c.text));
  }
}

TEST(NearestName, SuggestsOnlyCloseOtherNames) {
  struct Case {
    std::string_view word;
    std::vector<std::string_view> candidates;
    std::string_view nearest;
  };
  const Case cases[] = {
      {"tpye", {"type", "attr"}, "type"},      // a swap is one edit
      {"tpye", {"tpyx", "type"}, "tpyx"},      // ties go to the first
      {"kernal", {"proc", "kernel"}, "kernel"},
      {"kernal", {"kernal", "kernel"}, "kernel"},  // never the word itself
      {"etc", {"etc_t"}, "etc_t"},              // a missing ending
      {"et", {"et_t"}, ""},                     // too short to have one
      {"a", {"b"}, ""},                         // a third of a letter may not be wrong
      {"abcdef", {"abxyef"}, "abxyef"},         // two edits in six
      {"abcdef", {"axyzef"}, ""},               // three are too many
      {"opne", {"open", "openat"}, "open"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NearestName(c.word, c.candidates), c.nearest) << c.word;
  }
}

}  // namespace
