#include "tools/polcq/policy_diff.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/class_table.h"
#include "ruledb/rule_data_base.h"
#include "ruledb/rule_order.h"
#include "base/json_string.h"
#include "tools/image/labeling_text.h"
#include "tools/polcq/query_access.h"

namespace {

// Walks two lists sorted by the same key, in that order: `onlyOld` for an
// entry only the old list has, `onlyNew` for one only the new list has,
// `both` for a pair with equal keys. Each is given the entries' indexes.
template <typename OldKey, typename NewKey, typename OnlyOld, typename OnlyNew, typename Both>
void WalkSorted(size_t oldCount, size_t newCount, OldKey oldKey, NewKey newKey, OnlyOld onlyOld,
                OnlyNew onlyNew, Both both) {
  size_t o = 0;
  size_t n = 0;
  while (o < oldCount || n < newCount) {
    if (n == newCount || (o < oldCount && oldKey(o) < newKey(n))) {
      onlyOld(o++);
    } else if (o == oldCount || newKey(n) < oldKey(o)) {
      onlyNew(n++);
    } else {
      both(o++, n++);
    }
  }
}

class DiffWriter {
 public:
  DiffWriter(const DiffOptions& options, std::ostream& out) : options(options), out(out) {}

  // Both `before` and `after` sorted.
  void Compare(const char* section, const std::vector<std::string>& before,
               const std::vector<std::string>& after) {
    WalkSorted(
        before.size(), after.size(), [&](size_t o) -> const std::string& { return before[o]; },
        [&](size_t n) -> const std::string& { return after[n]; },
        [&](size_t o) { Write('-', section, before[o]); },
        [&](size_t n) { Write('+', section, after[n]); }, [](size_t, size_t) {});
  }

  // Emits the line of `before` or of `after`, whichever sorts first, or
  // nothing when they are the same.
  void CompareLines(const char* section, const std::string& before, const std::string& after) {
    if (before < after) {
      Write('-', section, before);
      Write('+', section, after);
    } else if (after < before) {
      Write('+', section, after);
      Write('-', section, before);
    }
  }

  void Write(char change, const char* section, const std::string& entry) {
    if (!options.json) {
      buffer.append(1, change).append(1, ' ').append(section).append(1, ' ').append(entry);
      buffer += '\n';
    } else {
      buffer.append(changes == 0 ? "{\"changes\": [\n" : ",\n").append("  {\"change\": \"");
      buffer.append(1, change).append("\", \"section\": \"").append(section);
      buffer.append("\", \"entry\": ").append(QuoteJsonString(entry)).append(1, '}');
    }
    ++changes;
    if (buffer.size() >= FLUSH_SIZE) Flush();
  }

  bool Finish() {
    if (options.json) buffer.append(changes == 0 ? "{\"changes\": [" : "\n").append("]}\n");
    Flush();
    return changes != 0;
  }

 private:
  // A diff can run to millions of lines: they leave in large blocks.
  static constexpr size_t FLUSH_SIZE = 1 << 20;

  void Flush() {
    out.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    buffer.clear();
  }

