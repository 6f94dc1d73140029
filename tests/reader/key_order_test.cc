// Which failure the reader reports when several entries fail the same check:
// always the first entry in key order (texts compared as unsigned bytes),
// whatever order the file lists them in and whatever ids their texts got.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/reader/reader_run.h"

namespace {

using reader_test::Error;
using reader_test::Stage;
using KeyOrderTest = reader_test::ReaderRun;

// `text` with each ' turned into ".
std::string Json(std::string text) {
  std::replace(text.begin(), text.end(), '\'', '"');
  return text;
}

std::string Two(int i) { return (i < 10 ? "0" : "") + std::to_string(i); }

// `count` items made by `item(i)`, each i from 0 to count - 1 once, joined
// with commas in an order where item 0, the smallest key, is neither first
// nor last: the hash containers iterate in about the reverse order of
// insertion. `count` must be coprime to 7.
template <typename Item>
std::string Scrambled(int count, Item item) {
  std::string items;
  for (int k = 0; k < count; ++k) items += (k == 0 ? "" : ",") + item((7 * k + 3) % count);
  return items;
}

struct FileCase {
  std::string what;
  std::string content;  // of the one file p.json, with ' for "
  std::string message;  // the one line of the failing check
};

TEST_F(KeyOrderTest, PerFileChecksReportTheFirstFailingEntryInKeyOrder) {
  const std::string typesAB = "'declarations':{'type':['a','b']}";
  // Transition rules (a, b, k<i>) whose targets are undefined and run
  // against the key order: the smallest key k00 has the largest target.
  const auto undefinedTarget = [](int i) {
    return "{'object':'b','class':'k" + Two(i) + "','target':'u" + Two(19 - i) + "'}";
  };
  const std::string manyTransitions = "{" + typesAB +
                                      ",'rules':[{'subject':'a','type_transition':[" +
                                      Scrambled(20, undefinedTarget) + "]}]}";
  // Likewise for the contexts of file paths.
  const auto undefinedContext = [](int i) {
    return "{'path':'/p" + Two(i) + "','context':'u" + Two(19 - i) + "'}";
  };
  const std::string manyPaths = "{'declarations':{'type':['a'],'labeling':{'file':[" +
                                Scrambled(20, undefinedContext) + "]}}}";
  // Unknown classes k<i> of object b, and zz of object a, which sorts first.
  const auto unknownClass = [](int i) {
    return "{'object':'b','class':'k" + Two(i) + "','target':'a'}";
  };
  const std::string manyTransitionClasses =
      "{" + typesAB + ",'rules':[{'subject':'a','type_transition':[" + Scrambled(10, unknownClass) +
      ",{'object':'a','class':'zz','target':'a'}]}]}";
  const std::vector<FileCase> cases = {
      {"declared names", "{'declarations':{'type':['a','z z','y y'],'attr':['b b']}}",
       "[Invalid context][context=y y]"},
      {"typeattr: the first name, then its first attribute",
       "{'declarations':{'type':['a','b'],'typeattr':{'b':['u0'],'a':['u3','b','u1']}}}",
       "[Undefined context][context=u1]"},
      {"typeattr: an undefined name before an earlier-listed name's attribute",
       "{'declarations':{'type':['b'],'typeattr':{'b':['B'],'a':[]}}}",
       "[Undefined context][context=a]"},
      {"file contexts", manyPaths, "[Undefined context][context=u19]"},
      {"grant rules listed against key order",
       "{" + typesAB +
           ",'rules':[{'subject':'b','teac':[{'object':'u1','class':'file','operation':[]}]},"
           "{'subject':'a','teac':[{'object':'u2','class':'file','operation':[]}]}]}",
       "[Undefined context][context=u2]"},
      {"grant rules: the subject of a rule before the object",
       "{" + typesAB +
           ",'rules':[{'subject':'u2','teac':[{'object':'u1','class':'file','operation':[]}]}]}",
       "[Undefined context][context=u2]"},
      {"transition rules", manyTransitions, "[Undefined context][context=u19]"},
      {"an unknown operation in a rule before one with an unknown class",
       "{" + typesAB +
           ",'rules':[{'subject':'b','teac':[{'object':'a','class':'bogus','operation':['x']}]},"
           "{'subject':'a','teac':[{'object':'a','class':'file','operation':['read','nope']}]}]}",
       "[Undefined operation for current class][class=file, operation=nope]"},
      {"an unknown class in a rule before one with an unknown operation",
       "{" + typesAB +
           ",'rules':[{'subject':'b','teac':[{'object':'a','class':'file','operation':['nope']}]},"
           "{'subject':'a','teac':[{'object':'b','class':'bogus','operation':[]}]}]}",
       "[Undefined class in grant rule][class=bogus]"},
      {"classes: upper case before lower case",
       "{" + typesAB +
           ",'rules':[{'subject':'a','teac':[{'object':'a','class':'file','operation':['nope']},"
           "{'object':'a','class':'File','operation':[]}]}]}",
       "[Undefined class in grant rule][class=File]"},
      {"classes: bytes from 0x80 up after ASCII",
       "{" + typesAB +
           ",'rules':[{'subject':'a','teac':[{'object':'a','class':'\\u00e9','operation':[]},"
           "{'object':'a','class':'zz','operation':[]}]}]}",
       "[Undefined class in grant rule][class=zz]"},
      {"unknown operations of one key, over two entries, in ascending order",
       "{" + typesAB +
           ",'rules':[{'subject':'a','teac':[{'object':'a','class':'file','operation':['zap',"
           "'read','pop']},{'object':'a','class':'file','operation':['nope','open']}]}]}",
       "[Undefined operation for current class][class=file, operation=nope]"},
      {"unknown operations: the rule first, then its operation",
       "{" + typesAB +
           ",'rules':[{'subject':'a','teac':[{'object':'b','class':'file','operation':['aaa']},"
           "{'object':'a','class':'file','operation':['zzz']}]}]}",
       "[Undefined operation for current class][class=file, operation=zzz]"},
      {"transition rules with unknown classes", manyTransitionClasses,
       "[Undefined class in transition rule][class=zz]"},
      {"file paths",
       "{'declarations':{'type':['a'],'labeling':{'file':[{'path':'/ok','context':'a'},"
       "{'path':'b/','context':'a'},{'path':'a;','context':'a'}]}}}",
       "[The path is at risk of command injection][path=a;]"},
  };
  for (const FileCase& c : cases) {
    EXPECT_EQ(Run({{"p.json", Json(c.content)}}),
              FailureIn("p.json", Stage::kValidate, Error(c.message)))
        << c.what;
    EXPECT_EQ(exitStatus, 255) << c.what;
  }
}

struct MergeCase {
  std::string what;
  std::string first;   // content of first.json, with ' for "
  std::string second;  // content of second.json, with ' for "
  std::string message;
};

std::string FileLabels(const std::string& paths) {
  return "{'declarations':{'type':['a'],'labeling':{'file':[" + paths + "]}}}";
}

std::string FileLabel(const std::string& path) { return "{'path':'" + path + "','context':'a'}"; }

// Transition rules of subject a to objects o00 to o19 and onew.
std::string Transitions(const std::string& entries) {
  const std::string objects = Scrambled(20, [](int i) { return "'o" + Two(i) + "'"; });
  return "{'declarations':{'type':['a','onew'," + objects +
         "]},'rules':[{'subject':'a','type_transition':[" + entries + "]}]}";
}

std::string Transition(const std::string& object) {
  return "{'object':'" + object + "','class':'file','target':'a'}";
}

// The second file repeats keys of the first: the merge names the smallest
// repeated key of the second file.
TEST_F(KeyOrderTest, MergeReportsTheSmallestDuplicateKey) {
  const auto path = [](int i) { return FileLabel("/p" + Two(i)); };
  const auto transition = [](int i) { return Transition("o" + Two(i)); };
  const std::vector<MergeCase> cases = {
      {"file paths", FileLabels(Scrambled(20, path)),
       FileLabels(FileLabel("/new") + "," + Scrambled(20, path)),
       "[Duplicate file path][path=/p00]"},
      {"file paths: a proper prefix first",
       FileLabels(FileLabel("/etc") + "," + FileLabel("/etc/")),
       FileLabels(FileLabel("/etc/") + "," + FileLabel("/etc")),
       "[Duplicate file path][path=/etc]"},
      {"file paths: bytes from 0x80 up after ASCII",
       FileLabels(FileLabel("/z") + "," + FileLabel("/\\u00e9")),
       FileLabels(FileLabel("/\\u00e9") + "," + FileLabel("/z")), "[Duplicate file path][path=/z]"},
      {"transition rules", Transitions(Scrambled(20, transition)),
       Transitions(Transition("onew") + "," + Scrambled(20, transition)),
       "[Duplicate transition rule key][subject=a, object=o00, cls=file]"},
  };
  for (const MergeCase& c : cases) {
    EXPECT_EQ(Run({{"first.json", Json(c.first)}, {"second.json", Json(c.second)}}),
              Passed("first.json") + Passed("second.json") + Error(c.message) +
                  WithFile("[Merge json file failed]", "second.json"))
        << c.what;
    EXPECT_EQ(exitStatus, 255) << c.what;
  }
}

// The checks of the merged model, where the texts of the later file were
// interned after those of the earlier one.
TEST_F(KeyOrderTest, WholePolicyChecksReportTheFirstNameInKeyOrder) {
  const struct {
    std::string first, second, message;
  } cases[] = {
      {"{'declarations':{'type':['zz'],'require':['b_t']}}", "{'declarations':{'require':['a_t']}}",
       "[Undefined context in the require section][context=a_t]"},
      {"{'declarations':{'type':['b_t'],'attr':['c_t','a_t']}}",
       "{'declarations':{'type':['a_t','c_t'],'attr':['b_t']}}",
       "[Repeated context in the type and attr section][context=a_t]"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Run({{"first.json", Json(c.first)}, {"second.json", Json(c.second)}}),
              Passed("first.json") + Passed("second.json") +
                  "[INFO][JsonParser][Validating whole json file]\n" + Error(c.message) +
                  Error("[Validate whole json file failed]"))
        << c.message;
    EXPECT_EQ(exitStatus, 255) << c.message;
  }
}

}  // namespace
