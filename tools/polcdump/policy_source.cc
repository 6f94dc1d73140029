#include "tools/polcdump/policy_source.h"

#include <algorithm>
#include <functional>
#include <numeric>
#include <ostream>
#include <string_view>
#include <tuple>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/class_table.h"
#include "base/log.h"
#include "reader/validators.h"
#include "ruledb/policy_binary.h"
#include "ruledb/rule_order.h"
#include "base/json_string.h"
#include "tools/image/policy_text.h"

namespace {

// polc's JSON reader refuses longer member keys.
constexpr size_t MAX_JSON_KEY_LENGTH = JSON_MAX_KEY_SIZE - 1;

// "packet 2": which record of a section.
std::string Entry(const char* what, size_t index) {
  std::string entry = what;
  return entry.append(" ").append(std::to_string(index));
}

// The values v at which the name of v does not sort after the name of v - 1.
// polc numbers types, then attributes, each in name order, so a policy it
// wrote has at most one, where the attributes start. All names must exist.
std::vector<uint32_t> NameDescents(const PolicyImage& image, const SymbolNames& names) {
  std::vector<uint32_t> descents;
  for (uint32_t value = 1; value < image.symbols.size(); ++value) {
    if (!(*names.Find(value - 1) < *names.Find(value))) descents.push_back(value);
  }
  return descents;
}

// ---- checks: everything polc would need to produce exactly this image ----

class SourceChecks {
 public:
  SourceChecks(const PolicyImage& image, const SymbolNames& names) : image(image), names(names) {}

  std::string Run() const {
    const std::function<std::string()> checks[] = {
        [this] { return CheckLayout(); },       [this] { return CheckSymbols(); },
        [this] { return CheckNameRuns(); },     [this] { return CheckTypeAttrs(); },
        [this] { return CheckFlags(); },        [this] { return CheckInitialSids(); },
        [this] { return CheckNetifs(); },       [this] { return CheckPackets(); },
        [this] { return CheckFileContexts(); }, [this] { return CheckRules(); }};
    for (const auto& check : checks) {
      std::string problem = check();
      if (!problem.empty()) return problem;
    }
    return {};
  }

 private:
  std::string CheckLayout() const {
    if (image.fileSize != image.imageSize) {
      return std::to_string(image.fileSize - image.imageSize) + " bytes follow the rule table";
    }
    if (image.version != POLICY_VERSION) return "version " + std::to_string(image.version);
    if ((image.flags & ~FLAG_KNOWN) != 0) {
      return "unknown flag bits " + Hex(image.flags & ~FLAG_KNOWN);
    }
    // Throws when the image was read without RewriteCheck::YES.
    if (!image.rewritesIdentically.value()) {
      return "records are not in the order or form that polc writes them";
    }
    return {};
  }

  std::string CheckSymbols() const {
    if (!names.Dense()) return "symbol values are not 0 to N - 1, each once";
    for (const SymbolRecord& symbol : image.symbols) {
      if (symbol.name.size() > MAX_CONTEXT_NAME_LENGTH || !MatchesContextName(symbol.name)) {
        return Entry("symbol", symbol.value) + ": \"" + Printable(symbol.name) +
               "\" is not a valid context name";
      }
    }
    return {};
  }

  std::string CheckNameRuns() const {
    return NameDescents(image, names).size() > 1
               ? "symbol names do not form two ascending runs (types, then attributes)"
               : "";
  }

  bool HasSymbol(uint32_t value) const { return names.Find(value) != nullptr; }