  const DiffOptions& options;
  std::ostream& out;
  std::string buffer;
  uint64_t changes = 0;
};

// An entry as up to two texts, for matching entries of two policies.
using EntryKey = std::pair<std::string_view, std::string_view>;

struct EntryKeyHash {
  size_t operator()(const EntryKey& key) const {
    const std::hash<std::string_view> hash;
    return hash(key.first) * 31 + hash(key.second);
  }
};

// Which entries of each list no equal entry of the other matches, each
// entry matching at most one: what differs is usually a small part, and
// finding it costs less than sorting hundreds of thousands of entries.
template <typename Entry, typename KeyOf>
std::pair<std::vector<bool>, std::vector<bool>> Unmatched(const std::vector<Entry>& before,
                                                          const std::vector<Entry>& after,
                                                          KeyOf keyOf) {
  // Copies of each entry of `before` that `after` has not matched yet.
  std::unordered_map<EntryKey, uint32_t, EntryKeyHash> left;
  left.reserve(before.size());
  for (const Entry& entry : before) ++left[keyOf(entry)];
  std::pair<std::vector<bool>, std::vector<bool>> unmatched{std::vector<bool>(before.size()),
                                                            std::vector<bool>(after.size())};
  for (size_t i = 0; i < after.size(); ++i) {
    const auto found = left.find(keyOf(after[i]));
    unmatched.second[i] = found == left.end() || found->second == 0;
    if (!unmatched.second[i]) --found->second;
  }
  for (size_t i = 0; i < before.size(); ++i) {
    uint32_t& copies = left.find(keyOf(before[i]))->second;
    unmatched.first[i] = copies != 0;
    if (copies != 0) --copies;
  }
  return unmatched;
}

template <typename Entry>
std::vector<Entry> Kept(const std::vector<Entry>& entries, const std::vector<bool>& keep) {
  std::vector<Entry> kept;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (keep[i]) kept.push_back(entries[i]);
  }
  return kept;
}

// The image's labeling without its rules, and with only the file contexts
// `keep` marks.
PolicyImage LabelingOf(const PolicyImage& image, const std::vector<bool>& keep) {
  PolicyImage labeling;
  labeling.symbols = image.symbols;
  labeling.initialSids = image.initialSids;
  labeling.netifs = image.netifs;
  labeling.packets = image.packets;
  labeling.typeAttrs = image.typeAttrs;
  labeling.fileContexts = Kept(image.fileContexts, keep);
  return labeling;
}

// The labeling sections, the file contexts that both policies have alike
// dropped before any line is made for them: there are hundreds of
// thousands.
void CompareLabeling(const PolicyImage& before, const PolicyImage& after, DiffWriter& writer) {
  const auto [oldFiles, newFiles] =
      Unmatched(before.fileContexts, after.fileContexts, [](const FileContextRecord& file) {
        return EntryKey{file.path, file.context};
      });
  const std::vector<ListingSection> old =
      LabelingSections(LabelingOf(before, oldFiles), LineOrder::AS_STORED);
  const std::vector<ListingSection> now =
      LabelingSections(LabelingOf(after, newFiles), LineOrder::AS_STORED);
  for (size_t section = 0; section < old.size(); ++section) {
    const auto [oldLines, newLines] =
        Unmatched(old[section].lines, now[section].lines, [](const std::string& line) {
          return EntryKey{line, {}};
        });
    std::vector<std::string> removed = Kept(old[section].lines, oldLines);
    std::vector<std::string> added = Kept(now[section].lines, newLines);
    std::sort(removed.begin(), removed.end());
    std::sort(added.begin(), added.end());
    writer.Compare(old[section].title, removed, added);
  }
}

std::vector<std::string> NameLines(const QueryPolicy& policy) {
  std::vector<std::string> lines;
  for (const uint32_t value : policy.ByName()) lines.push_back(policy.Show(value));
  return lines;
}

// The place of every name of two policies in the order of all their names,
// so that names compare across the policies as numbers.
struct SharedRanks {
  std::vector<uint32_t> before;    // by value in the old policy
  std::vector<uint32_t> after;     // by value in the new policy
  std::vector<uint32_t> beforeAt;  // by rank: the value in the old policy, or ABSENT
  std::vector<uint32_t> afterAt;   // by rank: the value in the new policy, or ABSENT
};

constexpr uint32_t ABSENT = UINT32_MAX;

