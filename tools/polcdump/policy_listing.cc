#include "tools/polcdump/policy_listing.h"

#include <algorithm>
#include <cstddef>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "ruledb/rule_order.h"
#include "tools/image/labeling_text.h"
#include "tools/image/policy_text.h"

namespace {

void AppendTitle(TextBlocks& output, const char* title, size_t count) {
  output.Text().append(title).append(1, ' ').append(std::to_string(count)).append(1, '\n');
}

// The distinct values of the rules' key fields `fields`, ascending.
template <typename... Fields>
std::vector<uint16_t> DistinctValues(const std::vector<RuleRecord>& rules, Fields... fields) {
  std::vector<bool> seen(VALUE_COUNT);
  for (const RuleRecord& rule : rules) ((seen[rule.key.*fields] = true), ...);
  std::vector<uint16_t> values;
  for (size_t value = 0; value < VALUE_COUNT; ++value) {
    if (seen[value]) values.push_back(static_cast<uint16_t>(value));
  }
  return values;
}

// Looks values up in `texts`, for TextRanks.
auto TextOf(const std::vector<std::string>& texts) {
  return [&texts](uint16_t value) -> const std::string& { return texts[value]; };
}

// The rules section, in the text order of its lines, found by sorting
// numbers instead of a million strings. A line is kind, subject, object and
// class, each followed by a blank (or the end, after the class), then the
// rest. While no shown name holds a blank, no text of a field reaches past
// its own end into the next, so lines order as the ranks of those four texts
// do. Equal texts share a rank, so only rules whose four texts all coincide
// (a name "#5" beside a nameless 5) are compared as whole lines.
class RuleListing {
 public:
  RuleListing(const PolicyImage& image, const SymbolNames& names, const ShownNames& shown)
      : rules(image.rules),
        names(names),
        shown(shown),
        kinds(DistinctValues(rules, &RuleTblKey::specified)),
        classes(DistinctValues(rules, &RuleTblKey::tclass)),
        kindTexts(VALUE_COUNT),
        classTexts(VALUE_COUNT) {
    for (const uint16_t kind : kinds) kindTexts[kind] = RuleKindText(kind);
    for (const uint16_t tclass : classes) classTexts[tclass] = ClassText(tclass);
  }

  void Write(TextBlocks& output) const {
    AppendTitle(output, "rules", rules.size());
    for (const RuleRecord& rule : Sorted()) {
      output.Text().append(1, '\t');
      AppendLine(output.Text(), rule);
      output.Text().append(1, '\n');
      output.EndPiece();
    }
  }

 private:
  void AppendLine(std::string& text, const RuleRecord& rule) const {
    const RuleTblKey& key = rule.key;
    text.append(kindTexts[key.specified]).append(1, ' ').append(shown[key.source]);
    text.append(1, ' ').append(shown[key.target]).append(1, ' ').append(classTexts[key.tclass]);
    // Only a crafted target lies beyond the 16-bit values.
    const bool wideTarget = key.specified == RULE_TRANSITION && rule.datum > UINT16_MAX;
    AppendRuleTail(text, rule,
                   wideTarget ? std::string_view(names.Show(rule.datum))
                              : std::string_view(shown[rule.datum & UINT16_MAX]));
  }

  using RuleIterator = RuleVector::iterator;

  void SortByText(RuleIterator first, RuleIterator last) const {
    std::vector<std::pair<std::string, RuleRecord>> lines;
    for (RuleIterator it = first; it != last; ++it) {
      lines.emplace_back(std::string(), *it);
      AppendLine(lines.back().first, *it);
    }
    std::sort(lines.begin(), lines.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& line : lines) *first++ = line.second;
  }

  // The rules themselves rather than their places are sorted, so that the
  // lines are then made from memory read in order.
  RuleVector Sorted() const {
    const std::vector<uint16_t> symbols =
        DistinctValues(rules, &RuleTblKey::source, &RuleTblKey::target);
    if (std::any_of(symbols.begin(), symbols.end(), [this](uint16_t value) {
          return shown[value].find(' ') != std::string::npos;
        })) {
      RuleVector sorted(rules.begin(), rules.end());
      SortByText(sorted.begin(), sorted.end());
      return sorted;
    }
    const std::vector<uint16_t> kindRanks = TextRanks(kinds, TextOf(kindTexts));
    const std::vector<uint16_t> symbolRanks = TextRanks(symbols, TextOf(shown));
    const std::vector<uint16_t> classRanks = TextRanks(classes, TextOf(classTexts));
    // The kind opens the line: the rules are dealt out by the rank of its
    // text first, and each kind's run is sorted by the rest.
    std::vector<size_t> runStart(kinds.size() + 1, 0);
    for (const RuleRecord& rule : rules) ++runStart[kindRanks[rule.key.specified] + 1];
    std::partial_sum(runStart.begin(), runStart.end(), runStart.begin());
    std::vector<size_t> next(runStart.begin(), runStart.end() - 1);
    KeyedRules keyed(rules.size());
    for (const RuleRecord& rule : rules) {
      const RuleTblKey& key = rule.key;
      keyed[next[kindRanks[key.specified]]++] = {
          RuleOrderKey(symbolRanks[key.source], symbolRanks[key.target], classRanks[key.tclass], 0),
          rule};
    }
    for (size_t run = 0; run + 1 < runStart.size(); ++run) {
      std::sort(keyed.begin() + static_cast<std::ptrdiff_t>(runStart[run]),
                keyed.begin() + static_cast<std::ptrdiff_t>(runStart[run + 1]));
    }
    RuleVector sorted = RulesOf(keyed);
    for (size_t run = 0; run + 1 < runStart.size(); ++run) {
      for (size_t first = runStart[run]; first < runStart[run + 1];) {
        size_t last = first + 1;
        while (last < runStart[run + 1] && keyed[last].key == keyed[first].key) ++last;
        if (last - first > 1) SortByText(sorted.begin() + first, sorted.begin() + last);
        first = last;
      }
    }
    return sorted;
  }

