// The in-memory form of a policy: names and plain values, no numbers.
//
// The reader fills one PolicyModel per source file, checks it and merges it
// into the model of all files, which it then hands to the compiler whole.
//
// Every text is interned in one of the model's NamePools and the containers
// hold pool ids; the per-file models of one run share the merged model's
// pools, so a file's ids are already the merged model's. File paths have a
// pool of their own: they are many and each is used once, and the names,
// used over and over, then stay in a pool small enough for the caches.
//
// The containers keep entries in the order they were added, not in key
// order: a million rules sort once, as integers, in the compiler, instead of
// being kept ordered by string comparisons on every insert of every file.
// Where key order is observable - the first failing entry a check reports,
// the numbering, the map file - the code takes the smallest entry by the
// byte order of its texts ("B" < "a" < "a.b"), the order in which the keys
// of ordered string containers would have come.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "reader/name_pool.h"

// Key of grantRules and transitionRules; its order is that of the texts of
// subject, object and cls, compared in this order (RuleKeyLess).
struct RuleKey {
  NameId subject;  // subject type or attribute
  NameId object;   // object type or attribute
  NameId cls;      // class text, a class of the class table once checked

  friend bool operator==(const RuleKey&, const RuleKey&) = default;
};

struct RuleKeyHash {
  size_t operator()(const RuleKey& key) const {
    const uint64_t mixed = (uint64_t{key.subject} << 32 | key.object) * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(mixed ^ (mixed >> 29) ^ (uint64_t{key.cls} * 0xC2B2AE3D27D4EB4Full));
  }
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

// A set of pool ids: membership by a bit per id, iteration in order of
// first insertion.
class NameIdSet {
 public:
  // True when `id` was not in the set yet.
  bool Insert(NameId id) {
    if (id >= members.size()) members.resize(id + 1);
    if (members[id]) return false;
    members[id] = true;
    ids.push_back(id);
    return true;
  }
  bool Contains(NameId id) const { return id < members.size() && members[id]; }
  size_t size() const { return ids.size(); }
  bool empty() const { return ids.empty(); }
  std::span<const NameId> Ids() const { return ids; }
  // Empties the set, keeping its storage: its bits span every id it met.
  void Clear() {
    for (const NameId id : ids) members[id] = false;
    ids.clear();
  }

 private:
  std::vector<NameId> ids;
  std::vector<bool> members;
};

// One attribute of a name ("typeattr").
struct TypeAttrLink {
  NameId name;
  NameId attr;
};

// "typeattr": the names that have an entry, and their attributes. A link may
// repeat; the attributes of a name are the set of its links' attrs.
struct TypeAttrMap {
  NameIdSet names;  // every name with an entry, even one with no attribute
  HugePageVector<TypeAttrLink> links;
};

// "file" labels: each path (an id of the paths pool) at most once, with its
// context (an id of the names pool), in order of first insertion.
//
// Whether a path has an entry is a bit per path id from the first id
// inserted on: a policy labels hundreds of thousands of paths, and a hashed
// map would cost an allocation and a cache miss per entry, once in the
// file's model and again in the merged one. A file's paths are new to the
// pool, so their ids follow the file's first one and its bits cover only
// them; an id below the first (a path an earlier file labeled, which the
// merge refuses) goes to a hashed set.
class FileContextMap {
 public:
  struct Entry {
    NameId path;
    NameId context;
  };
  // False, and nothing changed, when `path` has an entry already.
  bool Insert(NameId path, NameId context) {
    if (entries.empty()) firstPath = path;
    if (path < firstPath) {
      if (!earlierPaths.insert(path).second) return false;
    } else {
      const NameId bit = path - firstPath;
      if (bit >= hasPath.size()) hasPath.resize(bit + 1);
      if (hasPath[bit]) return false;
      hasPath[bit] = true;
    }
    entries.push_back({path, context});
    return true;
  }
  size_t size() const { return entries.size(); }
  bool empty() const { return entries.empty(); }
  HugePageVector<Entry>::const_iterator begin() const { return entries.begin(); }
  HugePageVector<Entry>::const_iterator end() const { return entries.end(); }
  // Empties the map, keeping its storage.
  void Clear() {
    for (const Entry& entry : entries) {
      if (entry.path >= firstPath) hasPath[entry.path - firstPath] = false;
    }
    entries.clear();
    earlierPaths.clear();
  }

