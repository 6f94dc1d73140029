#include "reader/protocol_lookup.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <optional>
#include <string>
#include <vector>

namespace {

struct BuiltinRow {
  const char* name;
  std::optional<uint16_t> number;
};

TEST(LookupBuiltinProtocolTest, KnowsKeywordsAndAliasesExactly) {
  const BuiltinRow rows[] = {
      {"tcp", 6},
      {"TCP", 6},
      {"udp", 17},
      {"UDP", 17},
      {"icmp", 1},
      {"ICMP", 1},
      {"ip", 0},
      {"IP", 0},
      {"hopopt", 0},
      {"ipencap", 4},
      {"IP-ENCAP", 4},
      {"ipv4", 4},
      {"IPv4", 4},
      {"ipv6-icmp", 58},
      {"IPv6-ICMP", 58},
      {"esp", 50},
      {"IPSEC-ESP", 50},
      {"ah", 51},
      {"ospf", 89},
      {"OSPFIGP", 89},
      {"ax.25", 93},
      {"a/n", 107},
      {"tp++", 39},
      {"ipcomp", 108},
      {"IPComp", 108},
      {"IPCOMP", 108},
      {"sctp", 132},
      {"manet", 138},
      {"nsh", 145},
      {"mptcp", 262},
      {"TTP", 84},
      {"IPTM", 84},
      // Neither the registry nor the usual aliases spell these.
      {"Tcp", std::nullopt},
      {"tCP", std::nullopt},
      {"tcp ", std::nullopt},
      {"", std::nullopt},
      {"tc", std::nullopt},
      {"tcpx", std::nullopt},
      {"ISIS over IPv4", std::nullopt},
      {"MANET", std::nullopt},
      {"unknown", std::nullopt},
  };
  for (const BuiltinRow& row : rows) {
    EXPECT_EQ(LookupBuiltinProtocol(row.name), row.number) << row.name;
  }
}

// Every name the machine's database holds, with its number.
std::vector<std::pair<std::string, int>> SystemProtocolNames() {
  std::vector<std::pair<std::string, int>> names;
  setprotoent(0);
  while (const protoent* entry = getprotoent()) {
    names.emplace_back(entry->p_name, entry->p_proto);
    for (char** alias = entry->p_aliases; *alias != nullptr; ++alias) {
      names.emplace_back(*alias, entry->p_proto);
    }
  }
  endprotoent();
  return names;
}

// Catches a wrong number in the built-in table wherever the machine has one.
TEST(LookupBuiltinProtocolTest, AgreesWithTheSystemDatabase) {
  for (const auto& [name, number] : SystemProtocolNames()) {
    const std::optional<uint16_t> builtin = LookupBuiltinProtocol(name);
    if (builtin.has_value()) {
      EXPECT_EQ(*builtin, number) << name;
    }
  }
}

TEST(LookupProtocolTest, TakesTheSystemDatabaseFirst) {
  for (const auto& [name, number] : SystemProtocolNames()) {
    EXPECT_EQ(LookupProtocol(name.c_str()), std::optional<uint16_t>(number)) << name;
  }
}

TEST(LookupProtocolTest, FallsBackToTheBuiltinTable) {
  const char* names[] = {"tcp",  "udp", "icmp",    "cbt", "CBT",
                         "tp++", "nsh", "AGGFRAG", "Tcp", "no-such-protocol"};
  for (const char* name : names) {
    const protoent* entry = getprotobyname(name);
    const std::optional<uint16_t> expected =
        entry != nullptr ? std::optional<uint16_t>(entry->p_proto) : LookupBuiltinProtocol(name);
    EXPECT_EQ(LookupProtocol(name), expected) << name;
  }
  EXPECT_EQ(LookupProtocol("no-such-protocol"), std::nullopt);
}

}  // namespace
