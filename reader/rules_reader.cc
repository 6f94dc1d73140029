// The "rules" section of one source file. It is first digested, read as far
// as it can be without storing anything: the texts each rule names, in the
// order the pool is to take them, and the rules as positions in that list.
// Then the rules are stored.
//
// Reading a million rules is mostly walking the JSON tree, checking its
// shape and looking classes and operations up. The texts of a statement are
// interned once it is read, in one batch (NamePool::InternAll), whose
// lookups overlap their waits for memory; the statement is then released.
//
// A digest stops where the reading fails, its fault reported; storing the
// entries before it may meet a fault of its own, which then comes first
// (ReadContext::StoreBeforeFault).
#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "base/class_table.h"
#include "base/log.h"
#include "json/json.h"
#include "reader/diagnostic_codes.h"
#include "reader/duplicate_messages.h"
#include "reader/json_access.h"
#include "reader/name_pool.h"
#include "reader/section_readers.h"
#include "reader/validators.h"

namespace {

// A grant entry; the fields are positions in RulesDigest::texts.
struct DigestedGrant {
  uint32_t subject;
  uint32_t object;
  uint32_t cls;
  uint32_t operations;  // as GrantRule::operations
  uint16_t classIndex;  // as GrantRule::classIndex
};

// An operation of grants[grant] that its (known) class lacks, or that the
// entry names twice.
struct DigestedOperation {
  uint32_t grant;      // position in RulesDigest::grants
  uint32_t operation;  // position in RulesDigest::texts
};

// A transition entry; the fields are positions in RulesDigest::texts, and
// the entry's place in the section for its key path.
struct DigestedTransition {
  uint32_t subject;
  uint32_t object;
  uint32_t cls;
  uint32_t target;
  uint32_t statement;  // index in "rules"
  uint32_t entry;      // index in its "type_transition"
};

// Where the digested texts and entries stand, for a file's index.
struct DigestedPlaces {
  struct Name {
    uint32_t text;  // position in RulesDigest::texts
    NameRole role;
  };
  std::vector<const JsonValue*> texts;  // the value of each text
  std::vector<Name> names;              // the texts that are names
  std::vector<const JsonValue*> grants;
  std::vector<const JsonValue*> transitions;
  std::vector<DigestedOperation> repeatedOperations;
};

// The vectors hold millions of entries for a policy of one file.
struct RulesDigest {
  // Every name the rules give, in reading order: a statement's subject, then
  // each grant entry's object, class and unknown operations, then each
  // transition entry's object, class and target. Interning them in this
  // order gives each text the id that reading rule by rule would. A text is
  // known by its position in this order: `ids` holds the ids of the
  // statements read, `texts` those of the statement being read, from
  // position ids.size() on.
  HugePageVector<NameId> ids;
  HugePageVector<HashedText> texts;
  HugePageVector<DigestedGrant> grants;  // in reading order
  HugePageVector<DigestedOperation> unknownOperations;
  HugePageVector<DigestedTransition> transitions;  // in reading order
  std::optional<DigestedPlaces> places;         // when the file keeps an index
};

// Appends `text`, which stands at `value`, to the digest's texts; returns
// its position there.
uint32_t AddHashedText(RulesDigest& digest, const HashedText& text, const JsonValue* value) {
  digest.texts.push_back(text);
  if (digest.places) digest.places->texts.push_back(value);
  return static_cast<uint32_t>(digest.ids.size() + digest.texts.size() - 1);
}

// Interns the texts of the statement read.
void InternStatementTexts(PolicyModel& model, RulesDigest& digest) {
  const size_t first = digest.ids.size();
  digest.ids.resize(first + digest.texts.size());
  model.names.InternAll(digest.texts, std::span(digest.ids).subspan(first));
  digest.texts.clear();
}

uint32_t AddText(RulesDigest& digest, const char* text, const JsonValue* value) {
  return AddHashedText(digest, HashText(text), value);
}

// The same for a name, whose use the index records in the part `role`.
uint32_t AddName(RulesDigest& digest, const char* text, const JsonValue* value, NameRole role) {
  const uint32_t position = AddText(digest, text, value);
  if (digest.places) digest.places->names.push_back({position, role});
  return position;
}

// Appends the class text `cls`, whose index in the class table is
// `classIndex`, to the digest's texts; returns its position there. The
// thirty names of the table are hashed once, not once per grant entry.
uint32_t AddClassText(RulesDigest& digest, const char* cls, uint16_t classIndex,
                      const JsonValue* value) {
  static const std::array<HashedText, CLASS_COUNT + 1> CLASS_TEXTS = [] {
    std::array<HashedText, CLASS_COUNT + 1> texts{};
    for (uint16_t index = 1; index <= CLASS_COUNT; ++index)
      texts[index] = HashText(GetClassName(index));
    return texts;
  }();
  return classIndex == 0 ? AddText(digest, cls, value)
                         : AddHashedText(digest, CLASS_TEXTS[classIndex], value);
}

// The subject at `subject` in the digest's texts, masked for a log line.
std::string ShownSubject(const RulesDigest& digest, uint32_t subject) {
  return MaskControlChars(digest.texts[subject - digest.ids.size()].View());
}

// The operations of a grant entry, into digest.grants[grant].
int DigestOperations(ReadContext& context, uint32_t subject, JsonValue* operations, uint32_t grant,
                     RulesDigest& digest) {
  const ReadContext::Step at(context, "operation");
  return ReadStringElements(
      context, operations,
      [&](uint32_t j) {
        return Format("[JsonParser][Get permission failed][subject=%s, k=%u]\n",
                      ShownSubject(digest, subject).c_str(), j);
      },
      [&](const JsonValue* element, const char* operation) {
        // Operations of an equal key, from this entry or an earlier one,
        // unite when the compiler sorts the rules. An operation the class
        // lacks waits for the class check; with an unknown class the
        // operations do not matter, as that check fails on the class.
        DigestedGrant& rule = digest.grants[grant];
        if (rule.classIndex == 0) return;
        const uint32_t bit = GetOperationBit(rule.classIndex, operation);
        if (bit == 0) {
          digest.unknownOperations.push_back({grant, AddText(digest, operation, element)});
        } else if ((rule.operations & bit) != 0 && digest.places) {
          digest.places->repeatedOperations.push_back({grant, AddText(digest, operation, element)});
        }
        rule.operations |= bit;
      });
}

// A statement's "teac" entry `k`; `subject` is the statement's subject, a
// position in digest.texts.
int DigestTeacEntry(ReadContext& context, uint32_t subject, JsonValue* entry, uint32_t k,
                    RulesDigest& digest) {
  static constexpr AllowedKey KEYS[] = {"object", "class", "operation"};
  JsonValue* members[std::size(KEYS)];
  if (CheckObjectKeys(context, entry, KEYS, members) != 0) {
    return context.Trace("[JsonParser][Validate the i-th key in the teac section failed][i=%u]\n",
                         k);
  }
  const char* object = nullptr;
  const char* cls = nullptr;
  if (!GetString(members[0], &object) || !GetString(members[1], &cls) || members[2] == nullptr ||
      JsonGetKind(members[2]) != JSON_ARRAY) {
    return IncompleteEntry(
        context, entry, members, KEYS, 2,
        Format("[JsonParser][Incomplete object, class and operation][subject=%s]\n",
               ShownSubject(digest, subject).c_str()));
  }
  const auto grant = static_cast<uint32_t>(digest.grants.size());
  const uint32_t objectText = AddName(digest, object, members[0], NameRole::GRANT_OBJECT);
  const uint16_t classIndex = GetClassIndex(cls);
  digest.grants.push_back(
      {subject, objectText, AddClassText(digest, cls, classIndex, members[1]), 0, classIndex});
  if (digest.places) digest.places->grants.push_back(entry);
  return DigestOperations(context, subject, members[2], grant, digest);
}

// A statement's "type_transition" entry `k`, of the statement `statement`.
int DigestTransitionEntry(ReadContext& context, uint32_t subject, JsonValue* entry,
                          uint32_t statement, uint32_t k, RulesDigest& digest) {
  static constexpr AllowedKey KEYS[] = {"object", "class", "target"};
  JsonValue* members[std::size(KEYS)];
  if (CheckObjectKeys(context, entry, KEYS, members) != 0) {
    return context.Trace(
        "[JsonParser][Validate the i-th key in the type_transition section failed][i=%u]\n", k);
  }
  const char* object = nullptr;
  const char* cls = nullptr;
  const char* target = nullptr;
  if (!GetString(members[0], &object) || !GetString(members[1], &cls) ||
      !GetString(members[2], &target)) {
    return IncompleteEntry(context, entry, members, KEYS, std::size(KEYS),
                           Format("[JsonParser][Incomplete object, class and target][subject=%s]\n",
                                  ShownSubject(digest, subject).c_str()));
  }
  const uint32_t objectText = AddName(digest, object, members[0], NameRole::TRANSITION_OBJECT);
  const uint32_t classText = AddText(digest, cls, members[1]);
  const uint32_t targetText = AddName(digest, target, members[2], NameRole::TARGET);
  digest.transitions.push_back({subject, objectText, classText, targetText, statement, k});
  if (digest.places) digest.places->transitions.push_back(entry);
  return 0;
}

// The entries of a statement's member `key` ("teac" or "type_transition").
template <typename DigestEntry>
int DigestEntries(ReadContext& context, JsonValue* member, const char* key,
                  DigestEntry digestEntry) {
  if (member == nullptr) return 0;
  const ReadContext::Step at(context, key);
  if (RequireArray(context, member, key) != 0) return -1;
  return ReadElements(context, member, digestEntry);
}

int DigestRuleStatement(ReadContext& context, JsonValue* statement, uint32_t i,
                        RulesDigest& digest) {
  static constexpr AllowedKey KEYS[] = {"group", "subject", "teac", "type_transition"};
  JsonValue* members[std::size(KEYS)];
  if (CheckObjectKeys(context, statement, KEYS, members) != 0) {
    return context.Trace("[JsonParser][Validate the i-th key in the rules section failed][i=%u]\n",
                         i);
  }
  const char* subject = nullptr;
  if (!GetString(members[1], &subject)) {
    return IncompleteEntry(context, statement, std::span(members + 1, 1), std::span(KEYS + 1, 1), 1,
                           Format("[JsonParser][Parse the i-th subject failed][i=%u]\n", i));
  }
  const uint32_t subjectText = AddName(digest, subject, members[1], NameRole::SUBJECT);
  const size_t rulesBefore = digest.grants.size() + digest.transitions.size();
  // "teac" is read before "type_transition" whatever their order.
  const int teac = DigestEntries(context, members[2], "teac", [&](JsonValue* entry, uint32_t k) {
    return DigestTeacEntry(context, subjectText, entry, k, digest);
  });
  if (teac != 0 && !context.KeepGoing()) return -1;
  const int transitions =
      DigestEntries(context, members[3], "type_transition", [&](JsonValue* entry, uint32_t k) {
        return DigestTransitionEntry(context, subjectText, entry, i, k, digest);
      });
  if (digest.places && digest.grants.size() + digest.transitions.size() == rulesBefore) {
    // The only name use the statement recorded is its subject's.
    std::find_if(
        digest.places->names.rbegin(), digest.places->names.rend(),
        [subjectText](const DigestedPlaces::Name& name) { return name.text == subjectText; })
        ->role = NameRole::LONE_SUBJECT;
  }
  return teac != 0 || transitions != 0 ? -1 : 0;
}

// Records the digested names and entries in the file's index.
void NoteRules(ReadContext& context, const RulesDigest& digest, const HugePageVector<NameId>& ids) {
  SourceIndex& index = *context.Index();
  const DigestedPlaces& places = *digest.places;
  const auto offsetOf = [&](uint32_t text) { return context.OffsetOf(places.texts[text]); };
  for (const DigestedPlaces::Name& name : places.names) {
    index.names.push_back({ids[name.text], offsetOf(name.text), name.role});
  }
  for (size_t g = 0; g < digest.grants.size(); ++g) {
    const DigestedGrant& grant = digest.grants[g];
    index.grants.push_back({{ids[grant.subject], ids[grant.object], ids[grant.cls]},
                            grant.operations,
                            context.OffsetOf(places.grants[g]),
                            offsetOf(grant.cls)});
  }
  for (size_t t = 0; t < digest.transitions.size(); ++t) {
    const DigestedTransition& transition = digest.transitions[t];
    index.transitions.push_back(
        {{ids[transition.subject], ids[transition.object], ids[transition.cls]},
         ids[transition.target],
         context.OffsetOf(places.transitions[t]),
         offsetOf(transition.cls)});
  }
  const auto noteOperations = [&](std::span<const DigestedOperation> from,
                                  std::vector<OperationUse>& into) {
    for (const DigestedOperation& operation : from) {
      into.push_back({ids[operation.operation], ids[digest.grants[operation.grant].cls],
                      offsetOf(operation.operation)});
    }
  };
  noteOperations(digest.unknownOperations, index.unknownOperations);
  noteOperations(places.repeatedOperations, index.repeatedOperations);
}

// Stores the transitions; fails at a key the file repeats.
int StoreTransitions(ReadContext& context, const RulesDigest& digest,
                     const HugePageVector<NameId>& ids) {
  PolicyModel& model = context.model;
  int result = 0;
  for (size_t t = 0; t < digest.transitions.size(); ++t) {
    const DigestedTransition& transition = digest.transitions[t];
    const RuleKey key{ids[transition.subject], ids[transition.object], ids[transition.cls]};
    if (model.transitionRules.try_emplace(key, ids[transition.target]).second) continue;
    const ReadContext::Step atStatement(context, transition.statement);
    const ReadContext::Step atMember(context, "type_transition");
    const ReadContext::Step atEntry(context, transition.entry);
    context.Error(digest.places ? digest.places->transitions[t] : nullptr,
                  DuplicateTransition(model.names, key));
    result = -1;
    if (!context.KeepGoing()) break;
  }
  return result;
}

// Stores the digest's rules in the model.
int AddDigestedRules(ReadContext& context, const RulesDigest& digest, bool digestFailed) {
  PolicyModel& model = context.model;
  const HugePageVector<NameId>& ids = digest.ids;
  const size_t firstGrant = model.grantRules.size();
  for (const DigestedGrant& grant : digest.grants) {
    model.grantRules.push_back({{ids[grant.subject], ids[grant.object], ids[grant.cls]},
                                grant.operations,
                                grant.classIndex});
  }
  for (const DigestedOperation& unknown : digest.unknownOperations) {
    model.unknownOperations.push_back(
        {model.grantRules[firstGrant + unknown.grant].key, ids[unknown.operation]});
  }
  if (digest.places) NoteRules(context, digest, ids);
  return context.StoreBeforeFault(digestFailed,
                                  [&] { return StoreTransitions(context, digest, ids); });
}

}  // namespace

