#include "tools/policy_listing.h"

#include <algorithm>
#include <string>
#include <vector>

#include "tools/policy_text.h"

namespace {

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

void WriteSection(std::ostream& out, const char* title, const std::vector<std::string>& lines) {
  out << title << ' ' << lines.size() << '\n';
  for (const std::string& line : lines) out << '\t' << line << '\n';
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

std::vector<std::string> InitialSidLines(const PolicyImage& image, const SymbolNames& names) {
  std::vector<std::string> lines;
  for (const InitialSidRecord& sid : image.initialSids) {
    const char* name = InitialSidName(sid.sid);
    lines.push_back((name != nullptr ? name : "sid#" + std::to_string(sid.sid)) + ' ' +
                    names.Show(sid.type));
  }
  return lines;
}

std::vector<std::string> NetifLines(const PolicyImage& image, const SymbolNames& names) {
  std::vector<std::string> lines;
  for (const NetifRecord& netif : image.netifs) {
    lines.push_back(Printable(netif.name) + ' ' + names.Show(netif.type));
  }
  return lines;
}

std::vector<std::string> PacketLines(const PolicyImage& image, const SymbolNames& names) {
  std::vector<std::string> lines;
  for (const PacketRecord& packet : image.packets) {
    const std::optional<std::string> protocol = ProtocolName(packet.protocol);
    lines.push_back(protocol.value_or("protocol#" + std::to_string(packet.protocol)) + ' ' +
                    AddressPrefixText(packet.sourceAddress, packet.sourceMask) + " port " +
                    PortRangeText(packet.sportStart, packet.sportEnd) + " -> " +
                    AddressPrefixText(packet.destinationAddress, packet.destinationMask) +
                    " port " + PortRangeText(packet.dportStart, packet.dportEnd) + ' ' +
                    names.Show(packet.type));
  }
  return lines;
}

std::vector<std::string> FileContextLines(const PolicyImage& image) {
  std::vector<std::string> lines;
  for (const FileContextRecord& file : image.fileContexts) {
    lines.push_back(Printable(file.path) + ' ' + Printable(file.context));
  }
  return lines;
}

std::vector<std::string> TypeAttrLines(const PolicyImage& image, const SymbolNames& names) {
  std::vector<std::string> lines;
  for (size_t value = 0; value < image.typeAttrs.size(); ++value) {
    std::string line = names.Show(static_cast<uint32_t>(value)) + ':';
    for (const uint16_t member : image.typeAttrs[value]) line += ' ' + names.Show(member);
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> RuleLines(const PolicyImage& image, const SymbolNames& names) {
  std::vector<std::string> lines;
  for (const RuleRecord& rule : image.rules) lines.push_back(RuleText(rule, names));
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

std::vector<ListingSection> LabelingSections(const PolicyImage& image) {
  const SymbolNames names(image);
  std::vector<ListingSection> sections = {{"initial_sids", InitialSidLines(image, names)},
                                          {"netifs", NetifLines(image, names)},
                                          {"packets", PacketLines(image, names)},
                                          {"file_contexts", FileContextLines(image)},
                                          {"typeattrs", TypeAttrLines(image, names)}};
  for (ListingSection& section : sections) std::sort(section.lines.begin(), section.lines.end());
  return sections;
}

void WritePolicyListing(const PolicyImage& image, std::ostream& out) {
  WriteSizeLines(image, out);
  out << "version " << image.version << '\n';
  out << "flags " << FlagsText(image.flags) << '\n';
  WriteSection(out, "symbols", SymbolLines(image));
  for (const ListingSection& section : LabelingSections(image)) {
    WriteSection(out, section.title, section.lines);
  }
  std::vector<std::string> rules = RuleLines(image, SymbolNames(image));
  std::sort(rules.begin(), rules.end());
  WriteSection(out, "rules", rules);
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
