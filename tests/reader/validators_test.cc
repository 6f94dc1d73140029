#include "reader/validators.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/model_text.h"
#include "tests/support/polc_test.h"

namespace {

// The checks with a fresh verdict cache, as for the first file of a run.
int CheckDeclaredNames(const PolicyModel& model) {
  NameForms forms;
  return ::CheckDeclaredNames(model, forms);
}

int CheckContextReferences(const PolicyModel& model) {
  NameForms forms;
  return ::CheckContextReferences(model, forms);
}

using polc_test::CaptureLog;
using polc_test::EntryOrder;
using polc_test::FromText;
using polc_test::ModelText;
using polc_test::TextSet;

// Both orders of adding a model's entries, for the checks that must report
// the first failure in key order either way.
constexpr EntryOrder kBothOrders[] = {EntryOrder::kKeyOrder, EntryOrder::kReversed};

std::string Repeat(char c, size_t count) { return std::string(count, c); }

struct NameCase {
  std::string name;
  bool valid;
  std::string log;  // expected log, time stamps removed
};

TEST(ValidatorsTest, ContextNames) {
  const std::vector<NameCase> cases = {
      {"a", true, ""},
      {Repeat('a', 16000), true, ""},
      {"", false, ""},
      {Repeat('a', 16001), false, ""},
      {"a b", false, "[ERROR][JsonParser][Invalid context][context=a b]\n"},
      {"caf\xC3\xA9", false, "[ERROR][JsonParser][Invalid context][context=caf\xC3\xA9]\n"},
      {"a\tb\x1B", false, "[ERROR][JsonParser][Invalid context][context=a*b*]\n"},
  };
  for (const NameCase& c : cases) {
    bool valid = !c.valid;
    EXPECT_EQ(CaptureLog([&] { valid = IsValidContextName(c.name); }), c.log) << c.name.size();
    EXPECT_EQ(valid, c.valid) << c.name.substr(0, 20);
  }
}

TEST(ValidatorsTest, ContextDefinedInTheFile) {
  ModelText text;
  text.types = {"t"};
  text.attrs = {"a"};
  text.requires_ = {"r"};
  // Names the pool holds without defining them.
  text.fileContexts = {{"/x", "x"}};
  const PolicyModel model = FromText(text);
  const std::vector<NameCase> cases = {
      {"t", true, ""},
      {"a", true, ""},
      {"r", true, ""},
      {"x", false, "[ERROR][JsonParser][Undefined context][context=x]\n"},
      {"T", false, "[ERROR][JsonParser][Undefined context][context=T]\n"},
      {"t ", false, "[ERROR][JsonParser][Invalid context][context=t ]\n"},
      {"", false, ""},
  };
  for (const NameCase& c : cases) {
    bool defined = !c.valid;
    EXPECT_EQ(CaptureLog([&] { defined = CheckContextDefined(model, c.name); }), c.log);
    EXPECT_EQ(defined, c.valid) << c.name;
  }
}

TEST(ValidatorsTest, DeclaredNamesAreCheckedTypesThenAttrsThenRequires) {
  for (const EntryOrder order : kBothOrders) {
    ModelText text;
    text.types = {"good", "z z"};
    text.attrs = {"b b"};
    text.requires_ = {"a a"};
    const char* reported[] = {"z z", "b b", "a a"};  // one of each set in turn
    TextSet* sets[] = {&text.types, &text.attrs, &text.requires_};
    for (int i = 0; i < 3; ++i) {
      int result = 0;
      EXPECT_EQ(CaptureLog([&] { result = CheckDeclaredNames(FromText(text, order)); }),
                "[ERROR][JsonParser][Invalid context][context=" + std::string(reported[i]) + "]\n");
      EXPECT_EQ(result, -1);
      sets[i]->erase(reported[i]);
    }
    EXPECT_EQ(CaptureLog([&] { EXPECT_EQ(CheckDeclaredNames(FromText(text, order)), 0); }), "");
  }
}

// A model whose every reference is to an undefined name u<N>, N following
// the order in which the references are checked.
ModelText ModelWithUndefinedReferences() {
  ModelText model;
  model.types = {"t"};
  model.typeAttrMap = {{"t", {"t"}}, {"u00", {"u01"}}};
  model.fileContexts = {{"/f", "u02"}};
  model.initialSids = {{"kernel", "u03"}};
  model.netifs = {{"eth0", "u04"}};
  model.packets = {{PacketKey{}, "u05"}};
  model.grantRules = {{{"u06", "u07", "file"}, {}}};
  model.transitionRules = {{{"u08", "u09", "file"}, "u10"}};
  return model;
}

TEST(ValidatorsTest, ContextReferencesAreCheckedInOrder) {
  for (const EntryOrder order : kBothOrders) {
    ModelText text = ModelWithUndefinedReferences();
    for (int n = 0; n <= 10; ++n) {
      const std::string name = (n < 10 ? "u0" : "u") + std::to_string(n);
      int result = 0;
      EXPECT_EQ(CaptureLog([&] { result = CheckContextReferences(FromText(text, order)); }),
                "[ERROR][JsonParser][Undefined context][context=" + name + "]\n");
      EXPECT_EQ(result, -1);
      text.requires_.insert(name);
    }
    int result = -1;
    EXPECT_EQ(CaptureLog([&] { result = CheckContextReferences(FromText(text, order)); }), "");
    EXPECT_EQ(result, 0);
  }
}

TEST(ValidatorsTest, ClassesAndInterfaceNamesAreNoReferences) {
  ModelText model;
  model.attrs = {"a"};
  model.netifs = {{"not a name", "a"}};
  model.grantRules = {{{"a", "a", "no class"}, {"no operation"}}, {{"a", "a", "file"}, {"no op"}}};
  model.transitionRules = {{{"a", "a", "no class"}, "a"}};
  EXPECT_EQ(CheckContextReferences(FromText(model)), 0);
}

struct PathCase {
  std::string path;
  std::string log;  // empty: accepted
};

TEST(ValidatorsTest, FilePaths) {
  const std::string longPath = "/" + Repeat('p', 4095);
  const std::vector<PathCase> cases = {
      {"/etc/passwd", ""},
      {"proc:/self", ""},
      {longPath, ""},
      {longPath + "p", "[ERROR][JsonParser][Exceed the maximum path length limit][path=" +
                           longPath + "p, max=4096]\n"},
      {"\t" + longPath, "[ERROR][JsonParser][Exceed the maximum path length limit][path=*" +
                            longPath + ", max=4096]\n"},
      {"etc/passwd", "[ERROR][JsonParser][The path must start with a slash][path=etc/passwd]\n"},
      {"", "[ERROR][JsonParser][The path must start with a slash][path=]\n"},
      {"/tmp/a;b",
       "[ERROR][JsonParser][The path is at risk of command injection][path=/tmp/a;b]\n"},
      {"x\n/y", "[ERROR][JsonParser][The path is at risk of command injection][path=x*/y]\n"},
      {"/\x7F", "[ERROR][JsonParser][The path is at risk of command injection][path=/*]\n"},
  };
  for (const PathCase& c : cases) {
    ModelText model;
    model.fileContexts = {{c.path, "t"}};
    int result = 1;
    EXPECT_EQ(CaptureLog([&] { result = CheckFilePaths(FromText(model)); }), c.log)
        << c.path.size();
    EXPECT_EQ(result, c.log.empty() ? 0 : -1) << c.path.size();
  }
}

TEST(ValidatorsTest, FilePathsStopAtTheFirstBadPathInOrder) {
  ModelText model;
  model.fileContexts = {{"/ok", "t"}, {"b", "t"}, {"a", "t"}};
  for (const EntryOrder order : kBothOrders) {
    EXPECT_EQ(CaptureLog([&] { CheckFilePaths(FromText(model, order)); }),
              "[ERROR][JsonParser][The path must start with a slash][path=a]\n");
  }
}

// A text, the two fields it gives, and the log of a refusal (empty when it
// is accepted). A refusal leaves the output as it was.
struct ParseCase {
  std::string text;
  std::pair<uint32_t, uint32_t> fields;  // of an accepted text
  std::string log;
};

template <typename Out>
void ExpectParses(int (*parse)(std::string_view, Out&), const Out& junk,
                  const std::vector<ParseCase>& cases) {
  const auto [junkFirst, junkSecond] = junk;
  for (const ParseCase& c : cases) {
    Out out = junk;
    int result = 1;
    EXPECT_EQ(CaptureLog([&] { result = parse(c.text, out); }), c.log);
    EXPECT_EQ(result, c.log.empty() ? 0 : -1) << c.text;
    const auto [first, second] = out;
    EXPECT_EQ(std::make_pair(uint32_t{first}, uint32_t{second}),
              c.log.empty() ? c.fields : std::make_pair(uint32_t{junkFirst}, uint32_t{junkSecond}))
        << c.text;
  }
}

TEST(ValidatorsTest, AddressPrefixes) {
  const auto invalid = [](const std::string& text, const std::string& shown) {
    return ParseCase{text, {}, "[ERROR][JsonParser][Invalid address][address=" + shown + "]\n"};
  };
  ExpectParses<AddressPrefix>(ParseAddressPrefix, {0xDEADBEEF, 99},
                              {
                                  {"10.0.0.0/8", {0x0A000000, 8}, ""},
                                  {"0.0.0.0/0", {0, 0}, ""},
                                  {"192.168.1.0/24", {0xC0A80100, 24}, ""},
                                  {"10.0.0.1/8", {0x0A000001, 8}, ""},
                                  {"255.255.255.255/32", {0xFFFFFFFF, 32}, ""},
                                  invalid("10.0.0.1", "10.0.0.1"),
                                  invalid("", ""),
                                  invalid("1.2.3.4/\x01", "1.2.3.4/*"),
                              });
}

TEST(ValidatorsTest, PortRanges) {
  const auto invalid = [](const std::string& text, const std::string& shown) {
    return ParseCase{text, {}, "[ERROR][JsonParser][Invalid port range][" + shown + "]\n"};
  };
  ExpectParses<PortRange>(ParsePortRange, {4321, 1234},
                          {
                              {"80", {80, 80}, ""},
                              {"0", {0, 0}, ""},
                              {"1024-65535", {1024, 65535}, ""},
                              {"00080", {80, 80}, ""},
                              {"7-7", {7, 7}, ""},
                              invalid("65536", "start=65536, end=65536"),
                              invalid("200-100", "start=200, end=100"),
                              invalid("1-65536", "start=1, end=65536"),
                              invalid("80-", "range=80-"),
                              invalid("", "range="),
                          });
}

}  // namespace