  std::string CheckTypeAttrs() const {
    const size_t count = image.symbols.size();
    if (image.typeAttrs.size() != count) return "typeattr entries do not match the symbols";
    for (uint32_t value = 0; value < count; ++value) {
      const std::vector<uint16_t>& members = image.typeAttrs[value];
      const std::string where = Entry("typeattr entry", value);
      if (std::find(members.begin(), members.end(), value) == members.end()) {
        return where + ": does not list the symbol itself";
      }
      for (size_t i = 0; i < members.size(); ++i) {
        if (!HasSymbol(members[i])) {
          return where + ": member " + std::to_string(members[i]) + " is no symbol";
        }
        if (i > 0 && !(*names.Find(members[i - 1]) < *names.Find(members[i]))) {
          return where + ": members are not in ascending name order";
        }
      }
      if (members.size() > 1 && names.Find(value)->size() > MAX_JSON_KEY_LENGTH) {
        return where + ": name longer than " + std::to_string(MAX_JSON_KEY_LENGTH) +
               " bytes cannot be a typeattr key";
      }
    }
    return {};
  }

  std::string CheckFlags() const {
    const struct {
      uint32_t bit;
      bool present;
      const char* section;
    } sections[] = {{FLAG_INITIAL_SID, !image.initialSids.empty(), "initial sid"},
                    {FLAG_NETIF, !image.netifs.empty(), "netif"},
                    {FLAG_PACKET, !image.packets.empty(), "packet"},
                    {FLAG_FILE_CONTEXT, !image.fileContexts.empty(), "file context"},
                    {FLAG_TYPEATTR, !image.symbols.empty(), "typeattr"}};
    for (const auto& section : sections) {
      if (((image.flags & section.bit) != 0) != section.present) {
        return std::string("flag ") + Hex(section.bit) + " does not match the " + section.section +
               " section";
      }
    }
    return {};
  }

  // polc links labeled objects by prepending, so each list descends.
  template <typename Record, typename KeyOf>
  std::string CheckDescending(const std::vector<Record>& records, const char* what,
                              KeyOf keyOf) const {
    for (size_t i = 1; i < records.size(); ++i) {
      if (!(keyOf(records[i]) < keyOf(records[i - 1]))) {
        return Entry(what, i) + ": not in the order polc writes (descending, no repeats)";
      }
    }
    return {};
  }

  std::string CheckInitialSids() const {
    for (size_t i = 0; i < image.initialSids.size(); ++i) {
      const InitialSidRecord& sid = image.initialSids[i];
      if (InitialSidName(sid.sid) == nullptr) {
        return Entry("initial sid", i) + ": unknown sid " + std::to_string(sid.sid);
      }
      if (!HasSymbol(sid.type))
        return Entry("initial sid", i) + ": no symbol " + std::to_string(sid.type);
    }
    return CheckDescending(image.initialSids, "initial sid", [](const InitialSidRecord& sid) {
      return std::string(InitialSidName(sid.sid));
    });
  }

  std::string CheckNetifs() const {
    for (size_t i = 0; i < image.netifs.size(); ++i) {
      if (!HasSymbol(image.netifs[i].type)) {
        return Entry("netif", i) + ": no symbol " + std::to_string(image.netifs[i].type);
      }
    }
    return CheckDescending(image.netifs, "netif",
                           [](const NetifRecord& netif) { return netif.name; });
  }

  static std::string PacketProblem(const PacketRecord& packet) {
    if (packet.sourceMask > MAX_PREFIX_LENGTH || packet.destinationMask > MAX_PREFIX_LENGTH) {
      return "prefix length above 32";
    }
    if (packet.sportStart > packet.sportEnd || packet.dportStart > packet.dportEnd) {
      return "port range ends before it starts";
    }
    if (!ProtocolName(packet.protocol)) {
      return "no protocol name for number " + std::to_string(packet.protocol);
    }
    return {};
  }

  std::string CheckPackets() const {
    for (size_t i = 0; i < image.packets.size(); ++i) {
      std::string problem = PacketProblem(image.packets[i]);
      if (problem.empty() && !HasSymbol(image.packets[i].type)) {
        problem = "no symbol " + std::to_string(image.packets[i].type);
      }
      if (!problem.empty()) return Entry("packet", i) + ": " + problem;
    }
    return CheckDescending(image.packets, "packet", [](const PacketRecord& p) {
      return std::make_tuple(p.protocol, p.sourceAddress, p.sourceMask, p.destinationAddress,
                             p.destinationMask, p.sportStart, p.sportEnd, p.dportStart, p.dportEnd);
    });
  }

