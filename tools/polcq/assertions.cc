#include "tools/polcq/assertions.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <optional>
#include <string_view>

#include "base/class_table.h"
#include "reader/json_access.h"
#include "reader/source_loader.h"
#include "ruledb/rule_data_base.h"

namespace {

constexpr std::array<std::string_view, 6> KEYS = {"subject",   "object",         "class",
                                                  "operation", "except_subject", "except_object"};
enum Key { SUBJECT, OBJECT, CLASS, OPERATION, EXCEPT_SUBJECT, EXCEPT_OBJECT };

std::string Quoted(const char* text) {
  std::string quoted = Printable(text);
  return quoted.insert(0, 1, '"') += '"';
}

// The members of an assertion object by key; an error for an unknown or
// repeated key, or a missing required one.
std::string MembersByKey(JsonValue* entry, std::array<JsonValue*, KEYS.size()>& members) {
  members.fill(nullptr);
  JsonValue* member = nullptr;
  if (JsonGetKind(entry) != JSON_OBJECT || JsonGetFirstChild(entry, &member) != JSON_OK) {
    return "not an object with members";
  }
  for (; member != nullptr; member = NextMember(member)) {
    const auto found = std::find(KEYS.begin(), KEYS.end(), MemberKey(member));
    if (found == KEYS.end()) return "unknown key " + Quoted(MemberKey(member));
    JsonValue*& slot = members[static_cast<size_t>(found - KEYS.begin())];
    if (slot != nullptr) return "repeated key " + Quoted(MemberKey(member));
    slot = member;
  }
  for (const Key required : {SUBJECT, OBJECT, CLASS, OPERATION}) {
    if (members[required] == nullptr) return "no \"" + std::string(KEYS[required]) + "\"";
  }
  return "";
}

std::string NameValue(const QueryPolicy& policy, const char* name, uint32_t& value) {
  const std::optional<uint32_t> found = policy.Value(name);
  if (!found) return "no type or attribute is named " + Quoted(name);
  value = *found;
  return "";
}

std::string ReadName(const QueryPolicy& policy, JsonValue* member, Key key, uint32_t& value) {
  const char* text = nullptr;
  if (!GetString(member, &text)) return Quoted(KEYS[key].data()) + " is not a string";
  return NameValue(policy, text, value);
}

// The strings of the array `member`, each checked by `use`.
template <typename Use>
std::string ReadStrings(JsonValue* member, Key key, Use use) {
  if (member == nullptr) return "";
  const std::string what = Quoted(KEYS[key].data());
  if (AsArray(member) == nullptr) return what + " is not an array";
  std::string error;
  const std::optional<uint32_t> bad = ForEachArrayString(member, [&](const char* text) {
    if (error.empty()) error = use(text);
  });
  if (bad) return what + " holds a value that is not a string";
  return error;
}

std::string ReadAssertion(const QueryPolicy& policy, JsonValue* entry, Assertion& assertion) {
  std::array<JsonValue*, KEYS.size()> members;
  std::string error = MembersByKey(entry, members);
  if (error.empty()) error = ReadName(policy, members[SUBJECT], SUBJECT, assertion.subject);
  if (error.empty()) error = ReadName(policy, members[OBJECT], OBJECT, assertion.object);
  const char* tclass = nullptr;
  if (error.empty() && !GetString(members[CLASS], &tclass)) error = "\"class\" is not a string";
  if (error.empty()) {
    assertion.tclass = GetClassIndex(tclass);
    if (assertion.tclass == 0) error = "no class is named " + Quoted(tclass);
  }
  if (!error.empty()) return error;
  assertion.operations = 0;
  error = ReadStrings(members[OPERATION], OPERATION, [&](const char* operation) -> std::string {
    const uint32_t bit = GetOperationBit(assertion.tclass, operation);
    assertion.operations |= bit;
    return bit != 0 ? ""
                    : "class " + std::string(tclass) + " has no operation " + Quoted(operation);
  });
  if (error.empty() && assertion.operations == 0) error = "\"operation\" is empty";
  for (const Key key : {EXCEPT_SUBJECT, EXCEPT_OBJECT}) {
    if (!error.empty()) break;
    std::vector<uint32_t>* values =
        key == EXCEPT_SUBJECT ? &assertion.exceptSubjects : &assertion.exceptObjects;
    error = ReadStrings(members[key], key, [&](const char* name) {
      uint32_t value = 0;
      const std::string nameError = NameValue(policy, name, value);
      values->push_back(value);
      return nameError;
    });
  }
  return error;
}

bool HoldsAny(const QueryPolicy& policy, uint32_t value, const std::vector<uint32_t>& attributes) {
  return std::any_of(attributes.begin(), attributes.end(),
                     [&](uint32_t attribute) { return policy.Holds(value, attribute); });
}

// By value: whether the name is a member of `name` holding none of `except`.
std::vector<bool> Covered(const QueryPolicy& policy, uint32_t name,
                          const std::vector<uint32_t>& except) {
  std::vector<bool> covered(policy.NameCount());
  for (const uint32_t member : policy.MembersOf(name)) {
    covered[member] = !HoldsAny(policy, member, except);
  }
  return covered;
}

// One rule applied to a pair the assertion covers: a violation line is a
// run of these with the same subject and object.
struct Hit {
  uint32_t subjectRank;
  uint32_t objectRank;
  uint32_t place;
  auto operator<=>(const Hit&) const = default;
};

// Only the stored rules of the assertion's class that grant one of its
// operations can violate it, and only on the pairs it covers: those are
// expanded, never the whole access of every subject. `grants` holds the
// places of the grant rules of the assertion's class.
std::vector<Hit> Hits(const QueryPolicy& policy, const std::vector<uint32_t>& grants,
                      const Assertion& assertion) {
  const std::vector<bool> subjects = Covered(policy, assertion.subject, assertion.exceptSubjects);
  const std::vector<bool> objects = Covered(policy, assertion.object, assertion.exceptObjects);
  const auto coveredMembers = [&policy](uint32_t name, const std::vector<bool>& covered) {
    std::vector<uint32_t> kept;
    for (const uint32_t member : policy.MembersOf(name)) {
      if (covered[member]) kept.push_back(policy.Rank(member));
    }
    return kept;
  };
  std::vector<Hit> hits;
  for (const uint32_t place : grants) {
    const RuleRecord& rule = policy.RuleAt(place);
    if ((rule.datum & assertion.operations) == 0) continue;
    const std::vector<uint32_t> subjectRanks = coveredMembers(rule.key.source, subjects);
    if (subjectRanks.empty()) continue;
    for (const uint32_t objectRank : coveredMembers(rule.key.target, objects)) {
      for (const uint32_t subjectRank : subjectRanks)
        hits.push_back({subjectRank, objectRank, place});
    }
  }
  std::sort(hits.begin(), hits.end());
  return hits;
}

uint64_t CheckAssertion(const QueryPolicy& policy, const std::vector<uint32_t>& grants,
                        const Assertion& assertion, size_t index, std::ostream& out) {
  const std::vector<Hit> hits = Hits(policy, grants, assertion);
  const std::vector<uint32_t>& byName = policy.ByName();
  uint64_t violations = 0;
  for (size_t first = 0, next = 0; first < hits.size(); first = next) {
    uint32_t granted = 0;
    for (next = first; next < hits.size() && hits[next].subjectRank == hits[first].subjectRank &&
                       hits[next].objectRank == hits[first].objectRank;
         ++next) {
      granted |= policy.RuleAt(hits[next].place).datum & assertion.operations;
    }
    ++violations;
    out << "neverallow " << index << ": " << policy.Show(byName[hits[first].subjectRank]) << ' '
        << policy.Show(byName[hits[first].objectRank]) << ' ' << GetClassName(assertion.tclass)
        << ' ' << OperationList(assertion.tclass, granted) << '\n';
    for (size_t hit = first; hit < next; ++hit) {
      out << '\t' << policy.RuleLine(hits[hit].place) << '\n';
    }
  }
  return violations;
}

}  // namespace

