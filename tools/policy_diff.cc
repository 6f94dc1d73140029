#include "tools/policy_diff.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/class_table.h"
#include "ruledb/rule_data_base.h"
#include "tools/policy_listing.h"
#include "tools/policy_source.h"
#include "tools/query_access.h"

namespace {

class DiffWriter {
 public:
  DiffWriter(const DiffOptions& options, std::ostream& out) : options(options), out(out) {}

  // Both `before` and `after` sorted.
  void Compare(const char* section, const std::vector<std::string>& before,
               const std::vector<std::string>& after) {
    auto old = before.begin();
    auto now = after.begin();
    while (old != before.end() || now != after.end()) {
      if (now == after.end() || (old != before.end() && *old < *now)) {
        Write('-', section, *old++);
      } else if (old == before.end() || *now < *old) {
        Write('+', section, *now++);
      } else {
        ++old;
        ++now;
      }
    }
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
      out << change << ' ' << section << ' ' << entry << '\n';
    } else {
      out << (changes == 0 ? "{\"changes\": [\n" : ",\n") << "  {\"change\": \"" << change
          << "\", \"section\": \"" << section << "\", \"entry\": " << QuoteJsonString(entry) << '}';
    }
    ++changes;
  }

  bool Finish() {
    if (options.json) out << (changes == 0 ? "{\"changes\": [" : "\n") << "]}\n";
    return changes != 0;
  }

 private:
  const DiffOptions& options;
  std::ostream& out;
  uint64_t changes = 0;
};

std::vector<std::string> NameLines(const QueryPolicy& policy) {
  std::vector<std::string> lines;
  for (const uint32_t value : policy.ByName()) lines.push_back(policy.Show(value));
  return lines;
}

// The place of every name of two policies in the order of all their names,
// so that names compare across the policies as numbers.
struct SharedRanks {
  std::vector<uint32_t> before;  // by value in the old policy
  std::vector<uint32_t> after;   // by value in the new policy
};

SharedRanks RankNames(const QueryPolicy& before, const QueryPolicy& after) {
  SharedRanks ranks{std::vector<uint32_t>(before.NameCount()),
                    std::vector<uint32_t>(after.NameCount())};
  const std::vector<uint32_t>& old = before.ByName();
  const std::vector<uint32_t>& now = after.ByName();
  uint32_t place = 0;
  for (size_t o = 0, n = 0; o < old.size() || n < now.size(); ++place) {
    const bool takeOld =
        n == now.size() || (o < old.size() && before.Name(old[o]) <= after.Name(now[n]));
    const bool takeNew =
        o == old.size() || (n < now.size() && after.Name(now[n]) <= before.Name(old[o]));
    if (takeOld) ranks.before[old[o++]] = place;
    if (takeNew) ranks.after[now[n++]] = place;
  }
  return ranks;
}

