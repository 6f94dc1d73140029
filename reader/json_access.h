// Small conveniences over the JSON access functions, shared by the section
// readers: walking the members of an object and reading arrays of strings.
#pragma once

#include <cstdint>
#include <optional>

#include "json/json.h"

// The key of an object member; "" when the value carries none, which no
// allowed-key list contains.
const char* MemberKey(const JsonValue* member);

// The member after `member`, or null after the last one.
JsonValue* NextMember(const JsonValue* member);

// Element `index` of `array`, or null when there is none.
JsonValue* ArrayItem(JsonValue* array, uint32_t index);

// The text of the string `value` in `text`; false for a null value or one
// that is not a string.
inline bool GetString(const JsonValue* value, const char** text) {
  return JsonGetString(value, text) == JSON_OK;
}

// `value` when it is an array, else null.
inline JsonValue* AsArray(JsonValue* value) {
  return value != nullptr && JsonGetKind(value) == JSON_ARRAY ? value : nullptr;
}

// Fails, with its message, unless `value` is an array: a member that must
// hold an array and holds anything else would otherwise read as empty, and
// the entries its author meant would vanish without a word. `key` names the
// member.
int RequireArray(const JsonValue* value, const char* key);

// Calls `use(text)` for every element of `array`, in order, stopping at the
// first element that is not a string and returning its index (the elements
// before it are used). A value that is not an array has no elements.
template <typename Use>
std::optional<uint32_t> ForEachArrayString(JsonValue* array, Use use) {
  // The size is asked again before each element, as the readers specify.
  for (uint32_t i = 0; i < JsonGetArraySize(array); ++i) {
    const char* text = nullptr;
    if (JsonGetArrayString(array, i, &text) != JSON_OK) return i;
    use(text);
  }
  return std::nullopt;
}
