// What the declarations (labeling included) and rules readers store in the
// model of one file.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "json/json.h"
#include "reader/json_parser.h"
#include "tests/support/model_text.h"

namespace {

using polc_test::ModelText;
using polc_test::TextRuleKey;
using polc_test::TextSet;

struct JsonTreeDeleter {
  void operator()(JsonValue* root) const { JsonDelete(root); }
};

// Reads the sections of the source text `text` into a fresh model, as the
// top-level dispatch does; fails the test when the text is not JSON.
ModelText Read(const std::string& text, int expectedResult = 0) {
  static constexpr JsonParser::KeyHandler kHandlers[] = {
      {"declarations", &JsonParser::ReadDeclarationsSection},
      {"rules", &JsonParser::ReadRulesSection},
  };
  JsonValue* root = nullptr;
  EXPECT_EQ(JsonParse(text.c_str(), &root), JSON_OK) << text;
  const std::unique_ptr<JsonValue, JsonTreeDeleter> tree(root);
  PolicyModel model;
  JsonParser parser;
  testing::internal::CaptureStdout();  // failures log; only the result matters here
  EXPECT_EQ(parser.DispatchObjectKeys(root, model, kHandlers), expectedResult) << text;
  testing::internal::GetCapturedStdout();
  return polc_test::ToText(model);
}

// Names stored once and in order, type attributes united under one key,
// and the four labeling maps.
TEST(SectionReadersTest, Declarations) {
  const ModelText model = Read(R"({"declarations": {
      "type": ["b", "B", "a.b", "a", "a"], "attr": "not an array", "require": ["b", "r"],
      "typeattr": {"t": ["y", "x"], "empty": [], "t": ["z", "x"]},
      "labeling": {
        "packet": [
          {"prot": "udp", "source": "10.0.0.1/8", "destination": "192.168.1.0/24",
           "sport": "00080", "dport": "1024-65535", "context": "dns_t"},
          {"context": "any_t", "dport": "0", "sport": "0-65535",
           "destination": "255.255.255.255/32", "source": "0.0.0.0/0", "prot": "tcp"}],
        "netif": [{"name": "eth0", "context": "net_t"}],
        "file": [{"path": "/etc", "context": "etc_t"}, {"path": "/bin", "context": "etc_t"}],
        "reserved_sid": [{"context": "kernel_t", "sid": "kernel"}]}}})");
  EXPECT_EQ(model.types, (TextSet{"B", "a", "a.b", "b"}));
  EXPECT_TRUE(model.attrs.empty());
  EXPECT_EQ(model.requires_, (TextSet{"b", "r"}));
  EXPECT_EQ(model.typeAttrMap,
            (std::map<std::string, TextSet>{{"empty", {}}, {"t", {"x", "y", "z"}}}));
  EXPECT_EQ(model.fileContexts, (NameMap{{"/bin", "etc_t"}, {"/etc", "etc_t"}}));
  EXPECT_EQ(model.initialSids, (NameMap{{"kernel", "kernel_t"}}));
  EXPECT_EQ(model.netifs, (NameMap{{"eth0", "net_t"}}));
  // Protocol, source address and mask, destination address and mask, sport and
  // dport ranges; the source 10.0.0.1/8 is kept as written, not masked.
  const PacketKey dns{17, 0x0A000001, 8, 0xC0A80100, 24, 80, 80, 1024, 65535};
  const PacketKey any{6, 0, 0, 0xFFFFFFFF, 32, 0, 65535, 0, 0};
  EXPECT_EQ(model.packets, (std::map<PacketKey, std::string>{{dns, "dns_t"}, {any, "any_t"}}));
  EXPECT_TRUE(model.grantRules.empty());
}

// Grant operations unite across entries and statements; transitions are
// read even when "teac" is no array.
TEST(SectionReadersTest, Rules) {
  const ModelText model = Read(R"({"rules": [
      {"subject": "s", "group": {"anything": [null]},
       "teac": [{"object": "o", "class": "file", "operation": ["read", "open"]},
                {"object": "o", "class": "dir", "operation": []}]},
      {"subject": "s", "teac": [{"operation": ["write", "read"], "class": "file", "object": "o"}]},
      {"subject": "only"},
      {"type_transition": [{"target": "t", "object": "o", "class": "file"},
                           {"object": "p", "class": "dir", "target": "u"}],
       "teac": {"object": "o"}, "subject": "s"}]})");
  const std::map<TextRuleKey, TextSet> grants = {
      {{"s", "o", "dir"}, {}},
      {{"s", "o", "file"}, {"open", "read", "write"}},
  };
  EXPECT_EQ(model.grantRules, grants);
  const std::map<TextRuleKey, std::string> transitions = {
      {{"s", "o", "file"}, "t"},
      {{"s", "p", "dir"}, "u"},
  };
  EXPECT_EQ(model.transitionRules, transitions);
  EXPECT_TRUE(model.types.empty());
}

TEST(SectionReadersTest, RulesThatAreNoArrayReadNothing) {
  for (const char* rules : {"{}", "\"rules\"", "[]", "7"}) {
    const ModelText model = Read(std::string(R"({"rules": )") + rules + "}");
    EXPECT_TRUE(model.grantRules.empty()) << rules;
    EXPECT_TRUE(model.transitionRules.empty()) << rules;
  }
}

}  // namespace