// Each rule's key as one number, in the order of the listing lines (kind,
// then subject, object and class name; "teac" sorts before
// "type_transition"), paired with its index, sorted.
std::vector<std::pair<uint64_t, uint32_t>> RuleKeys(const QueryPolicy& policy,
                                                    const std::vector<uint32_t>& rank) {
  const std::vector<RuleRecord>& rules = policy.Image().rules;
  std::vector<std::pair<uint64_t, uint32_t>> keys(rules.size());
  for (uint32_t index = 0; index < rules.size(); ++index) {
    const RuleTblKey& rule = rules[index].key;
    keys[index] = {uint64_t{rule.specified} << 48 | uint64_t{rank[rule.source]} << 28 |
                       uint64_t{rank[rule.target]} << 8 | ClassNameRank(rule.tclass),
                   index};
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}

// Whether two rules of one key grant the same operations or give the same
// target (by name: values differ between policies).
bool SameDatum(const QueryPolicy& before, uint32_t oldIndex, const QueryPolicy& after,
               uint32_t newIndex) {
  const RuleRecord& old = before.Image().rules[oldIndex];
  const RuleRecord& now = after.Image().rules[newIndex];
  if (old.key.specified == RULE_GRANT) return old.datum == now.datum;
  return before.Name(old.datum) == after.Name(now.datum);
}

// The stored rules compared by key: a line is only built for a rule that
// one policy lacks or that grants or targets differently.
void CompareRules(const QueryPolicy& before, const QueryPolicy& after, const SharedRanks& ranks,
                  DiffWriter& writer) {
  const std::vector<std::pair<uint64_t, uint32_t>> old = RuleKeys(before, ranks.before);
  const std::vector<std::pair<uint64_t, uint32_t>> now = RuleKeys(after, ranks.after);
  size_t o = 0;
  size_t n = 0;
  while (o < old.size() || n < now.size()) {
    if (n == now.size() || (o < old.size() && old[o].first < now[n].first)) {
      writer.Write('-', "rules", before.RuleLine(old[o++].second));
    } else if (o == old.size() || now[n].first < old[o].first) {
      writer.Write('+', "rules", after.RuleLine(now[n++].second));
    } else {
      const uint32_t oldIndex = old[o++].second;
      const uint32_t newIndex = now[n++].second;
      if (!SameDatum(before, oldIndex, after, newIndex)) {
        writer.CompareLines("rules", before.RuleLine(oldIndex), after.RuleLine(newIndex));
      }
    }
  }
}

// What both policies give one subject (a value of each, or none where the
// policy has no such name), compared effect by effect: a line is only built
// for an effect that one policy lacks or that differs.
void CompareSubject(const QueryPolicy& before, std::optional<uint32_t> oldSubject,
                    const QueryPolicy& after, std::optional<uint32_t> newSubject, uint16_t kind,
                    const SharedRanks& ranks, DiffWriter& writer) {
  const char* section = kind == RULE_GRANT ? "access" : "transitions";
  const std::vector<Effect> old =
      oldSubject ? before.Effects(*oldSubject, kind, {}, false) : std::vector<Effect>{};
  const std::vector<Effect> now =
      newSubject ? after.Effects(*newSubject, kind, {}, false) : std::vector<Effect>{};
  const auto key = [](const Effect& effect, const std::vector<uint32_t>& rank) {
    return uint64_t{rank[effect.object]} << 8 | ClassNameRank(effect.tclass);
  };
  const auto sameTargets = [&](const Effect& a, const Effect& b) {
    return std::equal(a.targets.begin(), a.targets.end(), b.targets.begin(), b.targets.end(),
                      [&](uint32_t x, uint32_t y) { return ranks.before[x] == ranks.after[y]; });
  };
  size_t o = 0;
  size_t n = 0;
  while (o < old.size() || n < now.size()) {
    if (n == now.size() ||
        (o < old.size() && key(old[o], ranks.before) < key(now[n], ranks.after))) {
      writer.Write('-', section, EffectLine(before, *oldSubject, old[o++], kind));
    } else if (o == old.size() || key(now[n], ranks.after) < key(old[o], ranks.before)) {
      writer.Write('+', section, EffectLine(after, *newSubject, now[n++], kind));
    } else {
      const Effect& a = old[o++];
      const Effect& b = now[n++];
      if (a.operations != b.operations || !sameTargets(a, b)) {
        writer.CompareLines(section, EffectLine(before, *oldSubject, a, kind),
                            EffectLine(after, *newSubject, b, kind));
      }
    }
  }
}

// The expanded access, then the expanded transitions, subject by subject in
// the order of both policies' names.
void CompareEffects(const QueryPolicy& before, const QueryPolicy& after, const SharedRanks& ranks,
                    DiffWriter& writer) {
  const std::vector<uint32_t>& old = before.ByName();
  const std::vector<uint32_t>& now = after.ByName();
  for (const uint16_t kind : {RULE_GRANT, RULE_TRANSITION}) {
    for (size_t o = 0, n = 0; o < old.size() || n < now.size();) {
      std::optional<uint32_t> oldSubject;
      std::optional<uint32_t> newSubject;
      const uint32_t oldRank = o < old.size() ? ranks.before[old[o]] : UINT32_MAX;
      const uint32_t newRank = n < now.size() ? ranks.after[now[n]] : UINT32_MAX;
      if (oldRank <= newRank) oldSubject = old[o++];
      if (newRank <= oldRank) newSubject = now[n++];
      CompareSubject(before, oldSubject, after, newSubject, kind, ranks, writer);
    }
  }
}

}  // namespace

bool WritePolicyDiff(const QueryPolicy& before, const QueryPolicy& after,
                     const DiffOptions& options, std::ostream& out) {
  DiffWriter writer(options, out);
  writer.Compare("names", NameLines(before), NameLines(after));
  {
    const std::vector<ListingSection> old = LabelingSections(before.Image());
    const std::vector<ListingSection> now = LabelingSections(after.Image());
    for (size_t section = 0; section < old.size(); ++section) {
      writer.Compare(old[section].title, old[section].lines, now[section].lines);
    }
  }
  const SharedRanks ranks = RankNames(before, after);
  CompareRules(before, after, ranks, writer);
  if (options.effective) CompareEffects(before, after, ranks, writer);
  return writer.Finish();
}
