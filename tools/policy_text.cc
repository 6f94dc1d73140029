#include "tools/policy_text.h"

#include <netdb.h>

#include <cstdio>

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

}  // namespace

std::optional<std::string> ProtocolName(uint16_t protocol) {
  const protoent* entry = getprotobynumber(protocol);
  if (entry != nullptr && NamesProtocol(entry->p_name, protocol)) return entry->p_name;
  const std::optional<std::string_view> keyword = BuiltinProtocolKeyword(protocol);
  if (keyword && NamesProtocol(std::string(*keyword).c_str(), protocol)) {
    return std::string(*keyword);
  }
  return std::nullopt;
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

std::vector<std::string> OperationNames(uint16_t classIndex, uint32_t bits) {
  std::vector<std::string> names;
  for (unsigned position = 0; position < 32; ++position) {
    const uint32_t bit = uint32_t{1} << position;
    if ((bits & bit) == 0) continue;
    const char* name = GetOperationName(classIndex, bit);
    names.push_back(name != nullptr ? name : Hex(bit));
  }
  return names;
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

std::string RuleText(const RuleRecord& rule, const SymbolNames& names) {
  const RuleTblKey& key = rule.key;
  std::string kind = key.specified == RULE_GRANT        ? "teac"
                     : key.specified == RULE_TRANSITION ? "type_transition"
                                                        : "rule#" + std::to_string(key.specified);
  std::string line = kind + ' ' + names.Show(key.source) + ' ' + names.Show(key.target) + ' ' +
                     ClassText(key.tclass);
  if (key.specified == RULE_GRANT) {
    for (const std::string& operation : OperationNames(key.tclass, rule.datum)) {
      line += ' ' + operation;
    }
  } else if (key.specified == RULE_TRANSITION) {
    line += ' ' + names.Show(rule.datum);
  } else {
    line += ' ' + Hex(rule.datum);
  }
  return line;
}

std::string Printable(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", byte);
      shown += hex;
    } else {
      if (c == '\\') shown += '\\';
      shown += c;
    }
  }
  return shown;
}