  std::string CheckFileContexts() const {
    std::unordered_set<std::string_view> symbols;
    for (const SymbolRecord& symbol : image.symbols) symbols.insert(symbol.name);
    for (const FileContextRecord& file : image.fileContexts) {
      const std::string where = "file context \"" + Printable(file.path) + "\": ";
      if (file.path.size() > MAX_FILE_PATH_LENGTH || !IsSafeString(file.path) ||
          !MatchesPathStart(file.path)) {
        return where + "path not acceptable to polc";
      }
      if (symbols.count(file.context) == 0) {
        return where + "context \"" + Printable(file.context) + "\" is no symbol";
      }
    }
    return {};
  }

  std::string RuleProblem(const RuleRecord& rule) const {
    const RuleTblKey& key = rule.key;
    if (!HasSymbol(key.source) || !HasSymbol(key.target)) return "subject or object is no symbol";
    if (GetClassName(key.tclass) == nullptr) return "unknown class " + std::to_string(key.tclass);
    if (key.specified == RULE_TRANSITION) {
      return HasSymbol(rule.datum) ? "" : "target " + std::to_string(rule.datum) + " is no symbol";
    }
    if (key.specified != RULE_GRANT) return "unknown kind " + std::to_string(key.specified);
    for (unsigned position = 0; position < 32; ++position) {
      const uint32_t bit = uint32_t{1} << position;
      if ((rule.datum & bit) != 0 && GetOperationName(key.tclass, bit) == nullptr) {
        return "operation bit " + Hex(bit) + " is not defined for class " +
               GetClassName(key.tclass);
      }
    }
    return {};
  }

  std::string CheckRules() const {
    for (const RuleRecord& rule : image.rules) {
      const std::string problem = RuleProblem(rule);
      if (!problem.empty()) return "rule \"" + RuleText(rule, names) + "\": " + problem;
    }
    return {};
  }

  const PolicyImage& image;
  const SymbolNames& names;
};

// ---- the source text ----

// Appends item `index` of a block to `out`.
using ItemAppender = std::function<void(std::string& out, size_t index)>;

// `count` items one per line at `indent` + 2 blanks, inside brackets.
void AppendBlock(std::string& out, size_t count, const std::string& indent, char open, char close,
                 const ItemAppender& appendItem) {
  out += open;
  for (size_t i = 0; i < count; ++i) {
    out.append(i == 0 ? "\n" : ",\n").append(indent).append("  ");
    appendItem(out, i);
  }
  if (count != 0) out.append("\n").append(indent);
  out += close;
}

std::string Block(const std::vector<std::string>& items, const std::string& indent, char open,
                  char close) {
  std::string text;
  AppendBlock(text, items.size(), indent, open, close,
              [&items](std::string& out, size_t index) { out += items[index]; });
  return text;
}

std::string Array(const std::vector<std::string>& items, const std::string& indent) {
  return Block(items, indent, '[', ']');
}

std::string Object(const std::vector<std::string>& members, const std::string& indent) {
  return Block(members, indent, '{', '}');
}

std::string Member(const char* key, const std::string& value) {
  return QuoteJsonString(key) + ": " + value;
}

// A member whose value is appended where it goes rather than made first:
// the labeling of a large policy is megabytes long.
using LazyMember = std::pair<const char*, std::function<void(std::string& out)>>;

void AppendObject(std::string& out, const std::vector<LazyMember>& members,
                  const std::string& indent) {
  AppendBlock(out, members.size(), indent, '{', '}', [&members](std::string& text, size_t index) {
    AppendJsonString(text, members[index].first);
    members[index].second(text.append(": "));
  });
}

// A key and its JSON value text.
using Field = std::pair<const char*, std::string>;

// {"a":1,"b":2}: one line without blanks, as rule and labeling entries are
// written; at a million rules every byte counts.
std::string InlineObject(const std::vector<Field>& fields) {
  std::string text = "{";
  for (size_t i = 0; i < fields.size(); ++i) {
    text.append(i == 0 ? "" : ",").append(QuoteJsonString(fields[i].first)).append(":");
    text.append(fields[i].second);
  }
  return text + "}";
}

// ["a","b"] without blanks.
std::string InlineArray(const std::vector<std::string>& names) {
  std::string text = "[";
  for (size_t i = 0; i < names.size(); ++i)
    text.append(i == 0 ? "" : ",").append(QuoteJsonString(names[i]));
  return text + "]";
}

class SourceWriter {
 public:
  SourceWriter(const PolicyImage& image, const SymbolNames& names)
      : image(image),
        names(names),
        attrStart(FirstAttribute()),
        quotedNames(QuotedNames()),
        quotedClasses(QuotedClasses()),
        quotedOperations(QuotedOperations()) {}

