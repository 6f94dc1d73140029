#include "tools/policy_source.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <numeric>
#include <ostream>
#include <set>
#include <streambuf>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "base/class_table.h"
#include "base/log.h"
#include "reader/validators.h"
#include "ruledb/policy_binary.h"
#include "tools/policy_text.h"

namespace {

constexpr uint32_t KNOWN_FLAGS =
    FLAG_INITIAL_SID | FLAG_NETIF | FLAG_PACKET | FLAG_FILE_CONTEXT | FLAG_TYPEATTR;
constexpr size_t MAX_JSON_KEY_LENGTH = 47;  // polc's JSON reader refuses longer member keys
constexpr uint32_t MAX_PREFIX_LENGTH = 32;

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
    if ((image.flags & ~KNOWN_FLAGS) != 0) {
      return "unknown flag bits " + Hex(image.flags & ~KNOWN_FLAGS);
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
    std::set<std::string> symbols;
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

// An output buffer that only counts what is written to it.
class ByteCounter : public std::streambuf {
 public:
  uint64_t count() const { return written; }

 protected:
  int_type overflow(int_type c) override {
    if (!traits_type::eq_int_type(c, traits_type::eof())) ++written;
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char*, std::streamsize n) override {
    written += static_cast<uint64_t>(n);
    return n;
  }

 private:
  uint64_t written = 0;
};

// `items` one per line at `indent` + 2 blanks, inside brackets.
std::string Block(const std::vector<std::string>& items, const std::string& indent, char open,
                  char close) {
  if (items.empty()) return std::string{open, close};
  std::string text(1, open);
  for (size_t i = 0; i < items.size(); ++i) {
    text += (i == 0 ? "\n" : ",\n") + indent + "  " + items[i];
  }
  return text + "\n" + indent + close;
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
      : image(image), names(names), attrStart(FirstAttribute()) {}

  void Write(std::ostream& out) const {
    std::vector<std::string> declarations = {Member("type", Names(0, attrStart, "    "))};
    if (attrStart < image.symbols.size()) {
      declarations.push_back(Member("attr", Names(attrStart, image.symbols.size(), "    ")));
    }
    const std::vector<std::string> typeAttrs = TypeAttrMembers();
    if (!typeAttrs.empty()) declarations.push_back(Member("typeattr", Object(typeAttrs, "    ")));
    const std::vector<std::string> labeling = LabelingMembers();
    if (!labeling.empty()) declarations.push_back(Member("labeling", Object(labeling, "    ")));
    out << "{\n  " << Member("declarations", Object(declarations, "  ")) << ",\n  "
        << QuoteJsonString("rules") << ": ";
    WriteRuleStatements(out);
    out << "\n}\n";
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

  std::string Names(uint32_t from, size_t to, const std::string& indent) const {
    std::vector<std::string> items;
    for (uint32_t value = from; value < to; ++value)
      items.push_back(QuoteJsonString(*names.Find(value)));
    return Array(items, indent);
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

  Field Context(uint32_t value) const { return {"context", QuoteJsonString(*names.Find(value))}; }

  template <typename Iterator, typename Format>
  static std::string LabelArray(Iterator begin, Iterator end, Format format) {
    std::vector<std::string> items;
    for (Iterator it = begin; it != end; ++it) items.push_back(format(*it));
    return Array(items, "      ");
  }

  static std::string FileEntry(const FileContextRecord& file) {
    return InlineObject(
        {{"path", QuoteJsonString(file.path)}, {"context", QuoteJsonString(file.context)}});
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

  // The object lists of the image are in reverse model order; file contexts
  // are in hash order and sorted here.
  std::vector<std::string> LabelingMembers() const {
    std::vector<std::string> members;
    std::vector<FileContextRecord> files = image.fileContexts;
    std::sort(files.begin(), files.end(),
              [](const auto& a, const auto& b) { return a.path < b.path; });
    const auto& sids = image.initialSids;
    const auto& netifs = image.netifs;
    const auto& packets = image.packets;
    if (!files.empty()) {
      members.push_back(Member("file", LabelArray(files.begin(), files.end(), FileEntry)));
    }
    if (!sids.empty()) {
      members.push_back(Member(
          "reserved_sid", LabelArray(sids.rbegin(), sids.rend(),
                                     [this](const auto& sid) { return InitialSidEntry(sid); })));
    }
    if (!netifs.empty()) {
      members.push_back(
          Member("netif", LabelArray(netifs.rbegin(), netifs.rend(),
                                     [this](const auto& netif) { return NetifEntry(netif); })));
    }
    if (!packets.empty()) {
      members.push_back(
          Member("packet", LabelArray(packets.rbegin(), packets.rend(),
                                      [this](const auto& packet) { return PacketEntry(packet); })));
    }
    return members;
  }

  // Rules by subject, object and class name, as polc's model orders them.
  // The place of each symbol value in name order: rules sort by these
  // numbers as they would by the names, without a string compare per step.
  std::vector<uint32_t> NameRanks() const {
    std::vector<uint32_t> order(image.symbols.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(),
              [this](uint32_t a, uint32_t b) { return *names.Find(a) < *names.Find(b); });
    std::vector<uint32_t> ranks(order.size());
    for (uint32_t place = 0; place < order.size(); ++place) ranks[order[place]] = place;
    return ranks;
  }

  std::vector<const RuleRecord*> SortedRules() const {
    const std::vector<uint32_t> nameRanks = NameRanks();
    std::vector<const RuleRecord*> rules;
    for (const RuleRecord& rule : image.rules) rules.push_back(&rule);
    auto key = [&](const RuleRecord* rule) {
      return std::tuple(nameRanks[rule->key.source], nameRanks[rule->key.target],
                        ClassNameRank(rule->key.tclass), rule->key.specified);
    };
    std::sort(rules.begin(), rules.end(),
              [&key](const RuleRecord* a, const RuleRecord* b) { return key(a) < key(b); });
    return rules;
  }

  std::string GrantEntry(const RuleRecord& rule) const {
    return InlineObject({{"object", QuoteJsonString(*names.Find(rule.key.target))},
                         {"class", QuoteJsonString(GetClassName(rule.key.tclass))},
                         {"operation", InlineArray(OperationNames(rule.key.tclass, rule.datum))}});
  }

  std::string TransitionEntry(const RuleRecord& rule) const {
    return InlineObject({{"object", QuoteJsonString(*names.Find(rule.key.target))},
                         {"class", QuoteJsonString(GetClassName(rule.key.tclass))},
                         {"target", QuoteJsonString(*names.Find(rule.datum))}});
  }

  std::string Statement(uint16_t subject, const std::vector<std::string>& grants,
                        const std::vector<std::string>& transitions) const {
    std::vector<std::string> members = {Member("subject", QuoteJsonString(*names.Find(subject)))};
    if (!grants.empty()) members.push_back(Member("teac", Array(grants, "      ")));
    if (!transitions.empty()) {
      members.push_back(Member("type_transition", Array(transitions, "      ")));
    }
    return Object(members, "    ");
  }

  // One statement per subject, written as it is made: the rules are by far
  // the largest part of a policy.
  void WriteRuleStatements(std::ostream& out) const {
    const std::vector<const RuleRecord*> rules = SortedRules();
    out << (rules.empty() ? "[]" : "[");
    for (size_t first = 0; first < rules.size();) {
      const uint16_t subject = rules[first]->key.source;
      std::vector<std::string> grants;
      std::vector<std::string> transitions;
      size_t next = first;
      for (; next < rules.size() && rules[next]->key.source == subject; ++next) {
        if (rules[next]->key.specified == RULE_GRANT) {
          grants.push_back(GrantEntry(*rules[next]));
        } else {
          transitions.push_back(TransitionEntry(*rules[next]));
        }
      }
      out << (first == 0 ? "\n    " : ",\n    ") << Statement(subject, grants, transitions);
      first = next;
    }
    if (!rules.empty()) out << "\n  ]";
  }

  const PolicyImage& image;
  const SymbolNames& names;
  const uint32_t attrStart;
};

}  // namespace

std::string WritePolicySource(const PolicyImage& image, std::ostream& out, uint64_t maxBytes) {
  const SymbolNames names(image);
  const std::string problem = SourceChecks(image, names).Run();
  if (!problem.empty()) return problem;
  const SourceWriter writer(image, names);
  // Measured first: a source polc cannot read must not be written at all.
  ByteCounter counter;
  std::ostream measure(&counter);
  writer.Write(measure);
  if (counter.count() > maxBytes) {
    return "the source would be " + std::to_string(counter.count()) + " bytes, more than the " +
           std::to_string(maxBytes) + " that polc reads from one file";
  }
  writer.Write(out);
  return {};
}

std::string QuoteJsonString(const std::string& text) {
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted += '"';
  size_t plain = 0;  // start of the run of bytes that stay as they are
  for (size_t at = 0; at < text.size(); ++at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    // Bytes of 0x80 and above are text to polc's JSON reader.
    if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
    quoted.append(text, plain, at - plain);
    plain = at + 1;
    if (byte >= 0x20) {
      quoted += '\\';
      quoted += static_cast<char>(byte);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      quoted += escape;
    }
  }
  quoted.append(text, plain, std::string::npos);
  return quoted += '"';
}
