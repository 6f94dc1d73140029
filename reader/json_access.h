// Small conveniences over the JSON access functions, shared by the section
// readers: walking the members of an object and the elements of an array,
// and the faults every reader meets (a member that is not an array, an
// element that is not a string).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "json/json.h"
#include "reader/read_context.h"

// A key that a reader allows, with its JsonKeyHash, worked out once: at
// compile time for the keys of a constant table.
struct AllowedKey {
  AllowedKey() = default;
  constexpr AllowedKey(const char* key)  // implicit: the key tables list texts
      : text(key), hash(JsonKeyHash(key, static_cast<uint32_t>(text.size()))) {}
  std::string_view text;
  uint32_t hash = 0;
};
using AllowedKeys = std::span<const AllowedKey>;

// The key of an object member; "" when the value carries none, which no
// allowed-key list contains.
const char* MemberKey(const JsonValue* member);

// The member after `member`, or null after the last one.
inline JsonValue* NextMember(const JsonValue* member) { return JsonNextSibling(member); }
// The first element of `array`, or null when it has none.
JsonValue* FirstElement(const JsonValue* array);

// Element `index` of `array`, or null when there is none.
JsonValue* ArrayItem(JsonValue* array, uint32_t index);

// `value` when it is an array, else null.
inline JsonValue* AsArray(JsonValue* value) {
  return value != nullptr && JsonGetKind(value) == JSON_ARRAY ? value : nullptr;
}

// Calls `use(text)` for every element of `array`, in order, stopping at the
// first element that is not a string and returning its index (the elements
// before it are used). A value that is not an array has no elements.
template <typename Use>
std::optional<uint32_t> ForEachArrayString(JsonValue* array, Use use) {
  for (uint32_t i = 0; i < JsonGetArraySize(array); ++i) {
    const char* text = nullptr;
    if (JsonGetArrayString(array, i, &text) != JSON_OK) return i;
    use(text);
  }
  return std::nullopt;
}

// The text of the string `value` in `text`; false for a null value or one
// that is not a string.
inline bool GetString(const JsonValue* value, const char** text) {
  return JsonGetString(value, text) == JSON_OK;
}

// What `value` is, for a message: "an object", "a string", "null", ...
const char* KindName(const JsonValue* value);

// Fails, with its fault, unless `value` is an array: a member that must
// hold an array and holds anything else would otherwise read as empty, and
// the entries its author meant would vanish without a word. `key` names the
// member.
int RequireArray(ReadContext& context, const JsonValue* value, const char* key);

// Calls `read(element, i)` for each element of the array `array` in order,
// each at its index in the key path. A failing element ends the walk, or,
// when the run keeps going, is passed over; -1 when one failed.
template <typename Read>
int ReadElements(ReadContext& context, JsonValue* array, Read read) {
  int result = 0;
  uint32_t i = 0;
  for (JsonValue* element = FirstElement(array); element != nullptr;
       element = NextMember(element), ++i) {
    const ReadContext::Step at(context, i);
    if (read(element, i) != 0) {
      result = -1;
      if (!context.KeepGoing()) break;
    }
  }
  return result;
}

// The fault of a value that should be a string, with polc's `logLine`; -1.
int NotAString(ReadContext& context, const JsonValue* value, std::string logLine);

// ReadElements for an array of strings: `use(element, text)` for each
// string; an element of another kind is a fault, with `logLineOf(i)` as
// polc's line.
template <typename LogLineOf, typename Use>
int ReadStringElements(ReadContext& context, JsonValue* array, LogLineOf logLineOf, Use use) {
  return ReadElements(context, array, [&](JsonValue* element, uint32_t i) {
    const char* text = nullptr;
    if (!GetString(element, &text)) return NotAString(context, element, logLineOf(i));
    use(element, text);
    return 0;
  });
}

// The fault of an object whose member of `keys` (those of `members`, in the
// same order) is missing or of the wrong kind: each must be a string, but
// the one at `arrayAt` an array (none when arrayAt is past the end). The
// first such member is reported, with polc's `logLine`; -1.
int IncompleteEntry(ReadContext& context, JsonValue* entry, std::span<JsonValue* const> members,
                    AllowedKeys keys, size_t arrayAt, std::string logLine);
