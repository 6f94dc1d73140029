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

uint64_t CheckAssertion(const QueryPolicy& policy, const Assertion& assertion, size_t index,
                        std::ostream& out) {
  const auto keepObject = [&](uint32_t object) {
    return policy.Holds(object, assertion.object) &&
           !HoldsAny(policy, object, assertion.exceptObjects);
  };
  uint64_t violations = 0;
  for (const uint32_t subject : policy.SortedByName(policy.MembersOf(assertion.subject))) {
    if (HoldsAny(policy, subject, assertion.exceptSubjects)) continue;
    for (const Effect& effect : policy.Effects(subject, RULE_GRANT, keepObject)) {
      const uint32_t granted = effect.operations & assertion.operations;
      if (effect.tclass != assertion.tclass || granted == 0) continue;
      ++violations;
      out << "neverallow " << index << ": " << policy.Show(subject) << ' '
          << policy.Show(effect.object) << ' ' << GetClassName(effect.tclass) << ' '
          << OperationList(effect.tclass, granted) << '\n';
      for (const uint32_t rule : effect.rules) {
        if ((policy.RuleAt(rule).datum & granted) != 0) {
          out << '\t' << policy.RuleLine(rule) << '\n';
        }
      }
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
  uint64_t violations = 0;
  for (size_t index = 0; index < assertions.size(); ++index) {
    violations += CheckAssertion(policy, assertions[index], index, out);
  }
  return violations;
}
