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