  void Write(TextBlocks& out) const {
    const size_t count = image.symbols.size();
    std::vector<LazyMember> declarations = {
        {"type", [this](std::string& text) { text += Names(0, attrStart, "    "); }}};
    if (attrStart < count) {
      declarations.push_back(
          {"attr", [this, count](std::string& text) { text += Names(attrStart, count, "    "); }});
    }
    const std::vector<std::string> typeAttrs = TypeAttrMembers();
    if (!typeAttrs.empty()) {
      declarations.push_back(
          {"typeattr", [&typeAttrs](std::string& text) { text += Object(typeAttrs, "    "); }});
    }
    const std::vector<LazyMember> labeling = LabelingMembers();
    if (!labeling.empty()) {
      declarations.push_back(
          {"labeling", [&labeling](std::string& text) { AppendObject(text, labeling, "    "); }});
    }
    AppendObject(out.Text().append("{\n  ").append(QuoteJsonString("declarations")).append(": "),
                 declarations, "  ");
    out.Text().append(",\n  ").append(QuoteJsonString("rules")).append(": ");
    AppendRuleStatements(out);
    out.Text().append("\n}\n");
  }

 private:
  uint32_t FirstAttribute() const {
    const std::vector<uint32_t> descents = NameDescents(image, names);
    if (!descents.empty()) return descents.front();
    auto first = static_cast<uint32_t>(image.symbols.size());
    for (uint32_t value = 0; value < image.typeAttrs.size(); ++value) {
      for (const uint16_t member : image.typeAttrs[value]) {
        if (member != value) first = std::min<uint32_t>(first, member);
      }
    }
    return first;
  }

  static std::vector<std::string> QuotedClasses() {
    std::vector<std::string> quoted(CLASS_COUNT + 1);
    for (uint16_t tclass = 1; tclass <= CLASS_COUNT; ++tclass) {
      quoted[tclass] = QuoteJsonString(GetClassName(tclass));
    }
    return quoted;
  }

  // Every bit's name, in hex where the class has none (never used: the
  // checks let no such bit through).
  static std::vector<std::vector<std::string>> QuotedOperations() {
    std::vector<std::vector<std::string>> quoted(CLASS_COUNT + 1);
    for (uint16_t tclass = 1; tclass <= CLASS_COUNT; ++tclass) {
      for (const char* operation : OperationNames(tclass, UINT32_MAX)) {
        quoted[tclass].push_back(QuoteJsonString(operation));
      }
    }
    return quoted;
  }

  std::vector<std::string> QuotedNames() const {
    std::vector<std::string> quoted;
    for (uint32_t value = 0; value < image.symbols.size(); ++value) {
      quoted.push_back(QuoteJsonString(*names.Find(value)));
    }
    return quoted;
  }

  std::string Names(uint32_t from, size_t to, const std::string& indent) const {
    return Array(std::vector<std::string>(quotedNames.begin() + from, quotedNames.begin() + to),
                 indent);
  }

