// Names and texts shared by polcdump's listing and its policy source output.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/policy_image.h"

// The symbol names of an image by value. A crafted image may leave a value
// without a name (two records with one value) or give a value twice.
class SymbolNames {
 public:
  explicit SymbolNames(const PolicyImage& image);

  // The name of `value`, or null when no symbol has it.
  const std::string* Find(uint32_t value) const;
  // The name of `value` as Printable shows it, or "#<value>" when no symbol
  // has it.
  std::string Show(uint32_t value) const;
  // Whether every value 0 to N - 1 has exactly one name.
  bool Dense() const { return dense; }

 private:
  std::vector<const std::string*> byValue;  // entries point into the image
  bool dense = true;
};

// "kernel", "varo", "unlabeled", "proc" for 1 to 4; null otherwise.
const char* InitialSidName(uint32_t sid);

// A name that polc's protocol lookup turns back into `protocol`, or nothing.
std::optional<std::string> ProtocolName(uint16_t protocol);

// 0xC0A80100 and 24 give "192.168.1.0/24".
std::string AddressPrefixText(uint32_t address, uint32_t prefixLength);

// "80" when start equals end, otherwise "1024-65535".
std::string PortRangeText(uint16_t start, uint16_t end);

// The operation names of `bits` in class `classIndex`, in bit order; a bit
// without a name (or every bit, for an unknown class) is shown in hex.
std::vector<std::string> OperationNames(uint16_t classIndex, uint32_t bits);

// "0x" and lower-case hex digits.
std::string Hex(uint32_t value);

// The class name of `classIndex`, or "class#<index>".
std::string ClassText(uint16_t classIndex);

// `text` with control bytes shown as \xNN and a backslash doubled, so that a
// crafted name cannot disturb a terminal or split a listing line.
std::string Printable(const std::string& text);

// A rule as one line of text with names: "teac <subject> <object> <class>
// <operations>" or "type_transition <subject> <object> <class> <target>"; an
// unknown kind is shown as "rule#<kind>" with the datum in hex.
std::string RuleText(const RuleRecord& rule, const SymbolNames& names);