  const std::vector<RuleRecord>& rules;
  const SymbolNames& names;
  const ShownNames& shown;
  const std::vector<uint16_t> kinds;    // that occur
  const std::vector<uint16_t> classes;  // that occur
  std::vector<std::string> kindTexts;   // by kind, for those that occur
  std::vector<std::string> classTexts;  // by class index, for those that occur
};

std::string FlagsText(uint32_t flags) {
  static const struct {
    uint32_t bit;
    const char* name;
  } FLAGS[] = {{FLAG_INITIAL_SID, "initial_sid"},
               {FLAG_NETIF, "netif"},
               {FLAG_PACKET, "packet"},
               {FLAG_FILE_CONTEXT, "file_context"},
               {FLAG_TYPEATTR, "typeattr"}};
  std::string text = Hex(flags);
  uint32_t unknown = flags;
  for (const auto& flag : FLAGS) {
    if ((flags & flag.bit) != 0) text += std::string(" ") + flag.name;
    unknown &= ~flag.bit;
  }
  if (unknown != 0) text += " unknown:" + Hex(unknown);
  return text;
}

void WriteSection(TextBlocks& output, const char* title, const std::vector<std::string>& lines) {
  AppendTitle(output, title, lines.size());
  for (const std::string& line : lines) {
    output.Text().append(1, '\t').append(line).append(1, '\n');
    output.EndPiece();
  }
}

std::vector<std::string> SymbolLines(const PolicyImage& image) {
  std::vector<const SymbolRecord*> symbols;
  for (const SymbolRecord& symbol : image.symbols) symbols.push_back(&symbol);
  std::stable_sort(
      symbols.begin(), symbols.end(),
      [](const SymbolRecord* a, const SymbolRecord* b) { return a->value < b->value; });
  std::vector<std::string> lines;
  for (const SymbolRecord* symbol : symbols) {
    lines.push_back(std::to_string(symbol->value) + ' ' + Printable(symbol->name));
  }
  return lines;
}

size_t CountRules(const PolicyImage& image, uint16_t specified) {
  return static_cast<size_t>(std::count_if(
      image.rules.begin(), image.rules.end(),
      [specified](const RuleRecord& rule) { return rule.key.specified == specified; }));
}

void WriteSizeLines(const PolicyImage& image, std::ostream& out) {
  out << "bytes " << image.imageSize << '\n';
  if (image.fileSize != image.imageSize) {
    out << "ignored_trailing_bytes " << image.fileSize - image.imageSize << '\n';
  }
}

}  // namespace

void WritePolicyListing(const PolicyImage& image, std::ostream& out) {
  WriteSizeLines(image, out);
  out << "version " << image.version << '\n';
  out << "flags " << FlagsText(image.flags) << '\n';
  TextBlocks output(&out);
  WriteSection(output, "symbols", SymbolLines(image));
  const SymbolNames names(image);
  const ShownNames shown = ShownNamesByValue(names);
  for (const ListingSection& section : LabelingSections(image, shown)) {
    WriteSection(output, section.title, section.lines);
  }
  RuleListing(image, names, shown).Write(output);
  output.WriteTo(out);
}

void WritePolicyStats(const PolicyImage& image, std::ostream& out) {
  size_t typeAttrValues = 0;
  for (const std::vector<uint16_t>& members : image.typeAttrs) typeAttrValues += members.size();
  WriteSizeLines(image, out);
  out << "symbols " << image.symbols.size() << '\n'
      << "initial_sids " << image.initialSids.size() << '\n'
      << "netifs " << image.netifs.size() << '\n'
      << "packets " << image.packets.size() << '\n'
      << "file_contexts " << image.fileContexts.size() << '\n'
      << "typeattrs " << image.typeAttrs.size() << '\n'
      << "typeattr_values " << typeAttrValues << '\n'
      << "teac_rules " << CountRules(image, RULE_GRANT) << '\n'
      << "type_transition_rules " << CountRules(image, RULE_TRANSITION) << '\n';
  const size_t otherRules =
      image.rules.size() - CountRules(image, RULE_GRANT) - CountRules(image, RULE_TRANSITION);
  if (otherRules != 0) out << "other_rules " << otherRules << '\n';
}
