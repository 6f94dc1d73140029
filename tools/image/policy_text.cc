#include "tools/image/policy_text.h"

#include <netdb.h>

#include <cstdio>
#include <unordered_map>

#include "base/class_table.h"
#include "base/protocol_lookup.h"

SymbolNames::SymbolNames(const PolicyImage& image) : byValue(image.symbols.size(), nullptr) {
  for (const SymbolRecord& symbol : image.symbols) {
    if (symbol.value >= byValue.size() || byValue[symbol.value] != nullptr) {
      dense = false;
      continue;
    }
    byValue[symbol.value] = &symbol.name;
  }
}

const std::string* SymbolNames::Find(uint32_t value) const {
  return value < byValue.size() ? byValue[value] : nullptr;
}

std::string SymbolNames::Show(uint32_t value) const {
  const std::string* name = Find(value);
  if (name != nullptr) return Printable(*name);
  std::string shown = "#";
  return shown.append(std::to_string(value));
}

const char* InitialSidName(uint32_t sid) {
  static const char* const NAMES[] = {"kernel", "varo", "unlabeled", "proc"};
  return sid >= 1 && sid <= 4 ? NAMES[sid - 1] : nullptr;
}

namespace {

bool NamesProtocol(const char* name, uint16_t protocol) {
  const std::optional<uint16_t> number = LookupProtocol(name);
  return number.has_value() && *number == protocol;
}

std::optional<std::string> LookUpProtocolName(uint16_t protocol) {
  const protoent* entry = getprotobynumber(protocol);
  if (entry != nullptr && NamesProtocol(entry->p_name, protocol)) return entry->p_name;
  const std::optional<std::string_view> keyword = BuiltinProtocolKeyword(protocol);
  if (keyword && NamesProtocol(std::string(*keyword).c_str(), protocol)) {
    return std::string(*keyword);
  }
  return std::nullopt;
}

}  // namespace

// Each look-up reads the system's database anew, and thousands of packet
// entries share a few protocols.
std::optional<std::string> ProtocolName(uint16_t protocol) {
  static std::unordered_map<uint16_t, std::optional<std::string>> known;
  const auto found = known.find(protocol);
  if (found != known.end()) return found->second;
  return known[protocol] = LookUpProtocolName(protocol);
}

std::string AddressPrefixText(uint32_t address, uint32_t prefixLength) {
  char text[32];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u/%u", address >> 24, (address >> 16) & 0xFF,
                (address >> 8) & 0xFF, address & 0xFF, prefixLength);
  return text;
}

std::string PortRangeText(uint16_t start, uint16_t end) {
  return start == end ? std::to_string(start) : std::to_string(start) + "-" + std::to_string(end);
}

void AppendOperationNames(std::string& text, uint16_t classIndex, uint32_t bits) {
  for (const char* name : OperationNames(classIndex, bits)) text.append(1, ' ').append(name);
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", value);
  return text;
}

std::string ClassText(uint16_t classIndex) {
  const char* name = GetClassName(classIndex);
  return name != nullptr ? name : "class#" + std::to_string(classIndex);
}

ShownNames ShownNamesByValue(const SymbolNames& names) {
  ShownNames shown(size_t{UINT16_MAX} + 1);
  for (size_t value = 0; value < shown.size(); ++value) {
    shown[value] = names.Show(static_cast<uint32_t>(value));
  }
  return shown;
}

std::string RuleKindText(uint16_t specified) {
  return specified == RULE_GRANT        ? "teac"
         : specified == RULE_TRANSITION ? "type_transition"
                                        : "rule#" + std::to_string(specified);
}

void AppendRuleTail(std::string& line, const RuleRecord& rule, std::string_view datumName) {
  if (rule.key.specified == RULE_GRANT) {
    AppendOperationNames(line, rule.key.tclass, rule.datum);
  } else if (rule.key.specified == RULE_TRANSITION) {
    line.append(1, ' ').append(datumName);
  } else {
    line.append(1, ' ').append(Hex(rule.datum));
  }
}

std::string RuleText(const RuleRecord& rule, const SymbolNames& names) {
  const RuleTblKey& key = rule.key;
  std::string line = RuleKindText(key.specified) + ' ' + names.Show(key.source) + ' ' +
                     names.Show(key.target) + ' ' + ClassText(key.tclass);
  AppendRuleTail(line, rule,
                 key.specified == RULE_TRANSITION ? names.Show(rule.datum) : std::string());
  return line;
}

std::string Printable(const std::string& text) {
  std::string shown;
  shown.reserve(text.size());
  size_t plain = 0;  // start of the run of bytes shown as they are
  for (size_t at = 0; at < text.size(); ++at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte >= 0x20 && byte != 0x7F && byte != '\\') continue;
    shown.append(text, plain, at - plain);
    plain = at + 1;
    if (byte == '\\') {
      shown += "\\\\";
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", byte);
      shown += hex;
    }
  }
  return shown.append(text, plain, std::string::npos);
}

RuleVector RulesOf(const KeyedRules& keyed) {
  RuleVector rules;
  rules.reserve(keyed.size());
  for (const KeyedRule& entry : keyed) rules.push_back(entry.rule);
  return rules;
}

// A block of tens of thousands of pages, each a fault when first written
// to, unless huge pages back it.
void TextBlocks::StartBlock() {
  text.reserve(BLOCK_SIZE);
  AdviseHugePages(text.data(), text.capacity());
}

void TextBlocks::EndBlock() {
  if (stream != nullptr) {
    WriteTo(*stream);
    return;
  }
  keptBytes += text.size();
  kept.push_back(std::move(text));
  text = std::string();
  StartBlock();
}

void TextBlocks::WriteTo(std::ostream& out) {
  for (const std::string& block : kept) {
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  kept.clear();
  keptBytes = 0;
  text.clear();
}