std::string LoadAssertions(const std::string& path, const QueryPolicy& policy,
                           std::vector<Assertion>& assertions) {
  const LoadedSource source = LoadSource(path);
  if (source.status == LoadedSource::Status::READ_FAILED) return "cannot read the file";
  if (source.status == LoadedSource::Status::INVALID_JSON) return "not valid JSON";
  JsonValue* list = nullptr;
  JsonValue* first = nullptr;
  if (JsonGetKind(source.tree.get()) != JSON_OBJECT ||
      JsonGetFirstChild(source.tree.get(), &first) != JSON_OK ||
      std::string_view(MemberKey(first)) != "neverallow" || NextMember(first) != nullptr ||
      (list = AsArray(first)) == nullptr) {
    return "expected an object whose one member is the \"neverallow\" array";
  }
  for (uint32_t index = 0; index < JsonGetArraySize(list); ++index) {
    Assertion assertion{};
    const std::string error = ReadAssertion(policy, ArrayItem(list, index), assertion);
    if (!error.empty()) return "neverallow " + std::to_string(index) + ": " + error;
    assertions.push_back(std::move(assertion));
  }
  return "";
}

uint64_t CheckAssertions(const QueryPolicy& policy, const std::vector<Assertion>& assertions,
                         std::ostream& out) {
  const std::vector<std::vector<uint32_t>> grantsByClass = policy.GrantsByClass();
  uint64_t violations = 0;
  for (size_t index = 0; index < assertions.size(); ++index) {
    const Assertion& assertion = assertions[index];
    violations += CheckAssertion(policy, grantsByClass[assertion.tclass], assertion, index, out);
  }
  return violations;
}