  std::vector<std::string> TypeAttrMembers() const {
    std::vector<std::string> members;
    for (uint32_t value = 0; value < image.typeAttrs.size(); ++value) {
      std::vector<std::string> others;
      for (const uint16_t member : image.typeAttrs[value]) {
        if (member != value) others.push_back(*names.Find(member));
      }
      if (!others.empty())
        members.push_back(Member(names.Find(value)->c_str(), InlineArray(others)));
    }
    return members;
  }

  Field Context(uint32_t value) const { return {"context", quotedNames[value]}; }

  // The entries `append` makes of [begin, end), one per line; made in
  // place, as there may be hundreds of thousands.
  template <typename Iterator, typename Append>
  static void AppendLabelArray(std::string& out, Iterator begin, Iterator end, Append append) {
    AppendBlock(out, static_cast<size_t>(end - begin), "      ", '[', ']',
                [begin, &append](std::string& text, size_t index) { append(text, begin[index]); });
  }

  static void AppendFileEntry(std::string& text, const FileContextRecord* file) {
    AppendJsonString(text.append("{\"path\":"), file->path);
    AppendJsonString(text.append(",\"context\":"), file->context);
    text.append("}");
  }

  std::string InitialSidEntry(const InitialSidRecord& sid) const {
    return InlineObject({{"sid", QuoteJsonString(InitialSidName(sid.sid))}, Context(sid.type)});
  }

  std::string NetifEntry(const NetifRecord& netif) const {
    return InlineObject({{"name", QuoteJsonString(netif.name)}, Context(netif.type)});
  }

  std::string PacketEntry(const PacketRecord& p) const {
    return InlineObject(
        {{"prot", QuoteJsonString(*ProtocolName(p.protocol))},
         {"source", QuoteJsonString(AddressPrefixText(p.sourceAddress, p.sourceMask))},
         {"destination",
          QuoteJsonString(AddressPrefixText(p.destinationAddress, p.destinationMask))},
         {"sport", QuoteJsonString(PortRangeText(p.sportStart, p.sportEnd))},
         {"dport", QuoteJsonString(PortRangeText(p.dportStart, p.dportEnd))},
         Context(p.type)});
  }

  // `records` last to first, each as `entry` makes it.
  template <typename Record>
  LazyMember ReversedArray(const char* key, const std::vector<Record>& records,
                           std::string (SourceWriter::*entry)(const Record&) const) const {
    return {key, [this, &records, entry](std::string& text) {
              AppendLabelArray(text, records.rbegin(), records.rend(),
                               [this, entry](std::string& out, const Record& record) {
                                 out += (this->*entry)(record);
                               });
            }};
  }

  // The object lists of the image are in reverse model order; file contexts
  // are in hash order and sorted here.
  std::vector<LazyMember> LabelingMembers() const {
    std::vector<LazyMember> members;
    std::vector<const FileContextRecord*> files;
    for (const FileContextRecord& file : image.fileContexts) files.push_back(&file);
    std::sort(files.begin(), files.end(),
              [](const auto* a, const auto* b) { return a->path < b->path; });
    if (!files.empty()) {
      members.push_back({"file", [files = std::move(files)](std::string& text) {
                           AppendLabelArray(text, files.begin(), files.end(), AppendFileEntry);
                         }});
    }
    if (!image.initialSids.empty()) {
      members.push_back(
          ReversedArray("reserved_sid", image.initialSids, &SourceWriter::InitialSidEntry));
    }
    if (!image.netifs.empty()) {
      members.push_back(ReversedArray("netif", image.netifs, &SourceWriter::NetifEntry));
    }
    if (!image.packets.empty()) {
      members.push_back(ReversedArray("packet", image.packets, &SourceWriter::PacketEntry));
    }
    return members;
  }

