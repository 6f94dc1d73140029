// Where the values of a parsed document stand in its text.
//
// A tree keeps no source positions: they would cost every document bytes
// that only diagnostics need. JsonPlaces finds them afterwards, for the
// readers that show places (polclint, polclsp), by walking the text beside
// the tree once: the nodes lie in the arena in document order, so each
// value's place is found in one pass. A node takes at least 17 bytes of
// the arena, so no two start in the same 16 bytes: the places are kept by
// the arena's 16-byte blocks, and a lookup is one index.
#pragma once

#include <cstdint>
#include <string>
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
  static constexpr unsigned BLOCK_SHIFT = 4;  // 16 bytes, less than any node

  size_t BlockOf(const JsonValue* value) const;
  uint32_t SkipSpace(uint32_t pos) const;
  uint32_t Walk(const JsonValue* value, uint32_t pos, uint32_t keyOffset);

  const char* text = nullptr;  // only while constructing
  uint32_t size = 0;           // of the text, with its terminator
  const JsonValue* root = nullptr;
  // By the arena block where a node starts: the text offset of its value,
  // and of its key (a member) or value.
  std::vector<uint32_t> values;
  std::vector<uint32_t> keys;
};

// The key path ("rules[3].teac[1].object") of the innermost value of the
// document `text` that holds each of `offsets`, which ascend (a value holds
// its own bytes, and a member's key); "" for an offset outside the root.
// `text` must be a document JsonParse takes.
std::vector<std::string> JsonKeyPathsAt(const char* text, const std::vector<uint32_t>& offsets);
