// The public JSON parsing test cases, each parsed as the policy reader
// would parse a file of those bytes, against the verdict of this dialect.
// y_ cases must parse and n_ cases must fail unless listed below with the
// reason; every i_ case is listed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "json/json.h"
#include "tests/json/json_test_util.h"
#include "tests/support/polc_test.h"

namespace json_test {
namespace {

namespace fs = std::filesystem;

enum Verdict { ACCEPT, REFUSE };

struct Listed {
  Verdict verdict;
  const char* reason;
};

const std::map<std::string, Listed>& ListedCases() {
  static const std::map<std::string, Listed> cases = {
      // n_ cases this dialect accepts.
      {"n_array_invalid_utf8.json", {ACCEPT, "bytes from 0x80 are whitespace"}},
      {"n_multidigit_number_then_00.json", {ACCEPT, "the text ends at its first NUL"}},
      {"n_number_-01.json", {ACCEPT, "a leading 0 reads octal"}},
      {"n_number_-2..json", {ACCEPT, "strtod reads a trailing '.'"}},
      {"n_number_0.e1.json", {ACCEPT, "strtod reads '.' without digits"}},
      {"n_number_2.e+3.json", {ACCEPT, "strtod reads '.' without digits"}},
      {"n_number_2.e-3.json", {ACCEPT, "strtod reads '.' without digits"}},
      {"n_number_2.e3.json", {ACCEPT, "strtod reads '.' without digits"}},
      {"n_number_U+FF11_fullwidth_digit_one.json", {ACCEPT, "bytes from 0x80 are whitespace"}},
      {"n_number_hex_1_digit.json", {ACCEPT, "strtoll base 0 reads 0x"}},
      {"n_number_hex_2_digits.json", {ACCEPT, "strtoll base 0 reads 0x"}},
      {"n_number_invalid-utf-8-in-bigger-int.json", {ACCEPT, "bytes from 0x80 are whitespace"}},
      {"n_number_invalid-utf-8-in-exponent.json", {ACCEPT, "bytes from 0x80 are whitespace"}},
      {"n_number_invalid-utf-8-in-int.json", {ACCEPT, "bytes from 0x80 are whitespace"}},
      {"n_number_neg_int_starting_with_zero.json", {ACCEPT, "a leading 0 reads octal"}},
      {"n_number_real_without_fractional_part.json", {ACCEPT, "strtod reads a trailing '.'"}},
      {"n_number_with_leading_zero.json", {ACCEPT, "a leading 0 reads octal"}},
      {"n_object_emoji.json", {ACCEPT, "bytes from 0x80 are whitespace: an empty object"}},
      {"n_string_accentuated_char_no_quotes.json", {ACCEPT, "bytes from 0x80 are whitespace"}},
      {"n_string_unescaped_newline.json", {ACCEPT, "raw control characters are kept"}},
      {"n_string_unescaped_tab.json", {ACCEPT, "raw control characters are kept"}},
      {"n_structure_U+2060_word_joined.json", {ACCEPT, "bytes from 0x80 are whitespace"}},
      {"n_structure_incomplete_UTF8_BOM.json", {ACCEPT, "bytes from 0x80 are whitespace"}},
      {"n_structure_whitespace_U+2060_word_joiner.json",
       {ACCEPT, "bytes from 0x80 are whitespace"}},
      {"n_structure_whitespace_formfeed.json", {ACCEPT, "bytes up to 0x20 are whitespace"}},
      // i_ cases, each decided by the dialect.
      {"i_number_double_huge_neg_exp.json", {REFUSE, "strtod range error"}},
      {"i_number_huge_exp.json", {REFUSE, "strtod range error"}},
      {"i_number_neg_int_huge_exp.json", {REFUSE, "strtod range error"}},
      {"i_number_pos_double_huge_exp.json", {REFUSE, "strtod range error"}},
      {"i_number_real_neg_overflow.json", {REFUSE, "strtod range error"}},
      {"i_number_real_pos_overflow.json", {REFUSE, "strtod range error"}},
      {"i_number_real_underflow.json", {REFUSE, "strtod range error"}},
      {"i_number_too_big_neg_int.json", {REFUSE, "strtoll range error"}},
      {"i_number_too_big_pos_int.json", {REFUSE, "strtoll range error"}},
      {"i_number_very_big_negative_int.json", {REFUSE, "strtoll range error"}},
      {"i_object_key_lone_2nd_surrogate.json", {REFUSE, "lone low surrogate escape"}},
      {"i_string_1st_surrogate_but_2nd_missing.json", {REFUSE, "lone high surrogate escape"}},
      {"i_string_1st_valid_surrogate_2nd_invalid.json", {REFUSE, "high surrogate without low"}},
      {"i_string_UTF-16LE_with_BOM.json", {REFUSE, "ends at its first NUL inside '['"}},
      {"i_string_UTF-8_invalid_sequence.json", {ACCEPT, "string bytes are not checked"}},
      {"i_string_UTF8_surrogate_U+D800.json", {ACCEPT, "string bytes are not checked"}},
      {"i_string_incomplete_surrogate_and_escape_valid.json", {REFUSE, "lone high surrogate"}},
      {"i_string_incomplete_surrogate_pair.json", {REFUSE, "lone high surrogate"}},
      {"i_string_incomplete_surrogates_escape_valid.json", {REFUSE, "two high surrogates"}},
      {"i_string_invalid_lonely_surrogate.json", {REFUSE, "lone high surrogate"}},
      {"i_string_invalid_surrogate.json", {REFUSE, "lone high surrogate"}},
      {"i_string_invalid_utf-8.json", {ACCEPT, "string bytes are not checked"}},
      {"i_string_inverted_surrogates_U+1D11E.json", {REFUSE, "low surrogate first"}},
      {"i_string_iso_latin_1.json", {ACCEPT, "string bytes are not checked"}},
      {"i_string_lone_second_surrogate.json", {REFUSE, "lone low surrogate"}},
      {"i_string_lone_utf8_continuation_byte.json", {ACCEPT, "string bytes are not checked"}},
      {"i_string_not_in_unicode_range.json", {ACCEPT, "string bytes are not checked"}},
      {"i_string_overlong_sequence_2_bytes.json", {ACCEPT, "string bytes are not checked"}},
      {"i_string_overlong_sequence_6_bytes.json", {ACCEPT, "string bytes are not checked"}},
      {"i_string_overlong_sequence_6_bytes_null.json", {ACCEPT, "string bytes are not checked"}},
      {"i_string_truncated-utf-8.json", {ACCEPT, "string bytes are not checked"}},
      {"i_string_utf16BE_no_BOM.json", {REFUSE, "empty: ends at its first NUL"}},
      {"i_string_utf16LE_no_BOM.json", {REFUSE, "ends at its first NUL inside '['"}},
      {"i_structure_500_nested_arrays.json", {REFUSE, "deeper than 256 levels"}},
      {"i_structure_UTF-8_BOM_empty_object.json", {ACCEPT, "bytes from 0x80 are whitespace"}},
  };
  return cases;
}

// The folder of the cases: the suite's test_parsing folder, or the given
// folder itself.
fs::path CaseFolder() {
  fs::path root = POLC_JSONTESTSUITE_DIR;
  return fs::is_directory(root / "test_parsing") ? root / "test_parsing" : root;
}

class JsonTestSuite : public JsonTest {};

TEST_F(JsonTestSuite, EveryCaseGetsItsVerdict) {
  fs::path folder = CaseFolder();
  if (!fs::is_directory(folder)) GTEST_SKIP() << "no JSON test suite at " << folder;
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().extension() == ".json") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty());
  std::set<std::string> seen;
  for (const fs::path& file : files) {
    std::string name = file.filename().string();
    seen.insert(name);
    auto listed = ListedCases().find(name);
    Verdict expected;
    if (listed != ListedCases().end()) {
      expected = listed->second.verdict;
    } else if (name[0] == 'y' || name[0] == 'n') {
      expected = name[0] == 'y' ? ACCEPT : REFUSE;
    } else {
      ADD_FAILURE() << name << " has no verdict in the list";
      continue;
    }
    // As the policy reader does: the file's bytes, up to the first NUL.
    Doc doc = Parse(polc_test::ReadFile(file.string()).c_str());
    EXPECT_EQ(doc != nullptr ? ACCEPT : REFUSE, expected)
        << name
        << (listed != ListedCases().end() ? std::string(": ") + listed->second.reason
                                          : std::string());
  }
  for (const auto& [name, listed] : ListedCases()) {
    EXPECT_TRUE(seen.count(name) != 0) << name << " is listed but not in " << folder;
  }
}

}  // namespace
}  // namespace json_test