SharedRanks RankNames(const QueryPolicy& before, const QueryPolicy& after) {
  SharedRanks ranks;
  ranks.before.resize(before.NameCount());
  ranks.after.resize(after.NameCount());
  const std::vector<uint32_t>& old = before.ByName();
  const std::vector<uint32_t>& now = after.ByName();
  const auto place = [&ranks](uint32_t oldValue, uint32_t newValue) {
    const auto rank = static_cast<uint32_t>(ranks.beforeAt.size());
    if (oldValue != ABSENT) ranks.before[oldValue] = rank;
    if (newValue != ABSENT) ranks.after[newValue] = rank;
    ranks.beforeAt.push_back(oldValue);
    ranks.afterAt.push_back(newValue);
  };
  WalkSorted(
      old.size(), now.size(), [&](size_t o) -> const std::string& { return before.Name(old[o]); },
      [&](size_t n) -> const std::string& { return after.Name(now[n]); },
      [&](size_t o) { place(old[o], ABSENT); }, [&](size_t n) { place(ABSENT, now[n]); },
      [&](size_t o, size_t n) { place(old[o], now[n]); });
  return ranks;
}

// A stored rule that is not the same in both policies, by its names.
struct ChangedRule {
  uint16_t kind;
  uint32_t subject;  // rank
  uint32_t object;   // rank
};

// The key of each rule of `kind` as one number (subject, object and class
// name), paired with its place. The shared ranks keep each policy's name
// order, so the keys come out sorted.
std::vector<std::pair<uint64_t, uint32_t>> RuleKeys(const QueryPolicy& policy,
                                                    const std::vector<uint32_t>& rank,
                                                    uint16_t kind) {
  std::vector<std::pair<uint64_t, uint32_t>> keys;
  for (uint32_t place = 0; place < policy.RuleCount(); ++place) {
    const RuleTblKey& rule = policy.RuleAt(place).key;
    if (rule.specified != kind) continue;
    keys.emplace_back(
        RuleOrderKey(rank[rule.source], rank[rule.target], ClassNameRank(rule.tclass), 0), place);
  }
  return keys;
}

ChangedRule ChangedRuleOf(uint16_t kind, uint64_t key) {
  return {kind, RuleOrderSubject(key), RuleOrderObject(key)};
}

// Whether two rules of one key grant the same operations or give the same
// target (by name: values differ between policies).
bool SameDatum(const QueryPolicy& before, uint32_t oldPlace, const QueryPolicy& after,
               uint32_t newPlace) {
  const RuleRecord& old = before.RuleAt(oldPlace);
  const RuleRecord& now = after.RuleAt(newPlace);
  if (old.key.specified == RULE_GRANT) return old.datum == now.datum;
  return before.Name(old.datum) == after.Name(now.datum);
}

// The stored rules compared by key: a line is only built for a rule that
// one policy lacks or that grants or targets differently. Returns the keys
// of those rules.
std::vector<ChangedRule> CompareRules(const QueryPolicy& before, const QueryPolicy& after,
                                      const SharedRanks& ranks, DiffWriter& writer) {
  std::vector<ChangedRule> changed;
  for (const uint16_t kind : {RULE_GRANT, RULE_TRANSITION}) {
    const std::vector<std::pair<uint64_t, uint32_t>> old = RuleKeys(before, ranks.before, kind);
    const std::vector<std::pair<uint64_t, uint32_t>> now = RuleKeys(after, ranks.after, kind);
    WalkSorted(
        old.size(), now.size(), [&](size_t o) { return old[o].first; },
        [&](size_t n) { return now[n].first; },
        [&](size_t o) {
          changed.push_back(ChangedRuleOf(kind, old[o].first));
          writer.Write('-', "rules", before.RuleLine(old[o].second));
        },
        [&](size_t n) {
          changed.push_back(ChangedRuleOf(kind, now[n].first));
          writer.Write('+', "rules", after.RuleLine(now[n].second));
        },
        [&](size_t o, size_t n) {
          if (SameDatum(before, old[o].second, after, now[n].second)) return;
          changed.push_back(ChangedRuleOf(kind, old[o].first));
          writer.CompareLines("rules", before.RuleLine(old[o].second),
                              after.RuleLine(now[n].second));
        });
  }
  return changed;
}

// The attribute set of `value` as ranks, ascending.
std::vector<uint32_t> AttributeRanks(const QueryPolicy& policy, uint32_t value,
                                     const std::vector<uint32_t>& rank) {
  std::vector<uint32_t> attributes;
  for (const uint32_t attribute : policy.AttributesOf(value)) {
    attributes.push_back(rank[attribute]);
  }
  std::sort(attributes.begin(), attributes.end());
  return attributes;
}

