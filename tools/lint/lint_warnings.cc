#include "tools/lint/lint_warnings.h"

#include <algorithm>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "base/class_table.h"
#include "base/log.h"
#include "tools/lint/lint.h"

namespace {

std::string Quoted(std::string_view text) { return '"' + MaskControlChars(text) + '"'; }

Fault WarningOf(std::string_view code, std::string message) {
  return {code, std::move(message), ""};
}

Diagnostic& WarnAt(PolicyFacts& facts, uint32_t file, uint32_t offset, std::string_view code,
                   std::string message) {
  return facts.AddAt(file, offset, WarningOf(code, std::move(message)), Severity::WARNING);
}

// The first declaration of `name`, as a type or else as an attribute.
const Declaration& FirstDeclaration(const PolicyFacts& facts, NameId name) {
  const auto& types = facts.typeDeclarations[name];
  return types.empty() ? facts.attrDeclarations[name].front() : types.front();
}

bool IsAttribute(const PolicyFacts& facts, NameId name) {
  return !facts.attrDeclarations[name].empty();
}

bool IsType(const PolicyFacts& facts, NameId name) { return !facts.typeDeclarations[name].empty(); }

// A declared type or attribute that nothing uses; an attribute in use that
// no name has.
void WarnUnusedNames(PolicyFacts& facts) {
  std::vector<bool> hasMembers(facts.used.size());
  for (const SourceIndex* index : facts.indexes) {
    for (const TypeAttrUse& link : index->typeAttrs) {
      if (link.attr != link.name) hasMembers[link.attr] = true;
    }
  }
  for (NameId name = 0; name < facts.used.size(); ++name) {
    if (!IsType(facts, name) && !IsAttribute(facts, name)) continue;
    const std::string shown = Quoted(facts.pools.names.Text(name));
    if (!facts.used[name]) {
      const Declaration& declared = FirstDeclaration(facts, name);
      WarnAt(facts, declared.file, declared.offset, code::UNUSED_NAME,
             shown + " is declared, but no rule, label or attribute list uses it");
    } else if (IsAttribute(facts, name) && !IsType(facts, name) && !hasMembers[name]) {
      const Declaration& declared = facts.attrDeclarations[name].front();
      WarnAt(facts, declared.file, declared.offset, code::EMPTY_ATTRIBUTE,
             "attribute " + shown +
                 " has no members: what is written of it applies to nothing "
                 "but itself");
    }
  }
}

// An attribute where a type belongs (a target or a context), a type where
// an attribute belongs.
void WarnMisplacedNames(PolicyFacts& facts) {
  for (uint32_t file = 0; file < facts.indexes.size(); ++file) {
    const SourceIndex& index = *facts.indexes[file];
    for (const NameUse& use : index.names) {
      const bool wantsType = use.role == NameRole::TARGET || use.role == NameRole::FILE_CONTEXT ||
                             use.role == NameRole::SID_CONTEXT ||
                             use.role == NameRole::NETIF_CONTEXT ||
                             use.role == NameRole::PACKET_CONTEXT;
      if (!wantsType || !IsAttribute(facts, use.name) || IsType(facts, use.name)) continue;
      WarnAt(facts, file, use.offset, code::ATTRIBUTE_AS_CONTEXT,
             Quoted(facts.pools.names.Text(use.name)) + " is an attribute: " +
                 (use.role == NameRole::TARGET ? "a transition's target" : "a context") +
                 " should be a type");
    }
    for (const TypeAttrUse& link : index.typeAttrs) {
      if (link.attr == link.name || !IsType(facts, link.attr) || IsAttribute(facts, link.attr)) {
        continue;
      }
      WarnAt(facts, file, link.offset, code::TYPE_AS_ATTRIBUTE,
             Quoted(facts.pools.names.Text(link.attr)) + " is a type, not an attribute, of " +
                 Quoted(facts.pools.names.Text(link.name)));
    }
  }
}

void WarnRepeatedOperations(PolicyFacts& facts) {
  for (uint32_t file = 0; file < facts.indexes.size(); ++file) {
    for (const OperationUse& repeated : facts.indexes[file]->repeatedOperations) {
      WarnAt(
          facts, file, repeated.offset, code::REPEATED_OPERATION,
          "operation " + Quoted(facts.pools.names.Text(repeated.operation)) + " is listed twice");
    }
  }
}

// A rule by its file and its place among the file's rules of its kind.
struct RulePlace {
  uint32_t file;
  uint32_t position;
};

// A grant whose operations another grant of the same subject, object and
// class gives already (of two equal grants, the later).
void WarnRedundantGrants(PolicyFacts& facts) {
  // Each grant by its key and its place in reading order, in one flat
  // array that sorts fast; the order breaks ties, so a key's grants stay in
  // reading order.
  struct Keyed {
    uint64_t subjectAndObject;
    uint32_t cls;
    uint32_t order;
    auto operator<=>(const Keyed&) const = default;
  };
  std::vector<RulePlace> places;
  std::vector<Keyed> grants;
  for (uint32_t file = 0; file < facts.indexes.size(); ++file) {
    const auto& fileGrants = facts.indexes[file]->grants;
    for (uint32_t position = 0; position < fileGrants.size(); ++position) {
      const RuleKey& key = fileGrants[position].key;
      grants.push_back({uint64_t{key.subject} << 32 | key.object, key.cls,
                        static_cast<uint32_t>(places.size())});
      places.push_back({file, position});
    }
  }
  std::sort(grants.begin(), grants.end());
  const auto grantAt = [&](const Keyed& keyed) -> const GrantUse& {
    const RulePlace& place = places[keyed.order];
    return facts.indexes[place.file]->grants[place.position];
  };
  const auto sameKey = [](const Keyed& a, const Keyed& b) {
    return a.subjectAndObject == b.subjectAndObject && a.cls == b.cls;
  };
  for (size_t start = 0, end = 0; start < grants.size(); start = end) {
    for (end = start + 1; end < grants.size() && sameKey(grants[end], grants[start]);) ++end;
    for (size_t g = start; g < end; ++g) {
      const uint32_t mine = grantAt(grants[g]).operations;
      for (size_t h = start; h < end; ++h) {
        const uint32_t theirs = grantAt(grants[h]).operations;
        const bool covers = (mine & ~theirs) == 0 && (h < g || theirs != mine);
        if (h == g || !covers) continue;
        const RulePlace& place = places[grants[g].order];
        Diagnostic& warning =
            WarnAt(facts, place.file, grantAt(grants[g]).offset, code::REDUNDANT_GRANT,
                   "another grant of the same subject, object and class gives these operations "
                   "already");
        warning.related.push_back(
            facts.PlaceAt(places[grants[h].order].file, grantAt(grants[h]).offset));
        warning.relatedNote = "this grant gives them";
        break;
      }
    }
  }
}

// Names that stand together in some attribute set, with one name whose set
// holds both: pairs of (the lesser, the greater) id.
class SharedMembership {
 public:
  static uint64_t Key(NameId a, NameId b) {
    return a < b ? uint64_t{a} << 32 | b : uint64_t{b} << 32 | a;
  }
  // Every pair within the attribute sets of `attributes` of which `keep`
  // keeps both.
  template <typename Keep>
  SharedMembership(const std::vector<std::vector<NameId>>& attributes, Keep keep) {
    std::vector<NameId> kept;
    for (NameId member = 0; member < attributes.size(); ++member) {
      kept.clear();
      for (const NameId attr : attributes[member]) {
        if (keep(attr)) kept.push_back(attr);
      }
      for (size_t i = 0; i < kept.size(); ++i) {
        for (size_t j = i; j < kept.size(); ++j) witness.try_emplace(Key(kept[i], kept[j]), member);
      }
    }
  }
  // A name whose set holds both, or nothing.
  std::optional<NameId> Witness(NameId a, NameId b) const {
    const auto found = witness.find(Key(a, b));
    return found == witness.end() ? std::nullopt : std::optional<NameId>(found->second);
  }
  const std::unordered_map<uint64_t, NameId>& Pairs() const { return witness; }

