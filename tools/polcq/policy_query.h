// The meaning of a compiled policy, as polcq reads it.
//
// Every type and attribute has an attribute set: the names the type-attribute
// array lists for it, and the name itself. A rule (S, O, class, ...) applies
// to every pair of names (s, o) whose sets hold S and O. The effective
// operations of (s, o, class) are the union of the operations of every grant
// rule that applies; the effective target of a transition is the target of
// every transition rule that applies, and two different targets are a
// conflict. The enforcement side is not part of this system: this is the
// meaning polcq assumes.
//
// A QueryPolicy is loaded from a binary through the reader polcdump uses too
// (tools/image), and then checked further: every value names a symbol,
// every class is in the class table, every operation bit belongs to its
// class. A crafted image that
// fails a check is refused as a whole.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tools/image/policy_image.h"
#include "tools/image/policy_text.h"

// What applies to one (subject, object, class): the union of the rules'
// operations (grants) or the set of targets (transitions), and the places of
// those rules in name order (QueryPolicy::RuleLine).
struct Effect {
  uint32_t object;
  uint16_t tclass;
  uint32_t operations = 0;        // grants
  std::vector<uint32_t> targets;  // transitions: distinct target values, in name order
  std::vector<uint32_t> rules;    // places in name order, ascending
};

class QueryPolicy {
 public:
  QueryPolicy() = default;
  // Holds pointers into its own image.
  QueryPolicy(const QueryPolicy&) = delete;
  QueryPolicy& operator=(const QueryPolicy&) = delete;

  // Loads the binary at `path`: an empty string, or why it cannot be used.
  std::string Load(const std::string& path);
  // Takes an image read by ReadPolicyImage: the same, without the file.
  std::string Adopt(PolicyImage read);

  // The image read, its rules in name order (see RuleAt).
  const PolicyImage& Image() const { return image; }
  uint32_t NameCount() const { return static_cast<uint32_t>(names.size()); }
  const std::string& Name(uint32_t value) const { return names[value]; }
  // The name of `value` as polcdump shows it (control bytes escaped).
  const std::string& Show(uint32_t value) const { return shown[value]; }
  std::optional<uint32_t> Value(const std::string& name) const;
  // The attribute set of `value`, ascending; it holds `value`.
  const std::vector<uint32_t>& AttributesOf(uint32_t value) const { return attributes[value]; }
  // The names whose attribute set holds `value`, ascending.
  const std::vector<uint32_t>& MembersOf(uint32_t value) const { return members[value]; }
  // The values in the order of their names.
  const std::vector<uint32_t>& ByName() const { return byName; }
  // The place of `value` in ByName.
  uint32_t Rank(uint32_t value) const { return rank[value]; }
  // Whether the attribute set of `value` holds `attribute`.
  bool Holds(uint32_t value, uint32_t attribute) const {
    return std::binary_search(attributes[value].begin(), attributes[value].end(), attribute);
  }
  // `values` in the order of their names.
  std::vector<uint32_t> SortedByName(std::vector<uint32_t> values) const;

  // What the grant rules (RULE_GRANT) or the transition rules
  // (RULE_TRANSITION) give `subject`, one Effect per (object, class) that
  // `keepObject` keeps, sorted by object name, then class name. Without
  // `withRules`, the effects list no rules.
  std::vector<Effect> Effects(uint32_t subject, uint16_t kind,
                              const std::function<bool(uint32_t object)>& keepObject,
                              bool withRules = true) const;
  // Appends what Effects gives for `object` alone, with the rules only when
  // asked; the cost grows with the two attribute sets, not with the policy.
  void EffectsOn(uint32_t subject, uint32_t object, uint16_t kind, std::vector<Effect>& effects,
                 bool withRules = false) const;
  // How many (rule, object) pairs Effects visits for `subject`.
  uint64_t ExpansionSize(uint32_t subject) const;

  // Rules are known by their place in the order of subject, object and
  // class name, then kind.
  uint32_t RuleCount() const { return static_cast<uint32_t>(image.rules.size()); }
  const RuleRecord& RuleAt(uint32_t place) const { return image.rules[place]; }
  // The rule at `place` as polcdump lists it.
  std::string RuleLine(uint32_t place) const;
  // By class (1 to CLASS_COUNT): the places of its grant rules, ascending.
  // Made on each call, for the commands that look at a few classes only.
  std::vector<std::vector<uint32_t>> GrantsByClass() const;

 private:
  struct Hit;
  void SortByRank(std::vector<uint32_t>& values) const;
  std::string Check() const;
  void Index();
  void IndexRules();
  // The rules of `subject` in name order, as places.
  std::pair<uint32_t, uint32_t> RulesOf(uint32_t subject) const {
    return {firstRule[rank[subject]], firstRule[rank[subject] + 1]};
  }
  // Appends one effect per object and class of `hits`.
  void GroupHits(std::vector<Hit>& hits, uint16_t kind, bool withRules,
                 std::vector<Effect>& effects) const;

  PolicyImage image;
  std::vector<std::string> names;  // by value
  ShownNames shown;                // by value: the names as Printable shows them
  std::unordered_map<std::string, uint32_t> values;
  std::vector<std::vector<uint32_t>> attributes;  // by value
  std::vector<std::vector<uint32_t>> members;     // by value
  std::vector<uint32_t> targetRanks;              // by place: the rank of the rule's object
  std::vector<uint32_t> firstRule;                // by rank, and one more: where its rules start
  std::vector<uint64_t> expansion;  // by value: (rule, object) pairs of the rules it is subject of
  std::vector<uint32_t> byName;
  std::vector<uint32_t> rank;              // by value: its place in byName
  std::optional<SymbolNames> symbolNames;  // of `image`, once it is loaded
};

// The operation names of `bits` in class `tclass`, in bit order.
std::string OperationList(uint16_t tclass, uint32_t bits);
