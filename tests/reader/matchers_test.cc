// The hand-made matchers must accept exactly the texts that the ECMAScript
// patterns accept. Both run over large deterministic sets of short texts:
// exhaustive ones over small alphabets and random ones shaped like the
// values the patterns are meant for.
#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <vector>

#include "reader/validators.h"

namespace {

using Matcher = bool (*)(std::string_view);

// Every text over `alphabet` of length 0..maxLength.
std::vector<std::string> AllTexts(const std::string& alphabet, size_t maxLength) {
  std::vector<std::string> texts = {""};
  for (size_t begin = 0, length = 1; length <= maxLength; ++length) {
    const size_t end = texts.size();
    for (size_t i = begin; i < end; ++i) {
      for (const char c : alphabet) texts.push_back(texts[i] + c);
    }
    begin = end;
  }
  return texts;
}

// A text assembled from `count` pieces drawn from `pieces`, with sometimes
// one character of `noise` inserted, replaced or dropped.
std::string Assemble(std::mt19937& random, const std::vector<std::string>& pieces, size_t count,
                     const std::string& noise) {
  std::string text;
  for (size_t i = 0; i < count; ++i) text += pieces[random() % pieces.size()];
  const char extra = noise[random() % noise.size()];
  const size_t at = text.empty() ? 0 : random() % text.size();
  switch (random() % 4) {
    case 0:
      text.insert(at, 1, extra);
      break;
    case 1:
      if (!text.empty()) text[at] = extra;
      break;
    case 2:
      if (!text.empty()) text.erase(at, 1);
      break;
    default:
      break;
  }
  return text;
}

struct Tally {
  size_t accepted = 0;
  size_t rejected = 0;
};

void ExpectSameLanguage(const char* pattern, bool search, Matcher matcher,
                        const std::vector<std::string>& texts, Tally& tally) {
  const std::regex regex(pattern, std::regex::ECMAScript);
  for (const std::string& text : texts) {
    const bool expected = search ? std::regex_search(text, regex) : std::regex_match(text, regex);
    ASSERT_EQ(matcher(text), expected) << "text: \"" << text << "\"";
    ++(expected ? tally.accepted : tally.rejected);
  }
}

// Ensures a generated set is not trivially one-sided.
void ExpectBothOutcomes(const Tally& tally, size_t atLeast) {
  EXPECT_GE(tally.accepted, atLeast);
  EXPECT_GE(tally.rejected, atLeast);
}

constexpr char kContextPattern[] = "[a-zA-Z0-9-_\\./]+";
constexpr char kPathPattern[] = "^([a-zA-Z]+:)?/";
constexpr char kAddressPattern[] =
    "^((25[0-5]|(2[0-4]|1\\d|[1-9]|)\\d)\\.?\\b){4}/([0-9]|[1-2][0-9]|3[0-2])$";
constexpr char kPortPattern[] = "^[0-9]{1,5}$|^[0-9]{1,5}-[0-9]{1,5}$";

TEST(MatchersTest, ContextNameOnEveryByteAndShortTexts) {
  std::string everyByte;
  for (int c = 1; c < 256; ++c) everyByte += static_cast<char>(c);
  Tally tally;
  ExpectSameLanguage(kContextPattern, false, MatchesContextName, AllTexts(everyByte, 1), tally);
  ExpectSameLanguage(kContextPattern, false, MatchesContextName, AllTexts("aZ09-_./\\:+ \x80,", 4),
                     tally);
  ExpectBothOutcomes(tally, 1000);
}

TEST(MatchersTest, PathStart) {
  Tally tally;
  ExpectSameLanguage(kPathPattern, true, MatchesPathStart, AllTexts("aZ1:/ .", 6), tally);
  ExpectBothOutcomes(tally, 1000);
}

TEST(MatchersTest, AddressPrefix) {
  Tally tally;
  ExpectSameLanguage(kAddressPattern, false, MatchesAddressPrefix, AllTexts("0128./", 5), tally);
  std::mt19937 random(20240611);
  const std::vector<std::string> octets = {"0",   "1",   "9",   "00",   "01",  "10",  "99",
                                           "100", "199", "200", "249",  "250", "255", "256",
                                           "260", "300", "999", "1000", "",    "2",   "25"};
  const std::vector<std::string> prefixes = {"0",  "8",  "9",  "10", "29",  "30", "32",
                                             "33", "40", "00", "08", "032", "",   "3"};
  const std::vector<std::string> separators = {".", ".", ".", ".",  ".", ".",
                                               ".", ".", "",  "..", "a", "/"};
  std::vector<std::string> texts;
  for (int i = 0; i < 200000; ++i) {
    std::string text;
    for (int octet = 0; octet < 4; ++octet) {
      if (octet > 0) text += separators[random() % separators.size()];
      text += octets[random() % octets.size()];
    }
    text += random() % 8 == 0 ? "" : "/";
    text += prefixes[random() % prefixes.size()];
    texts.push_back(random() % 2 == 0 ? text : Assemble(random, {text}, 1, "0123./a_ "));
  }
  ExpectSameLanguage(kAddressPattern, false, MatchesAddressPrefix, texts, tally);
  ExpectBothOutcomes(tally, 2000);
}

TEST(MatchersTest, PortRange) {
  Tally tally;
  ExpectSameLanguage(kPortPattern, false, MatchesPortRange, AllTexts("09-x", 8), tally);
  std::mt19937 random(7);
  std::vector<std::string> texts;
  for (int i = 0; i < 100000; ++i) {
    texts.push_back(Assemble(random, {"1", "23", "456", "0000", "65535", "-", "99999"},
                             1 + random() % 4, "0-a "));
  }
  ExpectSameLanguage(kPortPattern, false, MatchesPortRange, texts, tally);
  ExpectBothOutcomes(tally, 10000);
}

}  // namespace
