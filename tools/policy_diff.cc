#include "tools/policy_diff.h"

#include <algorithm>
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
void CompareRules(const QueryPolicy& before, const QueryPolicy& after, DiffWriter& writer) {
  const SharedRanks ranks = RankNames(before, after);
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

// The effective lines of `kind` for the subject called `name` in `policy`,
// sorted; none when no name is called so.
std::vector<std::string> SubjectLines(const QueryPolicy& policy, const std::string& name,
                                      uint16_t kind) {
  std::vector<std::string> lines;
  if (const std::optional<uint32_t> subject = policy.Value(name)) {
    for (const Effect& effect : policy.Effects(*subject, kind, {})) {
      lines.push_back(EffectLine(policy, *subject, effect, kind));
    }
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// The names of both policies, sorted, each once.
std::vector<std::string> AllNames(const QueryPolicy& before, const QueryPolicy& after) {
  std::vector<std::string> names;
  for (const QueryPolicy* policy : {&before, &after}) {
    for (uint32_t value = 0; value < policy->NameCount(); ++value) {
      names.push_back(policy->Name(value));
    }
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
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
  CompareRules(before, after, writer);
  if (options.effective) {
    const std::vector<std::string> subjects = AllNames(before, after);
    for (const auto& [kind, section] :
         {std::pair{RULE_GRANT, "access"}, std::pair{RULE_TRANSITION, "transitions"}}) {
      for (const std::string& subject : subjects) {
        writer.Compare(section, SubjectLines(before, subject, kind),
                       SubjectLines(after, subject, kind));
      }
    }
  }
  return writer.Finish();
}