  // Rules by subject, object and class name, as polc's model orders them.
  // Rules name only 16-bit values, and no two the same way (the names are
  // unique), so their places in name order pack into one number per rule.
  RuleVector SortedRules() const {
    std::vector<uint16_t> values(std::min(image.symbols.size(), VALUE_COUNT));
    std::iota(values.begin(), values.end(), 0);
    const std::vector<uint16_t> nameRanks =
        TextRanks(std::move(values),
                  [this](uint16_t value) -> const std::string& { return *names.Find(value); });
    return RulesOf(SortByKey(image.rules, [&nameRanks](const RuleTblKey& key) {
      return RuleOrderKey(nameRanks[key.source], nameRanks[key.target], ClassNameRank(key.tclass),
                          key.specified);
    }));
  }

  // {"object":"x_t","class":"file","operation":["read"]}, or "target" and a
  // name for a transition.
  void AppendEntry(std::string& out, const RuleRecord& rule) const {
    const RuleTblKey& key = rule.key;
    out.append("{\"object\":").append(quotedNames[key.target]);
    out.append(",\"class\":").append(quotedClasses[key.tclass]);
    if (key.specified == RULE_TRANSITION) {
      out.append(",\"target\":").append(quotedNames[rule.datum]).append("}");
      return;
    }
    out.append(",\"operation\":[");
    const char* separator = "";
    for (unsigned position = 0; position < 32; ++position) {
      if ((rule.datum & uint32_t{1} << position) == 0) continue;
      out.append(separator).append(quotedOperations[key.tclass][position]);
      separator = ",";
    }
    out.append("]}");
  }

  using RuleIterator = RuleVector::const_iterator;

  // The member `title` of a statement with the rules of kind `specified`
  // among [first, last), one per line, if there are any.
  void AppendEntries(std::string& out, RuleIterator first, RuleIterator last, uint16_t specified,
                     const char* title) const {
    bool none = true;
    for (RuleIterator rule = first; rule != last; ++rule) {
      if (rule->key.specified != specified) continue;
      if (none) out.append(",\n      ").append(QuoteJsonString(title)).append(": [");
      out.append(none ? "\n        " : ",\n        ");
      AppendEntry(out, *rule);
      none = false;
    }
    if (!none) out.append("\n      ]");
  }

  // One statement per subject, each made straight into the output: the rules
  // are by far the largest part of a policy.
  void AppendRuleStatements(TextBlocks& out) const {
    const RuleVector rules = SortedRules();
    out.Text().append(rules.empty() ? "[]" : "[");
    for (auto first = rules.begin(); first != rules.end();) {
      const uint16_t subject = first->key.source;
      const auto last = std::find_if(first, rules.end(), [subject](const RuleRecord& rule) {
        return rule.key.source != subject;
      });
      std::string& text = out.Text();
      text.append(first == rules.begin() ? "\n    " : ",\n    ");
      text.append("{\n      ").append(QuoteJsonString("subject")).append(": ");
      text.append(quotedNames[subject]);
      AppendEntries(text, first, last, RULE_GRANT, "teac");
      AppendEntries(text, first, last, RULE_TRANSITION, "type_transition");
      text.append("\n    }");
      out.EndPiece();
      first = last;
    }
    if (!rules.empty()) out.Text().append("\n  ]");
  }

  const PolicyImage& image;
  const SymbolNames& names;
  const uint32_t attrStart;
  const std::vector<std::string> quotedNames;              // by value
  std::vector<std::string> quotedClasses;                  // by class index
  std::vector<std::vector<std::string>> quotedOperations;  // by class index and bit
};

}  // namespace

std::string WritePolicySource(const PolicyImage& image, std::ostream& out, uint64_t maxBytes) {
  const SymbolNames names(image);
  const std::string problem = SourceChecks(image, names).Run();
  if (!problem.empty()) return problem;
  // Made whole first: a source polc cannot read must not be written at all.
  TextBlocks text;
  SourceWriter(image, names).Write(text);
  if (text.Size() > maxBytes) {
    return "the source would be " + std::to_string(text.Size()) + " bytes, more than the " +
           std::to_string(maxBytes) + " that polc reads from one file";
  }
  text.WriteTo(out);
  return {};
}
