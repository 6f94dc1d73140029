// The in-memory form of a policy: names and plain values, no numbers.
//
// The reader fills one PolicyModel per source file, checks it and merges it
// into the model of all files; the compiler works on a copy of that merged
// model. Every container is ordered and holds unique keys, so iteration,
// numbering and output follow key order, never source order. Strings order
// byte by byte as unsigned bytes, a proper prefix first ("B" < "a" < "a.b"),
// which is what std::string's own ordering does.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>

// Key of grantRules and transitionRules: fields compare in declaration order.
struct RuleKey {
  std::string subject;  // subject type or attribute
  std::string object;   // object type or attribute
  std::string cls;      // class name from the class table

  friend auto operator<=>(const RuleKey&, const RuleKey&) = default;
};

// Key of packets: fields compare in declaration order, each as an unsigned
// integer; keys with all nine fields equal are the same key.
struct PacketKey {
  uint16_t protocol = 0;            // IP protocol number
  uint32_t sourceAddress = 0;       // IPv4 address, host byte order
  uint32_t sourceMask = 0;          // prefix length 0..32, not a bit mask
  uint32_t destinationAddress = 0;  // IPv4 address, host byte order
  uint32_t destinationMask = 0;     // prefix length 0..32
  uint16_t sportStart = 0;          // first source port
  uint16_t sportEnd = 0;            // last source port, >= sportStart
  uint16_t dportStart = 0;          // first destination port
  uint16_t dportEnd = 0;            // last destination port, >= dportStart

  friend auto operator<=>(const PacketKey&, const PacketKey&) = default;
};

// Ordered containers of the model. The transparent comparator lets lookups
// take a std::string_view or a C string without building a std::string.
using NameSet = std::set<std::string, std::less<>>;
using NameMap = std::map<std::string, std::string, std::less<>>;
using TypeAttrMap = std::map<std::string, NameSet, std::less<>>;

// The ten containers, in the order in which merging and compiling walk them.
// Plain aggregate: copying copies every container deeply.
struct PolicyModel {
  NameSet types;            // declared type names
  NameSet attrs;            // declared attribute names
  NameSet requires_;        // names another file declares ("require"; `requires` is a keyword)
  TypeAttrMap typeAttrMap;  // name -> its attributes
  NameMap fileContexts;     // file path -> context
  NameMap initialSids;      // initial sid name -> context
  NameMap netifs;           // interface name -> context
  std::map<PacketKey, std::string> packets;        // packet key -> context
  std::map<RuleKey, NameSet> grantRules;           // rule key -> operation names
  std::map<RuleKey, std::string> transitionRules;  // rule key -> target name
};

// The initial sid table: the name at position p has the sid number p + 1
// (number 0 is not a sid).
inline constexpr std::array<std::string_view, 4> INITIAL_SID_NAMES = {"kernel", "varo", "unlabeled",
                                                                      "proc"};

// The sid number of `name` (1..4), or 0 when it is no initial sid name.
// Names compare exactly and case-sensitively.
inline uint32_t GetInitialSidNumber(std::string_view name) {
  for (uint32_t i = 0; i < INITIAL_SID_NAMES.size(); ++i) {
    if (INITIAL_SID_NAMES[i] == name) return i + 1;
  }
  return 0;
}
