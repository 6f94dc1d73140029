// What the labeling readers put into the model of one file.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "json/json.h"
#include "reader/json_parser.h"

namespace {

struct JsonDeleter {
  void operator()(JsonValue* value) const { JsonDelete(value); }
};
using JsonRoot = std::unique_ptr<JsonValue, JsonDeleter>;

JsonRoot Parse(const char* text) {
  JsonValue* root = nullptr;
  EXPECT_EQ(JsonParse(text, &root), JSON_OK) << text;
  return JsonRoot(root);
}

TEST(ReadLabelingSectionTest, FillsTheFourMaps) {
  const JsonRoot labeling = Parse(R"({
      "packet": [
        {"prot": "udp", "source": "10.0.0.1/8", "destination": "192.168.1.0/24",
         "sport": "00080", "dport": "1024-65535", "context": "dns_t"},
        {"context": "any_t", "dport": "0", "sport": "0-65535", "destination": "255.255.255.255/32",
         "source": "0.0.0.0/0", "prot": "tcp"}],
      "netif": [{"name": "eth0", "context": "net_t"}],
      "file": [{"path": "/etc", "context": "etc_t"}, {"path": "/bin", "context": "etc_t"}],
      "reserved_sid": [{"context": "kernel_t", "sid": "kernel"}]})");
  JsonParser parser;
  PolicyModel model;
  ASSERT_EQ(parser.ReadLabelingSection(labeling.get(), model), 0);

  EXPECT_EQ(model.fileContexts, (NameMap{{"/bin", "etc_t"}, {"/etc", "etc_t"}}));
  EXPECT_EQ(model.initialSids, (NameMap{{"kernel", "kernel_t"}}));
  EXPECT_EQ(model.netifs, (NameMap{{"eth0", "net_t"}}));
  const PacketKey dns{.protocol = 17,
                      .sourceAddress = 0x0A000001,  // kept as written, not masked
                      .sourceMask = 8,
                      .destinationAddress = 0xC0A80100,
                      .destinationMask = 24,
                      .sportStart = 80,
                      .sportEnd = 80,
                      .dportStart = 1024,
                      .dportEnd = 65535};
  const PacketKey any{
      .protocol = 6, .destinationAddress = 0xFFFFFFFF, .destinationMask = 32, .sportEnd = 65535};
  EXPECT_EQ(model.packets, (std::map<PacketKey, std::string>{{dns, "dns_t"}, {any, "any_t"}}));
  EXPECT_TRUE(model.types.empty());
  EXPECT_TRUE(model.grantRules.empty());
}

}  // namespace