 private:
  std::unordered_map<uint64_t, NameId> witness;
};

// The attribute set of every declared name: its own name and what
// "typeattr" gives it in any file, ascending.
std::vector<std::vector<NameId>> AttributeSets(const PolicyFacts& facts) {
  std::vector<std::vector<NameId>> attributes(facts.used.size());
  for (NameId name = 0; name < attributes.size(); ++name) {
    if (IsType(facts, name) || IsAttribute(facts, name)) attributes[name].push_back(name);
  }
  for (const SourceIndex* index : facts.indexes) {
    for (const TypeAttrUse& link : index->typeAttrs) {
      if (!attributes[link.name].empty()) attributes[link.name].push_back(link.attr);
    }
  }
  for (auto& set : attributes) {
    std::sort(set.begin(), set.end());
    set.erase(std::unique(set.begin(), set.end()), set.end());
  }
  return attributes;
}

// Transitions of the same class with different targets that apply to a
// common subject and object, as polcq transitions shows them: a rule
// applies to every pair of names whose attribute sets hold its subject and
// object. Each rule is shown once, with the first rule it conflicts with.
void WarnConflictingTransitions(PolicyFacts& facts) {
  std::vector<RulePlace> rules;
  std::unordered_map<NameId, std::vector<uint32_t>> bySubject;
  std::unordered_set<NameId> objects;
  for (uint32_t file = 0; file < facts.indexes.size(); ++file) {
    const auto& transitions = facts.indexes[file]->transitions;
    for (uint32_t position = 0; position < transitions.size(); ++position) {
      bySubject[transitions[position].key.subject].push_back(static_cast<uint32_t>(rules.size()));
      objects.insert(transitions[position].key.object);
      rules.push_back({file, position});
    }
  }
  if (rules.empty()) return;
  const std::vector<std::vector<NameId>> attributes = AttributeSets(facts);
  const SharedMembership subjects(attributes, [&](NameId name) { return bySubject.count(name); });
  const SharedMembership objectPairs(attributes, [&](NameId name) { return objects.count(name); });
  const auto ruleAt = [&](uint32_t rule) -> const TransitionUse& {
    return facts.indexes[rules[rule].file]->transitions[rules[rule].position];
  };
  std::vector<bool> reported(rules.size());
  const NamePool& names = facts.pools.names;
  const auto report = [&](uint32_t rule, uint32_t other, NameId subject, NameId object) {
    if (reported[rule]) return;
    reported[rule] = true;
    const TransitionUse& mine = ruleAt(rule);
    const TransitionUse& theirs = ruleAt(other);
    Diagnostic& warning =
        WarnAt(facts, rules[rule].file, mine.offset, code::CONFLICTING_TRANSITIONS,
               "for subject " + Quoted(names.Text(subject)) + ", object " +
                   Quoted(names.Text(object)) + " and class " + Quoted(names.Text(mine.key.cls)) +
                   " this gives " + Quoted(names.Text(mine.target)) + " and another transition " +
                   Quoted(names.Text(theirs.target)));
    warning.related.push_back(facts.PlaceAt(rules[other].file, theirs.offset));
    warning.relatedNote = "the other transition";
  };
  for (const auto& [pair, subject] : subjects.Pairs()) {
    const auto first = static_cast<NameId>(pair >> 32);
    const auto second = static_cast<NameId>(pair);
    for (const uint32_t a : bySubject[first]) {
      for (const uint32_t b : bySubject[second]) {
        const TransitionUse& ruleA = ruleAt(a);
        const TransitionUse& ruleB = ruleAt(b);
        // Within one subject's rules, each pair once.
        if ((first == second && a >= b) || ruleA.key.cls != ruleB.key.cls ||
            ruleA.target == ruleB.target || ruleA.key == ruleB.key) {
          continue;
        }
        if (const auto object = objectPairs.Witness(ruleA.key.object, ruleB.key.object)) {
          report(a, b, subject, *object);
          report(b, a, subject, *object);
        }
      }
    }
  }
}

}  // namespace

std::span<const CodeSummary> WarningCodes() {
  static constexpr CodeSummary CODES[] = {
      {code::UNUSED_NAME,
       "A declared type or attribute that no rule, label or attribute list uses."},
      {code::EMPTY_ATTRIBUTE,
       "An attribute in use that no name has: what is written of it applies to nothing but "
       "itself."},
      {code::ATTRIBUTE_AS_CONTEXT,
       "An attribute given as a transition's target or as the context of a file, initial sid, "
       "interface or packet."},
      {code::TYPE_AS_ATTRIBUTE, "A type given as another name's attribute."},
      {code::CONFLICTING_TRANSITIONS,
       "Transitions that give different targets for one subject, object and class."},
      {code::REDUNDANT_GRANT,
       "A grant whose operations another grant of the same subject, object and class gives "
       "already."},
      {code::REPEATED_OPERATION, "An operation listed twice in one grant."},
  };
  return CODES;
}

void Warn(PolicyFacts& facts) {
  WarnUnusedNames(facts);
  WarnMisplacedNames(facts);
  WarnRepeatedOperations(facts);
  WarnRedundantGrants(facts);
  WarnConflictingTransitions(facts);
}
