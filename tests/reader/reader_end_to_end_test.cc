// The reader through the built polc: each failure leaves its exact trace of
// log lines, innermost cause first, and ends the run with 255.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "tests/reader/reader_run.h"
#include "tests/support/polc_test.h"

namespace {

using reader_test::Error;
using reader_test::Files;
using reader_test::Stage;
using ReaderEndToEndTest = reader_test::ReaderRun;

struct FailureCase {
  std::string content;  // of the one file p.json, with ' for "
  Stage stage;
  std::string inner;  // the lines of the failing step
};

std::string Declaration(const std::string& key, const std::string& message) {
  return reader_test::InDeclarations(key, Error(message));
}

std::string DeclarationKeys(const std::string& message) {
  return Error(message) + Error("[Validate the declarations section key failed]") +
         Error("[Parse the value failed][key=declarations]");
}

std::string Rules(const std::string& message) {
  return Error(message) + Error("[Parse the value failed][key=rules]");
}

// A failed key check of the i-th entry of `section` inside the rules.
std::string RuleKeys(const std::string& message, const std::string& section, int i) {
  return Error(message) +
         Error("[Validate the i-th key in the " + section +
               " section failed][i=" + std::to_string(i) + "]") +
         Error("[Parse the value failed][key=rules]");
}

const std::string kInvalidJson =
    Error("[Parse json string failed, invalid json file][file=%s]") +
    Error("[If use typeattr, please check the length of type less than 48]");
const std::string kNoKey = "[Not found the first key]";
const std::string kTeacA = "{'subject':'a','teac':[{'object':'a','class':'file'";
const std::string kTransition = "{'object':'b','class':'file','target':'c'}";

// Every failure ends the run with 255, its whole trace and no output file.
TEST_F(ReaderEndToEndTest, EachFailureLeavesItsTrace) {
  const std::string key47(47, 'k');
  const std::string key48(48, 'k');
  const std::vector<FailureCase> cases = {
      // Loading and the top-level keys.
      {"{", Stage::kLoad, kInvalidJson},
      {"", Stage::kLoad, kInvalidJson},
      {std::string("{'rules':[]}\0{}", 15), Stage::kLoad, kInvalidJson},
      {std::string("{'rules':[]}\0", 13), Stage::kLoad, kInvalidJson},
      {"{'declarations':{'typeattr':{'" + key48 + "':[]}}}", Stage::kLoad, kInvalidJson},
      // A \u0000 escape in any string or key: decoded, it would cut the text short.
      {"{'declarations':{'type':['a'],'labeling':{'file':[{'path':'/etc\\u0000/../x',"
       "'context':'a'}]}}}",
       Stage::kLoad, kInvalidJson},
      {"{'declarations':{'type':['a\\u0000zzz']}}", Stage::kLoad, kInvalidJson},
      {"{'declarations':{'type':['a'],'labeling':{'netif':[{'name':'x\\u0000y','context':'a'}]}}}",
       Stage::kLoad, kInvalidJson},
      {"{'declarations':{'type':['a'],'typeattr':{'a\\u0000b':[]}}}", Stage::kLoad, kInvalidJson},
      {"{'declarations\\u0000':{'type':['a']}}", Stage::kLoad, kInvalidJson},
      {"{'rules':[{'subject':'a','group':'\\u0000'}]}", Stage::kLoad, kInvalidJson},
      {"{}", Stage::kTopLevel, Error(kNoKey)},
      {"[]", Stage::kTopLevel, Error(kNoKey)},
      {"{'rules':[],'rules':[]}", Stage::kTopLevel, Error("[Repeat defined key][key=rules]")},
      {"{'Rules':[]}", Stage::kTopLevel, Error("[Undefined key][key=Rules]")},
      {"{'rules':[],'r\\tx':1}", Stage::kTopLevel, Error("[Undefined key][key=r*x]")},
      // Declarations.
      {"{'declarations':{}}", Stage::kSection, DeclarationKeys(kNoKey)},
      {"{'declarations':[1]}", Stage::kSection, DeclarationKeys(kNoKey)},
      {"{'declarations':{'types':[]}}", Stage::kSection,
       DeclarationKeys("[Undefined key][key=types]")},
      {"{'declarations':{'labeling':{},'labeling':{}}}", Stage::kSection,
       DeclarationKeys("[Repeat defined key][key=labeling]")},
      {"{'declarations':{'type':['a','b',3]}}", Stage::kSection,
       Declaration("type", "[Get the i-th type failed][i=2]")},
      {"{'declarations':{'type':['a'],'attr':[null]}}", Stage::kSection,
       Declaration("attr", "[Get the i-th attr failed][i=0]")},
      {"{'declarations':{'require':['a',true]}}", Stage::kSection,
       Declaration("require", "[Get the i-th require type failed][i=1]")},
      {"{'declarations':{'typeattr':{}}}", Stage::kSection,
       Declaration("typeattr", "[Get the first typeattr object failed]")},
      {"{'declarations':{'typeattr':[['a']]}}", Stage::kSection,
       Declaration("typeattr", "[Get the first typeattr object failed]")},
      {"{'declarations':{'typeattr':{'a':[],'b':'c'}}}", Stage::kSection,
       Declaration("typeattr", "[Get the typeattr object failed][key=b]")},
      {"{'declarations':{'typeattr':{'a':['b',1]}}}", Stage::kSection,
       Declaration("typeattr", "[Get the i-th attr failed][key=a, i=1]")},
      // Rules.
      {"{'rules':['x']}", Stage::kSection, RuleKeys(kNoKey, "rules", 0)},
      {"{'rules':[{'subject':'a'},{'subject':'a','object':'b'}]}", Stage::kSection,
       RuleKeys("[Undefined key][key=object]", "rules", 1)},
      {"{'rules':[{'subject':'a'},{'group':1}]}", Stage::kSection,
       Rules("[Parse the i-th subject failed][i=1]")},
      {"{'rules':[{'subject':7}]}", Stage::kSection, Rules("[Parse the i-th subject failed][i=0]")},
      {"{'rules':[" + kTeacA + ",'operation':[]},{'obj':1}]}]}", Stage::kSection,
       RuleKeys("[Undefined key][key=obj]", "teac", 1)},
      {"{'rules':[" + kTeacA + "}]}]}", Stage::kSection,
       Rules("[Incomplete object, class and operation][subject=a]")},
      {"{'rules':[" + kTeacA + ",'operation':'read'}]}]}", Stage::kSection,
       Rules("[Incomplete object, class and operation][subject=a]")},
      {"{'rules':[" + kTeacA + ",'operation':['read',7]}]}]}", Stage::kSection,
       Rules("[Get permission failed][subject=a, k=1]")},
      // "teac" is read first wherever it stands.
      {"{'rules':[{'subject':'a','type_transition':[1],'teac':[2]}]}", Stage::kSection,
       RuleKeys(kNoKey, "teac", 0)},
      {"{'rules':[{'subject':'a','teac':{},'type_transition':[5]}]}", Stage::kSection,
       RuleKeys(kNoKey, "type_transition", 0)},
      {"{'rules':[{'subject':'a','type_transition':[{'object':'a','class':'file','target':1}]}]}",
       Stage::kSection, Rules("[Incomplete object, class and target][subject=a]")},
      {"{'rules':[{'subject':'a','type_transition':[{'object':'b','class':'file','target':'c'}]},"
       "{'subject':'a','type_transition':[{'object':'b','class':'file','target':'c'}]}]}",
       Stage::kSection, Rules("[Duplicate transition rule key][subject=a, object=b, cls=file]")},
      // The first failure in reading order is reported, whichever kind it is:
      // a repeated transition before a malformed statement, a malformed
      // grant entry before a repeated transition, a section before another.
      {"{'rules':[{'subject':'a','type_transition':[" + kTransition + "," + kTransition +
           "]},{'subject':7}]}",
       Stage::kSection, Rules("[Duplicate transition rule key][subject=a, object=b, cls=file]")},
      {"{'rules':[{'subject':'a','type_transition':[" + kTransition + "," + kTransition +
           "],'teac':[1]}]}",
       Stage::kSection, RuleKeys(kNoKey, "teac", 0)},
      {"{'declarations':{'type':[3]},'rules':[{'subject':7}]}", Stage::kSection,
       Declaration("type", "[Get the i-th type failed][i=0]")},
      {"{'rules':[{'subject':7}],'declarations':{'type':[3]}}", Stage::kSection,
       Rules("[Parse the i-th subject failed][i=0]")},
      // Per-file checks.
      {"{'declarations':{'type':['']}}", Stage::kValidate, ""},
      {"{'declarations':{'type':['a'],'attr':['a b']}}", Stage::kValidate,
       Error("[Invalid context][context=a b]")},
      {"{'declarations':{'type':['a'],'typeattr':{'a':['b']}}}", Stage::kValidate,
       Error("[Undefined context][context=b]")},
      {"{'declarations':{'type':['" + key47 + "'],'typeattr':{'" + key47 + "':['b']}}}",
       Stage::kValidate, Error("[Undefined context][context=b]")},
      {"{'rules':[" + kTeacA + ",'operation':[]}]}]}", Stage::kValidate,
       Error("[Undefined context][context=a]")},
      {"{'declarations':{'type':['a']},'rules':[{'subject':'a','teac':[{'object':'a',"
       "'class':'File','operation':['read']}]}]}",
       Stage::kValidate, Error("[Undefined class in grant rule][class=File]")},
      {"{'declarations':{'type':['a']},'rules':[" + kTeacA + ",'operation':['read','rmdir']}]}]}",
       Stage::kValidate,
       Error("[Undefined operation for current class][class=file, operation=rmdir]")},
      {"{'declarations':{'type':['a']},'rules':[{'subject':'a','type_transition':[{"
       "'object':'a','class':'bogus','target':'a'}]}]}",
       Stage::kValidate, Error("[Undefined class in transition rule][class=bogus]")},
  };
  for (const FailureCase& c : cases) {
    std::string content = c.content;
    std::replace(content.begin(), content.end(), '\'', '"');
    std::string inner = c.inner;
    const size_t placeholder = inner.find("%s");
    if (placeholder != std::string::npos) inner.replace(placeholder, 2, PathOf("p.json"));
    EXPECT_EQ(Run({{"p.json", content}}), FailureIn("p.json", c.stage, inner)) << content;
    EXPECT_EQ(exitStatus, 255) << content;
    EXPECT_FALSE(polc_test::FileExists(PathOf("policy.bin"))) << content;
  }
}

// A file with one fault for each per-file check from `first` (0 to 4) on.
std::string FileFailingChecksFrom(int first) {
  const auto pick = [first](int check, const std::string& bad, const std::string& good) {
    return check >= first ? bad : good;
  };
  return R"({"declarations": {"type": ["a", )" + pick(0, R"("a b")", R"("b")") +
         R"(], "labeling": {"netif": [{"name": "lo", "context": )" + pick(1, R"("zz")", R"("a")") +
         R"(}], "reserved_sid": [{"sid": )" + pick(2, R"("Kernel")", R"("kernel")") +
         R"(, "context": "a"}], "file": [{"path": )" + pick(4, R"("etc")", R"("/etc")") +
         R"(, "context": "a"}]}}, "rules": [{"subject": "a", "teac": [{"object": "a", "class": )" +
         pick(3, R"("File")", R"("file")") + R"(, "operation": []}]}]})";
}

TEST_F(ReaderEndToEndTest, PerFileChecksRunInOrder) {
  const std::string firstFault[] = {
      Error("[Invalid context][context=a b]"),
      Error("[Undefined context][context=zz]"),
      Error("[Undefined initial sid string][sid=Kernel]"),
      Error("[Undefined class in grant rule][class=File]"),
      Error("[The path must start with a slash][path=etc]"),
  };
  for (int first = 0; first < 5; ++first) {
    EXPECT_EQ(Run({{"p.json", FileFailingChecksFrom(first)}}),
              FailureIn("p.json", Stage::kValidate, firstFault[first]))
        << first;
    EXPECT_EQ(exitStatus, 255);
  }
  Run({{"p.json", FileFailingChecksFrom(5)}});
  EXPECT_EQ(exitStatus, 0);
}

const char kBase[] = R"({
  "declarations": {
    "type": ["b_t", "a_t", "a_t"],
    "attr": ["domain"],
    "typeattr": {"a_t": ["domain"], "b_t": []}
  },
  "rules": [{"subject": "a_t", "group": {"any": [1]},
             "teac": [{"object": "b_t", "class": "file", "operation": ["read", "open"]}],
             "type_transition": [{"object": "b_t", "class": "file", "target": "b_t"}]}]
})";

