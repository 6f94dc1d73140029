#include "tools/policy_text.h"

#include <gtest/gtest.h>

#include "reader/protocol_lookup.h"

namespace {

// Every protocol polc's lookup knows must get a name that maps back to it,
// whether the system's database or only polc's own table knows it; numbers
// without a keyword have none.
TEST(ProtocolName, NamesMapBackToTheirNumbers) {
  for (const uint16_t protocol : {0, 1, 6, 13, 17, 58, 132, 145}) {
    const std::optional<std::string> name = ProtocolName(protocol);
    ASSERT_TRUE(name.has_value()) << protocol;
    EXPECT_EQ(LookupProtocol(name->c_str()), protocol) << *name;
  }
  for (const uint16_t protocol : {253, 254, 1000, 65535}) {
    EXPECT_FALSE(ProtocolName(protocol).has_value()) << protocol;
  }
}

}  // namespace
