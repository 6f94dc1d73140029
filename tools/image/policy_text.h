// Names and texts that polcdump and polcq print alike.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "base/huge_pages.h"
#include "tools/image/policy_image.h"

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

// Appends a blank and a name for each of OperationNames(classIndex, bits)
// (base/class_table.h): in bit order, a bit without a name in hex.
void AppendOperationNames(std::string& text, uint16_t classIndex, uint32_t bits);

// "0x" and lower-case hex digits.
std::string Hex(uint32_t value);

// The class name of `classIndex`, or "class#<index>".
std::string ClassText(uint16_t classIndex);

// `text` with control bytes shown as \xNN and a backslash doubled, so that a
// crafted name cannot disturb a terminal or split a listing line.
std::string Printable(const std::string& text);

// SymbolNames::Show of every 16-bit value, made once for output that names
// the same values again and again.
using ShownNames = std::vector<std::string>;
ShownNames ShownNamesByValue(const SymbolNames& names);

// "teac", "type_transition", or "rule#<kind>" for a kind polc never writes.
std::string RuleKindText(uint16_t specified);

// What follows the class in RuleText's line: the operations, the target or
// the datum in hex, each after a blank; `datumName` shows the target.
void AppendRuleTail(std::string& line, const RuleRecord& rule, std::string_view datumName);

// A rule as one line of text with names: "teac <subject> <object> <class>
// <operations>" or "type_transition <subject> <object> <class> <target>"; an
// unknown kind is shown as "rule#<kind>" with the datum in hex.
std::string RuleText(const RuleRecord& rule, const SymbolNames& names);

// Output text made in blocks of a few megabytes, so that it goes out in few
// large writes. Given a stream, each full block is written to it at once;
// without one, the blocks are kept until WriteTo.
class TextBlocks {
 public:
  explicit TextBlocks(std::ostream* stream = nullptr) : stream(stream) { StartBlock(); }
  // Where to append; call EndPiece after each line or entry.
  std::string& Text() { return text; }
  void EndPiece() {
    if (text.size() >= BLOCK_SIZE - PIECE_SIZE) EndBlock();
  }
  // Bytes kept and not yet written.
  uint64_t Size() const { return keptBytes + text.size(); }
  void WriteTo(std::ostream& out);

 private:
  static constexpr size_t BLOCK_SIZE = size_t{8} << 20;
  // A piece longer than this may make a block grow beyond BLOCK_SIZE.
  static constexpr size_t PIECE_SIZE = size_t{64} << 10;
  void StartBlock();
  void EndBlock();

  std::ostream* stream;
  std::vector<std::string> kept;
  uint64_t keptBytes = 0;
  std::string text;
};

// Every 16-bit value, the most a rule, typeattr or labeling entry can name.
inline constexpr size_t VALUE_COUNT = size_t{UINT16_MAX} + 1;

using RuleVector = HugePageVector<RuleRecord>;

// A rule with one number that sorts it (RuleOrderKey, ruledb/rule_order.h):
// a million rules sort faster by these than by texts or tuples.
struct KeyedRule {
  uint64_t key;
  RuleRecord rule;
  bool operator<(const KeyedRule& other) const { return key < other.key; }
};

using KeyedRules = HugePageVector<KeyedRule>;

// Each of `rules` with keyOf(its key), sorted by that; equal keys in any
// order.
template <typename KeyOf>
KeyedRules SortByKey(const std::vector<RuleRecord>& rules, KeyOf keyOf) {
  KeyedRules keyed;
  keyed.reserve(rules.size());
  for (const RuleRecord& rule : rules) keyed.push_back({keyOf(rule.key), rule});
  std::sort(keyed.begin(), keyed.end());
  return keyed;
}

// The rules of `keyed`, in its order.
RuleVector RulesOf(const KeyedRules& keyed);

// The place of each of the distinct `values` by the order of textOf(value)
// among theirs; equal texts share a place. Indexed by value.
template <typename TextOf>
std::vector<uint16_t> TextRanks(std::vector<uint16_t> values, TextOf textOf) {
  std::sort(values.begin(), values.end(),
            [&textOf](uint16_t a, uint16_t b) { return textOf(a) < textOf(b); });
  std::vector<uint16_t> ranks(VALUE_COUNT);
  uint16_t rank = 0;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0 && textOf(values[i]) != textOf(values[i - 1])) ++rank;
    ranks[values[i]] = rank;
  }
  return ranks;
}
