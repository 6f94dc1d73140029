#include "json/json_places.h"

#include <algorithm>
#include <cstring>

#include "json/json_node.h"
#include "json/json_text.h"

namespace {

// The position after the string whose opening quote is at `pos`.
uint32_t SkipString(const char* text, uint32_t pos) {
  for (++pos; text[pos] != '"'; ++pos) {
    if (text[pos] == '\\') ++pos;
  }
  return pos + 1;
}

// A number ends where whitespace, a separator or a closing bracket follows.
uint32_t SkipNumber(const char* text, uint32_t pos) {
  while (!json_text::IsWhitespace(text[pos]) && std::strchr(",]}", text[pos]) == nullptr) ++pos;
  return pos;
}

}  // namespace

JsonPlaces::JsonPlaces(const char* text, const JsonValue* root)
    : text(text), size(static_cast<uint32_t>(std::strlen(text) + 1)), root(root) {
  if (root != nullptr) Walk(root, 0, UINT32_MAX);
  this->text = nullptr;
}

// The text parsed without fault, so the walk needs no checks: it only has
// to skip what the parser read, the same way.
uint32_t JsonPlaces::SkipSpace(uint32_t pos) const {
  return json_text::SkipWhitespace(text, pos, size);
}

uint32_t JsonPlaces::Walk(const JsonValue* value, uint32_t pos, uint32_t keyOffset) {
  pos = SkipSpace(pos);
  nodes.push_back(static_cast<uint32_t>(reinterpret_cast<const uint8_t*>(value) -
                                        reinterpret_cast<const uint8_t*>(root)));
  values.push_back(pos);
  keys.push_back(keyOffset == UINT32_MAX ? pos : keyOffset);
  switch (JsonGetKind(value)) {
    case JSON_STRING:
      return SkipString(text, pos);
    case JSON_NUMBER:
      return SkipNumber(text, pos);
    case JSON_NULL:
    case JSON_TRUE:
      return pos + 4;
    case JSON_FALSE:
      return pos + 5;
    default:
      break;
  }
  const bool isObject = JsonGetKind(value) == JSON_OBJECT;
  const JsonValue* child = isObject ? value->object.first : value->array.first;
  ++pos;  // the opening bracket
  for (; child != nullptr; child = child->next) {
    uint32_t key = UINT32_MAX;
    if (isObject) {
      key = SkipSpace(pos);
      pos = SkipSpace(SkipString(text, key)) + 1;  // past the colon
    }
    pos = SkipSpace(Walk(child, pos, key));
    if (text[pos] == ',') ++pos;
  }
  return SkipSpace(pos) + 1;  // past the closing bracket
}

size_t JsonPlaces::IndexOf(const JsonValue* value) const {
  const auto offset = static_cast<uint32_t>(reinterpret_cast<const uint8_t*>(value) -
                                            reinterpret_cast<const uint8_t*>(root));
  return static_cast<size_t>(std::lower_bound(nodes.begin(), nodes.end(), offset) - nodes.begin());
}

uint32_t JsonPlaces::ValueOffset(const JsonValue* value) const { return values[IndexOf(value)]; }

uint32_t JsonPlaces::KeyOffset(const JsonValue* member) const { return keys[IndexOf(member)]; }
