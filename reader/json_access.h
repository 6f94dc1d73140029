// Small conveniences over the JSON access functions, shared by the section
// readers: walking the members of an object and reading arrays of strings.
#pragma once

#include <cstdint>
#include <optional>

#include "json/json.h"
#include "reader/policy_model.h"

// The key of an object member; "" when the value carries none, which no
// allowed-key list contains.
const char* MemberKey(const JsonValue* member);

// The member after `member`, or null after the last one.
JsonValue* NextMember(const JsonValue* member);

// Element `index` of `array`, or null when there is none.
JsonValue* ArrayItem(JsonValue* array, uint32_t index);

// Adds every element of `array` to `names`, in order, stopping at the first
// element that is not a string and returning its index (the elements before
// it are added). A value that is not an array has no elements.
std::optional<uint32_t> AddArrayStrings(JsonValue* array, NameSet& names);
