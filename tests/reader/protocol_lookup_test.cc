#include "reader/protocol_lookup.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <optional>
#include <string>
#include <vector>

namespace {

TEST(LookupProtocolTest, KnowsKeywordsAndAliasesExactly) {
  const struct {
    std::vector<const char*> names;
    std::optional<uint16_t> number;
  } rows[] = {
      {{"tcp", "TCP"}, 6},
      {{"udp", "UDP"}, 17},
      {{"icmp", "ICMP"}, 1},
      {{"ip", "IP", "hopopt"}, 0},
      {{"ipencap", "IP-ENCAP", "ipv4", "IPv4"}, 4},
      {{"ipv6-icmp", "IPv6-ICMP"}, 58},
      {{"esp", "IPSEC-ESP"}, 50},
      {{"ah"}, 51},
      {{"ospf", "OSPFIGP"}, 89},
      {{"ax.25"}, 93},
      {{"a/n"}, 107},
      {{"tp++"}, 39},
      {{"ipcomp", "IPComp", "IPCOMP"}, 108},
      {{"sctp"}, 132},
      {{"manet"}, 138},
      {{"nsh"}, 145},
      {{"mptcp"}, 262},
      {{"TTP", "IPTM"}, 84},
      {{"cbt", "CBT"}, 7},
      {{"AGGFRAG"}, 144},
      // Neither the registry nor the usual aliases spell these.
      {{"Tcp", "tCP", "tcp ", "", "tc", "tcpx", "ISIS over IPv4", "MANET", "unknown"},
       std::nullopt},
  };
  for (const auto& row : rows) {
    for (const char* name : row.names) {
      EXPECT_EQ(LookupBuiltinProtocol(name), row.number) << name;
      // The system database first, then the built-in table.
      const protoent* entry = getprotobyname(name);
      EXPECT_EQ(LookupProtocol(name),
                entry != nullptr ? std::optional<uint16_t>(entry->p_proto) : row.number)
          << name;
    }
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

// The system database comes first, and a wrong number in the built-in table
// shows wherever the machine has one.
TEST(LookupProtocolTest, AgreesWithTheSystemDatabase) {
  for (const auto& [name, number] : SystemProtocolNames()) {
    EXPECT_EQ(LookupProtocol(name.c_str()), std::optional<uint16_t>(number)) << name;
    const std::optional<uint16_t> builtin = LookupBuiltinProtocol(name);
    EXPECT_TRUE(!builtin.has_value() || *builtin == number) << name;
  }
}

}  // namespace