// The expanded access and transitions, compared subject by subject in the
// order of both policies' names.
//
// Only what changed is expanded where that is cheaper. The effect of
// (s, o, class) is made of the rules whose subject s holds and whose object
// o holds. When s holds the same names in both policies, it can only differ
// for an object o that holds other names in the two policies, or that holds
// the object of a stored rule that changed and whose subject s holds. Such a
// subject's effects are compared on those objects alone.
class EffectComparison {
 public:
  EffectComparison(const QueryPolicy& before, const QueryPolicy& after, const SharedRanks& ranks,
                   const std::vector<ChangedRule>& changedRules, DiffWriter& writer)
      : before(before), after(after), ranks(ranks), changedRules(changedRules), writer(writer) {
    FindMovedNames();
  }

  void Run() {
    for (const uint16_t kind : {RULE_GRANT, RULE_TRANSITION}) {
      const std::vector<std::pair<uint32_t, uint32_t>> touched = TouchedSubjects(kind);
      auto next = touched.begin();
      for (uint32_t subject = 0; subject < ranks.beforeAt.size(); ++subject) {
        std::vector<uint32_t> objects = movedNames;
        for (; next != touched.end() && next->first == subject; ++next) {
          AddMembers(next->second, objects);
        }
        CompareSubject(subject, kind, objects);
      }
    }
  }

 private:
  // The names that hold other names in the two policies, or that one lacks.
  void FindMovedNames() {
    for (uint32_t place = 0; place < ranks.beforeAt.size(); ++place) {
      const uint32_t old = ranks.beforeAt[place];
      const uint32_t now = ranks.afterAt[place];
      if (old == ABSENT || now == ABSENT ||
          AttributeRanks(before, old, ranks.before) != AttributeRanks(after, now, ranks.after)) {
        movedNames.push_back(place);
      }
    }
    moved.assign(ranks.beforeAt.size(), false);
    for (const uint32_t place : movedNames) moved[place] = true;
  }

  // (subject, object) for every subject that holds the subject of a changed
  // rule of `kind`, the object being that rule's, by rank; sorted.
  std::vector<std::pair<uint32_t, uint32_t>> TouchedSubjects(uint16_t kind) const {
    std::vector<std::pair<uint32_t, uint32_t>> touched;
    for (const ChangedRule& rule : changedRules) {
      if (rule.kind != kind) continue;
      ForEachMember(rule.subject,
                    [&](uint32_t subject) { touched.emplace_back(subject, rule.object); });
    }
    std::sort(touched.begin(), touched.end());
    touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
    return touched;
  }

  // The members of the name at `place` in either policy, by rank.
  template <typename Visit>
  void ForEachMember(uint32_t place, Visit visit) const {
    for (const auto& [policy, at, rank] : {std::tuple{&before, &ranks.beforeAt, &ranks.before},
                                           std::tuple{&after, &ranks.afterAt, &ranks.after}}) {
      if ((*at)[place] == ABSENT) continue;
      for (const uint32_t member : policy->MembersOf((*at)[place])) visit((*rank)[member]);
    }
  }

  void AddMembers(uint32_t place, std::vector<uint32_t>& objects) const {
    ForEachMember(place, [&objects](uint32_t member) { objects.push_back(member); });
  }

  void CompareSubject(uint32_t subject, uint16_t kind, std::vector<uint32_t>& objects) const {
    const uint32_t old = ranks.beforeAt[subject];
    const uint32_t now = ranks.afterAt[subject];
    std::sort(objects.begin(), objects.end());
    objects.erase(std::unique(objects.begin(), objects.end()), objects.end());
    if (moved[subject] || !ObjectsAreCheaper(old, now, objects.size())) {
      CompareEffects(subject, kind, AllEffects(before, old, kind), AllEffects(after, now, kind));
      return;
    }
    std::vector<Effect> oldEffects;
    std::vector<Effect> newEffects;
    for (const uint32_t object : objects) {
      AppendEffectsOn(before, old, ranks.beforeAt[object], kind, oldEffects);
      AppendEffectsOn(after, now, ranks.afterAt[object], kind, newEffects);
    }
    CompareEffects(subject, kind, oldEffects, newEffects);
  }

