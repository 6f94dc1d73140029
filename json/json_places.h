// Where the values of a parsed document stand in its text.
//
// A tree keeps no source positions: they would cost every document bytes
// that only diagnostics need. JsonPlaces finds them afterwards, for the
// readers that show places (polclint, polclsp), by walking the text beside
// the tree once: the nodes lie in the arena in document order, so each
// value's place is found in one pass.
#pragma once

#include <cstdint>
#include <vector>

#include "json/json.h"

class JsonPlaces {
 public:
  JsonPlaces() = default;
  // `text` is the text `root` was parsed from (NUL-terminated), and `root`
  // the root of that document.
  JsonPlaces(const char* text, const JsonValue* root);

  // Offset in the text of the first byte of `value`, a node of the document.
  uint32_t ValueOffset(const JsonValue* value) const;
  // Offset of the opening quote of the key of `member`; for a value that is
  // no member, its ValueOffset.
  uint32_t KeyOffset(const JsonValue* member) const;

 private:
  size_t IndexOf(const JsonValue* value) const;
  uint32_t SkipSpace(uint32_t pos) const;
  uint32_t Walk(const JsonValue* value, uint32_t pos, uint32_t keyOffset);

  const char* text = nullptr;  // only while constructing
  uint32_t size = 0;           // of the text, with its terminator
  const JsonValue* root = nullptr;
  std::vector<uint32_t> nodes;   // node - root of every node, ascending
  std::vector<uint32_t> values;  // the text offset of each node's value
  std::vector<uint32_t> keys;    // and of its key (a member) or value
};