int ReadRulesSection(JsonValue* value, ReadContext& context) {
  RulesDigest digest;
  if (context.Index() != nullptr) digest.places.emplace();
  const bool failed = RequireArray(context, value, "rules") != 0 ||
                      ReadElements(context, value, [&](JsonValue* statement, uint32_t i) {
                        const int read = DigestRuleStatement(context, statement, i, digest);
                        InternStatementTexts(context.model, digest);
                        context.Release(value, statement);
                        return read;
                      }) != 0;
  return AddDigestedRules(context, digest, failed);
}

int CheckRuleClasses(const PolicyModel& fileModel, Diagnostics& diagnostics,
                     const std::string& file) {
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
    const std::string_view cls = names.Text(key->cls);
    if (GetClassIndex(names.CText(key->cls)) == 0) {
      return ReportFileFault(diagnostics, file, UnknownClassFault(cls, RuleKind::GRANT));
    }
    // Operations are checked in ascending order: the first unknown one.
    FirstInKeyOrder<NameId, ByText> operation(ByText{names});
    for (const UnknownOperation& unknown : fileModel.unknownOperations) {
      if (unknown.key == *key) operation.Offer(unknown.operation);
    }
    return ReportFileFault(diagnostics, file,
                           UnknownOperationFault(cls, names.Text(*operation.Get())));
  }
  FirstInKeyOrder<RuleKey, decltype(keyLess)> failingTransition(keyLess);
  for (const auto& [key, target] : fileModel.transitionRules) {
    if (GetClassIndex(names.CText(key.cls)) == 0) failingTransition.Offer(key);
  }
  if (const auto& key = failingTransition.Get()) {
    return ReportFileFault(diagnostics, file,
                           UnknownClassFault(names.Text(key->cls), RuleKind::TRANSITION));
  }
  return 0;
}