const char kApp[] = R"({
  "rules": [{"subject": "app_t",
             "teac": [{"object": "b_t", "class": "file", "operation": []},
                      {"object": "domain", "class": "process", "operation": ["fork"]}]}],
  "declarations": {"require": ["b_t", "domain"], "type": ["app_t"],
                   "typeattr": {"app_t": ["domain"]}}
})";

TEST_F(ReaderEndToEndTest, ValidPolicyWithNamesRequiredAcrossFiles) {
  const std::string log = Run({{"base.json", kBase}, {"app.json", kApp}});
  const std::string reader =
      Passed("base.json") + Passed("app.json") + "[INFO][JsonParser][Validating whole json file]\n";
  EXPECT_EQ(log.substr(0, reader.size()), reader);
  EXPECT_EQ(log.find("[ERROR]"), std::string::npos) << log;
  EXPECT_EQ(exitStatus, 0);
}

// A fault in the second of three files: the run stops at that file, and
// the checks of the whole policy wait until the last file.
TEST_F(ReaderEndToEndTest, FaultsInTheSecondOfThreeFiles) {
  const std::string whole = Passed("base.json") + Passed("second.json") + Passed("third.json") +
                            "[INFO][JsonParser][Validating whole json file]\n";
  const std::string wholeFailed = Error("[Validate whole json file failed]");
  const struct {
    std::string second;
    std::string trace;
  } rows[] = {
      // Names of other files must be required.
      {R"({"declarations": {"type": ["app_t"]}, "rules": [{"subject": "app_t",
          "teac": [{"object": "b_t", "class": "file", "operation": ["read"]}]}]})",
       Passed("base.json") +
           FailureIn("second.json", Stage::kValidate, Error("[Undefined context][context=b_t]"))},
      {R"({"declarations": {"type": ["a_t", "b_t"]}, "rules": [{"subject": "a_t",
          "type_transition": [{"object": "b_t", "class": "file", "target": "a_t"}]}]})",
       Passed("base.json") + Passed("second.json") +
           Error("[Duplicate transition rule key][subject=a_t, object=b_t, cls=file]") +
           WithFile("[Merge json file failed]", "second.json")},
      {R"({"declarations": {"require": ["zz_t", "missing_t"]}})",
       whole + Error("[Undefined context in the require section][context=missing_t]") +
           wholeFailed},
      {R"({"declarations": {"attr": ["b_t", "a_t"]}})",
       whole + Error("[Repeated context in the type and attr section][context=a_t]") + wholeFailed},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(Run({{"base.json", kBase}, {"second.json", row.second}, {"third.json", kApp}}),
              row.trace);
    EXPECT_EQ(exitStatus, 255);
  }
}

// `count` distinct names as a JSON array.
std::string NameArray(size_t count, const std::string& prefix) {
  std::string array = "[";
  for (size_t i = 0; i < count; ++i)
    array += (i > 0 ? ",\"" : "\"") + prefix + std::to_string(i) + "\"";
  return array + "]";
}

TEST_F(ReaderEndToEndTest, AtMost65535TypesAndAttributes) {
  const std::string types = R"({"declarations": {"type": )" + NameArray(65000, "t") + "}}";
  const std::string attrs535 = R"({"declarations": {"attr": )" + NameArray(535, "a") + "}}";
  const std::string attrs536 = R"({"declarations": {"attr": )" + NameArray(536, "a") + "}}";
  Run({{"types.json", types}, {"attrs.json", attrs535}});
  EXPECT_EQ(exitStatus, 0);
  EXPECT_EQ(Run({{"types.json", types}, {"attrs.json", attrs536}}),
            Passed("types.json") + Passed("attrs.json") +
                "[INFO][JsonParser][Validating whole json file]\n" +
                Error("[The number of types exceeds the maximum limit][max=65535]") +
                Error("[Validate whole json file failed]"));
  EXPECT_EQ(exitStatus, 255);
}

}  // namespace