 private:
  HugePageVector<Entry> entries;
  NameId firstPath = 0;                     // of the first entry
  std::vector<bool> hasPath;                // indexed by path id - firstPath
  std::unordered_set<NameId> earlierPaths;  // ids below firstPath
};

// A grant rule: the operation names become their bits in the rule's class
// as they are read, so a rule is a few integers. The same key may occur more
// than once; the rule's operations are the union of its entries'.
struct GrantRule {
  RuleKey key;
  uint32_t operations;  // OR of the operation bits; 0 while classIndex is 0
  uint16_t classIndex;  // of key.cls in the class table, 0 when it has none
};

// An operation name that a grant rule names but its (known) class lacks.
// Kept apart, with the text, so that the class check can report it.
struct UnknownOperation {
  RuleKey key;
  NameId operation;
};

// Ordered containers of text, for the small labeling maps.
using NameMap = std::map<std::string, std::string, std::less<>>;

// The ten containers, in the order in which merging and compiling walk them,
// and the pools their ids refer to. Copying copies the containers; the
// copies share the pools (see NamePool).
struct PolicyModel {
  NamePool names;               // every name and class text the id containers refer to
  NamePool paths;               // the file paths of fileContexts
  NameIdSet types;              // declared type names
  NameIdSet attrs;              // declared attribute names
  NameIdSet requires_;          // names another file declares ("require"; `requires` is a keyword)
  TypeAttrMap typeAttrMap;      // name -> its attributes
  FileContextMap fileContexts;  // file path -> context
  NameMap initialSids;          // initial sid name -> context
  NameMap netifs;               // interface name -> context
  std::map<PacketKey, std::string> packets;         // packet key -> context
  HugePageVector<GrantRule> grantRules;             // rule key -> operations
  std::vector<UnknownOperation> unknownOperations;  // of grantRules, for the class check
  std::unordered_map<RuleKey, NameId, RuleKeyHash> transitionRules;  // rule key -> target

  // Empties the containers but keeps their storage, and the pools: for the
  // model of file after file, which would otherwise clear bits over the
  // whole pool for each.
  void ClearEntries() {
    for (NameIdSet* set : {&types, &attrs, &requires_, &typeAttrMap.names}) set->Clear();
    typeAttrMap.links.clear();
    fileContexts.Clear();
    initialSids.clear();
    netifs.clear();
    packets.clear();
    grantRules.clear();
    unknownOperations.clear();
    transitionRules.clear();
  }
};

// True when `a` orders before `b` in the key order of rules: by the texts of
// subject, then object, then cls.
inline bool RuleKeyLess(const NamePool& names, const RuleKey& a, const RuleKey& b) {
  for (const auto field : {&RuleKey::subject, &RuleKey::object, &RuleKey::cls}) {
    if (a.*field != b.*field) return names.Less(a.*field, b.*field);
  }
  return false;
}

// The first, in a key order `less`, of the entries offered to it: a check
// that runs over entries in the order they were added reports the same
// entry as one that walks them in key order and stops at the first failure.
template <typename T, typename Less>
class FirstInKeyOrder {
 public:
  explicit FirstInKeyOrder(Less less) : less(less) {}
  void Offer(const T& entry) {
    if (!found || less(entry, first)) first = entry;
    found = true;
  }
  // The first entry offered, or null when none was.
  const T* Get() const { return found ? &first : nullptr; }

 private:
  Less less;
  T first{};
  bool found = false;
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
