// The "rules" section of one source file. It is first digested, read as far
// as it can be without the name pool: the texts each rule names, hashed, in
// the order the pool is to take them, and the rules as positions in that
// list. Then the texts are interned and the rules stored.
//
// Reading a million rules is mostly walking the JSON tree, checking its
// shape and looking classes and operations up. Done apart from the pool, the
// texts can then be interned in one batch (NamePool::InternAll), whose
// lookups overlap their waits for memory.
//
// A digest stops where the reading would fail and keeps the lines it logged
// then; they are written when the reader reaches the failure in its turn,
// after any failure that storing the entries before it finds.
#include <array>
#include <cstdint>
#include <iterator>
#include <utility>
#include <vector>

#include "base/class_table.h"
#include "base/log.h"
#include "json/json.h"
#include "reader/duplicate_messages.h"
#include "reader/json_access.h"
#include "reader/name_pool.h"
#include "reader/section_readers.h"

namespace {

// A grant entry; the fields are positions in RulesDigest::texts.
struct DigestedGrant {
  uint32_t subject;
  uint32_t object;
  uint32_t cls;
  uint32_t operations;  // as GrantRule::operations
  uint16_t classIndex;  // as GrantRule::classIndex
};

// An operation that the (known) class of grants[grant] lacks.
struct DigestedUnknownOperation {
  uint32_t grant;      // position in RulesDigest::grants
  uint32_t operation;  // position in RulesDigest::texts
};

// A transition entry; the fields are positions in RulesDigest::texts.
struct DigestedTransition {
  uint32_t subject;
  uint32_t object;
  uint32_t cls;
  uint32_t target;
};

struct RulesDigest {
  // Every name the rules give, in reading order: a statement's subject, then
  // each grant entry's object, class and unknown operations, then each
  // transition entry's object, class and target. Interning them in this
  // order gives each text the id that reading rule by rule would.
  std::vector<HashedText> texts;
  std::vector<DigestedGrant> grants;  // in reading order
  std::vector<DigestedUnknownOperation> unknownOperations;
  std::vector<DigestedTransition> transitions;  // in reading order
  // The reading fails after the entries above; `log` holds its lines.
  bool failed = false;
  std::vector<HeldLogLine> log;
};

// Appends `text` to the digest's texts; returns its position there.
uint32_t AddHashedText(RulesDigest& digest, const HashedText& text) {
  digest.texts.push_back(text);
  return static_cast<uint32_t>(digest.texts.size() - 1);
}

uint32_t AddText(RulesDigest& digest, const char* text) {
  return AddHashedText(digest, HashText(text));
}

// Appends the class text `cls`, whose index in the class table is
// `classIndex`, to the digest's texts; returns its position there. The
// thirty names of the table are hashed once, not once per grant entry.
uint32_t AddClassText(RulesDigest& digest, const char* cls, uint16_t classIndex) {
  static const std::array<HashedText, CLASS_COUNT + 1> CLASS_TEXTS = [] {
    std::array<HashedText, CLASS_COUNT + 1> texts{};
    for (uint16_t index = 1; index <= CLASS_COUNT; ++index)
      texts[index] = HashText(GetClassName(index));
    return texts;
  }();
  return classIndex == 0 ? AddText(digest, cls) : AddHashedText(digest, CLASS_TEXTS[classIndex]);
}

// The subject of the statement at `subject` in the digest's texts, masked
// for a log line.
std::string ShownSubject(const RulesDigest& digest, uint32_t subject) {
  return MaskControlChars(digest.texts[subject].View());
}

// Each entry of a statement's "teac" array; `subject` is the statement's
// subject, a position in digest.texts.
int DigestTeacEntries(uint32_t subject, JsonValue* teac, RulesDigest& digest) {
  static constexpr std::string_view KEYS[] = {"object", "class", "operation"};
  for (uint32_t k = 0; k < JsonGetArraySize(teac); ++k) {
    JsonValue* members[std::size(KEYS)];
    if (CheckObjectKeys(ArrayItem(teac, k), KEYS, members) != 0) {
      Log(LOG_ERR, "[JsonParser][Validate the i-th key in the teac section failed][i=%u]\n", k);
      return -1;
    }
    const char* object = nullptr;
    const char* cls = nullptr;
    JsonValue* operations = AsArray(members[2]);
    if (!GetString(members[0], &object) || !GetString(members[1], &cls) || operations == nullptr) {
      Log(LOG_ERR, "[JsonParser][Incomplete object, class and operation][subject=%s]\n",
          ShownSubject(digest, subject).c_str());
      return -1;
    }
    // Operations of an equal key, from this entry or an earlier one, unite
    // when the compiler sorts the rules. An operation the class lacks waits
    // for the class check; with an unknown class the operations do not
    // matter, as that check fails on the class.
    const auto grant = static_cast<uint32_t>(digest.grants.size());
    const uint32_t objectText = AddText(digest, object);
    const uint16_t classIndex = GetClassIndex(cls);
    digest.grants.push_back(
        {subject, objectText, AddClassText(digest, cls, classIndex), 0, classIndex});
    DigestedGrant& rule = digest.grants.back();
    if (const auto bad = ForEachArrayString(operations, [&](const char* operation) {
          if (rule.classIndex == 0) return;
          const uint32_t bit = GetOperationBit(rule.classIndex, operation);
          if (bit == 0) digest.unknownOperations.push_back({grant, AddText(digest, operation)});
          rule.operations |= bit;
        })) {
      Log(LOG_ERR, "[JsonParser][Get permission failed][subject=%s, k=%u]\n",
          ShownSubject(digest, subject).c_str(), *bad);
      return -1;
    }
  }
  return 0;
}

// The same for its "type_transition" array.
int DigestTransitionEntries(uint32_t subject, JsonValue* typeTransition, RulesDigest& digest) {
  static constexpr std::string_view KEYS[] = {"object", "class", "target"};
  for (uint32_t i = 0; i < JsonGetArraySize(typeTransition); ++i) {
    JsonValue* members[std::size(KEYS)];
    if (CheckObjectKeys(ArrayItem(typeTransition, i), KEYS, members) != 0) {
      Log(LOG_ERR,
          "[JsonParser][Validate the i-th key in the type_transition section failed][i=%u]\n", i);
      return -1;
    }
    const char* object = nullptr;
    const char* cls = nullptr;
    const char* target = nullptr;
    if (!GetString(members[0], &object) || !GetString(members[1], &cls) ||
        !GetString(members[2], &target)) {
      Log(LOG_ERR, "[JsonParser][Incomplete object, class and target][subject=%s]\n",
          ShownSubject(digest, subject).c_str());
      return -1;
    }
    const uint32_t objectText = AddText(digest, object);
    const uint32_t classText = AddText(digest, cls);
    digest.transitions.push_back({subject, objectText, classText, AddText(digest, target)});
  }
  return 0;
}

int DigestRuleStatements(JsonValue* value, RulesDigest& digest) {
  static constexpr std::string_view KEYS[] = {"group", "subject", "teac", "type_transition"};
  for (uint32_t i = 0; i < JsonGetArraySize(value); ++i) {
    JsonValue* members[std::size(KEYS)];
    if (CheckObjectKeys(ArrayItem(value, i), KEYS, members) != 0) {
      Log(LOG_ERR, "[JsonParser][Validate the i-th key in the rules section failed][i=%u]\n", i);
      return -1;
    }
    const char* subject = nullptr;
    if (!GetString(members[1], &subject)) {
      Log(LOG_ERR, "[JsonParser][Parse the i-th subject failed][i=%u]\n", i);
      return -1;
    }
    const uint32_t subjectText = AddText(digest, subject);
    // "teac" is read before "type_transition" whatever their order.
    if (JsonValue* teac = members[2];
        teac != nullptr && (RequireArray(teac, "teac") != 0 ||
                            DigestTeacEntries(subjectText, teac, digest) != 0)) {
      return -1;
    }
    if (JsonValue* transitions = members[3];
        transitions != nullptr && (RequireArray(transitions, "type_transition") != 0 ||
                                   DigestTransitionEntries(subjectText, transitions, digest) != 0)) {
      return -1;
    }
  }
  return 0;
}

RulesDigest DigestRulesSection(JsonValue* value) {
  RulesDigest digest;
  const LogCapture capture(digest.log);
  digest.failed = RequireArray(value, "rules") != 0 || DigestRuleStatements(value, digest) != 0;
  return digest;
}

// Interns the digest's texts and stores its rules in `model`; fails on a
// transition key the file repeats, else where the digest failed.
int AddDigestedRules(RulesDigest digest, PolicyModel& model) {
  std::vector<NameId> ids(digest.texts.size());
  model.names.InternAll(digest.texts, ids);
  const size_t firstGrant = model.grantRules.size();
  for (const DigestedGrant& grant : digest.grants) {
    model.grantRules.push_back({{ids[grant.subject], ids[grant.object], ids[grant.cls]},
                                grant.operations,
                                grant.classIndex});
  }
  for (const DigestedUnknownOperation& unknown : digest.unknownOperations) {
    model.unknownOperations.push_back(
        {model.grantRules[firstGrant + unknown.grant].key, ids[unknown.operation]});
  }
  // A key repeated within the file fails where reading entry by entry would
  // have: before the entries after it, so before the digest's own failure.
  for (const DigestedTransition& transition : digest.transitions) {
    const RuleKey key{ids[transition.subject], ids[transition.object], ids[transition.cls]};
    if (!model.transitionRules.try_emplace(key, ids[transition.target]).second) {
      LogDuplicateTransition(model.names, key);
      return -1;
    }
  }
  if (digest.failed) {
    ReplayLog(digest.log);
    return -1;
  }
  return 0;
}

}  // namespace

