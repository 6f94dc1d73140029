#include "tools/policy_diff.h"

#include <algorithm>
#include <string>
#include <vector>

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

  bool Finish() {
    if (options.json) out << (changes == 0 ? "{\"changes\": [" : "\n") << "]}\n";
    return changes != 0;
  }

 private:
  void Write(char change, const char* section, const std::string& entry) {
    if (!options.json) {
      out << change << ' ' << section << ' ' << entry << '\n';
    } else {
      out << (changes == 0 ? "{\"changes\": [\n" : ",\n") << "  {\"change\": \"" << change
          << "\", \"section\": \"" << section << "\", \"entry\": " << QuoteJsonString(entry) << '}';
    }
    ++changes;
  }

  const DiffOptions& options;
  std::ostream& out;
  uint64_t changes = 0;
};

std::vector<std::string> NameLines(const QueryPolicy& policy) {
  std::vector<std::string> lines;
  for (const uint32_t value : policy.ByName()) lines.push_back(policy.Show(value));
  return lines;
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
    const std::vector<ListingSection> old = NamedSections(before.Image());
    const std::vector<ListingSection> now = NamedSections(after.Image());
    for (size_t section = 0; section < old.size(); ++section) {
      writer.Compare(old[section].title, old[section].lines, now[section].lines);
    }
  }
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
