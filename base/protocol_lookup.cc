#include "base/protocol_lookup.h"

#include <netdb.h>

#include <limits>

namespace {

struct ProtocolKeyword {
  std::string_view keyword;  // as written in the registry; also matches in lower case
  uint16_t number;           // IP protocol number
};

// The IANA registry of assigned internet protocol numbers (numbers without a
// keyword are left out), then the aliases of the usual Linux database that
// the registry does not spell that way.
constexpr ProtocolKeyword BUILTIN_PROTOCOLS[] = {
    {"HOPOPT", 0},
    {"ICMP", 1},
    {"IGMP", 2},
    {"GGP", 3},
    {"IPv4", 4},
    {"ST", 5},
    {"TCP", 6},
    {"CBT", 7},
    {"EGP", 8},
    {"IGP", 9},
    {"BBN-RCC-MON", 10},
    {"NVP-II", 11},
    {"PUP", 12},
    {"ARGUS", 13},
    {"EMCON", 14},
    {"XNET", 15},
    {"CHAOS", 16},
    {"UDP", 17},
    {"MUX", 18},
    {"DCN-MEAS", 19},
    {"HMP", 20},
    {"PRM", 21},
    {"XNS-IDP", 22},
    {"TRUNK-1", 23},
    {"TRUNK-2", 24},
    {"LEAF-1", 25},
    {"LEAF-2", 26},
    {"RDP", 27},
    {"IRTP", 28},
    {"ISO-TP4", 29},
    {"NETBLT", 30},
    {"MFE-NSP", 31},
    {"MERIT-INP", 32},
    {"DCCP", 33},
    {"3PC", 34},
    {"IDPR", 35},
    {"XTP", 36},
    {"DDP", 37},
    {"IDPR-CMTP", 38},
    {"TP++", 39},
    {"IL", 40},
    {"IPv6", 41},
    {"SDRP", 42},
    {"IPv6-Route", 43},
    {"IPv6-Frag", 44},
    {"IDRP", 45},
    {"RSVP", 46},
    {"GRE", 47},
    {"DSR", 48},
    {"BNA", 49},
    {"ESP", 50},
    {"AH", 51},
    {"I-NLSP", 52},
    {"SWIPE", 53},
    {"NARP", 54},
    {"Min-IPv4", 55},
    {"TLSP", 56},
    {"SKIP", 57},
    {"IPv6-ICMP", 58},
    {"IPv6-NoNxt", 59},
    {"IPv6-Opts", 60},
    {"CFTP", 62},
    {"SAT-EXPAK", 64},
    {"KRYPTOLAN", 65},
    {"RVD", 66},
    {"IPPC", 67},
    {"SAT-MON", 69},
    {"VISA", 70},
    {"IPCV", 71},
    {"CPNX", 72},
    {"CPHB", 73},
    {"WSN", 74},
    {"PVP", 75},
    {"BR-SAT-MON", 76},
    {"SUN-ND", 77},
    {"WB-MON", 78},
    {"WB-EXPAK", 79},
    {"ISO-IP", 80},
    {"VMTP", 81},
    {"SECURE-VMTP", 82},
    {"VINES", 83},
    {"TTP", 84},
    {"IPTM", 84},
    {"NSFNET-IGP", 85},
    {"DGP", 86},
    {"TCF", 87},
    {"EIGRP", 88},
    {"OSPFIGP", 89},
    {"Sprite-RPC", 90},
    {"LARP", 91},
    {"MTP", 92},
    {"AX.25", 93},
    {"IPIP", 94},
    {"MICP", 95},
    {"SCC-SP", 96},
    {"ETHERIP", 97},
    {"ENCAP", 98},
    {"GMTP", 100},
    {"IFMP", 101},
    {"PNNI", 102},
    {"PIM", 103},
    {"ARIS", 104},
    {"SCPS", 105},
    {"QNX", 106},
    {"A/N", 107},
    {"IPComp", 108},
    {"SNP", 109},
    {"Compaq-Peer", 110},
    {"IPX-in-IP", 111},
    {"VRRP", 112},
    {"PGM", 113},
    {"L2TP", 115},
    {"DDX", 116},
    {"IATP", 117},
    {"STP", 118},
    {"SRP", 119},
    {"UTI", 120},
    {"SMP", 121},
    {"SM", 122},
    {"PTP", 123},
    {"FIRE", 125},
    {"CRTP", 126},
    {"CRUDP", 127},
    {"SSCOPMCE", 128},
    {"IPLT", 129},
    {"SPS", 130},
    {"PIPE", 131},
    {"SCTP", 132},
    {"FC", 133},
    {"RSVP-E2E-IGNORE", 134},
    {"UDPLite", 136},
    {"MPLS-in-IP", 137},
    {"manet", 138},
    {"HIP", 139},
    {"Shim6", 140},
    {"WESP", 141},
    {"ROHC", 142},
    {"Ethernet", 143},
    {"AGGFRAG", 144},
    {"NSH", 145},
    // Aliases of the usual Linux database.
    {"IP", 0},
    {"ipencap", 4},
    {"IP-ENCAP", 4},
    {"IPSEC-ESP", 50},
    {"IPSEC-AH", 51},
    {"MOBILE", 55},
    {"RSPF", 73},
    {"ospf", 89},
    {"IPCOMP", 108},
    {"ISIS", 124},             // registered as "ISIS over IPv4"
    {"Mobility-Header", 135},  // registered as "Mobility Header"
    {"MPTCP", 262},            // Linux's own number, not a registry entry
};

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// True when `name` is `keyword` as written or entirely in lower case.
bool MatchesKeyword(std::string_view name, std::string_view keyword) {
  if (name == keyword) {
    return true;
  }
  if (name.size() != keyword.size()) {
    return false;
  }
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] != AsciiLower(keyword[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<uint16_t> LookupBuiltinProtocol(std::string_view name) {
  for (const ProtocolKeyword& entry : BUILTIN_PROTOCOLS) {
    if (MatchesKeyword(name, entry.keyword)) {
      return entry.number;
    }
  }
  return std::nullopt;
}

std::optional<std::string_view> BuiltinProtocolKeyword(uint16_t number) {
  for (const ProtocolKeyword& entry : BUILTIN_PROTOCOLS) {
    if (entry.number == number) {
      return entry.keyword;
    }
  }
  return std::nullopt;
}

std::optional<uint16_t> LookupProtocol(const char* name) {
  const protoent* entry = getprotobyname(name);
  if (entry == nullptr) {
    return LookupBuiltinProtocol(name);
  }
  // A database line may carry any int; a negative number is as unusable as
  // one above 16 bits.
  if (entry->p_proto < 0 || entry->p_proto > std::numeric_limits<uint16_t>::max()) {
    return std::nullopt;
  }
  return static_cast<uint16_t>(entry->p_proto);
}