int ReadRulesSection(JsonValue* value, PolicyModel& model) {
  return AddDigestedRules(DigestRulesSection(value), model);
}

int CheckRuleClasses(const PolicyModel& fileModel) {
  const NamePool& names = fileModel.names;
  const auto keyLess = [&names](const RuleKey& a, const RuleKey& b) {
    return RuleKeyLess(names, a, b);
  };
  // The first grant rule in key order whose class or one of whose
  // operations is unknown.
  FirstInKeyOrder<RuleKey, decltype(keyLess)> failing(keyLess);
  for (const GrantRule& rule : fileModel.grantRules) {
    if (rule.classIndex == 0) failing.Offer(rule.key);
  }
  for (const UnknownOperation& unknown : fileModel.unknownOperations) failing.Offer(unknown.key);
  if (const auto& key = failing.Get()) {
    const std::string cls = MaskControlChars(names.Text(key->cls));
    if (GetClassIndex(names.CText(key->cls)) == 0) {
      Log(LOG_ERR, "[JsonParser][Undefined class in grant rule][class=%s]\n", cls.c_str());
      return -1;
    }
    // Operations are checked in ascending order: the first unknown one.
    FirstInKeyOrder<NameId, ByText> operation(ByText{names});
    for (const UnknownOperation& unknown : fileModel.unknownOperations) {
      if (unknown.key == *key) operation.Offer(unknown.operation);
    }
    Log(LOG_ERR, "[JsonParser][Undefined operation for current class][class=%s, operation=%s]\n",
        cls.c_str(), MaskControlChars(names.Text(*operation.Get())).c_str());
    return -1;
  }
  FirstInKeyOrder<RuleKey, decltype(keyLess)> failingTransition(keyLess);
  for (const auto& [key, target] : fileModel.transitionRules) {
    if (GetClassIndex(names.CText(key.cls)) == 0) failingTransition.Offer(key);
  }
  if (const auto& key = failingTransition.Get()) {
    Log(LOG_ERR, "[JsonParser][Undefined class in transition rule][class=%s]\n",
        MaskControlChars(names.Text(key->cls)).c_str());
    return -1;
  }
  return 0;
}