  // Whether expanding the subject on `objectCount` objects alone costs less
  // than expanding it whole; each object costs about one binary search per
  // pair of attributes, the whole expansion one step per (rule, object).
  bool ObjectsAreCheaper(uint32_t old, uint32_t now, size_t objectCount) const {
    constexpr uint64_t STEPS_PER_OBJECT_AND_ATTRIBUTE = 4;
    const uint64_t attributes = before.AttributesOf(old).size() + after.AttributesOf(now).size();
    return objectCount * attributes * STEPS_PER_OBJECT_AND_ATTRIBUTE <
           before.ExpansionSize(old) + after.ExpansionSize(now);
  }

  static std::vector<Effect> AllEffects(const QueryPolicy& policy, uint32_t subject,
                                        uint16_t kind) {
    return subject == ABSENT ? std::vector<Effect>{} : policy.Effects(subject, kind, {}, false);
  }

  static void AppendEffectsOn(const QueryPolicy& policy, uint32_t subject, uint32_t object,
                              uint16_t kind, std::vector<Effect>& effects) {
    if (object != ABSENT) policy.EffectsOn(subject, object, kind, effects);
  }

  // Both lists sorted by object name, then class name: a line is only built
  // for an effect that one policy lacks or that differs.
  void CompareEffects(uint32_t subject, uint16_t kind, const std::vector<Effect>& old,
                      const std::vector<Effect>& now) const {
    const char* section = kind == RULE_GRANT ? "access" : "transitions";
    const uint32_t oldSubject = ranks.beforeAt[subject];
    const uint32_t newSubject = ranks.afterAt[subject];
    const auto key = [](const Effect& effect, const std::vector<uint32_t>& rank) {
      return RuleOrderKey(0, rank[effect.object], ClassNameRank(effect.tclass), 0);
    };
    const auto sameTargets = [this](const Effect& a, const Effect& b) {
      return std::equal(
          a.targets.begin(), a.targets.end(), b.targets.begin(), b.targets.end(),
          [this](uint32_t x, uint32_t y) { return ranks.before[x] == ranks.after[y]; });
    };
    WalkSorted(
        old.size(), now.size(), [&](size_t o) { return key(old[o], ranks.before); },
        [&](size_t n) { return key(now[n], ranks.after); },
        [&](size_t o) { writer.Write('-', section, EffectLine(before, oldSubject, old[o], kind)); },
        [&](size_t n) { writer.Write('+', section, EffectLine(after, newSubject, now[n], kind)); },
        [&](size_t o, size_t n) {
          if (old[o].operations == now[n].operations && sameTargets(old[o], now[n])) return;
          writer.CompareLines(section, EffectLine(before, oldSubject, old[o], kind),
                              EffectLine(after, newSubject, now[n], kind));
        });
  }

  const QueryPolicy& before;
  const QueryPolicy& after;
  const SharedRanks& ranks;
  const std::vector<ChangedRule>& changedRules;
  DiffWriter& writer;
  std::vector<uint32_t> movedNames;  // ranks, ascending
  std::vector<bool> moved;           // by rank
};

}  // namespace

bool WritePolicyDiff(const QueryPolicy& before, const QueryPolicy& after,
                     const DiffOptions& options, std::ostream& out) {
  DiffWriter writer(options, out);
  writer.Compare("names", NameLines(before), NameLines(after));
  CompareLabeling(before.Image(), after.Image(), writer);
  const SharedRanks ranks = RankNames(before, after);
  const std::vector<ChangedRule> changedRules = CompareRules(before, after, ranks, writer);
  if (options.effective) EffectComparison(before, after, ranks, changedRules, writer).Run();
  return writer.Finish();
}
