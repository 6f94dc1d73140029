#include "json/json_places.h"

#include <algorithm>
#include <cstring>

#include "json/json_node.h"
#include "json/json_text.h"

namespace {

// The position after the string whose opening quote is at `pos`, in a text
// of `size` bytes.
uint32_t SkipString(const char* text, uint32_t pos, uint32_t size) {
  for (pos = json_text::FindQuoteOrBackslash(text, pos + 1, size - 1);
       pos < size - 1 && text[pos] != '"';
       pos = json_text::FindQuoteOrBackslash(text, pos + 2, size - 1)) {
  }
  return pos + 1;
}

// A number ends where whitespace, a separator or a closing bracket follows.
uint32_t SkipNumber(const char* text, uint32_t pos) {
  while (!json_text::IsWhitespace(text[pos]) && text[pos] != ',' && text[pos] != ']' &&
         text[pos] != '}') {
    ++pos;
  }
  return pos;
}

// Walks a document's text and gives each asked-for offset the key path of
// the innermost value that holds it.
class KeyPathFinder {
 public:
  KeyPathFinder(const char* text, const std::vector<uint32_t>& offsets)
      : text(text),
        size(static_cast<uint32_t>(std::strlen(text) + 1)),
        offsets(offsets),
        paths(offsets.size()),
        assigned(offsets.size(), false) {}

  std::vector<std::string> Find() {
    Walk(SkipSpace(0), 0);
    return std::move(paths);
  }

 private:
  struct Step {
    bool isKey;
    std::string key;  // a member's key as written
    uint32_t index;   // an element's index
  };

  uint32_t SkipSpace(uint32_t pos) const { return json_text::SkipWhitespace(text, pos, size); }

  // Walks the value at `pos` (its member key, if any, from `from`) and
  // returns the position after it; the offsets it holds that no value
  // inside it holds get the current path.
  uint32_t Walk(uint32_t pos, uint32_t from) {
    uint32_t end = pos;
    switch (text[pos]) {
      case '"':
        end = SkipString(text, pos, size);
        break;
      case '{':
      case '[':
        end = WalkContainer(pos);
        break;
      case 't':
      case 'n':
        end = pos + 4;
        break;
      case 'f':
        end = pos + 5;
        break;
      default:
        end = SkipNumber(text, pos);
        break;
    }
    const auto first = std::lower_bound(offsets.begin(), offsets.end(), from);
    for (auto at = first; at != offsets.end() && *at < end; ++at) {
      const auto i = static_cast<size_t>(at - offsets.begin());
      if (!assigned[i]) {
        paths[i] = PathText();
        assigned[i] = true;
      }
    }
    return end;
  }

  uint32_t WalkContainer(uint32_t pos) {
    const bool isObject = text[pos] == '{';
    const char close = isObject ? '}' : ']';
    pos = SkipSpace(pos + 1);
    for (uint32_t index = 0; text[pos] != close; ++index) {
      const uint32_t from = pos;
      if (isObject) {
        const uint32_t keyEnd = SkipString(text, pos, size);
        path.push_back({true, std::string(text + pos + 1, keyEnd - pos - 2), 0});
        pos = SkipSpace(SkipSpace(keyEnd) + 1);
      } else {
        path.push_back({false, "", index});
      }
      pos = SkipSpace(Walk(pos, from));
      path.pop_back();
      if (text[pos] == ',') pos = SkipSpace(pos + 1);
    }
    return pos + 1;
  }

  std::string PathText() const {
    std::string joined;
    for (const Step& step : path) {
      if (!step.isKey) {
        joined += '[' + std::to_string(step.index) + ']';
      } else {
        if (!joined.empty()) joined += '.';
        joined += step.key;
      }
    }
    return joined;
  }

  const char* text;
  uint32_t size;
  const std::vector<uint32_t>& offsets;
  std::vector<std::string> paths;
  std::vector<bool> assigned;
  std::vector<Step> path;
};

}  // namespace

std::vector<std::string> JsonKeyPathsAt(const char* text, const std::vector<uint32_t>& offsets) {
  return KeyPathFinder(text, offsets).Find();
}

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
  const size_t block = BlockOf(value);
  if (block >= values.size()) {
    values.resize(2 * block + 1);
    keys.resize(2 * block + 1);
  }
  values[block] = pos;
  keys[block] = keyOffset == UINT32_MAX ? pos : keyOffset;
  switch (JsonGetKind(value)) {
    case JSON_STRING:
      return SkipString(text, pos, size);
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
      pos = SkipSpace(SkipString(text, key, size)) + 1;  // past the colon
    }
    pos = SkipSpace(Walk(child, pos, key));
    if (text[pos] == ',') ++pos;
  }
  return SkipSpace(pos) + 1;  // past the closing bracket
}

static_assert(json_node::SCALAR_NODE_SIZE > (1u << 4), "no two nodes start in one block");

size_t JsonPlaces::BlockOf(const JsonValue* value) const {
  return static_cast<size_t>(reinterpret_cast<const uint8_t*>(value) -
                             reinterpret_cast<const uint8_t*>(root)) >>
         BLOCK_SHIFT;
}

uint32_t JsonPlaces::ValueOffset(const JsonValue* value) const { return values[BlockOf(value)]; }

uint32_t JsonPlaces::KeyOffset(const JsonValue* member) const { return keys[BlockOf(member)]; }
