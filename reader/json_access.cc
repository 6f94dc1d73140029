#include "reader/json_access.h"

const char* MemberKey(const JsonValue* member) {
  const char* key = nullptr;
  return JsonGetKey(member, &key) == JSON_OK ? key : "";
}

JsonValue* NextMember(const JsonValue* member) {
  JsonValue* next = nullptr;
  return JsonGetNext(member, &next) == JSON_OK ? next : nullptr;
}

JsonValue* ArrayItem(JsonValue* array, uint32_t index) {
  JsonValue* item = nullptr;
  return JsonGetArrayItem(array, index, &item) == JSON_OK ? item : nullptr;
}

std::optional<uint32_t> AddArrayStrings(JsonValue* array, NameSet& names) {
  // The size is asked again before each element, as the readers specify.
  for (uint32_t i = 0; i < JsonGetArraySize(array); ++i) {
    const char* text = nullptr;
    if (JsonGetArrayString(array, i, &text) != JSON_OK) return i;
    names.emplace_hint(names.end(), text);
  }
  return std::nullopt;
}
